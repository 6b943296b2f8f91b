// Exact numbers: the inline fast path and its promotion to GMP boxes, canonical forms, hashing,
// and the conversions to double and to 32-bit integers.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gmpxx.h>

#include "base/core/errors.hpp"
#include "base/core/numbers.hpp"
#include "tests/cpp/test_support.hpp"
#include "tests/support/heap_counts.hpp"


namespace quendral::testing {


namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

mpz_class pow2(unsigned bits) {
  mpz_class r = 1;
  r <<= bits;
  return r;
}
mpz_class mpz_of(std::int64_t v) { return mpz_class(static_cast<long>(v)); }
int sign_of(int v) { return (v > 0) - (v < 0); }
bool fits_i64(const mpz_class& v) { return mpz_fits_slong_p(v.get_mpz_t()) != 0; }
mpq_class ratio(const mpz_class& n, const mpz_class& d) {
  mpq_class q(n, d);
  q.canonicalize();
  return q;
}
BigInt big(const mpz_class& v) { return BigInt(v); }
Rational rat(const mpz_class& n, const mpz_class& d) { return Rational(BigInt(n), BigInt(d)); }

// The hasher starts from zero and a zero word leaves a zero state as it is, so the leading zero
// word of a negative number is lost when the number opens a fresh stream. Numbers are hashed
// behind other words where it matters (a node hashes its kind first); so do these checks.
template <class T>
std::uint64_t hash_after_a_word(const T& value) {
  FxHasher h;
  h.write_u64(1);
  value.hash_into(h);
  return h.finish();
}

// Checks every observable part of a BigInt against the value it should hold.
void expect_bigint(const BigInt& got, const mpz_class& want) {
  EXPECT_EQ(got.to_mpz(), want);
  EXPECT_EQ(got.to_string(), want.get_str());
  EXPECT_EQ(got.is_small(), fits_i64(want)) << "not canonical";
  if (got.is_small() && fits_i64(want)) {
    EXPECT_EQ(got.small_value(), want.get_si());
  }
  EXPECT_EQ(got.sign(), sgn(want));
  EXPECT_EQ(got.is_zero(), want == 0);
  const BigInt fresh(want);
  EXPECT_TRUE(got == fresh);
  EXPECT_EQ(compare(got, fresh), 0);
}

// Same for Rational; the expected value must be canonical.
void expect_rational(const Rational& got, const mpq_class& want) {
  EXPECT_EQ(got.numer().to_mpz(), want.get_num()) << "want " << want;
  EXPECT_EQ(got.denom().to_mpz(), want.get_den()) << "want " << want;
  EXPECT_EQ(got.to_mpq(), want);
  const bool inline_parts = fits_i64(want.get_num()) && fits_i64(want.get_den());
  EXPECT_EQ(got.is_small(), inline_parts) << "not canonical: " << want;
  if (got.is_small() && inline_parts) {
    EXPECT_EQ(got.small_numer(), want.get_num().get_si());
    EXPECT_EQ(got.small_denom(), want.get_den().get_si());
  }
  EXPECT_EQ(got.sign(), sgn(want));
  EXPECT_EQ(got.is_zero(), want == 0);
  EXPECT_EQ(got.is_integer(), want.get_den() == 1);
  const Rational fresh(want);
  EXPECT_TRUE(got == fresh);
  EXPECT_EQ(compare(got, fresh), 0);
}

// ---------------------------------------------------------------- BigInt

struct BigIntCase {
  const char* what;
  std::function<BigInt()> compute;
  mpz_class want;
};

TEST(BigInt, PromotesPastSixtyFourBitsAndComesBackInline) {
  const mpz_class two63 = pow2(63);
  const mpz_class two100 = pow2(100);
  const std::vector<BigIntCase> cases = {
      {"max + 1", [] { return BigInt(kMax) + 1; }, two63},
      {"min - 1", [] { return BigInt(kMin) - 1; }, -two63 - 1},
      {"-min", [] { return -BigInt(kMin); }, two63},
      {"min * -1", [] { return BigInt(kMin) * -1; }, two63},
      {"floor_div(min, -1)", [] { return floor_div(BigInt(kMin), -1); }, two63},
      {"2^32 * 2^31", [] { return BigInt(std::int64_t{1} << 32) * (std::int64_t{1} << 31); }, two63},
      {"2^32 * -2^31", [] { return BigInt(std::int64_t{1} << 32) * -(std::int64_t{1} << 31); }, -two63},
      {"max * max", [] { return BigInt(kMax) * kMax; }, mpz_of(kMax) * mpz_of(kMax)},
      {"min - max", [] { return BigInt(kMin) - kMax; }, mpz_of(kMin) - mpz_of(kMax)},
      {"(max + 1) - 1", [] { return (BigInt(kMax) + 1) - 1; }, mpz_of(kMax)},
      {"-(-min)", [] { return -(-BigInt(kMin)); }, mpz_of(kMin)},
      {"(min - 1) + 1", [] { return (BigInt(kMin) - 1) + 1; }, mpz_of(kMin)},
      {"2^63 * -1", [&] { return big(two63) * -1; }, -two63},
      {"floor_div(2^63, -1)", [&] { return floor_div(big(two63), -1); }, mpz_of(kMin)},
      {"floor_div(4 max, 4)", [] { return floor_div(BigInt(kMax) * 4, 4); }, mpz_of(kMax)},
      {"2^100 - (2^100 - 7)", [&] { return big(two100) - big(two100 - 7); }, 7},
      {"2^100 * 0", [&] { return big(two100) * 0; }, 0},
      {"floor_div(-2^100, 3)", [&] { return floor_div(big(-two100), 3); }, mpz_class("-422550200076076467165567735126")},
      {"floor_div(7, 2)", [] { return floor_div(BigInt(7), 2); }, 3},
      {"floor_div(-7, 2)", [] { return floor_div(BigInt(-7), 2); }, -4},
      {"floor_div(7, -2)", [] { return floor_div(BigInt(7), -2); }, -4},
      {"floor_div(-7, -2)", [] { return floor_div(BigInt(-7), -2); }, 3},
      {"floor_div(-8, 2)", [] { return floor_div(BigInt(-8), 2); }, -4},
      {"floor_div(min, 2)", [] { return floor_div(BigInt(kMin), 2); }, mpz_of(kMin / 2)},
      {"floor_div(min + 1, -2)", [] { return floor_div(BigInt(kMin + 1), -2); }, mpz_of(kMax / 2)},
      {"parsed 2^63", [] { return BigInt::from_decimal("9223372036854775808"); }, two63},
      {"parsed min", [] { return BigInt::from_decimal("-9223372036854775808"); }, mpz_of(kMin)},
  };
  for (const BigIntCase& c : cases) {
    SCOPED_TRACE(c.what);
    expect_bigint(c.compute(), c.want);
  }
}

TEST(BigInt, DivisionByZeroIsAnInternalFailure) {
  internal_failure_of([] { return floor_div(BigInt(5), 0); });
  internal_failure_of([] { return floor_div(big(pow2(80)), 0); });
}

mpz_class random_integer(std::mt19937_64& rng) {
  const auto small = [&] { return static_cast<long>(rng() % 41) - 20; };
  switch (rng() % 7) {
    case 0: return small();
    case 1: return mpz_of(rng() % 2 ? kMax : kMin) + small();  // straddles the boundary
    case 2: return mpz_of(static_cast<std::int64_t>(rng()));
    case 3: return mpz_of(static_cast<std::int64_t>(rng()) >> (rng() % 63));
    case 4: return mpz_of(static_cast<std::int64_t>(rng()) >> 32);
    default: {
      mpz_class v = 0;
      for (unsigned words = 1 + static_cast<unsigned>(rng() % 4); words > 0; --words) {
        v <<= 64;
        v += mpz_class(static_cast<unsigned long>(rng()));
      }
      v >>= static_cast<unsigned>(rng() % 64);
      return rng() % 2 ? mpz_class(-v) : v;
    }
  }
}

TEST(BigInt, ArithmeticAgreesWithGmp) {
  std::mt19937_64 rng(0x5eed'0001);
  for (int i = 0; i < 20000; ++i) {
    const mpz_class x = random_integer(rng), y = random_integer(rng);
    SCOPED_TRACE("x = " + x.get_str() + ", y = " + y.get_str());
    const BigInt a(x), b(y);
    expect_bigint(a, x);
    expect_bigint(a + b, mpz_class(x + y));
    expect_bigint(a - b, mpz_class(x - y));
    expect_bigint(a * b, mpz_class(x * y));
    expect_bigint(-a, mpz_class(-x));
    if (y != 0) {
      mpz_class q;
      mpz_fdiv_q(q.get_mpz_t(), x.get_mpz_t(), y.get_mpz_t());
      expect_bigint(floor_div(a, b), q);
    }
    EXPECT_EQ(sign_of(compare(a, b)), sign_of(cmp(x, y)));
    EXPECT_EQ(a == b, x == y);
    // Back to the start through whatever representation the sum needed.
    const BigInt back = (a + b) - b;
    EXPECT_TRUE(back == a);
    EXPECT_EQ(hash_of(back), hash_of(a));
    if (::testing::Test::HasFailure()) break;  // one traced failure says enough
  }
}

TEST(BigInt, DistinctValuesHashApart) {
  std::vector<mpz_class> values;
  for (long v = -40; v <= 40; ++v) values.emplace_back(v);
  for (unsigned bits : {31u, 32u, 62u, 63u, 64u, 65u, 127u, 128u, 129u, 500u}) {
    for (long delta : {-1L, 0L, 1L}) {
      values.emplace_back(pow2(bits) + delta);
      values.emplace_back(-pow2(bits) + delta);
    }
  }
  std::set<mpz_class> unique(values.begin(), values.end());
  std::set<std::uint64_t> hashes;
  for (const mpz_class& v : unique) hashes.insert(hash_after_a_word(BigInt(v)));
  EXPECT_EQ(hashes.size(), unique.size());
}

// ---------------------------------------------------------------- Rational

struct RationalCase {
  const char* what;
  std::function<Rational()> compute;
  mpq_class want;
};

TEST(Rational, StaysReducedAndCanonicalAcrossTheInlineBoundary) {
  const mpz_class two62 = pow2(62), two63 = pow2(63), two64 = pow2(64), two100 = pow2(100);
  const std::vector<RationalCase> cases = {
      {"-6/4", [] { return Rational(-6, 4); }, ratio(-3, 2)},
      {"6/-4", [] { return Rational(6, -4); }, ratio(-3, 2)},
      {"-6/-4", [] { return Rational(-6, -4); }, ratio(3, 2)},
      {"0/-5", [] { return Rational(0, -5); }, 0},
      {"0/2^100", [&] { return rat(0, two100); }, 0},
      {"-2^100/-2^100", [&] { return rat(-two100, -two100); }, 1},
      {"2^100/-2^98", [&] { return rat(two100, -pow2(98)); }, -4},
      {"3*2^70 / 2^71", [&] { return rat(3 * pow2(70), pow2(71)); }, ratio(3, 2)},
      {"min/min", [] { return Rational(kMin, kMin); }, 1},
      {"min/-1", [] { return Rational(kMin, -1); }, ratio(two63, 1)},
      {"1/min", [] { return Rational(1, kMin); }, ratio(-1, two63)},
      {"2/min", [] { return Rational(2, kMin); }, ratio(-1, two62)},
      {"-1/min", [] { return Rational(-1, kMin); }, ratio(1, two63)},
      {"max + 1", [] { return Rational(kMax) + 1; }, ratio(two63, 1)},
      {"min - 1", [] { return Rational(kMin) - 1; }, ratio(-two63 - 1, 1)},
      {"-min", [] { return -Rational(kMin); }, ratio(two63, 1)},
      {"min / -1", [] { return Rational(kMin) / -1; }, ratio(two63, 1)},
      {"min * -1", [] { return Rational(kMin) * -1; }, ratio(two63, 1)},
      {"1/max * 1/2", [] { return Rational(1, kMax) * Rational(1, 2); }, ratio(1, 2 * mpz_of(kMax))},
      {"1/2^62 * 1/4", [] { return Rational(1, std::int64_t{1} << 62) * Rational(1, 4); }, ratio(1, two64)},
      {"(max + 1) - 1", [] { return (Rational(kMax) + 1) - 1; }, ratio(mpz_of(kMax), 1)},
      {"-(-min)", [] { return -(-Rational(kMin)); }, ratio(mpz_of(kMin), 1)},
      // Intermediate parts pass 64 bits, the reduced result does not.
      {"max/(max-1) + 1/(max-1)", [] { return Rational(kMax, kMax - 1) + Rational(1, kMax - 1); },
       ratio(pow2(62), pow2(62) - 1)},
      {"3/2^62 * 2^62/3", [] { return Rational(3, std::int64_t{1} << 62) * Rational(std::int64_t{1} << 62, 3); }, 1},
      {"max/3 / (max/3)", [] { return Rational(kMax, 3) / Rational(kMax, 3); }, 1},
      {"1/max - 1/max", [] { return Rational(1, kMax) - Rational(1, kMax); }, 0},
      {"(1/3 + 2^100) - 2^100", [&] { return (Rational(1, 3) + Rational(big(two100))) - Rational(big(two100)); },
       ratio(1, 3)},
      {"(2^100/3) / 2^100", [&] { return rat(two100, 3) / Rational(big(two100)); }, ratio(1, 3)},
      {"2^100/3 * 3/2^100", [&] { return rat(two100, 3) * rat(3, two100); }, 1},
      {"2^100 - 2^100", [&] { return Rational(big(two100)) - Rational(big(two100)); }, 0},
      {"-(2^63) inline again", [&] { return -Rational(big(two63)); }, ratio(mpz_of(kMin), 1)},
      {"1/2^64 * 2^64", [&] { return rat(1, two64) * Rational(big(two64)); }, 1},
      {"from unreduced mpq", [&] { return Rational(mpq_class(two100 * 5, two100 * -15)); }, ratio(-1, 3)},
  };
  for (const RationalCase& c : cases) {
    SCOPED_TRACE(c.what);
    expect_rational(c.compute(), c.want);
  }
}

TEST(Rational, ZeroDenominatorOrDivisorIsAnInternalFailure) {
  EXPECT_EQ(internal_failure_of([] { return Rational(1, 0); }), "denominator == 0");
  EXPECT_EQ(internal_failure_of([] { return rat(pow2(90), 0); }), "denominator == 0");
  internal_failure_of([] { return Rational(1, 2) / Rational(0); });
  internal_failure_of([] { return rat(pow2(90), 7) / Rational(0); });
}

mpz_class random_denominator(std::mt19937_64& rng) {
  mpz_class d = random_integer(rng);
  return d == 0 ? mpz_class(1) : d;
}

TEST(Rational, ArithmeticAgreesWithGmp) {
  std::mt19937_64 rng(0x5eed'0002);
  // Built from raw, unreduced parts of either sign, so construction is checked as well.
  const auto draw = [&](mpq_class& exact) {
    const mpz_class n = random_integer(rng);
    const mpz_class d = rng() % 4 == 0 ? mpz_class(1) : random_denominator(rng);
    exact = ratio(n, d);
    return rat(n, d);
  };
  for (int i = 0; i < 10000; ++i) {
    mpq_class x, y;
    const Rational a = draw(x), b = draw(y);
    SCOPED_TRACE("x = " + x.get_str() + ", y = " + y.get_str());
    expect_rational(a, x);
    expect_rational(a + b, mpq_class(x + y));
    expect_rational(a - b, mpq_class(x - y));
    expect_rational(a * b, mpq_class(x * y));
    expect_rational(-a, mpq_class(-x));
    if (y != 0) expect_rational(a / b, mpq_class(x / y));
    EXPECT_EQ(sign_of(compare(a, b)), sign_of(cmp(x, y)));
    EXPECT_EQ(a < b, x < y);
    EXPECT_EQ(a <= b, x <= y);
    EXPECT_EQ(a == b, x == y);
    const Rational back = (a + b) - b;
    EXPECT_TRUE(back == a);
    EXPECT_EQ(hash_of(back), hash_of(a));
    if (::testing::Test::HasFailure()) break;
  }
}

TEST(Rational, EqualValuesHashAlikeWhateverTheirHistory) {
  const mpz_class huge = pow2(100) + 12345;
  const Rational inline_value(-7, 3);
  // The same value, once through a boxed intermediate.
  const Rational detour = (Rational(-7, 3) + Rational(big(huge))) - Rational(big(huge));
  const Rational scaled = (rat(-7 * huge, 3) / Rational(big(huge)));
  for (const Rational* r : {&detour, &scaled}) {
    EXPECT_TRUE(r->is_small());
    EXPECT_TRUE(*r == inline_value);
    EXPECT_EQ(hash_of(*r), hash_of(inline_value));
  }
  // Boxed values hash by value too.
  const Rational boxed_a = rat(huge, 3) * Rational(2);
  const Rational boxed_b = rat(2 * huge * 5, 15);
  EXPECT_FALSE(boxed_a.is_small());
  EXPECT_TRUE(boxed_a == boxed_b);
  EXPECT_EQ(hash_of(boxed_a), hash_of(boxed_b));
}

TEST(Rational, DistinctValuesHashApart) {
  std::set<mpq_class> unique;
  for (long n = -12; n <= 12; ++n) {
    for (long d = 1; d <= 12; ++d) unique.insert(ratio(n, d));
  }
  for (unsigned bits : {62u, 63u, 64u, 100u}) {
    for (long n : {-3L, -1L, 1L, 3L}) {
      unique.insert(ratio(n, pow2(bits)));
      unique.insert(ratio(n, pow2(bits) + 1));
      unique.insert(ratio(pow2(bits) + n, 1));
      unique.insert(ratio(pow2(bits) + n, 3));
    }
  }
  std::set<std::uint64_t> hashes;
  for (const mpq_class& q : unique) hashes.insert(hash_after_a_word(Rational(q)));
  EXPECT_EQ(hashes.size(), unique.size());
}

// ---------------------------------------------------------------- heap behaviour

TEST(InlineNumbers, ArithmeticOnInlineValuesNeverAllocates) {
  const std::vector<BigIntCase> ints = {
      {"max - 1 + 1", [] { return BigInt(kMax - 1) + 1; }, mpz_of(kMax)},
      {"min + 0", [] { return BigInt(kMin) + 0; }, mpz_of(kMin)},
      {"-max", [] { return -BigInt(kMax); }, mpz_of(-kMax)},
      {"2^31 * 2^31", [] { return BigInt(std::int64_t{1} << 31) * (std::int64_t{1} << 31); }, pow2(62)},
      {"2^32 * -2^31", [] { return BigInt(std::int64_t{1} << 32) * -(std::int64_t{1} << 31); }, mpz_of(kMin)},
      {"floor_div(min, 2)", [] { return floor_div(BigInt(kMin), 2); }, mpz_of(kMin / 2)},
      {"floor_div(-7, 2)", [] { return floor_div(BigInt(-7), 2); }, -4},
  };
  const std::vector<RationalCase> rationals = {
      {"1/3 + 1/6", [] { return Rational(1, 3) + Rational(1, 6); }, ratio(1, 2)},
      {"1/max + 1/max", [] { return Rational(1, kMax) + Rational(1, kMax); }, ratio(2, mpz_of(kMax))},
      {"max/3 * 3/max", [] { return Rational(kMax, 3) * Rational(3, kMax); }, 1},
      {"max/(max-1) + 1/(max-1)", [] { return Rational(kMax, kMax - 1) + Rational(1, kMax - 1); },
       ratio(pow2(62), pow2(62) - 1)},
      {"-5/7 / 10/21", [] { return Rational(-5, 7) / Rational(10, 21); }, ratio(-3, 2)},
      {"min - 0", [] { return Rational(kMin) - 0; }, ratio(mpz_of(kMin), 1)},
      {"-(max/2)", [] { return -Rational(kMax, 2); }, ratio(-mpz_of(kMax), 2)},
      {"mk_rational(6, -4)", [] { return mk_rational(6, -4); }, ratio(-3, 2)},
  };
  for (const BigIntCase& c : ints) {
    SCOPED_TRACE(c.what);
    const auto before = heap_counts().allocations;
    const BigInt result = c.compute();
    const BigInt copy = result;
    const bool same = compare(result, copy) == 0 && result == copy && hash_of(result) == hash_of(copy);
    EXPECT_EQ(heap_counts().allocations, before);
    EXPECT_TRUE(same);
    expect_bigint(result, c.want);
  }
  for (const RationalCase& c : rationals) {
    SCOPED_TRACE(c.what);
    const auto before = heap_counts().allocations;
    const Rational result = c.compute();
    Rational copy;
    copy = result;
    const bool same = compare(result, copy) == 0 && result == copy && hash_of(result) == hash_of(copy);
    EXPECT_EQ(heap_counts().allocations, before);
    EXPECT_TRUE(same);
    expect_rational(result, c.want);
  }
}

// Copies of boxed numbers share one box; whatever the order of copies, moves and assignments,
// the box outlives its last owner by nothing and is freed once.
TEST(BoxedNumbers, CopiesShareOneBoxFreedWithTheLastOwner) {
  const mpz_class two90 = pow2(90);
  const auto base = heap_counts();
  {
    BigInt original(mpz_class(two90 + 1));
    Rational ratio_original = rat(two90 + 1, 3);
    const auto made = heap_counts();
    ASSERT_GT(made.live, base.live);

    BigInt copy(original);
    BigInt assigned(5);
    assigned = original;
    Rational ratio_copy(ratio_original);
    Rational ratio_assigned(1, 2);
    ratio_assigned = ratio_original;
    EXPECT_EQ(heap_counts().allocations, made.allocations) << "a copy made a new box";

    original = BigInt(7);  // drops one owner of the shared box
    ratio_original = Rational(7);
    EXPECT_EQ(heap_counts().live, made.live) << "the box died with an owner left";

    BigInt& alias = copy;
    copy = alias;
    copy = std::move(alias);
    Rational& ratio_alias = ratio_copy;
    ratio_copy = ratio_alias;
    ratio_copy = std::move(ratio_alias);
    EXPECT_EQ(heap_counts().live, made.live);

    BigInt moved(std::move(copy));
    Rational ratio_moved(std::move(ratio_copy));
    copy = moved;  // a moved-from number takes new values
    ratio_copy = ratio_moved;
    EXPECT_EQ(copy.to_mpz(), mpz_class(two90 + 1));
    EXPECT_EQ(assigned.to_mpz(), mpz_class(two90 + 1));
    EXPECT_EQ(ratio_copy.to_mpq(), ratio(two90 + 1, 3));
    EXPECT_EQ(ratio_assigned.to_mpq(), ratio(two90 + 1, 3));

    // Assigning an inline value over the last owners frees the boxes.
    copy = 1;
    moved = 1;
    assigned = 1;
    ratio_copy = 1;
    ratio_moved = 1;
    ratio_assigned = 1;
    EXPECT_LT(heap_counts().live, made.live);
  }
  EXPECT_EQ(heap_counts().live, base.live);
}

// ---------------------------------------------------------------- mk_rational, i32

TEST(MkRational, ReducesWithAPositiveDenominator) {
  constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
  const struct {
    std::int32_t n, d;
    mpq_class want;
  } cases[] = {
      {6, -4, ratio(-3, 2)},
      {-4, -6, ratio(2, 3)},
      {0, -5, 0},
      {0, 1, 0},
      {7, 1, 7},
      {kMin32, -1, ratio(mpz_class(2147483648UL), 1)},
      {kMin32, kMin32, 1},
      {1, kMin32, ratio(-1, mpz_class(2147483648UL))},
      {kMin32, 2, ratio(-1073741824, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + "/" + std::to_string(c.d));
    expect_rational(mk_rational(c.n, c.d), c.want);
  }
  EXPECT_EQ(internal_failure_of([] { return mk_rational(1, 0); }), "denominator == 0");
  EXPECT_EQ(internal_failure_of([] { return mk_rational(0, 0); }), "denominator == 0");
}

TEST(BigIntToI32, AcceptsExactlyTheSigned32BitRange) {
  constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
  for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{42}, lo, hi, lo + 1, hi - 1}) {
    EXPECT_EQ(utils::big_int_to_i32(BigInt(v)), v);
  }
  const std::vector<BigInt> outside = {BigInt(hi + 1), BigInt(lo - 1), BigInt(kMax), BigInt(kMin),
                                       big(pow2(100)), big(-pow2(100))};
  for (const BigInt& v : outside) {
    SCOPED_TRACE(v.to_string());
    EXPECT_FALSE(internal_failure_of([&] { return utils::big_int_to_i32(v); }).empty());
  }
}

// ---------------------------------------------------------------- conversion to double

// The nearest double computed another way: take 64 leading bits of the magnitude, fold the rest
// into a sticky low bit, and let the x87 unit make the single rounding from its 64-bit
// mantissa to a double (ties to even, subnormals and overflow included).
double nearest_double(const mpq_class& q) {
  static_assert(std::numeric_limits<long double>::digits == 64, "needs the 80-bit long double");
  const int s = sgn(q);
  if (s == 0) return 0.0;
  const mpz_class num = abs(q.get_num());
  const mpz_class& den = q.get_den();
  long k = 64 - static_cast<long>(mpz_sizeinbase(num.get_mpz_t(), 2)) +
           static_cast<long>(mpz_sizeinbase(den.get_mpz_t(), 2));
  mpz_class top, rest;
  for (;;) {
    mpz_class n = num, d = den;
    if (k >= 0) {
      n <<= static_cast<mp_bitcnt_t>(k);
    } else {
      d <<= static_cast<mp_bitcnt_t>(-k);
    }
    mpz_fdiv_qr(top.get_mpz_t(), rest.get_mpz_t(), n.get_mpz_t(), d.get_mpz_t());
    const std::size_t bits = mpz_sizeinbase(top.get_mpz_t(), 2);
    if (bits == 64) break;
    k += bits > 64 ? -1 : 1;
  }
  const std::uint64_t mantissa = top.get_ui() | (rest != 0 ? 1u : 0u);
  const long double exact = std::ldexp(static_cast<long double>(mantissa), static_cast<int>(-k));
  const double nearest = static_cast<double>(exact);
  return s < 0 ? -nearest : nearest;
}

::testing::AssertionResult same_double(double got, double want) {
  if (std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want)) {
    return ::testing::AssertionSuccess();
  }
  char text[128];
  std::snprintf(text, sizeof text, "got %a, want %a", got, want);
  return ::testing::AssertionFailure() << text;
}

TEST(BigRationalToF64, RoundsToNearestEven) {
  const double inf = std::numeric_limits<double>::infinity();
  const mpz_class two53 = pow2(53), two200 = pow2(200), ten400 = [] {
    mpz_class t;
    mpz_ui_pow_ui(t.get_mpz_t(), 10, 400);
    return t;
  }();
  const mpz_class dbl_max = (pow2(53) - 1) << 971;
  const struct {
    const char* what;
    mpq_class value;
    double want;
  } cases[] = {
      {"0", 0, 0.0},
      {"1", 1, 1.0},
      {"-1/2", ratio(-1, 2), -0.5},
      {"1/3", ratio(1, 3), 0x1.5555555555555p-2},
      {"-1/3", ratio(-1, 3), -0x1.5555555555555p-2},
      {"2/3", ratio(2, 3), 0x1.5555555555555p-1},
      {"1/10", ratio(1, 10), 0.1},
      {"2^53 + 1 (tie, down to even)", ratio(two53 + 1, 1), 0x1p53},
      {"2^53 + 3 (tie, up to even)", ratio(two53 + 3, 1), 0x1.0000000000002p53},
      {"-(2^53 + 1)", ratio(-two53 - 1, 1), -0x1p53},
      {"-(2^53 + 3)", ratio(-two53 - 3, 1), -0x1.0000000000002p53},
      {"2^53 + 2", ratio(two53 + 2, 1), 0x1.0000000000001p53},
      {"max int64", ratio(mpz_of(kMax), 1), 0x1p63},
      {"min int64", ratio(mpz_of(kMin), 1), -0x1p63},
      {"1/max int64", ratio(1, mpz_of(kMax)), 0x1p-63},
      {"(2^53 + 1) / 2^60", ratio(two53 + 1, pow2(60)), 0x1p-7},
      {"((2^53 + 1) 2^10 + 1) / 2^70", ratio(((two53 + 1) << 10) + 1, pow2(70)), 0x1.0000000000001p-7},
      {"(2^200 + 1) / 2^200", ratio(two200 + 1, two200), 1.0},
      {"1 + 2^-52 over 2^200", ratio(two200 + pow2(148), two200), 0x1.0000000000001p0},
      {"1 + 2^-53 (tie, down)", ratio(two200 + pow2(147), two200), 1.0},
      {"1 + 2^-53 + tiny", ratio(two200 + pow2(147) + 1, two200), 0x1.0000000000001p0},
      {"2 + 3 2^-52 (tie, up)", ratio((two200 << 1) + 3 * pow2(148), two200), 0x1.0000000000002p1},
      {"(10^400 + 1) / (3 10^400)", ratio(ten400 + 1, 3 * ten400), 0x1.5555555555555p-2},
      {"-(10^400 - 1) / 10^401", ratio(1 - ten400, 10 * ten400), -0.1},
      {"max double", ratio(dbl_max, 1), 0x1.fffffffffffffp1023},
      {"max double + half ulp - 1", ratio(dbl_max + pow2(970) - 1, 1), 0x1.fffffffffffffp1023},
      {"max double + half ulp (tie, to inf)", ratio(dbl_max + pow2(970), 1), inf},
      {"2^1024", ratio(pow2(1024), 1), inf},
      {"-2^1024", ratio(-pow2(1024), 1), -inf},
      {"10^400", ratio(ten400, 1), inf},
      {"-10^400 / 3", ratio(-ten400, 3), -inf},
      {"2^1100 / 2^80", ratio(pow2(1100), pow2(80)), 0x1p1020},
      {"2^-1022", ratio(1, pow2(1022)), 0x1p-1022},
      {"(2^53 - 1) 2^-1075 (tie, up to min normal)", ratio(two53 - 1, pow2(1075)), 0x1p-1022},
      {"largest subnormal", ratio(pow2(52) - 1, pow2(1074)), 0x0.fffffffffffffp-1022},
      {"2^-1074", ratio(1, pow2(1074)), 0x1p-1074},
      {"-2^-1074", ratio(-1, pow2(1074)), -0x1p-1074},
      {"2^-1075 (tie, to zero)", ratio(1, pow2(1075)), 0.0},
      {"-2^-1075", ratio(-1, pow2(1075)), -0.0},
      {"2^-1075 + tiny", ratio(pow2(40) + 1, pow2(1115)), 0x1p-1074},
      {"0.75 2^-1074", ratio(3, pow2(1076)), 0x1p-1074},
      {"1.5 2^-1074 (tie, up)", ratio(3, pow2(1075)), 0x1p-1073},
      {"2.5 2^-1074 (tie, down)", ratio(5, pow2(1075)), 0x1p-1073},
      {"3.5 2^-1074 (tie, up)", ratio(7, pow2(1075)), 0x1p-1072},
      {"10^-400", ratio(1, ten400), 0.0},
      {"-10^-400", ratio(-1, ten400), -0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(same_double(utils::big_rational_to_f64(Rational(c.value)), c.want));
    EXPECT_TRUE(same_double(nearest_double(c.value), c.want)) << "the reference model is off";
  }
}

TEST(BigRationalToF64, AgreesWithReferenceOnRandomValues) {
  std::mt19937_64 rng(0x5eed'0003);
  const auto random_bits = [&](unsigned bits) {
    mpz_class v = 0;
    for (unsigned have = 0; have < bits; have += 64) {
      v <<= 64;
      v += mpz_class(static_cast<unsigned long>(rng()));
    }
    v >>= static_cast<mp_bitcnt_t>((bits + 63) / 64 * 64 - bits);
    v |= pow2(bits - 1);  // exactly `bits` bits
    return v;
  };
  for (int i = 0; i < 30000; ++i) {
    mpz_class n, d;
    switch (i % 5) {
      case 0:  // both parts within the exact range of a double
        n = random_bits(1 + rng() % 53);
        d = random_bits(1 + rng() % 53);
        break;
      case 1:  // inline parts beyond 2^53
        n = random_bits(1 + rng() % 63);
        d = random_bits(1 + rng() % 63);
        break;
      case 2:  // anything from underflow to overflow
        n = random_bits(1 + rng() % 1150);
        d = random_bits(1 + rng() % 1150);
        break;
      case 3: {  // exact ties between two doubles, normal or subnormal
        n = (random_bits(53) << 1) | 1;
        const long shift = static_cast<long>(rng() % 2150) - 1125;
        d = 1;
        if (shift >= 0) {
          n <<= static_cast<mp_bitcnt_t>(shift);
        } else {
          d <<= static_cast<mp_bitcnt_t>(-shift);
        }
        break;
      }
      default: {  // ties nudged by a tiny amount either way
        n = (random_bits(53) << 1) | 1;
        const unsigned extra = 1 + static_cast<unsigned>(rng() % 200);
        n <<= extra;
        n += rng() % 2 ? 1 : -1;
        d = pow2(extra + static_cast<unsigned>(rng() % 1100));
        break;
      }
    }
    if (rng() % 2) n = -n;
    const mpq_class q = ratio(n, d);
    SCOPED_TRACE(q.get_str());
    const Rational value(q);
    const double want = nearest_double(q);
    ASSERT_TRUE(same_double(utils::big_rational_to_f64(value), want));
    ASSERT_TRUE(same_double(utils::big_rational_to_f64(-value), -want));
  }
}

}  // namespace
}  // namespace quendral::testing
