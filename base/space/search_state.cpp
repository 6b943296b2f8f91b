#include "base/space/search_state.hpp"

namespace quendral {

// ---------------------------------------------------------------- ConditionMultiset

std::size_t ConditionMultiset::position(std::span<const ExpressionNode> condition) const noexcept {
  if (!data_) return 0;
  const std::vector<Entry>& entries = data_->entries;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const NodeList& held = *entries[i].condition;
    if (held.data() == condition.data() && held.size() == condition.size()) return i;
    if (std::span<const ExpressionNode>(held) == condition) return i;
  }
  return entries.size();
}

ConditionMultiset::Data& ConditionMultiset::data() {
  if (!data_) data_ = std::make_unique<Data>();
  return *data_;
}

const std::vector<ConditionMultiset::Entry>& ConditionMultiset::distinct() const noexcept {
  static const std::vector<Entry> kNone;
  return data_ ? data_->entries : kNone;
}

void ConditionMultiset::insert(const NodeList& condition) {
  const std::size_t i = position(condition);
  Data& d = data();
  if (i < d.entries.size()) {
    ++d.entries[i].count;
  } else {
    d.entries.push_back(Entry{std::make_shared<const NodeList>(condition), 1});
  }
  ++d.total;
}

void ConditionMultiset::insert(std::shared_ptr<const NodeList> condition) {
  const std::size_t i = position(*condition);
  Data& d = data();
  if (i < d.entries.size()) {
    ++d.entries[i].count;
  } else {
    d.entries.push_back(Entry{std::move(condition), 1});
  }
  ++d.total;
}

bool ConditionMultiset::remove(std::span<const ExpressionNode> condition) {
  if (!data_) return false;
  const std::size_t i = position(condition);
  std::vector<Entry>& entries = data_->entries;
  if (i == entries.size()) return false;
  if (--entries[i].count == 0) entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
  if (--data_->total == 0) data_.reset();
  return true;
}

std::uint64_t ConditionMultiset::count(std::span<const ExpressionNode> condition) const {
  if (!data_) return 0;
  const std::size_t i = position(condition);
  return i == data_->entries.size() ? 0 : data_->entries[i].count;
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
