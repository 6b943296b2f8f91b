// Successor generation against a literal model of its rules, on seeded random small tasks:
// classical and temporal, with durative conditions, open duration bounds, compression-safe
// actions, object pruning, deadlines and the occasional evaluation error. Every successor the
// engine makes (or refuses, or fails on) is compared with the model's: values, running actions,
// durative conditions, path, g, the instance counter, and the network — the model keeps every
// constraint it adds and decides consistency from scratch (Bellman-Ford), and every one of its
// constraints must hold in the engine's potentials.
//
// The model names time points by what they are (start/end/event of an instance), not by network
// ids, and computes interference from the events directly; it shares nothing with the engine but
// expression evaluation and conjunct splitting. Delays, durations and epsilon are multiples of
// 1/4, so sums are exact in doubles and consistency has no borderline cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/expressions/expressions_utils.hpp"
#include "base/space/search_space.hpp"
#include "tests/cpp/task_builders.hpp"

namespace quendral::testing {
namespace {

// ---------------------------------------------------------------- the model

struct ModelError {
  std::string message;
};
struct ModelInternal {};

struct MNode {
  int kind;  // 0 origin, 1 horizon, 2 action start, 3 action end, 4 event
  std::uint64_t action = 0;
  std::uint64_t pos = 0;
  std::uint32_t instance = 0;
  auto operator<=>(const MNode&) const = default;
};
const MNode kOrigin{0}, kHorizon{1};

struct MConstraint {
  MNode x, y;
  double bound;  // time(x) - time(y) <= bound
};

struct MRunning {
  Action action;
  std::uint64_t pos;
  std::uint32_t instance;
};

struct MState {
  std::vector<N> values;
  std::vector<MRunning> todo;                          // in the order instances were started
  std::vector<std::pair<NodeList, std::uint64_t>> conditions;  // in first-insertion order
  double g = 0;
  std::vector<PathEntry> path;  // oldest first
  bool temporal = false;
  std::vector<MConstraint> constraints;

  const N& get_fluent_value(std::uint64_t f) const {
    if (f >= values.size()) throw ModelInternal{};
    return values[f];
  }
  MRunning* running(Action a) {
    for (MRunning& r : todo) {
      if (r.action == a) return &r;
    }
    return nullptr;
  }
};

// The model's own fluent sets.
std::set<std::uint64_t> fluents_in(const NodeList& nodes) {
  std::set<std::uint64_t> out;
  for (const N& n : nodes) {
    if (n.kind() == NodeKind::Fluent) out.insert(n.fluent_index());
  }
  return out;
}

bool consistent(const std::vector<MConstraint>& constraints) {
  std::map<MNode, double> d;
  for (const auto& c : constraints) {
    d[c.x];
    d[c.y];
  }
  for (std::size_t round = 0; round <= d.size(); ++round) {
    bool changed = false;
    for (const auto& c : constraints) {
      if (d[c.x] + c.bound < d[c.y]) {
        d[c.y] = d[c.x] + c.bound;
        changed = true;
      }
    }
    if (!changed) return true;
  }
  return false;
}

class Model {
 public:
  explicit Model(const Task& task) : task_(task) {
    for (std::uint64_t a = 0; a < task.action_count; ++a) {
      if (a < task.durations.size() && task.durations[a]) temporal_ = true;
    }
    eps_ = utils::big_rational_to_f64(*task.epsilon);
  }

  std::uint64_t counter = 0;

  MState root() const {
    MState s;
    s.values = *task_.initial;
    s.temporal = temporal_;
    if (temporal_ && task_.deadline) {
      const double d = utils::big_rational_to_f64(*task_.deadline);
      s.constraints.push_back({kHorizon, kOrigin, d});
      s.constraints.push_back({kOrigin, kHorizon, -d});
    }
    return s;
  }

