"""The Heuristic class from Python: factories, names, values on small tasks, the per-state value
cache, callables as heuristics, reachable actions, and argument conversion."""
import inspect

import pytest

import quendral as q
from tasks import classical, classical_events, conjunction, const, description, increment

FACTORY_SIGNATURE = ("(actions, fluent_types, objects, events, goals, internal_caching, cache_value_in_state, "
                     "inadmissible_numeric_heuristic_variant{})")


def b(value):
    return [q.make_bool_constant_node(value)]


def two_facts_task():
    """Goal p and q over two Boolean fluents; A makes p true, B makes q true, both always
    applicable."""
    events = {q.Action(i): [(q.Timing(True, 0), q.Event(q.Action(i), 0, b(True), [], [], [q.Effect(i, b(True))]))]
              for i in range(2)}
    goal = [q.make_fluent_node(0), q.make_fluent_node(1), q.make_operator_node("and", [0, 1])]
    ss = q.SearchSpace([None, None], events, [q.Action(0), q.Action(1)], None, None, None,
                       initial_state=b(False) + b(False), goal=goal)
    return ss, description(events, 2, goal, fluent_types=["bool", "bool"])


def make(factory, task, internal_caching=False, cache=False, inadmissible=False, **kwargs):
    return getattr(q.Heuristic, factory)(**task, internal_caching=internal_caching, cache_value_in_state=cache,
                                         inadmissible_numeric_heuristic_variant=inadmissible, **kwargs)


def test_class_has_no_constructor_and_its_members_their_text_signatures():
    with pytest.raises(TypeError):
        q.Heuristic()
    for name in ("hff", "hadd", "hmax"):
        assert getattr(q.Heuristic, name).__text_signature__ == FACTORY_SIGNATURE.format(
            ", disable_numeric_reasoning=False")
    assert q.Heuristic.hmax_explicit.__text_signature__ == FACTORY_SIGNATURE.format("")
    assert q.Heuristic.custom.__text_signature__ == "(callable, cache_value_in_state)"
    assert q.Heuristic.eval.__text_signature__ == "($self, state, ss)"
    assert q.Heuristic.reachable_actions.__text_signature__ == "($self, state)"
    assert q.__all__.index("Heuristic") == q.__all__.index("State") + 1


@pytest.mark.parametrize("factory, kwargs, name", [
    ("hff", {}, "hff"), ("hadd", {}, "hadd"), ("hmax", {}, "hmax"),
    ("hff", {"disable_numeric_reasoning": True}, "hff_no_numbers"),
    ("hadd", {"disable_numeric_reasoning": True}, "hadd_no_numbers"),
    ("hmax", {"disable_numeric_reasoning": True}, "hmax_no_numbers"),
    ("hmax", {"disable_numeric_reasoning": False}, "hmax"),
    ("hmax_explicit", {}, "hmax_explicit"),
])
def test_names(factory, kwargs, name):
    _, task = two_facts_task()
    assert make(factory, task, **kwargs).name == name
    assert q.Heuristic.custom(len, False).name == "custom"


@pytest.mark.parametrize("factory, value", [("hff", 2.0), ("hadd", 2.0), ("hmax", 1.0), ("hmax_explicit", 1.0)])
def test_values_of_two_independent_goal_facts(factory, value):
    ss, task = two_facts_task()
    h = make(factory, task)
    root = ss.initial_state()
    assert h.eval(root, ss) == value
    goal = ss.get_successor_state(ss.get_successor_state(root, q.Action(0)), q.Action(1))
    assert ss.goal_reached(goal) and h.eval(goal, ss) == 0.0


@pytest.mark.parametrize("factory", ["hff", "hadd", "hmax", "hmax_explicit"])
def test_an_unreachable_goal_has_no_value(factory):
    # x is set to 1, but the goal asks for a fluent nobody sets.
    actions = [([], {0: const(1)})]
    ss = classical([0, 0], actions, [(1, 1)])
    task = description(classical_events(actions), 2, conjunction([(1, 1)]))
    assert make(factory, task, internal_caching=True).eval(ss.initial_state(), ss) is None


def test_explicit_h_max_of_an_endless_counter_is_its_layer_bound():
    # x counts up for ever while the goal asks for a fluent nobody sets: the possible values of x
    # never stop growing, so the exploration ends at its bound, which is the value.
    actions = [([], {0: increment(0)})]
    ss = classical([0, 0], actions, [(1, 1)])
    task = description(classical_events(actions), 2, conjunction([(1, 1)]))
    assert make("hmax_explicit", task).eval(ss.initial_state(), ss) == 1000.0
    assert make("hmax", task).eval(ss.initial_state(), ss) is None


