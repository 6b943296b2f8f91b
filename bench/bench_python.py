"""End-to-end timings of the Python surface, each beside a trivial builtin call in the same run."""
import time

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


if __name__ == "__main__":
    main()
