#include "connectivity.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <utility>

#include "../../evocore/error.hpp"
#include "../../evocore/flat_index.hpp"
#include "samples.hpp"

namespace weave {

namespace {

using Links = std::vector<std::pair<size_t, size_t>>;

// Undirected adjacency in CSR form: the neighbours of node i are
// neighbours[offsets[i] .. offsets[i + 1]), in the order of the links.
struct Adjacency {
  std::vector<size_t> offsets;
  std::vector<size_t> neighbours;
};

Adjacency adjacency_of(size_t node_count, const Links& links) {
  Adjacency graph;
  graph.offsets.assign(node_count + 1, 0);
  for (const auto& [a, b] : links) ++graph.offsets[a + 1], ++graph.offsets[b + 1];
  for (size_t i = 1; i < graph.offsets.size(); ++i) graph.offsets[i] += graph.offsets[i - 1];
  graph.neighbours.resize(graph.offsets.back());
  std::vector<size_t> fill(graph.offsets.begin(), graph.offsets.end() - 1);
  for (const auto& [a, b] : links) graph.neighbours[fill[a]++] = b, graph.neighbours[fill[b]++] = a;
  return graph;
}

// Components of an undirected graph over uint64 ids, by union-find. Ids are
// numbered in the order they are first named, listed ids first. The numbering
// and the parents are the calling thread's, so that connectivity asked once per
// mutation step does not allocate.
class Components {
 public:
  explicit Components(size_t expected) : index_(scratch().index), parent_(scratch().parent) {
    index_.reset(expected);
    parent_.clear();
  }

  size_t index_of(uint64_t id) {
    const size_t number = index_.add(id);
    if (number == parent_.size()) parent_.push_back(number);
    return number;
  }

  void add_link(uint64_t a, uint64_t b) {
    const size_t root_a = root(index_of(a)), root_b = root(index_of(b));
    if (root_a != root_b) parent_[std::max(root_a, root_b)] = std::min(root_a, root_b);
  }

  // Number of ids, listed or not, in the component of `id`.
  size_t count_reached(uint64_t id) {
    const size_t start = root(index_of(id));
    size_t reached = 0;
    for (size_t i = 0; i < parent_.size(); ++i) reached += root(i) == start;
    return reached;
  }

 private:
  struct Scratch {
    evocore::FlatIndex index;
    std::vector<size_t> parent;
  };
  static Scratch& scratch() {
    thread_local Scratch buffers;
    return buffers;
  }

  size_t root(size_t i) {
    while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];  // path halving
    return i;
  }

  evocore::FlatIndex& index_;
  std::vector<size_t>& parent_;
};

struct BridgeGraph : Adjacency {  // neighbours in edge-map order
  std::vector<Cell> positions;
  double total_length = 0.0;
  size_t long_links = 0;  // enabled edges of nonzero length
};

BridgeGraph build_bridge_graph(const WeaveNodeMap& nodes, const EdgeMap& edges) {
  BridgeGraph graph;
  std::unordered_map<uint64_t, size_t> index;
  index.reserve(nodes.size());
  for (const auto& [id, node] : nodes) {
    index.emplace(id, graph.positions.size());
    graph.positions.push_back(node.data.pos);
  }
  const auto index_of = [&](const Edge& edge, uint64_t id) {
    const auto found = index.find(id);
    if (found == index.end())
      evocore::fail("edge " + std::to_string(edge.id) + " names missing node " + std::to_string(id));
    return found->second;
  };
  Links links;
  for (const auto& [id, edge] : edges) {
    if (!edge.enabled) continue;
    links.emplace_back(index_of(edge, edge.node1), index_of(edge, edge.node2));
    const double length = distance(graph.positions[links.back().first], graph.positions[links.back().second]);
    graph.total_length += length;
    graph.long_links += length > 0.0;
  }
  static_cast<Adjacency&>(graph) = adjacency_of(nodes.size(), links);
  return graph;
}

constexpr size_t kNone = static_cast<size_t>(-1);

struct Frame {
  size_t node;
  size_t parent;  // kNone for the start
  size_t next;    // position in the node's neighbour list
};

// Tarjan's bridge search from `start` with the predecessor test by node
// (every occurrence of the parent is skipped), on an explicit stack; calls
// on_bridge(parent, child) with the node indices of every bridge found.
template <class OnBridge>
void dfs(const BridgeGraph& graph, size_t start, OnBridge&& on_bridge) {
  std::vector<int64_t> disc(graph.positions.size(), -1), low(graph.positions.size(), -1);
  int64_t counter = 0;
  std::vector<Frame> stack;
  const auto enter = [&](size_t node, size_t parent) {
    disc[node] = low[node] = counter++;
    stack.push_back({node, parent, graph.offsets[node]});
  };
  enter(start, kNone);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const size_t u = frame.node;
    if (frame.next < graph.offsets[u + 1]) {
      const size_t v = graph.neighbours[frame.next++];
      if (v == frame.parent) continue;
      if (disc[v] == -1)
        enter(v, u);  // invalidates `frame`
      else
        low[u] = std::min(low[u], disc[v]);
      continue;
    }
    const size_t parent = frame.parent;
    stack.pop_back();
    if (parent == kNone) continue;
    low[parent] = std::min(low[parent], low[u]);
    if (disc[parent] < low[u]) on_bridge(parent, u);
  }
}

