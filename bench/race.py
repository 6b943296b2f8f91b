"""The race: quendral against the field's reference planner on every benchmark task.

    python bench/race.py --peer PATH/TO/downward [--time-limit 60] [--out results]

For each task of ../shared/tasks/classical it runs, side by side and one at a time:

    quendral                    peer
    gbfs_search + hff           eager greedy search with the FF heuristic
    astar_search + hmax         A* with the h^max heuristic
    bfs_search                  A* with the blind heuristic

Every run is a fresh process, so its peak memory is its own. A quendral plan counts only when it
replays on the task (read and applied by bench/sas_task.py, independently of the engine).
Breadth-first search is a tree search, so only its throughput is compared: it runs until the time
limit (or a goal), and its rate is read from its progress records. Quendral's evaluation count
comes from a second run of the same search whose heuristic counts its calls (the plain run is the
one timed); a run that the time limit ends is measured at its last progress record (every 10,000
expansions), where the states generated so far are the states evaluated. The rate is evaluations per second, for the blind search expansions per second; bytes
per state is the peak memory over the states held (generated states for quendral's tree search,
registered states for the peer). For quendral's own runs it also gives how long after the time
limit a run that the limit ends returned ("over limit ms"), and for a run that found a plan the
time between its goal record and its return, absolute and as a share of the search call
("goal→return"): the cost of releasing the search's states. The table is printed, and written as
CSV and as a bar chart of the ratios.
"""
import argparse
import csv
import json
import logging
import math
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from sas_task import TASKS_DIR, ground, read_sas, task_files  # noqa: E402

CONFIGS = {
    "gbfs+hff": "eager_greedy([ff()])",
    "astar+hmax": "astar(hmax())",
    "bfs": "astar(blind())",
}
QUENDRAL_PYTHON = sys.executable  # the interpreter that imports quendral (--python)
FLAGS = {"internal_caching": False, "cache_value_in_state": False, "inadmissible_numeric_heuristic_variant": False}


# ---------------------------------------------------------------- one quendral run (a worker process)


def quendral_run(config, path, time_limit, count):
    import quendral as q

    task = read_sas(path)
    ss, description = ground(task, q)
    result = {"plan_length": None, "expanded": None, "evaluations": None, "seconds": None, "valid": None}
    # Progress records (every 10,000 expansions) give the counts of a run the time limit ends:
    # the expansions, and the states generated, which the informed searches evaluate one each.
    progress = []
    goal_at = []  # the instant of the goal record

    class Progress(logging.Handler):
        def emit(self, record):
            message = record.getMessage()
            if "goal found" in message:
                goal_at.append(time.perf_counter())
                return
            m = re.search(r"expanded=(\d+) generated=(\d+)", message)
            if m:
                progress.append((time.perf_counter(), int(m.group(1)), int(m.group(2))))

    logger = logging.getLogger("quendral_base.search")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(Progress())

    def timed(search, *args):
        start = time.perf_counter()
        try:
            plan, stats = search(*args)
            end = time.perf_counter()
            result.update(expanded=int(stats["expanded_states"]), seconds=end - start)
            if plan is not None:
                # Measured only for a run that found its plan, from the last goal record it wrote.
                if goal_at:
                    result["goal_to_return_ms"] = (end - goal_at[-1]) * 1000
                    result["goal_to_return_pct"] = (end - goal_at[-1]) / (end - start) * 100
                result.update(plan_length=len(plan), valid=task.replay([a.idx for a in plan]))
        except TimeoutError:
            result["over_limit_ms"] = (time.perf_counter() - start - time_limit) * 1000
            if progress:
                at, expanded, generated = progress[-1]
                result.update(expanded=expanded, seconds=at - start, states=generated)
                if config != "bfs":
                    result["evaluations"] = generated

    if config == "bfs":
        timed(q.bfs_search, ss, time_limit)
    else:
        factory = q.Heuristic.hff if config == "gbfs+hff" else q.Heuristic.hmax
        h = factory(**description, **FLAGS)
        search = q.gbfs_search if config == "gbfs+hff" else q.astar_search
        if count:
            calls = [0]

            def counted(state):
                calls[0] += 1
                return h.eval(state, ss)

            try:
                search(ss, q.Heuristic.custom(counted, False), time_limit * 3)
                result["evaluations"] = calls[0]
            except TimeoutError:
                pass
        else:
            timed(search, ss, h, time_limit)
    result["peak_kb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return result


def run_quendral(config, path, time_limit, count=False):
    command = [QUENDRAL_PYTHON, __file__, "--worker", config, str(path), "--time-limit", str(time_limit)]
    if count:
        command.append("--count")
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=time_limit * 4 + 60)
    except subprocess.TimeoutExpired:
        return {}
    if done.returncode != 0:
        print(done.stderr[-2000:], file=sys.stderr)
        return {}
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- one peer run


