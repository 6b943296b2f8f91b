"""A temporal task turned into a timed plan: breakfast, tea and toast at once.

Actions take time and may overlap. Each durative action is a list of timed events, here one at its
start and one at its end. The search interleaves the events of running actions; `build_plan` then
gives every action instance an exact start time and duration.

  switch on   (instantaneous) the power comes on.
  fill kettle (1 minute)      the kettle is full at the end.
  boil water  (4 minutes)     needs a full kettle at its start and power throughout; hot water at the end.
  toast bread (2 to 3 min.)   needs power throughout; toast at the end.
  brew tea    (3 minutes)     needs hot water at its start; tea at the end.

Goal: tea and toast, within 10 minutes.
"""
from fractions import Fraction

import quendral as q

POWER, KETTLE_FULL, WATER_HOT, TEA, TOAST = range(5)

TRUE = [q.make_bool_constant_node(True)]


def holds(fluent):
    return [q.make_fluent_node(fluent)]


def both(a, b):
    """Two Boolean fluents joined by "and" (node list: fluent, fluent, and)."""
    return [q.make_fluent_node(a), q.make_fluent_node(b), q.make_operator_node("and", [0, 1])]


def becomes_true(fluent):
    return q.Effect(fluent, TRUE)


def minutes(n):
    return [q.make_int_constant_node(n)]


# ---------------------------------------------------------------- actions and their events
#
# An Event is (action, pos, conditions, start_conditions, end_conditions, effects):
#   pos               its place in the action's event list (0, 1, ...), which it must equal;
#   conditions        one expression that must hold when the event happens ("at start", "at end");
#   start_conditions  expressions that must hold from this event on ...
#   end_conditions    ... until the event that lists them here ("over all" = opened at the start
#                     event, closed at the end event).
# Each event is paired with a Timing(start, delay): measured from the action's start (True) or end
# (False), `delay` later (an int or a Fraction).
AT_START, AT_END = q.Timing(True, 0), q.Timing(False, 0)

plan_names = ["switch on", "fill kettle", "boil water", "toast bread", "brew tea"]
switch_on, fill, boil, toast, brew = actions = [q.Action(i) for i in range(5)]

events = {
    switch_on: [(AT_START, q.Event(switch_on, 0, TRUE, [], [], [becomes_true(POWER)]))],
    fill: [(AT_START, q.Event(fill, 0, TRUE, [], [], [])),
           (AT_END, q.Event(fill, 1, TRUE, [], [], [becomes_true(KETTLE_FULL)]))],
    boil: [(AT_START, q.Event(boil, 0, both(KETTLE_FULL, POWER), [holds(POWER)], [], [])),
           (AT_END, q.Event(boil, 1, TRUE, [], [holds(POWER)], [becomes_true(WATER_HOT)]))],
    toast: [(AT_START, q.Event(toast, 0, TRUE, [holds(POWER)], [], [])),
            (AT_END, q.Event(toast, 1, TRUE, [], [holds(POWER)], [becomes_true(TOAST)]))],
    brew: [(AT_START, q.Event(brew, 0, holds(WATER_HOT), [], [], [])),
           (AT_END, q.Event(brew, 1, TRUE, [], [], [becomes_true(TEA)]))],
}

# Durations, one entry per action in idx order: None for an instantaneous action, otherwise
# (lower bound, upper bound, lower bound open?, upper bound open?), the bounds being expressions.
# The two Booleans make a bound strict: (2, 3, False, False) means 2 <= duration <= 3.
durations = [None, (minutes(1), minutes(1), False, False), (minutes(4), minutes(4), False, False),
             (minutes(2), minutes(3), False, False), (minutes(3), minutes(3), False, False)]

FALSE = q.make_bool_constant_node(False)
initial = [FALSE] * 5
goal = both(TEA, TOAST)


def solve():
    # deadline: every action must end by then; epsilon: the least time between two events that
    # touch the same fluents (an int or a Fraction; the default is 1/100).
    space = q.SearchSpace(durations, events, actions, None, None, None, initial_state=initial, goal=goal,
                          deadline=10, epsilon=Fraction(1, 10))
    hff = q.Heuristic.hff(actions, ["bool"] * 5, {}, events, goal, internal_caching=True,
                          cache_value_in_state=False, inadmissible_numeric_heuristic_variant=False)
    plan, statistics = q.gbfs_search(space, hff, timeout=10.0)
    return space, plan, statistics


if __name__ == "__main__":
    space, plan, statistics = solve()
    # The plan lists one action per applied event: a durative action appears twice, first for its
    # start, then for its end.
    print("events in search order:", ", ".join(plan_names[a.idx] for a in plan))
    print("statistics:", statistics)
    print("timed plan (start, action, duration):")
    # build_plan gives exact times as "numerator/denominator" strings, and None as the duration of
    # an instantaneous action; Fraction reads those strings directly.
    for start, action, duration in space.build_plan(plan):
        begin = Fraction(start)
        length = Fraction(duration) if duration is not None else Fraction(0)
        print(f"  {float(begin):5.2f} .. {float(begin + length):5.2f}  {plan_names[action.idx]:<12}"
              f" (start {start}, duration {duration})")
