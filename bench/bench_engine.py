"""The kit's native engine against what it replaces, every figure a ratio of cases run in turns.

  fit     tondrakit.fit over the bare native call of the same method: 20 points as lists of
          floats, numpy arrays and lists of numpy floats; 200 and 2000 points
  groups  fit_groups on 100,000 groups of 20 points in shuffled rows, on 1 and 2 workers, over
          a bare loop of tondra.fit_lsq on the groups already split into lists; where its time
          goes; an executor of processes; groupby.apply; the memory it allocates
  robust  fit_groups(robust=True) on 2,000 groups of 40 points with 25 % outliers: groups per
          second and centre error, beside the last pure-Python kit; fit_robust on 200 points
          against scikit-image's ransac with CircleModel (same threshold, 200 trials)
  dask    tondrakit.dask.fit_groups on a LocalCluster of one process with two threads, 200,000
          groups partitioned by key, over the serial fit_groups
  bits    fit, fit_robust, fit_groups (1, 2 and 3 workers), Dask and the bare native call give
          the same centres, bit for bit

Each comparison runs its cases in rounds, taking them in turns (the order rotates from round to
round), and a ratio is the median over the rounds of the ratio within a round, with its
quartiles in brackets: the machine is shared, and a busy moment then slows both cases of a pair.
Beside each figure that involves threads or processes stands CPU time / wall time (this process
and its children): 2.0 is two cores kept busy; less says what the machine gave.

    PYTHONPATH=build/bench/python python bench/bench_engine.py [--only PART ...] [--quick]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import gc
import importlib
import inspect
import json
import logging
import math
import multiprocessing
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

import tondra
import tondrakit
from kit_cases import contaminated_arc, noisy_arc

PARTS = ("fit", "groups", "robust", "dask", "bits")
HERE = Path(__file__).resolve().parent

# Rounds of each comparison; --quick divides them (a smoke run, not figures to quote).
SCALE = 1


def rounds(n: int) -> int:
    return max(2, n // SCALE)


# ----------------------------------------------------------------------------------------------
# Timing


def cpu_seconds(children: bool) -> float:
    """CPU time of this process, and of its children alive now (a cluster's or a pool's
    workers) when asked: enumerating them costs about a millisecond."""
    total = time.process_time()
    if children:
        import psutil

        for child in psutil.Process().children(recursive=True):
            try:
                times = child.cpu_times()
            except psutil.Error:  # gone meanwhile
                continue
            total += times.user + times.system
    return total


@dataclass
class Runs:
    """One case's times per call, a value per round, and its last result."""

    wall: list[float] = field(default_factory=list)
    cpu: list[float] = field(default_factory=list)
    result: object = None

    def load(self) -> float:
        """CPU time / wall time, the median over the rounds."""
        return statistics.median(c / w for c, w in zip(self.cpu, self.wall))

    def median(self) -> float:
        return statistics.median(self.wall)


def in_turns(cases: dict[str, Callable[[], object]], n_rounds: int,
             calls: int | dict[str, int] = 1, children: bool = False) -> dict[str, Runs]:
    """Runs every case once to warm it up, then n_rounds rounds in which each case is called
    `calls` times in a row (a number for all, or one per case), the cases in turns starting
    from a different one every round. A case's previous result is dropped before it is timed
    again, so that freeing it is charged to no one."""
    names = list(cases)
    runs = {name: Runs() for name in names}
    for name in names:
        runs[name].result = cases[name]()
    for k in range(n_rounds):
        for name in names[k % len(names):] + names[: k % len(names)]:
            fn, run = cases[name], runs[name]
            repeat = calls if isinstance(calls, int) else calls.get(name, 1)
            run.result = None
            cpu = cpu_seconds(children)
            started = time.perf_counter()
            for _ in range(repeat):
                run.result = fn()
            wall = time.perf_counter() - started
            run.wall.append(wall / repeat)
            run.cpu.append((cpu_seconds(children) - cpu) / repeat)
    return runs


@dataclass(frozen=True)
class Ratio:
    median: float
    low: float
    high: float

    def __str__(self) -> str:
        return f"{self.median:5.3f}x [{self.low:5.3f}-{self.high:5.3f}]"


def ratio(a: Runs, b: Runs) -> Ratio:
    """a's time over b's: the median and quartiles of the ratios within rounds."""
    values = sorted(x / y for x, y in zip(a.wall, b.wall))
    if len(values) < 4:
        return Ratio(statistics.median(values), values[0], values[-1])
    q1, q2, q3 = statistics.quantiles(values, n=4)
    return Ratio(q2, q1, q3)


def verdict(value: float, limit: float, at_most: bool = True) -> str:
    ok = value <= limit if at_most else value >= limit
    return f"target {'<=' if at_most else '>='} {limit:g}: {'met' if ok else 'MISSED'}"


