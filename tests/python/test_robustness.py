"""Deep and long inputs: the module answers (possibly with an error), it never crashes."""
import quendral as q

MILLION = 1_000_000


def test_operator_with_a_million_operands():
    node = q.make_operator_node("and", range(MILLION))
    assert repr(node).startswith("And([0, 1, 2, ")


def test_million_node_lists_are_accepted_wherever_an_expression_is_taken():
    # Functions that take an expression are found by their parameter names; each must take a
    # node list of a million nodes and answer.
    nodes = [q.make_fluent_node(0)] + [q.make_operator_node("not", [i]) for i in range(MILLION - 1)]
    import inspect

    expression_parameters = {"exp", "expr"}
    for name in q.__all__:
        target = getattr(q, name)
        try:
            parameters = inspect.signature(target).parameters
        except (TypeError, ValueError):
            continue
        if expression_parameters & set(parameters):
            raise AssertionError(f"{name} takes an expression: give it a case in this test")
    assert len(nodes) == MILLION
