// Exact numbers: arbitrary-size integers and reduced rationals.
//
// `BigInt` and `Rational` are immutable value types with an inline 64-bit fast path: a value
// whose parts fit 64 bits lives inside the object and never allocates. Larger values live in a
// reference-counted, immutable GMP box shared by all copies. Representations are canonical (a
// value that fits is never boxed), so equality of representations is equality of values.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <gmpxx.h>

#include "base/core/hashing.hpp"

namespace quendral {

namespace detail {
// Immutable boxes shared between copies; the count is atomic because the module runs without
// the interpreter lock.
struct BigIntBox {
  std::atomic<std::uint32_t> refs{1};
  mpz_class value;
};
struct RationalBox {
  std::atomic<std::uint32_t> refs{1};
  mpq_class value;
};
template <class Box>
inline void retain(Box* box) noexcept {
  box->refs.fetch_add(1, std::memory_order_relaxed);
}
template <class Box>
inline void release(Box* box) noexcept {
  if (box->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete box;
}
}  // namespace detail

class BigInt {
 public:
  BigInt() noexcept : small_(0), big_(nullptr) {}
  BigInt(std::int64_t value) noexcept : small_(value), big_(nullptr) {}  // NOLINT: implicit
  explicit BigInt(const mpz_class& value);
  BigInt(const BigInt& other) noexcept : small_(other.small_), big_(other.big_) {
    if (big_) detail::retain(big_);
  }
  BigInt(BigInt&& other) noexcept : small_(other.small_), big_(other.big_) { other.big_ = nullptr; }
  BigInt& operator=(const BigInt& other) noexcept {
    BigInt copy(other);
    swap(copy);
    return *this;
  }
  BigInt& operator=(BigInt&& other) noexcept {
    swap(other);
    return *this;
  }
  ~BigInt() {
    if (big_) detail::release(big_);
  }
  void swap(BigInt& other) noexcept {
    std::swap(small_, other.small_);
    std::swap(big_, other.big_);
  }

  // Parses an optionally signed decimal integer; the text must be well formed.
  static BigInt from_decimal(std::string_view text);

  bool is_small() const noexcept { return big_ == nullptr; }
  std::int64_t small_value() const noexcept { return small_; }
  const mpz_class& big_value() const noexcept { return big_->value; }
  mpz_class to_mpz() const;
  int sign() const noexcept;
  bool is_zero() const noexcept { return is_small() && small_ == 0; }

  std::string to_string() const;
  void hash_into(FxHasher& hasher) const noexcept;

  friend bool operator==(const BigInt& a, const BigInt& b) noexcept;
  friend int compare(const BigInt& a, const BigInt& b) noexcept;
  friend BigInt operator+(const BigInt& a, const BigInt& b);
  friend BigInt operator-(const BigInt& a, const BigInt& b);
  friend BigInt operator*(const BigInt& a, const BigInt& b);
  // Quotient rounded toward negative infinity; the divisor must not be zero.
  friend BigInt floor_div(const BigInt& a, const BigInt& b);
  BigInt operator-() const;

 private:
  std::int64_t small_;
  detail::BigIntBox* big_;
};

class Rational {
 public:
  Rational() noexcept : num_(0), den_(1) {}
  Rational(std::int64_t value) noexcept : num_(value), den_(1) {}  // NOLINT: implicit
  explicit Rational(const BigInt& value);
  // numerator / denominator, reduced; the denominator must not be zero.
  Rational(const BigInt& numerator, const BigInt& denominator);
  explicit Rational(const mpq_class& value);  // canonicalises `value` first
  Rational(const Rational& other) noexcept : den_(other.den_) {
    if (den_ == 0) {
      box_ = other.box_;
      detail::retain(box_);
    } else {
      num_ = other.num_;
    }
  }
  Rational(Rational&& other) noexcept : num_(other.num_), den_(other.den_) {
    other.num_ = 0;
    other.den_ = 1;
  }
  Rational& operator=(const Rational& other) noexcept {
    Rational copy(other);
    swap(copy);
    return *this;
  }
  Rational& operator=(Rational&& other) noexcept {
    swap(other);
    return *this;
  }
  ~Rational() {
    if (den_ == 0) detail::release(box_);
  }
  void swap(Rational& other) noexcept {
    std::swap(num_, other.num_);
    std::swap(den_, other.den_);
  }

  bool is_small() const noexcept { return den_ != 0; }
  std::int64_t small_numer() const noexcept { return num_; }
  std::int64_t small_denom() const noexcept { return den_; }
  const mpq_class& big_value() const noexcept { return box_->value; }
  mpq_class to_mpq() const;

  BigInt numer() const;
  BigInt denom() const;
  bool is_integer() const noexcept;
  bool is_zero() const noexcept { return den_ != 0 && num_ == 0; }
  int sign() const noexcept;

  void hash_into(FxHasher& hasher) const;

  friend bool operator==(const Rational& a, const Rational& b) noexcept;
  friend int compare(const Rational& a, const Rational& b) noexcept;
  friend bool operator<(const Rational& a, const Rational& b) noexcept { return compare(a, b) < 0; }
  friend bool operator<=(const Rational& a, const Rational& b) noexcept { return compare(a, b) <= 0; }
  friend Rational operator+(const Rational& a, const Rational& b);
  friend Rational operator-(const Rational& a, const Rational& b);
  friend Rational operator*(const Rational& a, const Rational& b);
  // The divisor must not be zero.
  friend Rational operator/(const Rational& a, const Rational& b);
  Rational operator-() const;

 private:
  // An inline value whose parts are already reduced (denominator > 0, no common factor).
  struct Reduced {};
  Rational(std::int64_t numerator, std::int64_t denominator, Reduced) noexcept : num_(numerator), den_(denominator) {}
  // numerator/denominator from 128-bit parts (denominator != 0), reduced.
  static Rational reduced(__int128 numerator, __int128 denominator);
  // a/b ± c/d and (a/b)·(c/d) over inline parts (b, d > 0).
  static Rational add_inline(std::int64_t a, std::int64_t b, std::int64_t c, std::int64_t d, bool subtract);
  static Rational multiply_inline(std::int64_t a, std::int64_t b, std::int64_t c, std::int64_t d);

  union {
    std::int64_t num_;          // den_ != 0: the reduced numerator
    detail::RationalBox* box_;  // den_ == 0: the boxed value
  };
  std::int64_t den_;  // > 0 for an inline value, 0 for a boxed one
};

// The single case of `ArithmeticError`: positions shifted past the 64-bit range.
enum class ArithmeticError { Overflow };
inline const char* to_string(ArithmeticError) { return "Overflow"; }

// numerator/denominator reduced; a zero denominator is an internal failure "denominator == 0".
Rational mk_rational(std::int32_t numerator, std::int32_t denominator);

namespace utils {
// The double nearest to the value, ties to even; infinities beyond the double range.
double big_rational_to_f64(const Rational& value);
// The value when it lies in the signed 32-bit range; an internal failure otherwise.
std::int32_t big_int_to_i32(const BigInt& value);
}  // namespace utils

}  // namespace quendral
