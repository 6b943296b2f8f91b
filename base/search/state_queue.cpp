#include "base/search/state_queue.hpp"

#include <algorithm>
#include <utility>

#include "base/core/memory.hpp"

namespace quendral {

StateQueue::StateQueue(std::size_t fluents)
    : form_(fluents), slots_per_chunk_(std::max<std::size_t>(1, kSlotChunkBytes / form_.slot_bytes())) {}

StateQueue::~StateQueue() {
  // The slots are read only for the states kept whole.
  for (std::size_t c = 0; c < chunks_.size(); ++c) {
    const std::size_t begin = c == 0 ? front_ : 0;
    const std::size_t end = c + 1 == chunks_.size() ? back_ : slots_per_chunk_;
    for (std::size_t k = begin; k < end && whole_ > 0; ++k) {
      PackedSlot& held = *slot(chunks_[c], k);
      if (held.whole) --whole_;
      PackedForm::destroy(held);
    }
    memory::release(chunks_[c]);
  }
  PackedForm::release_tails(tails_, [](TailRun& run) -> Path& { return run.tail; });
}

void StateQueue::new_chunk_at_back() {
  auto* chunk = static_cast<std::byte*>(memory::allocate(slots_per_chunk_ * form_.slot_bytes()));
  try {
    chunks_.push_back(chunk);
  } catch (...) {
    memory::release(chunk);
    throw;
  }
  back_ = 0;
}

void StateQueue::push_back(State&& state) {
  const bool opened = chunks_.empty() || back_ == slots_per_chunk_;
  if (opened) new_chunk_at_back();
  PackedSlot* put = nullptr;
  try {
    put = form_.put(slot(chunks_.back(), back_), std::move(state));
    // The slot's tail joins the last run, or starts one (which holds it while `state` still
    // does).
    if (!tails_.empty() && tails_.back().tail.get() == put->tail) {
      ++tails_.back().count;
    } else {
      tails_.push_back(TailRun{PackedForm::share_tail(*put), 1});
    }
  } catch (...) {
    // The queue stays as it was (a state kept whole is lost with the slot).
    if (put) PackedForm::destroy(*put);
    if (opened) {
      memory::release(chunks_.back());
      chunks_.pop_back();
      back_ = chunks_.empty() ? 0 : slots_per_chunk_;
    }
    throw;
  }
  if (put->whole) ++whole_;
  ++back_;
  ++size_;
}

State StateQueue::pop_front() {
  PackedSlot& held = *slot(chunks_.front(), front_);
  const bool whole = held.whole != nullptr;
  State state = form_.take(held);
  if (whole) --whole_;
  if (--tails_.front().count == 0) tails_.pop_front();
  ++front_;
  --size_;
  if (size_ == 0) {
    // Empty: the one chunk left is kept for what comes next.
    front_ = back_ = 0;
  } else if (front_ == slots_per_chunk_) {
    memory::release(chunks_.front());
    chunks_.pop_front();
    front_ = 0;
  }
  return state;
}

State StateQueue::pop_back() {
  PackedSlot& held = *slot(chunks_.back(), back_ - 1);
  const bool whole = held.whole != nullptr;
  State state = form_.take(held);
  if (whole) --whole_;
  if (--tails_.back().count == 0) tails_.pop_back();
  --back_;
  --size_;
  if (size_ == 0) {
    front_ = back_ = 0;
  } else if (back_ == 0) {
    memory::release(chunks_.back());
    chunks_.pop_back();
    back_ = slots_per_chunk_;
  }
  return state;
}

}  // namespace quendral
