"""Argument conversion against the interpreter's own pass over the same data.

fit_geometrical is little more than two conversions and two sums, so its time is the cost of
reading a list of floats into native memory. The yardstick is `sum(xs), sum(ys)` on the same
lists in the same run: one Python-level pass over each list.

    PYTHONPATH=build/python python bench/bench_conversion.py [N] [REPEATS]
"""

import random
import sys
import timeit

import tondra


def best_of_interleaved(calls, repeats):
    """Best time of each call, the calls taking turns so that a busy machine slows all alike."""
    best = [float("inf")] * len(calls)
    for _ in range(repeats):
        for i, call in enumerate(calls):
            best[i] = min(best[i], timeit.timeit(call, number=1))
    return best


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10**6
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    rng = random.Random(12345)
    xs = [rng.uniform(-100.0, 100.0) for _ in range(n)]
    ys = [rng.uniform(-100.0, 100.0) for _ in range(n)]
    xs_tuple, ys_tuple = tuple(xs), tuple(ys)
    xs_ints, ys_ints = [int(x) for x in xs], [int(y) for y in ys]

    cases = [
        ("sum(xs), sum(ys)", lambda: (sum(xs), sum(ys))),
        ("fit_geometrical(lists of floats)", lambda: tondra.fit_geometrical(xs, ys)),
        ("fit_geometrical(tuples of floats)", lambda: tondra.fit_geometrical(xs_tuple, ys_tuple)),
        ("fit_geometrical(lists of ints)", lambda: tondra.fit_geometrical(xs_ints, ys_ints)),
        ("fit_geometrical(iter through range)", lambda: tondra.fit_geometrical(range(n), range(n))),
    ]
    times = best_of_interleaved([call for _, call in cases], repeats)
    baseline = times[0]
    print(f"Python {sys.version.split()[0]}, n = {n}, best of {repeats}")
    for (name, _), t in zip(cases, times):
        print(f"  {name:40s} {t * 1e3:8.3f} ms   ratio {t / baseline:5.2f}")


if __name__ == "__main__":
    main()
