// TNInterpreter: the table that names the time points of the temporal networks.
//
// A node id of a search state's network is (network id << 32) | instance number. The table gives
// one 32-bit network id, once and for all, to the start and to the end of every action and to
// every event of the events table; the instance number tells apart the executions of one action
// (an instance's start and end share its number c, its event at position j carries c + 1 + j).
// Network ids start at 3, so no action or event node can equal the two reserved nodes 1 (the
// time origin) and 2 (the horizon), whose upper half is 0.
//
// Built once with its search space and never changed; lookups are single hash probes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/task/records.hpp"
#include "base/temporal/stn.hpp"

namespace quendral {

// One end of one action instance, as read back from a network.
struct ActionTimePoint {
  Action action;
  bool is_start = true;
  std::uint32_t instance = 0;

  friend bool operator==(const ActionTimePoint& a, const ActionTimePoint& b) noexcept = default;
};

class TNInterpreter {
 public:
  static constexpr std::uint64_t origin_node = 1;
  static constexpr std::uint64_t horizon_node = 2;
  static constexpr std::uint32_t kFirstId = 3;

  // Numbers the start and the end of each action of `actions` (two consecutive ids each, in list
  // order), then every event of `events` in the table's order, by the record's own `pos`. A key
  // met again replaces its id (the reverse tables keep every id issued).
  TNInterpreter(std::span<const Action> actions, const EventsTable& events);

  // The network id of an action's start (true) or end (false); internal failure "Action not
  // found in the TNInterpreter" for an action that was not numbered.
  std::uint32_t get_action_id(Action action, bool is_start) const;
  // The network id of an event; internal failure "Event not found in the TNInterpreter".
  std::uint32_t get_event_id(Action action, std::uint64_t pos) const;

  static std::uint64_t node_id(std::uint32_t network_id, std::uint32_t instance) noexcept {
    return (static_cast<std::uint64_t>(network_id) << 32) | instance;
  }

  // The time of every action start and end node of `network` (the negated potential), sorted by
  // time; nodes of equal time keep the network's node order. Event and reserved nodes are not
  // reported.
  template <class T>
  std::vector<std::pair<ActionTimePoint, T>> get_actions_timings(const DeltaSTN<T>& network) const {
    std::vector<std::pair<ActionTimePoint, T>> timings;
    network.for_each_distance([&](std::uint64_t node, const T& distance) {
      const auto it = id_to_action_.find(static_cast<std::uint32_t>(node >> 32));
      if (it == id_to_action_.end()) return;
      timings.emplace_back(ActionTimePoint{it->second.first, it->second.second, static_cast<std::uint32_t>(node)},
                           -distance);
    });
    std::stable_sort(timings.begin(), timings.end(),
                     [](const auto& a, const auto& b) { return a.second < b.second; });
    return timings;
  }

  // The reverse tables, for tests and plan building.
  std::size_t action_id_count() const noexcept { return id_to_action_.size(); }
  std::size_t event_id_count() const noexcept { return id_to_event_.size(); }
  const std::pair<Action, std::uint64_t>* event_of(std::uint32_t network_id) const noexcept {
    const auto it = id_to_event_.find(network_id);
    return it == id_to_event_.end() ? nullptr : &it->second;
  }

 private:
  struct ActionEndKey {
    Action action;
    bool is_start;
    friend bool operator==(const ActionEndKey&, const ActionEndKey&) noexcept = default;
  };
  struct ActionEndHash {
    std::size_t operator()(const ActionEndKey& key) const noexcept {
      FxHasher h;
      h.write_u64(key.action.idx);
      h.write_u8(key.is_start);
      return h.finish();
    }
  };
  struct EventKeyHash {
    std::size_t operator()(const std::pair<Action, std::uint64_t>& key) const noexcept {
      FxHasher h;
      h.write_u64(key.first.idx);
      h.write_u64(key.second);
      return h.finish();
    }
  };

  boost::unordered_flat_map<ActionEndKey, std::uint32_t, ActionEndHash> action_ids_;
  boost::unordered_flat_map<std::pair<Action, std::uint64_t>, std::uint32_t, EventKeyHash> event_ids_;
  boost::unordered_flat_map<std::uint32_t, std::pair<Action, bool>, FxWordHash> id_to_action_;
  boost::unordered_flat_map<std::uint32_t, std::pair<Action, std::uint64_t>, FxWordHash> id_to_event_;
};

}  // namespace quendral
