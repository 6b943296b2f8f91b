// A state's values against a plain vector of nodes under seeded random operations on many
// versions at once, with Booleans, objects and numbers mixed so that the number side appears
// and vanishes again; and the value codes behind them.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/expressions/expressions.hpp"
#include "base/space/state_values.hpp"

namespace quendral::testing {
namespace {

using N = ExpressionNode;

bool same(const StateValues& v, const std::vector<N>& model) {
  if (v.size() != model.size()) return false;
  std::size_t i = 0;
  for (auto at = v.begin(); at != v.end(); ++at, ++i) {
    if (!(*at == model[i]) || !(v[i] == model[i])) return false;
    if (at.code() != value_code(model[i]) || v.code(i) != value_code(model[i])) return false;
  }
  return i == model.size();
}

TEST(StateValuesModel, VersionsMatchTheirModelsUnderRandomOperations) {
  struct Case {
    std::uint64_t seed;
    std::size_t initial;  // sizes around the trie's level boundaries
    int numbers_per_100;  // how often a value is a number
    int steps;
  };
  const Case cases[] = {{1, 0, 30, 400}, {2, 31, 10, 400}, {3, 63, 50, 300},  {4, 65, 10, 300},
                        {5, 2047, 5, 200}, {6, 2049, 5, 200}, {7, 5, 2, 600}};
  for (const Case& c : cases) {
    std::mt19937_64 rng(c.seed);
    auto value = [&] {
      if (static_cast<int>(rng() % 100) < c.numbers_per_100) {
        return rng() % 2 ? N::integer(static_cast<std::int64_t>(rng() % 3)) : N::rational(Rational(static_cast<std::int64_t>(rng() % 3)));
      }
      const std::uint64_t pick = rng() % 5;
      if (pick < 2) return N::boolean(pick == 1);
      return N::object("v-" + std::to_string(pick));
    };
    std::vector<StateValues> versions(1);
    std::vector<std::vector<N>> models(1);
    for (std::size_t i = 0; i < c.initial; ++i) {
      const N v = value();
      versions[0].push_back(v);
      models[0].push_back(v);
    }
    for (int step = 0; step < c.steps; ++step) {
      const std::size_t k = rng() % versions.size();
      const int op = static_cast<int>(rng() % 10);
      if (op < 6 && !models[k].empty()) {
        const std::size_t i = rng() % models[k].size();
        const N v = value();
        versions[k].set(i, v);
        models[k][i] = v;
      } else if (op < 8) {
        const N v = value();
        versions[k].push_back(v);
        models[k].push_back(v);
      } else if (versions.size() < 8) {
        versions.push_back(versions[k]);
        models.push_back(models[k]);
      }
      for (std::size_t a = 0; a < versions.size(); ++a) {
        ASSERT_TRUE(same(versions[a], models[a])) << "seed " << c.seed << " step " << step << " version " << a;
        bool coded = true;
        for (const N& m : models[a]) coded = coded && value_code(m) != kNoValueCode;
        ASSERT_EQ(versions[a].all_coded(), coded);
      }
      const std::size_t a = rng() % versions.size(), b = rng() % versions.size();
      ASSERT_EQ(versions[a] == versions[b], models[a] == models[b]) << "seed " << c.seed << " step " << step;
      if (models[a] == models[b]) {
        EXPECT_EQ(versions[a].hash(), versions[b].hash());
      }
    }
    // Rebuilt from scratch, with no node in common, a version is still equal and hashes alike.
    for (std::size_t a = 0; a < versions.size(); ++a) {
      const StateValues rebuilt(std::span<const N>(models[a]));
      EXPECT_TRUE(rebuilt == versions[a]);
      EXPECT_EQ(rebuilt.hash(), versions[a].hash());
    }
  }
}

TEST(StateValuesModel, NumbersDifferingOnlyInKindOrValueAreUnequal) {
  const StateValues a(std::vector<N>{N::boolean(true), N::integer(3)});
  const StateValues b(std::vector<N>{N::boolean(true), N::rational(Rational(3))});  // Int 3 is not 3/1
  StateValues c = a;
  c.set(1, N::integer(4));
  EXPECT_FALSE(a == b);
  EXPECT_FALSE(a == c);
  EXPECT_NE(a.hash(), c.hash());
  c.set(1, N::integer(3));
  EXPECT_TRUE(a == c);
  EXPECT_EQ(a.hash(), c.hash());
}

TEST(ValueCodes, EqualValuesShareACodeAndEveryCodeGivesItsNodeBack) {
  EXPECT_EQ(value_code(N::boolean(false)), 0u);
  EXPECT_EQ(value_code(N::boolean(true)), 1u);
  EXPECT_EQ(value_code(N::integer(1)), kNoValueCode);
  EXPECT_EQ(value_code(N::fluent(0)), kNoValueCode);
  // Enough names to open several segments of the node table.
  std::vector<std::uint32_t> codes;
  for (int i = 0; i < 5000; ++i) {
    const std::string name = "code-test-" + std::to_string(i);
    const N node = N::object(name);
    const std::uint32_t code = value_code(node);
    ASSERT_GE(code, 2u);
    ASSERT_EQ(value_code(N::object(name)), code) << "the same name, the same code";
    const N& back = node_of_value_code(code);
    ASSERT_EQ(back.kind(), NodeKind::Object);
    ASSERT_EQ(back.object_name(), name);
    codes.push_back(code);
  }
  for (std::size_t i = 1; i < codes.size(); ++i) ASSERT_NE(codes[i], codes[i - 1]);
  EXPECT_TRUE(node_of_value_code(1).is_bool(true));
  EXPECT_TRUE(node_of_value_code(0).is_bool(false));
}

}  // namespace
}  // namespace quendral::testing
