"""`shift_expression` and `simplify`: results, argument conversion and failures."""
from fractions import Fraction

import pytest

import quendral as q

B = q.make_bool_constant_node
I = q.make_int_constant_node
R = q.make_rational_constant_node
F = q.make_fluent_node
O = q.make_object_node


def op(kind, *operands):
    return q.make_operator_node(kind, list(operands))


def printed(nodes):
    return [repr(n) for n in nodes]


# ---------------------------------------------------------------- shift_expression


def test_shift_moves_operand_positions_up_and_leaves_everything_else():
    exp = [I(1), F(7), op("+", 0, 1), op("not", 2), op("/", 0, 3), O("o"), R(1, 2), op("and")]
    shifted = q.shift_expression(exp, 3)
    assert printed(shifted) == [
        "Int(1)", "Fluent(7)", "Plus([3, 4])", "Not(5)", "Div(3, 6)", 'Object("o")',
        "Rational(Ratio { numer: 1, denom: 2 })", "And([])",
    ]
    assert printed(exp)[2] == "Plus([0, 1])"  # the argument is not changed


def test_shift_by_zero_returns_new_objects_equal_in_content():
    exp = (I(1), F(7), op("<=", 0, 1))
    shifted = q.shift_expression(offset=0, exp=exp)
    assert type(shifted) is list and printed(shifted) == printed(exp)
    assert all(a is not b for a, b in zip(shifted, exp))
    assert q.shift_expression([], 5) == []


def test_shift_past_the_top_of_the_range_is_an_overflow():
    top = 2**64 - 1
    assert printed(q.shift_expression([op("not", top - 1)], 1)) == [f"Not({top})"]
    for exp, offset in [([op("not", 1)], top), ([op("*", 0, 5)], top - 4), ([op("-", 2, 0)], top - 1)]:
        with pytest.raises(Exception) as info:
            q.shift_expression(exp, offset)
        assert type(info.value) is Exception and str(info.value) == "Overflow"
    # lists without operators never overflow
    assert printed(q.shift_expression([F(top), I(3)], top)) == [f"Fluent({top})", "Int(3)"]


@pytest.mark.parametrize(
    "args, error, note",
    [
        (("x", 0), TypeError, "exp"),
        ((5, 0), TypeError, "exp"),
        (([I(1), 2], 0), TypeError, "exp"),
        (([I(1)], -1), OverflowError, "offset"),
        (([I(1)], 2**64), OverflowError, "offset"),
        (([I(1)], 1.0), TypeError, "offset"),
    ],
)
def test_shift_argument_conversion(args, error, note):
    with pytest.raises(error) as info:
        q.shift_expression(*args)
    assert info.value.__notes__ == [f"while processing '{note}'"]


# ---------------------------------------------------------------- simplify


@pytest.mark.parametrize(
    "exp, assignments, want",
    [
        ([F(0), I(3), op("<=", 0, 1)], {0: I(2)}, ["Bool(true)"]),
        ([F(0), I(3), op("<=", 0, 1)], {}, ["Fluent(0)", "Int(3)", "LE(0, 1)"]),
        ([I(1), F(0), I(2), op("+", 0, 1, 2)], {}, ["Int(3)", "Fluent(0)", "Plus([0, 1])"]),
        ([F(0), I(1), I(2), op("+", 0, 1, 2)], {}, ["Fluent(0)", "Int(3)", "Plus([0, 1])"]),
        ([F(0), I(0), op("*", 0, 1)], {}, ["Fluent(0)", "Int(0)", "Times([0, 1])"]),
        ([I(1), I(2), op("/", 0, 1)], {}, ["Rational(Ratio { numer: 1, denom: 2 })"]),
        ([I(4), I(2), op("/", 0, 1)], {}, ["Int(2)"]),
        ([F(0), I(0), op("/", 0, 1)], {}, ["Fluent(0)", "Int(0)", "Div(0, 1)"]),
        ([R(4, 2)], {}, ["Int(2)"]),
        ([F(0)], {0: R(2, 1)}, ["Rational(Ratio { numer: 2, denom: 1 })"]),
        ([I(5), B(True)], {}, ["Bool(true)"]),
        ([B(True), F(0), F(1), op("==", 1, 2), op("and", 0, 3)], {}, ["Fluent(0)", "Fluent(1)", "Equals(0, 1)"]),
        ([B(True), op("and", 0)], {}, ["Bool(true)"]),
        # a lone operand moves up with the constant of its fold
        ([F(0), I(1), I(2), op("+", 0, 1, 2), op("and", 3)], {}, ["Fluent(0)", "Int(3)", "Plus([0, 1])"]),
        # sums sharing the node of 1 fold it to different constants: not one structure
        (
            [F(0), I(1), I(2), op("+", 0, 1, 2), op("+", 0, 1), op("==", 3, 4)],
            {},
            ["Fluent(0)", "Int(3)", "Plus([0, 1])", "Fluent(0)", "Int(1)", "Plus([3, 4])", "Equals(2, 5)"],
        ),
        # an operator given as a value: its positions are read in the list, wherever they point
        ([F(0), I(4), op("and", 0, 1)], {0: op("not", 1)}, ["Int(4)", "Not(0)", "Int(4)", "And([1, 2])"]),
        ([F(0), B(True), F(1), op("or", 0, 1, 2)], {}, ["Bool(true)"]),
        ([F(3), F(3), op("==", 0, 1)], {}, ["Bool(true)"]),
        ([O("a"), O("b"), op("==", 0, 1)], {}, ['Object("a")', 'Object("b")', "Equals(0, 1)"]),
        ([B(True), B(False), op("==", 0, 1)], {}, ["Bool(true)", "Bool(false)", "Equals(0, 1)"]),
        ([I(1), I(1), op("==", 0, 1), op("not", 2)], {}, ["Bool(false)"]),
        ([I(2), F(0), op("==", 0, 1)], {0: R(2, 1)}, ["Bool(true)"]),
        # exact beyond 32 and 64 bits: the result holds a number that `int_constant` cannot show
        ([I(2**31 - 1), I(1), op("+", 0, 1)], {}, ["Int(2147483648)"]),
        ([F(0), F(0), F(0), op("*", 0, 1, 2)], {0: I(-(2**31))}, [f"Int({-(2**93)})"]),
    ],
)
def test_simplify(exp, assignments, want):
    before = printed(exp)
    result = q.simplify(exp, assignments)
    assert printed(result) == want
    assert printed(exp) == before
    assert all(n not in exp for n in result)


