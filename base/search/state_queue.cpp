#include "base/search/state_queue.hpp"

#include <algorithm>
#include <utility>

#include "base/core/memory.hpp"

namespace quendral {

namespace {
constexpr std::size_t kChunkBytes = std::size_t{64} << 10;
}  // namespace

StateQueue::StateQueue(std::size_t fluents)
    : form_(fluents), slots_per_chunk_(std::max<std::size_t>(1, kChunkBytes / form_.slot_bytes())) {}

StateQueue::~StateQueue() {
  // Front to back, the order the slots were filled in, and so (mostly) the order the path cells
  // were made in.
  for (std::size_t c = 0; c < chunks_.size(); ++c) {
    const std::size_t begin = c == 0 ? front_ : 0;
    const std::size_t end = c + 1 == chunks_.size() ? back_ : slots_per_chunk_;
    for (std::size_t k = begin; k < end; ++k) PackedForm::destroy(*slot(chunks_[c], k));
    memory::release(chunks_[c]);
  }
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
  if (chunks_.empty() || back_ == slots_per_chunk_) new_chunk_at_back();
  form_.put(slot(chunks_.back(), back_), std::move(state));
  ++back_;
  ++size_;
}

State StateQueue::pop_front() {
  State state = form_.take(*slot(chunks_.front(), front_));
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
  State state = form_.take(*slot(chunks_.back(), back_ - 1));
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
