#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "../evocore/genome_batch.hpp"
#include "../evocore/thread_pool.hpp"
#include "../localsearch/balanced_polish.hpp"
#include "../localsearch/polish.hpp"
#include "../localsearch/redundancy.hpp"
#include "../routing/attach.hpp"
#include "../routing/heuristics.hpp"
#include "../routing/optimal.hpp"
#include "../routing/ring.hpp"
#include "convert.hpp"
#include "cost_maps.hpp"
#include "functions.hpp"
#include "interrupts.hpp"

// Least-cost heuristics and local search for Python. The work runs with the
// interpreter lock released; arguments are converted and checked first.
namespace gwpy {
namespace {

using weave::Cell;

[[noreturn]] void raise_value(const char* argument, const std::string& message) {
  raise(PyExc_ValueError, "argument '" + std::string(argument) + "': " + message);
}

// Built by appending: GCC 12 misreports chains of string concatenations (-Wrestrict).
std::string pair_text(int64_t first, int64_t second) {
  std::string text("(");
  text.append(std::to_string(first)).append(", ").append(std::to_string(second)).append(")");
  return text;
}

std::string cell_text(Cell pos) { return pair_text(pos.row, pos.column); }

Cell to_cell(PyObject* obj, const CostMapView& map, const char* argument) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
  if (PySequence_Size(obj) != 2) raise(PyExc_TypeError, "a cell is a pair (row, column)");
  int64_t coordinates[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    nb::object item = nb::steal(PySequence_GetItem(obj, i));
    if (!item.is_valid()) throw nb::python_error();
    nb::object index = nb::steal(PyNumber_Index(item.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    coordinates[i] = PyLong_AsLongLong(index.ptr());
    if (coordinates[i] == -1 && PyErr_Occurred()) throw nb::python_error();
  }
  if (coordinates[0] < 0 || coordinates[1] < 0 || static_cast<uint64_t>(coordinates[0]) >= map.rows() ||
      static_cast<uint64_t>(coordinates[1]) >= map.cols())
    raise_value(argument,
                std::string("cell ")
                    .append(pair_text(coordinates[0], coordinates[1]))
                    .append(" lies outside the cost map of shape ")
                    .append(pair_text(static_cast<int64_t>(map.rows()), static_cast<int64_t>(map.cols()))));
  return Cell{static_cast<int32_t>(coordinates[0]), static_cast<int32_t>(coordinates[1])};
}

// Distinct cells inside the map, in the caller's order.
std::vector<Cell> to_cells(PyObject* obj, const CostMapView& map, const char* argument) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) throw nb::python_error();
  std::vector<Cell> cells;
  std::set<std::pair<int32_t, int32_t>> seen;
  for (Py_ssize_t i = 0; i < size; ++i) {
    nb::object item = nb::steal(PySequence_GetItem(obj, i));
    if (!item.is_valid()) throw nb::python_error();
    const Cell cell = convert_arg(argument, [&] { return to_cell(item.ptr(), map, argument); });
    if (!seen.insert({cell.row, cell.column}).second)
      raise_value(argument, "cell " + cell_text(cell) + " is given twice");
    cells.push_back(cell);
  }
  return cells;
}

nb::object network_object(const routing::Network& network) {
  nb::list nodes, edges;
  for (const Cell& pos : network.nodes) nodes.append(nb::make_tuple(pos.row, pos.column));
  for (const auto& [a, b] : network.edges) edges.append(nb::make_tuple(a, b));
  return nb::make_tuple(nodes, network.fixed_count, edges, network.cost);
}

PyObject* networks_object(const std::vector<routing::Network>& networks) {
  nb::list list;
  for (const auto& network : networks) list.append(network_object(network));
  return list.release().ptr();
}

routing::SteinerMethod to_method(PyObject* obj) {
  const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr;
  if (!text) raise_cannot_convert(obj, "str");
  const std::string name = text;
  if (name == "best") return routing::SteinerMethod::Best;
  if (name == "voronoi") return routing::SteinerMethod::Voronoi;
  if (name == "grow") return routing::SteinerMethod::Grow;
  raise_value("method", "expected 'best', 'voronoi' or 'grow', got '" + name + "'");
}

bool truth(PyObject* obj) {
  const int value = PyObject_IsTrue(obj);
  if (value < 0) throw nb::python_error();
  return value != 0;
}

// A deadline in seconds from now; None (or nothing) is no deadline.
evocore::Clock::time_point to_deadline(PyObject* obj) {
  if (!obj || obj == Py_None) return evocore::kNoDeadline;
  const double seconds = PyFloat_AsDouble(obj);
  if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
  if (std::isnan(seconds)) raise_value("deadline", "must be a number of seconds or None, got NaN");
  if (seconds >= 1e9) return evocore::kNoDeadline;
  const auto now = evocore::Clock::now();
  if (seconds <= 0.0) return now;
  return now + std::chrono::duration_cast<evocore::Clock::duration>(std::chrono::duration<double>(seconds));
}

[[noreturn]] void raise_unreachable() {
  raise_value("terminals",
              "some terminals cannot be joined: every route between them crosses impassable cells");
}

PyObject* least_cost_distances(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"cost_map", "sources", nullptr};
    PyObject *cost_obj = nullptr, *sources_obj = nullptr;
    parse_args(args, kwargs, "OO:least_cost_distances", keywords, &cost_obj, &sources_obj);
    const auto map = convert_arg("cost_map", [&] { return searchable_cost_map(cost_obj, "cost_map"); });
    const std::vector<Cell> sources =
        convert_arg("sources", [&] { return to_cells(sources_obj, *map, "sources"); });
    std::vector<double> distances(map->rows() * map->cols());
    const InterruptScope interruptible;
    {
      nb::gil_scoped_release unlocked;
      routing::LeastCostSearch search(map->view());
      for (const Cell& pos : sources) search.add_source(routing::pos_cell(map->view(), pos));
      search.propagate();
      for (uint64_t cell = 0; cell < distances.size(); ++cell) distances[cell] = search.distance(cell);
    }
    return new_array(std::move(distances), map->rows(), map->cols());
  });
}

