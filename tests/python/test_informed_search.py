"""The informed searches from Python: every search with every kind of heuristic on classical,
numeric and temporal tasks (each plan replayed), their start lines and statistics, argument
conversion and errors, and agreement with literal models of weighted A*, its memory-bounded
variant and enforced hill-climbing on seeded random tasks, down to the sequence of heuristic
calls."""
import heapq
import inspect
import logging
import math
import random
import zlib

import pytest

import quendral as q
from tasks import classical, classical_events, conjunction, const, description, durative, increment
from test_search import Capture, messages, plan_idx, random_task

DASH = " \u2014 "
INFORMED = ["gbfs_search", "astar_search", "gbfs_search_memory_bounded", "astar_search_memory_bounded",
            "ehc_search"]
WEIGHTED = ["wastar_search", "wastar_search_memory_bounded"]
SIGNATURE = "(ss, heuristic, timeout=None, early_termination=False, weak_equality=False)"


@pytest.fixture
def lines():
    """The records of both search loggers, in the order they were made."""
    capture = Capture()
    loggers = [logging.getLogger("quendral_base.search"), logging.getLogger("quendral_base.multiqueue")]
    for logger in loggers:
        logger.addHandler(capture)
    yield capture.records
    for logger in loggers:
        logger.removeHandler(capture)


def log_of(records):
    return messages(records)


def run(name, ss, heuristic, **kwargs):
    """Runs search `name` (a multi-queue search with the heuristic as its single pair, weight 1)."""
    if name == "multiqueue_search":
        return q.multiqueue_search(ss, [(heuristic, 1.0)], **kwargs)
    if name in WEIGHTED:
        return getattr(q, name)(ss, heuristic, 0.75, **kwargs)
    return getattr(q, name)(ss, heuristic, **kwargs)


def test_functions_are_registered_in_order_with_their_text_signatures():
    names = ["dfs_search", "bfs_search", "multiqueue_search", "wastar_search", "wastar_search_memory_bounded",
             "astar_search", "astar_search_memory_bounded", "gbfs_search", "gbfs_search_memory_bounded",
             "ehc_search", "evaluate"]
    start = q.__all__.index("dfs_search")
    assert q.__all__[start:start + len(names)] == names
    assert len(q.__all__) == 28
    for name in INFORMED + ["multiqueue_search"]:
        expected = SIGNATURE.replace("heuristic", "heuristics") if name == "multiqueue_search" else SIGNATURE
        assert getattr(q, name).__text_signature__ == expected
    for name in WEIGHTED:
        assert str(inspect.signature(getattr(q, name))) == (
            "(ss, heuristic, weight, timeout=None, early_termination=False, weak_equality=False)")


# ---------------------------------------------------------------- every search with every heuristic


def replay(ss, plan):
    """Applies the plan event by event from the root and tests the goal at its end."""
    state = ss.initial_state()
    for action in plan:
        state = ss.get_successor_state(state, action)
        assert state is not None, "the plan does not replay"
    return ss.goal_reached(state)


def counter_task():
    actions = [([], {0: increment(0)}), ([(0, 1)], {1: const(1)})]
    goal = [(0, 3), (1, 1)]
    return classical([0, 0], actions, goal), description(classical_events(actions), 2, conjunction(goal))


def boolean_task():
    """Pick up a ball (fluent 0 in hand), move a robot between rooms (fluent 1 its room, an
    object), drop the ball in room b (fluent 2 ball in b)."""
    b = q.make_bool_constant_node

    def room_is(r):
        return [q.make_fluent_node(1), q.make_object_node(r), q.make_operator_node("==", [0, 1])]

    def event(i, cond, effects):
        return [(q.Timing(True, 0), q.Event(q.Action(i), 0, cond, [], [], effects))]

    events = {
        q.Action(0): event(0, room_is("a"), [q.Effect(0, [b(True)])]),
        q.Action(1): event(1, room_is("a"), [q.Effect(1, [q.make_object_node("b")])]),
        q.Action(2): event(2, room_is("b"), [q.Effect(1, [q.make_object_node("a")])]),
        q.Action(3): event(3, [q.make_fluent_node(0)] + room_is("b")[0:2] + [q.make_operator_node("==", [1, 2]),
                                                                              q.make_operator_node("and", [0, 3])],
                           [q.Effect(2, [b(True)]), q.Effect(0, [b(False)])]),
    }
    goal = [q.make_fluent_node(2)]
    ss = q.SearchSpace([None] * 4, events, [q.Action(i) for i in range(4)], None, None, None,
                       initial_state=[b(False), q.make_object_node("a"), b(False)], goal=goal)
    return ss, description(events, 3, goal, fluent_types=["bool", "room", "bool"], objects={"room": ["a", "b"]})


