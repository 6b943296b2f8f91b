// The states a best-first search has seen, in packed form (packed_states.hpp), each under a
// 32-bit id, with the duplicate test on them.
//
// Weighted A* of a task without durative actions keeps every state it generates (the duplicate
// test needs them all) and expands a few of them; kept whole and shared, each cost its state
// record, its reference count, a value leaf and its path cell, and the test read a state and its
// leaf per probe. Here a state costs one slot (g, last event, packed codes) in chunks of about
// 256 KiB, plus a share of one reference per run of siblings to their parent's path,
// the open list holds ids, and the duplicate test is an open-addressing table of 8-byte entries
// (32 bits of the state's hash and its id) that reads a slot only when the hash bits agree.
// States are equal as `State` equality says (equal values; no state here carries a network).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/search/packed_states.hpp"
#include "base/space/search_state.hpp"

namespace quendral {

class StateRegistry {
 public:
  using Id = std::uint32_t;

  // A registry for the states of a task of `fluents` values.
  explicit StateRegistry(std::size_t fluents);
  StateRegistry(const StateRegistry&) = delete;
  StateRegistry& operator=(const StateRegistry&) = delete;
  // Releases the states in the order they were registered.
  ~StateRegistry();

  // Registers a copy of `state` unless an equal state is registered: the new id (ids count up
  // from 0), or nothing when an equal state was there.
  std::optional<Id> insert(const State& state);
  // The state registered under `id`, rebuilt.
  State get(Id id) const { return form_.get(slot(id)); }
  std::size_t size() const noexcept { return size_; }

 private:
  PackedSlot& slot(Id id) const noexcept {
    return *reinterpret_cast<PackedSlot*>(chunks_[id >> chunk_bits_] + (id & chunk_mask_) * form_.slot_bytes());
  }
  // Whether the registered `slot` holds a state equal to `state`, whose packed codes are in
  // `probe_` when `packed`.
  bool equal(const PackedSlot& slot, const State& state, bool packed) const;
  std::size_t home(std::uint32_t tag) const noexcept {
    return static_cast<std::size_t>((std::uint64_t{tag} * 0x9E3779B97F4A7C15ull) >> (64 - table_bits_));
  }
  void grow_table();

  PackedForm form_;
  std::size_t whole_ = 0;     // states kept whole
  std::vector<Path> tails_;   // one reference to each run of equal tails, in id order
  unsigned chunk_bits_;
  std::size_t chunk_mask_;
  std::vector<std::byte*> chunks_;
  std::size_t size_ = 0;
  // (32 hash bits << 32) | (id + 1), 0 for a free entry; 2^table_bits_ entries.
  std::vector<std::uint64_t> table_;
  unsigned table_bits_;
  std::vector<std::byte> probe_;  // the packed codes of the state being inserted
};

}  // namespace quendral
