"""A numeric task with exact rational numbers: a drone delivers a parcel and flies home.

The drone starts at its base (position 0) with 4 units of charge; its battery holds at most 6.
Every flight leg to the next position or back costs 3/2 units, the customer is at position 2, and
the drone may recharge at the base, 2 units at a time. The goal: the parcel delivered and the
drone back at the base. The round trip costs 6 units, so the drone must charge before it leaves.

All arithmetic is exact: the battery goes 4, 6, 9/2, 3, 3/2, 0, with no rounding anywhere.
"""
from fractions import Fraction

import quendral as q

BATTERY, POSITION, DELIVERED = 0, 1, 2
CUSTOMER = 2

F, I = q.make_fluent_node, q.make_int_constant_node
LEG = q.make_rational_constant_node(3, 2)  # 3/2, kept exactly


def op(kind, *positions):
    return q.make_operator_node(kind, list(positions))


# ---------------------------------------------------------------- expressions
#
# There is no ">=" or ">": "battery >= 3/2" is written "3/2 <= battery", with the operands swapped.
# "<", "<=" and "==" compare numbers; "+", "-", "*", "/" compute them. An increase is an effect
# whose value reads the fluent itself: battery := battery - 3/2.
enough_charge = [LEG, F(BATTERY), op("<=", 0, 1)]                         # 3/2 <= battery
not_at_customer_yet = [F(POSITION), I(CUSTOMER), op("<", 0, 1)]           # position < 2
away_from_base = [I(0), F(POSITION), op("<", 0, 1)]                       # 0 < position
at_base = [F(POSITION), I(0), op("==", 0, 1)]                             # position == 0
room_for_charge = [F(BATTERY), I(2), op("+", 0, 1), I(6), op("<=", 2, 3)]  # battery + 2 <= 6


def both(left, right):
    """left and right: the right part's operand positions move up by the length of the left part."""
    return left + q.shift_expression(right, len(left)) + [op("and", len(left) - 1, len(left) + len(right) - 1)]


def add(fluent, amount_nodes, kind="+"):
    """fluent + amount (or fluent - amount with kind "-"), for an effect value."""
    return [F(fluent)] + q.shift_expression(amount_nodes, 1) + [op(kind, 0, len(amount_nodes))]


ground = [
    ("fly out", both(enough_charge, not_at_customer_yet),
     [q.Effect(BATTERY, add(BATTERY, [LEG], "-")), q.Effect(POSITION, add(POSITION, [I(1)]))]),
    ("fly back", both(enough_charge, away_from_base),
     [q.Effect(BATTERY, add(BATTERY, [LEG], "-")), q.Effect(POSITION, add(POSITION, [I(1)], "-"))]),
    ("charge", both(at_base, room_for_charge), [q.Effect(BATTERY, add(BATTERY, [I(2)]))]),
    ("hand over parcel", [F(POSITION), I(CUSTOMER), op("==", 0, 1)],
     [q.Effect(DELIVERED, [q.make_bool_constant_node(True)])]),
]
names = [name for name, _, _ in ground]
actions = [q.Action(i) for i in range(len(ground))]
events = {a: [(q.Timing(True, 0), q.Event(a, 0, pre, [], [], effects))] for a, (_, pre, effects) in zip(actions, ground)}

# A "real" fluent may start as an Int node: 4 is the same number as 4/1 to every comparison and
# every operation ("==" is the exception: it compares nodes, and Int 4 differs from Rational 4/1).
initial = [I(4), I(0), q.make_bool_constant_node(False)]
goal = both([F(DELIVERED)], at_base)


def number(node):
    """The exact value of a numeric node as a Fraction: an Int node answers int_constant, a
    Rational node real_constant; arithmetic gives an Int whenever the result is whole."""
    return Fraction(node.int_constant) if node.int_constant is not None else node.real_constant


def solve():
    space = q.SearchSpace([None] * len(actions), events, actions, None, None, None,
                          initial_state=initial, goal=goal)
    # hadd rather than hff: hff counts an action that the relaxed plan needs several times (two
    # legs out, two back) only once, so on tasks built from repeated increments hadd guides better.
    hadd = q.Heuristic.hadd(actions, ["real", "int", "bool"], {}, events, goal, internal_caching=True,
                            cache_value_in_state=False, inadmissible_numeric_heuristic_variant=False)
    plan, statistics = q.gbfs_search(space, hadd, timeout=10.0)
    return space, plan, statistics


if __name__ == "__main__":
    space, plan, statistics = solve()
    print("plan found by greedy best-first search with hadd:", statistics)
    state = space.initial_state()
    print(f"  {'start':<20} battery {number(state.get_value(BATTERY))}")
    for step, action in enumerate(plan, 1):
        state = space.get_successor_state(state, action)
        battery = number(state.get_value(BATTERY))
        print(f"  {step}. {names[action.idx]:<17} battery {battery}  position {state.get_value(POSITION).int_constant}")
    print("goal reached:", space.goal_reached(state))
