"""The planning records Action, Timing, Effect and Event: constructors, attributes, printed forms,
conversion failures with their notes, and the class rules they share."""
import inspect
import weakref
from fractions import Fraction

import pytest

import quendral as q

TRUE = q.make_bool_constant_node(True)
FALSE = q.make_bool_constant_node(False)


def event(**overrides):
    fields = dict(action=q.Action(0), pos=0, conditions=[], start_conditions=[], end_conditions=[], effects=[])
    fields.update(overrides)
    return q.Event(**fields)


RECORDS = {
    "Action": (lambda: q.Action(1), "(idx)"),
    "Timing": (lambda: q.Timing(True, 0), "(start, delay)"),
    "Effect": (lambda: q.Effect(0, [TRUE]), "(fluent, value)"),
    "Event": (event, "(action, pos, conditions, start_conditions, end_conditions, effects)"),
}


@pytest.mark.parametrize("name", RECORDS)
def test_class_rules(name):
    make, signature = RECORDS[name]
    cls = getattr(q, name)
    assert cls.__name__ == cls.__qualname__ == name
    assert str(inspect.signature(cls)) == signature
    instance, twin = make(), make()
    assert instance != twin and instance == instance
    assert len({instance: 1, twin: 2}) == 2
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        instance.extra = 1
    for attribute in [a for a in dir(cls) if not a.startswith("_")]:
        with pytest.raises(AttributeError):
            setattr(instance, attribute, 1)
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize("idx", [0, 3, 2**64 - 1, True])
def test_action_keeps_its_index(idx):
    action = q.Action(idx)
    assert action.idx == idx and type(action.idx) is int
    assert q.Action(idx=idx).idx == idx
    assert " object at 0x" in repr(action) and "Action" in repr(action)  # the default object form


def test_timing_attributes_and_printed_form():
    timing = q.Timing(False, 0)
    assert repr(timing) == str(timing) == "Timing { start: false, delay: Ratio { numer: 0, denom: 1 } }"
    assert timing.is_from_end() is True and timing.is_from_start() is False
    assert timing.delay == Fraction(0) and type(timing.delay) is Fraction
    assert timing.delay is not timing.delay
    assert not hasattr(timing, "start")
    assert inspect.signature(q.Timing.is_from_start).parameters.keys() == {"self"}
    assert q.Timing.is_from_end.__text_signature__ == "($self)"
    late = q.Timing(delay=Fraction(-6, 8), start=True)
    assert repr(late) == "Timing { start: true, delay: Ratio { numer: -3, denom: 4 } }"
    assert late.is_from_start() is True


class Five:
    def __index__(self):
        return 5


@pytest.mark.parametrize(
    "delay, value",
    [(True, Fraction(1)), (7, Fraction(7)), (-(2**31), Fraction(-(2**31))), (Fraction(1, 2), Fraction(1, 2)),
     (Five(), Fraction(5)), (Fraction(2**31 - 1, 2**31 - 2), Fraction(2**31 - 1, 2**31 - 2))],
)
def test_timing_delay_accepts_ints_and_small_fractions(delay, value):
    assert q.Timing(True, delay).delay == value


@pytest.mark.parametrize("delay", [0.5, 2**31, "1/2", None, Fraction(1, 2**31), Fraction(2**40, 3)])
def test_timing_delay_refuses_the_rest(delay):
    with pytest.raises(ValueError) as info:
        q.Timing(True, delay)
    assert str(info.value) == "Unable to parse Rational number"
    assert info.value.__notes__ == ["while processing 'delay'"]


def test_effect_attributes_copies_and_printed_form():
    nodes = [q.make_int_constant_node(1)]
    effect = q.Effect(0, nodes)
    assert repr(effect) == "Effect { fluent: 0, value: [Int(1)] }"
    nodes.append(TRUE)  # the effect holds its own copy
    value = effect.value
    assert [repr(n) for n in value] == ["Int(1)"] and value[0] is not nodes[0]
    value.clear()
    assert len(effect.value) == 1 and effect.value is not effect.value
    assert q.Effect(2**64 - 1, (TRUE, FALSE)).fluent == 2**64 - 1  # a tuple of nodes is a list