def run_peer(peer, config, path, time_limit):
    # The search stops itself at the limit and still reports its counts.
    command = [peer, "--search", CONFIGS[config][:-1] + f", max_time={time_limit})"]
    start = time.perf_counter()
    try:
        with open(path) as stdin:
            done = subprocess.run(command, stdin=stdin, capture_output=True, text=True, timeout=time_limit + 30,
                                  cwd="/tmp")
        out = done.stdout
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
    wall = time.perf_counter() - start

    def number(pattern, cast=int):
        found = re.findall(pattern, out)
        return cast(found[-1]) if found else None

    result = {
        "plan_length": number(r"Plan length: (\d+) step"),
        "expanded": number(r"Expanded (\d+) state"),
        "evaluations": number(r"Evaluated (\d+) state"),
        "seconds": number(r"Search time: ([\d.]+)s", float),
        "peak_kb": number(r"Peak memory: (\d+) KB"),
        "states": number(r"Number of registered states: (\d+)"),
        "valid": None,
    }
    if result["seconds"] is None and result["expanded"] is not None:
        result["seconds"] = wall
    return result


# ---------------------------------------------------------------- the table


def rate(result, config):
    """Evaluations per second; for the blind search, expansions per second (its throughput)."""
    count = result.get("expanded" if config == "bfs" else "evaluations")
    if count and result.get("seconds"):
        return count / max(result["seconds"], 1e-9)
    return None


def fmt(value, digits=0):
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.{digits}f}" if digits else f"{value:,.0f}"
    return str(value)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peer", help="the peer planner's search binary")
    parser.add_argument("--time-limit", type=float, default=60.0)
    parser.add_argument("--out", default="results")
    parser.add_argument("--python", default=sys.executable, help="the interpreter that runs quendral")
    parser.add_argument("--tasks", nargs="*", help="task files (default: every benchmark task)")
    parser.add_argument("--configs", nargs="*", default=list(CONFIGS))
    parser.add_argument("--worker", nargs=2, metavar=("CONFIG", "TASK"), help=argparse.SUPPRESS)
    parser.add_argument("--count", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()

    if options.worker:
        print(json.dumps(quendral_run(options.worker[0], options.worker[1], options.time_limit, options.count)))
        return

    global QUENDRAL_PYTHON
    QUENDRAL_PYTHON = options.python
    tasks = [Path(t) for t in options.tasks] if options.tasks else task_files()
    out = Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    rows = []
    header = ["task", "configuration", "who", "plan length", "expansions", "evaluations", "seconds", "rate/s",
              "peak MB", "bytes/state", "ratio q/peer", "over limit ms", "goal→return ms", "goal→return %"]
    print(" | ".join(header))
    for path in tasks:
        name = f"{path.parent.name}/{path.stem}"
        for config in options.configs:
            mine = run_quendral(config, path, options.time_limit)
            if config != "bfs" and mine.get("plan_length") is not None:
                mine["evaluations"] = run_quendral(config, path, options.time_limit, count=True).get("evaluations")
            if mine.get("valid") is False:
                mine["plan_length"] = "INVALID"
            theirs = run_peer(options.peer, config, path, options.time_limit) if options.peer else {}
            ratio = rate(mine, config) / rate(theirs, config) if rate(mine, config) and rate(theirs, config) else None
            for who, result in (("quendral", mine), ("peer", theirs)):
                per_state = (result["peak_kb"] * 1024 / result["states"]
                             if result.get("peak_kb") and result.get("states") else None)
                row = [name, config, who, result.get("plan_length"), result.get("expanded"), result.get("evaluations"),
                       result.get("seconds"), rate(result, config),
                       result["peak_kb"] / 1024 if result.get("peak_kb") else None, per_state,
                       ratio if who == "quendral" else None,
                       result.get("over_limit_ms"), result.get("goal_to_return_ms"), result.get("goal_to_return_pct")]
                rows.append(row)
                print(" | ".join([row[0], row[1], row[2], fmt(row[3]), fmt(row[4]), fmt(row[5]), fmt(row[6], 3),
                                  fmt(row[7]), fmt(row[8], 1), fmt(row[9]), fmt(row[10], 2), fmt(row[11], 1),
                                  fmt(row[12], 1), fmt(row[13], 1)]), flush=True)

    with open(out / "race.csv", "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(rows)
    chart(rows, out / "race.png")
    print(f"written: {out / 'race.csv'}, {out / 'race.png'}")


def chart(rows, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no chart", file=sys.stderr)
        return
    configs = sorted({r[1] for r in rows})
    fig, axes = plt.subplots(len(configs), 1, figsize=(12, 3.2 * len(configs)), squeeze=False)
    for ax, config in zip(axes[:, 0], configs):
        mine = [r for r in rows if r[1] == config and r[2] == "quendral"]
        labels = [r[0] for r in mine]
        ratios = [r[10] if r[10] is not None else math.nan for r in mine]
        ax.bar(range(len(labels)), ratios, color="tab:blue")
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xticks(range(len(labels)))
        ax.set_xticklabels(labels, rotation=45, ha="right", fontsize=7)
        ax.set_ylabel("expansions/s ratio" if config == "bfs" else "evals/s ratio")
        ax.set_title(f"{config}: quendral / peer (above 1: quendral faster)")
    fig.tight_layout()
    fig.savefig(path, dpi=120)


if __name__ == "__main__":
    main()
