#include "state.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../weave/types.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "locking.hpp"
#include "records.hpp"

namespace gwpy {
namespace {

using Config = weave::WeaveNEATConfig;
using Registry = evocore::PopulationState;
using RegistryHandle = evocore::StateHandle;

constexpr char kMagic[4] = {'G', 'W', 'S', 'T'};
enum class Kind : uint8_t { Genome = 1, Population = 2 };

// Hash tables of more buckets are refused; no genome of a real run comes near.
constexpr uint64_t kMaxBuckets = uint64_t{1} << 20;

// A bucket takes memory whether or not an entry fills it, so the tables of one
// state may claim, all together, no more buckets than the state has bytes (each
// saved genome alone takes hundreds of bytes, its tables far fewer buckets).
// Without this bound a small state could ask for gigabytes.
constexpr uint64_t kBucketsPerStateByte = 1;

[[noreturn]] void damaged(const std::string& what) {
  evocore::refuse("not a valid gridweave state: " + what);
}

class Writer {
 public:
  template <class T>
    requires std::is_arithmetic_v<T>
  void put(T value) {
    const size_t at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    std::memcpy(bytes_.data() + at, &value, sizeof(T));
  }
  void flag(bool value) { put<uint8_t>(value ? 1 : 0); }
  void count(size_t n) { put<uint64_t>(n); }
  template <class E>
  void variant(E value) {
    put<uint8_t>(static_cast<uint8_t>(value));
  }
  void append(const std::string& bytes) { bytes_ += bytes; }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

// Reads with bounds checks; every failure is a refusal (ValueError).
class Reader {
 public:
  explicit Reader(const std::string& bytes)
      : bytes_(bytes), buckets_left_(static_cast<uint64_t>(bytes.size()) * kBucketsPerStateByte) {}

  uint32_t format = kStateFormat;  // of the state being read, once its header is

