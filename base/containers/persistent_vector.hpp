// A persistent vector: a bit-partitioned trie of branching 32 with reference-counted nodes, whose
// leaves hold 2^LeafBits elements (32 by default; small elements may take wider leaves, so that
// a short vector is one leaf).
//
// Copying a vector copies one pointer (constant time); the copies share every node until one of
// them writes. A write copies only the nodes on the path from the root to the changed element
// (O(log32 n) nodes) and keeps sharing all the others; a node that the writer owns alone is
// changed in place instead. The shape of the trie depends only on the size, so two vectors of
// equal length have the same shape, and:
//  - equality skips subtrees that the two vectors share (pointer-equal nodes are equal);
//  - every node caches the hash of its subtree once computed, so hashing a vector that shares
//    most of its nodes with one already hashed only visits the nodes it does not share.
// A node holds only as many slots as it needs (a full node all, the rightmost ones fewer), so a
// short vector, as most states' values are, costs its own length and not a full node per copy.
// Elements of a trivially copyable type are copied and compared as raw memory.
// The hash of a vector of at most one leaf is the Fx hash fed with its elements in order;
// a larger one combines the hashes of its subtrees in order. Equal vectors hash alike.
//
// Reference counts are atomic and shared nodes are never changed, so vectors may be copied,
// read and released on any thread; writing to one vector object is not safe against concurrent
// use of that same object.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <type_traits>
#include <utility>

#include "base/core/hashing.hpp"
#include "base/core/memory.hpp"

namespace quendral {

template <class T, unsigned LeafBits = 5>
class PersistentVector {
  static_assert(std::is_nothrow_copy_constructible_v<T> && std::is_nothrow_destructible_v<T>);

 public:
  static constexpr unsigned kBits = 5;  // of an inner level
  static constexpr std::size_t kWidth = std::size_t{1} << kBits;
  static constexpr std::size_t kMask = kWidth - 1;
  static constexpr unsigned kLeafBits = LeafBits;
  static constexpr std::size_t kLeafWidth = std::size_t{1} << kLeafBits;
  static constexpr std::size_t kLeafMask = kLeafWidth - 1;
  static_assert(kLeafBits >= 1 && kLeafBits <= 16);

  class const_iterator;

