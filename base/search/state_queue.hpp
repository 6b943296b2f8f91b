// The open list of the tree searches: a queue of states, taken from the front (breadth-first)
// or from the back (depth-first).
//
// A tree search holds every state it has generated and not yet taken, millions of them, most of
// which it never takes before it ends; kept whole, each costs its state record, a value leaf and
// its path cell, and the run spends much of its time faulting in fresh pages. So a state that
// holds nothing but its values, g and path (no network, nothing running, no durative condition,
// nothing cached, every value a Boolean or an object: every state of a classical task) is kept
// as its g, its path and its value codes packed to the fewest bytes that hold every code handed
// out when the queue was made, and is rebuilt when taken, equal in everything a search reads.
// Any other state (or one with a code made later) is kept whole. The slots, all of one size, sit
// in chunks of about 64 KiB that go back to the allocator as the queue moves past them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

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
  unsigned code_width() const noexcept { return width_; }

 private:
  // What every slot starts with; the packed codes follow it. `whole` is the state kept whole,
  // or null when the slot holds the packed form.
  struct Head {
    double g;
    Path path;
    State* whole;
  };

  Head* slot(std::byte* chunk, std::size_t k) const noexcept {
    return reinterpret_cast<Head*>(chunk + k * slot_bytes_);
  }
  // Writes `state` into the free slot at `head`.
  void put(void* head, State&& state);
  // The state of the slot at `head`, which is left destroyed.
  State take(Head* head);
  static void destroy(Head* head) noexcept;
  void new_chunk_at_back();
  void release_chunk(std::byte* chunk) noexcept;

  std::size_t fluents_;
  unsigned width_;
  std::uint64_t code_limit_;  // codes below it fit `width_` bytes
  std::size_t slot_bytes_;
  std::size_t slots_per_chunk_;
  // Front to back; the front chunk's slots in use are [front_, its end), the back chunk's
  // [0, back_) (with one chunk, [front_, back_)).
  std::deque<std::byte*> chunks_;
  std::size_t front_ = 0;
  std::size_t back_ = 0;
  std::size_t size_ = 0;
  std::vector<std::uint32_t> codes_;  // the codes of the state being rebuilt
};

}  // namespace quendral