  template <class T>
    requires std::is_arithmetic_v<T>
  T get() {
    if (left() < sizeof(T)) damaged("it ends early");
    T value;
    std::memcpy(&value, bytes_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return value;
  }
  bool flag() {
    const auto value = get<uint8_t>();
    if (value > 1) damaged("a flag is neither 0 nor 1");
    return value == 1;
  }
  // A count of items of at least `item_bytes` each: never more than the bytes left.
  size_t count(size_t item_bytes) {
    const auto n = get<uint64_t>();
    if (n > left() / item_bytes) damaged("a count is larger than the data");
    return static_cast<size_t>(n);
  }
  size_t index(size_t limit) {
    const auto i = get<uint64_t>();
    if (i >= limit) damaged("an index is out of range");
    return static_cast<size_t>(i);
  }
  template <class E>
  E variant(uint8_t variants) {
    const auto value = get<uint8_t>();
    if (value >= variants) damaged("an unknown variant");
    return static_cast<E>(value);
  }
  size_t position() const { return at_; }
  std::string bytes_since(size_t from) const { return bytes_.substr(from, at_ - from); }
  void expect_end() const {
    if (left() != 0) damaged("bytes after the end");
  }
  // The bucket count of one more hash table, within what the whole state may claim.
  uint64_t buckets() {
    const auto n = get<uint64_t>();
    if (n > kMaxBuckets || n > buckets_left_)
      damaged("a hash table of " + std::to_string(n) + " buckets, more than the state could fill");
    buckets_left_ -= n;
    return n;
  }

 private:
  size_t left() const { return bytes_.size() - at_; }
  const std::string& bytes_;
  size_t at_ = 0;
  uint64_t buckets_left_;
};

// ---- configuration --------------------------------------------------------

// Settings are written field by field in the order of their key table
// (records.hpp): numbers as they are, a flag as one byte, an optional as a flag
// and its value (0 when absent), a sequence as its count and its items, a
// choice as the byte of its variant, followed, for variants with payloads, by
// every payload member of every variant. A key added to the table changes the
// format: kStateFormat must change with it, and the key (a defaulted field)
// names that format as its first, so that older states read its default.

template <class T, class Payload>
void put_payload(Writer& w, const T& value, const Payload& payload);
template <class T, class Payload>
void get_payload(Reader& r, T& value, const Payload& payload);

template <class T>
void put_setting(Writer& w, const T& value) {
  using namespace record_io;
  if constexpr (std::is_same_v<T, bool>) {
    w.flag(value);
  } else if constexpr (std::is_arithmetic_v<T>) {
    w.put(value);
  } else if constexpr (is_optional_v<T>) {
    w.flag(value.has_value());
    put_setting(w, value.value_or(typename T::value_type{}));
  } else if constexpr (is_vector_v<T>) {
    w.count(value.size());
    for (const auto& item : value) put_setting(w, item);
  } else if constexpr (DescribedGroup<T>) {
    std::apply([&](auto... member) { (put_setting(w, value.*member), ...); }, GroupTraits<T>::members);
  } else if constexpr (DescribedEnum<T>) {
    constexpr const auto& variants = EnumTraits<T>::variants;
    first_of<count_v<decltype(variants)>>([&](auto index) {
      if (!std::get<index>(variants).holds(value)) return false;
      w.put<uint8_t>(static_cast<uint8_t>(index()));
      return true;
    });
    std::apply([&](const auto&... variant) { (put_payload(w, value, variant.payload), ...); }, variants);
  } else {
    std::apply([&](const auto&... field) { (put_setting(w, value.*field.member), ...); },
               RecordTraits<T>::fields);
  }
}

template <class T, class Payload>
void put_payload(Writer& w, const T& value, const Payload& payload) {
  std::apply([&](auto... member) { (put_setting(w, value.*member), ...); }, payload);
}

// Bytes of one item of a sequence: its members' sizes.
template <class T>
constexpr size_t item_bytes() {
  if constexpr (DescribedGroup<T>)
    return std::apply([](auto... member) { return (sizeof(decltype(T{}.*member)) + ...); },
                      GroupTraits<T>::members);
  else
    return sizeof(T);
}

template <class T>
T get_setting(Reader& r) {
  using namespace record_io;
  T value{};
  if constexpr (std::is_same_v<T, bool>) {
    value = r.flag();
  } else if constexpr (std::is_arithmetic_v<T>) {
    value = r.get<T>();
  } else if constexpr (is_optional_v<T>) {
    const bool present = r.flag();
    auto inner = get_setting<typename T::value_type>(r);
    if (present) value = inner;
  } else if constexpr (is_vector_v<T>) {
    value.resize(r.count(item_bytes<typename T::value_type>()));
    for (auto& item : value) item = get_setting<typename T::value_type>(r);
  } else if constexpr (DescribedGroup<T>) {
    std::apply(
        [&](auto... member) {
          ((value.*member = get_setting<std::remove_cvref_t<decltype(value.*member)>>(r)), ...);
        },
        GroupTraits<T>::members);
  } else if constexpr (DescribedEnum<T>) {
    constexpr const auto& variants = EnumTraits<T>::variants;
    const auto index = r.variant<uint8_t>(static_cast<uint8_t>(count_v<decltype(variants)>));
    first_of<count_v<decltype(variants)>>([&](auto i) {
      if (i() != index) return false;
      value = std::get<i>(variants).make();
      return true;
    });
    std::apply([&](const auto&... variant) { (get_payload(r, value, variant.payload), ...); }, variants);
  } else {
    std::apply(
        [&](const auto&... field) {
          const auto read = [&](const auto& f) {
            if (r.format >= f.first_state_format)
              value.*f.member = get_setting<typename std::remove_cvref_t<decltype(f)>::Value>(r);
          };
          (read(field), ...);
        },
        RecordTraits<T>::fields);
  }
  return value;
}

template <class T, class Payload>
void get_payload(Reader& r, T& value, const Payload& payload) {
  std::apply(
      [&](auto... member) {
        ((value.*member = get_setting<std::remove_cvref_t<decltype(value.*member)>>(r)), ...);
      },
      payload);
}

void put_special(Writer& w, const weave::WeaveConfig& c) { put_setting(w, c); }
void put_config(Writer& w, const Config& c) { put_setting(w, c); }
weave::WeaveConfig get_special(Reader& r) { return get_setting<weave::WeaveConfig>(r); }

// The settings are checked as the Population constructor checks them.
template <class Settings>
void require_valid(const Settings& settings) {
  if (const auto refusal = range_refusal(settings)) damaged(*refusal);
  const weave::WeaveConfig* special = nullptr;
  if constexpr (std::is_same_v<Settings, Config>)
    special = &settings.special;
  else
    special = &settings;
  try {
    weave::validate(*special);
  } catch (const evocore::InvalidInput& refusal) {
    damaged(refusal.what());
  }
}

Config get_config(Reader& r) {
  Config c = get_setting<Config>(r);
  require_valid(c);
  return c;
}

// Settings read from equal bytes are shared, as genomes share their
// population's settings while they run.
template <class T>
class SettingsCache {
 public:
  template <class Read>
  evocore::SharedSettings<T> get(Reader& r, Read&& read) {
    const size_t from = r.position();
    T value = read(r);
    auto [entry, added] = seen_.try_emplace(r.bytes_since(from));
    if (added) entry->second = std::move(value);
    return entry->second;
  }

