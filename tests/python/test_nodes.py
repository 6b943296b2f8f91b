"""Expression nodes: the node functions, their attributes, printed forms and failures."""
import random
import unicodedata
from fractions import Fraction

import pytest

import quendral as q

ATTRIBUTES = ("fluent", "object", "bool_constant", "int_constant", "real_constant")


@pytest.mark.parametrize(
    "node, printed, attributes",
    [
        (q.make_bool_constant_node(True), "Bool(true)", {"bool_constant": True}),
        (q.make_bool_constant_node(False), "Bool(false)", {"bool_constant": False}),
        (q.make_int_constant_node(-12), "Int(-12)", {"int_constant": -12}),
        (q.make_int_constant_node(-(2**31)), "Int(-2147483648)", {"int_constant": -(2**31)}),
        (q.make_int_constant_node(2**31 - 1), "Int(2147483647)", {"int_constant": 2**31 - 1}),
        (q.make_rational_constant_node(4, 2), "Rational(Ratio { numer: 2, denom: 1 })", {"real_constant": Fraction(2)}),
        (q.make_rational_constant_node(1, -2), "Rational(Ratio { numer: -1, denom: 2 })",
         {"real_constant": Fraction(-1, 2)}),
        (q.make_rational_constant_node(0, 5), "Rational(Ratio { numer: 0, denom: 1 })", {"real_constant": Fraction(0)}),
        (q.make_rational_constant_node(-(2**31), -1), "Rational(Ratio { numer: 2147483648, denom: 1 })",
         {"real_constant": Fraction(2**31)}),
        (q.make_fluent_node(3), "Fluent(3)", {"fluent": 3}),
        (q.make_fluent_node(2**64 - 1), "Fluent(18446744073709551615)", {"fluent": 2**64 - 1}),
        (q.make_object_node("truck-1"), 'Object("truck-1")', {"object": "truck-1"}),
        (q.make_operator_node("and", []), "And([])", {}),
        (q.make_operator_node("or", [0, 1, 2]), "Or([0, 1, 2])", {}),
        (q.make_operator_node("not", [4, 7]), "Not(4)", {}),
        (q.make_operator_node("==", [0, 1, 9]), "Equals(0, 1)", {}),
        (q.make_operator_node("<=", [0, 1]), "LE(0, 1)", {}),
        (q.make_operator_node("<", [1, 0]), "LT(1, 0)", {}),
        (q.make_operator_node("+", []), "Plus([])", {}),
        (q.make_operator_node("-", [2**64 - 1, 0]), "Minus(18446744073709551615, 0)", {}),
        (q.make_operator_node("*", (5,)), "Times([5])", {}),
        (q.make_operator_node("/", [0, 1]), "Div(0, 1)", {}),
    ],
)
def test_printed_form_and_attributes(node, printed, attributes):
    assert repr(node) == printed
    assert str(node) == printed
    for name in ATTRIBUTES:
        expected = attributes.get(name)
        value = getattr(node, name)
        assert value == expected and type(value) is type(expected), name


def test_real_constant_is_a_new_fraction_each_time():
    node = q.make_rational_constant_node(3, 6)
    first, second = node.real_constant, node.real_constant
    assert type(first) is Fraction and first == Fraction(1, 2)
    assert first is not second
    assert q.make_int_constant_node(2).real_constant is None


@pytest.mark.parametrize("kind", [">", "!=", "AND", "", "not ", "≤"])
def test_unknown_operator(kind):
    with pytest.raises(ValueError) as info:
        q.make_operator_node(kind, [0, 1])
    assert str(info.value) == "Unknown operator: " + kind


OBJECT_NAMES = [
    ('a"b', r'"a\"b"'),
    ("line\nfeed", r'"line\nfeed"'),
    ("tab\tcr\rnul\0", r'"tab\tcr\rnul\0"'),
    ("back\\slash", r'"back\\slash"'),
    ("it's", '"it\'s"'),
    ("two words", '"two words"'),
    ("esc\x1b", r'"esc\u{1b}"'),
    ("nbsp\u00a0", r'"nbsp\u{a0}"'),
    ("zwsp\u200b", r'"zwsp\u{200b}"'),
    ("e\u0301", r'"e\u{301}"'),
    ("ls\u2028ps\u2029", r'"ls\u{2028}ps\u{2029}"'),
    ("private\ue000", r'"private\u{e000}"'),
    ("unassigned\U000e0080", r'"unassigned\u{e0080}"'),
    ("del\x7f", r'"del\u{7f}"'),
    ("café 東京 😀", '"café 東京 😀"'),
    ("", '""'),
]


