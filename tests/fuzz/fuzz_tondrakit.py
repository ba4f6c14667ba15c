"""Hostile-input fuzzing of the kit (tondrakit).

    python tests/fuzz/fuzz_tondrakit.py [--seconds N] [--seed S] [--from N]

Each call picks an entry point (fit, fit_robust, fit_groups, inlier_rows, the Circle's
statistics, the engine's own functions, the command on a file) and arguments built from hostile
pieces: coordinates at the ends of the double range and subnormal, huge integers, text, None,
every numpy dtype, options of every type and beyond every range, executors that are not one or
whose futures fail, column names that are tuples, None or repeated, keys of mixed kinds, offsets
and codes that do not describe the rows. It checks, with every warning an error: the call
returns or raises ValueError (FitError is one), TypeError or MemoryError, nothing else; a circle
it returns is finite and its statistics do not raise; the command answers in one line and exits
with a status of its own. A crash or a hang is caught by the parent process, which runs the loop
in a child and reports the seed and the call; `--seed S --from N` replays from call N.
"""

import argparse
import concurrent.futures
import contextlib
import io
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import warnings

HANG_SECONDS = 30  # one call; the slowest honest one (a robust fit of 2,000 points) takes ~0.5 s
ALLOWED = (ValueError, TypeError, MemoryError)


class BadExecutor:
    """An executor whose submit returns `what`, or whose futures fail with `error`."""

    def __init__(self, what, error=None):
        self.what, self.error = what, error

    def submit(self, fn, *args, **kwargs):
        if self.what == "raise":
            raise self.error
        if self.what == "future":
            future = concurrent.futures.Future()
            if isinstance(self.error, concurrent.futures.CancelledError):
                future.cancel()
            else:
                future.set_exception(self.error)
            return future
        return self.what


def floats(c, n):
    """n coordinates of one hostile kind."""
    kind = c.randrange(9)
    t = [c.uniform(0.0, 6.3) for _ in range(n)]
    scale = c.choice([1.0, 1e300, 1.7e308, 1e-300, 5e-324 * 1e3, 2.0**600, 2.0**-600, 1e154])
    if kind == 0:
        return [scale * math.cos(a) for a in t]
    if kind == 1:
        return [scale * (math.sin(a) + c.choice([0.0, 1e-3, -1e-3])) for a in t]
    if kind == 2:
        return [c.choice([1e308, -1e308, 0.0, 1e154, 5e-324, 1.0]) for _ in range(n)]
    if kind == 3:
        return [c.choice([10**400, -(10**30), 2**63, 2**64 + 1, 1, True]) for _ in range(n)]
    if kind == 4:
        return [c.choice([1.0, math.nan, math.inf, "1", None, 1j, b"2", object()]) for _ in range(n)]
    if kind == 5:
        return [scale] * n
    if kind == 6:
        return [float(i) for i in range(n)]  # a line
    if kind == 7:
        return [c.gauss(0.0, scale) for _ in range(n)]
    return [c.choice([1e300, -1e300]) * c.random() for _ in range(n)]


def array_of(c, np, values):
    dtype = c.choice([None, object, np.float64, np.float32, np.int64, np.uint64, np.longdouble,
                      np.complex128, np.float16, "U8", np.bool_])
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return np.array(values, dtype=dtype)
    except (ValueError, TypeError, OverflowError):
        return values


def coordinates(c, np):
    n = c.choice([0, 1, 2, 3, 4, 5, 7, 20, 200])
    xs, ys = floats(c, n), floats(c, n)
    if c.random() < 0.1:
        ys = ys[: max(0, n - 1)]
    if c.random() < 0.5:
        xs, ys = array_of(c, np, xs), array_of(c, np, ys)
    if c.random() < 0.1:
        return (c.choice([None, "abc", 3.0, {"a": 1}, iter([1.0, 2.0])]), ys)
    if c.random() < 0.15:
        return (array_of(c, np, list(zip(xs, xs))), None)
    return xs, ys


def option(c, good):
    if c.random() < 0.6:
        return good
    return c.choice([None, -1, 0, 0.5, 1e-300, 10**400, 2**63, 2**64, -(2**63) - 1,
                     10**30, math.nan, math.inf, True, "1", "ransac", 1j, [1], 2.0, 5e-324])


def table(c, np, pd):
    n = c.choice([0, 3, 10, 60])
    xs, ys = floats(c, n), floats(c, n)
    keys = [c.choice([0, 1, 2, None, "a", math.nan, (1, 2), 1.5, True]) for _ in range(n)]
    if c.random() < 0.6:
        keys = [c.randrange(3) for _ in range(n)]
    frame = pd.DataFrame({"x": array_of(c, np, xs), "y": array_of(c, np, ys), "group": keys})
    shape = c.randrange(6)
    if shape == 1:
        frame.columns = ["x", "x", "group"]
    elif shape == 2:
        frame.columns = [("x", 1), ("y", 1), ("group", 1)]
    elif shape == 3:
        frame.columns = pd.MultiIndex.from_tuples([("x", 1), ("y", 1), ("group", 1)])
    elif shape == 4:
        frame.columns = [None, "y", "group"]
    return frame


