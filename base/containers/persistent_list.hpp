// PersistentList: an immutable singly linked list whose cells are shared by every list built on
// them (a state's path of applied events, the constraint lists of a temporal network).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>

#include "base/core/memory.hpp"

namespace quendral {

// One cell of an immutable singly linked list. A list is a `PersistentList<T>::Ref` to its
// newest cell (null: the empty list); appending makes a new cell over the old list, which stays
// valid and unchanged, so the lists of a whole search form a tree of shared cells.
//
// Reference counts are atomic: lists may be shared and released on any thread. Releasing the
// last holder of a long chain frees its cells in a loop, never by recursion, so a list of any
// length can be dropped on a small stack.
template <class T>
class PersistentList {
 public:
  class Ref {
   public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : cell_(other.cell_) {
      if (cell_) cell_->refs_.fetch_add(1, std::memory_order_relaxed);
    }
    Ref(Ref&& other) noexcept : cell_(std::exchange(other.cell_, nullptr)) {}
    Ref& operator=(const Ref& other) noexcept {
      Ref copy(other);
      std::swap(cell_, copy.cell_);
      return *this;
    }
    Ref& operator=(Ref&& other) noexcept {
      Ref taken(std::move(other));
      std::swap(cell_, taken.cell_);
      return *this;
    }
    ~Ref() { release(cell_); }

    const PersistentList* get() const noexcept { return cell_; }
    // A new reference to the list starting at `cell`, which someone holds (null: the empty list).
    static Ref share(const PersistentList* cell) noexcept {
      if (cell) cell->refs_.fetch_add(1, std::memory_order_relaxed);
      return Ref(const_cast<PersistentList*>(cell));
    }
    const PersistentList* operator->() const noexcept { return cell_; }
    const PersistentList& operator*() const noexcept { return *cell_; }
    explicit operator bool() const noexcept { return cell_ != nullptr; }
    bool empty() const noexcept { return cell_ == nullptr; }
    friend bool operator==(const Ref& a, const Ref& b) noexcept { return a.cell_ == b.cell_; }

   private:
    friend class PersistentList;
    explicit Ref(PersistentList* cell) noexcept : cell_(cell) {}
    PersistentList* cell_ = nullptr;
  };

  // Newest to oldest, by reference; the list must outlive the walk.
  class ReverseRange {
   public:
    class iterator {
     public:
      using iterator_category = std::forward_iterator_tag;
      using value_type = T;
      using difference_type = std::ptrdiff_t;
      using pointer = const T*;
      using reference = const T&;

      iterator() noexcept = default;
      explicit iterator(const PersistentList* cell) noexcept : cell_(cell) {}
      const T& operator*() const noexcept { return cell_->elem; }
      const T* operator->() const noexcept { return &cell_->elem; }
      iterator& operator++() noexcept {
        cell_ = cell_->tail.get();
        return *this;
      }
      iterator operator++(int) noexcept {
        iterator before = *this;
        ++*this;
        return before;
      }
      friend bool operator==(iterator a, iterator b) noexcept { return a.cell_ == b.cell_; }

     private:
      const PersistentList* cell_ = nullptr;
    };

    explicit ReverseRange(const PersistentList* head) noexcept : head_(head) {}
    iterator begin() const noexcept { return iterator(head_); }
    iterator end() const noexcept { return iterator(); }

   private:
    const PersistentList* head_;
  };

  // Reachable only through `const PersistentList*`: a cell never changes once built.
  T elem;
  Ref tail;

  // A new list: one new cell holding `elem` over `list`. Allocates exactly that cell.
  static Ref append(T elem, const Ref& list) { return Ref(new PersistentList(std::move(elem), list)); }
  // The same, taking over the reference `list` holds.
  static Ref append(T elem, Ref&& list) { return Ref(new PersistentList(std::move(elem), std::move(list))); }

  static ReverseRange iter_rev(const Ref& list) noexcept { return ReverseRange(list.get()); }

  // The cell's reference count (for tests of sharing).
  std::uint64_t use_count() const noexcept { return refs_.load(std::memory_order_relaxed); }

  QUENDRAL_BLOCK_ALLOCATED
  PersistentList(const PersistentList&) = delete;
  PersistentList& operator=(const PersistentList&) = delete;

 private:
  PersistentList(T value, const Ref& rest) : elem(std::move(value)), tail(rest) {}
  PersistentList(T value, Ref&& rest) noexcept(std::is_nothrow_move_constructible_v<T>) : elem(std::move(value)), tail(std::move(rest)) {}
  ~PersistentList() = default;

  static void release(PersistentList* cell) noexcept {
    while (cell && memory::drop_reference(cell->refs_)) {
      // Take over the tail's reference before the cell goes, then release it in the next round.
      PersistentList* next = std::exchange(cell->tail.cell_, nullptr);
      delete cell;
      cell = next;
    }
  }

  mutable std::atomic<std::uint64_t> refs_{1};
};

}  // namespace quendral