  std::optional<MState> successor(const MState& state, Action a, bool compress) {
    const auto* list = task_.events.find(a);
    if (!list) return std::nullopt;
    const auto& events = *list;
    const std::size_t n = events.size();
    for (const MRunning& r : state.todo) {
      if (r.action != a) continue;
      // Continuation.
      if (r.pos >= n) return std::nullopt;
      if (!sat(events[r.pos].second.conditions, state)) return std::nullopt;
      MState child = state;
      child.g += 1;
      MRunning* mine = child.running(a);
      if (r.pos + 1 < n) {
        mine->pos = r.pos + 1;
        mine->instance = r.instance + 1;
      } else {
        child.todo.erase(child.todo.begin() + (mine - child.todo.data()));
      }
      if (!expand(state, child, events[r.pos].second, r.pos, r.instance)) return std::nullopt;
      return child;
    }
    // Start.
    if (n == 0) throw ModelInternal{};
    if (!sat(events[0].second.conditions, state)) return std::nullopt;
    MState child = state;
    child.g += 1;
    if (task_.action_objects && task_.obj_to_prev) {
      if (a.idx >= task_.action_objects->size()) throw ModelInternal{};
      for (const std::string& o : (*task_.action_objects)[a.idx]) {
        const auto it = task_.obj_to_prev->find(o);
        if (it == task_.obj_to_prev->end()) continue;
        bool ok = it->second.contains(a);
        for (const PathEntry& e : state.path) ok = ok || it->second.contains(e.action);
        if (!ok) return std::nullopt;
      }
    }
    const std::uint64_t c = counter;
    std::uint32_t first = static_cast<std::uint32_t>(c);
    if (temporal_) {
      const MNode s{2, a.idx, 0, static_cast<std::uint32_t>(c)}, e{3, a.idx, 0, static_cast<std::uint32_t>(c)};
      counter = c + 1;
      double lower = 0, upper = 0;
      if (a.idx >= task_.durations.size()) throw ModelInternal{};
      if (const auto& b = task_.durations[a.idx]) {
        lower = number(internal_evaluate(b->lower, state));
        upper = number(internal_evaluate(b->upper, state));
        if (b->lower_open) lower += eps_;
        if (b->upper_open) upper -= eps_;
      }
      child.constraints.push_back({s, e, -lower});
      child.constraints.push_back({e, s, upper});
      child.constraints.push_back({kOrigin, s, 0});
      child.constraints.push_back({e, kHorizon, -eps_});
      for (const auto& [timing, event] : events) {
        const MNode node{4, event.action.idx, event.pos, static_cast<std::uint32_t>(counter)};
        const MNode anchor = timing.start ? s : e;
        const double d = utils::big_rational_to_f64(timing.delay);
        child.constraints.push_back({anchor, node, -d});
        child.constraints.push_back({node, anchor, d});
        ++counter;
      }
      if (n > 1) child.todo.push_back({a, 1, static_cast<std::uint32_t>(c + 2)});
      first = static_cast<std::uint32_t>(c + 1);
    }
    if (!expand(state, child, events[0].second, 0, first)) return std::nullopt;
    if (compress && task_.compression_safe) {
      if (a.idx >= task_.compression_safe->size()) throw ModelInternal{};
      if ((*task_.compression_safe)[a.idx] && n > 1) {
        MRunning* mine = child.running(a);
        if (!mine) throw ModelInternal{};
        const std::uint32_t k = mine->instance;
        child.todo.erase(child.todo.begin() + (mine - child.todo.data()));
        for (std::size_t i = 1; i < n; ++i) {
          const MState snapshot = child;
          child.g += 1;
          if (!expand(snapshot, child, events[i].second, i, k + static_cast<std::uint32_t>(i) - 1)) return std::nullopt;
        }
      }
    }
    return child;
  }

 private:
  static double number(const N& v) {
    if (v.kind() == NodeKind::Int) return utils::big_rational_to_f64(Rational(v.int_value()));
    if (v.kind() == NodeKind::Rational) return utils::big_rational_to_f64(v.rational_value());
    throw ModelError{"Expected a number!"};
  }

  static bool sat(const NodeList& e, const MState& s) {
    const N v = internal_evaluate(e, s);
    if (v.kind() != NodeKind::Bool) throw ModelError{"An action condition is not a boolean expression!"};
    return v.flag();
  }

  static bool all_conditions(const MState& s) {
    for (const auto& [condition, count] : s.conditions) {
      for (std::uint64_t i = 0; i < count; ++i) {
        if (!sat(condition, s)) return false;
      }
    }
    return true;
  }