@pytest.mark.parametrize("name, printed", OBJECT_NAMES)
def test_object_names_are_escaped(name, printed):
    node = q.make_object_node(name)
    assert repr(node) == "Object(" + printed + ")"
    assert node.object == name


def _escape_model(name):
    """Escaping for characters whose properties Python can tell (no combining marks)."""
    specials = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
    out = []
    for ch in name:
        category = unicodedata.category(ch)
        if ch in specials:
            out.append(specials[ch])
        elif category in ("Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp") or (category == "Zs" and ch != " "):
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def test_object_name_escaping_matches_model_on_random_names():
    pool = [chr(c) for c in range(0, 0x250)] + list("\u2000\u2028\u3000\u00ad\u200e\ufeff東京😀\ue000\uffff")
    pool = [ch for ch in pool if unicodedata.category(ch) not in ("Mn", "Me", "Mc")]
    rng = random.Random(1234)
    for _ in range(500):
        name = "".join(rng.choice(pool) for _ in range(rng.randrange(0, 12)))
        assert repr(q.make_object_node(name)) == "Object(" + _escape_model(name) + ")"


@pytest.mark.parametrize(
    "call, exception, note",
    [
        (lambda: q.make_int_constant_node(2**31), OverflowError, "v"),
        (lambda: q.make_int_constant_node(-(2**31) - 1), OverflowError, "v"),
        (lambda: q.make_int_constant_node(1.0), TypeError, "v"),
        (lambda: q.make_int_constant_node("1"), TypeError, "v"),
        (lambda: q.make_bool_constant_node(1), TypeError, "v"),
        (lambda: q.make_bool_constant_node(None), TypeError, "v"),
        (lambda: q.make_fluent_node(-1), OverflowError, "fluent"),
        (lambda: q.make_fluent_node(2**64), OverflowError, "fluent"),
        (lambda: q.make_fluent_node(1.5), TypeError, "fluent"),
        (lambda: q.make_operator_node("and", "01"), TypeError, "operands"),
        (lambda: q.make_operator_node("and", 3), TypeError, "operands"),
        (lambda: q.make_operator_node("and", [0, -1]), OverflowError, "operands"),
        (lambda: q.make_operator_node(b"and", [0]), TypeError, "kind"),
        (lambda: q.make_object_node("\ud800"), UnicodeEncodeError, "name"),
        (lambda: q.make_rational_constant_node(1, 2**31), OverflowError, "denominator"),
    ],
)
def test_conversion_failures_carry_the_parameter_note(call, exception, note):
    with pytest.raises(exception) as info:
        call()
    assert type(info.value) is exception
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_index_like_objects_and_numpy_scalars():
    np = pytest.importorskip("numpy")

    class Seven:
        def __index__(self):
            return 7

    assert q.make_fluent_node(Seven()).fluent == 7
    assert q.make_int_constant_node(np.int32(-5)).int_constant == -5
    assert q.make_bool_constant_node(np.True_).bool_constant is True
    assert q.make_bool_constant_node(np.bool_(False)).bool_constant is False
    with pytest.raises(TypeError):
        q.make_bool_constant_node(np.int8(1))
    with pytest.raises(TypeError):
        q.make_bool_constant_node(np.array([True]))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: q.make_operator_node("-", [0]), None),
        (lambda: q.make_operator_node("not", []), None),
        (lambda: q.make_rational_constant_node(1, 0), "denominator == 0"),
        # an Int beyond 32 bits (made by arithmetic) cannot be read through `int_constant`
        (lambda: q.simplify([q.make_int_constant_node(2**31 - 1), q.make_int_constant_node(1),
                             q.make_operator_node("+", [0, 1])], {})[0].int_constant, None),
    ],
)
def test_internal_failures_are_reported_and_the_interpreter_goes_on(call, message, PanicException, capfd):
    with pytest.raises(PanicException) as info:
        call()
    assert len(info.value.args) == 1
    if message is not None:
        assert info.value.args[0] == message
    assert "internal failure" in capfd.readouterr().err
    assert repr(q.make_int_constant_node(3)) == "Int(3)"

