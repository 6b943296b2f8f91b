#include "base/search_state.hpp"

namespace quendral {

// ---------------------------------------------------------------- ConditionMultiset

void ConditionMultiset::insert(const NodeList& condition) {
  auto it = counts_.find(std::span<const ExpressionNode>(condition));
  if (it != counts_.end()) {
    ++it->second;
  } else {
    counts_.emplace(condition, 1);
  }
  ++total_;
}

bool ConditionMultiset::remove(std::span<const ExpressionNode> condition) {
  auto it = counts_.find(condition);
  if (it == counts_.end()) return false;
  if (--it->second == 0) counts_.erase(it);
  --total_;
  return true;
}

std::uint64_t ConditionMultiset::count(std::span<const ExpressionNode> condition) const {
  auto it = counts_.find(condition);
  return it == counts_.end() ? 0 : it->second;
}

// ---------------------------------------------------------------- HeuristicCache

HeuristicCache::HeuristicCache(const HeuristicCache& other) {
  std::lock_guard<std::mutex> lock(other.mutex_);
  entries_ = other.entries_;
}

HeuristicCache::HeuristicCache(HeuristicCache&& other) noexcept : entries_(std::move(other.entries_)) {}

std::optional<std::optional<double>> HeuristicCache::lookup(std::string_view heuristic) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(heuristic);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

void HeuristicCache::store(std::string_view heuristic, std::optional<double> value) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(heuristic);
  if (it != entries_.end()) {
    it->second = value;
  } else {
    entries_.emplace(std::string(heuristic), value);
  }
}

std::size_t HeuristicCache::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

// ---------------------------------------------------------------- State

State::State(const State& other, bool with_cache)
    : values(other.values),
      stn(other.stn),
      todo(other.todo),
      active_conditions(other.active_conditions),
      g(other.g),
      path(other.path),
      heuristic_cache(with_cache ? HeuristicCache(other.heuristic_cache) : HeuristicCache()) {}

State State::clone_for_child() const { return State(*this, false); }

State State::full_clone() const { return State(*this, true); }

bool State::eq(const State& other) const noexcept {
  if (stn || other.stn) return false;
  return values == other.values;
}

}  // namespace quendral
