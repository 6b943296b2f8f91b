#include "base/search/state_queue.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "base/core/memory.hpp"

namespace quendral {

namespace {

constexpr std::size_t kChunkBytes = std::size_t{64} << 10;

// Whether the state is nothing but values, g and path, every value coded.
bool packable(const State& state, std::size_t fluents) noexcept {
  return !state.stn && state.todo.empty() && state.active_conditions.empty() && state.values.all_coded() &&
         state.values.size() == fluents && state.heuristic_cache.size() == 0;
}

// Writes the codes of `values` as `width`-byte numbers at `out`; false (with `out` partly
// written) when one of them does not fit below `limit`.
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

StateQueue::StateQueue(std::size_t fluents) : fluents_(fluents), codes_(fluents) {
  const std::uint32_t bound = value_code_bound();
  width_ = bound <= 0x100 ? 1 : bound <= 0x10000 ? 2 : 4;
  code_limit_ = std::uint64_t{1} << (8 * width_);
  const std::size_t bytes = sizeof(Head) + fluents * width_;
  slot_bytes_ = (bytes + alignof(Head) - 1) / alignof(Head) * alignof(Head);
  slots_per_chunk_ = std::max<std::size_t>(1, kChunkBytes / slot_bytes_);
}

StateQueue::~StateQueue() {
  // Front to back, the order the slots were filled in, and so (mostly) the order the path cells
  // were made in.
  for (std::size_t c = 0; c < chunks_.size(); ++c) {
    const std::size_t begin = c == 0 ? front_ : 0;
    const std::size_t end = c + 1 == chunks_.size() ? back_ : slots_per_chunk_;
    for (std::size_t k = begin; k < end; ++k) destroy(slot(chunks_[c], k));
    release_chunk(chunks_[c]);
  }
}

void StateQueue::put(void* at, State&& state) {
  Head* head = new (at) Head{state.g, Path(), nullptr};
  std::byte* codes = reinterpret_cast<std::byte*>(head + 1);
  bool packed = packable(state, fluents_);
  if (packed) {
    switch (width_) {
      case 1: packed = pack_codes<std::uint8_t>(state.values, codes, code_limit_); break;
      case 2: packed = pack_codes<std::uint16_t>(state.values, codes, code_limit_); break;
      default: packed = pack_codes<std::uint32_t>(state.values, codes, code_limit_); break;
    }
  }
  if (packed) {
    head->path = std::move(state.path);
    return;
  }
  try {
    head->whole = new State(std::move(state));
  } catch (...) {
    head->~Head();
    throw;
  }
}

State StateQueue::take(Head* head) {
  if (head->whole) {
    State state(std::move(*head->whole));
    destroy(head);
    return state;
  }
  const std::byte* in = reinterpret_cast<const std::byte*>(head + 1);
  switch (width_) {
    case 1: unpack_codes<std::uint8_t>(in, codes_.data(), fluents_); break;
    case 2: unpack_codes<std::uint16_t>(in, codes_.data(), fluents_); break;
    default: unpack_codes<std::uint32_t>(in, codes_.data(), fluents_); break;
  }
  State state(StateValues::from_codes(codes_.data(), fluents_));
  state.g = head->g;
  state.path = std::move(head->path);
  destroy(head);
  return state;
}

void StateQueue::destroy(Head* head) noexcept {
  delete head->whole;
  head->~Head();
}

void StateQueue::new_chunk_at_back() {
  auto* chunk = static_cast<std::byte*>(memory::allocate(slots_per_chunk_ * slot_bytes_));
  try {
    chunks_.push_back(chunk);
  } catch (...) {
    memory::release(chunk);
    throw;
  }
  back_ = 0;
}

void StateQueue::release_chunk(std::byte* chunk) noexcept { memory::release(chunk); }

void StateQueue::push_back(State&& state) {
  if (chunks_.empty() || back_ == slots_per_chunk_) new_chunk_at_back();
  put(slot(chunks_.back(), back_), std::move(state));
  ++back_;
  ++size_;
}

State StateQueue::pop_front() {
  State state = take(slot(chunks_.front(), front_));
  ++front_;
  --size_;
  if (size_ == 0) {
    // Empty: the one chunk left is kept for what comes next.
    front_ = back_ = 0;
  } else if (front_ == slots_per_chunk_) {
    release_chunk(chunks_.front());
    chunks_.pop_front();
    front_ = 0;
  }
  return state;
}

State StateQueue::pop_back() {
  State state = take(slot(chunks_.back(), back_ - 1));
  --back_;
  --size_;
  if (size_ == 0) {
    front_ = back_ = 0;
  } else if (back_ == 0) {
    release_chunk(chunks_.back());
    chunks_.pop_back();
    back_ = slots_per_chunk_;
  }
  return state;
}

}  // namespace quendral
