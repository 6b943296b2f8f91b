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

# ---------------------------------------------------------------- a small temporal task
#
# A rover must take a picture of a rock. Fluents: 0 = camera calibrated, 1 = at the rock,
# 2 = picture taken. Three durative actions:
#   calibrate (duration 2): sets "calibrated" at its end;
#   drive (duration 3 to 5): requires not being at the rock at its start, arrives at its end;
#   shoot (duration 1): needs "calibrated" at its start, "at the rock" over all, still
#   "calibrated" at its end, and stores the picture at its end.
# Each action is a list of (Timing, Event): an event at its start and one at its end.
print()
print("A temporal task, step by step")

T = q.make_bool_constant_node(True)
F = q.make_bool_constant_node(False)


def fluent(i):
    return [q.make_fluent_node(i)]


def not_fluent(i):
    return [q.make_fluent_node(i), q.make_operator_node("not", [0])]


def number(n):
    return [q.make_int_constant_node(n)]


names = ["calibrate", "drive", "shoot"]
calibrate, drive, shoot = (q.Action(i) for i in range(3))
at_start, at_end = q.Timing(True, 0), q.Timing(False, 0)
events = {
    calibrate: [(at_start, q.Event(calibrate, 0, [T], [], [], [])),
                (at_end, q.Event(calibrate, 1, [T], [], [], [q.Effect(0, [T])]))],
    drive: [(at_start, q.Event(drive, 0, not_fluent(1), [], [], [])),
            (at_end, q.Event(drive, 1, [T], [], [], [q.Effect(1, [T])]))],
    # "at the rock" is opened as a durative condition at the start and closed at the end.
    shoot: [(at_start, q.Event(shoot, 0, fluent(0), [fluent(1)], [], [])),
            (at_end, q.Event(shoot, 1, fluent(0), [], [fluent(1)], [q.Effect(2, [T])]))],
}
durations = [(number(2), number(2), False, False), (number(3), number(5), False, False),
             (number(1), number(1), False, False)]
space = q.SearchSpace(durations, events, [calibrate, drive, shoot], None, None, None,
                      initial_state=[F, F, F], goal=fluent(2), deadline=20)


def show(label, state):
    steps = ", ".join(f"{names[a.idx]}[{'start' if pos == 0 else 'end'} #{k}]" for a, pos, k in state.path)
    running = {names[a.idx]: pos for a, (pos, _) in state.todo.items()}
    print(f"{label:<28} g={state.g:<4} running={running} path: {steps or '-'}")


# Instance numbers (#k) come from one counter of the space: every start it tries advances it, also
# the trial starts made when listing successors, so the numbers jump between steps.
state = space.initial_state()
show("root", state)
print("  shoot applicable at the root?", space.get_successor_state(state, shoot) is not None)
for action, label in [(calibrate, "start calibrate"), (drive, "start drive"), (calibrate, "end calibrate"),
                      (drive, "end drive"), (shoot, "start shoot"), (shoot, "end shoot")]:
    state = space.get_successor_state(state, action)
    show(label, state)
    print("  goal reached?", space.goal_reached(state), "| successors:", len(space.get_successor_states(state)))
print("picture taken:", state.get_value(2))

# ---------------------------------------------------------------- searching it
#
# Breadth-first search finds a plan with the fewest steps; the plan lists one action per applied
# event, so each durative action appears twice (its start, then its end). `build_plan` turns it
# into a timed plan: one (start, action, duration) per action instance, exact times as
# "numerator/denominator". Interfering events are kept epsilon (1/100) apart.
print()
print("Solved by breadth-first search")
plan, statistics = q.bfs_search(space, timeout=10.0)
print("plan:", [names[a.idx] for a in plan])
print("statistics:", statistics)
for start, action, duration in space.build_plan(plan):
    print(f"  at {start:>8}  {names[action.idx]:<10} for {duration}")

# ---------------------------------------------------------------- heuristics
#
# A heuristic is built from the same task description as the space, plus the type of every
# fluent ("bool", "int", "real" or an object type) and the objects of each type. The
# delete-relaxation heuristics count relaxed events to the goal; the explicit-value h-max counts
# layers of a relaxed exploration; any Python function of a state can serve too.
print()
print("Heuristics at the root")
task = dict(actions=[calibrate, drive, shoot], fluent_types=["bool", "bool", "bool"], objects={}, events=events,
            goals=fluent(2))
flags = dict(internal_caching=True, cache_value_in_state=False, inadmissible_numeric_heuristic_variant=False)
hff = q.Heuristic.hff(**task, **flags)
heuristics = [hff, q.Heuristic.hadd(**task, **flags), q.Heuristic.hmax(**task, **flags),
              q.Heuristic.hmax_explicit(**task, **flags),
              q.Heuristic.custom(lambda s: 0.0 if s.get_value(2).bool_constant else 1.0, False)]
root = space.initial_state()
for h in heuristics:
    print(f"  {h.name:<14} {h.eval(root, space)}")
print("  reachable actions:", sorted(names[a.idx] for a in hff.reachable_actions(root)))


def solve(label, search, *args):
    plan, statistics = search(space, *args, timeout=10.0)
    print(f"{label}: {len(plan)} events, {statistics}")
    for start, action, duration in space.build_plan(plan):
        print(f"  at {start:>8}  {names[action.idx]:<10} for {duration}")


print()
solve("Greedy best-first search with hff", q.gbfs_search, hff)
solve("Memory-bounded A* with hmax", q.astar_search_memory_bounded, heuristics[2])
solve("Multi-queue search with hff and hadd", q.multiqueue_search, [(hff, 1.0), (heuristics[1], 1.0)])
