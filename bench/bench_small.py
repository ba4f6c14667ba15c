"""Many small clusters: each function on clusters of 20 points held as float64 array slices (of
two coordinate arrays, and of the columns of one (n, 2) array) against the same clusters held as
lists. At this size a call is mostly fixed cost (binding, reading the arguments, making the
result), so this is where reading an array must not cost more than reading a list.

    PYTHONPATH=build/python python bench/bench_small.py [N] [ROUNDS]
"""

import sys

import numpy as np
import tondra
from reference import arc, in_turns


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    clusters = 500
    xs, ys = arc(n * clusters, 340.0, cx=4.0, cy=-3.0, r=2.5, noise=0.01, seed=3)
    x, y = np.array(xs), np.array(ys)
    pts = np.column_stack((x, y))
    spans = [slice(k * n, (k + 1) * n) for k in range(clusters)]
    as_lists = [(xs[s], ys[s]) for s in spans]
    as_slices = [(x[s], y[s]) for s in spans]
    as_columns = [(pts[s, 0], pts[s, 1]) for s in spans]
    forms = [("lists", as_lists), ("float64 array slices", as_slices),
             ("columns of (n, 2) slices", as_columns)]
    functions = [
        ("fit_geometrical", tondra.fit_geometrical),
        ("taubin_svd", tondra.taubin_svd),
        ("fit_lsq", tondra.fit_lsq),
        ("fit_lsq nelder_mead", lambda a, b: tondra.fit_lsq(a, b, "nelder_mead")),
    ]
    print(f"Python {sys.version.split()[0]}, {clusters} clusters of n = {n}, best of {rounds} "
          "rounds, cases in turns; ratio = form / lists")
    for name, fit in functions:
        cases = [lambda data=data: [fit(a, b) for a, b in data] for _, data in forms]
        times, results = in_turns(cases, rounds)
        assert results[1] == results[0] == results[2]
        figures = "   ".join(
            f"{form} {t / clusters * 1e6:6.2f} us ({t / times[0]:4.2f}x)"
            for (form, _), t in zip(forms, times))
        print(f"  {name:20s} {figures}")


if __name__ == "__main__":
    main()