PyObject* least_cost_path(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"cost_map", "start", "end", nullptr};
    PyObject *cost_obj = nullptr, *start_obj = nullptr, *end_obj = nullptr;
    parse_args(args, kwargs, "OOO:least_cost_path", keywords, &cost_obj, &start_obj, &end_obj);
    const auto map = convert_arg("cost_map", [&] { return searchable_cost_map(cost_obj, "cost_map"); });
    const Cell start = convert_arg("start", [&] { return to_cell(start_obj, *map, "start"); });
    const Cell end = convert_arg("end", [&] { return to_cell(end_obj, *map, "end"); });
    std::vector<uint64_t> cells;
    const InterruptScope interruptible;
    {
      nb::gil_scoped_release unlocked;
      cells = routing::least_cost_path(map->view(), routing::pos_cell(map->view(), start),
                                       routing::pos_cell(map->view(), end));
    }
    if (cells.empty())
      raise_value("end", "cannot be reached from the start without crossing impassable cells");
    nb::list path;
    for (uint64_t cell : cells) path.append(nb::make_tuple(cell / map->cols(), cell % map->cols()));
    return path.release().ptr();
  });
}

// Converts the arguments of the Steiner functions and runs `build` without the interpreter lock.
template <class Build>
PyObject* run_steiner(PyObject* args, PyObject* kwargs, const char* format, Build&& build) {
  static const char* keywords[] = {"cost_map",  "terminals", "method", "roots",
                                   "lookahead", "deadline",  nullptr};
  PyObject *cost_obj = nullptr, *terminals_obj = nullptr, *method_obj = nullptr, *roots_obj = nullptr,
           *lookahead_obj = nullptr, *deadline_obj = nullptr;
  parse_args(args, kwargs, format, keywords, &cost_obj, &terminals_obj, &method_obj, &roots_obj,
             &lookahead_obj, &deadline_obj);
  const auto map = convert_arg("cost_map", [&] { return searchable_cost_map(cost_obj, "cost_map"); });
  const std::vector<Cell> terminals =
      convert_arg("terminals", [&] { return to_cells(terminals_obj, *map, "terminals"); });
  routing::SteinerOptions options;
  if (method_obj) options.method = convert_arg("method", [&] { return to_method(method_obj); });
  if (roots_obj) options.roots = convert_arg("roots", [&] { return to_size(roots_obj); });
  if (roots_obj && options.roots == 0) raise_value("roots", "must be at least 1");
  if (lookahead_obj) options.lookahead = convert_arg("lookahead", [&] { return to_size(lookahead_obj); });
  if (lookahead_obj && options.lookahead == 0) raise_value("lookahead", "must be at least 1");
  const auto until = convert_arg("deadline", [&] { return to_deadline(deadline_obj); });
  std::vector<routing::Network> networks;
  bool unreachable = false;
  const InterruptScope interruptible;
  {
    nb::gil_scoped_release unlocked;
    const evocore::DeadlineScope bounded(until);
    try {
      networks = build(map->view(), terminals, options);
    } catch (const routing::Unreachable&) {
      unreachable = true;
    }
  }
  if (unreachable) raise_unreachable();
  return networks_object(networks);
}