  bool interferes(const Event& a, std::uint64_t a_pos, Action b, std::uint64_t b_pos) const {
    if (a.action == b) return true;
    const Event& other = (*task_.events.find(b))[b_pos].second;
    const Event& first = (*task_.events.find(a.action))[a_pos].second;
    auto reads = [](const Event& e) {
      auto r = fluents_in(e.conditions);
      for (const Effect& x : e.effects) {
        const auto v = fluents_in(x.value);
        r.insert(v.begin(), v.end());
      }
      return r;
    };
    auto writes = [](const Event& e) {
      std::set<std::uint64_t> w;
      for (const Effect& x : e.effects) w.insert(x.fluent);
      return w;
    };
    const auto r1 = reads(first), w1 = writes(first), r2 = reads(other), w2 = writes(other);
    for (std::uint64_t f : w1) {
      if (r2.contains(f) || w2.contains(f)) return true;
    }
    for (std::uint64_t f : r1) {
      if (w2.contains(f)) return true;
    }
    return false;
  }

  bool expand(const MState& parent, MState& child, const Event& event, std::uint64_t position,
              std::uint32_t instance) const {
    child.path.push_back(PathEntry{event.action, event.pos, instance});
    if (!all_conditions(parent)) return false;
    for (const NodeList& c : event.end_conditions) {
      for (std::size_t i = 0; i < child.conditions.size(); ++i) {
        if (child.conditions[i].first == c) {
          if (--child.conditions[i].second == 0) child.conditions.erase(child.conditions.begin() + static_cast<std::ptrdiff_t>(i));
          break;
        }
      }
    }
    for (const NodeList& c : event.start_conditions) {
      bool found = false;
      for (auto& [held, count] : child.conditions) {
        if (held == c) {
          ++count;
          found = true;
          break;
        }
      }
      if (!found) child.conditions.emplace_back(c, 1);
    }
    for (const Effect& effect : event.effects) {
      N v = internal_evaluate(effect.value, parent);
      if (effect.fluent >= child.values.size()) throw ModelInternal{};
      child.values[effect.fluent] = v;
    }
    if (!all_conditions(child)) return false;
    if (!temporal_) return true;
    const MNode cur{4, event.action.idx, event.pos, instance};
    for (auto it = parent.path.rbegin(); it != parent.path.rend(); ++it) {
      const MNode prev{4, it->action.idx, it->pos, it->instance};
      child.constraints.push_back({prev, cur, interferes(event, position, it->action, it->pos) ? -eps_ : 0.0});
    }
    for (const MRunning& r : child.todo) {
      const auto& list = *task_.events.find(r.action);
      for (std::uint64_t j = r.pos; j < list.size(); ++j) {
        const Event& pending = list[j].second;
        const MNode f{4, pending.action.idx, pending.pos, r.instance + static_cast<std::uint32_t>(j - r.pos)};
        child.constraints.push_back({cur, f, interferes(event, position, r.action, j) ? -eps_ : 0.0});
      }
    }
    return consistent(child.constraints);
  }

  const Task& task_;
  bool temporal_ = false;
  double eps_ = 0;
};

// ---------------------------------------------------------------- random tasks

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

