// The persistent vector against std::vector under seeded random operations on many versions at
// once, and what makes it cheap: a write copies one path and shares the rest, and equality and
// hashing skip what two vectors share.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "base/containers/persistent_vector.hpp"
#include "base/expressions/expressions.hpp"

namespace quendral::testing {
namespace {

using N = ExpressionNode;
using Vector = PersistentVector<ExpressionNode>;

std::vector<N> contents(const Vector& v) { return std::vector<N>(v.begin(), v.end()); }

bool same(const Vector& v, const std::vector<N>& model) {
  if (v.size() != model.size()) return false;
  for (std::size_t i = 0; i < model.size(); ++i) {
    if (!(v[i] == model[i])) return false;
  }
  return contents(v) == model;
}

std::uint64_t flat_hash(const std::vector<N>& values) {
  FxHasher h;
  for (const N& value : values) value.hash_into(h);
  return h.finish();
}

// Several versions live side by side; each step writes to, grows or copies one of them, and
// every version must still read as its model afterwards, so a write that leaked into a sibling
// shows up. Values come from a small range, so equal versions built apart occur and must
// compare and hash equal.
TEST(PersistentVectorModel, VersionsMatchTheirModelsUnderRandomOperations) {
  struct Case {
    std::uint64_t seed;
    std::size_t initial;  // sizes around the level boundaries 32, 1024, 32768
    int steps;
  };
  const Case cases[] = {{1, 0, 400}, {2, 31, 300}, {3, 32, 300}, {4, 1023, 300}, {5, 1025, 200}, {6, 32767, 60}};
  for (const Case& c : cases) {
    std::mt19937_64 rng(c.seed);
    auto value = [&] { return rng() % 3 == 0 ? N::fluent(rng() % 4) : N::integer(static_cast<std::int64_t>(rng() % 4)); };
    std::vector<Vector> versions(1);
    std::vector<std::vector<N>> models(1);
    for (std::size_t i = 0; i < c.initial; ++i) {
      N v = value();
      versions[0].push_back(v);
      models[0].push_back(v);
    }
    for (int step = 0; step < c.steps; ++step) {
      const std::size_t k = rng() % versions.size();
      const int op = static_cast<int>(rng() % 10);
      if (op < 4 && !models[k].empty()) {
        const std::size_t i = rng() % models[k].size();
        N v = value();
        versions[k].set(i, v);
        models[k][i] = v;
      } else if (op < 7) {
        const int count = 1 + static_cast<int>(rng() % 40);
        for (int j = 0; j < count; ++j) {
          N v = value();
          versions[k].push_back(v);
          models[k].push_back(v);
        }
      } else if (versions.size() < 8) {
        versions.push_back(versions[k]);
        models.push_back(models[k]);
      }
      for (std::size_t a = 0; a < versions.size(); ++a) {
        ASSERT_TRUE(same(versions[a], models[a])) << "seed " << c.seed << " step " << step << " version " << a;
      }
      const std::size_t a = rng() % versions.size(), b = rng() % versions.size();
      ASSERT_EQ(versions[a] == versions[b], models[a] == models[b]) << "seed " << c.seed << " step " << step;
      if (models[a] == models[b]) {
        EXPECT_EQ(versions[a].hash(), versions[b].hash());
      }
    }
    // Rebuilt from scratch, with no node in common, a version is still equal and hashes alike.
    const Vector rebuilt(models.back().begin(), models.back().end());
    EXPECT_TRUE(rebuilt == versions.back());
    EXPECT_EQ(rebuilt.hash(), versions.back().hash());
  }
}

TEST(PersistentVectorModel, SmallVectorHashIsTheFlatHashOfItsElements) {
  const std::vector<N> values = {N::integer(1), N::fluent(2), N::boolean(true)};
  const Vector v(values.begin(), values.end());
  EXPECT_EQ(v.hash(), flat_hash(values));
  EXPECT_NE(Vector().hash(), v.hash());
  // Lengths differ: never equal, even when one is a prefix of the other.
  Vector longer = v;
  longer.push_back(N::integer(0));
  EXPECT_FALSE(v == longer);
}

std::set<const void*> nodes_of(const Vector& v) {
  std::set<const void*> nodes;
  v.visit_nodes([&](const void* node, bool) { nodes.insert(node); });
  return nodes;
}

TEST(PersistentVectorSharing, AWriteCopiesOnePathAndSharesTheRest) {
  struct Case {
    std::size_t size;
    std::size_t levels;  // nodes from the root down to a leaf
  };
  for (const Case& c : {Case{10, 1}, Case{1000, 2}, Case{100'000, 4}}) {
    Vector parent;
    for (std::size_t i = 0; i < c.size; ++i) parent.push_back(N::integer(static_cast<std::int64_t>(i)));
    const std::set<const void*> parent_nodes = nodes_of(parent);

    Vector child = parent;  // a copy shares everything
    EXPECT_EQ(nodes_of(child), parent_nodes);
    child.set(c.size / 2, N::boolean(true));
    std::size_t own = 0;
    for (const void* node : nodes_of(child)) own += parent_nodes.count(node) == 0;
    EXPECT_EQ(own, c.levels) << c.size << " fluents";
    EXPECT_EQ(nodes_of(parent), parent_nodes);
    EXPECT_TRUE(parent[c.size / 2] == N::integer(static_cast<std::int64_t>(c.size / 2)));

    // A second write changes the child's own path in place; at most a neighbouring leaf is new.
    child.set(c.size / 2 + 1, N::boolean(false));
    own = 0;
    for (const void* node : nodes_of(child)) own += parent_nodes.count(node) == 0;
    EXPECT_LE(own, c.levels + 1);
  }
}

// An element type that counts how often it is compared and hashed.
struct Counted {
  int value;
  static inline int comparisons = 0;
  static inline int hashes = 0;
  friend bool operator==(const Counted& a, const Counted& b) noexcept {
    ++comparisons;
    return a.value == b.value;
  }
  void hash_into(FxHasher& h) const noexcept {
    ++hashes;
    h.write_u64(static_cast<std::uint64_t>(value));
  }
};

TEST(PersistentVectorSharing, EqualityAndHashSkipSharedSubtrees) {
  PersistentVector<Counted> parent;
  for (int i = 0; i < 100'000; ++i) parent.push_back(Counted{i});
  PersistentVector<Counted> child = parent;
  child.set(77'777, Counted{-1});

  Counted::comparisons = 0;
  EXPECT_FALSE(parent == child);
  EXPECT_LE(Counted::comparisons, 32) << "only the one unshared leaf is compared";

  PersistentVector<Counted> twin = parent;
  twin.set(77'777, Counted{-1});
  Counted::comparisons = 0;
  EXPECT_TRUE(child == twin);
  EXPECT_LE(Counted::comparisons, 32);

  Counted::hashes = 0;
  const std::uint64_t parent_hash = parent.hash();
  EXPECT_EQ(Counted::hashes, 100'000);
  Counted::hashes = 0;
  const std::uint64_t child_hash = child.hash();
  EXPECT_LE(Counted::hashes, 32) << "shared subtrees keep their hash";
  EXPECT_NE(parent_hash, child_hash);
  EXPECT_EQ(twin.hash(), child_hash);

  // Once both hashes are known, unequal vectors with unshared nodes are told apart at once.
  PersistentVector<Counted> other;
  for (int i = 0; i < 100'000; ++i) other.push_back(Counted{i == 5 ? -5 : i});
  other.hash();
  Counted::comparisons = 0;
  EXPECT_FALSE(parent == other);
  EXPECT_EQ(Counted::comparisons, 0);

  // Writing to a vector whose nodes are unshared clears the stale hashes on the path.
  child.set(77'777, Counted{77'777});
  EXPECT_EQ(child.hash(), parent_hash);
  EXPECT_TRUE(child == parent);
}

}  // namespace
}  // namespace quendral::testing
