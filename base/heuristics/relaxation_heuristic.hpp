// The relaxed task of the delete-relaxation heuristics (hff, hadd, hmax).
//
// Every timed event of every action becomes one relaxed operator. Its precondition is the
// event's conditions as a relaxed condition plus a stage fact that orders the events of one
// action; its effects are the facts the event can make true (a fact once reached stays reached,
// so an effect that sets a Boolean fluent to false adds the fact of it being false) and, for
// numeric fluents, constant increases, constant assignments and other assignments. Stage facts
// belong to stage fluents, one extra Boolean fluent per timed event, numbered after the task's
// own fluents: event j > 0 needs the stage fact of event j − 1, event 0 needs that of the last
// event, which stands for the action being idle.
//
// Everything that does not depend on a state is worked out here, once, so that an evaluation
// only looks things up: facts are interned ids, the operators woken by a fact are one contiguous
// row indexed by the fact's id, the linear conditions are fluent and weight arrays, and the
// conditions each operator's numeric effects can help are listed per operator in advance, each
// with its slot among the linear conditions. After construction the task is read-only; only the
// shared expression manager (which grows with the facts of evaluated states) and the shared
// value cache change, each behind its own lock (value cache first, then manager).
//
// The evaluation over this task (`eval`, `_eval`, `reachable_actions`) is in relaxation_eval.cpp.
//
// Deterministic orders where a hash order would otherwise decide: the linear conditions and the
// complex conditions keep the order in which they were first filed (operators in order, each
// precondition's facts in order, then the goal's facts), and so does every list derived from
// them; the fluents of a linear condition are sorted by fluent index.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/expressions/expressions.hpp"
#include "base/heuristics/relaxation_conditions.hpp"
#include "base/heuristics/relaxation_linear.hpp"
#include "base/space/search_state.hpp"
#include "base/task/records.hpp"

namespace quendral {

// Which value the evaluation computes; the numbers are part of the interface.
enum class RelaxationMode : std::uint8_t { Hff = 0, Hadd = 1, Hmax = 2 };

struct DeleteRelaxationSettings {
  bool internal_caching = false;
  bool inadmissible_numeric_heuristic_variant = false;
  bool disable_numeric_reasoning = false;
  RelaxationMode mode = RelaxationMode::Hff;
};

// A state's value: a number, or none for a dead end. The same alias as in heuristics.hpp, which
// this header does not include so that the heuristics can include it.
using HeuristicValue = std::optional<double>;

// An operator's position in the relaxed task's operator list.
using OperatorID = std::uint64_t;

// A small map from fluent index to V, sorted by fluent: an operator has few numeric effects.
template <class V>
class FluentMap {
 public:
  using value_type = std::pair<std::uint64_t, V>;

  const V* find(std::uint64_t fluent) const noexcept {
    auto it = lower(fluent);
    return it != entries_.end() && it->first == fluent ? &it->second : nullptr;
  }
  bool contains(std::uint64_t fluent) const noexcept { return find(fluent) != nullptr; }
  // Adds an entry; the fluent must not have one.
  void insert(std::uint64_t fluent, V value) { entries_.insert(lower(fluent), value_type(fluent, std::move(value))); }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }
  friend bool operator==(const FluentMap&, const FluentMap&) = default;

 private:
  typename std::vector<value_type>::const_iterator lower(std::uint64_t fluent) const noexcept {
    std::size_t lo = 0, hi = entries_.size();
    while (lo < hi) {
      const std::size_t mid = (lo + hi) / 2;
      if (entries_[mid].first < fluent) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return entries_.begin() + static_cast<std::ptrdiff_t>(lo);
  }
  std::vector<value_type> entries_;
};

// One relaxed operator: one timed event of one action.
struct Operator {
  RelaxedCondition precondition;
  // Its own stage fact first, then the facts of the event's Boolean and object-valued effects.
  std::vector<Expression> add_effects;
  FluentMap<double> constant_increase_effects;     // f := f + c
  FluentMap<double> constant_assign_effects;       // f := c
  FluentMap<Expression> complex_numeric_effects;   // f := any other value (the interned value)
  OperatorID id = 0;
  Action action;
  double weight = 1.0;