def temporal_task():
    # Action 0 takes 2 time units and sets fluent 0 at its end; action 1 needs it and sets fluent 1.
    actions = [((2, 2, False, False), [(True, 0, [], {}), (False, 0, [], {0: const(1)})]),
               ((1, 3, False, False), [(True, 0, [(0, 1)], {}), (False, 0, [], {1: const(1)})])]
    ss = durative([0, 0], actions, [(1, 1)])
    events = {}
    for i, (_, timed) in enumerate(actions):
        events[q.Action(i)] = [
            (q.Timing(at_start, delay), q.Event(q.Action(i), pos, conjunction(pre), [], [],
                                                [q.Effect(f, v) for f, v in eff.items()]))
            for pos, (at_start, delay, pre, eff) in enumerate(timed)]
    return ss, description(events, 2, conjunction([(1, 1)]))


def goal_count(goal_fluents):
    return lambda state: sum(1 for f, v in goal_fluents if repr(state.get_value(f)) != repr(q.make_int_constant_node(v)))


TASKS = {"counter": counter_task, "boolean": boolean_task, "temporal": temporal_task}
FACTORIES = ["hff", "hadd", "hmax", "hmax_explicit", "custom"]


def heuristic_for(factory, task, ss):
    if factory == "custom":
        # 0 at goals, 1 elsewhere: admissible and never a dead end.
        return q.Heuristic.custom(lambda s: 0 if ss.goal_reached(s) else 1, False)
    return getattr(q.Heuristic, factory)(**task, internal_caching=True, cache_value_in_state=True,
                                         inadmissible_numeric_heuristic_variant=False)


