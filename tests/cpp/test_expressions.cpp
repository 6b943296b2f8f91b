// Expression nodes: printed forms, operator construction, numbers out of nodes, structural
// equality and hashing of nodes and node lists, and the value semantics of the 24-byte record.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gmpxx.h>

#include "base/core/errors.hpp"
#include "base/core/numbers.hpp"
#include "base/expressions/expressions.hpp"
#include "tests/cpp/test_support.hpp"
#include "tests/support/heap_counts.hpp"

namespace quendral::testing {

namespace {

using Positions = std::vector<std::uint64_t>;
using N = ExpressionNode;

BigInt pow2(unsigned bits) {
  mpz_class v = 1;
  v <<= bits;
  return BigInt(v);
}

N list(NodeKind kind, const Positions& positions) { return N::list_operator(kind, positions); }

template <class F>
void expect_value_error(F&& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no error was raised; wanted ValueError \"" << message << '"';
  } catch (const Error& error) {
    EXPECT_EQ(error.kind(), ErrorKind::ValueError);
    EXPECT_EQ(error.message(), message);
    EXPECT_FALSE(error.foreign());
  }
}

// ---------------------------------------------------------------- printed forms

TEST(NodeRepr, PrintsKindAndPayload) {
  const struct {
    N node;
    const char* want;
  } cases[] = {
      {N(), "Bool(false)"},
      {N::boolean(true), "Bool(true)"},
      {N::boolean(false), "Bool(false)"},
      {N::integer(-12), "Int(-12)"},
      {N::integer(std::numeric_limits<std::int64_t>::min()), "Int(-9223372036854775808)"},
      {N::integer(pow2(70)), "Int(1180591620717411303424)"},
      {N::integer(-pow2(70)), "Int(-1180591620717411303424)"},
      {N::rational(Rational(-1, 2)), "Rational(Ratio { numer: -1, denom: 2 })"},
      {N::rational(Rational(4, 2)), "Rational(Ratio { numer: 2, denom: 1 })"},
      {N::rational(Rational(0, -3)), "Rational(Ratio { numer: 0, denom: 1 })"},
      {N::rational(Rational(BigInt(1), pow2(70))), "Rational(Ratio { numer: 1, denom: 1180591620717411303424 })"},
      {N::fluent(3), "Fluent(3)"},
      {N::fluent(std::numeric_limits<std::uint64_t>::max()), "Fluent(18446744073709551615)"},
      {N::object("truck-1"), "Object(\"truck-1\")"},
      {N::object(""), "Object(\"\")"},
      {N::object("say \"hi\"\n"), "Object(\"say \\\"hi\\\"\\n\")"},
      {list(NodeKind::And, {0, 1}), "And([0, 1])"},
      {list(NodeKind::Or, {}), "Or([])"},
      {list(NodeKind::Plus, {}), "Plus([])"},
      {list(NodeKind::Times, {2, 5, 7}), "Times([2, 5, 7])"},
      {N::not_operator(0), "Not(0)"},
      {N::binary_operator(NodeKind::Equals, 3, 4), "Equals(3, 4)"},
      {N::binary_operator(NodeKind::LE, 0, 1), "LE(0, 1)"},
      {N::binary_operator(NodeKind::LT, 1, 0), "LT(1, 0)"},
      {N::binary_operator(NodeKind::Minus, 10, 11), "Minus(10, 11)"},
      {N::binary_operator(NodeKind::Div, 0, 0), "Div(0, 0)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.node.repr(), c.want);
}

std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

TEST(EscapeObjectName, EscapesQuotesControlsAndInvisibleCharacters) {
  const struct {
    const char* what;
    std::string name;
    std::string want;  // without the surrounding quotes
  } cases[] = {
      {"plain", "truck-1", "truck-1"},
      {"space and punctuation", "a b_c.d:e~f", "a b_c.d:e~f"},
      {"single quote", "it's", "it's"},
      {"double quote", "a\"b", "a\\\"b"},
      {"backslash", "a\\b", "a\\\\b"},
      {"tab cr lf", "\t\r\n", "\\t\\r\\n"},
      {"nul", std::string("a\0b", 3), "a\\0b"},
      {"other C0 controls", "\x01\x1b\x1f", "\\u{1}\\u{1b}\\u{1f}"},
      {"delete", "\x7f", "\\u{7f}"},
      {"next line (C1)", utf8(0x85), "\\u{85}"},
      {"non-ASCII letters", utf8(0xE9) + utf8(0xDF) + utf8(0x3A9) + utf8(0x65E5), utf8(0xE9) + utf8(0xDF) + utf8(0x3A9) + utf8(0x65E5)},
      {"emoji and symbols", utf8(0x1F600) + utf8(0xB7) + utf8(0x20AC), utf8(0x1F600) + utf8(0xB7) + utf8(0x20AC)},
      {"combining acute", "e" + utf8(0x301), "e\\u{301}"},
      {"enclosing mark", "x" + utf8(0x20DD), "x\\u{20dd}"},
      {"spacing mark that extends graphemes", utf8(0x9AC) + utf8(0x9BE), utf8(0x9AC) + "\\u{9be}"},
      {"spacing mark that does not", utf8(0x915) + utf8(0x903), utf8(0x915) + utf8(0x903)},
      {"modifier letter that extends graphemes", utf8(0xFF76) + utf8(0xFF9E), utf8(0xFF76) + "\\u{ff9e}"},
      {"zero width space (Cf)", "a" + utf8(0x200B) + "b", "a\\u{200b}b"},
      {"soft hyphen, bom, lrm", utf8(0xAD) + utf8(0xFEFF) + utf8(0x200E), "\\u{ad}\\u{feff}\\u{200e}"},
      {"no-break and other spaces", utf8(0xA0) + utf8(0x2003) + utf8(0x3000), "\\u{a0}\\u{2003}\\u{3000}"},
      {"line and paragraph separators", utf8(0x2028) + utf8(0x2029), "\\u{2028}\\u{2029}"},
      {"private use", utf8(0xE000) + utf8(0xF0000), "\\u{e000}\\u{f0000}"},
      {"unassigned and noncharacters", utf8(0x378) + utf8(0xFFFF) + utf8(0x10FFFF), "\\u{378}\\u{ffff}\\u{10ffff}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(escape_object_name(c.name), "\"" + c.want + "\"");
    EXPECT_EQ(N::object(c.name).repr(), "Object(\"" + c.want + "\")");
  }
}

// ---------------------------------------------------------------- make_operator

TEST(MakeOperator, BuildsTheNamedKindFromTheOperandsItUses) {
  const struct {
    const char* kind;
    Positions operands;
    const char* want;
  } cases[] = {
      {"and", {}, "And([])"},
      {"and", {0, 1}, "And([0, 1])"},
      {"or", {4}, "Or([4])"},
      {"+", {}, "Plus([])"},
      {"+", {3, 1, 2, 9}, "Plus([3, 1, 2, 9])"},
      {"*", {1, 2, 3}, "Times([1, 2, 3])"},
      {"not", {0}, "Not(0)"},
      {"not", {5, 6}, "Not(5)"},
      {"==", {0, 1}, "Equals(0, 1)"},
      {"<=", {0, 1, 2}, "LE(0, 1)"},
      {"<", {7, 2}, "LT(7, 2)"},
      {"-", {1, 0, 0, 0}, "Minus(1, 0)"},
      {"/", {2, 3}, "Div(2, 3)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    const N node = make_operator(c.kind, c.operands);
    EXPECT_EQ(node.repr(), c.want);
  }
}

TEST(MakeOperator, TooFewOperandsIsAnInternalFailure) {
  const struct {
    const char* kind;
    Positions operands;
  } cases[] = {{"not", {}}, {"==", {0}}, {"<=", {}}, {"<", {1}}, {"-", {3}}, {"/", {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    internal_failure_of([&] { return make_operator(c.kind, c.operands); });
  }
}

TEST(MakeOperator, UnknownTextIsAValueError) {
  const Positions two = {0, 1};
  for (const std::string_view kind : {">", ">=", "!=", "AND", "Not", "", "and ", "=", "**"}) {
    SCOPED_TRACE(kind);
    expect_value_error([&] { return make_operator(kind, two); }, "Unknown operator: " + std::string(kind));
    // Unknown wins over a missing operand.
    expect_value_error([&] { return make_operator(kind, {}); }, "Unknown operator: " + std::string(kind));
  }
}

// ---------------------------------------------------------------- numbers from nodes

TEST(RationalFromNode, ReadsIntAndRationalNodes) {
  const BigInt huge = pow2(80) + 1;
  const struct {
    N node;
    Rational want;
  } cases[] = {
      {N::integer(-7), Rational(-7)},
      {N::integer(0), Rational(0)},
      {N::integer(huge), Rational(huge)},
      {N::rational(Rational(-1, 2)), Rational(-1, 2)},
      {N::rational(Rational(huge, 3)), Rational(huge, 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.node.repr());
    const Rational got = get_rational_from_expression_node(c.node);
    EXPECT_TRUE(got == c.want);
    EXPECT_EQ(got.to_mpq(), c.want.to_mpq());
  }
}

TEST(RationalFromNode, OtherKindsAreAValueError) {
  const N others[] = {N::boolean(true),        N::fluent(0),        N::object("n"),
                      list(NodeKind::Plus, {0}), N::not_operator(0), N::binary_operator(NodeKind::Div, 0, 1)};
  for (const N& node : others) {
    SCOPED_TRACE(node.repr());
    expect_value_error([&] { return get_rational_from_expression_node(node); }, "Expected a number!");
  }
}

// ---------------------------------------------------------------- equality and hashing

// One node of every kind, with neighbours that differ in a single respect. Each call builds
// fresh boxes, so two calls give equal nodes that share nothing.
std::vector<N> distinct_nodes() {
  const BigInt huge = pow2(70);
  return {
      N::boolean(false),
      N::boolean(true),
      N::integer(2),
      N::integer(-2),
      N::integer(huge),
      N::integer(huge + 1),
      N::integer(-huge),
      N::rational(Rational(2)),
      N::rational(Rational(1, 2)),
      N::rational(Rational(-1, 2)),
      N::rational(Rational(1, 3)),
      N::rational(Rational(huge, 3)),
      N::rational(Rational(BigInt(3), huge)),
      N::fluent(2),
      N::fluent(3),
      N::object("a"),
      N::object("b"),
      N::object("A"),
      N::object("ab"),
      list(NodeKind::And, {0, 1}),
      list(NodeKind::And, {1, 0}),
      list(NodeKind::And, {0, 1, 2}),
      list(NodeKind::And, {0}),
      list(NodeKind::And, {}),
      list(NodeKind::Or, {0, 1}),
      list(NodeKind::Or, {}),
      list(NodeKind::Plus, {0, 1}),
      list(NodeKind::Plus, {}),
      list(NodeKind::Times, {0, 1}),
      N::not_operator(2),
      N::not_operator(3),
      N::binary_operator(NodeKind::Equals, 0, 1),
      N::binary_operator(NodeKind::LE, 0, 1),
      N::binary_operator(NodeKind::LE, 1, 0),
      N::binary_operator(NodeKind::LE, 0, 2),
      N::binary_operator(NodeKind::LT, 0, 1),
      N::binary_operator(NodeKind::Minus, 0, 1),
      N::binary_operator(NodeKind::Div, 0, 1),
  };
}

TEST(NodeEquality, EqualExactlyWhenKindAndPayloadMatch) {
  const std::vector<N> a = distinct_nodes();
  const std::vector<N> b = distinct_nodes();
  std::set<std::uint64_t> hashes;
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(a[i] == b[i]) << a[i].repr();
    EXPECT_EQ(hash_of(a[i]), hash_of(b[i])) << a[i].repr();
    hashes.insert(hash_of(a[i]));
    for (std::size_t j = 0; j < b.size(); ++j) {
      if (i != j) {
        EXPECT_FALSE(a[i] == b[j]) << a[i].repr() << " vs " << b[j].repr();
      }
    }
  }
  EXPECT_EQ(hashes.size(), a.size()) << "distinct nodes share a hash";
}

TEST(NodeEquality, NumbersOfDifferentKindsOrHistoryCompareByValue) {
  EXPECT_FALSE(N::integer(2) == N::rational(Rational(2)));
  // A value that went through a boxed intermediate equals one built inline.
  const BigInt huge = pow2(90);
  EXPECT_TRUE(N::integer((huge + 5) - huge) == N::integer(5));
  const N detour = N::rational((Rational(1, 3) + Rational(huge)) - Rational(huge));
  EXPECT_TRUE(detour == N::rational(Rational(1, 3)));
  EXPECT_EQ(hash_of(detour), hash_of(N::rational(Rational(1, 3))));
}

TEST(NodeEquality, ObjectsWithEqualNamesAreOneName) {
  std::string first = "depot";
  std::string second = std::string("de") + "pot";
  const N a = N::object(first);
  first = "changed";  // the node keeps its own copy of the text
  const N b = N::object(second);
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.interned_name(), b.interned_name());
  EXPECT_EQ(a.object_name(), "depot");
  EXPECT_EQ(hash_of(a), hash_of(b));
  EXPECT_FALSE(a == N::object("Depot"));
}

TEST(NodeListEquality, ComparesLengthThenEachNode) {
  const std::vector<N> a = distinct_nodes();
  const std::vector<N> b = distinct_nodes();
  const auto eq = [](std::span<const N> x, std::span<const N> y) { return x == y; };
  EXPECT_TRUE(eq(a, b));
  EXPECT_TRUE(eq({}, {}));
  EXPECT_FALSE(eq({}, std::vector<N>{N()}));
  EXPECT_FALSE(eq(std::span<const N>(a).first(a.size() - 1), b));
  EXPECT_FALSE(eq(a, std::span<const N>(b).last(b.size() - 1)));
  for (std::size_t i : {std::size_t{0}, a.size() / 2, a.size() - 1}) {
    std::vector<N> changed = b;
    changed[i] = changed[(i + 1) % changed.size()];
    EXPECT_FALSE(eq(a, changed)) << "changed at " << i;
  }
  EXPECT_EQ(NodeListHash{}(a), NodeListHash{}(b));
}

TEST(NodeListHash, LengthSeparatesListsHashedInOneStream) {
  const std::vector<N> nodes = {N::fluent(1), N::integer(2), N::binary_operator(NodeKind::LE, 0, 1)};
  const std::span<const N> all(nodes);
  // The same nodes split into two lists at different points.
  std::set<std::uint64_t> hashes;
  for (std::size_t split = 0; split <= nodes.size(); ++split) {
    FxHasher h;
    hash_node_list(h, all.first(split));
    hash_node_list(h, all.subspan(split));
    hashes.insert(h.finish());
  }
  EXPECT_EQ(hashes.size(), nodes.size() + 1);
  // And lists of different lengths do not collide through their common prefix.
  EXPECT_NE(NodeListHash{}(all.first(0)), NodeListHash{}(std::vector<N>{N()}));
  EXPECT_NE(NodeListHash{}(all.first(2)), NodeListHash{}(all));
}

// ---------------------------------------------------------------- value semantics

// Nodes that keep their payload in a heap box.
const std::vector<std::function<N()>>& boxed_node_makers() {
  static const std::vector<std::function<N()>> makers = {
      [] { return N::integer(pow2(100) + 3); },
      [] { return N::rational(Rational(pow2(100) + 3, BigInt(7))); },
      [] { return list(NodeKind::And, {0, 1, 2}); },
      [] { return list(NodeKind::Plus, {}); },
  };
  return makers;
}

TEST(NodeCopies, ShareTheBoxAndFreeItWithTheLastOwner) {
  for (const auto& make : boxed_node_makers()) {
    const N expected = make();
    SCOPED_TRACE(expected.repr());
    const auto base = heap_counts();
    {
      N original = make();
      const auto made = heap_counts();
      ASSERT_GT(made.live, base.live);

      N copy(original);
      N assigned = N::fluent(1);
      assigned = original;
      EXPECT_EQ(heap_counts().allocations, made.allocations) << "a copy made a new box";

      original = N::boolean(true);  // one owner less; the box stays
      EXPECT_EQ(heap_counts().live, made.live);
      EXPECT_TRUE(copy == expected);
      EXPECT_TRUE(assigned == expected);

      N& alias = copy;
      copy = alias;
      copy = std::move(alias);
      EXPECT_TRUE(copy == expected);

      N moved(std::move(copy));
      copy = moved;  // a moved-from node takes a new value
      assigned = std::move(moved);
      moved = N::integer(1);
      EXPECT_EQ(heap_counts().live, made.live);
      EXPECT_TRUE(copy == expected);
      EXPECT_TRUE(assigned == expected);

      // Overwriting the last owners frees the box.
      copy = N::fluent(2);
      assigned = N::fluent(3);
      EXPECT_EQ(heap_counts().live, base.live);
    }
    EXPECT_EQ(heap_counts().live, base.live);
  }
}

TEST(NodeCopies, ListsSurviveGrowthAndReleaseEverything) {
  const auto& makers = boxed_node_makers();
  std::vector<N> expected;
  for (int i = 0; i < 64; ++i) {
    expected.push_back(i % 2 ? makers[static_cast<std::size_t>(i / 2) % makers.size()]() : N::fluent(i));
  }
  const N front = N::object("front");  // interned for good before counting
  const auto base = heap_counts();
  {
    std::vector<N> grown;  // no reserve: every growth moves the nodes
    for (const N& node : expected) grown.push_back(node);
    std::vector<N> copy = grown;
    grown.insert(grown.begin(), front);
    grown.erase(grown.begin());
    EXPECT_TRUE(std::span<const N>(grown) == std::span<const N>(expected));
    EXPECT_TRUE(std::span<const N>(copy) == std::span<const N>(expected));
  }
  EXPECT_EQ(heap_counts().live, base.live);
}

TEST(NodeCopies, InlineNodesNeverAllocate) {
  const std::vector<N> src = {
      N::boolean(true),
      N::integer(-12),
      N::integer(std::numeric_limits<std::int64_t>::min()),
      N::rational(Rational(-1, 2)),
      N::fluent(3),
      N::object("inline-node"),
      N::not_operator(0),
      N::binary_operator(NodeKind::LE, 0, 1),
  };
  std::vector<N> dst(src.size());
  const auto before = heap_counts().allocations;
  dst = src;
  N one(src[1]);
  one = src[3];
  N other(std::move(one));
  const bool equal = std::span<const N>(dst) == std::span<const N>(src) && other == src[3];
  const bool same_hash = NodeListHash{}(dst) == NodeListHash{}(src);
  EXPECT_EQ(heap_counts().allocations, before);
  EXPECT_TRUE(equal);
  EXPECT_TRUE(same_hash);
}

}  // namespace
}  // namespace quendral::testing
