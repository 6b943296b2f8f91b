"""Reference leaks: every registered name, called with good arguments and with arguments that
fail conversion (failure paths are where references leak)."""
import logging
from fractions import Fraction

import pytest

import quendral as q
from refleak import assert_no_leak


class Hostile:
    def __index__(self):
        raise KeyError("hostile")


def _swallow(call):
    def run():
        try:
            call()
        except BaseException:  # noqa: BLE001 - failures are the point here
            pass

    return run


NODE = q.make_rational_constant_node(1, 3)
ACTION = q.Action(4)
TIMING = q.Timing(True, Fraction(3, 7))
EFFECT = q.Effect(2, [NODE, NODE])
EVENT = q.Event(ACTION, 1, [NODE], [[NODE]], [], [EFFECT])

T = q.make_bool_constant_node(True)
F = q.make_bool_constant_node(False)
A0 = q.Action(0)
TWO_EVENTS = {A0: [(q.Timing(True, 0), q.Event(A0, 0, [T], [[T]], [], [q.Effect(0, [T])])),
                   (q.Timing(False, 0), q.Event(A0, 1, [T], [], [[T]], []))]}
DURATION = [([q.make_int_constant_node(1)], [q.make_int_constant_node(2)], True, False)]
SPACE = q.SearchSpace(DURATION, TWO_EVENTS, [A0], [False], [["o"]], {"o": {A0}}, [F], [q.make_fluent_node(0)],
                      deadline=Fraction(9, 2), epsilon=Fraction(1, 8))
ROOT = SPACE.initial_state()
RUNNING = SPACE.get_successor_state(ROOT, A0)
DONE = SPACE.get_successor_state(RUNNING, A0)

# Its successor's condition is not Boolean; its bound is not a number; it has no actions to try.
NOT_BOOLEAN = q.SearchSpace([None], {A0: [(q.Timing(True, 0), q.Event(A0, 0, [NODE], [], [], []))]}, [A0], None, None,
                            None, [F], [q.make_fluent_node(0)])
BAD_BOUND = q.SearchSpace([([T], [T], False, False)], TWO_EVENTS, [A0], None, None, None, [F])
NO_ACTIONS = q.SearchSpace([None], {}, [A0], None, None, None, [F], [q.make_fluent_node(0)], [])


def _set_relevant(value):
    SPACE.relevant_actions = value


TASK = {"actions": [A0], "fluent_types": ["bool"], "objects": {"t": ["o"]}, "events": TWO_EVENTS,
        "goals": [q.make_fluent_node(0)]}
FLAGS = {"internal_caching": True, "cache_value_in_state": False, "inadmissible_numeric_heuristic_variant": False}
HFF = q.Heuristic.hff(**TASK, **FLAGS)
HMAX_EXPLICIT = q.Heuristic.hmax_explicit(**TASK, **FLAGS)
CUSTOM = q.Heuristic.custom(lambda state: 1.0 if state.todo else 0.5, True)


def _raising(state):
    raise KeyError("from the callable")


RAISING = q.Heuristic.custom(_raising, False)


def _informed(name):
    """Good and failing calls of one informed search with a fixed weight."""
    f = getattr(q, name)
    return (
        [lambda: f(SPACE, HFF, weak_equality=True), lambda: f(SPACE, CUSTOM, 10.0, True, True),
         lambda: f(SPACE, HMAX_EXPLICIT, None, False, True), lambda: f(NO_ACTIONS, CUSTOM)],
        [lambda: f(SPACE, RAISING), lambda: f(SPACE, HFF, -1.0), lambda: f(SPACE, NODE), lambda: f(NODE, HFF),
         lambda: f(SPACE, HFF, Hostile()), lambda: f(NOT_BOOLEAN, HFF)],
    )