PyObject* steiner_network(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    nb::object list = nb::steal(run_steiner(args, kwargs, "OO|OOOO:steiner_network", [](auto&&... a) {
      return std::vector<routing::Network>{routing::steiner_network(a...)};
    }));
    return nb::object(list[0]).release().ptr();
  });
}

PyObject* steiner_candidates(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return run_steiner(args, kwargs, "OO|OOOO:steiner_candidates",
                       [](auto&&... a) { return routing::steiner_candidates(a...); });
  });
}

PyObject* spanning_network(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"cost_map", "terminals", nullptr};
    PyObject *cost_obj = nullptr, *terminals_obj = nullptr;
    parse_args(args, kwargs, "OO:spanning_network", keywords, &cost_obj, &terminals_obj);
    const auto map = convert_arg("cost_map", [&] { return searchable_cost_map(cost_obj, "cost_map"); });
    const std::vector<Cell> terminals =
        convert_arg("terminals", [&] { return to_cells(terminals_obj, *map, "terminals"); });
    routing::Network network;
    const InterruptScope interruptible;
    {
      nb::gil_scoped_release unlocked;
      network = routing::spanning_network(map->view(), terminals);
    }
    return network_object(network).release().ptr();
  });
}

PyObject* attached_network(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"cost_map",  "terminals", "existing", "regions",
                                     "lookahead", "deadline",  "root",     nullptr};
    PyObject *cost_obj = nullptr, *terminals_obj = nullptr, *existing_obj = nullptr, *regions_obj = nullptr,
             *lookahead_obj = nullptr, *deadline_obj = nullptr, *root_obj = nullptr;
    parse_args(args, kwargs, "OO|OOOOO:attached_network", keywords, &cost_obj, &terminals_obj, &existing_obj,
               &regions_obj, &lookahead_obj, &deadline_obj, &root_obj);
    const auto map = convert_arg("cost_map", [&] { return searchable_cost_map(cost_obj, "cost_map"); });
    const std::vector<Cell> terminals =
        convert_arg("terminals", [&] { return to_cells(terminals_obj, *map, "terminals"); });
    const auto attachments = to_attachments(existing_obj, regions_obj, map->rows(), map->cols());
    if (terminals.empty() && !attachments)
      raise_value("terminals", "needs terminals, an existing network or regions");
    map->attach(attachments.get());
    const size_t lookahead =
        lookahead_obj ? convert_arg("lookahead", [&] { return to_size(lookahead_obj); }) : 64;
    if (lookahead == 0) raise_value("lookahead", "must be at least 1");
    const auto until = convert_arg("deadline", [&] { return to_deadline(deadline_obj); });
    std::optional<size_t> root;
    if (root_obj && root_obj != Py_None) root = convert_arg("root", [&] { return to_size(root_obj); });
    if (root && *root >= terminals.size()) raise_value("root", "must be the index of a terminal");
    std::vector<uint64_t> cells;
    for (const Cell& pos : terminals) cells.push_back(routing::pos_cell(map->view(), pos));
    routing::Network network;
    bool unreachable = false, late = false;
    const InterruptScope interruptible;
    {
      nb::gil_scoped_release unlocked;
      const evocore::DeadlineScope bounded(until);
      try {
        network = routing::attached_network(map->view(), cells, lookahead, root);
      } catch (const routing::Unreachable&) {
        unreachable = true;
      } catch (const evocore::DeadlinePassed&) {
        late = true;
      }
    }
    if (late) Py_RETURN_NONE;
    if (unreachable)
      raise_value("terminals",
                  "some terminals or regions cannot be joined to the rest: every route "
                  "crosses impassable cells");
    return network_object(network).release().ptr();
  });
}