  Task task() {
    Task t;
    bools_ = pick(2, 3);
    ints_ = pick(1, 2);
    NodeList initial;
    for (int i = 0; i < bools_; ++i) initial.push_back(N::boolean(chance(0.5)));
    for (int i = 0; i < ints_; ++i) initial.push_back(N::integer(pick(0, 3)));
    t.initial = initial;
    t.action_count = static_cast<std::size_t>(pick(2, 5));
    const bool temporal = chance(0.7);
    t.durations.resize(t.action_count);
    for (std::uint64_t a = 0; a < t.action_count; ++a) {
      if (temporal && (a == 0 || chance(0.75))) t.durations[a] = bounds();
      const int n = pick(1, 3);
      std::vector<TimedEvent> list;
      std::optional<NodeList> opened;
      for (int j = 0; j < n; ++j) {
        Timing timing{j == 0 ? true : chance(0.4), Rational(j == 0 ? 0 : pick(0, 8)) / Rational(4)};
        Event e = event(a, static_cast<std::uint64_t>(j), condition(), effects());
        if (j == 0 && n > 1 && chance(0.5)) {
          opened = bool_literal();
          e.start_conditions.push_back(*opened);
        }
        if (chance(0.1)) e.start_conditions.push_back(bool_literal());
        if (j == n - 1 && opened && chance(0.7)) e.end_conditions.push_back(*opened);
        if (chance(0.1)) e.end_conditions.push_back(bool_literal());
        list.emplace_back(timing, std::move(e));
      }
      t.add(a, std::move(list));
    }
    if (chance(0.5)) {
      std::vector<bool> safe;
      for (std::uint64_t a = 0; a < t.action_count; ++a) {
        safe.push_back(chance(temporal ? 0.5 : 0.05) || t.events.find(Action{a})->size() == 1);
      }
      t.compression_safe = safe;
    }
    if (chance(0.35)) {
      const char* names[] = {"o1", "o2", "o3"};
      std::vector<std::vector<std::string>> objects(t.action_count);
      for (auto& list : objects) {
        for (const char* name : names) {
          if (chance(0.4)) list.emplace_back(name);
        }
      }
      ObjectPrevActionsMap map;
      for (const char* name : names) {
        if (!chance(0.7)) continue;
        ActionSet set;
        for (std::uint64_t a = 0; a < t.action_count; ++a) {
          if (chance(0.4)) set.insert(Action{a});
        }
        map[name] = set;
      }
      t.action_objects = objects;
      t.obj_to_prev = map;
    }
    if (temporal && chance(0.3)) t.deadline = Rational(pick(3, 12));
    t.epsilon = mk_rational(1, 4);
    std::vector<Action> order;
    for (std::uint64_t a = 0; a < t.action_count; ++a) {
      if (!chance(0.1)) order.push_back(Action{a});
    }
    std::shuffle(order.begin(), order.end(), rng_);
    t.relevant = order;
    return t;
  }

 private:
  std::uint64_t a_bool() { return static_cast<std::uint64_t>(pick(0, bools_ - 1)); }
  std::uint64_t an_int() { return static_cast<std::uint64_t>(bools_ + pick(0, ints_ - 1)); }

  NodeList bool_literal() { return chance(0.5) ? fluent(a_bool()) : not_fluent(a_bool()); }

  NodeList condition() {
    switch (pick(0, 9)) {
      case 0:
      case 1: return truth();
      case 2:
      case 3: return fluent(a_bool());
      case 4: return not_fluent(a_bool());
      case 5: return fluent_is(an_int(), pick(0, 3));
      case 6: return {N::fluent(an_int()), N::integer(pick(0, 4)), N::binary_operator(NodeKind::LE, 0, 1)};
      case 7: {
        const std::uint64_t ops[] = {0, 2};
        return {N::fluent(a_bool()), N::fluent(a_bool()), N::not_operator(1), N::list_operator(NodeKind::And, ops)};
      }
      case 8: return chance(0.2) ? constant(1) : truth();  // now and then not Boolean
      default: return chance(0.15) ? NodeList{N::fluent(a_bool()), N::integer(1), N::binary_operator(NodeKind::LE, 0, 1)}
                                   : fluent(a_bool());  // now and then "Expected a number!"
    }
  }

  std::vector<Effect> effects() {
    std::vector<Effect> out;
    const int k = pick(0, 2);
    for (int i = 0; i < k; ++i) {
      if (chance(0.6)) {
        const std::uint64_t f = a_bool();
        out.push_back(set(f, chance(0.3) ? not_fluent(a_bool()) : boolean(chance(0.5))));
      } else {
        const std::uint64_t f = an_int();
        out.push_back(set(f, chance(0.5) ? constant(pick(0, 3)) : fluent_plus(an_int(), chance(0.5) ? 1 : -1)));
      }
    }
    return out;
  }

