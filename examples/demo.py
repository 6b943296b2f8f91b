"""A first look at quendral: building expressions node by node.

An expression is a flat list of nodes in post-order: operands come before the operators that
use them, and the last node is the root. This one says "fuel(0) - 2 <= 5/2 and at(1) == depot".
"""
import quendral as q

condition = [
    q.make_fluent_node(0),                   # 0: fuel
    q.make_int_constant_node(2),             # 1: 2
    q.make_operator_node("-", [0, 1]),       # 2: fuel - 2
    q.make_rational_constant_node(5, 2),     # 3: 5/2
    q.make_operator_node("<=", [2, 3]),      # 4: fuel - 2 <= 5/2
    q.make_fluent_node(1),                   # 5: at
    q.make_object_node("depot"),             # 6: depot
    q.make_operator_node("==", [5, 6]),      # 7: at == depot
    q.make_operator_node("and", [4, 7]),     # 8: the root
]

for position, node in enumerate(condition):
    print(f"{position}: {node!r}")
print("root:", condition[-1])
print("exact constant:", condition[3].real_constant)

# Simplifying under what is known: with fuel = 3 the numeric half is decided, and only the
# condition on the location is left.
known = {0: q.make_int_constant_node(3)}
print("with fuel = 3:", q.simplify(condition, known))
print("re-based by 10:", q.shift_expression(condition, 10)[-1])
