"""Small planning tasks built through the module's own surface, shared by the Python tests."""
from fractions import Fraction

import quendral as q


def conjunction(facts):
    """The node list of `fluent == value and ...` over (fluent, value) pairs; true when empty."""
    if not facts:
        return [q.make_bool_constant_node(True)]
    nodes, roots = [], []
    for fluent, value in facts:
        nodes.append(q.make_fluent_node(fluent))
        nodes.append(q.make_int_constant_node(value))
        nodes.append(q.make_operator_node("==", [len(nodes) - 2, len(nodes) - 1]))
        roots.append(len(nodes) - 1)
    if len(roots) == 1:
        return nodes
    nodes.append(q.make_operator_node("and", roots))
    return nodes


def const(value):
    return [q.make_int_constant_node(value)]


def increment(fluent):
    """fluent + 1"""
    return [q.make_fluent_node(fluent), q.make_int_constant_node(1), q.make_operator_node("+", [0, 1])]


def classical_events(actions):
    """The events table of `classical`'s actions: one event each."""
    events = {}
    for i, (pre, effects) in enumerate(actions):
        effect_list = [q.Effect(f, value) for f, value in effects.items()]
        events[q.Action(i)] = [(q.Timing(True, 0), q.Event(q.Action(i), 0, conjunction(pre), [], [], effect_list))]
    return events


def description(events, n_fluents, goal_nodes, fluent_types=None, objects=None):
    """The task description the heuristic factories take, in their parameter order (the first
    five parameters) as a dict of keyword arguments."""
    return {"actions": [q.Action(i) for i in range(len(events))],
            "fluent_types": fluent_types or ["int"] * n_fluents, "objects": objects or {},
            "events": events, "goals": goal_nodes}


def classical(init, actions, goal, relevant=None):
    """A task without durative actions: `actions` is a list of (precondition facts, effects), the
    effects a dict fluent -> node list."""
    events = classical_events(actions)
    return q.SearchSpace(
        [None] * len(actions), events, [q.Action(i) for i in range(len(actions))], None, None, None,
        initial_state=[q.make_int_constant_node(v) for v in init], goal=conjunction(goal),
        relevant_actions=None if relevant is None else [q.Action(i) for i in relevant])


def durative(init, actions, goal, compression_safe=None, epsilon=None):
    """A task with durative actions: `actions` is a list of (bounds, events) where bounds is None
    or (lo, hi, lower_open, upper_open) with int bounds, and events a list of
    (at_start, delay, precondition facts, effects)."""
    events, durations = {}, []
    for i, (bounds, timed) in enumerate(actions):
        if bounds is None:
            durations.append(None)
        else:
            lo, hi, lower_open, upper_open = bounds
            durations.append((const(lo), const(hi), lower_open, upper_open))
        events[q.Action(i)] = [
            (q.Timing(at_start, Fraction(delay)),
             q.Event(q.Action(i), pos, conjunction(pre), [], [], [q.Effect(f, v) for f, v in effects.items()]))
            for pos, (at_start, delay, pre, effects) in enumerate(timed)
        ]
    return q.SearchSpace(
        durations, events, [q.Action(i) for i in range(len(actions))], compression_safe, None, None,
        initial_state=[q.make_int_constant_node(v) for v in init], goal=conjunction(goal), epsilon=epsilon)