def _weighted(name):
    f = getattr(q, name)
    return (
        [lambda: f(SPACE, HFF, 0.5, weak_equality=True), lambda: f(SPACE, CUSTOM, 2.0, 10.0, True, True)],
        [lambda: f(SPACE, RAISING, 1.0), lambda: f(SPACE, HFF, "w"), lambda: f(SPACE, HFF, 1.0, -1.0),
         lambda: f(NOT_BOOLEAN, HFF, 0.5)],
    )

# name -> calls with good arguments, calls that fail
CALLS = {
    "ExpressionNode": (
        [lambda: repr(NODE), lambda: NODE.real_constant, lambda: NODE.fluent, lambda: NODE.int_constant],
        [lambda: q.ExpressionNode(), lambda: setattr(NODE, "fluent", 1)],
    ),
    "make_operator_node": (
        [lambda: q.make_operator_node("and", [0, 1, 2]), lambda: q.make_operator_node(kind="-", operands=(0, 1))],
        [lambda: q.make_operator_node("and", [0, Hostile()]), lambda: q.make_operator_node(">", [0, 1]),
         lambda: q.make_operator_node("-", [0]), lambda: q.make_operator_node("and", "01"),
         lambda: q.make_operator_node("and", [0], extra=1)],
    ),
    "make_bool_constant_node": (
        [lambda: q.make_bool_constant_node(True)],
        [lambda: q.make_bool_constant_node(1), lambda: q.make_bool_constant_node()],
    ),
    "make_int_constant_node": (
        [lambda: q.make_int_constant_node(-5)],
        [lambda: q.make_int_constant_node(2**40), lambda: q.make_int_constant_node(Hostile())],
    ),
    "make_rational_constant_node": (
        [lambda: q.make_rational_constant_node(3, 9).real_constant],
        [lambda: q.make_rational_constant_node(1, 0), lambda: q.make_rational_constant_node(1, Fraction(1, 2))],
    ),
    "make_object_node": (
        [lambda: repr(q.make_object_node("truck\n1"))],
        [lambda: q.make_object_node("\ud800"), lambda: q.make_object_node(b"x")],
    ),
    "make_fluent_node": (
        [lambda: q.make_fluent_node(fluent=2**64 - 1).fluent],
        [lambda: q.make_fluent_node(-1), lambda: q.make_fluent_node(1, fluent=1)],
    ),
    "shift_expression": (
        [lambda: q.shift_expression([NODE, q.make_fluent_node(3), q.make_operator_node("+", [0, 1])], 2),
         lambda: q.shift_expression(exp=(), offset=0)],
        [lambda: q.shift_expression([q.make_operator_node("not", [1])], 2**64 - 1),
         lambda: q.shift_expression([NODE, 1], 0), lambda: q.shift_expression([NODE], -1),
         lambda: q.shift_expression("x", 0), lambda: q.shift_expression([NODE], Hostile())],
    ),
    "evaluate": (
        [lambda: q.evaluate([q.make_fluent_node(0)], DONE)],
        [lambda: q.evaluate([NODE], None), lambda: q.evaluate("x", None), lambda: q.evaluate([NODE])],
    ),
    "simplify": (
        [lambda: q.simplify([q.make_fluent_node(0), NODE, q.make_operator_node("<=", [0, 1])], {0: NODE}),
         lambda: q.simplify(exp=[NODE], assignments={})],
        [lambda: q.simplify([q.make_int_constant_node(1), q.make_int_constant_node(0),
                             q.make_operator_node("/", [0, 1])], {}),
         lambda: q.simplify([], {}), lambda: q.simplify([NODE], {Hostile(): NODE}),
         lambda: q.simplify([NODE], {0: 1}), lambda: q.simplify([NODE], [(0, NODE)])],
    ),
    "Action": (
        [lambda: q.Action(3).idx, lambda: q.Action(idx=2**64 - 1)],
        [lambda: q.Action(-1), lambda: q.Action(Hostile()), lambda: q.Action(1, 2), lambda: setattr(ACTION, "idx", 1)],
    ),
    "Timing": (
        [lambda: repr(q.Timing(False, Fraction(-1, 2))), lambda: TIMING.delay, lambda: TIMING.is_from_end()],
        [lambda: q.Timing(True, 0.5), lambda: q.Timing(1, 0), lambda: q.Timing(True, Fraction(1, 2**40))],
    ),
    "Effect": (
        [lambda: repr(q.Effect(1, [NODE])), lambda: EFFECT.value, lambda: EFFECT.fluent],
        [lambda: q.Effect(0, "x"), lambda: q.Effect(0, [NODE, 1]), lambda: q.Effect(Hostile(), [])],
    ),
    "Event": (
        [lambda: repr(EVENT), lambda: q.Event(ACTION, 0, [NODE], [[NODE]], [[NODE], []], [EFFECT]),
         lambda: (EVENT.action, EVENT.conditions, EVENT.start_conditions, EVENT.end_conditions, EVENT.effects)],
        [lambda: q.Event(ACTION, 0, [NODE], [[NODE]], [[NODE, 2]], [EFFECT]),
         lambda: q.Event(ACTION, 0, [], [], [], [EFFECT, TIMING]), lambda: q.Event(NODE, 0, [], [], [], [])],
    ),
    "State": (
        [lambda: q.State.get_value.__text_signature__, lambda: (RUNNING.todo, RUNNING.path, RUNNING.g),
         lambda: DONE.get_value(0)],
        [lambda: q.State(), lambda: q.State.get_value(NODE, 0), lambda: DONE.get_value(5)],
    ),
    "SearchSpace": (
        [lambda: q.SearchSpace(DURATION, TWO_EVENTS, [A0], None, None, None, [F], epsilon=1),
         lambda: SPACE.initial_state(), lambda: SPACE.get_successor_states(ROOT),
         lambda: SPACE.get_successor_state(RUNNING, A0), lambda: SPACE.goal_reached(DONE),
         lambda: SPACE.subgoals_sat(DONE), lambda: SPACE.reset(), lambda: SPACE.relevant_actions,
         lambda: _set_relevant([A0]), lambda: SPACE.is_temporal, lambda: SPACE.build_plan([A0, A0, A0]),
         lambda: SPACE.build_plan(path=())],
        [lambda: q.SearchSpace(DURATION, TWO_EVENTS, [A0], None, None, None, [F], epsilon=0),
         lambda: q.SearchSpace(DURATION, TWO_EVENTS, [A0], None, None, {"o": [A0]}),
         lambda: q.SearchSpace(DURATION, {q.Action(3): []}, [A0], None, None, None),
         lambda: SPACE.goal_reached(ROOT, [q.make_int_constant_node(1)]),
         lambda: SPACE.get_successor_state(ROOT, Hostile()), lambda: _set_relevant([A0, Hostile()]),
         lambda: SPACE.initial_state([Hostile()]), lambda: SPACE.subgoals_sat(ROOT, [NODE, 1]),
         lambda: SPACE.build_plan("x"), lambda: SPACE.build_plan([A0, NODE]),
         lambda: BAD_BOUND.build_plan([A0])],
    ),
    "bfs_search": (
        [lambda: q.bfs_search(SPACE), lambda: q.bfs_search(SPACE, 10.0, True)],
        [lambda: q.bfs_search(SPACE, 0.0), lambda: q.bfs_search(SPACE, "x"), lambda: q.bfs_search(NODE),
         lambda: q.bfs_search(SPACE, early_termination=1), lambda: q.bfs_search(NOT_BOOLEAN)],
    ),
    "dfs_search": (
        [lambda: q.dfs_search(SPACE), lambda: q.dfs_search(ss=SPACE, timeout=None, early_termination=True),
         lambda: q.dfs_search(NO_ACTIONS)],
        [lambda: q.dfs_search(SPACE, -1.0), lambda: q.dfs_search(SPACE, Hostile()), lambda: q.dfs_search(NOT_BOOLEAN)],
    ),
    "Heuristic": (
        [lambda: q.Heuristic.hff(**TASK, **FLAGS), lambda: q.Heuristic.hadd(**TASK, **FLAGS, disable_numeric_reasoning=True),
         lambda: q.Heuristic.hmax(**TASK, **FLAGS), lambda: q.Heuristic.hmax_explicit(**TASK, **FLAGS),
         lambda: q.Heuristic.custom(len, False).name, lambda: HFF.eval(RUNNING, SPACE), lambda: HFF.name,
         lambda: HMAX_EXPLICIT.eval(DONE, SPACE), lambda: CUSTOM.eval(ROOT, SPACE), lambda: HFF.reachable_actions(ROOT)],
        [lambda: q.Heuristic(), lambda: q.Heuristic.hff(**dict(TASK, goals=[1]), **FLAGS),
         lambda: q.Heuristic.hmax_explicit(**TASK, **dict(FLAGS, internal_caching=None)),
         lambda: RAISING.eval(ROOT, SPACE), lambda: q.Heuristic.custom(5, False).eval(ROOT, SPACE),
         lambda: HFF.eval(ROOT, NODE), lambda: CUSTOM.reachable_actions(ROOT), lambda: HFF.reachable_actions(NODE)],
    ),
    "ehc_search": _informed("ehc_search"),
    "gbfs_search": _informed("gbfs_search"),
    "astar_search": _informed("astar_search"),
    "gbfs_search_memory_bounded": _informed("gbfs_search_memory_bounded"),
    "astar_search_memory_bounded": _informed("astar_search_memory_bounded"),
    "wastar_search": _weighted("wastar_search"),
    "wastar_search_memory_bounded": _weighted("wastar_search_memory_bounded"),
    "multiqueue_search": (
        [lambda: q.multiqueue_search(SPACE, [(HFF, 1.0), (CUSTOM, 0.5)], 10.0, False, True),
         lambda: q.multiqueue_search(SPACE, [(HMAX_EXPLICIT, 0.5)], early_termination=True)],
        [lambda: q.multiqueue_search(SPACE, []), lambda: q.multiqueue_search(SPACE, [(HFF, 1.0), (RAISING, 1.0)]),
         lambda: q.multiqueue_search(SPACE, [HFF]), lambda: q.multiqueue_search(SPACE, [(HFF, 1.0, 2)]),
         lambda: q.multiqueue_search(SPACE, [(HFF, Hostile())]), lambda: q.multiqueue_search(SPACE, [(HFF, 1.0)], -1.0)],
    ),
    "get_fluents": (
        [lambda: q.get_fluents([q.make_fluent_node(1), NODE])],
        [lambda: q.get_fluents("x"), lambda: q.get_fluents([1])],
    ),
}


def test_every_registered_name_is_checked():
    assert set(CALLS) == set(q.__all__)


@pytest.fixture
def quiet_search_logger():
    """The searches' records are still made and handed to the logger (the bridge's path is checked
    too), but a filter drops them there, before pytest's own capture, which keeps every record."""
    loggers = [logging.getLogger("quendral_base.search"), logging.getLogger("quendral_base.multiqueue")]

    def drop(record):
        return False

    for logger in loggers:
        logger.addFilter(drop)
    yield
    for logger in loggers:
        logger.removeFilter(drop)


@pytest.mark.parametrize("name", sorted(CALLS))
def test_no_reference_leaks(name, quiet_search_logger):
    good, failing = CALLS[name]
    for i, call in enumerate(good):
        assert_no_leak(call, f"{name} good call {i}")
    for i, call in enumerate(failing):
        assert_no_leak(_swallow(call), f"{name} failing call {i}")


def test_the_check_sees_a_leak():
    kept = []
    if __import__("sys").getallocatedblocks() == 0:
        pytest.skip("block counts need the interpreter's own allocator")
    with pytest.raises(AssertionError):
        assert_no_leak(lambda: kept.append(object()), "a list that keeps every object")