def test_numeric_counter_needs_as_many_steps_as_the_distance():
    actions = [([], {0: increment(0)})]
    ss = classical([0], actions, [(0, 3)])
    task = description(classical_events(actions), 1, conjunction([(0, 3)]))
    root = ss.initial_state()
    # x == 3 splits into x <= 3 (true) and 3 <= x, reached by three increments of one.
    assert make("hadd", task).eval(root, ss) == 3.0
    assert make("hmax", task).eval(root, ss) == 3.0
    assert make("hmax_explicit", task).eval(root, ss) == 3.0


# ---------------------------------------------------------------- callables


def test_callable_results_are_converted_like_float_arguments():
    ss, _ = two_facts_task()
    root = ss.initial_state()
    for returned, expected in [(3, 3.0), (True, 1.0), (2.5, 2.5), (None, None), (float("inf"), float("inf"))]:
        assert q.Heuristic.custom(lambda s, r=returned: r, False).eval(root, ss) == expected
    with pytest.raises(TypeError):
        q.Heuristic.custom(lambda s: "3", False).eval(root, ss)
    error = ValueError("mine")

    def raising(state):
        raise error

    with pytest.raises(ValueError) as info:
        q.Heuristic.custom(raising, False).eval(root, ss)
    assert info.value is error
    h = q.Heuristic.custom(5, False)  # stored unchecked; fails when called
    with pytest.raises(TypeError):
        h.eval(root, ss)


def test_callable_gets_a_fresh_full_copy_of_the_state_on_every_call():
    ss, _ = two_facts_task()
    root = ss.get_successor_state(ss.initial_state(), q.Action(0))
    seen = []

    def record(state):
        seen.append(state)
        return 1

    h = q.Heuristic.custom(record, False)
    h.eval(root, ss)
    h.eval(root, ss)
    assert len(seen) == 2 and seen[0] is not seen[1] and seen[0] is not root
    assert [(a.idx, p, i) for a, p, i in seen[0].path] == [(a.idx, p, i) for a, p, i in root.path]
    assert seen[0].get_value(0) is not root.get_value(0)
    assert repr(seen[0].get_value(0)) == repr(root.get_value(0))


def test_per_state_cache_calls_a_caching_callable_once_per_state_object():
    ss, _ = two_facts_task()
    calls = []
    cached = q.Heuristic.custom(lambda s: calls.append(1) or 7, True)
    uncached = q.Heuristic.custom(lambda s: calls.append(2) or 8, False)
    root = ss.initial_state()
    assert cached.eval(root, ss) == 7.0 and cached.eval(root, ss) == 7.0
    assert calls == [1]
    # Without the flag the entry of the same name is neither read nor replaced.
    assert uncached.eval(root, ss) == 8.0 and cached.eval(root, ss) == 7.0
    assert calls == [1, 2]
    # Another state object computes again.
    assert cached.eval(ss.initial_state(), ss) == 7.0 and calls == [1, 2, 1]


def test_per_state_cache_is_keyed_by_name_alone():
    ss, task = two_facts_task()
    other = dict(task, goals=[q.make_fluent_node(0)])
    root = ss.initial_state()
    first, second = make("hff", task, cache=True), make("hff", other, cache=True)
    assert first.eval(root, ss) == 2.0
    assert second.eval(root, ss) == 2.0        # the first one's value, found under "hff"
    assert make("hff", other).eval(root, ss) == 1.0
    no_numbers = make("hff", other, cache=True, disable_numeric_reasoning=True)
    assert no_numbers.eval(root, ss) == 1.0    # "hff_no_numbers" does not see the "hff" entry


def test_a_dead_end_is_cached_and_a_failure_is_not():
    ss, task = two_facts_task()
    root = ss.initial_state()
    assert q.Heuristic.custom(lambda s: None, True).eval(root, ss) is None
    assert q.Heuristic.custom(lambda s: 5, True).eval(root, ss) is None   # the stored dead end
    other = ss.initial_state()
    calls = []

    def failing(state):
        calls.append(1)
        raise KeyError("no")

    h = q.Heuristic.custom(failing, True)
    for _ in range(2):
        with pytest.raises(KeyError):
            h.eval(other, ss)
    assert calls == [1, 1]


