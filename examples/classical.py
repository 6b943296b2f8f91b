"""A classical task: a robot carries two parcels between rooms.

Three rooms in a row, hall - office - lab, and two parcels. The robot moves between neighbouring
rooms, picks a parcel up in the room it is in and puts it down again. It has one gripper, so it
carries one parcel at a time. At the start the robot and both parcels are in the hall; the goal is
parcel a in the lab and parcel b in the office.

quendral does not read task files: the caller grounds the task itself. Every fluent (state
variable) gets an index, every ground action gets an index, and every condition, effect value and
goal is an expression: a flat list of nodes in post-order (operands first, the root last).
"""
import quendral as q

# ---------------------------------------------------------------- fluents
#
# Fluents hold object names here: the robot's room, and each parcel's place (a room, or "robot"
# while it is carried). A Boolean fluent says whether the gripper is free.
ROOMS = ["hall", "office", "lab"]
PARCELS = ["a", "b"]
ROBOT_AT, GRIPPER_FREE = 0, 1
PARCEL_AT = {"a": 2, "b": 3}
N_FLUENTS = 4


# ---------------------------------------------------------------- expression helpers
#
# Each helper returns a complete node list. `conjunction` joins several of them under one "and":
# the operand positions of each part are moved up by the number of nodes before it
# (`shift_expression`), and the "and" node lists the position of each part's root.

def is_object(fluent, name):
    """fluent == name"""
    return [q.make_fluent_node(fluent), q.make_object_node(name), q.make_operator_node("==", [0, 1])]


def is_true(fluent):
    return [q.make_fluent_node(fluent)]


def conjunction(*parts):
    nodes, roots = [], []
    for part in parts:
        nodes += q.shift_expression(part, len(nodes))
        roots.append(len(nodes) - 1)
    return nodes + [q.make_operator_node("and", roots)]


def obj(name):
    return [q.make_object_node(name)]


TRUE = [q.make_bool_constant_node(True)]
FALSE = [q.make_bool_constant_node(False)]

# ---------------------------------------------------------------- ground actions
#
# Each ground action is (name, precondition, effects). An effect sets one fluent to the value of an
# expression; the value is computed in the state before the action.
ground = []
for i in range(len(ROOMS) - 1):
    for here, there in [(ROOMS[i], ROOMS[i + 1]), (ROOMS[i + 1], ROOMS[i])]:
        ground.append((f"move {here} -> {there}", is_object(ROBOT_AT, here),
                       [q.Effect(ROBOT_AT, obj(there))]))
for parcel in PARCELS:
    for room in ROOMS:
        ground.append((f"pick {parcel} in {room}",
                       conjunction(is_object(ROBOT_AT, room), is_object(PARCEL_AT[parcel], room),
                                   is_true(GRIPPER_FREE)),
                       [q.Effect(PARCEL_AT[parcel], obj("robot")), q.Effect(GRIPPER_FREE, FALSE)]))
        ground.append((f"drop {parcel} in {room}",
                       conjunction(is_object(ROBOT_AT, room), is_object(PARCEL_AT[parcel], "robot")),
                       [q.Effect(PARCEL_AT[parcel], obj(room)), q.Effect(GRIPPER_FREE, TRUE)]))

names = [name for name, _, _ in ground]
actions = [q.Action(i) for i in range(len(ground))]  # numbered 0 .. n-1, in this order

# A classical action is one event at its start: a single (Timing, Event) pair. The Event carries the
# precondition as `conditions`; the two lists of durative conditions stay empty.
events = {
    action: [(q.Timing(True, 0), q.Event(action, 0, pre, [], [], effects))]
    for action, (_, pre, effects) in zip(actions, ground)
}

initial = [q.make_object_node("hall"), q.make_bool_constant_node(True),
           q.make_object_node("hall"), q.make_object_node("hall")]  # one node per fluent, in order
goal = conjunction(is_object(PARCEL_AT["a"], "lab"), is_object(PARCEL_AT["b"], "office"))


def solve():
    # The classical form of a SearchSpace: no durations (one None per action), no compression and
    # no object pruning (three Nones).
    space = q.SearchSpace([None] * len(actions), events, actions, None, None, None,
                          initial_state=initial, goal=goal)

    # The heuristics take the same task, plus the type of every fluent ("bool", "int", "real" or
    # the name of an object type) and the objects of each object type.
    hff = q.Heuristic.hff(actions=actions, fluent_types=["room", "bool", "place", "place"],
                          objects={"room": ROOMS, "place": ROOMS + ["robot"]}, events=events, goals=goal,
                          internal_caching=True, cache_value_in_state=False,
                          inadmissible_numeric_heuristic_variant=False)

    plan, statistics = q.gbfs_search(space, hff, timeout=10.0)
    return space, plan, statistics


if __name__ == "__main__":
    space, plan, statistics = solve()
    # A plan is a list of Action objects (or None when no plan was found); their idx is the number
    # this program gave them.
    print("plan found by greedy best-first search with hff:")
    for step, action in enumerate(plan, 1):
        print(f"  {step}. {names[action.idx]}")
    print("statistics:", statistics)  # every value is a string

    # Replaying the plan shows where the parcels end up.
    state = space.initial_state()
    for action in plan:
        state = space.get_successor_state(state, action)
    print("parcel a in:", state.get_value(PARCEL_AT["a"]).object, "| parcel b in:",
          state.get_value(PARCEL_AT["b"]).object, "| goal reached:", space.goal_reached(state))

    # Breadth-first search needs no heuristic and finds a plan with the fewest steps, but it keeps
    # every state it generates (it has no duplicate detection): use it on small tasks only.
    plan, statistics = q.bfs_search(space, timeout=10.0)
    print(f"breadth-first search: {len(plan)} steps, {statistics['expanded_states']} states expanded")
