"""Reader of grounded finite-domain task files (the benchmark tasks in ../shared/tasks), and their
natural grounding for quendral: one object-valued fluent per variable (its values, named as the
file writes them, are the objects of a type named after the variable), one instantaneous action
per operator whose condition is the conjunction of its prevail conditions and before-values and
whose effects set the after-values, and the goal as the conjunction of the goal facts. It is the
grounding the C++ benchmarks read (bench/sas_task.cpp), so a search from Python and the same
search driven from C++ expand the same states.

Shared by the Python benchmarks and the tests that need real tasks; it replays plans on its own
(`SasTask.replay`), independently of the engine."""
from dataclasses import dataclass, field
from pathlib import Path

TASKS_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "tasks" / "classical"


@dataclass
class SasOperator:
    name: str
    prevail: list            # (variable, value)
    effects: list            # (variable, before or -1, after)


@dataclass
class SasTask:
    names: list              # per variable: its name
    variables: list          # per variable: the names of its values
    init: list               # per variable: its value index
    goal: list               # (variable, value)
    operators: list = field(default_factory=list)

    def applicable(self, state, op):
        return (all(state[v] == x for v, x in op.prevail)
                and all(before == -1 or state[v] == before for v, before, _ in op.effects))

    def replay(self, operator_indices):
        """True when the operators apply one after the other from the initial state and end in a
        goal state."""
        state = list(self.init)
        for i in operator_indices:
            op = self.operators[i]
            if not self.applicable(state, op):
                return False
            for v, _, after in op.effects:
                state[v] = after
        return all(state[v] == x for v, x in self.goal)


def read_sas(path):
    lines = iter(line.strip() for line in Path(path).read_text().splitlines())

    def expect(word):
        line = next(lines)
        if line != word:
            raise ValueError(f"{path}: expected {word!r}, read {line!r}")

    def pair():
        a, b = next(lines).split()
        return int(a), int(b)

    expect("begin_version"), next(lines), expect("end_version")
    expect("begin_metric"), next(lines), expect("end_metric")
    names, variables = [], []
    for _ in range(int(next(lines))):
        expect("begin_variable")
        names.append(next(lines))
        next(lines)  # axiom layer
        variables.append([next(lines) for _ in range(int(next(lines)))])
        expect("end_variable")
    for _ in range(int(next(lines))):
        expect("begin_mutex_group")
        while next(lines) != "end_mutex_group":
            pass
    expect("begin_state")
    init = [int(next(lines)) for _ in variables]
    expect("end_state")
    expect("begin_goal")
    goal = [pair() for _ in range(int(next(lines)))]
    expect("end_goal")
    task = SasTask(names, variables, init, goal)
    for _ in range(int(next(lines))):
        expect("begin_operator")
        name = next(lines)
        prevail = [pair() for _ in range(int(next(lines)))]
        effects = []
        for _ in range(int(next(lines))):
            parts = [int(x) for x in next(lines).split()]
            if parts[0] != 0:
                raise ValueError(f"{path}: conditional effects are not read")
            effects.append((parts[1], parts[2], parts[3]))
        next(lines)  # cost: 1 under metric 0
        expect("end_operator")
        task.operators.append(SasOperator(name, prevail, effects))
    return task


def task_files():
    """Every benchmark task, grouped by domain in name order."""
    return sorted(TASKS_DIR.glob("*/*.sas"))


def ground(task, q):
    """The task in quendral's terms: (search space, the factories' task description)."""
    def value_name(v, x):
        return task.variables[v][x]

    def conjunction(facts):
        if not facts:
            return [q.make_bool_constant_node(True)]
        nodes, roots = [], []
        for v, x in facts:
            nodes += [q.make_fluent_node(v), q.make_object_node(value_name(v, x))]
            nodes.append(q.make_operator_node("==", [len(nodes) - 2, len(nodes) - 1]))
            roots.append(len(nodes) - 1)
        if len(roots) > 1:
            nodes.append(q.make_operator_node("and", roots))
        return nodes

    events = {}
    for i, op in enumerate(task.operators):
        facts = list(op.prevail) + [(v, before) for v, before, _ in op.effects if before != -1]
        effects = [q.Effect(v, [q.make_object_node(value_name(v, after))]) for v, _, after in op.effects]
        action = q.Action(i)
        events[action] = [(q.Timing(True, 0), q.Event(action, 0, conjunction(facts), [], [], effects))]
    actions = [q.Action(i) for i in range(len(task.operators))]
    initial = [q.make_object_node(value_name(v, x)) for v, x in enumerate(task.init)]
    goal = conjunction(task.goal)
    space = q.SearchSpace([None] * len(actions), events, actions, None, None, None, initial_state=initial, goal=goal)
    description = {
        "actions": actions,
        "fluent_types": list(task.names),
        "objects": {task.names[v]: list(values) for v, values in enumerate(task.variables)},
        "events": events,
        "goals": goal,
    }
    return space, description