def same_bits(a: object, b: object) -> bool:
    """Whether two sequences of floats hold the same doubles, bit for bit (NaNs included)."""
    x = np.ascontiguousarray(np.asarray(a, dtype=np.float64))
    y = np.ascontiguousarray(np.asarray(b, dtype=np.float64))
    return x.shape == y.shape and bool(np.array_equal(x.view(np.uint64), y.view(np.uint64)))


def yes_no(flag: bool) -> str:
    return "yes" if flag else "NO"


def machine_line() -> None:
    load = os.getloadavg()
    print(f"machine: {os.cpu_count()} CPUs, load average {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}"
          " (ratios only; the machine is shared)")


# ----------------------------------------------------------------------------------------------
# Data


def shuffled_table(groups: int, n_points: int, seed: int) -> pd.DataFrame:
    """groups * n_points points on whole circles of radius 1 to 10, noise 1 % of r, rows
    shuffled; integer keys."""
    rng = np.random.default_rng(seed)
    t = rng.uniform(0.0, 2.0 * math.pi, (groups, n_points))
    cx = rng.uniform(-100.0, 100.0, (groups, 1))
    cy = rng.uniform(-100.0, 100.0, (groups, 1))
    r = rng.uniform(1.0, 10.0, (groups, 1))
    x = cx + r * np.cos(t) + rng.normal(0.0, 0.01, t.shape) * r
    y = cy + r * np.sin(t) + rng.normal(0.0, 0.01, t.shape) * r
    key = np.repeat(np.arange(groups), n_points)
    order = rng.permutation(key.size)
    return pd.DataFrame({"group": key[order], "x": x.ravel()[order], "y": y.ravel()[order]})


def split_groups(df: pd.DataFrame) -> tuple[list[np.ndarray], list[np.ndarray]]:
    """Each group's coordinates (integer keys 0, 1, ...) as arrays, in table order."""
    keys = df["group"].to_numpy()
    order = np.argsort(keys, kind="stable")
    cuts = np.cumsum(np.bincount(keys))[:-1]
    return (np.split(df["x"].to_numpy()[order], cuts), np.split(df["y"].to_numpy()[order], cuts))


def pre_split(df: pd.DataFrame) -> tuple[list[list[float]], list[list[float]]]:
    """Each group's coordinates as two lists of floats, in table order: a bare loop's input."""
    xs, ys = split_groups(df)
    return [a.tolist() for a in xs], [b.tolist() for b in ys]


def contaminated_table(groups: int, n_points: int, outliers: float, seed: int):
    """groups arcs of 120 degrees with outliers (kit_cases.contaminated_arc), rows shuffled:
    the table, the true (cx, cy, r) per group and the true inlier mask per row."""
    rng = np.random.default_rng(seed)
    xs, ys, inlier, truth = [], [], [], []
    for _ in range(groups):
        x, y, good, circle = contaminated_arc(rng, n=n_points, span_deg=120.0, outliers=outliers)
        xs.append(x)
        ys.append(y)
        inlier.append(good)
        truth.append(circle)
    key = np.repeat(np.arange(groups), n_points)
    order = rng.permutation(key.size)
    df = pd.DataFrame({"group": key[order], "x": np.concatenate(xs)[order],
                       "y": np.concatenate(ys)[order]})
    return df, np.array(truth), np.concatenate(inlier)[order]


def centre_error(cx, cy, truth: np.ndarray) -> np.ndarray:
    """Distance of each centre from the true one, in units of the true radius."""
    return np.hypot(np.asarray(cx) - truth[:, 0], np.asarray(cy) - truth[:, 1]) / truth[:, 2]


# ----------------------------------------------------------------------------------------------
# fit: the fixed cost of the kit over the bare native call

BARE = {
    "lsq": lambda xs, ys: tondra.fit_lsq(xs, ys),
    "nelder_mead": lambda xs, ys: tondra.fit_lsq(xs, ys, method="nelder_mead"),
    "taubin": lambda xs, ys: tondra.taubin_svd(xs, ys),
    "centroid": lambda xs, ys: tondra.fit_geometrical(xs, ys),
}
BARE_NAMES = {"lsq": "fit_lsq", "nelder_mead": "fit_lsq(nelder_mead)", "taubin": "taubin_svd",
              "centroid": "fit_geometrical"}


def fit_case(method: str, xs, ys, n_rounds: int, calls: int) -> tuple[Ratio, bool]:
    bare = BARE[method]
    runs = in_turns({
        "bare": lambda: bare(xs, ys),
        "kit": lambda: tondrakit.fit(xs, ys, method=method),
    }, n_rounds, calls)
    kit = runs["kit"].result
    return ratio(runs["kit"], runs["bare"]), same_bits(runs["bare"].result, (kit.cx, kit.cy))