def test_simplify_returns_values_with_their_attributes():
    [third] = q.simplify([I(1), I(3), op("/", 0, 1)], {})
    assert third.real_constant == Fraction(1, 3)
    [big] = q.simplify([I(2**31 - 1), I(2), op("*", 0, 1)], {})
    assert big.real_constant is None and big.fluent is None


def test_simplify_division_by_zero():
    with pytest.raises(ZeroDivisionError, match="^division by zero$"):
        q.simplify([I(1), I(0), op("/", 0, 1)], {})
    with pytest.raises(ZeroDivisionError):
        q.simplify([F(0), F(1), op("/", 0, 1)], {0: I(1), 1: R(0, 3)})


@pytest.mark.parametrize(
    "exp",
    [[], [op("not", 0)], [B(True), op("+", 0, 2)]],
    ids=["empty", "operand-at-its-node", "operand-after-its-node"],
)
def test_simplify_of_malformed_lists_is_an_internal_failure(exp, PanicException):
    with pytest.raises(PanicException):
        q.simplify(exp, {})


@pytest.mark.parametrize(
    "exp, assignments, message",
    [
        ([F(0)], {0: op("not", 0)}, "cycle"),
        ([F(0), F(1), op("and", 0, 1)], {0: op("not", 1), 1: op("not", 0)}, "cycle"),
        ([F(0), I(1), op("<=", 0, 1)], {0: op("-", 1, 3)}, "beyond"),
        # x + x nested 64 times would repeat its nodes into 2^65 of them
        ([F(0)] + [op("+", k, k) for k in range(64)], {}, "too large"),
    ],
    ids=["value-at-itself", "values-through-each-other", "value-beyond-the-list", "result-too-large"],
)
def test_simplify_of_unreadable_values_or_huge_results_is_an_internal_failure(
    exp, assignments, message, PanicException, capfd
):
    with pytest.raises(PanicException):
        q.simplify(exp, assignments)
    assert message in capfd.readouterr().err


def test_simplify_assignment_keys_that_name_one_fluent_keep_the_later_value():
    class Zero:
        def __index__(self):
            return 0

    assert printed(q.simplify([F(0)], {0: I(1), Zero(): I(2)})) == ["Int(2)"]


@pytest.mark.parametrize(
    "args, error, note",
    [
        (("x", {}), TypeError, "exp"),
        (([I(1)], [(0, I(1))]), TypeError, "assignments"),
        (([I(1)], {-1: I(1)}), OverflowError, "assignments"),
        (([I(1)], {"0": I(1)}), TypeError, "assignments"),
        (([I(1)], {0: 1}), TypeError, "assignments"),
    ],
)
def test_simplify_argument_conversion(args, error, note):
    with pytest.raises(error) as info:
        q.simplify(*args)
    assert info.value.__notes__ == [f"while processing '{note}'"]
