"""SearchSpace from Python: the constructor's conversions and defaults, the methods and
attributes with their borrow rules, get_fluents, and State objects made by a real space."""
import inspect
import threading
from fractions import Fraction

import pytest

import quendral as q

T = q.make_bool_constant_node(True)
F = q.make_bool_constant_node(False)


def fluent(i):
    return q.make_fluent_node(i)


def not_fluent(i):
    return [fluent(i), q.make_operator_node("not", [0])]


def const(n):
    return [q.make_int_constant_node(n)]


def two_event_space(**kwargs):
    """One durative action (duration 2) that sets fluent 0 at its end; the goal is fluent 0."""
    a = q.Action(0)
    events = {a: [(q.Timing(True, 0), q.Event(a, 0, [T], [], [], [])),
                  (q.Timing(False, 0), q.Event(a, 1, [T], [], [], [q.Effect(0, [T])]))]}
    args = dict(initial_state=[F], goal=[fluent(0)])
    args.update(kwargs)
    return q.SearchSpace([(const(2), const(2), False, False)], events, [a], None, None, None, **args)


def instant_space(n=3, **kwargs):
    """n instantaneous actions; action i sets fluent i when fluent i is false."""
    actions = [q.Action(i) for i in range(n)]
    events = {a: [(q.Timing(True, 0), q.Event(a, 0, not_fluent(a.idx), [], [], [q.Effect(a.idx, [T])]))]
              for a in actions}
    args = dict(initial_state=[F] * n, goal=[fluent(0)])
    args.update(kwargs)
    return q.SearchSpace([None] * n, events, actions, None, None, None, **args)


def path_of(state):
    return [(a.idx, pos, k) for a, pos, k in state.path]


def todo_of(state):
    return {a.idx: v for a, v in state.todo.items()}


# ---------------------------------------------------------------- construction


def test_text_signatures():
    assert q.SearchSpace.__text_signature__ == (
        "(actions_duration, events, actions, compression_safe_actions, action_objects, "
        "obj_to_prev_actions_map, initial_state=None, goal=None, relevant_actions=None, deadline=None, "
        "epsilon=None)")
    sigs = {
        "reset": "($self)", "initial_state": "($self, initial_state=None)",
        "get_successor_states": "($self, state)", "get_successor_state": "($self, state, action)",
        "goal_reached": "($self, state, goal=None)", "subgoals_sat": "($self, state, goal=None)",
    }
    for name, text in sigs.items():
        assert getattr(q.SearchSpace, name).__text_signature__ == text


@pytest.mark.parametrize("index, bad, error", [
    (0, [(const(1), const(1), 1, False)], TypeError),          # a flag must be a bool
    (0, [[const(1), const(1), False, False]], TypeError),       # a list is not a tuple
    (0, [(const(1), const(1), False)], ValueError),             # wrong tuple length
    (1, [], TypeError),                                         # events must be a dict
    (2, [q.Action(0), 3], TypeError),
    (3, [1], TypeError),
    (4, [["x", 1]], TypeError),
    (5, {"o": [q.Action(0)]}, TypeError),                       # a list is not a set
    (6, "abc", TypeError),
    (7, [T, 1], TypeError),
    (8, [1], TypeError),
    (9, 2.5, ValueError),
    (10, Fraction(1, 2**40), ValueError),
])
def test_constructor_conversion_failures_name_the_parameter(index, bad, error):
    names = ["actions_duration", "events", "actions", "compression_safe_actions", "action_objects",
             "obj_to_prev_actions_map", "initial_state", "goal", "relevant_actions", "deadline", "epsilon"]
    args = [[None], {}, [q.Action(0)], None, None, None, None, None, None, None, None]
    args[index] = bad
    with pytest.raises(error) as info:
        q.SearchSpace(*args)
    assert info.value.__notes__ == [f"while processing '{names[index]}'"]
    if index >= 9:
        assert str(info.value) == "Unable to parse Rational number"


def test_parameters_convert_in_order_and_the_first_failure_wins():
    with pytest.raises(TypeError) as info:
        q.SearchSpace([None], [], "bad", None, None, None, epsilon=2.5)
    assert info.value.__notes__ == ["while processing 'events'"]


@pytest.mark.parametrize("epsilon", [0, -1, Fraction(-1, 1000)])
def test_a_non_positive_epsilon_is_refused(epsilon):
    with pytest.raises(ValueError, match="The epsilon must be greater than zero!") as info:
        two_event_space(epsilon=epsilon)
    assert info.value.__notes__ == ["while processing 'epsilon'"]


def test_accepted_rational_forms_and_none_for_optional_parameters():
    space = two_event_space(deadline=Fraction(7, 2), epsilon=Fraction(1, 1000))
    assert space.is_temporal
    space = two_event_space(deadline=True, epsilon=3)
    assert space.is_temporal
    assert not instant_space().is_temporal


