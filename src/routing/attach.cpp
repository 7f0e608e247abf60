#include "attach.hpp"

#include <algorithm>
#include <unordered_map>

#include "least_cost.hpp"
#include "straighten.hpp"

namespace routing {

namespace {

// Terminal i is group i; region r is group terminals.size() + r.
class Groups {
 public:
  Groups(const weave::Attachments& attachments, const std::vector<uint64_t>& terminals)
      : terminals_(terminals.size()), reached_(terminals.size() + attachments.regions.size(), false) {
    for (size_t i = 0; i < terminals.size(); ++i) groups_of_[terminals[i]].push_back(i);
    for (size_t r = 0; r < attachments.regions.size(); ++r)
      for (uint64_t cell : attachments.regions[r]) groups_of_[cell].push_back(terminals_ + r);
    waiting_ = reached_.size();
  }

  bool done() const { return waiting_ == 0; }
  bool waiting_at(uint64_t cell) const {
    const auto found = groups_of_.find(cell);
    if (found == groups_of_.end()) return false;
    return std::any_of(found->second.begin(), found->second.end(), [&](size_t g) { return !reached_[g]; });
  }

  // Marks the groups at `cell` reached; true when a region among them was waiting.
  bool reach(uint64_t cell) {
    const auto found = groups_of_.find(cell);
    if (found == groups_of_.end()) return false;
    bool region = false;
    for (size_t g : found->second) {
      if (reached_[g]) continue;
      reached_[g] = true, --waiting_;
      region = region || g >= terminals_;
    }
    return region;
  }

 private:
  size_t terminals_;
  std::vector<bool> reached_;
  size_t waiting_ = 0;
  std::unordered_map<uint64_t, std::vector<size_t>> groups_of_;
};

// Without terminals or an existing network the tree starts at the cell of the
// first region nearest to any other group (or at its first cell when alone).
void start_in_region(LeastCostSearch& search, Groups& groups, const std::vector<uint64_t>& region) {
  for (uint64_t cell : region) search.add_source(cell);
  const auto in_region = [&](uint64_t cell) {
    return std::binary_search(region.begin(), region.end(), cell);
  };
  const auto other =
      search.propagate_until([&](uint64_t cell) { return !in_region(cell) && groups.waiting_at(cell); });
  const uint64_t start = other ? search.path_from(*other).back() : region.front();
  search.reset();
  search.add_source(start);
}

}  // namespace

AttachedTree grow_attached(const CostMap& map, const std::vector<uint64_t>& terminals,
                           std::optional<size_t> root) {
  static const weave::Attachments kNone;
  const weave::Attachments& attachments = map.attachments ? *map.attachments : kNone;
  Groups groups(attachments, terminals);
  LeastCostSearch search(map);
  // The existing network is joined once, where the tree first reaches it; from
  // then on all of it belongs to the tree.
  bool joined = attachments.existing.empty();
  const auto join_existing = [&] {
    for (uint64_t cell : attachments.existing) search.add_source(cell);
    joined = true;
  };
  if (!joined && !(root && *root < terminals.size())) {
    join_existing();
  } else if (!terminals.empty()) {
    search.add_source(terminals[root && *root < terminals.size() ? *root : 0]);
  } else if (!attachments.regions.empty()) {
    start_in_region(search, groups, attachments.regions.front());
  }
  const auto waiting = [&](uint64_t cell) {
    return groups.waiting_at(cell) || (!joined && attachments.on_existing(cell_pos(map, cell)));
  };
  AttachedTree grown;
  while (!groups.done() || !joined) {
    const auto reached = search.propagate_until(waiting);
    if (!reached) throw Unreachable{};
    const std::vector<uint64_t> path = search.path_from(*reached);  // from the reached cell back to the tree
    for (size_t i = 1; i < path.size(); ++i) grown.tree.edges.emplace_back(path[i - 1], path[i]);
    // A path's end on the existing network is where the new part attaches.
    for (uint64_t end : {path.front(), path.back()})
      if (attachments.on_existing(cell_pos(map, end))) grown.waypoints.push_back(end);
    for (uint64_t cell : path) {
      if (groups.reach(cell)) grown.waypoints.push_back(cell);
      search.add_source(cell);
    }
    if (!joined && attachments.on_existing(cell_pos(map, *reached))) join_existing();
  }
  std::sort(grown.waypoints.begin(), grown.waypoints.end());
  grown.waypoints.erase(std::unique(grown.waypoints.begin(), grown.waypoints.end()), grown.waypoints.end());
  std::erase_if(grown.waypoints, [&](uint64_t cell) {
    return std::find(terminals.begin(), terminals.end(), cell) != terminals.end();
  });
  return grown;
}

Network attached_network(const CostMap& map, const std::vector<uint64_t>& terminals, size_t lookahead,
                         std::optional<size_t> root) {
  const AttachedTree grown = grow_attached(map, terminals, root);
  return straighten(map, grown.tree, terminals, lookahead, grown.waypoints);
}

}  // namespace routing
