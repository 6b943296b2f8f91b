"""Seeded fuzzer of quendral's Python surface.

It discovers what to call from the module itself: every registered function (parameters from
its text signature), every class's constructor, and the methods and attributes of every
instance the module hands out. It draws arguments from a pool of awkward values (integers at the
edges of every width, NaN and infinities, text with surrogates and control characters, nested
sequences, module objects, and objects whose __index__, __float__, __len__ or __iter__ raise or
lie) and fails on any exception the module does not document. A crash or a hang ends the process
(faulthandler reports where), which the caller sees as a failure.

    python tests/fuzz/fuzz_surface.py --calls 20000 --seed 1
"""
import argparse
import faulthandler
import inspect
import math
import random
import sys
import time
import traceback
from fractions import Fraction

import quendral

# Exceptions the module documents: conversion errors and its own messages.
DOCUMENTED = (
    TypeError,
    ValueError,
    OverflowError,
    ZeroDivisionError,
    NotImplementedError,
    RuntimeError,
    TimeoutError,
    AttributeError,
)


class HostileError(Exception):
    """Raised by the fuzzer's own hostile objects; the module must pass it on unchanged."""


def is_internal_failure(error):
    return type(error).__module__ == "pyo3_runtime" and type(error).__name__ == "PanicException"


# The plain `Exception`s the module raises, by message.
DOCUMENTED_MESSAGES = {
    "Overflow",
    "The initial state must be defined somewhere!",
    "The goal must be defined somewhere!",
    "The goal is not a boolean expression!",
    "An action condition is not a boolean expression!",
    "Fluent not found!",
}


def is_documented(error):
    if isinstance(error, (HostileError, *DOCUMENTED)):
        return True
    if type(error) is Exception and str(error) in DOCUMENTED_MESSAGES:
        return True
    return is_internal_failure(error)


# ---------------------------------------------------------------- hostile objects


class IndexRaises:
    def __index__(self):
        raise HostileError("__index__")


class IndexLies:
    def __index__(self):
        return "not an int"


class IndexHuge:
    def __index__(self):
        return 2**200


class FloatRaises:
    def __float__(self):
        raise HostileError("__float__")


class FloatLies:
    def __float__(self):
        return "not a float"


class LenRaises(list):
    def __len__(self):
        raise HostileError("__len__")


class LenLies(list):
    def __len__(self):
        return 10**9


class LenNegative:
    def __len__(self):
        return -1

    def __getitem__(self, i):
        raise IndexError(i)


class IterRaises(list):
    def __iter__(self):
        yield from super().__iter__()
        raise HostileError("__iter__")


class IterLies(list):
    def __iter__(self):
        return iter([None, "x", 1.5])


class GetItemRaises:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise HostileError("__getitem__")


class EqRaises:
    def __eq__(self, other):
        raise HostileError("__eq__")

    __hash__ = object.__hash__


class Mutator:
    """An index whose conversion empties the list being converted."""

    def __init__(self, victim):
        self.victim = victim

    def __index__(self):
        self.victim.clear()
        return 0


class StrSub(str):
    pass


class IntSub(int):
    pass


class FractionLiar(Fraction):
    @property
    def denominator(self):
        return 0


HOSTILE = [
    IndexRaises,
    IndexLies,
    IndexHuge,
    FloatRaises,
    FloatLies,
    LenNegative,
    GetItemRaises,
    EqRaises,
]

# ---------------------------------------------------------------- value pool


def edge_ints():
    values = [0, 1, -1]
    for bits in (7, 8, 15, 16, 31, 32, 53, 63, 64, 65, 128):
        for v in (2**bits - 1, 2**bits, 2**bits + 1):
            values += [v, -v]
    return values


EDGE_INTS = edge_ints()
FLOATS = [0.0, -0.0, 0.5, 1.0, -1.5, 1e308, -1e308, 5e-324, math.nan, math.inf, -math.inf]
OPERATORS = ["and", "or", "not", "==", "<=", "<", "+", "-", "*", "/", ">", "!=", "AND", ""]
TEXT_CHARS = ["a", "Z", " ", '"', "\\", "\n", "\t", "\0", "\x1b", "\u0301", "\u200b", "\u00a0", "\u2028",
              "\ud800", "\udfff", "\ue000", "é", "東", "😀", "'", "\x7f"]


