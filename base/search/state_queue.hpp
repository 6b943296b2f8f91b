// The open list of the tree searches: a queue of states, taken from the front (breadth-first)
// or from the back (depth-first).
//
// A tree search holds every state it has generated and not yet taken, millions of them, most of
// which it never takes before it ends; kept whole, each costs its state record, a value leaf and
// its path cell, and the run spends much of its time faulting in fresh pages. So the queue keeps
// its states in packed form (packed_states.hpp), in slots that sit in chunks of about 256 KiB
// which go back to the allocator as the queue moves past them. The path tails of the queued
// states are held beside the slots, one reference per run of states with the same tail
// (siblings are queued one after another), so a queue that ends drops one reference per run and
// reads no slot (unless it holds a state kept whole).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "base/search/packed_states.hpp"
#include "base/space/search_state.hpp"

namespace quendral {

class StateQueue {
 public:
  // A queue for the states of a task of `fluents` values.
  explicit StateQueue(std::size_t fluents);
  StateQueue(const StateQueue&) = delete;
  StateQueue& operator=(const StateQueue&) = delete;
  ~StateQueue();

  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }

  void push_back(State&& state);
  // The oldest (front) or the newest (back) state, taken out; the queue must not be empty.
  State pop_front();
  State pop_back();

  // The bytes each code takes in a slot (1, 2 or 4), for tests.
  unsigned code_width() const noexcept { return form_.code_width(); }

 private:
  PackedSlot* slot(std::byte* chunk, std::size_t k) const noexcept {
    return reinterpret_cast<PackedSlot*>(chunk + k * form_.slot_bytes());
  }
  void new_chunk_at_back();
  // The path tail of `count` queued states in a row, held (null: the empty list, as for the
  // states kept whole, the root and its children).
  struct TailRun {
    Path tail;
    std::uint64_t count;
  };

  PackedForm form_;
  std::size_t slots_per_chunk_;
  // Front to back; the front chunk's slots in use are [front_, its end), the back chunk's
  // [0, back_) (with one chunk, [front_, back_)).
  std::deque<std::byte*> chunks_;
  std::size_t front_ = 0;
  std::size_t back_ = 0;
  std::size_t size_ = 0;
  std::deque<TailRun> tails_;  // front to back, as the slots
  std::size_t whole_ = 0;      // queued states kept whole
};

}  // namespace quendral
