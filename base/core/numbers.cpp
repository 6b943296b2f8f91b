#include "base/core/numbers.hpp"

#include <cmath>
#include <limits>
#include <numeric>

#include "base/core/errors.hpp"

namespace quendral {
namespace {

using i128 = __int128;
using u128 = unsigned __int128;

constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();

bool fits_i64(i128 v) { return v >= kI64Min && v <= kI64Max; }

mpz_class mpz_from_i128(i128 v) {
  const bool negative = v < 0;
  u128 magnitude = negative ? -static_cast<u128>(v) : static_cast<u128>(v);
  mpz_class result(static_cast<unsigned long>(magnitude >> 64));
  result <<= 64;
  result += mpz_class(static_cast<unsigned long>(magnitude & ~std::uint64_t{0}));
  if (negative) result = -result;
  return result;
}

u128 gcd_u128(u128 a, u128 b) {
  while (b != 0) {
    if ((a >> 64) == 0 && (b >> 64) == 0) {
      return std::gcd(static_cast<std::uint64_t>(a), static_cast<std::uint64_t>(b));
    }
    u128 t = a % b;
    a = b;
    b = t;
  }
  return a;
}

}  // namespace

// ---------------------------------------------------------------- BigInt

BigInt::BigInt(const mpz_class& value) : small_(0), big_(nullptr) {
  if (mpz_fits_slong_p(value.get_mpz_t())) {
    small_ = mpz_get_si(value.get_mpz_t());
  } else {
    big_ = new detail::BigIntBox{};
    big_->value = value;
  }
}

BigInt BigInt::from_decimal(std::string_view text) { return BigInt(mpz_class(std::string(text), 10)); }

mpz_class BigInt::to_mpz() const {
  if (big_) return big_->value;
  return mpz_class(static_cast<long>(small_));
}

int BigInt::sign() const noexcept {
  if (big_) return sgn(big_->value);
  return (small_ > 0) - (small_ < 0);
}

std::string BigInt::to_string() const {
  if (big_) return big_->value.get_str(10);
  return std::to_string(small_);
}

void BigInt::hash_into(FxHasher& hasher) const noexcept {
  const int s = sign();
  hasher.write_u64(static_cast<std::uint64_t>(s + 1));
  if (s == 0) return;
  if (!big_) {
    const std::uint64_t magnitude =
        small_ < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(small_) : static_cast<std::uint64_t>(small_);
    hasher.write_u64(1);
    hasher.write_bytes(&magnitude, 8);
    return;
  }
  const mpz_srcptr z = big_->value.get_mpz_t();
  const std::size_t count = (mpz_sizeinbase(z, 2) + 63) / 64;
  hasher.write_u64(count);
  std::uint64_t digits[8];
  if (count <= 8) {
    std::size_t written = 0;
    mpz_export(digits, &written, -1, 8, -1, 0, z);
    hasher.write_bytes(digits, written * 8);
  } else {
    std::string buffer(count * 8, '\0');
    std::size_t written = 0;
    mpz_export(buffer.data(), &written, -1, 8, -1, 0, z);
    hasher.write_bytes(buffer.data(), written * 8);
  }
}

bool operator==(const BigInt& a, const BigInt& b) noexcept {
  if (!a.big_ && !b.big_) return a.small_ == b.small_;
  if (a.big_ && b.big_) return a.big_->value == b.big_->value;
  return false;  // canonical: a boxed value never fits 64 bits
}

int compare(const BigInt& a, const BigInt& b) noexcept {
  if (!a.big_ && !b.big_) return (a.small_ > b.small_) - (a.small_ < b.small_);
  if (a.big_ && b.big_) {
    const int c = cmp(a.big_->value, b.big_->value);
    return (c > 0) - (c < 0);
  }
  // One side is boxed, so its magnitude exceeds every inline value.
  if (a.big_) return sgn(a.big_->value);
  return -sgn(b.big_->value);
}

BigInt operator+(const BigInt& a, const BigInt& b) {
  std::int64_t r;
  if (!a.big_ && !b.big_ && !__builtin_add_overflow(a.small_, b.small_, &r)) return BigInt(r);
  return BigInt(mpz_class(a.to_mpz() + b.to_mpz()));
}

BigInt operator-(const BigInt& a, const BigInt& b) {
  std::int64_t r;
  if (!a.big_ && !b.big_ && !__builtin_sub_overflow(a.small_, b.small_, &r)) return BigInt(r);
  return BigInt(mpz_class(a.to_mpz() - b.to_mpz()));
}

BigInt operator*(const BigInt& a, const BigInt& b) {
  std::int64_t r;
  if (!a.big_ && !b.big_ && !__builtin_mul_overflow(a.small_, b.small_, &r)) return BigInt(r);
  return BigInt(mpz_class(a.to_mpz() * b.to_mpz()));
}

BigInt floor_div(const BigInt& a, const BigInt& b) {
  QUENDRAL_CHECK(!b.is_zero(), "division by zero");
  if (!a.big_ && !b.big_ && !(a.small_ == kI64Min && b.small_ == -1)) {
    std::int64_t q = a.small_ / b.small_;
    if ((a.small_ % b.small_ != 0) && ((a.small_ < 0) != (b.small_ < 0))) --q;
    return BigInt(q);
  }
  mpz_class q;
  mpz_fdiv_q(q.get_mpz_t(), a.to_mpz().get_mpz_t(), b.to_mpz().get_mpz_t());
  return BigInt(q);
}

BigInt BigInt::operator-() const {
  if (!big_ && small_ != kI64Min) return BigInt(-small_);
  return BigInt(mpz_class(-to_mpz()));
}

// ---------------------------------------------------------------- Rational

namespace {

std::uint64_t magnitude(std::int64_t v) noexcept {
  return v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

}  // namespace

Rational Rational::reduced(i128 n, i128 d) {
  if (d < 0) {
    n = -n;
    d = -d;
  }
  const u128 g = gcd_u128(n < 0 ? -static_cast<u128>(n) : static_cast<u128>(n), static_cast<u128>(d));
  if (g > 1) {
    n /= static_cast<i128>(g);
    d /= static_cast<i128>(g);
  }
  if (fits_i64(n) && fits_i64(d)) {
    return Rational(static_cast<std::int64_t>(n), static_cast<std::int64_t>(d), Reduced{});
  }
  return Rational(mpq_class(mpz_from_i128(n), mpz_from_i128(d)));
}

// The usual reduction of a sum of reduced fractions: with g = gcd(b, d), a/b ± c/d is
// t / (b/g · d) where t = a·(d/g) ± c·(b/g), and only gcd(t, g) can remain as a common factor. When
// g is 1 the sum is already reduced. Every gcd here is of 64-bit values.
Rational Rational::add_inline(std::int64_t a, std::int64_t b, std::int64_t c, std::int64_t d, bool subtract) {
  const std::uint64_t g = std::gcd(static_cast<std::uint64_t>(b), static_cast<std::uint64_t>(d));
  const auto b_g = static_cast<std::int64_t>(static_cast<std::uint64_t>(b) / g);
  const auto d_g = static_cast<std::int64_t>(static_cast<std::uint64_t>(d) / g);
  std::int64_t x, y, t, denominator;
  if (!__builtin_mul_overflow(a, d_g, &x) && !__builtin_mul_overflow(c, b_g, &y) &&
      !(subtract ? __builtin_sub_overflow(x, y, &t) : __builtin_add_overflow(x, y, &t))) {
    if (t == 0) return Rational();
    const std::uint64_t common = g == 1 ? 1 : std::gcd(magnitude(t), g);
    if (!__builtin_mul_overflow(b_g, static_cast<std::int64_t>(static_cast<std::uint64_t>(d) / common), &denominator)) {
      return Rational(common == 1 ? t : t / static_cast<std::int64_t>(common), denominator, Reduced{});
    }
  }
  const i128 cross = subtract ? static_cast<i128>(a) * d - static_cast<i128>(c) * b
                              : static_cast<i128>(a) * d + static_cast<i128>(c) * b;
  return reduced(cross, static_cast<i128>(b) * d);
}

// (a/b)·(c/d) of reduced fractions is (a/g1 · c/g2) / (b/g2 · d/g1) with g1 = gcd(a, d) and
// g2 = gcd(c, b), already reduced.
Rational Rational::multiply_inline(std::int64_t a, std::int64_t b, std::int64_t c, std::int64_t d) {
  if (a == 0 || c == 0) return Rational();
  const std::uint64_t g1 = std::gcd(magnitude(a), static_cast<std::uint64_t>(d));
  const std::uint64_t g2 = std::gcd(magnitude(c), static_cast<std::uint64_t>(b));
  // Both are at most a positive denominator, so they fit; a / g1 stays in range even for the
  // most negative a (g1 is then at least 1 and never -1).
  const auto s1 = static_cast<std::int64_t>(g1), s2 = static_cast<std::int64_t>(g2);
  std::int64_t numerator, denominator;
  if (!__builtin_mul_overflow(a / s1, c / s2, &numerator) && !__builtin_mul_overflow(b / s2, d / s1, &denominator)) {
    return Rational(numerator, denominator, Reduced{});
  }
  return reduced(static_cast<i128>(a) * c, static_cast<i128>(b) * d);
}

Rational::Rational(const BigInt& value) : num_(0), den_(1) {
  if (value.is_small()) {
    num_ = value.small_value();
  } else {
    den_ = 0;
    box_ = new detail::RationalBox{};
    box_->value = mpq_class(value.big_value());
  }
}

Rational::Rational(const BigInt& numerator, const BigInt& denominator) : num_(0), den_(1) {
  QUENDRAL_CHECK(!denominator.is_zero(), "denominator == 0");
  if (numerator.is_small() && denominator.is_small()) {
    i128 n = numerator.small_value();
    i128 d = denominator.small_value();
    if (d < 0) {
      n = -n;
      d = -d;
    }
    const std::uint64_t un = n < 0 ? static_cast<std::uint64_t>(-n) : static_cast<std::uint64_t>(n);
    const std::uint64_t g = std::gcd(un, static_cast<std::uint64_t>(d));
    if (g > 1) {
      n /= g;
      d /= g;
    }
    if (fits_i64(n) && fits_i64(d)) {
      num_ = static_cast<std::int64_t>(n);
      den_ = static_cast<std::int64_t>(d);
      return;
    }
    *this = Rational(mpq_class(mpz_from_i128(n), mpz_from_i128(d)));
    return;
  }
  mpq_class q(numerator.to_mpz(), denominator.to_mpz());
  q.canonicalize();
  *this = Rational(q);
}

Rational::Rational(const mpq_class& value) : num_(0), den_(1) {
  mpq_class q(value);
  q.canonicalize();
  if (mpz_fits_slong_p(q.get_num_mpz_t()) && mpz_fits_slong_p(q.get_den_mpz_t())) {
    num_ = mpz_get_si(q.get_num_mpz_t());
    den_ = mpz_get_si(q.get_den_mpz_t());
  } else {
    den_ = 0;
    box_ = new detail::RationalBox{};
    box_->value = std::move(q);
  }
}

mpq_class Rational::to_mpq() const {
  if (den_ == 0) return box_->value;
  mpq_class q(mpz_class(static_cast<long>(num_)), mpz_class(static_cast<long>(den_)));
  return q;  // already reduced
}

BigInt Rational::numer() const {
  if (den_ != 0) return BigInt(num_);
  return BigInt(mpz_class(box_->value.get_num()));
}

BigInt Rational::denom() const {
  if (den_ != 0) return BigInt(den_);
  return BigInt(mpz_class(box_->value.get_den()));
}

bool Rational::is_integer() const noexcept {
  if (den_ != 0) return den_ == 1;
  return mpz_cmp_ui(box_->value.get_den_mpz_t(), 1) == 0;
}

int Rational::sign() const noexcept {
  if (den_ != 0) return (num_ > 0) - (num_ < 0);
  return sgn(box_->value);
}

void Rational::hash_into(FxHasher& hasher) const {
  // The continued-fraction expansion with floored quotients: equal values hash alike whatever
  // their representation.
  if (den_ != 0) {
    std::int64_t n = num_, d = den_;
    while (d != 0) {
      std::int64_t q = n / d;
      std::int64_t r = n % d;
      if (r != 0 && ((r < 0) != (d < 0))) {
        --q;
        r += d;
      }
      BigInt(q).hash_into(hasher);
      n = d;
      d = r;
    }
    BigInt(0).hash_into(hasher);
    return;
  }
  BigInt n = numer(), d = denom();
  while (!d.is_zero()) {
    BigInt q = floor_div(n, d);
    q.hash_into(hasher);
    BigInt r = n - q * d;
    n = std::move(d);
    d = std::move(r);
  }
  d.hash_into(hasher);
}

bool operator==(const Rational& a, const Rational& b) noexcept {
  if (a.den_ != 0 && b.den_ != 0) return a.num_ == b.num_ && a.den_ == b.den_;
  if (a.den_ == 0 && b.den_ == 0) return a.box_->value == b.box_->value;
  return false;  // canonical: a boxed value has a part beyond 64 bits
}

int compare(const Rational& a, const Rational& b) noexcept {
  if (a.den_ != 0 && b.den_ != 0) {
    const i128 l = static_cast<i128>(a.num_) * b.den_;
    const i128 r = static_cast<i128>(b.num_) * a.den_;
    return (l > r) - (l < r);
  }
  const int c = cmp(a.to_mpq(), b.to_mpq());
  return (c > 0) - (c < 0);
}

Rational operator+(const Rational& a, const Rational& b) {
  if (a.den_ == 1 && b.den_ == 1) {
    std::int64_t r;
    if (!__builtin_add_overflow(a.num_, b.num_, &r)) return Rational(r);
  }
  if (a.den_ != 0 && b.den_ != 0) return Rational::add_inline(a.num_, a.den_, b.num_, b.den_, false);
  return Rational(mpq_class(a.to_mpq() + b.to_mpq()));
}

Rational operator-(const Rational& a, const Rational& b) {
  if (a.den_ == 1 && b.den_ == 1) {
    std::int64_t r;
    if (!__builtin_sub_overflow(a.num_, b.num_, &r)) return Rational(r);
  }
  if (a.den_ != 0 && b.den_ != 0) return Rational::add_inline(a.num_, a.den_, b.num_, b.den_, true);
  return Rational(mpq_class(a.to_mpq() - b.to_mpq()));
}

Rational operator*(const Rational& a, const Rational& b) {
  if (a.den_ == 1 && b.den_ == 1) {
    std::int64_t r;
    if (!__builtin_mul_overflow(a.num_, b.num_, &r)) return Rational(r);
  }
  if (a.den_ != 0 && b.den_ != 0) return Rational::multiply_inline(a.num_, a.den_, b.num_, b.den_);
  return Rational(mpq_class(a.to_mpq() * b.to_mpq()));
}

Rational operator/(const Rational& a, const Rational& b) {
  QUENDRAL_CHECK(!b.is_zero(), "division by zero");
  if (a.den_ != 0 && b.den_ != 0) {
    // Multiply by the reciprocal c/d -> d/c, its sign moved to the numerator; the most negative
    // numerator has no positive counterpart in 64 bits.
    if (b.num_ != kI64Min) {
      const std::int64_t d = b.num_ < 0 ? -b.den_ : b.den_;
      const std::int64_t c = b.num_ < 0 ? -b.num_ : b.num_;
      return Rational::multiply_inline(a.num_, a.den_, d, c);
    }
    return Rational::reduced(static_cast<i128>(a.num_) * b.den_, static_cast<i128>(a.den_) * b.num_);
  }
  return Rational(mpq_class(a.to_mpq() / b.to_mpq()));
}

Rational Rational::operator-() const {
  if (den_ != 0 && num_ != kI64Min) {
    Rational r(*this);
    r.num_ = -num_;
    return r;
  }
  return Rational(mpq_class(-to_mpq()));
}

Rational mk_rational(std::int32_t numerator, std::int32_t denominator) {
  QUENDRAL_CHECK(denominator != 0, "denominator == 0");
  return Rational(BigInt(numerator), BigInt(denominator));
}

namespace utils {

double big_rational_to_f64(const Rational& value) {
  constexpr std::int64_t kExact = std::int64_t{1} << 53;
  if (value.is_small()) {
    const std::int64_t n = value.small_numer(), d = value.small_denom();
    // Both parts are exact doubles, and IEEE division rounds correctly to nearest-even.
    if (n >= -kExact && n <= kExact && d <= kExact) return static_cast<double>(n) / static_cast<double>(d);
  }
  const mpq_class q = value.to_mpq();
  const int s = sgn(q);
  if (s == 0) return 0.0;
  mpz_class n = abs(q.get_num());
  const mpz_class& d = q.get_den();
  // Find e and a 53-bit quotient Q = floor(n / (d * 2^e)), then round the remainder to even.
  long e = static_cast<long>(mpz_sizeinbase(n.get_mpz_t(), 2)) - static_cast<long>(mpz_sizeinbase(d.get_mpz_t(), 2)) - 53;
  mpz_class quotient, remainder, scaled_n, scaled_d;
  for (int attempt = 0; attempt < 4; ++attempt) {
    long exp = e < -1074 ? -1074 : e;  // subnormals keep fewer bits
    if (exp >= 0) {
      scaled_n = n;
      mpz_mul_2exp(scaled_d.get_mpz_t(), d.get_mpz_t(), static_cast<mp_bitcnt_t>(exp));
    } else {
      mpz_mul_2exp(scaled_n.get_mpz_t(), n.get_mpz_t(), static_cast<mp_bitcnt_t>(-exp));
      scaled_d = d;
    }
    mpz_tdiv_qr(quotient.get_mpz_t(), remainder.get_mpz_t(), scaled_n.get_mpz_t(), scaled_d.get_mpz_t());
    const std::size_t bits = mpz_sizeinbase(quotient.get_mpz_t(), 2);
    if (exp == e && bits > 53) {
      ++e;
      continue;
    }
    if (exp == e && bits < 53 && sgn(quotient) != 0) {
      --e;
      continue;
    }
    e = exp;
    break;
  }
  const int half = cmp(mpz_class(remainder * 2), scaled_d);
  if (half > 0 || (half == 0 && mpz_odd_p(quotient.get_mpz_t()))) quotient += 1;
  const double magnitude = std::ldexp(quotient.get_d(), static_cast<int>(std::max<long>(std::min<long>(e, 4096), -4096)));
  return s < 0 ? -magnitude : magnitude;
}

std::int32_t big_int_to_i32(const BigInt& value) {
  QUENDRAL_CHECK(value.is_small() && value.small_value() >= std::numeric_limits<std::int32_t>::min() &&
                     value.small_value() <= std::numeric_limits<std::int32_t>::max(),
                 "integer out of the signed 32-bit range: " + value.to_string());
  return static_cast<std::int32_t>(value.small_value());
}

}  // namespace utils
}  // namespace quendral
