"""A heuristic written in Python: a robot crosses a field with pits.

The robot walks on a 6 x 6 grid from the corner (0, 0) to the corner (5, 5), one cell north, south,
east or west at a time. Some cells are pits. The task itself knows nothing about pits; the
heuristic does: it returns the Manhattan distance to the target, and None for a state with the
robot in a pit. None means "dead end": the search drops the state and never expands it, so no plan
it returns passes through a pit.
"""
import quendral as q

SIZE = 6
X, Y = 0, 1
TARGET = (5, 5)
PITS = {(1, 0), (1, 1), (1, 2), (1, 3), (3, 5), (3, 4), (3, 3), (3, 2), (4, 2)}

F, I = q.make_fluent_node, q.make_int_constant_node


def op(kind, *positions):
    return q.make_operator_node(kind, list(positions))


# Each move: (name, fluent, step, precondition). "x < 5" is written directly; "x > 0" as "0 < x".
moves = [
    ("east", X, 1, [F(X), I(SIZE - 1), op("<", 0, 1)]),
    ("west", X, -1, [I(0), F(X), op("<", 0, 1)]),
    ("north", Y, 1, [F(Y), I(SIZE - 1), op("<", 0, 1)]),
    ("south", Y, -1, [I(0), F(Y), op("<", 0, 1)]),
]
names = [name for name, _, _, _ in moves]
actions = [q.Action(i) for i in range(len(moves))]
events = {
    a: [(q.Timing(True, 0), q.Event(a, 0, pre, [], [], [q.Effect(fluent, [F(fluent), I(step), op("+", 0, 1)])]))]
    for a, (_, fluent, step, pre) in zip(actions, moves)
}
goal = [F(X), I(TARGET[0]), op("==", 0, 1), F(Y), I(TARGET[1]), op("==", 3, 4), op("and", 2, 5)]


def distance_avoiding_pits(state):
    """Called with a copy of each state the search evaluates; returns a number, or None for a dead
    end. get_value returns a node; int_constant reads an Int node's value."""
    x, y = state.get_value(X).int_constant, state.get_value(Y).int_constant
    if (x, y) in PITS:
        return None
    return abs(TARGET[0] - x) + abs(TARGET[1] - y)


def solve():
    space = q.SearchSpace([None] * len(actions), events, actions, None, None, None,
                          initial_state=[I(0), I(0)], goal=goal)
    # The second argument, cache_value_in_state, stores each value in the evaluated state so that a
    # second evaluation of the same state object does not call the function again.
    heuristic = q.Heuristic.custom(distance_avoiding_pits, False)
    plan, statistics = q.astar_search(space, heuristic, timeout=10.0)
    return space, plan, statistics


def show(plan, space):
    state, cells = space.initial_state(), [(0, 0)]
    for action in plan:
        state = space.get_successor_state(state, action)
        cells.append((state.get_value(X).int_constant, state.get_value(Y).int_constant))
    for y in reversed(range(SIZE)):
        row = ["X" if (x, y) in PITS else "*" if (x, y) in cells else "." for x in range(SIZE)]
        print("   ", " ".join(row))


if __name__ == "__main__":
    space, plan, statistics = solve()
    print("A* with the Python heuristic:", ", ".join(names[a.idx] for a in plan))
    print("statistics:", statistics)
    show(plan, space)  # X: pit, *: the robot's path