int64_t chebyshev(Cell a, Cell b) {
  return std::max(std::abs(int64_t{a.row} - b.row), std::abs(int64_t{a.column} - b.column));
}

// The protection rule of Separation for separations above 0.
class ProtectionTest {
 public:
  ProtectionTest(const WeaveNodeMap& nodes, const EdgeMap& edges, const Separation& separation)
      : reach_(static_cast<int64_t>(std::min<uint64_t>(separation.cells, uint64_t{1} << 40))) {
    std::unordered_map<uint64_t, size_t> index;
    index.reserve(nodes.size());
    for (const auto& [id, node] : nodes)
      index.emplace(id, positions_.size()), positions_.push_back(node.data.pos);
    incident_.resize(positions_.size());
    for (const auto& [id, edge] : edges) {
      if (!edge.enabled) continue;
      const auto a = index.find(edge.node1), b = index.find(edge.node2);
      if (a == index.end() || b == index.end())
        evocore::fail("edge " + std::to_string(edge.id) + " names a missing node");
      Link link{id, a->second, b->second, {}, true};
      const Cell pa = positions_[link.a], pb = positions_[link.b];
      link.x_major = std::abs(int64_t{pa.row} - pb.row) >= std::abs(int64_t{pa.column} - pb.column);
      link.cells.push_back(pa);
      detail::for_each_edge_sample(pa, pb, separation.rows, separation.cols,
                                   [&](uint64_t cell, double, bool) {
                                     const Cell pos{static_cast<int32_t>(cell / separation.cols),
                                                    static_cast<int32_t>(cell % separation.cols)};
                                     if (!(pos == link.cells.back())) link.cells.push_back(pos);
                                   });
      link.cells.push_back(pb);
      for (const Cell& cell : link.cells) link.box.add(cell);
      incident_[link.a].push_back(links_.size());
      if (link.b != link.a) incident_[link.b].push_back(links_.size());
      links_.push_back(std::move(link));
    }
  }

  size_t size() const { return links_.size(); }
  uint64_t id(size_t k) const { return links_[k].id; }
  std::pair<size_t, size_t> ends(size_t k) const { return std::minmax(links_[k].a, links_[k].b); }

  // Search from one end of link k to the other over the links that keep clear of it.
  bool is_protected(size_t k) {
    const Link& e = links_[k];
    if (e.a == e.b) return true;  // a loop on one node is never a bridge either
    Box zone = e.box;
    zone.x0 -= reach_ - 1, zone.y0 -= reach_ - 1, zone.x1 += reach_ - 1, zone.y1 += reach_ - 1;
    const auto pair = ends(k);
    std::vector<signed char> usable(links_.size(), -1);  // -1: not yet tested
    std::vector<bool> seen(positions_.size(), false);
    std::vector<size_t> queue{e.a};
    seen[e.a] = true;
    while (!queue.empty()) {
      const size_t node = queue.back();
      queue.pop_back();
      for (size_t f : incident_[node]) {
        if (usable[f] == -1) usable[f] = ends(f) != pair && keeps_clear(links_[f], e, zone);
        if (!usable[f]) continue;
        const size_t other = links_[f].a == node ? links_[f].b : links_[f].a;
        if (other == e.b) return true;
        if (!seen[other]) seen[other] = true, queue.push_back(other);
      }
    }
    return false;
  }

