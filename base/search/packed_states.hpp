// States in packed form, for the containers that hold a search's states by the million.
//
// A state that holds nothing but its values, g and path (no network, nothing running, no
// durative condition, nothing cached, every value a Boolean or an object: every state of a
// classical task) is kept as its g, its path and its value codes, each code in the fewest bytes
// (1, 2 or 4) that hold every code handed out when the form was chosen (and its last event's
// position below 2^32 − 1); it is rebuilt, equal in everything a search reads, when it is needed
// again. Its path is kept as its last event and the path before it, its parent's, whose cell the
// slot points to without holding it: the container of the slots holds one reference to each
// such cell for all the slots that point to it (siblings, which arrive one after another), so a
// state that is never rebuilt, as most are not, costs neither a cell nor a count change of its
// own. Any other state, or one with a code that does not fit the width, is kept whole. Every slot of one form
// has the same size: a `PackedSlot` head and the codes after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/space/search_state.hpp"

namespace quendral {

// The size of the blocks the containers of slots take from the allocator.
inline constexpr std::size_t kSlotChunkBytes = std::size_t{256} << 10;

struct PackedSlot {
  double g;
  // The path before the last event, held by the container (null: the empty path); unused when
  // the state is kept whole.
  const PersistentList<PathEntry>* tail;
  Action last_action;  // the last event: its action, position and instance number
  std::uint32_t last_pos;  // `kNoEvent` for the empty path
  std::uint32_t last_instance;
  State* whole;  // the state kept whole, or null when the codes follow

  static constexpr std::uint32_t kNoEvent = 0xFFFFFFFFu;
};

class PackedForm {
 public:
  // The form for the states of a task of `fluents` values, with the codes handed out so far.
  explicit PackedForm(std::size_t fluents);

  std::size_t fluents() const noexcept { return fluents_; }
  // The bytes of one code (1, 2 or 4) and of one slot (a multiple of the head's alignment).
  unsigned code_width() const noexcept { return width_; }
  std::size_t slot_bytes() const noexcept { return slot_bytes_; }

  // Writes `state` into the free slot at `at`, packed when it can be, else whole (moved there).
  // Returns the slot; the caller holds its tail (which is alive as long as `state` is).
  PackedSlot* put(void* at, State&& state) const;
  // Writes a copy of a state that does not pack (`pack` said so) into the free slot at `at`.
  PackedSlot* put_whole_copy(void* at, const State& state) const;
  // Writes a state that packed into `codes` (by `pack`) into the free slot at `at`.
  PackedSlot* put_packed(void* at, const State& state, const std::byte* codes) const;
  // The state of `slot`, rebuilt (or a copy of the whole one); the slot is unchanged.
  State get(const PackedSlot& slot) const;
  // The state of `slot`, taken out; the slot is left destroyed (its tail is still the
  // container's to release).
  State take(PackedSlot& slot) const;
  static void destroy(PackedSlot& slot) noexcept;

  // Packs the codes of `state` into `out` (`fluents() × code_width()` bytes); false when the
  // state cannot be packed (`out` may then be partly written).
  bool pack(const State& state, std::byte* out) const noexcept;
  // A reference to the tail of a packed slot, for the container that holds it.
  static Path share_tail(const PackedSlot& slot) noexcept { return Path::share(slot.tail); }
  // Drops the tail references a container holds, `path_of(item)` being each item's, front to
  // back; their cells are scattered, so each is asked for a few items ahead and the misses
  // overlap.
  template <class Items, class PathOf>
  static void release_tails(Items& items, PathOf path_of) noexcept {
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i + kAhead < items.size()) __builtin_prefetch(path_of(items[i + kAhead]).get(), 1);
      path_of(items[i]) = Path();
    }
  }
  static const std::byte* codes(const PackedSlot& slot) noexcept { return reinterpret_cast<const std::byte*>(&slot + 1); }
  static std::byte* codes(PackedSlot& slot) noexcept { return reinterpret_cast<std::byte*>(&slot + 1); }
  std::size_t code_bytes() const noexcept { return fluents_ * width_; }

 private:
  StateValues unpack(const std::byte* in) const;

  std::size_t fluents_;
  unsigned width_;
  std::uint64_t code_limit_;  // codes below it fit `width_` bytes
  std::size_t slot_bytes_;
  mutable std::vector<std::uint32_t> scratch_;  // the codes of the state being rebuilt
};

}  // namespace quendral