 private:
  std::unordered_map<std::string, evocore::SharedSettings<T>> seen_;
};

struct SharedOnLoad {
  SettingsCache<Config> configs;
  SettingsCache<weave::WeaveConfig> specials;

  evocore::SharedSettings<Config> config(Reader& r) { return configs.get(r, get_config); }
  evocore::SharedSettings<weave::WeaveConfig> special(Reader& r) {
    return specials.get(r, [](Reader& reader) {
      weave::WeaveConfig special = get_special(reader);
      require_valid(special);
      return special;
    });
  }
};

// ---- registries -------------------------------------------------------------

void put_registry(Writer& w, const Registry& registry) {
  const Registry::Contents contents = registry.contents();
  w.put(contents.node_counter);
  w.put(contents.edge_counter);
  w.count(contents.table.size());
  for (const auto& [pair, id] : contents.table) {
    w.put(pair.first);
    w.put(pair.second);
    w.put(id);
  }
  w.count(contents.pairs.size());
  for (const auto& [id, pair] : contents.pairs) {
    w.put(id);
    w.put(pair.first);
    w.put(pair.second);
  }
}

RegistryHandle get_registry(Reader& r) {
  Registry::Contents contents;
  contents.node_counter = r.get<uint64_t>();
  contents.edge_counter = r.get<uint64_t>();
  const auto require_issued = [&](uint64_t id) {
    if (id > contents.edge_counter) damaged("an edge number above the registry's counter");
  };
  contents.table.resize(r.count(24));
  for (auto& [pair, id] : contents.table) {
    pair.first = r.get<uint64_t>();
    pair.second = r.get<uint64_t>();
    id = r.get<uint64_t>();
    if (pair.first > pair.second) damaged("a node pair out of order");
    require_issued(id);
  }
  contents.pairs.resize(r.count(24));
  for (auto& [id, pair] : contents.pairs) {
    id = r.get<uint64_t>();
    pair.first = r.get<uint64_t>();
    pair.second = r.get<uint64_t>();
    require_issued(id);
  }
  auto registry = std::make_shared<Registry>();
  registry->restore(contents);
  return registry;
}

// ---- genomes ---------------------------------------------------------------

// Entries in iteration order with the bucket count: loading rebuilds a table
// that iterates in the same order, so a loaded run draws the same picks.
template <class Map, class PutEntry>
void put_table(Writer& w, const Map& map, PutEntry&& put_entry) {
  w.count(map.bucket_count());
  w.count(map.size());
  for (const auto& [id, entry] : map) {
    w.put(id);
    put_entry(entry);
  }
}

template <class Map, class GetEntry>
Map get_table(Reader& r, size_t entry_bytes, uint64_t counter, GetEntry&& get_entry) {
  const uint64_t buckets = r.buckets();
  std::vector<typename Map::value_type> entries;
  const size_t count = r.count(entry_bytes);
  entries.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const auto id = r.get<uint64_t>();
    if (id == 0 || id > counter) damaged("a node or edge number the registry never issued");
    entries.emplace_back(id, get_entry(id));
  }
  Map map;
  map.rehash(buckets);
  // An insert goes to the front of its bucket, so inserting backwards restores the order.
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry)
    if (!map.insert(*entry).second) damaged("a number appears twice in one genome");
  return map;
}

void put_genome(Writer& w, const Genome& genome, size_t registry) {
  w.count(registry);
  put_config(w, *genome.config);
  put_special(w, *genome.specialization.config);
  w.flag(genome.adjusted_fitness.has_value());
  w.put(genome.adjusted_fitness.value_or(0.0));
  w.flag(genome.objectives.has_value());
  const auto& objectives = genome.objectives ? *genome.objectives : std::vector<double>{};
  w.count(objectives.size());
  for (double value : objectives) w.put(value);
  put_table(w, genome.nodes, [&](const weave::WeaveNode& node) {
    w.put(node.data.pos.row);
    w.put(node.data.pos.column);
    w.variant(node.data.type);
  });
  put_table(w, genome.edges, [&](const evocore::Edge& edge) {
    w.put(edge.node1);
    w.put(edge.node2);
    w.flag(edge.enabled);
  });
  w.put(genome.fitness);
  w.flag(genome.elite);
}

Genome get_genome(Reader& r, const std::vector<RegistryHandle>& registries, SharedOnLoad& shared) {
  Genome genome;
  genome.state = registries[r.index(registries.size())];
  genome.config = shared.config(r);
  genome.specialization.config = shared.special(r);
  const bool has_adjusted = r.flag();
  const auto adjusted = r.get<double>();
  if (has_adjusted) genome.adjusted_fitness = adjusted;
  const bool has_objectives = r.flag();
  std::vector<double> objectives(r.count(8));
  for (double& value : objectives) value = r.get<double>();
  if (has_objectives) genome.objectives = std::move(objectives);
  const uint64_t nodes = genome.state->node_counter(), edges = genome.state->edge_counter();
  genome.nodes = get_table<weave::WeaveNodeMap>(r, 17, nodes, [&](uint64_t id) {
    weave::WeaveNode node{id, {}};
    node.data.pos.row = r.get<int32_t>();
    node.data.pos.column = r.get<int32_t>();
    node.data.type = r.variant<weave::NodeType>(2);
    return node;
  });
  genome.edges = get_table<evocore::EdgeMap>(r, 25, edges, [&](uint64_t id) {
    evocore::Edge edge{id, 0, 0, true};
    edge.node1 = r.get<uint64_t>();
    edge.node2 = r.get<uint64_t>();
    edge.enabled = r.flag();
    return edge;
  });
  // Every edge joins two nodes of its genome: the evaluation, the operators and
  // the polish all rely on it.
  for (const auto& [id, edge] : genome.edges)
    for (const uint64_t end : {edge.node1, edge.node2})
      if (!genome.nodes.contains(end))
        damaged("edge " + std::to_string(id) + " names node " + std::to_string(end) +
                ", which its genome lacks");
  genome.fitness = r.get<double>();
  genome.elite = r.flag();
  return genome;
}

// ---- whole states ------------------------------------------------------------

// Collects registries and genomes while a state is written; a registry or a
// genome reached twice is written once and referred to by its index.
class Saver {
 public:
  size_t registry(const RegistryHandle& handle) {
    if (!handle) evocore::fail("a genome without an innovation registry");
    auto [entry, added] = registry_index_.try_emplace(handle.get(), registries_.size());
    if (added) registries_.push_back(handle);
    return entry->second;
  }