@pytest.mark.parametrize("task_name", TASKS)
@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("search", INFORMED + WEIGHTED + ["multiqueue_search"])
def test_every_search_with_every_heuristic_finds_a_plan_that_replays(search, factory, task_name):
    ss, task = TASKS[task_name]()
    h = heuristic_for(factory, task, ss)
    # Weak equality lets the temporal task's states be told apart by their running actions; the
    # memory-bounded searches key their closed list by the values alone, which would drop the
    # start of an action whose first event changes nothing.
    weak = task_name == "temporal" and "memory_bounded" not in search
    plan, stats = run(search, ss, h, timeout=30.0, weak_equality=weak)
    assert plan is not None, stats
    assert replay(ss, plan)
    assert stats["goal_depth"] == str(len(plan)) and int(stats["expanded_states"]) >= 1
    # Breadth-first search finds a plan with the fewest steps; with a consistent heuristic, A* too.
    shortest = len(q.bfs_search(ss, timeout=30.0)[0])
    assert len(plan) >= shortest
    if search.startswith("astar") and factory == "custom":
        assert len(plan) == shortest
    # The time line of a temporal plan.
    timed = ss.build_plan(plan)
    assert len(timed) == (len(plan) // 2 if ss.is_temporal else len(plan))


# ---------------------------------------------------------------- start lines and statistics


@pytest.mark.parametrize("call, line", [
    (lambda ss, h: q.gbfs_search(ss, h), "wastar_search: weight=1 timeout=None early_termination=false "
                                         "weak_equality=false"),
    (lambda ss, h: q.astar_search(ss, h, 10, True, True), "wastar_search: weight=0.5 timeout=Some(10.0) "
                                                          "early_termination=true weak_equality=true"),
    (lambda ss, h: q.wastar_search(ss, h, 0.25, 1e-5), "wastar_search: weight=0.25 timeout=Some(1e-5) "
                                                       "early_termination=false weak_equality=false"),
    (lambda ss, h: q.gbfs_search_memory_bounded(ss, h), "wastar_search_memory_bounded: weight=1 timeout=None "
                                                        "early_termination=false weak_equality=false"),
    (lambda ss, h: q.astar_search_memory_bounded(ss, h), "wastar_search_memory_bounded: weight=0.5 "
                                                         "timeout=None early_termination=false weak_equality=false"),
    (lambda ss, h: q.wastar_search_memory_bounded(ss, h, math.nan), "wastar_search_memory_bounded: weight=NaN "
                                                                    "timeout=None early_termination=false "
                                                                    "weak_equality=false"),
    (lambda ss, h: q.ehc_search(ss, h, None, False, True), "ehc_search: timeout=None early_termination=false "
                                                           "weak_equality=true"),
    (lambda ss, h: q.multiqueue_search(ss, [(h, 1.0), (h, 0.5)]), "multiqueue_search: queues=2 timeout=None "
                                                                  "early_termination=false weak_equality=false"),
])
def test_start_lines(call, line, lines):
    ss, task = counter_task()
    try:
        call(ss, heuristic_for("hff", task, ss))
    except TimeoutError:  # ten microseconds may pass before the first test on a slow machine
        pass
    assert log_of(lines)[0] == line


def test_dead_end_root_ends_without_a_goal_line(lines):
    ss, _ = counter_task()
    for name in INFORMED + WEIGHTED:
        lines.clear()
        assert run(name, ss, q.Heuristic.custom(lambda s: None, False)) == (None, {"expanded_states": "0"})
        assert len(log_of(lines)) == 1
    # The multi-queue search pushes the root unevaluated and expands it.
    plan, stats = q.multiqueue_search(ss, [(q.Heuristic.custom(lambda s: None, False), 1.0)])
    assert plan is None and stats == {"expanded_states": "1"}


def test_gbfs_goal_line_and_statistics(lines):
    ss, task = counter_task()
    plan, stats = q.gbfs_search(ss, heuristic_for("hff", task, ss))
    assert plan_idx(plan) == [0, 1, 0, 0] or replay(ss, plan)
    assert log_of(lines)[-1] == f"wastar_search: goal found{DASH}expanded={stats['expanded_states']} depth=4"


# ---------------------------------------------------------------- errors and conversion


def test_an_error_of_the_heuristic_ends_every_search_unchanged(lines):
    ss, _ = counter_task()
    error = LookupError("from the callable")
    calls = []

    def failing(state):
        calls.append(1)
        if len(calls) > 1:
            raise error
        return 1

    for name in INFORMED + WEIGHTED + ["multiqueue_search"]:
        calls.clear()
        with pytest.raises(LookupError) as info:
            run(name, ss, q.Heuristic.custom(failing, False))
        assert info.value is error
    assert not any("found" in m for m in log_of(lines))


def test_a_callable_cannot_change_the_relevant_actions_while_a_search_runs():
    ss, _ = counter_task()

    def meddle(state):
        ss.relevant_actions = []
        return 1

    for name in INFORMED + WEIGHTED + ["multiqueue_search"]:
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            run(name, ss, q.Heuristic.custom(meddle, False))
    ss.relevant_actions = [q.Action(0)]  # released again


def test_timeouts_end_endless_searches():
    # Two mutually undoing actions on an unbounded counter: no duplicates, no goal.
    ss = classical([0], [([], {0: increment(0)})], [(0, -1)])
    h = q.Heuristic.custom(lambda s: 1, False)
    for name in INFORMED + WEIGHTED + ["multiqueue_search"]:
        with pytest.raises(TimeoutError, match="^Timeout$"):
            run(name, ss, h, timeout=-1.0)
        with pytest.raises(TimeoutError, match="^Timeout$"):
            run(name, ss, h, timeout=0.05)


@pytest.mark.parametrize("call, note", [
    (lambda ss, h: q.gbfs_search(object(), h), "ss"),
    (lambda ss, h: q.astar_search(ss, "h"), "heuristic"),
    (lambda ss, h: q.wastar_search(ss, h, "1"), "weight"),
    (lambda ss, h: q.ehc_search(ss, h, "1"), "timeout"),
    (lambda ss, h: q.gbfs_search_memory_bounded(ss, h, None, 1), "early_termination"),
    (lambda ss, h: q.astar_search_memory_bounded(ss, h, None, False, None), "weak_equality"),
    (lambda ss, h: q.multiqueue_search(ss, [h]), "heuristics"),
    (lambda ss, h: q.multiqueue_search(ss, [(h, "1")]), "heuristics"),
    (lambda ss, h: q.multiqueue_search(ss, [(1.0, h)]), "heuristics"),
    (lambda ss, h: q.multiqueue_search(ss, h), "heuristics"),
])
def test_argument_conversion_fails_before_anything_is_logged(call, note, lines):
    ss, _ = counter_task()
    with pytest.raises(TypeError) as info:
        call(ss, q.Heuristic.custom(len, False))
    assert info.value.__notes__ == [f"while processing '{note}'"]
    assert log_of(lines) == []


def test_multiqueue_tuple_of_the_wrong_length():
    ss, _ = counter_task()
    with pytest.raises(ValueError) as info:
        q.multiqueue_search(ss, [(q.Heuristic.custom(len, False), 1.0, 2)])
    assert info.value.__notes__ == ["while processing 'heuristics'"]


def test_multiqueue_without_heuristics_is_an_internal_failure_after_the_root(PanicException, lines):
    ss = classical([0], [([], {0: const(1)})], [(0, 0)])
    # A goal root is still returned with early termination.
    assert q.multiqueue_search(ss, [], early_termination=True) == ([], {"expanded_states": "0", "goal_depth": "0"})
    with pytest.raises(PanicException):
        q.multiqueue_search(ss, [])
    assert log_of(lines)[-1].startswith("multiqueue_search: queues=0 ")


def test_multiqueue_shares_the_value_caches_with_the_given_heuristics():
    ss, task = counter_task()
    calls = []
    custom = q.Heuristic.custom(lambda s: calls.append(1) or 1, False)
    hff = q.Heuristic.hff(**task, internal_caching=True, cache_value_in_state=False,
                          inadmissible_numeric_heuristic_variant=False)
    plan, _ = q.multiqueue_search(ss, [(hff, 1.0), (custom, 0.5)])
    assert replay(ss, plan) and calls
    # Every state the run met is in hff's value cache now: evaluating them again is a lookup, and
    # gives the same values as a fresh heuristic.
    fresh = q.Heuristic.hff(**task, internal_caching=False, cache_value_in_state=False,
                            inadmissible_numeric_heuristic_variant=False)
    root = ss.initial_state()
    assert hff.eval(root, ss) == fresh.eval(root, ss)


# ---------------------------------------------------------------- against literal models


def state_key(state, nflu):
    return tuple(repr(state.get_value(i)) for i in range(nflu))


def weak_key(state, nflu):
    return state_key(state, nflu), frozenset((a.idx, pos) for a, (pos, _) in state.todo.items())


def depth_text(g):
    return str(int(g)) if g == int(g) else repr(g)


class Recorder:
    """A custom heuristic whose value is a fixed function of the state's values (sometimes a dead
    end), recording what it was asked."""

    def __init__(self, nflu, seed):
        self.nflu, self.seed, self.calls = nflu, seed, []

    def value(self, state):
        key = state_key(state, self.nflu)
        r = random.Random(zlib.crc32(repr((self.seed, key)).encode())).random()
        return None if r < 0.1 else float(int(r * 4))

    def __call__(self, state):
        self.calls.append((state_key(state, self.nflu), tuple(a.idx for a, _, _ in state.path)))
        return self.value(state)


class ModelRun:
    """What both models record: the log lines, the heuristic calls, and the result."""

    def __init__(self, name, start_line, rec, nflu):
        self.name, self.rec, self.nflu = name, rec, nflu
        self.log, self.calls = [start_line], []

    def h(self, state):
        self.calls.append((state_key(state, self.nflu), tuple(a.idx for a, _, _ in state.path)))
        return self.rec.value(state)

    def found(self, state, expanded, logged=True):
        if logged:
            self.log.append(f"{self.name}: goal found{DASH}expanded={expanded} depth={depth_text(state.g)}")
        return ([a.idx for a, _, _ in state.path],
                {"expanded_states": str(expanded), "goal_depth": depth_text(state.g)}, self.log, self.calls)

    def no_plan(self, expanded, logged=True):
        if logged:
            self.log.append(f"{self.name}: no solution found{DASH}expanded={expanded}")
        return None, {"expanded_states": str(expanded)}, self.log, self.calls


def wastar_model(ss, rec, w, early, weak, nflu, name="wastar_search"):
    run = ModelRun(name, f"{name}: weight={depth_text(w)} timeout=None early_termination={str(early).lower()} "
                   f"weak_equality={str(weak).lower()}", rec, nflu)
    h, found = run.h, run.found

    root = ss.initial_state()
    if early and ss.goal_reached(root):
        return found(root, 0, False)
    key = (weak_key if ss.is_temporal else state_key) if (not ss.is_temporal or weak) else None
    seen = set() if key else None
    if seen is not None:
        seen.add(key(root, nflu))
    v = h(root)
    if v is None:
        return run.no_plan(0, logged=False)
    heap, expanded, generated = [(v, len(root.todo), 0, root)], 0, 1
    while heap:
        _, _, _, state = heapq.heappop(heap)
        expanded += 1
        if not early and ss.goal_reached(state):
            return found(state, expanded)
        for action in ss.relevant_actions:
            child = ss.get_successor_state(state, action)
            if child is None:
                continue
            if seen is not None:
                k = key(child, nflu)
                if k in seen:
                    continue
                seen.add(k)
            v = h(child)
            if early and ss.goal_reached(child):
                return found(child, expanded)
            if v is not None:
                heapq.heappush(heap, ((1.0 - w) * child.g + w * v, len(child.todo), generated, child))
            generated += 1
    return run.no_plan(expanded)


def ehc_model(ss, rec, early, weak, nflu):
    run = ModelRun("ehc_search", f"ehc_search: timeout=None early_termination={str(early).lower()} "
                   f"weak_equality={str(weak).lower()}", rec, nflu)
    h, found = run.h, run.found

    root = ss.initial_state()
    if early and ss.goal_reached(root):
        return found(root, 0, False)
    best = h(root)
    if best is None:
        return run.no_plan(0, logged=False)
    key = (weak_key if ss.is_temporal else state_key) if (not ss.is_temporal or weak) else None
    queue, seen, expanded, generated = [root], set(), 0, 1
    while queue:
        state = queue.pop(0)
        expanded += 1
        if not early and ss.goal_reached(state):
            return found(state, expanded)
        if key:
            seen.add(key(state, nflu))
        for action in ss.relevant_actions:
            child = ss.get_successor_state(state, action)
            if child is None or (key and key(child, nflu) in seen):
                continue
            v = h(child)
            generated += 1
            if early and ss.goal_reached(child):
                return found(child, expanded)
            if v is None:
                continue
            if v < best:
                best, queue = v, [child]
                seen.clear()
                break
            queue.append(child)
    return run.no_plan(expanded)


def fluent_count(ss):
    state, n = ss.initial_state(), 0
    while True:
        try:
            state.get_value(n)
        except Exception:  # noqa: BLE001 - "Fluent not found!" ends the count
            return n
        n += 1


def compare(search, model_result, lines):
    plan, stats = search
    assert (plan_idx(plan), stats, [m for m in log_of(lines) if "expanded=10000" not in m]) == model_result[:3]


def test_weighted_searches_match_a_literal_model_on_seeded_random_tasks(lines):
    rng = random.Random(1210)
    for round_ in range(80):
        ss = random_task(rng)
        nflu = fluent_count(ss)
        for w in (1.0, 0.5, 0.0, 1.5):
            early, weak = rng.random() < 0.3, rng.random() < 0.5
            rec = Recorder(nflu, round_)
            expected = wastar_model(ss, rec, w, early, weak, nflu)
            lines.clear()
            result = q.wastar_search(ss, q.Heuristic.custom(rec, False), w, None, early, weak)
            compare(result, expected, lines)
            assert rec.calls == expected[3], f"round {round_} w={w}"
            if not ss.is_temporal:
                # Below the bounds the memory-bounded search expands in the same order.
                rec.calls.clear()
                lines.clear()
                bounded = wastar_model(ss, rec, w, early, weak, nflu, name="wastar_search_memory_bounded")
                result = q.wastar_search_memory_bounded(ss, q.Heuristic.custom(rec, False), w, None, early, weak)
                compare(result, bounded, lines)
                assert rec.calls == bounded[3]


def test_hill_climbing_matches_a_literal_model_on_seeded_random_tasks(lines):
    rng = random.Random(712)
    for round_ in range(80):
        ss = random_task(rng)
        nflu = fluent_count(ss)
        for early in (False, True):
            weak = rng.random() < 0.5
            rec = Recorder(nflu, round_)
            expected = ehc_model(ss, rec, early, weak, nflu)
            lines.clear()
            result = q.ehc_search(ss, q.Heuristic.custom(rec, False), None, early, weak)
            plan, stats = result
            assert (plan_idx(plan), stats) == expected[:2], f"round {round_}"
            assert [m for m in log_of(lines) if " h=" not in m] == expected[2]
            assert rec.calls == expected[3]
