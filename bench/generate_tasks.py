"""Writes grounded finite-domain tasks ("SAS" version 3, see ../shared/tasks/README.md) of domains
the shared tasks do not cover, so that speed is measured beyond the five shared domains:

    python bench/generate_tasks.py OUT_DIR [--seed 1]

- grid: a robot visits every cell it can reach of a grid with some cells blocked (one Boolean-like variable
  per cell, visited or not; the robot's cell is one variable).
- driving: trucks carry packages over a random connected road map (a truck's place is a
  variable, a package is at a place or in a truck).
- sensing: a rover moves over a random map, takes images of targets at given places with one
  of several cameras that must be calibrated first (a calibration is lost on use), and sends
  them from a station place.
- switches: lamps, each toggled by a switch that only works while the lamp's neighbour is on
  (a chain of dependencies with Boolean variables that go both ways).

Every task is generated from the seed alone; the sizes are fixed lists below.
"""
import argparse
import random
from pathlib import Path


class Task:
    def __init__(self):
        self.variables = []  # (name, [value names])
        self.init = []
        self.goal = []
        self.operators = []  # (name, prevail [(v, x)], effects [(v, before, after)])

    def variable(self, values, init):
        self.variables.append((f"var{len(self.variables)}", values))
        self.init.append(init)
        return len(self.variables) - 1

    def write(self, path):
        lines = ["begin_version", "3", "end_version", "begin_metric", "0", "end_metric", str(len(self.variables))]
        for name, values in self.variables:
            lines += ["begin_variable", name, "-1", str(len(values)), *values, "end_variable"]
        lines += ["0", "begin_state", *map(str, self.init), "end_state"]
        lines += ["begin_goal", str(len(self.goal)), *(f"{v} {x}" for v, x in self.goal), "end_goal"]
        lines.append(str(len(self.operators)))
        for name, prevail, effects in self.operators:
            lines += ["begin_operator", name, str(len(prevail)), *(f"{v} {x}" for v, x in prevail)]
            lines += [str(len(effects)), *(f"0 {v} {b} {a}" for v, b, a in effects), "1", "end_operator"]
        lines.append("0")
        path.write_text("\n".join(lines) + "\n")


def connected_map(rng, n, extra):
    edges = {(i, rng.randrange(i)) for i in range(1, n)}
    while len(edges) < n - 1 + extra:
        a, b = rng.sample(range(n), 2)
        if (b, a) not in edges:
            edges.add((a, b))
    roads = set()
    for a, b in edges:
        roads |= {(a, b), (b, a)}
    return sorted(roads)


def grid(rng, width, height, blocked):
    t = Task()
    cells = [(x, y) for x in range(width) for y in range(height)]
    walls = set(rng.sample(cells[1:], blocked))
    # Only the cells the robot can reach, so that every task is solvable.
    free, todo = [(0, 0)], [(0, 0)]
    while todo:
        x, y = todo.pop()
        for d in ((1, 0), (-1, 0), (0, 1), (0, -1)):
            c = (x + d[0], y + d[1])
            if 0 <= c[0] < width and 0 <= c[1] < height and c not in walls and c not in free:
                free.append(c)
                todo.append(c)
    index = {c: i for i, c in enumerate(free)}
    robot = t.variable([f"Atom at-robot(c{x}-{y})" for x, y in free], 0)
    visited = [t.variable([f"Atom visited(c{x}-{y})", f"NegatedAtom visited(c{x}-{y})"], 0 if i == 0 else 1)
               for i, (x, y) in enumerate(free)]
    for (x, y), i in index.items():
        for d in ((1, 0), (-1, 0), (0, 1), (0, -1)):
            j = index.get((x + d[0], y + d[1]))
            if j is not None:
                t.operators.append((f"move c{x}-{y} c{x + d[0]}-{y + d[1]}", [],
                                    [(robot, i, j), (visited[j], -1, 0)]))
    t.goal = [(v, 0) for v in visited]
    return t