def part_fit() -> None:
    print("\n== fit: tondrakit.fit(method=...) / the bare native call of the same method, same"
          " points (120-degree arc, noise 1 % of r)")
    rng = np.random.default_rng(20)
    # (points, rounds, calls per round): rounds of about a millisecond, which a busy machine
    # interrupts seldom; the median drops those it did.
    plan = ((20, 1000, 50), (200, 500, 5), (2000, 200, 3))
    for n, n_rounds, calls in plan:
        ax, ay = noisy_arc(rng, n, 120.0, noise=0.01, centre=(100.0, -40.0), r=20.0)
        target = 1.2 if n == 20 else 1.05
        kinds = (("lists of floats", ax.tolist(), ay.tolist()), ("numpy arrays", ax, ay),
                 ("lists of numpy floats", list(ax), list(ay)))
        for kind, xs, ys in kinds:
            r, same = fit_case("lsq", xs, ys, rounds(n_rounds), calls)
            print(f"  n={n:<5d} {kind:22s} fit / fit_lsq {r}  {verdict(r.median, target)}"
                  f"  (same centre: {yes_no(same)})")
    ax, ay = noisy_arc(rng, 20, 120.0, noise=0.01, centre=(100.0, -40.0), r=20.0)
    xs, ys = ax.tolist(), ay.tolist()
    for method in ("taubin", "centroid", "nelder_mead"):
        calls = 5 if method == "nelder_mead" else 50
        r, same = fit_case(method, xs, ys, rounds(500), calls)
        print(f"  n=20    lists of floats        fit(method={method!r}) / {BARE_NAMES[method]}"
              f" {r}  (same centre: {yes_no(same)})")


# ----------------------------------------------------------------------------------------------
# groups: fit_groups against the bare loop


def without_gc(fn: Callable[[], object]) -> Callable[[], object]:
    def call() -> object:
        gc.disable()
        try:
            return fn()
        finally:
            gc.enable()
    return call


def engine_batch(df: pd.DataFrame):
    """The engine's batch alone on the groups already in order (its private entry point), or
    None when the engine has none by that name."""
    try:
        engine = importlib.import_module("tondrakit._engine")
    except ImportError:
        return None
    if not hasattr(engine, "fit_batch"):
        return None
    xs, ys = split_groups(df)
    x = np.concatenate(xs)
    y = np.concatenate(ys)
    offsets = np.zeros(len(xs) + 1, dtype=np.int64)
    np.cumsum([a.size for a in xs], out=offsets[1:])
    return lambda workers: engine.fit_batch(x, y, offsets, 0, workers, None)


def part_groups() -> None:
    groups, n_points = 100_000, 20
    print(f"\n== groups: fit_groups on {groups:,} groups of {n_points} points, rows shuffled,"
          " method lsq / a bare loop of tondra.fit_lsq over the groups already split into lists")
    df = shuffled_table(groups, n_points, seed=1)
    ordered = df.sort_values("group", kind="stable", ignore_index=True)
    xs, ys = pre_split(df)
    fit = tondra.fit_lsq

    def bare() -> object:
        return [fit(a, b) for a, b in zip(xs, ys)]

    cases: dict[str, Callable[[], object]] = {
        "bare": bare,
        "bare, collector paused": without_gc(bare),
        "workers=1": lambda: tondrakit.fit_groups(df, method="lsq", workers=1),
        "workers=2": lambda: tondrakit.fit_groups(df, method="lsq", workers=2),
        "workers=1, rows in key order": lambda: tondrakit.fit_groups(ordered, method="lsq",
                                                                     workers=1),
        "workers=2, rows in key order": lambda: tondrakit.fit_groups(ordered, method="lsq",
                                                                     workers=2),
    }
    batch = engine_batch(df)
    if batch is not None:
        cases["engine batch alone, 1 thread"] = lambda: batch(1)
        cases["engine batch alone, 2 threads"] = lambda: batch(2)
    runs = in_turns(cases, rounds(7))
    base = runs["bare"]
    centres = np.array(base.result)
    same = same_bits(centres, runs["workers=1"].result[["cx", "cy"]].to_numpy())
    print(f"  ({len(base.wall)} rounds; the bare loop used {base.load():.2f} CPU; centres the"
          f" same as the bare loop's: {yes_no(same)})")
    targets = {"workers=1": 1.1, "workers=2": 0.6}
    for name, run in runs.items():
        if name == "bare":
            continue
        r = ratio(run, base)
        goal = f"  {verdict(r.median, targets[name])}" if name in targets else ""
        print(f"  {name:31s} {r}  CPU/wall {run.load():4.2f}{goal}")
    r = ratio(runs["workers=1"], runs["bare, collector paused"])
    print(f"  workers=1 / bare loop with the collector paused {r}")
    r = ratio(runs["workers=2"], runs["workers=1"])
    print(f"  workers=2 / workers=1 {r}")
    if batch is not None:
        r = ratio(runs["engine batch alone, 1 thread"], runs["engine batch alone, 2 threads"])
        print(f"  the machine meanwhile: the engine's batch alone ran {r} as fast on 2 threads as"
              " on 1 (2.0 on two idle cores)")
    groups_executor(df, base_runs=len(base.wall))
    groups_apply(df)
    peak_memory(df)


