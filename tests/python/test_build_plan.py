"""SearchSpace.build_plan from Python: the timed-plan format, the untimed plans of tasks without
durative actions, and its failures."""
from fractions import Fraction

import pytest

import quendral as q
from tasks import classical, const, durative

# A: idx 0, duration [2, 2], events at its start and its end writing fluent 0.
# B: idx 1, no duration, one event at its start writing fluent `b` (0: interferes with A).
def a_and_b(b):
    return durative([0, 0], [((2, 2, False, False), [(True, 0, [], {0: const(1)}), (False, 0, [], {0: const(2)})]),
                             (None, [(True, 0, [], {b: const(3)})])], [])


def rows(plan):
    return [(start, a.idx, duration) for start, a, duration in plan]


A, B = q.Action(0), q.Action(1)


@pytest.mark.parametrize("b, path, expected", [
    (1, [A, A], [("0/1", 0, "2/1")]),
    (1, [A, A, A, A], [("0/1", 0, "2/1"), ("201/100", 0, "2/1")]),
    (0, [A, A, B], [("0/1", 0, "2/1"), ("201/100", 1, None)]),
    (1, [A, A, B], [("0/1", 0, "2/1"), ("0/1", 1, None)]),
    (1, [B], [("0/1", 1, None)]),
    (1, [A], [("0/1", 0, "2/1")]),
    (1, [], []),
    (1, (A, A), [("0/1", 0, "2/1")]),  # any sequence
])
def test_timed_plans(b, path, expected):
    ss = a_and_b(b)
    plan = ss.build_plan(path)
    assert type(plan) is list and all(type(step) is tuple and len(step) == 3 for step in plan)
    assert rows(plan) == expected
    assert all(type(a) is q.Action and a is not p for (_, a, _), p in zip(plan, path))
    # The same again, although the space's instance counter has moved on.
    assert rows(ss.build_plan(path)) == expected


def test_epsilon_and_open_bounds_reach_the_texts():
    ss = durative([0], [((1, 3, True, False), [(True, 0, [], {0: const(1)})])], [], epsilon=Fraction(1, 1000))
    assert rows(ss.build_plan([A])) == [("0/1", 0, "1001/1000")]


def test_a_plan_found_by_a_search_is_timed():
    ss = durative([0, 0], [((2, 2, False, False), [(True, 0, [], {0: const(1)}), (False, 0, [], {0: const(2)})]),
                           (None, [(True, 0, [(0, 2)], {1: const(1)})])], [(1, 1)])
    plan, _ = q.bfs_search(ss)
    assert [a.idx for a in plan] == [0, 0, 1]
    assert rows(ss.build_plan(plan)) == [("0/1", 0, "2/1"), ("201/100", 1, None)]


def test_untimed_without_durative_actions():
    ss = classical([0], [([(0, 5)], {0: const(1)}), ([], {0: const(2)})], [])
    # Nothing is replayed: an inapplicable action is listed as given.
    assert rows(ss.build_plan([A, A, B])) == [(None, 0, None), (None, 0, None), (None, 1, None)]


def test_failures(PanicException):
    ss = a_and_b(1)
    with pytest.raises(TypeError) as info:
        ss.build_plan("AB")
    assert info.value.__notes__ == ["while processing 'path'"]
    with pytest.raises(TypeError):
        ss.build_plan([A, 1])
    with pytest.raises(TypeError):
        ss.build_plan()
    # Not applicable where it stands: A's condition is false at the start.
    blocked = durative([0], [((1, 1, False, False), [(True, 0, [(0, 7)], {0: const(1)})])], [])
    with pytest.raises(PanicException):
        blocked.build_plan([A])
    # A bound that is not a number: the evaluation's error, unchanged.
    events = {A: [(q.Timing(True, 0), q.Event(A, 0, [q.make_bool_constant_node(True)], [], [], []))]}
    bad = q.SearchSpace([([q.make_bool_constant_node(True)], const(1), False, False)], events, [A], None, None, None,
                        initial_state=[q.make_int_constant_node(0)])
    with pytest.raises(ValueError, match="^Expected a number!$"):
        bad.build_plan([A])
    no_init = q.SearchSpace([(const(1), const(1), False, False)], events, [A], None, None, None)
    with pytest.raises(Exception, match="^The initial state must be defined somewhere!$"):
        no_init.build_plan([])
