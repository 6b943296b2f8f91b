#include "base/search/packed_states.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace quendral {

namespace {

bool packable(const State& state, std::size_t fluents) noexcept {
  return !state.stn && state.todo.empty() && state.active_conditions.empty() && state.values.all_coded() &&
         state.values.size() == fluents && (state.path.empty() || state.path->elem.pos < PackedSlot::kNoEvent) &&
         state.heuristic_cache.size() == 0;
}

// Fills in the path of a state that packed into `slot`.
void put_path(PackedSlot& slot, const State& state) noexcept {
  if (state.path.empty()) {
    slot.last_pos = PackedSlot::kNoEvent;
    return;
  }
  slot.tail = state.path->tail.get();
  slot.last_action = state.path->elem.action;
  slot.last_pos = static_cast<std::uint32_t>(state.path->elem.pos);
  slot.last_instance = state.path->elem.instance;
}

// A packed slot's path: its last event over (a new reference to) its tail.
Path path_of(const PackedSlot& slot) {
  if (slot.last_pos == PackedSlot::kNoEvent) return Path();
  return PersistentList<PathEntry>::append(PathEntry{slot.last_action, slot.last_pos, slot.last_instance},
                                           PackedForm::share_tail(slot));
}

// Writes the codes of `values` as `Code`s at `out`; false when one of them is not below `limit`.
template <class Code>
bool pack_codes(const StateValues& values, std::byte* out, std::uint64_t limit) noexcept {
  Code* codes = reinterpret_cast<Code*>(out);
  std::uint32_t largest = 0;
  values.for_each_code_run([&](const std::uint32_t* run, std::size_t n) {
    // Locals, so that the loop neither reloads them nor stores them per code.
    Code* __restrict to = codes;
    std::uint32_t most = largest;
    for (std::size_t k = 0; k < n; ++k) {
      most = std::max(most, run[k]);
      to[k] = static_cast<Code>(run[k]);
    }
    codes = to + n;
    largest = most;
  });
  return largest < limit;
}

template <class Code>
void unpack_codes(const std::byte* in, std::uint32_t* out, std::size_t n) noexcept {
  const Code* codes = reinterpret_cast<const Code*>(in);
  for (std::size_t k = 0; k < n; ++k) out[k] = codes[k];
}

}  // namespace

PackedForm::PackedForm(std::size_t fluents) : fluents_(fluents), scratch_(fluents) {
  const std::uint32_t bound = value_code_bound();
  width_ = bound <= 0x100 ? 1 : bound <= 0x10000 ? 2 : 4;
  code_limit_ = std::uint64_t{1} << (8 * width_);
  const std::size_t bytes = sizeof(PackedSlot) + fluents * width_;
  slot_bytes_ = (bytes + alignof(PackedSlot) - 1) / alignof(PackedSlot) * alignof(PackedSlot);
}

bool PackedForm::pack(const State& state, std::byte* out) const noexcept {
  if (!packable(state, fluents_)) return false;
  switch (width_) {
    case 1: return pack_codes<std::uint8_t>(state.values, out, code_limit_);
    case 2: return pack_codes<std::uint16_t>(state.values, out, code_limit_);
    default: return pack_codes<std::uint32_t>(state.values, out, code_limit_);
  }
}

PackedSlot* PackedForm::put_packed(void* at, const State& state, const std::byte* packed) const {
  PackedSlot* slot = new (at) PackedSlot{state.g, nullptr, Action{}, 0, 0, nullptr};
  put_path(*slot, state);
  std::memcpy(codes(*slot), packed, code_bytes());
  return slot;
}

PackedSlot* PackedForm::put(void* at, State&& state) const {
  PackedSlot* slot = new (at) PackedSlot{state.g, nullptr, Action{}, 0, 0, nullptr};
  if (pack(state, codes(*slot))) {
    put_path(*slot, state);
    return slot;
  }
  try {
    slot->whole = new State(std::move(state));
  } catch (...) {
    slot->~PackedSlot();
    throw;
  }
  return slot;
}

PackedSlot* PackedForm::put_whole_copy(void* at, const State& state) const {
  State* whole = new State(state.full_clone());
  return new (at) PackedSlot{state.g, nullptr, Action{}, 0, 0, whole};
}

StateValues PackedForm::unpack(const std::byte* in) const {
  switch (width_) {
    case 1: unpack_codes<std::uint8_t>(in, scratch_.data(), fluents_); break;
    case 2: unpack_codes<std::uint16_t>(in, scratch_.data(), fluents_); break;
    default: unpack_codes<std::uint32_t>(in, scratch_.data(), fluents_); break;
  }
  return StateValues::from_codes(scratch_.data(), fluents_);
}

State PackedForm::get(const PackedSlot& slot) const {
  if (slot.whole) return slot.whole->full_clone();
  State state(unpack(codes(slot)));
  state.g = slot.g;
  state.path = path_of(slot);
  return state;
}

State PackedForm::take(PackedSlot& slot) const {
  if (slot.whole) {
    State state(std::move(*slot.whole));
    destroy(slot);
    return state;
  }
  State state = get(slot);
  destroy(slot);
  return state;
}

void PackedForm::destroy(PackedSlot& slot) noexcept {
  delete slot.whole;
  slot.~PackedSlot();
}

}  // namespace quendral