  DurationBounds bounds() {
    DurationBounds b;
    const int lo = pick(0, 8);
    b.lower = chance(0.2) ? fluent(an_int()) : NodeList{N::rational(Rational(lo) / Rational(4))};
    if (chance(0.05)) b.lower = fluent(a_bool());  // not a number
    b.upper = chance(0.2) ? fluent_plus(an_int(), 1) : NodeList{N::rational(Rational(lo + pick(-1, 6)) / Rational(4))};
    b.lower_open = chance(0.3);
    b.upper_open = chance(0.3);
    return b;
  }

  std::mt19937 rng_;
  int bools_ = 2, ints_ = 1;
};

// ---------------------------------------------------------------- comparison

struct Pair {
  std::shared_ptr<const State> engine;
  MState model;
};

enum class Kind { None, Successor, Error, Internal };

// `target` takes the state of `result` (states are not assignable, only constructible).
bool keep(std::optional<State>& target, std::optional<State> result) {
  target.reset();
  if (result) target.emplace(std::move(*result));
  return target.has_value();
}

template <class F>
Kind outcome(F&& f, std::string& message) {
  try {
    return f() ? Kind::Successor : Kind::None;
  } catch (const Error& e) {
    message = e.message();
    return Kind::Error;
  } catch (const ModelError& e) {
    message = e.message;
    return Kind::Error;
  } catch (const InternalFailure&) {
    return Kind::Internal;
  } catch (const ModelInternal&) {
    return Kind::Internal;
  }
}

std::uint64_t node_of(const SearchSpace& space, const MNode& n) {
  const TNInterpreter& tn = space.tn_interpreter();
  switch (n.kind) {
    case 0: return TNInterpreter::origin_node;
    case 1: return TNInterpreter::horizon_node;
    case 2: return TNInterpreter::node_id(tn.get_action_id(Action{n.action}, true), n.instance);
    case 3: return TNInterpreter::node_id(tn.get_action_id(Action{n.action}, false), n.instance);
    default: return TNInterpreter::node_id(tn.get_event_id(Action{n.action}, n.pos), n.instance);
  }
}

void expect_same(const SearchSpace& space, const State& e, const MState& m, const std::string& where) {
  ASSERT_EQ(e.values.size(), m.values.size()) << where;
  for (std::size_t i = 0; i < m.values.size(); ++i) EXPECT_TRUE(e.values[i] == m.values[i]) << where << " fluent " << i;
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> todo;
  for (const MRunning& r : m.todo) todo.emplace_back(r.action.idx, r.pos, r.instance);
  EXPECT_EQ(todo_of(e), todo) << where;
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> path;
  for (const PathEntry& p : m.path) path.emplace_back(p.action.idx, p.pos, p.instance);
  EXPECT_EQ(path_of(e), path) << where;
  EXPECT_EQ(e.g, m.g) << where;
  const auto& held = e.active_conditions.distinct();
  ASSERT_EQ(held.size(), m.conditions.size()) << where;
  for (std::size_t i = 0; i < held.size(); ++i) {
    EXPECT_TRUE(*held[i].condition == m.conditions[i].first) << where;
    EXPECT_EQ(held[i].count, m.conditions[i].second) << where;
  }
  EXPECT_EQ(e.active_conditions.total(), [&] {
    std::uint64_t t = 0;
    for (const auto& c : m.conditions) t += c.second;
    return t;
  }()) << where;
  ASSERT_EQ(e.stn.has_value(), m.temporal) << where;
  if (!m.temporal) return;
  ASSERT_TRUE(e.stn->consistent()) << where;
  std::set<MNode> nodes;
  for (const MConstraint& c : m.constraints) {
    nodes.insert(c.x);
    nodes.insert(c.y);
    const double* dx = e.stn->distance(node_of(space, c.x));
    const double* dy = e.stn->distance(node_of(space, c.y));
    ASSERT_TRUE(dx && dy) << where;
    EXPECT_LE(*dy, *dx + c.bound + 1e-6) << where << ": a constraint of the model does not hold";
  }
  EXPECT_EQ(e.stn->node_count(), nodes.size()) << where;
}

TEST(SuccessorModel, EngineMatchesTheLiteralModelOnRandomTasks) {
  int compared = 0, successors = 0, errors = 0, internals = 0, temporal_successors = 0;
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    Generator gen(seed);
    const Task task = gen.task();
    const auto space = task.build();
    Model model(task);
    std::vector<Pair> frontier;
    frontier.push_back({std::make_shared<const State>(space->initial_state()), model.root()});
    for (int expansion = 0; expansion < 30 && !frontier.empty(); ++expansion) {
      const std::size_t pick = static_cast<std::size_t>(gen.pick(0, static_cast<int>(frontier.size()) - 1));
      const Pair current = frontier[pick];
      frontier.erase(frontier.begin() + static_cast<std::ptrdiff_t>(pick));
      const bool compress = !gen.chance(0.2);
      const bool streamed = compress && gen.chance(0.2);
      std::vector<Pair> children;
      if (streamed) {
        // The stream yields the successors in relevant order, skipping refusals, an error as
        // an item after which it goes on.
        auto stream = space->get_successor_states_iter(*current.engine);
        for (const Action a : space->relevant_actions()) {
          std::string m_msg, e_msg;
          std::optional<MState> m;
          const Kind mk = outcome([&] { return (m = model.successor(current.model, a, true)).has_value(); }, m_msg);
          if (mk == Kind::None) continue;
          std::optional<State> e;
          const Kind ek = outcome([&] { return keep(e, stream.next()); }, e_msg);
          const std::string where = "seed " + std::to_string(seed) + " streamed action " + std::to_string(a.idx);
          ASSERT_EQ(ek, mk) << where << " " << e_msg << " / " << m_msg;
          EXPECT_EQ(e_msg, m_msg) << where;
          if (mk == Kind::Successor) {
            expect_same(*space, *e, *m, where);
            children.push_back({std::make_shared<const State>(std::move(*e)), std::move(*m)});
          }
          if (mk == Kind::Internal) break;
          ++compared;
        }
        if (!::testing::Test::HasFailure()) {
          std::string ignored;
          std::optional<State> rest;
          if (outcome([&] { return keep(rest, stream.next()); }, ignored) == Kind::None) {
            EXPECT_EQ(space->instance_counter(), model.counter) << "seed " << seed;
          }
        }
      } else {
        for (const Action a : space->relevant_actions()) {
          const std::string where = "seed " + std::to_string(seed) + " expansion " + std::to_string(expansion) +
                                    " action " + std::to_string(a.idx) + (compress ? "" : " uncompressed");
          std::optional<State> e;
          std::optional<MState> m;
          std::string e_msg, m_msg;
          const Kind ek = outcome(
              [&] { return keep(e, space->get_successor_state_with_compression(*current.engine, a, compress)); },
              e_msg);
          const Kind mk = outcome([&] { return (m = model.successor(current.model, a, compress)).has_value(); }, m_msg);
          ASSERT_EQ(ek, mk) << where << " " << e_msg << " / " << m_msg;
          EXPECT_EQ(e_msg, m_msg) << where;
          if (mk != Kind::Internal) {
            ASSERT_EQ(space->instance_counter(), model.counter) << where;
          }
          ++compared;
          if (ek == Kind::Successor) {
            expect_same(*space, *e, *m, where);
            ASSERT_FALSE(::testing::Test::HasFailure()) << where;
            ++successors;
            if (m->temporal) ++temporal_successors;
            children.push_back({std::make_shared<const State>(std::move(*e)), std::move(*m)});
          }
          if (ek == Kind::Error) ++errors;
          if (ek == Kind::Internal) {
            ++internals;
            model.counter = space->instance_counter();
          }
        }
      }
      ASSERT_FALSE(::testing::Test::HasFailure()) << "seed " << seed;
      for (auto& c : children) {
        if (frontier.size() < 60) frontier.push_back(std::move(c));
      }
    }
  }
  // The generator must reach every kind of outcome, or the comparison proves little.
  EXPECT_GT(successors, 3000);
  EXPECT_GT(temporal_successors, 1500);
  EXPECT_GT(errors, 50);
  EXPECT_GT(compared, 10000);
  std::printf("compared %d calls: %d successors (%d temporal), %d errors, %d internal failures\n", compared, successors,
              temporal_successors, errors, internals);
}

}  // namespace
}  // namespace quendral::testing