  // Whether the operator sets `fluent` to a value other than its own plus a constant.
  bool assigns(std::uint64_t fluent) const noexcept {
    return constant_assign_effects.contains(fluent) || complex_numeric_effects.contains(fluent);
  }
};

// Rows of items packed into one array: row r is items[offsets[r] .. offsets[r + 1]). A row
// beyond the table is empty, so facts interned after construction simply have no operators.
template <class T>
class CompressedRows {
 public:
  CompressedRows() = default;
  // `pairs` (row, item) in any order; within a row the items keep their order in `pairs`.
  CompressedRows(std::size_t rows, std::span<const std::pair<std::uint64_t, T>> pairs) : offsets_(rows + 1, 0) {
    for (const auto& pair : pairs) ++offsets_[pair.first + 1];
    for (std::size_t r = 0; r < rows; ++r) offsets_[r + 1] += offsets_[r];
    items_.resize(pairs.size());
    std::vector<std::uint64_t> next(offsets_.begin(), offsets_.end() - 1);
    for (const auto& pair : pairs) items_[next[pair.first]++] = pair.second;
  }

  std::span<const T> operator[](std::uint64_t row) const noexcept {
    if (row + 1 >= offsets_.size()) return {};
    return std::span<const T>(items_.data() + offsets_[row], offsets_[row + 1] - offsets_[row]);
  }
  std::size_t rows() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  std::size_t total() const noexcept { return items_.size(); }

 private:
  std::vector<std::uint64_t> offsets_;
  std::vector<T> items_;
};

// A linear condition an operator helps: its fact and its slot in `simple_numeric_conditions`.
struct HelpedCondition {
  Expression condition;
  std::uint64_t slot = 0;
  friend bool operator==(const HelpedCondition&, const HelpedCondition&) = default;
};

// The key of the value caches of the engine heuristics: a state's values and, per entry of the
// heuristic's `actions`, the position of the action's next event (0 when it is not running).
struct CacheKey {
  NodeList state_values;
  std::vector<std::uint64_t> todo_positions;

  friend bool operator==(const CacheKey& a, const CacheKey& b) noexcept {
    return std::span<const ExpressionNode>(a.state_values) == std::span<const ExpressionNode>(b.state_values) &&
           a.todo_positions == b.todo_positions;
  }
};

struct CacheKeyHash {
  std::size_t operator()(const CacheKey& key) const noexcept {
    FxHasher h;
    hash_node_list(h, key.state_values);
    h.write_u64(key.todo_positions.size());
    for (const std::uint64_t p : key.todo_positions) h.write_u64(p);
    return h.finish();
  }
};

// A value cache shared by a heuristic and its copies; the map exists only with internal caching.
struct SharedValueCache {
  std::mutex mutex;
  std::optional<boost::unordered_flat_map<CacheKey, std::optional<double>, CacheKeyHash>> map;
  // Reused under `mutex` to look a state up, so that a hit builds no key of its own.
  CacheKey probe;
};

// Fills `key` with the values of `state` and, per action of `actions`, the position of its next
// event (0 when it is not running), reusing the key's storage.
void fill_cache_key(CacheKey& key, const State& state, std::span<const Action> actions);

// The working tables of delete-relaxation evaluations (defined with the evaluation).
struct RelaxationScratch;

// The expression manager shared by a heuristic and its copies, with the working tables of their
// evaluations: an evaluation holds `mutex` throughout, so the tables are reused from one
// evaluation to the next instead of being built anew.
struct SharedExpressionManager {
  std::mutex mutex;
  ExpressionManager manager;
  std::shared_ptr<RelaxationScratch> scratch;  // made by the first evaluation
};

// The relaxed task of one delete-relaxation heuristic. Build it once; it is read-only afterwards
// (see the top of this file). A copy shares the value cache and the expression manager.
class DeleteRelaxationHeuristic {
 public:

