// The incremental temporal network: the cases that pin its steps down, a literal step-by-step
// model of `add` run side by side with it on seeded random constraints (copies included), and,
// with tolerance 0, the ground truth of Floyd-Warshall: consistency is the absence of a negative
// cycle and the potentials are the greatest solution not above 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "base/temporal/stn.hpp"

namespace quendral::testing {
namespace {

// A node's constraint list, newest first, as (destination, bound) cells.
template <class T>
std::vector<std::pair<std::uint64_t, T>> cells(const DeltaSTN<T>& stn, std::uint64_t node) {
  std::vector<std::pair<std::uint64_t, T>> out;
  for (const auto& edge : DeltaNeighbors<T>::iter_rev(*stn.constraints(node))) out.emplace_back(edge.dst, edge.bound);
  return out;
}

template <class T>
std::size_t list_length(const DeltaSTN<T>& stn, std::uint64_t node) {
  return cells(stn, node).size();
}

template <class T>
T d(const DeltaSTN<T>& stn, std::uint64_t node) {
  const T* value = stn.distance(node);
  EXPECT_NE(value, nullptr) << "node " << node;
  return value ? *value : T(0);
}

TEST(DeltaSTNCases, FirstConstraintThenContradictionThenNothing) {
  DeltaSTN<double> stn(0.0);
  stn.add(1, 2, -10);
  EXPECT_TRUE(stn.consistent());
  EXPECT_EQ(d(stn, 1), 0.0);
  EXPECT_EQ(d(stn, 2), -10.0);  // node 2 at time 10

  stn.add(2, 1, 5);  // at most 5 after node 1, but at least 10 after it
  EXPECT_FALSE(stn.consistent());
  stn.add(3, 4, 0);
  EXPECT_FALSE(stn.consistent());
  EXPECT_FALSE(stn.contains(3));
  EXPECT_FALSE(stn.contains(4));
  EXPECT_EQ(stn.node_count(), 2u);
}

TEST(DeltaSTNCases, ContradictionsWithinTheToleranceAreAccepted) {
  struct Case {
    double delta;
    bool consistent;
  };
  for (const Case& c : {Case{0.000005, true}, Case{0.00002, false}}) {
    DeltaSTN<double> stn(0.00001);
    stn.add(1, 2, -10);
    stn.add(2, 1, 10 - c.delta);
    EXPECT_EQ(stn.consistent(), c.consistent) << c.delta;
    if (c.consistent) {
      EXPECT_EQ(d(stn, 1), 0.0);
      EXPECT_EQ(d(stn, 2), -10.0);
    }
  }
}

TEST(DeltaSTNCases, DuplicateTestKeepsOnlyTighterConstraints) {
  struct Case {
    double bound;
    std::size_t cells;  // in node 1's list afterwards
  };
  // Recorded first: add(1, 2, 5) with epsilon 0.5.
  const Case cases[] = {{5, 1}, {5.5, 1}, {9, 1}, {4.5, 1}, {4.4, 2}, {-3, 2}};
  for (const Case& c : cases) {
    DeltaSTN<double> stn(0.5);
    stn.add(1, 2, 5);
    stn.add(1, 2, c.bound);
    EXPECT_EQ(list_length(stn, 1), c.cells) << c.bound;
    EXPECT_EQ(list_length(stn, 2), 0u);
    if (c.cells == 2) {  // the new cell stands in front of the old one
      const auto* head = stn.constraints(1)->get();
      EXPECT_EQ(head->elem.bound, c.bound);
      EXPECT_EQ(head->tail->elem.bound, 5.0);
    }
  }
  // Only the newest cell for a pair is looked at: after 5 then 1, a bound of 3 is looser than 1.
  DeltaSTN<double> stn(0.0);
  stn.add(1, 2, 5);
  stn.add(1, 2, 1);
  stn.add(1, 2, 3);
  EXPECT_EQ(list_length(stn, 1), 2u);
}

TEST(DeltaSTNCases, SelfLoopIsInconsistentBelowMinusEpsilon) {
  struct Case {
    double bound;
    bool consistent;
  };
  for (const Case& c : {Case{-0.2, false}, Case{-0.1, true}, Case{0.0, true}, Case{3.0, true}}) {
    DeltaSTN<double> stn(0.1);
    stn.add(7, 7, c.bound);
    EXPECT_EQ(stn.consistent(), c.consistent) << c.bound;
  }
}

TEST(DeltaSTNCases, CopiesShareCellsButNotChanges) {
  DeltaSTN<Rational> original{Rational(0)};
  original.add(1, 2, Rational(-10));
  original.add(1, 3, Rational(-4));
  DeltaSTN<Rational> copy = original;
  EXPECT_EQ(copy.constraints(1)->get(), original.constraints(1)->get()) << "lists are shared, not copied";

  copy.add(3, 2, Rational(-20));
  copy.add(1, 5, mk_rational(-1, 2));
  EXPECT_EQ(d(copy, 2), Rational(-24));
  EXPECT_EQ(d(original, 2), Rational(-10));
  EXPECT_FALSE(original.contains(5));
  EXPECT_EQ(list_length(original, 1), 2u);
  EXPECT_EQ(list_length(original, 3), 0u);

  original.add(2, 1, Rational(5));
  EXPECT_FALSE(original.consistent());
  EXPECT_TRUE(copy.consistent());
  EXPECT_EQ(list_length(copy, 2), 0u);
}

TEST(DeltaSTNCases, NodesAreReportedInFirstInsertionOrder) {
  DeltaSTN<double> stn(0.0);
  stn.add(9, 4, -1);
  stn.add(4, 7, -1);
  stn.add(1, 9, 0);
  std::vector<std::uint64_t> order;
  stn.for_each_distance([&](std::uint64_t id, double) { order.push_back(id); });
  EXPECT_EQ(order, (std::vector<std::uint64_t>{9, 4, 7, 1}));
}

// Copies share the node tables and the id index: many networks branching from one another, each
// adding thousands of nodes of the shapes the engine uses (network id above, instance below)
// and arbitrary ones, must each find exactly their own nodes, in their own order, with their
// own potentials, whatever the others did after the copy.
TEST(DeltaSTNCases, BranchingCopiesKeepTheirOwnNodes) {
  std::mt19937_64 rng(99);
  struct Branch {
    DeltaSTN<double> stn{0.0};
    std::vector<std::pair<std::uint64_t, double>> nodes;  // first-insertion order, potential
  };
  std::vector<Branch> branches(1);
  for (int round = 0; round < 40; ++round) {
    Branch copy = branches[rng() % branches.size()];
    Branch& from = branches[rng() % branches.size()];
    for (Branch* b : {&from, &copy}) {
      const std::size_t adds = 1 + rng() % 300;
      for (std::size_t i = 0; i < adds; ++i) {
        const std::uint64_t fresh = rng() % 2 == 0 ? ((3 + rng() % 50) << 32 | (rng() % 100000)) : rng();
        if (b->stn.contains(fresh)) continue;
        if (b->nodes.empty()) {
          b->stn.add(fresh, fresh, 0.0);
          b->nodes.emplace_back(fresh, 0.0);
          continue;
        }
        // The new node 1 after an old one: its potential is the old one's less 1.
        const auto [old, potential] = b->nodes[rng() % b->nodes.size()];
        b->stn.add(old, fresh, -1.0);
        b->nodes.emplace_back(fresh, potential - 1.0);
      }
    }
    branches.push_back(std::move(copy));
  }
  int absent = 0;
  for (const Branch& b : branches) {
    ASSERT_TRUE(b.stn.consistent());
    EXPECT_EQ(b.stn.node_count(), b.nodes.size());
    std::vector<std::pair<std::uint64_t, double>> seen;
    b.stn.for_each_distance([&](std::uint64_t id, double distance) { seen.emplace_back(id, distance); });
    EXPECT_EQ(seen, b.nodes);
    for (const auto& [id, potential] : b.nodes) {
      ASSERT_NE(b.stn.distance(id), nullptr);
      EXPECT_EQ(*b.stn.distance(id), potential);
    }
    // What another branch holds and this one never added, this one does not find.
    std::set<std::uint64_t> own;
    for (const auto& node : b.nodes) own.insert(node.first);
    for (const Branch& other : branches) {
      for (const auto& [id, potential] : other.nodes) {
        if (own.contains(id)) continue;
        EXPECT_FALSE(b.stn.contains(id));
        EXPECT_EQ(b.stn.distance(id), nullptr);
        ++absent;
      }
    }
  }
  EXPECT_GT(absent, 1000);
}

// ---------------------------------------------------------------- the step-by-step model

// `add` exactly as the steps read, over ordered maps and a deque, with a budget of relaxations:
// `runaway` marks a propagation that went on past it.
template <class T>
struct ModelSTN {
  std::map<std::uint64_t, T> distances;
  std::map<std::uint64_t, std::vector<std::pair<std::uint64_t, T>>> lists;  // oldest first
  T epsilon;
  bool consistent = true;
  bool runaway = false;
  std::size_t relaxations = 0;  // over every `add`