  PersistentVector() noexcept = default;
  template <class It>
  PersistentVector(It first, It last) {
    for (; first != last; ++first) push_back(*first);
  }
  PersistentVector(const PersistentVector& other) noexcept
      : root_(other.root_), size_(other.size_), shift_(other.shift_) {
    if (root_) retain(root_);
  }
  PersistentVector(PersistentVector&& other) noexcept
      : root_(std::exchange(other.root_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        shift_(std::exchange(other.shift_, 0)) {}
  PersistentVector& operator=(const PersistentVector& other) noexcept {
    PersistentVector copy(other);
    swap(copy);
    return *this;
  }
  PersistentVector& operator=(PersistentVector&& other) noexcept {
    PersistentVector taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~PersistentVector() { release(root_, shift_); }

  void swap(PersistentVector& other) noexcept {
    std::swap(root_, other.root_);
    std::swap(size_, other.size_);
    std::swap(shift_, other.shift_);
  }

  // The vector of the `n` elements at `values`: a vector of at most one leaf is that leaf, made
  // at its size in one step; a longer one is built element by element.
  static PersistentVector from_values(const T* values, std::size_t n) {
    PersistentVector vector;
    if (n > kLeafWidth) {
      for (std::size_t k = 0; k < n; ++k) vector.push_back(values[k]);
      return vector;
    }
    if (n == 0) return vector;
    Leaf* leaf = new_leaf(static_cast<std::uint32_t>(n));
    if constexpr (std::is_trivially_copyable_v<T>) {
      std::memcpy(static_cast<void*>(leaf->values()), values, sizeof(T) * n);
    } else {
      for (std::size_t k = 0; k < n; ++k) new (&leaf->values()[k]) T(values[k]);
    }
    leaf->count = static_cast<std::uint32_t>(n);
    vector.root_ = leaf;
    vector.size_ = n;
    return vector;
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // The element at `i`, which must be below `size()`.
  const T& operator[](std::size_t i) const noexcept { return leaf_for(i)->values()[i & kLeafMask]; }

  // Replaces the element at `i` (below `size()`).
  void set(std::size_t i, T value) {
    Node** slot = &root_;
    for (unsigned shift = shift_; shift > 0; shift = child_shift(shift)) {
      Inner* inner = make_unique(*slot, shift, 0);
      slot = &inner->children()[(i >> shift) & kMask];
    }
    Leaf* leaf = unique_leaf(*slot, 0);
    leaf->values()[i & kLeafMask] = std::move(value);
  }

  void push_back(T value) {
    if (!root_) {
      Leaf* leaf = new_leaf(1);
      new (&leaf->values()[0]) T(std::move(value));
      leaf->count = 1;
      root_ = leaf;
      size_ = 1;
      return;
    }
    const std::size_t i = size_;
    if (i == capacity(shift_)) {  // the trie is full: grow a level
      Inner* top = new_inner(2);
      top->children()[0] = root_;
      top->count = 1;
      root_ = top;
      shift_ = parent_shift(shift_);
    }
    Node** slot = &root_;
    for (unsigned shift = shift_; shift > 0; shift = child_shift(shift)) {
      const std::size_t c = (i >> shift) & kMask;
      const bool grows = c == (*slot)->count;  // a new rightmost subtree holding the value alone
      Inner* inner = make_unique(*slot, shift, grows ? 1 : 0);
      if (grows) {
        inner->children()[c] = new_path(std::move(value), child_shift(shift));
        inner->count = static_cast<std::uint32_t>(c + 1);
        ++size_;
        return;
      }
      slot = &inner->children()[c];
    }
    Leaf* leaf = unique_leaf(*slot, 1);
    new (&leaf->values()[leaf->count]) T(std::move(value));
    ++leaf->count;
    ++size_;
  }

  friend bool operator==(const PersistentVector& a, const PersistentVector& b) noexcept {
    if (a.size_ != b.size_) return false;
    if (a.size_ == 0) return true;
    return nodes_equal(a.root_, b.root_, a.shift_);
  }

  std::uint64_t hash() const noexcept {
    if (!root_) return FxHasher{}.finish();
    return node_hash(root_, shift_);
  }

  const_iterator begin() const noexcept { return const_iterator(this, 0); }
  const_iterator end() const noexcept { return const_iterator(this, size_); }

  // Calls `visit(node, is_leaf)` for every node reachable from the root (a node shared inside
  // one vector cannot happen, so each is visited once). For tests and measurements of sharing.
  template <class F>
  void visit_nodes(F&& visit) const {
    if (root_) visit_from(root_, shift_, visit);
  }

  // Calls `visit(values, n)` for each leaf in order, with its `n` elements at `values`.
  template <class F>
  void for_each_leaf(F&& visit) const {
    if (root_) leaves_from(root_, shift_, visit);
  }

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator() noexcept = default;
    const T& operator*() const noexcept { return values_[index_ & kLeafMask]; }
    const T* operator->() const noexcept { return &values_[index_ & kLeafMask]; }
    const_iterator& operator++() noexcept {
      ++index_;
      if ((index_ & kLeafMask) == 0) load_leaf();
      return *this;
    }
    const_iterator operator++(int) noexcept {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept { return a.index_ == b.index_; }

   private:
    friend class PersistentVector;
    const_iterator(const PersistentVector* vector, std::size_t index) noexcept : vector_(vector), index_(index) {
      load_leaf();
    }
    void load_leaf() noexcept { values_ = index_ < vector_->size_ ? vector_->leaf_for(index_)->values() : nullptr; }

    const PersistentVector* vector_ = nullptr;
    std::size_t index_ = 0;
    const T* values_ = nullptr;
  };

 private:
  struct Node {
    std::atomic<std::uint64_t> refs{1};
    mutable std::atomic<std::uint64_t> hash{0};  // the subtree's hash; 0: not computed yet
    std::uint32_t count = 0;                     // children or values in use
    std::uint32_t capacity = 0;                  // a leaf's slots
  };
  // The header of an inner node; its `capacity` child pointers follow it in the same block.
  struct Inner : Node {
    Node** children() noexcept { return reinterpret_cast<Node**>(reinterpret_cast<unsigned char*>(this) + sizeof(Inner)); }
    Node* const* children() const noexcept {
      return reinterpret_cast<Node* const*>(reinterpret_cast<const unsigned char*>(this) + sizeof(Inner));
    }
  };
  static_assert(sizeof(Inner) % alignof(Node*) == 0);
  // The header of a leaf; its `capacity` slots follow it in the same block.
  struct alignas(alignof(T) > alignof(Node) ? alignof(T) : alignof(Node)) Leaf : Node {
    T* values() noexcept { return std::launder(reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(this) + sizeof(Leaf))); }
    const T* values() const noexcept {
      return std::launder(reinterpret_cast<const T*>(reinterpret_cast<const unsigned char*>(this) + sizeof(Leaf)));
    }
  };
  static_assert(sizeof(Leaf) % alignof(T) == 0);
  static_assert(alignof(Leaf) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "leaves are allocated with the alignment of operator new");

  static Leaf* new_leaf(std::uint32_t capacity) {
    void* block = memory::allocate(sizeof(Leaf) + sizeof(T) * capacity);
    Leaf* leaf = new (block) Leaf;
    leaf->capacity = capacity;
    return leaf;
  }
  static void free_leaf(Leaf* leaf) noexcept {
    leaf->~Leaf();
    memory::release(static_cast<void*>(leaf));
  }
  // Inner nodes, like leaves, hold only the child slots they need: a vector of a few leaves
  // copies a few pointers per write, not a full node.
  static Inner* new_inner(std::uint32_t capacity) {
    void* block = memory::allocate(sizeof(Inner) + sizeof(Node*) * capacity);
    Inner* inner = new (block) Inner;
    inner->capacity = capacity;
    return inner;
  }
  static void free_inner(Inner* inner) noexcept {
    inner->~Inner();
    memory::release(static_cast<void*>(inner));
  }

  // Levels are told apart by their shift: 0 for a leaf, `kLeafBits` for the inner level above
  // the leaves, then `kBits` more per level.
  static constexpr unsigned child_shift(unsigned shift) noexcept { return shift == kLeafBits ? 0 : shift - kBits; }
  static constexpr unsigned parent_shift(unsigned shift) noexcept { return shift == 0 ? kLeafBits : shift + kBits; }

  // The elements a node at `shift` can hold; saturates far beyond any size a vector can reach.
  static std::size_t capacity(unsigned shift) noexcept {
    if (shift == 0) return kLeafWidth;
    return shift + kBits >= 64 ? static_cast<std::size_t>(-1) : std::size_t{1} << (shift + kBits);
  }

  const Leaf* leaf_for(std::size_t i) const noexcept {
    const Node* node = root_;
    for (unsigned shift = shift_; shift > 0; shift = child_shift(shift)) {
      node = static_cast<const Inner*>(node)->children()[(i >> shift) & kMask];
    }
    return static_cast<const Leaf*>(node);
  }

  static void retain(Node* node) noexcept { node->refs.fetch_add(1, std::memory_order_relaxed); }

  static void release(Node* node, unsigned shift) noexcept {
    if (!node || !memory::drop_reference(node->refs)) return;
    if (shift == 0) {
      Leaf* leaf = static_cast<Leaf*>(node);
      if constexpr (!std::is_trivially_destructible_v<T>) {
        for (std::uint32_t k = 0; k < leaf->count; ++k) leaf->values()[k].~T();
      }
      free_leaf(leaf);
    } else {
      Inner* inner = static_cast<Inner*>(node);
      for (std::uint32_t k = 0; k < inner->count; ++k) release(inner->children()[k], child_shift(shift));
      free_inner(inner);
    }
  }

  // Makes `slot` point to an inner node that this vector alone owns, with room for `extra` more
  // children, and that may therefore be changed: the node itself when nobody shares it and it has
  // the room, else a copy that shares the node's children (doubling, up to a full node, when it
  // is to grow).
  static Inner* make_unique(Node*& slot, unsigned shift, std::uint32_t extra) {
    Inner* from = static_cast<Inner*>(slot);
    const std::uint32_t needed = from->count + extra;
    const bool alone = from->refs.load(std::memory_order_acquire) == 1;
    if (alone && needed <= from->capacity) {
      from->hash.store(0, std::memory_order_relaxed);  // about to change
      return from;
    }
    std::uint32_t capacity = needed;
    if (extra > 0) capacity = std::min<std::uint32_t>(static_cast<std::uint32_t>(kWidth), std::max(needed, 2 * from->count));
    Inner* copy = new_inner(capacity);
    for (std::uint32_t k = 0; k < from->count; ++k) {
      copy->children()[k] = from->children()[k];
      retain(copy->children()[k]);
    }
    copy->count = from->count;
    release(from, shift);
    slot = copy;
    return copy;
  }

  // Makes the leaf in `slot` one that this vector alone owns, with room for `extra` more values:
  // the leaf itself when nobody shares it and it has the room, else a copy sized to its values
  // (doubling, up to a full leaf, when it is to grow).
  static Leaf* unique_leaf(Node*& slot, std::uint32_t extra) {
    Leaf* from = static_cast<Leaf*>(slot);
    const bool alone = from->refs.load(std::memory_order_acquire) == 1;
    const std::uint32_t needed = from->count + extra;
    if (alone && needed <= from->capacity) {
      from->hash.store(0, std::memory_order_relaxed);  // about to change
      return from;
    }
    std::uint32_t capacity = needed;
    if (extra > 0) capacity = std::min<std::uint32_t>(static_cast<std::uint32_t>(kLeafWidth), std::max(needed, 2 * from->count));
    Leaf* leaf = new_leaf(capacity);
    if constexpr (std::is_trivially_copyable_v<T>) {
      std::memcpy(static_cast<void*>(leaf->values()), from->values(), sizeof(T) * from->count);
    } else {
      for (std::uint32_t k = 0; k < from->count; ++k) new (&leaf->values()[k]) T(from->values()[k]);
    }
    leaf->count = from->count;
    release(from, 0);
    slot = leaf;
    return leaf;
  }

  // A chain of new nodes from `shift` down to a leaf holding `value` alone.
  static Node* new_path(T value, unsigned shift) {
    Leaf* leaf = new_leaf(1);
    new (&leaf->values()[0]) T(std::move(value));
    leaf->count = 1;
    Node* node = leaf;
    for (unsigned s = kLeafBits; s <= shift; s = parent_shift(s)) {
      Inner* inner = new_inner(1);
      inner->children()[0] = node;
      inner->count = 1;
      node = inner;
    }
    return node;
  }

  static bool nodes_equal(const Node* a, const Node* b, unsigned shift) noexcept {
    if (a == b) return true;
    const std::uint64_t ha = a->hash.load(std::memory_order_relaxed);
    const std::uint64_t hb = b->hash.load(std::memory_order_relaxed);
    if (ha != 0 && hb != 0 && ha != hb) return false;
    if (shift == 0) {
      const T* x = static_cast<const Leaf*>(a)->values();
      const T* y = static_cast<const Leaf*>(b)->values();
      if constexpr (std::has_unique_object_representations_v<T>) {
        return std::memcmp(x, y, sizeof(T) * a->count) == 0;
      } else {
        for (std::uint32_t k = 0; k < a->count; ++k) {
          if (!(x[k] == y[k])) return false;
        }
        return true;
      }
    }
    const Inner* x = static_cast<const Inner*>(a);
    const Inner* y = static_cast<const Inner*>(b);
    for (std::uint32_t k = 0; k < a->count; ++k) {
      if (!nodes_equal(x->children()[k], y->children()[k], child_shift(shift))) return false;
    }
    return true;
  }

  static std::uint64_t node_hash(const Node* node, unsigned shift) noexcept {
    const std::uint64_t cached = node->hash.load(std::memory_order_relaxed);
    if (cached != 0) return cached;
    FxHasher h;
    if (shift == 0) {
      const T* values = static_cast<const Leaf*>(node)->values();
      if constexpr (std::is_integral_v<T>) {
        for (std::uint32_t k = 0; k < node->count; ++k) h.write_u64(static_cast<std::uint64_t>(values[k]));
      } else {
        for (std::uint32_t k = 0; k < node->count; ++k) values[k].hash_into(h);
      }
    } else {
      const Inner* inner = static_cast<const Inner*>(node);
      for (std::uint32_t k = 0; k < node->count; ++k) h.write_u64(node_hash(inner->children()[k], child_shift(shift)));
    }
    // 0 marks "not computed"; a computed 0 is stored (and returned) as 1.
    const std::uint64_t result = h.finish() == 0 ? 1 : h.finish();
    node->hash.store(result, std::memory_order_relaxed);
    return result;
  }

  template <class F>
  static void visit_from(const Node* node, unsigned shift, F& visit) {
    visit(static_cast<const void*>(node), shift == 0);
    if (shift == 0) return;
    const Inner* inner = static_cast<const Inner*>(node);
    for (std::uint32_t k = 0; k < inner->count; ++k) visit_from(inner->children()[k], child_shift(shift), visit);
  }

  template <class F>
  static void leaves_from(const Node* node, unsigned shift, F& visit) {
    if (shift == 0) {
      const Leaf* leaf = static_cast<const Leaf*>(node);
      visit(leaf->values(), static_cast<std::size_t>(leaf->count));
      return;
    }
    const Inner* inner = static_cast<const Inner*>(node);
    for (std::uint32_t k = 0; k < inner->count; ++k) leaves_from(inner->children()[k], child_shift(shift), visit);
  }

  Node* root_ = nullptr;
  std::size_t size_ = 0;
  unsigned shift_ = 0;  // the root's level (see `child_shift`)
};

}  // namespace quendral