def names(c):
    return {k: c.choice([v, v, v, ("x", 1), None, ["x"], "missing", 1])
            for k, v in (("x", "x"), ("y", "y"), ("by", "group"))}


def executor(c):
    return c.choice([
        None, None, object(), "pool", BadExecutor(None), BadExecutor(42),
        BadExecutor("raise", RuntimeError("submit failed")),
        BadExecutor("future", concurrent.futures.CancelledError()),
        BadExecutor("future", IndexError("lost")), BadExecutor("future", KeyError("k")),
    ])


def check_circle(circle):
    values = (circle.cx, circle.cy, circle.r, circle.rms)
    if not all(math.isfinite(v) for v in values):
        raise AssertionError(f"a circle that is not finite: {circle!r}")
    circle.stderr  # noqa: B018 - must not raise
    circle.cov  # noqa: B018


class Fuzzer:
    def __init__(self, kit, np, pd):
        self.kit, self.np, self.pd = kit, np, pd
        self.calls, self.outcomes, self.bad = 0, {}, []
        self.pool = concurrent.futures.ThreadPoolExecutor(2)

    def call(self, c):
        kit, np, pd = self.kit, self.np, self.pd
        what = c.choice(["fit"] * 4 + ["robust"] * 3 + ["roundness"] * 2 + ["groups"] * 3 + ["engine"] * 2
                        + ["inliers", "command", "dask"])
        if what == "fit":
            xs, ys = coordinates(c, np)
            knowns = {}
            if c.random() < 0.3:
                n = len(xs) if hasattr(xs, "__len__") else 3
                knowns = c.choice([
                    {"weights": array_of(c, np, [abs(v) if isinstance(v, float) else v
                                                 for v in floats(c, n)])},
                    {"radius": option(c, 1.0)},
                    {"radius_bounds": (option(c, 0.5), option(c, 2.0))},
                    {"radius_bounds": option(c, (None, 1e300))},
                ])
            check_circle(kit.fit(xs, ys, method=option(c, c.choice(METHODS)), **knowns))
        elif what == "robust":
            xs, ys = coordinates(c, np)
            result = kit.fit_robust(
                xs, ys, threshold=c.choice([None, option(c, 0.1)]),
                method=c.choice(METHODS), confidence=option(c, 0.99),
                max_trials=option(c, 200), seed=option(c, 1))
            check_circle(result.circle)
            if not (result.threshold > 0.0 and math.isfinite(result.threshold)):
                raise AssertionError(f"threshold {result.threshold!r}")
        elif what == "roundness":
            xs, ys = coordinates(c, np)
            reference = option(c, c.choice(["minimum_zone", "least_squares", "circumscribed",
                                             "inscribed", "all"]))
            found = kit.roundness(xs, ys, reference=reference)
            for circle in found.values() if isinstance(found, dict) else [found]:
                values = (circle.cx, circle.cy, circle.r, circle.inner, circle.outer, circle.ront)
                if not all(math.isfinite(v) for v in values):
                    raise AssertionError(f"a roundness circle that is not finite: {circle!r}")
        elif what == "groups":
            run = executor(c)
            kit.fit_groups(table(c, np, pd), **names(c), method=option(c, c.choice(METHODS)),
                           robust=c.choice([False, True, 1]), on_error=option(c, "nan"),
                           workers=option(c, 2), executor=self.pool if run == "pool" else run,
                           roundness=c.choice([None, None, "minimum_zone", option(c, "inscribed")]))
        elif what == "inliers":
            frame = table(c, np, pd)
            result = kit.fit_groups(frame, robust=True, on_error="nan") if c.random() < 0.5 \
                else pd.DataFrame({"inliers": [None, None]}, index=pd.Index([0, 0], name="group"))
            kit.inlier_rows(result, frame, by=c.choice([None, "group", ("x", 1)]))
        elif what == "engine":
            self.engine(c)
        elif what == "dask":
            import dask.dataframe as dd

            import tondrakit.dask

            frame = dd.from_pandas(table(c, np, pd), npartitions=c.choice([1, 2]))
            tondrakit.dask.fit_groups(frame, **names(c), robust=c.choice([False, True]),
                                      on_error=option(c, "nan")).compute(scheduler="sync")
        else:
            self.command(c)
        return "ok"

    def engine(self, c):
        from tondrakit import _engine

        np = self.np
        n = c.choice([0, 3, 5, 40])
        x = np.ones(n) if c.random() < 0.9 else np.ones(n, np.float32)
        offsets = np.array(c.choice([[0, n], [0], [], [-1, n], [0, 10**9], [0, n + 1, n],
                                     [0, 2, 1, n], [10**9, 10**9 + 5]]), dtype=np.int64)
        codes = np.array([c.choice([0, 0, 1, -1, 2**40]) for _ in range(n)], dtype=np.int64)
        robust = c.choice([None, "abc", (None, 0.9, 10, 0), (0.0, 0.9, 10, 0),
                           (1.0, 2.0, 10, 0), (1.0, 0.9, 0, -1), (1.0,)])
        fn = c.randrange(5)
        if fn == 0:
            _engine.gather(x, x, codes, offsets, option(c, 2))
        elif fn == 1:
            _engine.fit_batch(x, x, offsets, option(c, 0), option(c, 2), robust)
        elif fn == 2:
            _engine.fit_one(list(x), list(x), option(c, 0))
        elif fn == 3:
            _engine.residuals(x, x[: c.choice([n, max(0, n - 1)])], option(c, 0.0), 0.0, 1.0)
        else:
            centres = np.zeros(max(0, len(offsets) - 1))
            _engine.roundness_batch(x, x, offsets, option(c, 1), centres, centres, option(c, 2))

    def command(self, c):
        from tondrakit import _cli

        rows = ["group,x,y"] + [f"{c.randrange(3)},{c.choice(['1', '١٢', '1e999', 'nan', 'x' * 140000, '2'])},"
                                f"{c.random()}" for _ in range(c.choice([0, 4]))]
        if c.random() < 0.2:
            rows[0] = "group,x,x,y"
        with tempfile.NamedTemporaryFile("w", suffix=".csv", delete=False) as f:
            f.write("\n".join(rows) + "\n")
        argv = [f.name] + c.choice([[], ["-j", str(option(c, 2))], ["--threshold", "١"],
                                    ["--method", "hyper"], ["--robust"]])
        err = io.StringIO()
        try:
            with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
                status = _cli.main(argv)
        finally:
            os.unlink(f.name)
        if status not in (0, 1, 2) or err.getvalue().count("\n") > 1:
            raise AssertionError(f"command {argv}: status {status}, said {err.getvalue()[:300]!r}")

    def one(self, c, replay=False):
        if replay:
            return
        self.calls += 1
        try:
            outcome = self.call(c)
        except ALLOWED as e:
            outcome = type(e).__name__
        except Exception as e:  # noqa: BLE001 - every other type is the fault looked for
            outcome = "BAD"
            frames = [f for f in traceback.extract_tb(e.__traceback__) if "tondrakit" in f.filename]
            place = f" ({os.path.basename(frames[-1].filename)}:{frames[-1].lineno})" if frames else ""
            self.bad.append("".join(traceback.format_exception_only(e)).strip()[:400] + place)
        self.outcomes[outcome] = self.outcomes.get(outcome, 0) + 1