class Fuzzer:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.pool = []  # module objects handed out so far
        self.node_pool = [quendral.make_int_constant_node(1)] if hasattr(quendral, "make_int_constant_node") else []
        self.limit = None  # total number of calls, when set
        self.spaces = []  # valid search spaces built by `build_task`
        self.heuristics = {}  # id of a valid space -> heuristics built over its task
        self.successors = 0  # successors reached by walking them
        self.calls = 0
        self.documented = 0
        self.internal_failures = 0

    # -- drawing values

    def text(self):
        r = self.rng
        if r.random() < 0.4:
            return r.choice(OPERATORS)
        return "".join(r.choice(TEXT_CHARS) for _ in range(r.randrange(0, 8)))

    def int_value(self):
        r = self.rng
        if r.random() < 0.6:
            return r.choice(EDGE_INTS)
        return r.randrange(-50, 50)

    def node_list(self):
        r = self.rng
        if not self.node_pool:
            return []
        return [r.choice(self.node_pool) for _ in range(r.randrange(0, 6))]

    def sequence(self, depth):
        r = self.rng
        items = [self.value(depth + 1) for _ in range(r.randrange(0, 5))]
        kind = r.randrange(8)
        if kind == 0:
            return tuple(items)
        if kind == 1:
            return LenRaises(items)
        if kind == 2:
            return LenLies(items)
        if kind == 3:
            return IterRaises(items)
        if kind == 4:
            return IterLies(items)
        if kind == 5:
            victim = [0, 1, 2]
            victim.append(Mutator(victim))
            return victim
        return items

    def value(self, depth=0):
        r = self.rng
        choice = r.randrange(22 if depth < 3 else 14)
        if choice <= 2:
            return self.int_value()
        if choice == 3:
            return r.choice(FLOATS)
        if choice == 4:
            return self.text()
        if choice == 5:
            return r.choice([None, True, False, b"and", IntSub(3), StrSub("and"), object()])
        if choice == 6:
            return r.choice(HOSTILE)()
        if choice == 7:
            return r.choice([Fraction(1, 2), Fraction(-7, 3), Fraction(2**40, 3), FractionLiar(1, 2), Fraction(0)])
        if choice in (8, 9):
            return r.choice(self.pool) if self.pool else self.int_value()
        if choice == 10:
            return self.node_list()
        if choice == 11:
            return [self.int_value() for _ in range(r.randrange(0, 5))]
        if choice == 12:
            return r.choice([quendral, type, len, lambda *a: None])
        if choice == 13:
            return r.choice([getattr(quendral, n) for n in quendral.__all__])
        if choice in (14, 15, 16):
            return self.sequence(depth)
        if choice == 17:
            return {self.int_value(): self.value(depth + 1) for _ in range(r.randrange(0, 3))}
        if choice == 18:
            return set(self.int_value() for _ in range(r.randrange(0, 3)))
        if choice == 19:
            return frozenset(self.int_value() for _ in range(r.randrange(0, 3)))
        if choice == 20:
            return (self.value(depth + 1), self.value(depth + 1))
        return tuple(self.value(depth + 1) for _ in range(4))

    # -- calling

    def arguments(self, parameters):
        """Positional and keyword arguments for `parameters`, now and then of the wrong shape."""
        r = self.rng
        args, kwargs = [], {}
        keyword = False
        for p in parameters:
            if p.default is not inspect.Parameter.empty and r.random() < 0.3:
                keyword = True
                continue
            keyword = keyword or r.random() < 0.3
            if keyword:
                kwargs[p.name] = self.value()
            else:
                args.append(self.value())
        shape = r.random()
        if shape < 0.03:
            args.append(self.value())
        elif shape < 0.06 and args:
            args.pop()
        elif shape < 0.08:
            kwargs["unknown_parameter"] = 1
        elif shape < 0.10 and parameters:
            kwargs[parameters[0].name] = self.value()
        return args, kwargs

    def remember(self, result):
        if type(result).__name__ in quendral.__all__:
            self.pool.append(result)
            if type(result).__name__ == "ExpressionNode":
                self.node_pool.append(result)
        elif isinstance(result, (list, tuple)):
            for item in result[:8]:
                self.remember(item)
        if len(self.pool) > 400:
            del self.pool[: len(self.pool) - 300]
        if len(self.node_pool) > 400:
            del self.node_pool[: len(self.node_pool) - 300]

    def call(self, description, function, *args, **kwargs):
        # A step may make several calls (building and walking a task); none beyond the budget.
        if self.limit is not None and self.calls >= self.limit:
            return None
        self.calls += 1
        try:
            result = function(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - sorting them is the job
            if not is_documented(error):
                print(f"fuzz: undocumented {type(error).__module__}.{type(error).__qualname__} from {description}",
                      file=sys.stderr)
                print(f"fuzz: args={args!r} kwargs={kwargs!r}", file=sys.stderr)
                traceback.print_exc()
                raise SystemExit(1)
            if is_internal_failure(error):
                self.internal_failures += 1
            else:
                self.documented += 1
            return None
        self.remember(result)
        return result

    # -- valid tasks, so that calls reach successor generation

    def task_expression(self, bools, ints):
        """A small condition or value over the task's fluents; now and then not Boolean, or failing."""
        q, r = quendral, self.rng
        f = q.make_fluent_node
        kind = r.randrange(9)
        if kind == 0:
            return [q.make_bool_constant_node(r.random() < 0.8)]
        if kind in (1, 2):
            return [f(r.randrange(bools))]
        if kind == 3:
            return [f(r.randrange(bools)), q.make_operator_node("not", [0])]
        if kind == 4:
            return [f(bools + r.randrange(ints)), q.make_int_constant_node(r.randrange(4)),
                    q.make_operator_node("<=", [0, 1])]
        if kind == 5:
            return [f(bools + r.randrange(ints)), q.make_int_constant_node(r.randrange(4)),
                    q.make_operator_node("==", [0, 1])]
        if kind == 6:
            return [f(r.randrange(bools)), f(r.randrange(bools)), q.make_operator_node("or", [0, 1])]
        if kind == 7:
            return [q.make_int_constant_node(r.randrange(3))]
        return [f(bools + r.randrange(ints)), q.make_int_constant_node(r.randrange(2)), q.make_operator_node("/", [0, 1]),
                q.make_int_constant_node(1), q.make_operator_node("<", [2, 3])]

    def build_task(self):
        """A valid search space over a few fluents and actions, and its root state, into the pool."""
        q, r = quendral, self.rng
        bools, ints = r.randrange(1, 4), r.randrange(1, 3)
        n = r.randrange(1, 5)
        temporal = r.random() < 0.7
        actions = [q.Action(i) for i in range(n)]
        durations, events = [], {}
        for a in actions:
            if temporal and (a.idx == 0 or r.random() < 0.7):
                lower = r.randrange(0, 4)
                durations.append(([q.make_rational_constant_node(lower, r.choice([1, 2, 4]))],
                                  [q.make_int_constant_node(lower + r.randrange(-1, 4))],
                                  r.random() < 0.3, r.random() < 0.3))
            else:
                durations.append(None)
            timed = []
            opened = None
            count = r.randrange(1, 4)
            for pos in range(count):
                start_conditions, end_conditions = [], []
                if pos == 0 and count > 1 and r.random() < 0.5:
                    opened = self.task_expression(bools, ints)
                    start_conditions.append(opened)
                if pos == count - 1 and opened is not None and r.random() < 0.7:
                    end_conditions.append(opened)
                effects = []
                for _ in range(r.randrange(0, 3)):
                    if r.random() < 0.6:
                        effects.append(q.Effect(r.randrange(bools), [q.make_bool_constant_node(r.random() < 0.5)]))
                    else:
                        target = bools + r.randrange(ints)
                        effects.append(q.Effect(target, [q.make_fluent_node(target), q.make_int_constant_node(1),
                                                         q.make_operator_node("+", [0, 1])]))
                timing = q.Timing(pos == 0 or r.random() < 0.4, Fraction(r.randrange(0, 5), r.choice([1, 2, 4])))
                timed.append((timing, q.Event(a, pos, self.task_expression(bools, ints), start_conditions,
                                              end_conditions, effects)))
            events[a] = timed
        safe = [r.random() < 0.5 if temporal else len(events[a]) == 1 for a in actions] if r.random() < 0.5 else None
        objects = prev = None
        if r.random() < 0.3:
            objects = [[o for o in ("o1", "o2") if r.random() < 0.5] for _ in actions]
            prev = {o: frozenset(a for a in actions if r.random() < 0.5) for o in ("o1", "o2") if r.random() < 0.7}
        initial = ([q.make_bool_constant_node(r.random() < 0.5) for _ in range(bools)]
                   + [q.make_int_constant_node(r.randrange(4)) for _ in range(ints)])
        goal = self.task_expression(bools, ints)
        deadline = r.randrange(2, 15) if temporal and r.random() < 0.3 else None
        epsilon = r.choice([None, Fraction(1, 4), Fraction(1, 1000), 1])
        space = self.call("SearchSpace (valid task)", q.SearchSpace, durations, events, actions, safe, objects, prev,
                          initial, goal, None, deadline, epsilon)
        if space is not None:
            self.call("SearchSpace.initial_state (valid task)", space.initial_state)
            self.spaces.append(space)
            for gone in self.spaces[:-20]:
                self.heuristics.pop(id(gone), None)
            del self.spaces[:-20]
            if hasattr(q, "Heuristic"):
                types = ["bool"] * bools + ["int"] * ints
                self.heuristics[id(space)] = [h for h in (self.build_heuristic(actions, types, events, goal)
                                                          for _ in range(r.randrange(1, 4))) if h is not None]

    def build_heuristic(self, actions, types, events, goal):
        """A heuristic over a valid task: one of the engine's, or a callable that returns numbers,
        None, non-numbers, or raises."""
        q, r = quendral, self.rng
        kind = r.choice(["hff", "hadd", "hmax", "hmax_explicit", "custom"])
        if kind == "custom":
            def callable_(state, r=random.Random(r.random())):
                choice = r.random()
                if choice < 0.05:
                    raise HostileError("from a heuristic")
                if choice < 0.1:
                    return r.choice([None, "3", math.nan, math.inf, True])
                return float(len(state.todo) + r.randrange(4))
            return self.call("Heuristic.custom (valid)", q.Heuristic.custom, callable_, r.random() < 0.5)
        kwargs = {} if kind == "hmax_explicit" or r.random() < 0.5 else {"disable_numeric_reasoning": r.random() < 0.5}
        return self.call(f"Heuristic.{kind} (valid task)", getattr(q.Heuristic, kind), actions, types, {}, events, goal,
                         r.random() < 0.5, r.random() < 0.5, r.random() < 0.5, **kwargs)

    def walk(self):
        """A few random steps through a valid space, from its root or from a state reached before."""
        r = self.rng
        space = r.choice(self.spaces)
        if r.random() < 0.25:
            self.search(space)
            return
        state = self.call("walk initial_state", space.initial_state)
        for _ in range(r.randrange(1, 12)):
            if state is None:
                return
            self.call("walk goal_reached", space.goal_reached, state)
            if r.random() < 0.3:
                self.call("walk subgoals_sat", space.subgoals_sat, state)
            if r.random() < 0.5:
                successors = self.call("walk get_successor_states", space.get_successor_states, state)
                state = r.choice(successors) if successors else None
            else:
                actions = space.relevant_actions  # the poker may have emptied it
                if not actions:
                    return
                action = r.choice(actions)
                state = self.call("walk get_successor_state", space.get_successor_state, state, action)
            if state is not None:
                self.successors += 1
                self.call("walk state getters", lambda s: (s.todo, s.path, s.g, s.get_value(0)), state)

    def search(self, space):
        """A short uninformed search on a valid space, and the plan it finds timed; or the timing of
        a path of random actions, which may not be replayable (an internal failure)."""
        q, r = quendral, self.rng
        heuristics = self.heuristics.get(id(space))
        if heuristics and r.random() < 0.6:
            self.informed_search(space, heuristics)
            return
        name = r.choice([n for n in ("bfs_search", "dfs_search") if hasattr(q, n)] or [None])
        if name and r.random() < 0.7:
            result = self.call(f"walk {name}", getattr(q, name), space, r.choice([0.0, 0.002, 0.005]),
                               r.random() < 0.5)
            if result is not None and result[0] is not None and hasattr(space, "build_plan"):
                self.call("walk build_plan (found plan)", space.build_plan, result[0])
        elif hasattr(space, "build_plan") and space.relevant_actions:
            path = [r.choice(space.relevant_actions) for _ in range(r.randrange(0, 6))]
            self.call("walk build_plan (random path)", space.build_plan, path)

    def informed_search(self, space, heuristics):
        """A short informed search with a heuristic of the space's own task, or a heuristic
        evaluated on a state reached there."""
        q, r = quendral, self.rng
        h = r.choice(heuristics)
        timeout = r.choice([0.0, 0.002, 0.005])
        early, weak = r.random() < 0.5, r.random() < 0.5
        choice = r.randrange(6)
        if choice == 0:
            result = self.call("walk multiqueue_search", q.multiqueue_search, space,
                               [(x, r.choice([0.0, 0.5, 1.0, 2.0, math.nan])) for x in r.sample(heuristics, len(heuristics))],
                               timeout, early, weak)
        elif choice == 1:
            result = self.call("walk ehc_search", q.ehc_search, space, h, timeout, early, weak)
        elif choice == 2:
            state = self.call("walk initial_state", space.initial_state)
            for _ in range(r.randrange(0, 4)):
                if state is None or not space.relevant_actions:
                    break
                state = self.call("walk get_successor_state", space.get_successor_state, state,
                                  r.choice(space.relevant_actions))
            if state is not None:
                self.call("walk Heuristic.eval", h.eval, state, space)
                self.call("walk Heuristic.reachable_actions", h.reachable_actions, state)
            return
        else:
            name = r.choice(["gbfs_search", "astar_search", "wastar_search", "gbfs_search_memory_bounded",
                             "astar_search_memory_bounded", "wastar_search_memory_bounded"])
            args = [space, h] + ([r.choice([0.0, 0.3, 1.0, 1.7, math.nan, -math.inf])] if name.startswith("wastar") else [])
            result = self.call(f"walk {name}", getattr(q, name), *args, timeout, early, weak)
        if result is not None and result[0] is not None:
            self.call("walk build_plan (found plan)", space.build_plan, result[0])

    def step(self):
        r = self.rng
        if hasattr(quendral, "SearchSpace"):
            if r.random() < 0.03 or (not self.spaces and r.random() < 0.2):
                self.build_task()
                return
            if self.spaces and r.random() < 0.1:
                self.walk()
                return
        if self.pool and r.random() < 0.35:
            self.poke_instance(r.choice(self.pool))
            return
        name = r.choice(quendral.__all__)
        target = getattr(quendral, name)
        try:
            parameters = list(inspect.signature(target).parameters.values())
        except (ValueError, TypeError):
            parameters = []
        args, kwargs = self.arguments(parameters)
        if name.endswith("_search"):
            self.bound_timeout(parameters, args, kwargs)
        self.call(name, target, *args, **kwargs)

    def bound_timeout(self, parameters, args, kwargs):
        """A search runs until its timeout: a timeout that would let it run long (none, NaN, an
        infinity, a large number) becomes a short one; values that fail conversion stay."""
        def short(value):
            if value is None:
                return self.rng.choice([0.0, 0.002, -1.0])
            try:
                seconds = float(value)
            except BaseException:  # noqa: BLE001 - it fails conversion in the module too
                return value
            if -1e9 < seconds <= 0.01:  # NaN compares false
                return value
            return self.rng.choice([0.0, 0.002, -1.0])

        names = [p.name for p in parameters]
        if "timeout" not in names:
            return
        position = names.index("timeout")
        if position < len(args):
            args[position] = short(args[position])
        elif "timeout" in kwargs:
            kwargs["timeout"] = short(kwargs["timeout"])
        else:
            kwargs["timeout"] = short(None)

    def poke_instance(self, instance):
        r = self.rng
        cls = type(instance)
        members = [m for m in dir(cls) if not m.startswith("_")]
        extra = ["__repr__", "__str__", "__hash__", "__eq__"]
        member = r.choice(members + extra)
        description = f"{cls.__name__}.{member}"
        attribute = inspect.getattr_static(cls, member, None)
        if inspect.isdatadescriptor(attribute) or attribute is None:
            action = r.random()
            if action < 0.8:
                self.call(description, getattr, instance, member)
            elif action < 0.9:
                self.call(description + " (set)", setattr, instance, member, self.value())
            else:
                self.call(description + " (delete)", delattr, instance, member)
            return
        bound = getattr(instance, member)
        try:
            parameters = list(inspect.signature(bound).parameters.values())
        except (ValueError, TypeError):
            parameters = [inspect.Parameter("other", inspect.Parameter.POSITIONAL_OR_KEYWORD)] if member == "__eq__" else []
        args, kwargs = self.arguments(parameters)
        self.call(description, bound, *args, **kwargs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--hang-seconds", type=int, default=60, help="a single batch of 1000 calls taking longer is a hang")
    options = parser.parse_args()

    faulthandler.enable()
    fuzzer = Fuzzer(options.seed)
    fuzzer.limit = options.calls
    start = time.perf_counter()
    while fuzzer.calls < options.calls:
        faulthandler.dump_traceback_later(options.hang_seconds, exit=True)
        target = fuzzer.calls + 1000
        while fuzzer.calls < min(target, options.calls):
            fuzzer.step()
    faulthandler.cancel_dump_traceback_later()
    elapsed = time.perf_counter() - start
    print(f"fuzz: {fuzzer.calls} calls, seed {options.seed}: {fuzzer.documented} documented exceptions, "
          f"{fuzzer.internal_failures} internal failures, {fuzzer.successors} successors walked, 0 crashes, "
          f"{elapsed:.1f} s")


if __name__ == "__main__":
    main()