def test_an_event_beyond_the_actions_is_an_internal_failure(PanicException):
    a = q.Action(1)
    with pytest.raises(PanicException):
        q.SearchSpace([None], {a: [(q.Timing(True, 0), q.Event(a, 0, [T], [], [], []))]}, [q.Action(0)],
                      None, None, None)


def test_events_keys_with_equal_idx_collapse_to_the_last_list():
    a, b = q.Action(0), q.Action(0)
    ev_false = q.Event(a, 0, [F], [], [], [])
    ev_true = q.Event(a, 0, [T], [], [], [])
    space = q.SearchSpace([None], {a: [(q.Timing(True, 0), ev_false)], b: [(q.Timing(True, 0), ev_true)]},
                          [a], None, None, None, [F])
    assert space.get_successor_state(space.initial_state(), a) is not None


def test_a_deadline_ties_the_horizon_and_rules_out_late_ends():
    space = two_event_space(deadline=2)
    assert space.get_successor_state(space.initial_state(), q.Action(0)) is None
    space = two_event_space(deadline=3)
    assert space.get_successor_state(space.initial_state(), q.Action(0)) is not None


# ---------------------------------------------------------------- methods


def test_start_continue_goal_and_the_state_getters():
    space = two_event_space()
    root = space.initial_state()
    assert root.g == 0.0 and root.todo == {} and root.path == []
    assert not space.goal_reached(root)
    started = space.get_successor_state(root, q.Action(0))
    assert todo_of(started) == {0: (1, 2)}
    assert path_of(started) == [(0, 0, 1)]
    assert started.g == 1.0
    assert not space.goal_reached(started, [T]), "a running action is no goal"
    (done,) = space.get_successor_states(started)
    assert path_of(done) == [(0, 0, 1), (0, 1, 2)]
    assert done.todo == {} and done.g == 2.0
    assert space.goal_reached(done)
    assert repr(done.get_value(0)) == "Bool(true)"
    assert repr(q.evaluate([fluent(0), q.make_operator_node("not", [0])], done)) == "Bool(false)"
    with pytest.raises(Exception, match="Fluent not found!"):
        done.get_value(1)


def test_compression_in_one_step():
    space = two_event_space(relevant_actions=None)
    a = q.Action(0)
    events = {a: [(q.Timing(True, 0), q.Event(a, 0, [T], [], [], [])),
                  (q.Timing(False, 0), q.Event(a, 1, [T], [], [], []))]}
    space = q.SearchSpace([(const(2), const(2), False, False)], events, [a], [True], None, None, [F])
    done = space.get_successor_state(space.initial_state(), a)
    assert done.todo == {} and done.g == 2.0 and path_of(done) == [(0, 0, 1), (0, 1, 2)]


def test_reset_does_nothing_and_instance_numbers_keep_counting():
    space = two_event_space()
    root = space.initial_state()
    first = space.get_successor_state(root, q.Action(0))
    assert space.reset() is None
    second = space.get_successor_state(root, q.Action(0))
    assert path_of(first) == [(0, 0, 1)]
    assert path_of(second) == [(0, 0, 4)]


def test_initial_state_argument_and_messages():
    space = instant_space()
    a, b = space.initial_state(), space.initial_state()
    assert a is not b and repr(a.get_value(0)) == repr(b.get_value(0))
    assert repr(space.initial_state([T, T, T]).get_value(0)) == "Bool(true)"
    assert repr(space.initial_state().get_value(0)) == "Bool(false)"
    bare = q.SearchSpace([None], {}, [q.Action(0)], None, None, None)
    with pytest.raises(Exception, match="The initial state must be defined somewhere!") as info:
        bare.initial_state()
    assert type(info.value) is Exception
    root = bare.initial_state([T])
    with pytest.raises(Exception, match="The goal must be defined somewhere!"):
        bare.goal_reached(root)
    with pytest.raises(Exception, match="The goal must be defined somewhere!"):
        bare.subgoals_sat(root)
    with pytest.raises(Exception, match="The goal is not a boolean expression!"):
        bare.goal_reached(root, const(1))
    assert bare.subgoals_sat(root, const(1)) == []


def test_subgoals_sat_in_split_order_without_duplicates():
    space = instant_space(initial_state=[T, F, T])
    root = space.initial_state()
    goal = [fluent(2), fluent(1), fluent(2), fluent(0), q.make_operator_node("and", [0, 1, 2, 3])]
    assert [[repr(n) for n in c] for c in space.subgoals_sat(root, goal)] == [["Fluent(2)"], ["Fluent(0)"]]


def test_not_applicable_is_none_and_missing_from_the_list():
    space = instant_space()
    root = space.initial_state()
    after = space.get_successor_state(root, q.Action(1))
    assert space.get_successor_state(after, q.Action(1)) is None
    assert [path_of(s)[-1][0] for s in space.get_successor_states(after)] == [0, 2]


