"""End-to-end timings of the Python surface, each beside a trivial builtin call in the same run,
and searches from Python beside the same searches driven from C++ (bench/bench_search.cpp)."""
import statistics
import sys
import time
from pathlib import Path

import quendral as q

N = 1_000_000


def per_call(function, argument, n=N):
    start = time.perf_counter()
    for _ in range(n):
        function(argument)
    return (time.perf_counter() - start) / n * 1e9


def main():
    per_call(q.make_int_constant_node, 1, 10_000)  # warm up
    node_ns = per_call(q.make_int_constant_node, 1)
    abs_ns = per_call(abs, 1)
    print(f"make_int_constant_node: {node_ns:7.1f} ns/call   abs(1): {abs_ns:7.1f} ns/call "
          f"(ratio {node_ns / abs_ns:.2f}, {N:,} calls each)")
    custom_heuristic()
    searches_from_python()


def custom_heuristic():
    """What a callable heuristic costs per evaluation beyond the Python function itself: the copy
    of the state handed to it, the call and the conversion of its number."""
    t = q.make_bool_constant_node(True)
    a = q.Action(0)
    events = {a: [(q.Timing(True, 0), q.Event(a, 0, [t], [], [], [q.Effect(0, [t])]))]}
    initial = [q.make_int_constant_node(i) for i in range(20)]
    ss = q.SearchSpace([None], events, [a], None, None, None, initial_state=initial, goal=[t])
    state = ss.get_successor_state(ss.initial_state(), a)

    def h(s):
        return 1.0

    heuristic = q.Heuristic.custom(h, False)
    n = N // 4
    evaluate = heuristic.eval
    start = time.perf_counter()
    for _ in range(n):
        evaluate(state, ss)
    through = (time.perf_counter() - start) / n * 1e9
    start = time.perf_counter()
    for _ in range(n):
        h(state)
    alone = (time.perf_counter() - start) / n * 1e9
    print(f"custom heuristic: {through:7.1f} ns/evaluation through Heuristic.eval, {alone:7.1f} ns for the "
          f"function alone (overhead {through - alone:.1f} ns, a state of 20 fluents, {n:,} calls each)")



def searches_from_python():
    """Greedy best-first search with hff on the real tasks of BM_GbfsHff (bench_search): the
    median of five runs each, to set beside the C++ figures."""
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from sas_task import TASKS_DIR, ground, read_sas

    for name in ("blocks/probBLOCKS-14-0.sas", "logistics00/probLOGISTICS-15-0.sas", "depot/p07.sas"):
        path = TASKS_DIR / name
        if not path.exists():
            print(f"gbfs_search + hff {name}: the shared tasks are not available")
            continue
        ss, description = ground(read_sas(path), q)
        hff = q.Heuristic.hff(**description, internal_caching=False, cache_value_in_state=False,
                              inadmissible_numeric_heuristic_variant=False)
        times = []
        for _ in range(5):
            start = time.perf_counter()
            _, stats = q.gbfs_search(ss, hff)
            times.append(time.perf_counter() - start)
        print(f"gbfs_search + hff {name}: {statistics.median(times) * 1e3:8.1f} ms median of 5 from Python, "
              f"expanded {stats['expanded_states']}")


if __name__ == "__main__":
    main()