def groups_executor(df: pd.DataFrame, base_runs: int) -> None:
    """fit_groups on an executor of 2 processes (chunks of whole groups, one engine thread in
    each task) against the engine's own 2 threads."""
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        list(pool.map(abs, [1, 2]))  # the workers started, and tondrakit imported, before timing
        tondrakit.fit_groups(df.iloc[:2000], method="lsq", executor=pool, on_error="nan")
        runs = in_turns({
            "threads": lambda: tondrakit.fit_groups(df, method="lsq", workers=2),
            "processes": lambda: tondrakit.fit_groups(df, method="lsq", executor=pool),
        }, rounds(5), children=True)
    same = runs["threads"].result.equals(runs["processes"].result)
    r = ratio(runs["processes"], runs["threads"])
    print(f"  executor=ProcessPoolExecutor(2) / workers=2 {r}"
          f"  CPU/wall {runs['processes'].load():4.2f} vs {runs['threads'].load():4.2f};"
          f" identical: {yes_no(same)}")


def groups_apply(df: pd.DataFrame) -> None:
    """groupby().apply of the same native call, on a tenth of the groups."""
    tenth = df[df["group"] < df["group"].max() // 10 + 1]
    xs, ys = pre_split(tenth)
    fit = tondra.fit_lsq
    runs = in_turns({
        "bare": lambda: [fit(a, b) for a, b in zip(xs, ys)],
        "apply": lambda: tenth.groupby("group")[["x", "y"]].apply(
            lambda d: fit(d["x"].to_numpy(), d["y"].to_numpy())),
        "kit": lambda: tondrakit.fit_groups(tenth, method="lsq", workers=1),
    }, rounds(3))
    print(f"  on {len(xs):,} groups: groupby.apply(fit_lsq) / bare loop"
          f" {ratio(runs['apply'], runs['bare'])}; fit_groups(workers=1) / groupby.apply"
          f" {ratio(runs['kit'], runs['apply'])}")


def peak_memory(df: pd.DataFrame) -> None:
    size = int(df.memory_usage(deep=True).sum())
    tracemalloc.start()
    try:
        tondrakit.fit_groups(df, method="lsq", workers=2)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    print(f"  peak memory allocated by fit_groups (traced by Python): {peak / size:4.2f}x the"
          f" table's {size / 2**20:.0f} MiB")


# ----------------------------------------------------------------------------------------------
# robust: many robust fits, and one against scikit-image

# The pure-Python kit's robust fit_groups, measured on a machine of this kind before the engine.
PREVIOUS_GROUPS_PER_SECOND = 1700

# Run in a child interpreter that imports the last pure-Python kit: it fits the table it is
# given each time it reads a line, and answers with its wall and CPU time and its centres.
_PREVIOUS_KIT_SERVER = r"""
import json, sys, time
import numpy as np, pandas as pd
import tondrakit
data = np.load(sys.argv[1])
df = pd.DataFrame({"group": data["group"], "x": data["x"], "y": data["y"]})
tondrakit.fit_groups(df[df["group"] < 20], robust=True, on_error="nan")
print(json.dumps({"ready": tondrakit.__file__}), flush=True)
for line in sys.stdin:
    cpu, wall = time.process_time(), time.perf_counter()
    out = tondrakit.fit_groups(df, robust=True, on_error="nan")
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    np.save(sys.argv[2], out[["cx", "cy"]].to_numpy())
    print(json.dumps({"wall": wall, "cpu": cpu}), flush=True)
"""


class PreviousKit:
    """The last pure-Python tondrakit, taken from the repository's history (the parent of the
    first commit whose fit calls the engine) and run beside the native module built here."""

    def __init__(self, df: pd.DataFrame) -> None:
        self.process: subprocess.Popen[str] | None = None
        self.dir = Path(tempfile.mkdtemp(prefix="tondrakit-previous-"))
        self.result: np.ndarray | None = None
        self.answers: list[dict[str, float]] = []
        try:
            self._start(df)
        except (OSError, subprocess.SubprocessError, ValueError, json.JSONDecodeError) as e:
            self.close()
            self.why = str(e) or type(e).__name__
        else:
            self.why = ""

    def _start(self, df: pd.DataFrame) -> None:
        root = HERE.parent
        git = ["git", "-C", str(root)]
        first = subprocess.run(git + ["log", "--reverse", "--format=%H", "-S_engine", "--",
                                      "src/tondrakit/_fit.py"],
                               capture_output=True, text=True, check=True).stdout.split()
        if not first:
            raise ValueError("no commit in this checkout's history moved fit onto the engine")
        archive = subprocess.run(git + ["archive", f"{first[0]}^", "src/tondrakit"],
                                 capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", str(self.dir)], input=archive, check=True)
        package = self.dir / "py"
        package.mkdir()
        shutil.move(str(self.dir / "src" / "tondrakit"), str(package / "tondrakit"))
        native = Path(tondra.__file__).resolve().parent
        np.savez(self.dir / "table.npz", group=df["group"].to_numpy(), x=df["x"].to_numpy(),
                 y=df["y"].to_numpy())
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(package), str(native)]))
        self.process = subprocess.Popen(
            [sys.executable, "-c", _PREVIOUS_KIT_SERVER, str(self.dir / "table.npz"),
             str(self.dir / "centres.npy")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env, cwd=self.dir)
        ready = json.loads(self._read())
        if not ready["ready"].startswith(str(package)):
            raise ValueError(f"the child imported {ready['ready']}, not the previous kit")

    def _read(self) -> str:
        assert self.process is not None and self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line:
            raise ValueError("the previous kit's process ended")
        return line

    def __call__(self) -> dict[str, float]:
        assert self.process is not None and self.process.stdin is not None
        self.process.stdin.write("go\n")
        self.process.stdin.flush()
        answer = json.loads(self._read())
        self.result = np.load(self.dir / "centres.npy")
        self.answers.append(answer)
        return answer

    def close(self) -> None:
        if self.process is not None:
            if self.process.stdin is not None:
                self.process.stdin.close()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None
        shutil.rmtree(self.dir, ignore_errors=True)


def default_method() -> str:
    """The method the kit's functions use unless told otherwise."""
    return str(inspect.signature(tondrakit.fit_groups).parameters["method"].default)


def part_robust() -> None:
    groups, n_points, outliers = 2000, 40, 0.25
    method = default_method()
    print(f"\n== robust: fit_groups(robust=True) on {groups:,} groups of {n_points} points"
          f" (120-degree arcs, noise 1 % of r, {outliers:.0%} outliers), rows shuffled;"
          f" the default method ({method!r}) unless said")
    df, truth, inlier = contaminated_table(groups, n_points, outliers, seed=3)
    previous = PreviousKit(df)

    def robust(workers: int, **options: object) -> Callable[[], object]:
        return lambda: tondrakit.fit_groups(df, robust=True, workers=workers, on_error="nan",
                                            **options)

    try:
        cases: dict[str, Callable[[], object]] = {
            "workers=2": robust(2),
            "workers=1": robust(1),
            "workers=2, lsq": robust(2, method="lsq"),
        }
        if previous.process is not None:
            cases["previous"] = previous
        runs = in_turns(cases, rounds(5))
    finally:
        previous.close()
    two, one, lsq = runs["workers=2"], runs["workers=1"], runs["workers=2, lsq"]
    rate = groups / two.median()
    print(f"  workers=2: {rate:6.0f} groups/s, CPU/wall {two.load():4.2f} | workers=1:"
          f" {groups / one.median():6.0f} groups/s, CPU/wall {one.load():4.2f} | workers=2,"
          f" method='lsq': {groups / lsq.median():6.0f} groups/s, CPU/wall {lsq.load():4.2f}")
    quoted = rate / PREVIOUS_GROUPS_PER_SECOND
    if "previous" in runs:
        # Its own times, taken in its process (the first answer was the warm-up).
        answers = previous.answers[1:]
        old = Runs([a["wall"] for a in answers], [a["cpu"] for a in answers])
        faster = ratio(old, two)
        print(f"  the previous (pure-Python) kit, here in the same rounds (its method, 'lsq'):"
              f" {groups / old.median():6.0f} groups/s, CPU/wall {old.load():4.2f}")
        print(f"  previous / workers=2 {faster}  {verdict(faster.median, 10, at_most=False)};"
              f" previous / (workers=2, lsq) {ratio(old, lsq)}")
        print(f"  (workers=2 against the {PREVIOUS_GROUPS_PER_SECOND} groups/s the previous kit"
              f" did on an idle machine of this kind: {quoted:4.1f}x; the figure above is the one"
              " measured under the same load)")
    else:
        print(f"  (the previous kit could not be run here: {previous.why})")
        print(f"  workers=2 against the {PREVIOUS_GROUPS_PER_SECOND} groups/s the previous kit"
              f" did on an idle machine of this kind: {quoted:4.1f}x"
              f"  {verdict(quoted, 10, at_most=False)}")
    xs, ys = split_groups(df)
    keys = df["group"].to_numpy()
    order = np.argsort(keys, kind="stable")
    good = np.split(inlier[order], np.cumsum(np.bincount(keys))[:-1])
    best = np.array([tondra.fit_lsq(x[m].tolist(), y[m].tolist()) for x, y, m in zip(xs, ys, good)])
    plain = tondrakit.fit_groups(df, workers=2)
    errors = {
        "robust": centre_error(two.result["cx"], two.result["cy"], truth),
        "robust, lsq": centre_error(lsq.result["cx"], lsq.result["cy"], truth),
        "fit_lsq on the true inliers": centre_error(best[:, 0], best[:, 1], truth),
        "plain fit_groups": centre_error(plain["cx"], plain["cy"], truth),
    }
    if previous.result is not None:
        errors["previous kit"] = centre_error(previous.result[:, 0], previous.result[:, 1], truth)
    print("  median centre error (units of r): " + ", ".join(
        f"{name} {np.nanmedian(e):.4f}" for name, e in errors.items()))
    err = errors["robust"]
    print(f"  robust: 90th percentile {np.nanpercentile(err, 90):.4f}, failed groups"
          f" {int(np.isnan(err).sum())}")
    robust_vs_ransac()


def ransac_centre(xs, ys, threshold: float, seed: int) -> tuple[float, float]:
    from skimage.measure import CircleModel, ransac

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # deprecations inside the peer, not ours to fix
        model, _ = ransac(np.column_stack((xs, ys)), CircleModel, min_samples=3,
                          residual_threshold=threshold, max_trials=200, rng=seed)
    if model is None:
        return math.nan, math.nan
    centre = getattr(model, "center", None)
    if centre is None:
        centre = model.params[:2]
    return float(centre[0]), float(centre[1])


def robust_vs_ransac() -> None:
    try:
        import skimage  # noqa: F401
    except ImportError:
        print("  (scikit-image is not installed: pip install -r requirements/bench.txt)")
        return
    sets = 40 // SCALE if SCALE > 1 else 40
    methods = list(dict.fromkeys((default_method(), "lsq")))
    print(f"  fit_robust on one set of 200 points (120-degree arc, noise 1 % of r, 30 % outliers)"
          f" / ransac with CircleModel (the threshold fit_robust chose, 200 trials); {sets} sets:")
    rng = np.random.default_rng(4)
    time_ratios: dict[str, list[float]] = {m: [] for m in methods}
    cold_ratios: list[float] = []
    err_kit: dict[str, list[float]] = {m: [] for m in methods}
    err_peer: list[float] = []
    for k in range(sets):
        xs, ys, _, (cx, cy, r) = contaminated_arc(rng, n=200, span_deg=120.0, outliers=0.3)
        threshold = tondrakit.fit_robust(xs, ys).threshold
        # fit_robust ten calls in a row, as in a loop over many sets (a ransac call is itself
        # 200 trials in a loop); then single calls right after ransac, with the caches full of
        # the peer's work.
        cases: dict[str, Callable[[], object]] = {
            m: (lambda m=m: tondrakit.fit_robust(xs, ys, method=m)) for m in methods
        }
        cases["ransac"] = lambda: ransac_centre(xs, ys, threshold, seed=k)
        runs = in_turns(cases, rounds(6), calls={m: 10 for m in methods})
        peer = runs["ransac"]
        once = []
        for _ in range(rounds(6)):
            ransac_centre(xs, ys, threshold, seed=k)
            started = time.perf_counter()
            tondrakit.fit_robust(xs, ys)
            once.append(time.perf_counter() - started)
        cold_ratios.append(statistics.median(once) / peer.median())
        for m in methods:
            time_ratios[m].append(ratio(runs[m], peer).median)
            fit = runs[m].result.circle
            err_kit[m].append(math.hypot(fit.cx - cx, fit.cy - cy) / r)
        px, py = peer.result
        err_peer.append(math.hypot(px - cx, py - cy) / r if math.isfinite(px) else math.inf)
    peer_error = statistics.median(err_peer)
    for m in methods:
        t = statistics.median(time_ratios[m])
        e = statistics.median(err_kit[m]) / peer_error
        closer = sum(a <= b for a, b in zip(err_kit[m], err_peer))
        print(f"    method={m!r}: time {t:6.4f}x (quartiles over the sets"
              f" {np.percentile(time_ratios[m], 25):6.4f}-{np.percentile(time_ratios[m], 75):6.4f})"
              f"  {verdict(t, 0.03)}")
        print(f"      median centre error {statistics.median(err_kit[m]):.4f} r, ransac's"
              f" {peer_error:.4f} r: {e:5.3f}x  {verdict(e, 1.0)}; at least as close as ransac"
              f" in {closer} of {sets} sets")
    print(f"    method={methods[0]!r}, a single call right after ransac (caches full of the"
          f" peer's work): {statistics.median(cold_ratios):6.4f}x (quartiles"
          f" {np.percentile(cold_ratios, 25):6.4f}-{np.percentile(cold_ratios, 75):6.4f})")


# ----------------------------------------------------------------------------------------------
# dask


class Cluster:
    """A LocalCluster of one worker process with two threads, on the loopback only."""

    def __enter__(self):
        from distributed import Client, LocalCluster

        warnings.simplefilter("ignore")  # Dask's advice on large graphs: the data is persisted
        self.cluster = LocalCluster(n_workers=1, threads_per_worker=2, processes=True,
                                    host="127.0.0.1", dashboard_address=None,
                                    silence_logs=logging.ERROR)
        self.client = Client(self.cluster)
        return self.client

    def __exit__(self, *exc: object) -> None:
        self.client.close()
        self.cluster.close()


def part_dask() -> None:
    try:
        import dask.dataframe as dd

        import tondrakit.dask
        from tondrakit._options import check_options
        from tondrakit.dask import _fit_partition as dask_partition
    except ImportError as e:
        print(f"\n== dask: skipped ({e})")
        return
    groups = 200_000
    partitions = 8
    print(f"\n== dask: {groups:,} groups of 20 points on LocalCluster(n_workers=1,"
          f" threads_per_worker=2), set_index('group') in {partitions} partitions with known"
          " divisions, persisted; tondrakit.dask.fit_groups(method='lsq', workers=1) against"
          " the serial fit_groups(method='lsq', workers=1) in this process")
    df = shuffled_table(groups, 20, seed=2)
    ordered = df.sort_values("group", kind="stable", ignore_index=True)
    probe = engine_batch(shuffled_table(20_000, 20, seed=3))
    with Cluster() as client:
        ddf = client.persist(dd.from_pandas(ordered.set_index("group"), npartitions=partitions))
        assert ddf.known_divisions
        lazy = tondrakit.dask.fit_groups(ddf, method="lsq", workers=1)
        # The ceiling of any scheduler here: the same tasks on the same partitions, on two
        # threads of this process, with nothing to send and nothing to gather.
        parts = [client.compute(p).result() for p in ddf.to_delayed()]
        pool = concurrent.futures.ThreadPoolExecutor(2)
        options, on_error = check_options("lsq", False, None, "raise")

        def task(part: pd.DataFrame) -> pd.DataFrame:
            return dask_partition(part, "x", "y", "group", options, on_error, True, 1)

        cases: dict[str, Callable[[], object]] = {
            "dask": lambda: client.compute(lazy).result(timeout=600),
            "serial": lambda: tondrakit.fit_groups(ordered, method="lsq", workers=1),
            "serial, shuffled rows": lambda: tondrakit.fit_groups(df, method="lsq", workers=1),
            "same tasks, 2 threads": lambda: pd.concat(list(pool.map(task, parts))),
        }
        if probe is not None:
            cases["probe, 1 thread"] = lambda: probe(1)
            cases["probe, 2 threads"] = lambda: probe(2)
        with pool:
            runs = in_turns(cases, rounds(5), children=True)
    if probe is not None:
        r = ratio(runs["probe, 1 thread"], runs["probe, 2 threads"])
        print(f"  the machine meanwhile: the engine's batch alone ran {r}"
              " as fast on 2 threads as on 1 (2.0 on two idle cores)")
    dask_run = runs["dask"]
    same = dask_run.result.equals(runs["serial"].result)
    faster = ratio(runs["serial"], dask_run)
    print(f"  serial (the same rows, in key order) / Dask {faster}  CPU/wall Dask"
          f" {dask_run.load():4.2f}, serial {runs['serial'].load():4.2f}"
          f"  {verdict(faster.median, 1.6, at_most=False)}")
    r = ratio(runs["serial, shuffled rows"], dask_run)
    print(f"  serial on the table in shuffled rows / Dask {r}"
          f"; results identical: {yes_no(same)}")
    threads = runs["same tasks, 2 threads"]
    r = ratio(runs["serial"], threads)
    print(f"  serial / the same tasks on 2 threads of this process (no scheduler, nothing sent) {r}"
          f"  CPU/wall {threads.load():4.2f}; Dask / those threads"
          f" {ratio(dask_run, threads)}")
    # What Dask adds to the work, whatever the machine gives: on two idle cores Dask can be no
    # more than 2 / this ratio times as fast as the serial call.
    spent = statistics.median(dask_run.cpu) / statistics.median(runs["serial"].cpu)
    print(f"  CPU time of Dask (client, scheduler and worker) / CPU time of the serial call:"
          f" {spent:4.2f}")


# ----------------------------------------------------------------------------------------------
# bits


def bits_sample(seed: int) -> pd.DataFrame:
    """300 sets of 5 to 60 points (6 of them of 1000 to 3000) on arcs of 20 to 360 degrees,
    noise 0 to 5 % of r, circles near and far from the origin and of sizes 1e-3 to 1e3; rows
    shuffled."""
    rng = np.random.default_rng(seed)
    frames = []
    for g in range(300):
        # a few large ones too, which fit lets go of the interpreter's lock for
        n = int(rng.integers(5, 61)) if g % 50 else int(rng.integers(1000, 3000))
        r = float(10.0 ** rng.uniform(-3.0, 3.0))
        centre = (float(rng.uniform(-1e3, 1e3)), float(rng.uniform(-1e3, 1e3)))
        x, y = noisy_arc(rng, n, float(rng.uniform(20.0, 360.0)), noise=float(rng.uniform(0, 0.05)),
                         centre=centre, r=r)
        frames.append(pd.DataFrame({"group": g, "x": x, "y": y}))
    df = pd.concat(frames, ignore_index=True)
    return df.sample(frac=1.0, random_state=seed, ignore_index=True)


def kit_methods() -> tuple[str, ...]:
    try:
        from tondrakit._options import METHODS
    except ImportError:
        return tuple(BARE)
    return tuple(METHODS)


def centre_or_nan(fit: Callable[[], object]) -> tuple[float, float]:
    """A fit's centre, or NaNs where it raises FitError (fit_groups' NaN row for that set)."""
    try:
        return fit().center  # type: ignore[attr-defined, no-any-return]
    except tondrakit.FitError:
        return math.nan, math.nan


def part_bits() -> None:
    print("\n== bits: the same centres, bit for bit, for a sample of sets (300 sets of 5 to 3000"
          " points; 200 robust sets of 40 points with 25 % outliers); 'fit' is tondrakit.fit on"
          " each set's points in table order")
    df = bits_sample(seed=5)
    xs, ys = split_groups(df)
    singles: dict[str, np.ndarray] = {}
    for method in kit_methods():
        kit = np.array([centre_or_nan(lambda: tondrakit.fit(x, y, method=method))
                        for x, y in zip(xs, ys)])
        singles[method] = kit
        failed = int(np.isnan(kit[:, 0]).sum())
        note = f" ({failed} sets give no circle)" if failed else ""
        if method in BARE:
            bare = np.array([BARE[method](x.tolist(), y.tolist()) for x, y in zip(xs, ys)])
            print(f"  fit(method={method!r}) and tondra.{BARE_NAMES[method]}:"
                  f" {yes_no(same_bits(kit, bare))}{note}")
        elif note:
            print(f"  fit(method={method!r}):{note}")
        for workers in (1, 2, 3):
            out = tondrakit.fit_groups(df, method=method, workers=workers, on_error="nan")
            print(f"  fit_groups(method={method!r}, workers={workers}) and fit:"
                  f" {yes_no(same_bits(out[['cx', 'cy']].to_numpy(), kit))}")
    rob, _, _ = contaminated_table(200, 40, 0.25, seed=6)
    rxs, rys = split_groups(rob)
    robust: dict[str, list] = {}
    for method in dict.fromkeys((default_method(), "lsq")):
        single = [tondrakit.fit_robust(x, y, method=method) for x, y in zip(rxs, rys)]
        robust[method] = single
        centres = np.array([s.circle.center for s in single])
        if method in BARE:
            on_inliers = np.array([BARE[method](x[s.inliers].tolist(), y[s.inliers].tolist())
                                   for x, y, s in zip(rxs, rys, single)])
            print(f"  fit_robust(method={method!r}) and tondra.{BARE_NAMES[method]} on its"
                  f" inliers: {yes_no(same_bits(centres, on_inliers))}")
        for workers in (1, 2, 3):
            out = tondrakit.fit_groups(rob, robust=True, method=method, workers=workers)
            same = same_bits(out[["cx", "cy"]].to_numpy(), centres) and all(
                np.array_equal(m, s.inliers) for m, s in zip(out["inliers"], single))
            print(f"  fit_groups(robust=True, method={method!r}, workers={workers}) and"
                  f" fit_robust (centres and inliers): {yes_no(same)}")
    bits_dask(df, singles, rob, robust)


def bits_dask(df: pd.DataFrame, singles: dict[str, np.ndarray], rob: pd.DataFrame,
              robust: dict[str, list]) -> None:
    try:
        import dask.dataframe as dd

        import tondrakit.dask
    except ImportError as e:
        print(f"  Dask: skipped ({e})")
        return
    keyed = df.sort_values("group", kind="stable").set_index("group")
    with Cluster() as client:
        frames = (("partitioned by key", dd.from_pandas(keyed, npartitions=4)),
                  ("shuffled on the key", dd.from_pandas(df, npartitions=4)))
        for method in dict.fromkeys((default_method(), "lsq")):
            for name, frame in frames:
                lazy = tondrakit.dask.fit_groups(frame, method=method, on_error="nan")
                out = client.compute(lazy).result(timeout=600).sort_index()
                same = same_bits(out[["cx", "cy"]].to_numpy(), singles[method])
                print(f"  Dask ({name}, method={method!r}) and fit: {yes_no(same)}")
            lazy = tondrakit.dask.fit_groups(dd.from_pandas(rob, npartitions=4), robust=True,
                                             method=method)
            out = client.compute(lazy).result(timeout=600).sort_index()
            centres = np.array([s.circle.center for s in robust[method]])
            print(f"  Dask (robust=True, method={method!r}) and fit_robust:"
                  f" {yes_no(same_bits(out[['cx', 'cy']].to_numpy(), centres))}")


# ----------------------------------------------------------------------------------------------


def main() -> None:
    global SCALE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", action="append", choices=PARTS,
                        help="run this part only (may be given more than once)")
    parser.add_argument("--quick", action="store_true",
                        help="a fifth of the rounds: a smoke run, not figures to quote")
    args = parser.parse_args()
    if args.quick:
        SCALE = 5
    chosen = args.only or list(PARTS)
    machine_line()
    print(f"tondra from {Path(tondra.__file__).parent}, tondrakit from"
          f" {Path(tondrakit.__file__).parent}")
    started = time.perf_counter()
    for part in PARTS:
        if part in chosen:
            globals()[f"part_{part}"]()
            sys.stdout.flush()
    print(f"\n({time.perf_counter() - started:.0f} s)")
    machine_line()


if __name__ == "__main__":
    main()