METHODS = ["geometric", "hyper", "lsq", "nelder_mead", "taubin", "centroid"]


def run_loop(seconds, seed, progress_path, first_call):
    import numpy as np
    import pandas as pd

    import tondrakit

    warnings.simplefilter("error")
    fuzzer = Fuzzer(tondrakit, np, pd)
    progress = os.open(progress_path, os.O_WRONLY)
    rng = random.Random(seed)
    index = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline or index < first_call:
        os.pwrite(progress, struct.pack("<q", index), 0)
        # A replay builds the inputs of the calls it skips, so that the generator is where it was.
        c = random.Random(rng.getrandbits(64))
        fuzzer.one(c, replay=index < first_call)
        index += 1
    print(f"calls {fuzzer.calls}, outcomes {dict(sorted(fuzzer.outcomes.items()))}")
    for p in sorted(set(fuzzer.bad))[:20]:
        print("PROBLEM:", p)
    return 1 if fuzzer.bad else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("FUZZ_SECONDS", 20)))
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--from", dest="first", type=int, default=0, help="replay from this call")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--progress", help=argparse.SUPPRESS)
    a = parser.parse_args()
    if a.child:
        try:
            status = run_loop(a.seconds, a.seed, a.progress, a.first)
        except BaseException:  # noqa: BLE001 - whatever escapes is reported, then fails the run
            traceback.print_exc(file=sys.stdout)
            status = 1
        sys.exit(status)
    seed = a.seed if a.seed is not None else random.randrange(2**32)
    print(f"fuzz (kit): seed {seed}, {a.seconds:g} s", flush=True)
    with tempfile.NamedTemporaryFile(prefix="fuzz-kit-progress-") as progress:
        progress.write(struct.pack("<q", -1))
        progress.flush()
        cmd = [sys.executable, os.path.abspath(__file__), "--child", "--seconds", str(a.seconds),
               "--seed", str(seed), "--progress", progress.name, "--from", str(a.first)]
        try:
            code = subprocess.run(cmd, timeout=a.seconds + HANG_SECONDS + 60).returncode
        except subprocess.TimeoutExpired:
            code = "hang"
        (last,) = struct.unpack("<q", os.pread(progress.fileno(), 8, 0))
    where = f"at call {last}; replay with --seed {seed} --from {last}"
    if code == 0:
        print("fuzz (kit): passed")
    elif code == "hang" or code > 0:
        print(f"fuzz (kit): FAILED ({code}: a problem, a hang or an error) {where}")
    else:
        print(f"fuzz (kit): CRASH (signal {-code}) {where}")
    sys.exit(0 if code == 0 else 1)


if __name__ == "__main__":
    main()
