"""Deep and long inputs: the module answers (possibly with an error), it never crashes."""
import quendral as q

MILLION = 1_000_000


def test_operator_with_a_million_operands():
    node = q.make_operator_node("and", range(MILLION))
    assert repr(node).startswith("And([0, 1, 2, ")


def not_chain():
    """Fluent 0 under 999,999 negations, each the operand of the next."""
    return [q.make_fluent_node(0)] + [q.make_operator_node("not", [i]) for i in range(MILLION - 1)]


def plus_chain(depth):
    """((f0 + 1) + 1) + ... nested `depth` deep, every sum of two operands."""
    one = q.make_int_constant_node(1)
    nodes = [q.make_fluent_node(0)]
    for _ in range(depth):
        nodes.append(one)
        nodes.append(q.make_operator_node("+", [len(nodes) - 2, len(nodes) - 1]))
    return nodes


def shift_a_million(nodes):
    shifted = q.shift_expression(nodes, 2**63)
    assert len(shifted) == MILLION
    assert repr(shifted[-1]) == f"Not({2**63 + MILLION - 2})"


def simplify_a_million(nodes):
    assert len(q.simplify(nodes, {})) == MILLION
    # an odd number of negations of false
    assert [repr(n) for n in q.simplify(nodes, {0: q.make_bool_constant_node(False)})] == ["Bool(true)"]


def evaluate_a_million(nodes):
    # The list is converted in full and a non-state refused after it; then evaluated over a real
    # state: an odd number of negations of true.
    import pytest

    with pytest.raises(TypeError) as info:
        q.evaluate(nodes, None)
    assert info.value.__notes__ == ["while processing 'state'"]
    space = q.SearchSpace([None], {}, [q.Action(0)], None, None, None, [q.make_bool_constant_node(True)])
    assert repr(q.evaluate(nodes, space.initial_state())) == "Bool(false)"


def get_fluents_a_million(nodes):
    assert q.get_fluents(nodes) == [0]


# Every function that takes an expression, and what it must answer for a million-node list.
MILLION_NODE_CALLS = {
    "evaluate": evaluate_a_million,
    "shift_expression": shift_a_million,
    "simplify": simplify_a_million,
    "get_fluents": get_fluents_a_million,
}


def test_million_node_lists_are_accepted_wherever_an_expression_is_taken():
    # Functions that take an expression are found by their parameter names; each must take a
    # node list of a million nodes and answer.
    nodes = not_chain()
    assert len(nodes) == MILLION
    import inspect

    expression_parameters = {"exp", "expr"}
    for name in q.__all__:
        target = getattr(q, name)
        try:
            parameters = inspect.signature(target).parameters
        except (TypeError, ValueError):
            continue
        if expression_parameters & set(parameters):
            assert name in MILLION_NODE_CALLS, f"{name} takes an expression: give it a case in this test"
            MILLION_NODE_CALLS[name](nodes)


def test_million_deep_sums_are_shifted_and_simplified():
    nodes = plus_chain(MILLION)
    shifted = q.shift_expression(nodes, 1)
    assert repr(shifted[-1]) == f"Plus([{2 * MILLION - 1}, {2 * MILLION}])"
    kept = q.simplify(nodes, {})
    assert len(kept) == len(nodes) and repr(kept[-1]) == repr(nodes[-1])
    folded = q.simplify(nodes, {0: q.make_int_constant_node(2**31 - 1)})
    assert [repr(n) for n in folded] == [f"Int({2**31 - 1 + MILLION})"]