 private:
  struct Box {
    static constexpr int64_t kHigh = std::numeric_limits<int64_t>::max(),
                             kLow = std::numeric_limits<int64_t>::min();
    int64_t x0 = kHigh, y0 = kHigh, x1 = kLow, y1 = kLow;
    void add(Cell p) {
      x0 = std::min<int64_t>(x0, p.row), y0 = std::min<int64_t>(y0, p.column),
      x1 = std::max<int64_t>(x1, p.row), y1 = std::max<int64_t>(y1, p.column);
    }
    bool meets(const Box& o) const { return x0 <= o.x1 && o.x0 <= x1 && y0 <= o.y1 && o.y0 <= y1; }
  };
  struct Link {
    uint64_t id;
    size_t a, b;              // node indices
    std::vector<Cell> cells;  // from a to b: both coordinates change monotonically
    bool x_major;
    Box box{};
  };

  // True when no cell of f lies near e (see Separation).
  bool keeps_clear(const Link& f, const Link& e, const Box& zone) const {
    if (!f.box.meets(zone)) return true;
    const Cell pa = positions_[e.a], pb = positions_[e.b];
    for (const Cell& cell : f.cells)
      if (chebyshev(cell, pa) >= reach_ && chebyshev(cell, pb) >= reach_ && within_reach(cell, e))
        return false;
    return true;
  }

  // True when some cell of e lies at Chebyshev distance below the separation from `cell`.
  bool within_reach(Cell cell, const Link& e) const {
    const auto major = [&](Cell p) { return int64_t{e.x_major ? p.row : p.column}; };
    const bool rising = major(e.cells.back()) >= major(e.cells.front());
    const int64_t low = major(cell) - (reach_ - 1), high = major(cell) + (reach_ - 1);
    // First cell whose major coordinate has come within reach, in path order.
    const auto first = std::partition_point(e.cells.begin(), e.cells.end(), [&](const Cell& p) {
      return rising ? major(p) < low : major(p) > high;
    });
    for (auto it = first; it != e.cells.end(); ++it) {
      if (major(*it) < low || major(*it) > high) break;
      if (chebyshev(*it, cell) < reach_) return true;
    }
    return false;
  }

  int64_t reach_;
  std::vector<Cell> positions_;
  std::vector<Link> links_;
  std::vector<std::vector<size_t>> incident_;
};

// Bridge pairs by Tarjan's search, as node index pairs.
std::set<std::pair<size_t, size_t>> bridge_pairs(const BridgeGraph& graph) {
  std::set<std::pair<size_t, size_t>> pairs;
  dfs(graph, 0, [&](size_t parent, size_t child) { pairs.insert(std::minmax(parent, child)); });
  return pairs;
}

// The existing network as one more vertex that every node on it links to; then
// all nodes and that vertex must form one component, and each region must hold a node.
bool attached(const WeaveNodeMap& nodes, std::optional<uint64_t> without_node, const Attachments& attachments,
              Components& graph, uint64_t first, size_t listed) {
  constexpr uint64_t kExisting = ~uint64_t{0};  // never a node id: ids come from a counter
  std::vector<bool> reached(attachments.regions.size(), false);
  bool on_existing = false;
  for (const auto& [id, node] : nodes) {
    if (id == without_node) continue;
    const Cell pos = node.data.pos;
    if (attachments.on_existing(pos)) graph.add_link(id, kExisting), on_existing = true;
    for (size_t r = 0; r < reached.size(); ++r)
      if (!reached[r] && attachments.in_region(r, pos)) reached[r] = true;
  }
  if (std::find(reached.begin(), reached.end(), false) != reached.end()) return false;
  if (attachments.existing.empty()) return graph.count_reached(first) == listed;
  return on_existing && graph.count_reached(first) == listed + 1;
}

}  // namespace