  explicit ModelSTN(T eps) : epsilon(eps) {}

  void add(std::uint64_t x, std::uint64_t y, const T& b) {
    if (!consistent) return;
    if (!distances.count(x)) distances[x] = T(0), lists[x];
    if (!distances.count(y)) distances[y] = T(0), lists[y];
    auto& lx = lists[x];
    auto first = std::find_if(lx.rbegin(), lx.rend(), [&](const auto& e) { return e.first == y; });
    if (first == lx.rend() || !(first->second <= epsilon + b)) lx.emplace_back(y, b);
    if (distances[y] - epsilon <= distances[x] + b) {
      consistent = true;
      return;
    }
    distances[y] = distances[x] + b;
    std::deque<std::uint64_t> queue{y};
    int budget = 200'000;
    while (!queue.empty()) {
      const std::uint64_t u = queue.front();
      queue.pop_front();
      const auto& lu = lists[u];
      for (auto e = lu.rbegin(); e != lu.rend(); ++e) {
        const auto [v, w] = *e;
        if (distances[v] - epsilon <= distances[u] + w) continue;
        if (v == y && -epsilon <= w - b && w - b <= epsilon) {
          consistent = false;
          return;
        }
        distances[v] = distances[u] + w;
        queue.push_back(v);
        ++relaxations;
        if (--budget == 0) {
          runaway = true;
          return;
        }
      }
    }
    consistent = true;
  }
};

template <class T>
::testing::AssertionResult same_network(const DeltaSTN<T>& stn, const ModelSTN<T>& model) {
  if (stn.consistent() != model.consistent) return ::testing::AssertionFailure() << "consistency differs";
  if (stn.node_count() != model.distances.size()) return ::testing::AssertionFailure() << "node count differs";
  for (const auto& [node, value] : model.distances) {
    const T* mine = stn.distance(node);
    if (!mine || !(*mine == value)) return ::testing::AssertionFailure() << "potential of node " << node << " differs";
    const auto& oldest_first = model.lists.at(node);
    if (cells(stn, node) != std::vector<std::pair<std::uint64_t, T>>(oldest_first.rbegin(), oldest_first.rend())) {
      return ::testing::AssertionFailure() << "constraint list of node " << node << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

// Shortest paths over every constraint given so far; nullopt when a negative cycle exists.
std::optional<std::map<std::uint64_t, long>> greatest_solution(
    const std::vector<std::uint64_t>& nodes, const std::vector<std::tuple<std::uint64_t, std::uint64_t, long>>& edges) {
  const std::size_t n = nodes.size();
  const long inf = std::numeric_limits<long>::max() / 4;
  std::vector<std::vector<long>> dist(n, std::vector<long>(n, inf));
  auto at = [&](std::uint64_t id) { return std::find(nodes.begin(), nodes.end(), id) - nodes.begin(); };
  for (std::size_t i = 0; i < n; ++i) dist[i][i] = 0;
  for (const auto& [x, y, b] : edges) dist[at(x)][at(y)] = std::min(dist[at(x)][at(y)], b);
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j)
        if (dist[i][k] < inf && dist[k][j] < inf) dist[i][j] = std::min(dist[i][j], dist[i][k] + dist[k][j]);
  std::map<std::uint64_t, long> potentials;
  for (std::size_t j = 0; j < n; ++j) {
    if (dist[j][j] < 0) return std::nullopt;
    long best = 0;
    for (std::size_t i = 0; i < n; ++i) best = std::min(best, dist[i][j]);
    potentials[nodes[j]] = best;
  }
  return potentials;
}

// Tolerance 0, integer bounds: both instantiations agree with the model step by step and with
// Floyd-Warshall on the outcome.
TEST(DeltaSTNModel, ExactNetworksMatchShortestPaths) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    std::mt19937_64 rng(seed);
    DeltaSTN<double> real(0.0);
    DeltaSTN<Rational> exact{Rational(0)};
    ModelSTN<double> model(0.0);
    std::vector<std::uint64_t> nodes;
    std::vector<std::tuple<std::uint64_t, std::uint64_t, long>> edges;
    const int node_space = 2 + static_cast<int>(seed % 7);
    for (int step = 0; step < 25 && real.consistent(); ++step) {
      const std::uint64_t x = (rng() % node_space) << 32 | 1, y = (rng() % node_space) << 32 | 1;
      const long b = static_cast<long>(rng() % 21) - 12;
      real.add(x, y, static_cast<double>(b));
      exact.add(x, y, Rational(b));
      model.add(x, y, static_cast<double>(b));
      for (std::uint64_t id : {x, y})
        if (std::find(nodes.begin(), nodes.end(), id) == nodes.end()) nodes.push_back(id);
      edges.emplace_back(x, y, b);

      ASSERT_TRUE(same_network(real, model)) << "seed " << seed << " step " << step;
      ASSERT_EQ(exact.consistent(), real.consistent());
      const auto truth = greatest_solution(nodes, edges);
      ASSERT_EQ(real.consistent(), truth.has_value()) << "seed " << seed << " step " << step;
      if (!truth) break;
      for (const auto& [node, value] : *truth) {
        ASSERT_EQ(d(real, node), static_cast<double>(value)) << "seed " << seed << " node " << node;
        ASSERT_EQ(d(exact, node), Rational(value));
      }
    }
  }
}

// A positive tolerance with bounds that violate by less than it: the order of relaxation and the
// tolerance tests decide the potentials, which must match the model bit for bit, also across
// copies that go their own ways.
TEST(DeltaSTNModel, TolerantNetworksAndTheirCopiesMatchTheModel) {
  int runaways = 0;
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    std::mt19937_64 rng(seed);
    const double epsilon = 0.3;
    std::vector<DeltaSTN<double>> networks(1, DeltaSTN<double>(epsilon));
    std::vector<ModelSTN<double>> models(1, ModelSTN<double>(epsilon));
    const int node_space = 4 + static_cast<int>(seed % 8);
    for (int step = 0; step < 60; ++step) {
      const std::size_t k = rng() % networks.size();
      if (rng() % 6 == 0 && networks.size() < 5) {
        networks.push_back(networks[k]);
        models.push_back(models[k]);
        continue;
      }
      const std::uint64_t x = rng() % node_space, y = rng() % node_space;
      const double b = static_cast<double>(static_cast<int>(rng() % 41) - 10) * 0.25;
      networks[k].add(x, y, b);
      models[k].add(x, y, b);
      if (models[k].runaway) {
        // The model went round a cycle below −epsilon past its budget; the network stops at the
        // first repeated node and reports the contradiction.
        EXPECT_FALSE(networks[k].consistent()) << "seed " << seed;
        ++runaways;
        break;
      }
      for (std::size_t a = 0; a < networks.size(); ++a) {
        ASSERT_TRUE(same_network(networks[a], models[a])) << "seed " << seed << " step " << step << " copy " << a;
      }
    }
  }
  EXPECT_LT(runaways, 30) << "the random constraints should mostly exercise ordinary propagation";
}

// Three constraints, each within the tolerance of the others, close a cycle of weight −1.8 (the
// tolerance is 1). A later, harmless constraint that pulls node D earlier sends the propagation
// around that cycle, which never closes through the new constraint: without the walk-length
// test it goes round until the potentials are far too large for any budget.
TEST(DeltaSTNCases, ACycleBelowMinusEpsilonThatMissesTheNewConstraintIsInconsistent) {
  enum : std::uint64_t { D = 1, E, F, G };
  DeltaSTN<double> stn(1.0);
  ModelSTN<double> model(1.0);
  stn.add(D, E, 0);
  stn.add(E, F, -0.9);
  stn.add(F, D, -0.9);
  model.add(D, E, 0);
  model.add(E, F, -0.9);
  model.add(F, D, -0.9);
  ASSERT_TRUE(same_network(stn, model));
  EXPECT_EQ(d(stn, D), 0.0);

  model.add(G, D, -5);
  EXPECT_TRUE(model.runaway);
  stn.add(G, D, -5);
  EXPECT_FALSE(stn.consistent());
}

// The cycle 6 → 0 → 2 → 9 → 5 → 6 weighs 0.25 − 1.5 + 0.4 + 0.1 − 0.7 = −1.45, below −1, yet
// each of its constraints arrives within the tolerance. add(8, 6, −13) sends the propagation
// round it; the literal steps go round thousands of times until, with potentials near −8192,
// rounding tips a comparison and they end, taking the network for consistent. The network stops
// at the first repeated node and reports the contradiction.
TEST(DeltaSTNCases, ACycleThatRoundingWouldEndIsStillInconsistent) {
  DeltaSTN<double> stn(1.0);
  ModelSTN<double> model(1.0);
  const std::tuple<std::uint64_t, std::uint64_t, double> cycle[] = {
      {0, 2, -1.5}, {2, 9, 0.4}, {9, 5, 0.1}, {2, 6, 0.25}, {6, 0, 0.25}, {5, 6, -0.7}};
  for (const auto& [x, y, b] : cycle) {
    stn.add(x, y, b);
    model.add(x, y, b);
  }
  ASSERT_TRUE(same_network(stn, model));
  ASSERT_TRUE(stn.consistent());

  model.add(8, 6, -13);
  ASSERT_FALSE(model.runaway);
  EXPECT_TRUE(model.consistent) << "the literal steps end by rounding";
  EXPECT_GT(model.relaxations, 10'000u);
  EXPECT_LT(model.distances.at(2), -8000.0);

  stn.add(8, 6, -13);
  EXPECT_FALSE(stn.consistent());
}

// Each comparison of `add` is made on its two sides as written, in doubles: d[y] − ε ≤ d[x] + b
// for the new constraint (step 4) and for a recorded one during propagation (step 6), recorded
// bound ≤ ε + b in the duplicate test (step 3). The values are chosen so that a regrouped form
// (d[y] ≤ d[x] + b + ε; bound − ε ≤ b or bound − b ≤ ε) rounds the other way, and each case
// checks that it does, so the table keeps testing what it claims.
TEST(DeltaSTNCases, ComparisonsAreComputedAsWritten) {
  enum : std::uint64_t { O = 1, X, Y };
  struct Violation {
    double epsilon, dx, dy, b;
  };
  for (const Violation& c : {Violation{0.1, -2.1, -0.2, 1.8}, Violation{0.2, -1.8, -0.7, 0.9}}) {
    const bool holds = c.dy - c.epsilon <= c.dx + c.b;
    ASSERT_NE(holds, c.dy <= c.dx + c.b + c.epsilon) << "the case must tell the forms apart";
    const double expected = holds ? c.dy : c.dx + c.b;

    DeltaSTN<double> direct(c.epsilon);  // x and y placed first, then the constraint
    direct.add(O, X, c.dx);
    direct.add(O, Y, c.dy);
    ASSERT_EQ(d(direct, X), c.dx);
    ASSERT_EQ(d(direct, Y), c.dy);
    direct.add(X, Y, c.b);
    EXPECT_TRUE(direct.consistent());
    EXPECT_EQ(d(direct, Y), expected) << c.epsilon << " step 4";

    DeltaSTN<double> spread(c.epsilon);  // the constraint first, then x pulled down
    spread.add(O, Y, c.dy);
    spread.add(X, Y, c.b);
    ASSERT_EQ(d(spread, Y), c.dy);
    spread.add(O, X, c.dx);
    ASSERT_EQ(d(spread, X), c.dx);
    EXPECT_TRUE(spread.consistent());
    EXPECT_EQ(d(spread, Y), expected) << c.epsilon << " step 6";
  }

  struct Duplicate {
    double epsilon, recorded, b;
  };
  const Duplicate duplicates[] = {{0.1, -0.3, -0.4}, {0.1, 0.4, 0.3}, {0.1, -3.9, -4.0}, {0.7, -0.3, -1.0}};
  for (const Duplicate& c : duplicates) {
    const bool redundant = c.recorded <= c.epsilon + c.b;
    ASSERT_TRUE(redundant != (c.recorded - c.epsilon <= c.b) || redundant != (c.recorded - c.b <= c.epsilon))
        << "the case must tell the forms apart";
    DeltaSTN<double> stn(c.epsilon);
    stn.add(X, Y, c.recorded);
    stn.add(X, Y, c.b);
    EXPECT_EQ(list_length(stn, X), redundant ? 1u : 2u) << c.epsilon << " " << c.recorded << " " << c.b;
  }
}

}  // namespace
}  // namespace quendral::testing