def driving(rng, places, trucks, packages, extra):
    t = Task()
    roads = connected_map(rng, places, extra)
    truck = [t.variable([f"Atom at(t{k}, p{p})" for p in range(places)], rng.randrange(places)) for k in range(trucks)]
    where = [f"Atom at(k{{}}, p{p})" for p in range(places)] + [f"Atom in(k{{}}, t{k})" for k in range(trucks)]
    package = [t.variable([w.format(i) for w in where], rng.randrange(places)) for i in range(packages)]
    for k, v in enumerate(truck):
        for a, b in roads:
            t.operators.append((f"drive t{k} p{a} p{b}", [], [(v, a, b)]))
        for i, pv in enumerate(package):
            for p in range(places):
                t.operators.append((f"load k{i} t{k} p{p}", [(v, p)], [(pv, p, places + k)]))
                t.operators.append((f"unload k{i} t{k} p{p}", [(v, p)], [(pv, places + k, p)]))
    t.goal = [(pv, rng.randrange(places)) for pv in package]
    return t


def sensing(rng, places, cameras, targets, extra):
    t = Task()
    roads = connected_map(rng, places, extra)
    station = rng.randrange(places)
    rover = t.variable([f"Atom at-rover(p{p})" for p in range(places)], rng.randrange(places))
    calibrated = [t.variable([f"Atom calibrated(cam{c})", f"NegatedAtom calibrated(cam{c})"], 1)
                  for c in range(cameras)]
    calibration_place = [rng.randrange(places) for _ in range(cameras)]
    target_place = [rng.randrange(places) for _ in range(targets)]
    image = [t.variable([f"Atom have-image(o{o})", f"NegatedAtom have-image(o{o})"], 1) for o in range(targets)]
    sent = [t.variable([f"Atom sent(o{o})", f"NegatedAtom sent(o{o})"], 1) for o in range(targets)]
    for a, b in roads:
        t.operators.append((f"navigate p{a} p{b}", [], [(rover, a, b)]))
    for c in range(cameras):
        t.operators.append((f"calibrate cam{c}", [(rover, calibration_place[c])], [(calibrated[c], -1, 0)]))
        for o in range(targets):
            t.operators.append((f"take-image o{o} cam{c}", [(rover, target_place[o])],
                                [(calibrated[c], 0, 1), (image[o], -1, 0)]))
    for o in range(targets):
        t.operators.append((f"send o{o}", [(rover, station), (image[o], 0)], [(sent[o], 1, 0)]))
    t.goal = [(v, 0) for v in sent]
    return t


def switches(rng, lamps):
    t = Task()
    lamp = [t.variable([f"Atom on(l{i})", f"NegatedAtom on(l{i})"], rng.randrange(2)) for i in range(lamps)]
    for i in range(lamps):
        need = [] if i == 0 else [(lamp[i - 1], 0)]
        t.operators.append((f"switch-on l{i}", need, [(lamp[i], 1, 0)]))
        t.operators.append((f"switch-off l{i}", need, [(lamp[i], 0, 1)]))
    t.goal = [(lamp[i], i % 2) for i in range(lamps)]
    return t


SIZES = {
    "grid": [(6, 6, 4), (9, 9, 10), (12, 12, 20)],
    "driving": [(8, 2, 6, 4), (12, 3, 10, 6), (16, 4, 14, 8)],
    "sensing": [(10, 2, 6, 5), (16, 3, 10, 8), (22, 4, 14, 12)],
    "switches": [(10,), (14,)],
}
MAKERS = {"grid": grid, "driving": driving, "sensing": sensing, "switches": switches}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()
    for domain, sizes in SIZES.items():
        folder = Path(options.out) / domain
        folder.mkdir(parents=True, exist_ok=True)
        for n, size in enumerate(sizes):
            rng = random.Random(f"{options.seed}-{domain}-{n}")
            MAKERS[domain](rng, *size).write(folder / f"p{n + 1:02d}.sas")


if __name__ == "__main__":
    main()