  // Read-locks the genome while it is written.
  size_t genome(const GenomeHandle& handle) {
    auto [entry, added] = genome_index_.try_emplace(handle.identity(), genome_index_.size());
    if (added) {
      const auto guard = handle.read();
      put_genome(genomes_, *guard, registry(guard->state));
    }
    return entry->second;
  }

  void inline_genome(Writer& w, const Genome& genome) { put_genome(w, genome, registry(genome.state)); }

  // Registries come last, so their counters cover every number of the genomes.
  std::string finish(Kind kind, Writer& payload) {
    Writer w;
    for (char c : kMagic) w.put(c);
    w.put(kStateFormat);
    w.variant(kind);
    w.count(registries_.size());
    for (const auto& registry : registries_) put_registry(w, *registry);
    w.count(genome_index_.size());
    w.append(genomes_.take());
    w.append(payload.take());
    return w.take();
  }

 private:
  std::unordered_map<const Registry*, size_t> registry_index_;
  std::vector<RegistryHandle> registries_;
  std::unordered_map<const void*, size_t> genome_index_;
  Writer genomes_;
};

void put_genome_indices(Writer& w, Saver& saver, const GenomeList& genomes) {
  w.count(genomes.size());
  for (const auto& genome : genomes) w.count(saver.genome(genome));
}

std::string save_population(const PopulationHandle& handle, const GenomeList& extras) {
  Saver saver;
  Writer w;
  const auto population = handle.read();
  w.count(saver.registry(population->state));
  put_config(w, *population->config);
  put_special(w, *population->specialization.config);
  w.put(population->current_species_threshold);
  put_genome_indices(w, saver, population->members);
  w.count(population->species.size());
  for (const auto& species : population->species) {
    saver.inline_genome(w, species.representative);
    put_config(w, *species.config);
    put_genome_indices(w, saver, species.members);
  }
  put_genome_indices(w, saver, extras);
  return saver.finish(Kind::Population, w);
}

struct Loaded {
  std::vector<RegistryHandle> registries;
  GenomeList genomes;
  std::optional<PopulationHandle> population;
  GenomeList extras;
};

GenomeList get_genome_indices(Reader& r, const GenomeList& genomes) {
  GenomeList list(r.count(8));
  for (auto& genome : list) genome = genomes[r.index(genomes.size())];
  return list;
}

Population get_population(Reader& r, const Loaded& loaded, SharedOnLoad& shared) {
  Population population;
  population.state = loaded.registries[r.index(loaded.registries.size())];
  population.config = shared.config(r);
  population.specialization.config = shared.special(r);
  population.current_species_threshold = r.get<double>();
  population.members = get_genome_indices(r, loaded.genomes);
  population.species.resize(r.count(64));
  for (auto& species : population.species) {
    species.representative = get_genome(r, loaded.registries, shared);
    species.config = shared.config(r);
    species.members = get_genome_indices(r, loaded.genomes);
  }
  return population;
}

Loaded load(const std::string& bytes, Kind expected) {
  Reader r(bytes);
  for (char c : kMagic)
    if (r.get<char>() != c) damaged("it does not start like one");
  r.format = r.get<uint32_t>();
  if (r.format != kStateFormat && r.format != kOldStateFormat)
    damaged("format " + std::to_string(r.format) + ", this version reads formats " +
            std::to_string(kOldStateFormat) + " and " + std::to_string(kStateFormat));
  if (r.variant<Kind>(3) != expected) damaged("it holds another kind of object");
  Loaded loaded;
  SharedOnLoad shared;
  loaded.registries.resize(r.count(32));
  for (auto& registry : loaded.registries) registry = get_registry(r);
  loaded.genomes.resize(r.count(64));
  for (auto& genome : loaded.genomes) genome = GenomeHandle::make(get_genome(r, loaded.registries, shared));
  if (expected == Kind::Population) {
    loaded.population = PopulationHandle::make(get_population(r, loaded, shared));
    loaded.extras = get_genome_indices(r, loaded.genomes);
  } else if (loaded.genomes.size() != 1) {
    damaged("a genome state holds " + std::to_string(loaded.genomes.size()) + " genomes");
  }
  r.expect_end();
  return loaded;
}

// Runs `body`, turning engine failures into Python exceptions (see guarded).
template <class F>
auto translated(F&& body) {
  std::optional<decltype(body())> result;
  PyObject* done = guarded([&] {
    result.emplace(body());
    Py_RETURN_NONE;
  });
  if (!done) throw nb::python_error();
  Py_DECREF(done);
  return std::move(*result);
}

std::string bytes_of(nb::handle state) {
  if (!PyBytes_Check(state.ptr()))
    raise(PyExc_ValueError, "not a valid gridweave state: expected bytes, got " + type_name(state.ptr()));
  return std::string(PyBytes_AS_STRING(state.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(state.ptr())));
}

nb::bytes to_bytes(const std::string& bytes) { return nb::bytes(bytes.data(), bytes.size()); }

}  // namespace

nb::bytes genome_state(const PyGenome& genome) {
  const std::string bytes = translated([&] {
    return without_gil([&] {
      Saver saver;
      Writer payload;
      saver.genome(genome.handle);
      return saver.finish(Kind::Genome, payload);
    });
  });
  return to_bytes(bytes);
}

void restore_genome(PyGenome* self, nb::handle state) {
  const std::string bytes = bytes_of(state);
  Loaded loaded = translated([&] { return load(bytes, Kind::Genome); });
  new (self) PyGenome{std::move(loaded.genomes.front())};
}

nb::bytes population_state(const PyPopulation& population) {
  const std::string bytes =
      translated([&] { return without_gil([&] { return save_population(population.handle, {}); }); });
  return to_bytes(bytes);
}

void restore_population(PyPopulation* self, nb::handle state) {
  const std::string bytes = bytes_of(state);
  Loaded loaded = translated([&] { return load(bytes, Kind::Population); });
  new (self) PyPopulation{std::move(*loaded.population)};
}

void register_state_functions(nb::module_& module) {
  module.def(
      "_save_run",
      [](nb::handle population_obj, nb::handle genomes_obj) {
        PopulationHandle population =
            convert_arg("population", [&] { return to_population(population_obj.ptr()); });
        GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj.ptr()); });
        const std::string bytes =
            translated([&] { return without_gil([&] { return save_population(population, genomes); }); });
        return to_bytes(bytes);
      },
      nb::arg("population"), nb::arg("genomes"));
  module.def(
      "_load_run",
      [](nb::handle state) {
        const std::string bytes = bytes_of(state);
        Loaded loaded = translated([&] { return load(bytes, Kind::Population); });
        nb::object population = nb::cast(PyPopulation{std::move(*loaded.population)});
        return nb::make_tuple(population, genome_list_object(loaded.extras));
      },
      nb::arg("state"));
}

}  // namespace gwpy