def test_event_attributes_copies_and_printed_form():
    a = q.Action(2)
    e = q.Event(a, 0, [TRUE], [], [[q.make_fluent_node(3)]], [q.Effect(3, [FALSE])])
    assert repr(e) == (
        "Event { action: Action { idx: 2 }, pos: 0, conditions: [Bool(true)], start_conditions: [], "
        "end_conditions: [[Fluent(3)]], effects: [Effect { fluent: 3, value: [Bool(false)] }] }"
    )
    assert repr(event()) == (
        "Event { action: Action { idx: 0 }, pos: 0, conditions: [], start_conditions: [], end_conditions: [], "
        "effects: [] }"
    )
    first, second = e.action, e.action
    assert first is not second and first is not a and first.idx == second.idx == 2
    effects = e.effects
    assert type(effects[0]) is q.Effect and effects[0] is not e.effects[0]
    effects.append(q.Effect(9, []))
    assert len(e.effects) == 1
    assert [[repr(n) for n in c] for c in e.end_conditions] == [["Fluent(3)"]]
    assert e.start_conditions == [] and e.pos == 0
    nested = q.Event(a, 1, (), ([TRUE], (FALSE, TRUE)), [], ())
    assert [[repr(n) for n in c] for c in nested.start_conditions] == [["Bool(true)"], ["Bool(false)", "Bool(true)"]]


def test_records_check_no_consistency():
    # An event listed at another position, an effect on any fluent, operand positions that point
    # nowhere: all accepted here, to fail (or not) where they are used.
    dangling = q.make_operator_node("and", [5, 99])
    e = q.Event(q.Action(1), 2**64 - 1, [dangling], [[dangling]], [], [q.Effect(2**64 - 1, [dangling])])
    assert e.pos == 2**64 - 1 and e.effects[0].fluent == 2**64 - 1


@pytest.mark.parametrize(
    "call, error, note",
    [
        (lambda: q.Action(-1), OverflowError, "idx"),
        (lambda: q.Action(2**64), OverflowError, "idx"),
        (lambda: q.Action(1.0), TypeError, "idx"),
        (lambda: q.Timing(1, 0), TypeError, "start"),
        (lambda: q.Effect(-1, []), OverflowError, "fluent"),
        (lambda: q.Effect(0, "nodes"), TypeError, "value"),
        (lambda: q.Effect(0, [1]), TypeError, "value"),
        (lambda: event(action=1), TypeError, "action"),
        (lambda: event(action=TRUE), TypeError, "action"),
        (lambda: event(pos=-1), OverflowError, "pos"),
        (lambda: event(conditions=[q.Action(0)]), TypeError, "conditions"),
        (lambda: event(start_conditions=[TRUE]), TypeError, "start_conditions"),
        (lambda: event(end_conditions="x"), TypeError, "end_conditions"),
        (lambda: event(effects=[q.Effect(0, []), q.Timing(True, 0)]), TypeError, "effects"),
        # Parameters are converted in order: the first failure is the one reported.
        (lambda: q.Event(None, -1, None, None, None, None), TypeError, "action"),
        (lambda: q.Event(q.Action(0), -1, None, None, None, None), OverflowError, "pos"),
    ],
)
def test_conversion_failures_carry_the_parameter_note(call, error, note):
    with pytest.raises(error) as info:
        call()
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_wrong_record_class_is_named_in_the_message():
    with pytest.raises(TypeError, match="'Timing' object cannot be converted to 'Action'"):
        event(action=q.Timing(True, 0))


@pytest.mark.parametrize(
    "call",
    [lambda: q.Action(), lambda: q.Action(1, 2), lambda: q.Timing(True), lambda: q.Effect(0, [], value=[]),
     lambda: q.Event(q.Action(0), 0, [], [], [], [], []), lambda: q.Action(index=1)],
)
def test_argument_count_errors(call):
    with pytest.raises(TypeError) as info:
        call()
    assert not getattr(info.value, "__notes__", None)