PyObject* polish_genomes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"genomes",     "cost_map", "radius",   "max_rounds",
                                     "split_edges", "exchange", "deadline", "keep_redundancy",
                                     "existing",    "regions",  nullptr};
    PyObject *genomes_obj = nullptr, *cost_obj = nullptr, *radius_obj = nullptr, *rounds_obj = nullptr,
             *split_obj = nullptr, *exchange_obj = nullptr, *deadline_obj = nullptr, *keep_obj = nullptr,
             *existing_obj = nullptr, *regions_obj = nullptr;
    parse_args(args, kwargs, "OO|OOOOOO$OO:polish_genomes", keywords, &genomes_obj, &cost_obj, &radius_obj,
               &rounds_obj, &split_obj, &exchange_obj, &deadline_obj, &keep_obj, &existing_obj, &regions_obj);
    const bool keep_redundancy = keep_obj && truth(keep_obj);
    GenomeList genomes = convert_arg("genomes", [&] { return to_genome_list(genomes_obj); });
    // Read in place: these run every generation, on maps of any size.
    const auto map = convert_arg("cost_map", [&] { return searchable_cost_map(cost_obj, "cost_map"); });
    const auto attachments = to_attachments(existing_obj, regions_obj, map->rows(), map->cols());
    map->attach(attachments.get());
    const auto until = convert_arg("deadline", [&] { return to_deadline(deadline_obj); });
    localsearch::PolishOptions options;
    if (split_obj) options.split_edges = truth(split_obj);
    if (exchange_obj) options.exchange_paths = truth(exchange_obj);
    if (radius_obj) {
      const size_t radius = convert_arg("radius", [&] { return to_size(radius_obj); });
      if (radius < 1 || radius > 1024) raise_value("radius", "must be between 1 and 1024");
      options.radius = static_cast<int32_t>(radius);
    }
    if (rounds_obj) options.max_rounds = convert_arg("max_rounds", [&] { return to_size(rounds_obj); });
    std::vector<double> costs(genomes.size());
    const InterruptScope interruptible;
    {
      nb::gil_scoped_release unlocked;
      const evocore::DeadlineScope bounded(until);
      const weave::CostMap view = map->view();
      evocore::change_genomes(genomes, [&](Genome& genome, size_t i) {
        costs[i] = keep_redundancy ? localsearch::polish_keeping_redundancy(genome, view, options).cost_after
                                   : localsearch::polish_genome(genome, view, options).cost_after;
      });
    }
    nb::list result;
    for (double cost : costs) result.append(cost);
    return result.release().ptr();
  });
}

PyObject* redundancy_chain(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"genome", "cost_map", "steps", "routed", "deadline", nullptr};
    PyObject *genome_obj = nullptr, *cost_obj = nullptr, *steps_obj = nullptr, *routed_obj = nullptr,
             *deadline_obj = nullptr;
    parse_args(args, kwargs, "OO|OOO:redundancy_chain", keywords, &genome_obj, &cost_obj, &steps_obj,
               &routed_obj, &deadline_obj);
    GenomeHandle genome = convert_arg("genome", [&] { return to_genome(genome_obj); });
    // Read in place: these run every generation, on maps of any size.
    const auto map = convert_arg("cost_map", [&] { return searchable_cost_map(cost_obj, "cost_map"); });
    const size_t steps = steps_obj ? convert_arg("steps", [&] { return to_size(steps_obj); }) : 64;
    localsearch::RedundancyOptions options;
    if (routed_obj) options.routed = truth(routed_obj);
    const auto until = convert_arg("deadline", [&] { return to_deadline(deadline_obj); });
    std::vector<Genome> chain;
    const InterruptScope interruptible;
    {
      nb::gil_scoped_release unlocked;
      const evocore::DeadlineScope bounded(until);
      // A copy, so that no genome lock is held while the chain waits for the
      // worker pool (pool work may need that lock).
      const Genome start = genome.read()->clone();
      chain = localsearch::redundancy_chain(start, map->view(), steps, options);
    }
    GenomeList handles;
    for (Genome& network : chain) handles.push_back(GenomeHandle::make(std::move(network)));
    return genome_list_object(handles).release().ptr();
  });
}

