#include "base/search_state.hpp"

namespace quendral {

// ---------------------------------------------------------------- ConditionMultiset

std::size_t ConditionMultiset::position(std::span<const ExpressionNode> condition) const noexcept {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const NodeList& held = *entries_[i].condition;
    if (held.data() == condition.data() && held.size() == condition.size()) return i;
    if (std::span<const ExpressionNode>(held) == condition) return i;
  }
  return entries_.size();
}

void ConditionMultiset::insert(const NodeList& condition) {
  const std::size_t i = position(condition);
  if (i < entries_.size()) {
    ++entries_[i].count;
  } else {
    entries_.push_back(Entry{std::make_shared<const NodeList>(condition), 1});
  }
  ++total_;
}

void ConditionMultiset::insert(std::shared_ptr<const NodeList> condition) {
  const std::size_t i = position(*condition);
  if (i < entries_.size()) {
    ++entries_[i].count;
  } else {
    entries_.push_back(Entry{std::move(condition), 1});
  }
  ++total_;
}

bool ConditionMultiset::remove(std::span<const ExpressionNode> condition) {
  const std::size_t i = position(condition);
  if (i == entries_.size()) return false;
  if (--entries_[i].count == 0) entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
  --total_;
  return true;
}

std::uint64_t ConditionMultiset::count(std::span<const ExpressionNode> condition) const {
  const std::size_t i = position(condition);
  return i == entries_.size() ? 0 : entries_[i].count;
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