bool check_connectivity_dict(const std::vector<uint64_t>& ids, const EdgeDict& edges) {
  if (ids.empty()) return true;
  Components graph(ids.size());
  for (uint64_t id : ids) graph.index_of(id);
  for (const auto& [edge_id, ends] : edges) graph.add_link(ends.first, ends.second);
  return graph.count_reached(ids.front()) == ids.size();
}

bool is_connected(const WeaveNodeMap& nodes, const EdgeMap& edges, std::optional<uint64_t> without_node,
                  std::optional<uint64_t> without_edge, const Attachments* attachments) {
  if (attachments && attachments->empty()) attachments = nullptr;
  Components graph(nodes.size());
  std::optional<uint64_t> first;
  size_t listed = 0;
  for (const auto& [id, node] : nodes) {
    if (id == without_node) continue;
    if (!first) first = id;
    graph.index_of(id);
    ++listed;
  }
  if (!first) return !attachments;
  for (const auto& [id, edge] : edges) {
    if (!edge.enabled || id == without_edge) continue;
    if (edge.node1 == without_node || edge.node2 == without_node) continue;
    graph.add_link(edge.node1, edge.node2);
  }
  if (!attachments) return graph.count_reached(*first) == listed;
  return attached(nodes, without_node, *attachments, graph, *first, listed);
}

double calculate_bridge_share(const WeaveNodeMap& nodes, const EdgeMap& edges, const Separation& separation) {
  if (nodes.size() <= 1) return 0.0;
  const BridgeGraph graph = build_bridge_graph(nodes, edges);
  if (graph.total_length < 1e-9) return 0.0;
  double bridge_length = 0.0;
  size_t bridges = 0;
  const auto length_of = [&](size_t a, size_t b) { return distance(graph.positions[a], graph.positions[b]); };
  if (separation.cells == 0) {
    dfs(graph, 0, [&](size_t parent, size_t child) {
      const double length = length_of(parent, child);
      bridge_length += length;
      bridges += length > 0.0;
    });
  } else {
    const auto pairs = bridge_pairs(graph);
    for (const auto& [a, b] : pairs) {
      const double length = length_of(a, b);
      bridge_length += length;
      bridges += length > 0.0;
    }
    ProtectionTest test(nodes, edges, separation);
    for (size_t k = 0; k < test.size(); ++k) {
      const auto [a, b] = test.ends(k);
      if (pairs.contains({a, b}) || test.is_protected(k)) continue;
      const double length = length_of(a, b);
      bridge_length += length;
      bridges += length > 0.0;
    }
  }
  // Both lengths sum the same edges in different orders: the ends are set
  // exactly, so that a tree scores redundancy 0 and not a rounding step above.
  if (bridges == 0) return 0.0;
  if (bridges == graph.long_links) return 1.0;
  return std::min(1.0, bridge_length / graph.total_length);
}

std::unordered_set<uint64_t> bridge_edge_ids(const WeaveNodeMap& nodes, const EdgeMap& edges,
                                             const Separation& separation) {
  std::unordered_set<uint64_t> found;
  if (nodes.size() <= 1) return found;
  const BridgeGraph graph = build_bridge_graph(nodes, edges);
  const auto pairs = bridge_pairs(graph);
  if (separation.cells > 0) {
    ProtectionTest test(nodes, edges, separation);
    for (size_t k = 0; k < test.size(); ++k)
      if (pairs.contains(test.ends(k)) || !test.is_protected(k)) found.insert(test.id(k));
    return found;
  }
  std::unordered_map<uint64_t, size_t> index;
  std::vector<uint64_t> ids;
  for (const auto& entry : nodes) index.emplace(entry.first, ids.size()), ids.push_back(entry.first);
  for (const auto& [id, edge] : edges)
    if (edge.enabled && pairs.contains(std::minmax(index.at(edge.node1), index.at(edge.node2))))
      found.insert(id);
  return found;
}

}  // namespace weave