PyObject* ring_network(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"cost_map", "terminals", "lookahead", "deadline", nullptr};
    PyObject *cost_obj = nullptr, *terminals_obj = nullptr, *lookahead_obj = nullptr, *deadline_obj = nullptr;
    parse_args(args, kwargs, "OO|OO:ring_network", keywords, &cost_obj, &terminals_obj, &lookahead_obj,
               &deadline_obj);
    const auto map = convert_arg("cost_map", [&] { return searchable_cost_map(cost_obj, "cost_map"); });
    const std::vector<Cell> terminals =
        convert_arg("terminals", [&] { return to_cells(terminals_obj, *map, "terminals"); });
    size_t lookahead = 64;
    if (lookahead_obj) lookahead = convert_arg("lookahead", [&] { return to_size(lookahead_obj); });
    if (lookahead == 0) raise_value("lookahead", "must be at least 1");
    const auto until = convert_arg("deadline", [&] { return to_deadline(deadline_obj); });
    std::optional<routing::Network> network;
    bool unreachable = false;
    const InterruptScope interruptible;
    {
      nb::gil_scoped_release unlocked;
      const evocore::DeadlineScope bounded(until);
      try {
        network = routing::ring_network(map->view(), terminals, lookahead);
      } catch (const routing::Unreachable&) {
        unreachable = true;
      } catch (const evocore::DeadlinePassed&) {
      }
    }
    if (unreachable) raise_unreachable();
    if (!network) return nb::none().release().ptr();
    return network_object(*network).release().ptr();
  });
}

PyObject* augment_tree(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"genome", "cost_map", "neighbours", "deadline", nullptr};
    PyObject *genome_obj = nullptr, *cost_obj = nullptr, *neighbours_obj = nullptr, *deadline_obj = nullptr;
    parse_args(args, kwargs, "OO|OO:augment_tree", keywords, &genome_obj, &cost_obj, &neighbours_obj,
               &deadline_obj);
    GenomeHandle genome = convert_arg("genome", [&] { return to_genome(genome_obj); });
    const auto map = convert_arg("cost_map", [&] { return searchable_cost_map(cost_obj, "cost_map"); });
    localsearch::RedundancyOptions options;
    options.routed = true;
    if (neighbours_obj)
      options.neighbours = convert_arg("neighbours", [&] { return to_size(neighbours_obj); });
    const auto until = convert_arg("deadline", [&] { return to_deadline(deadline_obj); });
    std::optional<Genome> augmented;
    const InterruptScope interruptible;
    {
      nb::gil_scoped_release unlocked;
      const evocore::DeadlineScope bounded(until);
      const Genome start = genome.read()->clone();  // no genome lock while the pool works
      try {
        augmented = localsearch::augment_tree(start, map->view(), options);
      } catch (const evocore::DeadlinePassed&) {
      }
    }
    if (!augmented) return nb::none().release().ptr();
    GenomeList handles{GenomeHandle::make(std::move(*augmented))};
    return nb::object(genome_list_object(handles)[0]).release().ptr();
  });
}

double to_positive(PyObject* obj, const char* argument) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
  if (!(value > 0.0)) raise_value(argument, "must be a positive number");
  return value;
}

std::vector<uint64_t> to_candidate_cells(PyObject* obj, const CostMapView& map) {
  std::vector<uint64_t> cells;
  for (const Cell& pos : to_cells(obj, map, "candidates"))
    cells.push_back(routing::pos_cell(map.view(), pos));
  return cells;
}

std::vector<std::vector<uint64_t>> to_groups(PyObject* obj, const CostMapView& map) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) throw nb::python_error();
  std::vector<std::vector<uint64_t>> groups;
  for (Py_ssize_t i = 0; i < size; ++i) {
    nb::object item = nb::steal(PySequence_GetItem(obj, i));
    if (!item.is_valid()) throw nb::python_error();
    std::vector<uint64_t> cells;
    for (const Cell& pos : to_cells(item.ptr(), map, "groups"))
      cells.push_back(routing::pos_cell(map.view(), pos));
    groups.push_back(std::move(cells));
  }
  return groups;
}

