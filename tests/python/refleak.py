"""A check that an operation leaves no Python objects behind."""
import gc
import sys


def leaked_blocks(operation, repeat=500, rounds=4):
    """Calls `operation` `repeat` times per round and returns the smallest growth of the
    interpreter's allocated blocks per call between consecutive rounds. A leak grows every round
    by about the same amount; caches that fill up once (free lists, interned strings) do not."""
    if sys.getallocatedblocks() == 0:  # another allocator (e.g. under AddressSanitizer)
        return 0.0
    counts = []
    for _ in range(rounds + 1):
        for _ in range(repeat):
            operation()
        gc.collect()
        counts.append(sys.getallocatedblocks())
    return min(b - a for a, b in zip(counts[1:], counts[2:])) / repeat


def assert_no_leak(operation, what):
    per_call = leaked_blocks(operation)
    assert per_call < 0.2, f"{what} leaks about {per_call:.2f} blocks per call"