  // Builds the relaxed task from the task description, taking the arguments over; it keeps
  // `actions` and forgets the rest.
  //
  // `fluent_types` names every fluent's type ("bool", "int", "real" or an object type) and its
  // length is the first stage fluent; `objects` lists each object type's objects; only the
  // `Event` of each timed event is read (time plays no part in the relaxation). The actions of
  // `actions` that have events get stage fluents and operators, in the order of `actions`; the
  // operators are then ordered by action idx (stably), their ids being their positions.
  //
  // Raises Exception "Overflow" when a condition's node list cannot be re-based. Internal
  // failures: an effect on a fluent beyond `fluent_types`; two effects on one numeric fluent in
  // one event; an effect of a computed value on an object-typed fluent whose type has no entry in
  // `objects`; an empty goal; a malformed node list.
  //
  // Raises ValueError "Action <idx> has events but is not in actions" for an action of the events
  // table missing from `actions`: its progress could not be followed through stage facts.
  DeleteRelaxationHeuristic(std::vector<Action> actions, FluentTypes fluent_types, ObjectsTable objects,
                            EventsTable events, NodeList goals, DeleteRelaxationSettings settings);

  // The value of `state` in `mode`; none when the goal is unreachable in the relaxation (a dead
  // end). With internal caching, states equal in values and in the next-event positions of
  // `actions` share one computed value (dead ends included); errors are never cached. Holds the
  // value-cache lock, then the manager lock, for the whole call.
  //
  // Throws the errors of testing numeric conditions in the state (`internal_evaluate`) and
  // ValueError "Expected a number!" for a non-number in a fluent of a linear condition that an
  // operator helps. In steady state an evaluation without internal caching allocates nothing.
  HeuristicValue eval(const State& state) const;

  // The exploration behind `eval` and `reachable_actions`: with `collect` false the value and no
  // list; with `collect` true no value and the operators that received a cost, ascending.
  std::pair<HeuristicValue, std::optional<std::vector<OperatorID>>> _eval(const State& state, bool collect) const;

  // The actions all of whose operators can be applied in the relaxation from `state`, ascending
  // by idx. An action without operators is never reachable.
  std::vector<Action> reachable_actions(const State& state) const;