// The exact optimum; None when the deadline passes first.
PyObject* optimal_network(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static const char* keywords[] = {"cost_map",   "terminals", "upper_bound",   "candidates", "max_seconds",
                                     "max_memory", "deadline",  "estimate_only", "groups",     nullptr};
    PyObject *cost_obj = nullptr, *terminals_obj = nullptr, *upper_obj = nullptr, *candidates_obj = nullptr,
             *seconds_obj = nullptr, *memory_obj = nullptr, *deadline_obj = nullptr, *estimate_obj = nullptr,
             *groups_obj = nullptr;
    parse_args(args, kwargs, "OO|OOOOOOO:optimal_network", keywords, &cost_obj, &terminals_obj, &upper_obj,
               &candidates_obj, &seconds_obj, &memory_obj, &deadline_obj, &estimate_obj, &groups_obj);
    const bool estimate_only = estimate_obj && truth(estimate_obj);
    const auto map = convert_arg("cost_map", [&] { return searchable_cost_map(cost_obj, "cost_map"); });
    const std::vector<Cell> terminals =
        convert_arg("terminals", [&] { return to_cells(terminals_obj, *map, "terminals"); });
    routing::OptimalOptions options;
    if (upper_obj && upper_obj != Py_None)
      options.upper_bound = convert_arg("upper_bound", [&] { return to_positive(upper_obj, "upper_bound"); });
    if (candidates_obj && candidates_obj != Py_None)
      options.candidates =
          convert_arg("candidates", [&] { return to_candidate_cells(candidates_obj, *map); });
    if (seconds_obj)
      options.max_seconds =
          convert_arg("max_seconds", [&] { return to_positive(seconds_obj, "max_seconds"); });
    if (memory_obj)
      options.max_bytes = convert_arg("max_memory", [&] { return to_positive(memory_obj, "max_memory"); });
    if (groups_obj && groups_obj != Py_None) {
      options.groups = convert_arg("groups", [&] { return to_groups(groups_obj, *map); });
      if (options.groups.size() != terminals.size())
        raise_value("groups", "needs one list of cells per terminal");
    }
    const auto until = convert_arg("deadline", [&] { return to_deadline(deadline_obj); });
    std::optional<routing::Network> network;
    std::optional<routing::OptimalEstimate> estimate, too_large;
    bool unreachable = false, below = false;
    const InterruptScope interruptible;
    {
      nb::gil_scoped_release unlocked;
      const evocore::DeadlineScope bounded(until);
      try {
        if (estimate_only)
          estimate = routing::estimate_network(map->view(), terminals, options);
        else
          network = routing::optimal_network(map->view(), terminals, options);
      } catch (const routing::Unreachable&) {
        unreachable = true;
      } catch (const routing::NoneBelowBound&) {
        below = true;
      } catch (const routing::TooLarge& error) {
        too_large = error.estimate;
      } catch (const evocore::DeadlinePassed&) {
      }
    }
    if (unreachable) raise_unreachable();
    if (below) raise_value("upper_bound", "no network joins the terminals at or below this cost");
    if (too_large)
      raise_value("terminals", "the exact network is too large to compute: estimated " + too_large->text() +
                                   ", above max_seconds or max_memory");
    if (estimate) {
      nb::dict figures;
      figures["seconds"] = estimate->seconds;
      figures["bytes"] = estimate->bytes;
      figures["vertices"] = estimate->vertices;
      figures["subsets"] = estimate->subsets;
      return figures.release().ptr();
    }
    if (!network) Py_RETURN_NONE;
    return network_object(*network).release().ptr();
  });
}

