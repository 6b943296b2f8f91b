// Lazy sequences: the pull-based streams that feed the searches one item at a time.
//
// A sequence is any object with `next()` returning `std::optional<T>`:
//  - it returns the next item, or nothing once the sequence has ended (and on every later call);
//  - it throws `quendral::Error` for an error item; the sequence has then moved past that item, so
//    a consumer that chooses to go on calls `next()` again and receives the items after it.
// Nothing is computed ahead of a request: a consumer that stops asking pays for nothing more.
//
// `BoxedSequence<T>` is the type-erased form of such a sequence, for the places that hand a
// sequence on without naming its type. The searches consume the unboxed templates directly, so
// that each step inlines.
#pragma once

#include <cstddef>
#include <concepts>
#include <memory>
#include <optional>
#include <utility>

#include "base/core/errors.hpp"

namespace quendral {

template <class G, class T>
concept LazySequence = requires(G& sequence) {
  { sequence.next() } -> std::same_as<std::optional<T>>;
};

// Bounds on the number of items a sequence has left: at least `lower`, at most `upper` (no
// upper bound when absent).
struct SizeHint {
  std::size_t lower = 0;
  std::optional<std::size_t> upper;

  friend bool operator==(const SizeHint&, const SizeHint&) = default;
};

// The size hint of any sequence: its own when it has one, else "anything from 0 on".
template <class G>
SizeHint size_hint_of(const G& sequence) {
  if constexpr (requires { { sequence.size_hint() } -> std::same_as<SizeHint>; }) {
    return sequence.size_hint();
  } else {
    return SizeHint{};
  }
}

// Produces and discards up to `n` items of `sequence`, each in full (an error item counts as a
// skipped item and is discarded too). Returns how many of the `n` were left unskipped because the
// sequence ended first.
template <class G>
std::size_t advance_sequence(G& sequence, std::size_t n) {
  while (n > 0) {
    try {
      if (!sequence.next()) return n;
    } catch (const Error&) {
      // A skipped error item is dropped with its item; internal failures still end the call.
    }
    --n;
  }
  return 0;
}

template <class T>
class BoxedSequence {
 public:
  virtual ~BoxedSequence() = default;
  virtual std::optional<T> next() = 0;
  virtual SizeHint size_hint() const = 0;

  // Skips `n` items (see `advance_sequence`); returns how many were left unskipped.
  std::size_t advance_by(std::size_t n) { return advance_sequence(*this, n); }
  // The item after skipping `n`: `advance_by(n)`, then `next()`.
  std::optional<T> nth(std::size_t n) {
    advance_by(n);
    return next();
  }
};

template <class T, class G>
  requires LazySequence<G, T>
std::unique_ptr<BoxedSequence<T>> box_sequence(G sequence) {
  class Boxed final : public BoxedSequence<T> {
   public:
    explicit Boxed(G inner) : inner_(std::move(inner)) {}
    std::optional<T> next() override { return inner_.next(); }
    SizeHint size_hint() const override { return size_hint_of(inner_); }

   private:
    G inner_;
  };
  return std::make_unique<Boxed>(std::move(sequence));
}

}  // namespace quendral