def test_callable_sees_the_cache_entries_its_state_held_when_copied():
    ss, task = two_facts_task()
    hff = make("hff", task, cache=True)
    root = ss.initial_state()
    custom_cached = q.Heuristic.custom(lambda s: 42, True)
    custom_cached.eval(root, ss)  # root now holds "custom": 42
    seen = []

    def inner(state):
        seen.append(q.Heuristic.custom(lambda s: 0, True).eval(state, ss))
        return hff.eval(state, ss)

    assert q.Heuristic.custom(inner, False).eval(root, ss) == 2.0
    assert seen == [42.0]


def test_callable_cannot_change_the_relevant_actions_of_the_space_it_evaluates_on():
    ss, _ = two_facts_task()

    def meddle(state):
        ss.relevant_actions = []
        return 0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        q.Heuristic.custom(meddle, False).eval(ss.initial_state(), ss)
    ss.relevant_actions = [q.Action(1)]  # released again afterwards
    assert [a.idx for a in ss.relevant_actions] == [1]


# ---------------------------------------------------------------- reachable actions


def test_reachable_actions():
    # Action 1 needs a fact (fluent 1 == 1) that nothing achieves.
    actions = [([], {0: const(1)}), ([(1, 1)], {0: const(2)}), ([(0, 1)], {2: const(1)})]
    ss = classical([0, 0, 0], actions, [(2, 1)])
    task = description(classical_events(actions), 3, conjunction([(2, 1)]))
    h = make("hff", task)
    root = ss.initial_state()
    first, second = h.reachable_actions(root), h.reachable_actions(root)
    assert type(first) is set and first is not second
    assert sorted(a.idx for a in first) == [0, 2] == sorted(a.idx for a in second)
    assert not {id(a) for a in first} & {id(a) for a in second}


def test_reachable_actions_needs_the_delete_relaxation():
    ss, task = two_facts_task()
    for h in (q.Heuristic.custom(len, False), make("hmax_explicit", task)):
        with pytest.raises(TypeError):
            h.reachable_actions(object())
        with pytest.raises(NotImplementedError, match="^reachable_actions is not available: hdr is None$"):
            h.reachable_actions(ss.initial_state())


# ---------------------------------------------------------------- conversion


@pytest.mark.parametrize("factory, change, note", [
    ("hff", {"actions": "ab"}, "actions"),
    ("hff", {"fluent_types": [1]}, "fluent_types"),
    ("hadd", {"objects": []}, "objects"),
    ("hmax", {"events": {1: []}}, "events"),
    ("hff", {"goals": [1]}, "goals"),
    ("hff", {"internal_caching": 1}, "internal_caching"),
    ("hff", {"cache_value_in_state": None}, "cache_value_in_state"),
    ("hff", {"inadmissible_numeric_heuristic_variant": 0}, "inadmissible_numeric_heuristic_variant"),
    ("hff", {"disable_numeric_reasoning": None}, "disable_numeric_reasoning"),
    ("hmax_explicit", {"inadmissible_numeric_heuristic_variant": 1}, "inadmissible_numeric_heuristic_variant"),
    ("hmax_explicit", {"objects": {"t": "ab"}}, "objects"),
])
def test_factory_arguments_are_converted_in_order_with_a_note(factory, change, note):
    _, task = two_facts_task()
    kwargs = dict(task, internal_caching=False, cache_value_in_state=False,
                  inadmissible_numeric_heuristic_variant=False)
    kwargs.update(change)
    with pytest.raises(TypeError) as info:
        getattr(q.Heuristic, factory)(**kwargs)
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_factory_argument_counts():
    _, task = two_facts_task()
    args = list(task.values()) + [False, False, False]
    assert make("hmax_explicit", dict(task, objects={"unused": ["a"]})).name == "hmax_explicit"
    assert q.Heuristic.hff(*args, True).name == "hff_no_numbers"
    with pytest.raises(TypeError):
        q.Heuristic.hmax_explicit(*args, False)
    with pytest.raises(TypeError):
        q.Heuristic.hff(*args[:-1])


def test_eval_checks_state_then_space():
    ss, task = two_facts_task()
    h = make("hff", task)
    with pytest.raises(TypeError) as info:
        h.eval(ss, ss)
    assert info.value.__notes__ == ["while processing 'state'"]
    with pytest.raises(TypeError) as info:
        h.eval(ss.initial_state(), object())
    assert info.value.__notes__ == ["while processing 'ss'"]
