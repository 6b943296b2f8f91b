#include "base/search/state_registry.hpp"

#include <cstring>
#include <limits>
#include <new>

#include "base/core/errors.hpp"
#include "base/core/memory.hpp"

namespace quendral {

namespace {
constexpr unsigned kInitialTableBits = 10;
}  // namespace

StateRegistry::StateRegistry(std::size_t fluents)
    : form_(fluents),
      table_(std::size_t{1} << kInitialTableBits, 0),
      table_bits_(kInitialTableBits),
      probe_(form_.code_bytes() + 1) {
  chunk_bits_ = 0;
  while ((form_.slot_bytes() << (chunk_bits_ + 1)) <= kSlotChunkBytes) ++chunk_bits_;
  chunk_mask_ = (std::size_t{1} << chunk_bits_) - 1;
}

StateRegistry::~StateRegistry() {
  // The slots are read only for the states kept whole.
  for (std::size_t id = 0; id < size_ && whole_ > 0; ++id) {
    PackedSlot& held = slot(static_cast<Id>(id));
    if (held.whole) --whole_;
    PackedForm::destroy(held);
  }
  for (std::byte* chunk : chunks_) memory::release(chunk);
  PackedForm::release_tails(tails_, [](Path& tail) -> Path& { return tail; });
}

bool StateRegistry::equal(const PackedSlot& registered, const State& state, bool packed) const {
  if (registered.whole) return registered.whole->eq(state);
  if (packed) return std::memcmp(PackedForm::codes(registered), probe_.data(), form_.code_bytes()) == 0;
  // A state that does not pack (a number, a code beyond the width, ...) against a packed one:
  // compared in full rather than assumed unequal.
  return form_.get(registered).eq(state);
}

std::optional<StateRegistry::Id> StateRegistry::insert(const State& state) {
  const std::uint64_t hash = state.hash();
  const auto tag = static_cast<std::uint32_t>((hash * 0xFF51AFD7ED558CCDull) >> 32);
  const bool packed = form_.pack(state, probe_.data());
  const std::size_t mask = table_.size() - 1;
  std::size_t at = home(tag);
  for (std::uint64_t entry; (entry = table_[at]) != 0; at = (at + 1) & mask) {
    if (static_cast<std::uint32_t>(entry >> 32) == tag &&
        equal(slot(static_cast<Id>((entry & 0xFFFFFFFFu) - 1)), state, packed)) {
      return std::nullopt;
    }
  }
  QUENDRAL_CHECK(size_ < std::numeric_limits<Id>::max() - 1, "a search registered more states than its ids can number");
  const auto id = static_cast<Id>(size_);
  // The chunk of the id, made once (it stays when what follows fails: the next insert uses it).
  if (chunks_.size() <= (size_ >> chunk_bits_)) {
    auto* chunk = static_cast<std::byte*>(memory::allocate(form_.slot_bytes() << chunk_bits_));
    try {
      chunks_.push_back(chunk);
    } catch (...) {
      memory::release(chunk);
      throw;
    }
  }
  void* place = chunks_[size_ >> chunk_bits_] + (size_ & chunk_mask_) * form_.slot_bytes();
  PackedSlot& put = packed ? *form_.put_packed(place, state, probe_.data()) : *form_.put_whole_copy(place, state);
  // A new tail starts a run, held while `state` still holds it.
  if (put.tail && (tails_.empty() || tails_.back().get() != put.tail)) {
    try {
      tails_.push_back(PackedForm::share_tail(put));
    } catch (...) {
      PackedForm::destroy(put);
      throw;
    }
  }
  if (put.whole) ++whole_;
  table_[at] = (std::uint64_t{tag} << 32) | (std::uint64_t{id} + 1);
  ++size_;
  // At most three quarters full: linear probes stay short.
  if (size_ * 4 > table_.size() * 3) grow_table();
  return id;
}

void StateRegistry::grow_table() {
  std::vector<std::uint64_t> old(table_.size() * 2, 0);
  old.swap(table_);
  ++table_bits_;
  const std::size_t mask = table_.size() - 1;
  for (const std::uint64_t entry : old) {
    if (entry == 0) continue;
    std::size_t at = home(static_cast<std::uint32_t>(entry >> 32));
    while (table_[at] != 0) at = (at + 1) & mask;
    table_[at] = entry;
  }
}

}  // namespace quendral