  std::vector<Action> actions;
  // The number of timed events of every action of the events table (table order), including
  // actions missing from `actions`.
  ActionMap<std::uint64_t> event_counts;
  RelaxedCondition goal_condition;
  // Per action of `actions` with events: the stage fact of each event; the last is its idle fact.
  ActionMap<std::vector<Expression>> stage_facts;
  RelaxedCondition all_idle_condition;
  std::vector<Operator> operators;
  // Row f: the operators with fact f as a `Fact` entry of their precondition, once per
  // occurrence, ascending.
  CompressedRows<OperatorID> operators_by_fact;
  std::vector<OperatorID> operators_without_precondition;  // ascending
  // Linear conditions, each read as Σ weight · value + constant ≤ 0; strict ones are stored with
  // their constant already raised by the epsilon worked out from the operators.
  SimpleNumericConditions simple_numeric_conditions;
  ExpressionSet complex_numeric_conditions;
  // Row o: the linear conditions operator o helps, in the order of `simple_numeric_conditions`.
  CompressedRows<HelpedCondition> operator_numeric_conditions;
  RelaxationMode mode = RelaxationMode::Hff;
  std::shared_ptr<SharedValueCache> value_cache;
  std::shared_ptr<SharedExpressionManager> expression_manager;
  bool inadmissible_numeric_heuristic_variant = false;
  bool disable_numeric_reasoning = false;
  // The fact of the constant true condition when some condition holds one: it holds in every
  // state, so an evaluation gives it cost 0 (the constant false fact is simply never reached).
  std::optional<Expression> true_fact;
  // What the cost-ordered exploration reads of operator o, packed in one entry (the operators
  // themselves are large): its weight; the number of `Fact` entries of its precondition (once
  // per occurrence), or `kPreconditionWithOr` when it holds an `Or`, and how many of them are
  // idle stage facts; its add effects, `packed_add_effects[add_effects_begin .. add_effects_end)`,
  // idle stage facts first, up to `idle_effects_end`; the event count of its action (0 when it
  // has none or too many for the field).
  struct PackedOperator {
    double weight = 1.0;
    std::uint32_t precondition_facts = 0;
    std::uint32_t idle_facts = 0;
    std::uint32_t add_effects_begin = 0;
    std::uint32_t idle_effects_end = 0;
    std::uint32_t add_effects_end = 0;
    std::uint32_t action_events = 0;
  };
  static constexpr std::uint32_t kPreconditionWithOr = 0xFFFFFFFFu;
  std::vector<PackedOperator> packed_operators;
  // Whether some packed operator is `kPreconditionWithOr`: only such an operator reads back the
  // cost an evaluation that wants a value gave an operator (it is costed again at each fact).
  bool packed_with_or = false;
  // `operators_by_fact` as the cost-ordered exploration walks it, one 8-byte entry per (fact,
  // operator): the operator's id, with `kSettleWithOr` set when its precondition holds an `Or`,
  // and the facts its conjunctive precondition waits for when every action is idle (its fact
  // entries less its idle ones), so that a settled fact reaches its operators' counters without
  // reading their packed entries.
  struct SettleEntry {
    std::uint32_t op = 0;
    std::uint32_t unsettled_when_idle = 0;
  };
  static constexpr std::uint32_t kSettleWithOr = 0x80000000u;
  CompressedRows<SettleEntry> settle_rows;
  // The same rows split for an evaluation with every action idle that wants a value (not the
  // costed operators): an operator of weight 1 whose conjunctive precondition waits, besides its
  // idle facts, for one fact alone is applied the moment that fact settles, so its row entry is
  // one (effect, operator) pair per non-idle add effect (`direct_rows`) and it needs no counter.
  // Every other entry is in `counted_rows`: an operator with `Or` as in `settle_rows`, any other
  // with the slot of its counter among `counted_initial` (the facts it waits for with every
  // action idle), which the evaluation copies instead of testing a stamp per visit.
  struct DirectEntry {
    std::uint32_t fact = 0;
    std::uint32_t op = 0;
  };
  struct CountedEntry {
    std::uint32_t op = 0;  // with `kSettleWithOr` as in `settle_rows`
    std::uint32_t counter = 0;
  };
  CompressedRows<DirectEntry> direct_rows;
  CompressedRows<CountedEntry> counted_rows;
  std::vector<std::uint32_t> counted_initial;
  std::vector<Expression> packed_add_effects;
  // The idle stage fact of every entry of `stage_facts`, in its order.
  std::vector<Expression> idle_stage_facts;
  // The operators to cost once every idle stage fact has cost 0: those whose conjunctive
  // precondition has only idle stage facts, and those with `Or` that mention one. Ascending.
  std::vector<OperatorID> operators_ready_when_idle;
  // Whether an evaluation in cost order with every action idle must give the idle stage facts
  // their cost 0 explicitly: only when some condition reads it (a precondition with `Or`, or a
  // goal that names an idle fact); otherwise the exploration takes them as settled unread.
  bool idle_costs_read = true;
  // Whether an evaluation in cost order with every action idle may stop as soon as the last
  // fact of the goal settles: when the goal is a conjunction of facts none of which is an idle
  // stage fact and no precondition holds an `Or`. Every fact the value then reads (the goal's
  // facts and, for hff, the relaxed plan's, all of cost at most the goal's) has its final cost
  // and achiever by then: an offer of cost c comes from a precondition settled below c. `goal_fact`
  // flags those facts by id (a fact interned later is none of them); `goal_facts` counts them.
  bool stop_at_goal = false;
  std::vector<std::uint8_t> goal_fact;
  std::uint32_t goal_facts = 0;
  // Whether an evaluation settles facts in cost order rather than by layers (relaxation_eval.cpp
  // says when the two agree); set when the task qualifies. Clearing it forces the layered
  // exploration, the reference the cost-ordered one is checked against.
  bool explore_by_cost = false;
};

}  // namespace quendral
