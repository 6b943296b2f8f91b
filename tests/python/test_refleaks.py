"""Reference leaks: every registered name, called with good arguments and with arguments that
fail conversion (failure paths are where references leak)."""
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
}


def test_every_registered_name_is_checked():
    assert set(CALLS) == set(q.__all__)


@pytest.mark.parametrize("name", sorted(CALLS))
def test_no_reference_leaks(name):
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
