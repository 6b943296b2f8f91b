"""Start-up, registration, class rules and argument parsing of the module."""
import importlib.util
import inspect
import sys

import pytest

import quendral

# Every name the module registers, in registration order.
ALL_NAMES = [
    "ExpressionNode", "Effect", "Timing", "Event", "Action", "SearchSpace", "State", "Heuristic",
    "make_operator_node", "make_bool_constant_node", "make_int_constant_node",
    "make_rational_constant_node", "make_object_node", "make_fluent_node", "shift_expression",
    "dfs_search", "bfs_search", "multiqueue_search", "wastar_search", "wastar_search_memory_bounded",
    "astar_search", "astar_search_memory_bounded", "gbfs_search", "gbfs_search_memory_bounded",
    "ehc_search", "evaluate", "simplify", "get_fluents",
]

SIGNATURES = {
    "make_operator_node": "(kind, operands)",
    "make_bool_constant_node": "(v)",
    "make_int_constant_node": "(v)",
    "make_rational_constant_node": "(numerator, denominator)",
    "make_object_node": "(name)",
    "make_fluent_node": "(fluent)",
    "shift_expression": "(exp, offset)",
    "evaluate": "(exp, state)",
    "simplify": "(exp, assignments)",
    "get_fluents": "(expr)",
}

IMPORT_SYSTEM_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_all_lists_registered_names_in_registration_order():
    assert quendral.__all__ == [n for n in ALL_NAMES if hasattr(quendral, n)]
    for name in ["ExpressionNode", *SIGNATURES]:
        assert name in quendral.__all__


def test_module_has_no_attributes_beyond_its_registrations():
    own = set(vars(quendral)) - IMPORT_SYSTEM_ATTRIBUTES
    assert own == set(quendral.__all__) | {"__all__"}
    assert quendral.__doc__


def test_functions_carry_their_text_signature():
    for name, signature in SIGNATURES.items():
        function = getattr(quendral, name)
        assert str(inspect.signature(function)) == signature
        assert function.__text_signature__ == signature
        assert function.__module__ == "quendral"
        assert function.__self__ is quendral


def test_second_module_body_in_one_process_fails_import(PanicException):
    spec = importlib.util.spec_from_file_location("quendral", quendral.__file__)
    again = importlib.util.module_from_spec(spec)
    with pytest.raises(PanicException):
        spec.loader.exec_module(again)
    # The module imported first keeps working.
    assert repr(quendral.make_fluent_node(1)) == "Fluent(1)"
    assert sys.modules["quendral"] is quendral


def test_panic_exception_is_a_base_exception_with_its_qualified_name(PanicException):
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__name__ == "PanicException"
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)


class TestExpressionNodeClass:
    node = quendral.make_int_constant_node(1)

    def test_cannot_be_instantiated_or_subclassed(self):
        with pytest.raises(TypeError):
            quendral.ExpressionNode()
        with pytest.raises(TypeError):
            type("Sub", (quendral.ExpressionNode,), {})

    def test_is_frozen_without_instance_dict_or_weak_references(self):
        import weakref

        with pytest.raises(AttributeError):
            self.node.int_constant = 2
        with pytest.raises(AttributeError):
            self.node.extra = 2
        assert not hasattr(self.node, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(self.node)
        with pytest.raises(TypeError):
            quendral.ExpressionNode.extra = 1

    def test_bare_type_name_and_identity_equality(self):
        assert type(self.node).__name__ == "ExpressionNode"
        assert type(self.node).__qualname__ == "ExpressionNode"
        twin = quendral.make_int_constant_node(1)
        assert self.node != twin and self.node == self.node
        assert len({self.node, twin}) == 2
        assert hash(self.node) == object.__hash__(self.node)


@pytest.mark.parametrize(
    "call",
    [
        lambda: quendral.make_fluent_node(),
        lambda: quendral.make_fluent_node(1, 2),
        lambda: quendral.make_fluent_node(1, fluent=1),
        lambda: quendral.make_fluent_node(index=1),
        lambda: quendral.make_rational_constant_node(1, numerator=1),
        lambda: quendral.make_rational_constant_node(denominator=1),
    ],
    ids=["missing", "surplus", "duplicate", "unknown", "duplicate-second", "missing-first"],
)
def test_argument_count_errors_are_type_errors_without_notes(call):
    with pytest.raises(TypeError) as info:
        call()
    assert not getattr(info.value, "__notes__", None)


def test_argument_errors_come_before_any_conversion():
    class Exploding:
        def __index__(self):
            raise AssertionError("converted")

    with pytest.raises(TypeError):
        quendral.make_rational_constant_node(Exploding(), 1, 2)


def test_keyword_arguments():
    assert repr(quendral.make_fluent_node(fluent=2)) == "Fluent(2)"
    assert repr(quendral.make_rational_constant_node(denominator=4, numerator=2)) == (
        "Rational(Ratio { numer: 1, denom: 2 })"
    )
    assert repr(quendral.make_operator_node(operands=[0, 1], kind="<=")) == "LE(0, 1)"
