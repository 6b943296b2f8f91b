#include "base/space/search_state.hpp"

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
  Table* from = other.table_.load(std::memory_order_acquire);
  if (!from) return;
  auto copy = std::make_unique<Table>();
  {
    std::lock_guard<std::mutex> lock(from->mutex);
    if (from->entries.empty()) return;
    copy->entries = from->entries;
  }
  table_.store(copy.release(), std::memory_order_release);
}

HeuristicCache::Table& HeuristicCache::table_for_store() const {
  Table* table = table_.load(std::memory_order_acquire);
  if (table) return *table;
  auto fresh = std::make_unique<Table>();
  // On failure `table` receives the table another thread installed first.
  if (table_.compare_exchange_strong(table, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
    return *fresh.release();
  }
  return *table;
}

std::optional<std::optional<double>> HeuristicCache::lookup(std::string_view heuristic) const {
  Table* table = table_.load(std::memory_order_acquire);
  if (!table) return std::nullopt;
  std::lock_guard<std::mutex> lock(table->mutex);
  auto it = table->entries.find(heuristic);
  if (it == table->entries.end()) return std::nullopt;
  return it->second;
}

void HeuristicCache::store(std::string_view heuristic, std::optional<double> value) const {
  Table& table = table_for_store();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto it = table.entries.find(heuristic);
  if (it != table.entries.end()) {
    it->second = value;
  } else {
    table.entries.emplace(std::string(heuristic), value);
  }
}

std::size_t HeuristicCache::size() const {
  Table* table = table_.load(std::memory_order_acquire);
  if (!table) return 0;
  std::lock_guard<std::mutex> lock(table->mutex);
  return table->entries.size();
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
