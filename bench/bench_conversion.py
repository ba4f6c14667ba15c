"""Argument conversion against the interpreter's own pass over the same data.

fit_geometrical is little more than two conversions and two sums, so its time is the cost of
reading a list of floats into native memory. The yardstick is `sum(xs), sum(ys)` on the same
lists in the same run: one Python-level pass over each list. Arrays and other buffers, read
straight from memory, are then timed against the same data as lists, all cases in turns.

    PYTHONPATH=build/python python bench/bench_conversion.py [N] [REPEATS]
"""

import array
import random
import sys
import timeit

import numpy as np
import tondra


def best_of_paired(baseline, call, repeats):
    """Best times of the baseline and the call, taking turns so that a busy machine slows both
    alike. Each case is paired with the baseline alone: the memory the other cases allocate and
    free would otherwise change what the next one finds."""
    best_baseline = best_call = float("inf")
    for _ in range(repeats):
        best_baseline = min(best_baseline, timeit.timeit(baseline, number=1))
        best_call = min(best_call, timeit.timeit(call, number=1))
    return best_baseline, best_call


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10**6
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    rng = random.Random(12345)
    xs = [rng.uniform(-100.0, 100.0) for _ in range(n)]
    ys = [rng.uniform(-100.0, 100.0) for _ in range(n)]
    xs_tuple, ys_tuple = tuple(xs), tuple(ys)
    xs_ints, ys_ints = [int(x) for x in xs], [int(y) for y in ys]

    baseline = lambda: (sum(xs), sum(ys))  # noqa: E731
    cases = [
        ("fit_geometrical(lists of floats)", lambda: tondra.fit_geometrical(xs, ys)),
        ("fit_geometrical(tuples of floats)", lambda: tondra.fit_geometrical(xs_tuple, ys_tuple)),
        ("fit_geometrical(lists of ints)", lambda: tondra.fit_geometrical(xs_ints, ys_ints)),
        ("fit_geometrical(ranges, iterated)", lambda: tondra.fit_geometrical(range(n), range(n))),
    ]
    print(f"Python {sys.version.split()[0]}, n = {n}, best of {repeats}; "
          "ratio = case / (sum(xs), sum(ys)) measured alongside it")
    for name, call in cases:
        base, t = best_of_paired(baseline, call, repeats)
        print(f"  {name:36s} {t * 1e3:8.3f} ms  vs {base * 1e3:8.3f} ms   ratio {t / base:5.2f}")

    x, y = np.array(xs), np.array(ys)
    pts = np.column_stack((x, y))  # C order: each column has a stride of two elements
    buffers = [
        ("lists of floats", xs, ys),
        ("float64 arrays", x, y),
        ("columns pts[:, 0], pts[:, 1]", pts[:, 0], pts[:, 1]),
        ("reversed float64 arrays", x[::-1], y[::-1]),
        ("float32 arrays", x.astype(np.float32), y.astype(np.float32)),
        ("int64 arrays", x.astype(np.int64), y.astype(np.int64)),
        ("array.array('d')", array.array("d", xs), array.array("d", ys)),
        ("memoryviews of float64 arrays", memoryview(x), memoryview(y)),
    ]
    best = [float("inf")] * len(buffers)
    for _ in range(repeats):
        for k, (_, bx, by) in enumerate(buffers):
            best[k] = min(best[k], timeit.timeit(lambda: tondra.fit_geometrical(bx, by), number=1))
    print("fit_geometrical on buffers, cases in turns; ratio = case / lists of floats")
    for (name, _, _), t in zip(buffers, best):
        print(f"  {name:36s} {t * 1e3:8.3f} ms   ratio {t / best[0]:5.2f}")

if __name__ == "__main__":
    main()