def test_an_evaluation_error_of_one_action_ends_the_list():
    a, b = q.Action(0), q.Action(1)
    zero_div = [q.make_int_constant_node(1), q.make_int_constant_node(0), q.make_operator_node("/", [0, 1]),
                q.make_int_constant_node(1), q.make_operator_node("<=", [2, 3])]
    events = {a: [(q.Timing(True, 0), q.Event(a, 0, [T], [], [], []))],
              b: [(q.Timing(True, 0), q.Event(b, 0, zero_div, [], [], []))]}
    space = q.SearchSpace([None, None], events, [a, b], None, None, None, [F])
    with pytest.raises(ZeroDivisionError, match="division by zero"):
        space.get_successor_states(space.initial_state())


def test_method_argument_conversions_name_their_parameter():
    space = instant_space()
    root = space.initial_state()
    cases = [
        (lambda: space.get_successor_state(T, q.Action(0)), TypeError, "state"),
        (lambda: space.get_successor_state(root, 0), TypeError, "action"),
        (lambda: space.goal_reached(root, [T, 3]), TypeError, "goal"),
        (lambda: space.subgoals_sat(root, "x"), TypeError, "goal"),
        (lambda: space.initial_state(initial_state=[1]), TypeError, "initial_state"),
        (lambda: space.get_successor_states(None), TypeError, "state"),
    ]
    for call, error, name in cases:
        with pytest.raises(error) as info:
            call()
        assert info.value.__notes__ == [f"while processing '{name}'"]
    with pytest.raises(TypeError):
        space.get_successor_state(root)
    with pytest.raises(TypeError):
        space.reset(1)


def test_internal_failures_leave_the_space_usable(PanicException):
    a, b = q.Action(0), q.Action(1)
    events = {a: [(q.Timing(True, 0), q.Event(a, 0, [T], [], [], [q.Effect(7, [T])]))],
              b: [(q.Timing(True, 0), q.Event(b, 0, [T], [], [], []))]}
    space = q.SearchSpace([(const(1), const(1), False, False), None], events, [a, b], None, None, None, [F])
    root = space.initial_state()
    with pytest.raises(PanicException):
        space.get_successor_state(root, a)
    assert path_of(space.get_successor_state(root, b)) == [(1, 0, 3)]


# ---------------------------------------------------------------- attributes and borrows


def test_relevant_actions_getter_setter_and_deleter():
    space = instant_space()
    first, second = space.relevant_actions, space.relevant_actions
    assert first is not second and first[0] is not second[0]
    assert [a.idx for a in first] == [0, 1, 2]
    first.clear()
    assert len(space.relevant_actions) == 3
    space.relevant_actions = (q.Action(2), q.Action(0))
    assert [a.idx for a in space.relevant_actions] == [2, 0]
    assert [path_of(s)[0][0] for s in space.get_successor_states(space.initial_state())] == [2, 0]
    with pytest.raises(TypeError) as info:
        space.relevant_actions = [q.Action(1), 1]
    assert info.value.__notes__ == ["while processing 'relevant_actions'"]
    assert [a.idx for a in space.relevant_actions] == [2, 0], "a failed conversion changes nothing"
    with pytest.raises(AttributeError, match="property has no deleter"):
        del space.relevant_actions
    space.relevant_actions = []
    assert space.get_successor_states(space.initial_state()) == []


def test_is_temporal_is_read_only():
    space = two_event_space()
    with pytest.raises(AttributeError):
        space.is_temporal = False
    with pytest.raises(AttributeError):
        del space.is_temporal
    assert space.is_temporal is True


def test_setting_relevant_actions_while_a_method_holds_the_space_is_refused():
    space = instant_space()
    root = space.initial_state()
    seen = []

    class Goal:
        """A goal sequence whose iteration tries to replace the space's actions."""

        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            try:
                space.relevant_actions = []
            except RuntimeError as e:
                seen.append(str(e))
            return T

    assert space.goal_reached(root, Goal()) is True
    assert seen == ["Already borrowed"]
    assert len(space.relevant_actions) == 3


def test_concurrent_successor_calls_share_one_counter():
    space = two_event_space()
    root = space.initial_state()
    firsts = []

    def work():
        for _ in range(200):
            firsts.append(path_of(space.get_successor_state(root, q.Action(0)))[0][2])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(firsts) == [3 * i + 1 for i in range(800)]


# ---------------------------------------------------------------- get_fluents


def test_get_fluents():
    assert q.get_fluents([fluent(2), fluent(2), q.make_int_constant_node(3)]) == [2, 2]
    assert q.get_fluents([]) == []
    with pytest.raises(TypeError) as info:
        q.get_fluents("abc")
    assert info.value.__notes__ == ["while processing 'expr'"]
    assert str(inspect.signature(q.get_fluents)) == "(expr)"


def test_states_from_a_plain_task_compare_by_values():
    space = instant_space()
    a, b = space.initial_state(), space.initial_state()
    assert a is not b
    x = space.get_successor_state(a, q.Action(0))
    y = space.get_successor_state(b, q.Action(0))
    assert path_of(x) == path_of(y) == [(0, 0, 0)]