PyMethodDef routing_defs[] = {
    keyword_def<least_cost_distances>(
        "least_cost_distances",
        "least_cost_distances(cost_map, sources)\n--\n\n"
        "Least-cost distance of every cell from the nearest source cell, over the 8-connected cell graph\n"
        "(a step costs its length times the mean cost of its two cells; inf where unreachable)."),
    keyword_def<least_cost_path>("least_cost_path",
                                 "least_cost_path(cost_map, start, end)\n--\n\n"
                                 "Cells of a least-cost path from start to end, both included."),
    keyword_def<steiner_network>(
        "steiner_network",
        "steiner_network(cost_map, terminals, method='best', roots=4, lookahead=64, deadline=None)\n--\n\n"
        "Least-cost Steiner tree heuristic, straightened into straight edges.\n"
        "Returns (nodes, fixed_count, edges, cost): node cells (terminals first), index pairs and the trace "
        "cost."),
    keyword_def<steiner_candidates>(
        "steiner_candidates",
        "steiner_candidates(cost_map, terminals, method='best', roots=4, lookahead=64, deadline=None)\n--\n\n"
        "Every straightened tree the Steiner heuristics build (Voronoi first, then one per root),\n"
        "each as steiner_network returns it."),
    keyword_def<spanning_network>("spanning_network",
                                  "spanning_network(cost_map, terminals)\n--\n\n"
                                  "Minimum spanning tree of straight edges over the terminals.\n"
                                  "Returns (nodes, fixed_count, edges, cost) like steiner_network."),
    keyword_def<optimal_network>(
        "optimal_network",
        "optimal_network(cost_map, terminals, upper_bound=None, candidates=None, max_seconds=1800.0, "
        "max_memory=4e9, deadline=None, estimate_only=False, groups=None)\n--\n\n"
        "The minimum-cost network of straight edges joining the terminals (Dreyfus-Wagner over the\n"
        "complete straight-edge graph of the candidate cells, all cells by default). Returns\n"
        "(nodes, fixed_count, edges, cost) like steiner_network, or None when the deadline passes;\n"
        "with estimate_only, the estimate as a dict (seconds, bytes, vertices, subsets). groups gives for\n"
        "every terminal the cells of an existing network part it stands for (attached to at no node cost)."),
    keyword_def<attached_network>(
        "attached_network",
        "attached_network(cost_map, terminals, existing=None, regions=None, lookahead=64, "
        "deadline=None, root=None)\n--\n\n"
        "A tree of least-cost paths, straightened, that joins the terminals to the existing network (cell\n"
        "indices, costing nothing) and reaches every region (arrays of cell indices). Returns (nodes,\n"
        "fixed_count, edges, cost) like steiner_network; the cost leaves out the existing network. With\n"
        "root (a terminal's index) the tree grows from that terminal and joins the existing network\n"
        "where it first reaches it. None when the deadline passes first."),
    keyword_def<polish_genomes>(
        "polish_genomes",
        "polish_genomes(genomes, cost_map, radius=2, max_rounds=64, split_edges=True, exchange=False, "
        "deadline=None, keep_redundancy=False, *, existing=None, regions=None)\n--\n\n"
        "Improves each connected genome in place by exact local moves (with exchange, also key-path\n"
        "exchange on trees) and evaluates it; returns the trace cost of every genome afterwards. With\n"
        "keep_redundancy, only moves that raise neither the cost nor the bridge share are taken."),
    keyword_def<ring_network>(
        "ring_network",
        "ring_network(cost_map, terminals, lookahead=64, deadline=None)\n--\n\n"
        "A ring through the terminals: a tour over their least-cost distances (2-opt and or-opt),\n"
        "each leg a straightened least-cost path. Returns (nodes, fixed_count, edges, cost) like\n"
        "steiner_network, or None when the deadline passes first."),
    keyword_def<augment_tree>(
        "augment_tree",
        "augment_tree(genome, cost_map, neighbours=8, deadline=None)\n--\n\n"
        "A new genome without bridges: the network with the cheapest connections (straight edges and\n"
        "straightened least-cost paths from its leaves) that protect every edge, found greedily and\n"
        "pruned; None when none is found in time."),
    keyword_def<redundancy_chain>(
        "redundancy_chain",
        "redundancy_chain(genome, cost_map, steps=64, routed=False, deadline=None)\n--\n\n"
        "New genomes that add straight edges to the network one at a time, each the edge that removes\n"
        "the most bridge share per unit of added cost; evaluated, sharing the genome's registry. With\n"
        "routed, straightened least-cost paths between nodes near along the map are offered too."),
};

}  // namespace

void register_routing_functions(nb::module_& module) {
  for (PyMethodDef& def : routing_defs) add_function(module, &def);
}

}  // namespace gwpy
