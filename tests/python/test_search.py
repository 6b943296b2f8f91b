"""Breadth-first and depth-first search from Python: results, statistics, log records, timeouts,
argument conversion, errors, and agreement with a literal model of both searches on seeded
random tasks."""
import inspect
import logging
import math
import random
import subprocess
import sys
import textwrap
from collections import deque

import pytest

import quendral as q
from tasks import classical, conjunction, const, durative, increment

DASH = " \u2014 "
SEARCHES = {"bfs": q.bfs_search, "dfs": q.dfs_search}


class Capture(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def lines():
    """The messages the searches log (the logger is at DEBUG from the start, see conftest)."""
    logger = logging.getLogger("quendral_base.search")
    capture = Capture()
    logger.addHandler(capture)
    yield capture.records
    logger.removeHandler(capture)


def messages(records):
    return [r.getMessage() for r in records]


def plan_idx(plan):
    return None if plan is None else [a.idx for a in plan]


def test_functions_are_registered_with_their_text_signatures():
    assert q.__all__.index("dfs_search") == q.__all__.index("shift_expression") + 1
    assert q.__all__.index("bfs_search") == q.__all__.index("dfs_search") + 1
    for name in ("bfs_search", "dfs_search"):
        f = getattr(q, name)
        assert f.__text_signature__ == "(ss, timeout=None, early_termination=False)"
        assert str(inspect.signature(f)) == "(ss, timeout=None, early_termination=False)"


# x counts steps; "inc" adds one while x < 3; goal x == 2.
def counter_task(goal=2, relevant=None):
    return classical([0], [([], {0: increment(0)})], [(0, goal)], relevant=relevant)


def test_goal_root_with_and_without_early_termination(lines):
    ss = counter_task(goal=0)
    plan, stats = q.bfs_search(ss, early_termination=True)
    assert plan == [] and stats == {"expanded_states": "0", "goal_depth": "0"}
    assert messages(lines) == ["bfs: timeout=None early_termination=true"]
    lines.clear()
    plan, stats = q.bfs_search(ss)
    assert plan == [] and stats == {"expanded_states": "1", "goal_depth": "0"}
    assert messages(lines) == ["bfs: timeout=None early_termination=false", "bfs: goal found" + DASH + "expanded=1 depth=0"]
    assert all(r.name == "quendral_base.search" and r.levelno == logging.INFO for r in lines)


def test_no_relevant_actions_is_one_expansion_and_no_solution(lines):
    ss = counter_task(relevant=[])
    assert q.dfs_search(ss) == (None, {"expanded_states": "1"})
    assert messages(lines)[-1] == "dfs: no solution found" + DASH + "expanded=1"


def test_bfs_takes_the_first_action_dfs_follows_the_last():
    # Fluent 0: which branch (1: a, 2: b); fluent 1: depth. Goals two steps deep through both.
    ss = classical(
        [0, 0],
        [([(0, 0)], {0: const(1), 1: const(1)}),   # a: root -> branch 1
         ([(0, 0)], {0: const(2), 1: const(1)}),   # b: root -> branch 2
         ([(1, 1)], {1: const(2)})],               # c: one step deeper
        [(1, 2)])
    bfs_plan, bfs_stats = q.bfs_search(ss)
    dfs_plan, dfs_stats = q.dfs_search(ss)
    assert plan_idx(bfs_plan) == [0, 2] and bfs_stats == {"expanded_states": "4", "goal_depth": "2"}
    assert plan_idx(dfs_plan) == [1, 2] and dfs_stats == {"expanded_states": "3", "goal_depth": "2"}
    assert all(type(a) is q.Action for a in bfs_plan) and bfs_plan[1] is not dfs_plan[1]


def test_early_termination_returns_the_first_goal_successor_after_one_expansion(lines):
    ss = classical([0], [([], {0: const(1)}), ([], {0: const(1)})], [(0, 1)])
    plan, stats = q.bfs_search(ss, None, True)
    assert plan_idx(plan) == [0] and stats == {"expanded_states": "1", "goal_depth": "1"}
    assert messages(lines)[-1] == "bfs: goal found" + DASH + "expanded=1 depth=1"


def endless():
    """Two mutually undoing actions and an unreachable goal."""
    return classical([0], [([(0, 0)], {0: const(1)}), ([(0, 1)], {0: const(0)})], [(0, 5)])


@pytest.mark.parametrize("name", SEARCHES)
@pytest.mark.parametrize("timeout", [0.0, -1.0, 0.05, -math.inf])
def test_timeouts_end_an_endless_search(name, timeout, lines):
    with pytest.raises(TimeoutError, match="^Timeout$"):
        SEARCHES[name](endless(), timeout=timeout)
    assert not any("found" in m for m in messages(lines))


@pytest.mark.parametrize("timeout, text", [(None, "None"), (math.nan, "Some(NaN)"), (math.inf, "Some(inf)"),
                                           (1e300, "Some(inf)")])
def test_timeouts_that_never_expire(timeout, text, lines):
    # A number beyond the single-precision range is an infinity.
    plan, _ = q.bfs_search(counter_task(), timeout)
    assert plan_idx(plan) == [0, 0]
    assert messages(lines)[0] == f"bfs: timeout={text} early_termination=false"


@pytest.mark.parametrize("timeout, text", [(10, "Some(10.0)"), (0.5, "Some(0.5)"), (1e-5, "Some(1e-5)"),
                                           (1e20, "Some(1e20)"), (0.1, "Some(0.1)")])
def test_start_line_prints_the_single_precision_timeout(timeout, text, lines):
    try:
        q.dfs_search(counter_task(), timeout=timeout)
    except TimeoutError:  # ten microseconds may pass before the first test on a slow machine
        pass
    assert messages(lines)[0] == f"dfs: timeout={text} early_termination=false"


def test_progress_line_at_the_ten_thousandth_expansion(lines):
    ss = counter_task(goal=10001)
    plan, stats = q.bfs_search(ss)
    assert len(plan) == 10001 and stats == {"expanded_states": "10002", "goal_depth": "10001"}
    debug = [r for r in lines if r.levelno == logging.DEBUG]
    assert messages(debug) == ["bfs: expanded=10000 generated=10000 open=0"]


@pytest.mark.parametrize("call, exception, note", [
    (lambda ss: q.bfs_search(ss, "1"), TypeError, "while processing 'timeout'"),
    (lambda ss: q.bfs_search(ss, early_termination=1), TypeError, "while processing 'early_termination'"),
    (lambda ss: q.dfs_search(object()), TypeError, "while processing 'ss'"),
    (lambda ss: q.dfs_search(ss, None, False, 3), TypeError, None),
    (lambda ss: q.dfs_search(), TypeError, None),
])
def test_argument_conversion_fails_before_anything_is_logged(call, exception, note, lines):
    with pytest.raises(exception) as info:
        call(counter_task())
    if note:
        assert info.value.__notes__ == [note]
    assert lines == []


def test_errors_of_the_task_reach_python_unchanged_and_release_the_space(lines):
    # The condition reads an object where a number is needed.
    bad = [q.make_fluent_node(0), q.make_object_node("a"), q.make_operator_node("<", [0, 1])]
    events = {q.Action(0): [(q.Timing(True, 0), q.Event(q.Action(0), 0, bad, [], [], []))]}
    ss = q.SearchSpace([None], events, [q.Action(0)], None, None, None,
                       initial_state=[q.make_int_constant_node(0)], goal=conjunction([(0, 1)]))
    with pytest.raises(ValueError, match="^Expected a number!$"):
        q.bfs_search(ss)
    no_init = q.SearchSpace([None], events, [q.Action(0)], None, None, None)
    with pytest.raises(Exception, match="^The initial state must be defined somewhere!$"):
        q.dfs_search(no_init)
    assert len(lines) == 2  # the two start lines
    # The shared borrow is released whatever the ending: the setter is accepted again.
    ss.relevant_actions = []
    with pytest.raises(TimeoutError):
        q.bfs_search(endless(), 0.0)
    assert q.bfs_search(ss) == (None, {"expanded_states": "1"})


def test_compressed_actions_are_listed_once_per_event():
    # A compression-safe action of three events, all applied in one step.
    ss = durative([0], [((3, 3, False, False), [(True, 0, [], {0: const(1)}), (True, 1, [], {0: const(2)}),
                                                (False, 0, [], {0: const(3)})])],
                  [(0, 3)], compression_safe=[True])
    plan, stats = q.bfs_search(ss)
    assert plan_idx(plan) == [0, 0, 0] and stats == {"expanded_states": "2", "goal_depth": "3"}


# ---------------------------------------------------------------- against a literal model


def model(ss, bfs, early):
    """The search written out step by step over the search space's own successor operations."""
    name = "bfs" if bfs else "dfs"
    log = [f"{name}: timeout=None early_termination={'true' if early else 'false'}"]

    def found(state, expanded, logged):
        depth = f"{state.g:g}" if state.g != int(state.g) else str(int(state.g))
        if logged:
            log.append(f"{name}: goal found{DASH}expanded={expanded} depth={depth}")
        return [a.idx for a, _, _ in state.path], {"expanded_states": str(expanded), "goal_depth": depth}, log

    root = ss.initial_state()
    if early and ss.goal_reached(root):
        return found(root, 0, False)
    frontier, expanded, actions = deque([root]), 0, ss.relevant_actions
    while frontier:
        state = frontier.popleft() if bfs else frontier.pop()
        expanded += 1
        if not early and ss.goal_reached(state):
            return found(state, expanded, True)
        for action in actions:
            child = ss.get_successor_state(state, action)
            if child is None:
                continue
            if early and ss.goal_reached(child):
                return found(child, expanded, True)
            frontier.append(child)
    log.append(f"{name}: no solution found{DASH}expanded={expanded}")
    return None, {"expanded_states": str(expanded)}, log


def random_task(rng):
    """A task whose every action also advances a step counter (fluent 0) below a small bound, so
    the search tree stays small; some actions are durative with two events."""
    fluents = 1 + rng.randrange(3)
    bound = 1 + rng.randrange(4)
    step_ok = [q.make_fluent_node(0), q.make_int_constant_node(bound), q.make_operator_node("<", [0, 1])]
    temporal = rng.random() < 0.3
    actions, durations, events = [], [], {}
    for i in range(1 + rng.randrange(4)):
        cond = list(step_ok)  # step < bound, and perhaps one fact
        if rng.random() < 0.6:
            cond += [q.make_fluent_node(1 + rng.randrange(fluents)), q.make_int_constant_node(rng.randrange(2)),
                     q.make_operator_node("==", [3, 4]), q.make_operator_node("and", [2, 5])]
        effects = [q.Effect(0, increment(0))]
        effects += [q.Effect(1 + rng.randrange(fluents), const(rng.randrange(2)))]
        timed = [(q.Timing(True, 0), q.Event(q.Action(i), 0, cond, [], [], effects))]
        if temporal and rng.random() < 0.5:
            durations.append((const(1), const(2), False, False))
            timed.append((q.Timing(False, 0), q.Event(q.Action(i), 1, [q.make_bool_constant_node(True)], [], [],
                                                      [q.Effect(1 + rng.randrange(fluents), const(1))])))
        else:
            durations.append(None)
        events[q.Action(i)] = timed
        actions.append(q.Action(i))
    goal = conjunction([(1 + rng.randrange(fluents), rng.randrange(2))] + ([(0, bound)] if rng.random() < 0.3 else []))
    relevant = [a for a in actions if rng.random() < 0.8]
    rng.shuffle(relevant)
    return q.SearchSpace(durations, events, actions, None, None, None,
                         initial_state=[q.make_int_constant_node(0)] * (fluents + 1), goal=goal,
                         relevant_actions=relevant)


def test_both_searches_match_a_literal_model_on_seeded_random_tasks(lines):
    rng = random.Random(20261210)
    for round_ in range(120):
        ss = random_task(rng)
        for name, bfs in (("bfs", True), ("dfs", False)):
            for early in (False, True):
                lines.clear()
                plan, stats = SEARCHES[name](ss, early_termination=early)
                actual = (plan_idx(plan), stats, messages(lines))
                lines.clear()
                assert actual == model(ss, bfs, early), f"round {round_} {name} early={early}"


# ---------------------------------------------------------------- the bridge's level caching


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


CACHING_PRELUDE = """
    import logging, sys
    sys.path.insert(0, %r)
    import quendral as q
    from tasks import classical, increment
    seen = []
    class H(logging.Handler):
        def emit(self, record):
            seen.append(record.levelname)
    lg = logging.getLogger("quendral_base.search")
    lg.addHandler(H(logging.NOTSET))
    lg.propagate = False
    ss = classical([0], [([], {0: increment(0)})], [(0, 10001)])
""" % str(__import__("pathlib").Path(__file__).parent)


def test_debug_level_set_before_the_first_search_lets_progress_lines_through():
    out = run_python(CACHING_PRELUDE + """
    lg.setLevel(logging.DEBUG)
    q.bfs_search(ss)
    print(*seen)
    """)
    assert out == ["INFO", "DEBUG", "INFO"]


def test_level_lowered_after_a_first_search_is_not_seen_raised_later_is():
    out = run_python(CACHING_PRELUDE + """
    q.bfs_search(ss)                 # at the default WARNING: nothing through, the level is cached
    lg.setLevel(logging.DEBUG)
    q.bfs_search(ss)                 # lowered later: still nothing
    print(len(seen))
    lg.setLevel(logging.INFO)
    logging.getLogger("quendral_base.search").setLevel(logging.ERROR)
    q.bfs_search(ss)                 # raised: refused as before
    print(len(seen))
    """)
    assert out == ["0", "0"]


def test_level_raised_after_the_first_search_takes_effect():
    out = run_python(CACHING_PRELUDE + """
    lg.setLevel(logging.DEBUG)
    q.bfs_search(ss)
    print(len(seen))
    lg.setLevel(logging.INFO)
    q.bfs_search(ss)
    print(len(seen))
    lg.setLevel(logging.ERROR)
    q.bfs_search(ss)
    print(len(seen))
    """)
    assert out == ["3", "5", "5"]
