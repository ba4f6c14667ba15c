"""tondrakit.fit_groups side by side with what users write instead, every table timed in turns:

  100,000 groups of 20 points (L-BFGS), rows shuffled: fit_groups serially as a multiple of a bare
  loop of tondra.fit_lsq over the groups given as pre-split lists (target <= 1.3), and pandas'
  groupby().apply of the same native call; the peak memory fit_groups allocates, as a multiple
  of the table's own size (target <= 3);
  the same table on ProcessPoolExecutor(2): how many times faster than serial (target >= 1.6),
  and the per-fit pool.map that the README once showed, on a tenth of the groups;
  200,000 groups on a Dask LocalCluster of 2 worker processes: pre-partitioned by the key (target
  >= 1.5 times faster than serial fit_groups) and shuffled.

Options: --quick (a tenth of the groups, for a smoke run), --no-dask."""

import argparse
import concurrent.futures
import logging
import math
import multiprocessing
import sys
import time
import tracemalloc
import warnings

import numpy as np
import pandas as pd

import tondra
import tondrakit
from reference import in_turns

N_POINTS = 20


def table(groups, seed):
    """groups * 20 points on circles of radius 1 to 10 all round, noise 1% of r, rows shuffled;
    integer keys."""
    rng = np.random.default_rng(seed)
    t = rng.uniform(0.0, 2.0 * math.pi, (groups, N_POINTS))
    cx = rng.uniform(-100.0, 100.0, (groups, 1))
    cy = rng.uniform(-100.0, 100.0, (groups, 1))
    r = rng.uniform(1.0, 10.0, (groups, 1))
    x = cx + r * np.cos(t) + rng.normal(0.0, 0.01, t.shape) * r
    y = cy + r * np.sin(t) + rng.normal(0.0, 0.01, t.shape) * r
    key = np.repeat(np.arange(groups), N_POINTS)
    order = rng.permutation(key.size)
    return pd.DataFrame({"group": key[order], "x": x.ravel()[order], "y": y.ravel()[order]})


def pre_split(df):
    """Each group's coordinates as two lists, in table order: the bare loop's input."""
    order = np.argsort(df["group"].to_numpy(), kind="stable")
    counts = np.bincount(df["group"].to_numpy())
    cuts = np.cumsum(counts)[:-1]
    xs = np.split(df["x"].to_numpy()[order], cuts)
    ys = np.split(df["y"].to_numpy()[order], cuts)
    return [a.tolist() for a in xs], [b.tolist() for b in ys]


def serial_table(df):
    xs, ys = pre_split(df)
    fit = tondra.fit_lsq

    def bare():
        return [fit(a, b) for a, b in zip(xs, ys)]

    def groups():
        return tondrakit.fit_groups(df)

    def apply():
        return df.groupby("group")[["x", "y"]].apply(lambda d: fit(d["x"].to_numpy(), d["y"].to_numpy()))

    (t_bare, t_groups, t_apply), (centres, result, _) = in_turns([bare, groups, apply], rounds=3)
    same = np.array_equal(np.array(centres), result[["cx", "cy"]].to_numpy())
    print(f"  bare loop of fit_lsq {t_bare:6.3f} s | fit_groups {t_groups / t_bare:5.2f}x (target <= 1.3)"
          f" | groupby.apply {t_apply / t_bare:5.2f}x | centres identical: {same}")
    return t_groups


def peak_memory(df):
    size = int(df.memory_usage(deep=True).sum())
    tracemalloc.start()
    try:
        tondrakit.fit_groups(df)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    print(f"  peak memory allocated by fit_groups: {peak / size:4.2f}x the table's {size / 2**20:.0f} MiB"
          " (target <= 3)")


def spin(count):
    """Pure interpreter work: what two processes can do at once on this machine right now."""
    total = 0
    for i in range(count):
        total += i * i
    return total


def machine_check():
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        list(pool.map(abs, [1, 2]))
        (t_one, t_two), _ = in_turns([
            lambda: [spin(2_000_000), spin(2_000_000)],
            lambda: list(pool.map(spin, [2_000_000, 2_000_000])),
        ], rounds=3)
    print(f"the machine now: two processes do {t_one / t_two:4.2f}x the work of one"
          " (2.0 on two idle cores)")


def process_table(df):
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        list(pool.map(abs, [1, 2]))  # workers started before any timing
        tondrakit.fit_groups(df.iloc[:1000], executor=pool, on_error="nan")
        (t_serial, t_pool), (serial, pooled) = in_turns([
            lambda: tondrakit.fit_groups(df),
            lambda: tondrakit.fit_groups(df, executor=pool),
        ], rounds=3)
        same = serial.equals(pooled)
        print(f"  ProcessPoolExecutor(2): {t_serial / t_pool:4.2f}x faster than serial (target >= 1.6);"
              f" identical: {same}")
        tenth = df[df["group"] < df["group"].max() // 10]
        xs, ys = pre_split(tenth)
        (t_map, t_chunks), _ = in_turns([
            lambda: list(pool.map(tondra.fit_lsq, xs, ys)),
            lambda: tondrakit.fit_groups(tenth, executor=pool),
        ], rounds=2)
        print(f"  on {len(xs)} groups: pool.map of one fit per task {len(xs) / t_map:8.0f} fits/s |"
              f" fit_groups on the pool {len(xs) / t_chunks:8.0f} fits/s")


def dask_table(groups):
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import tondrakit.dask

    df = table(groups, seed=2)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        keyed = df.sort_values("group", kind="stable").set_index("group")
        by_key = client.persist(dd.from_pandas(keyed, npartitions=16))
        shuffled = client.persist(dd.from_pandas(df, npartitions=16))
        by_key.head()
        shuffled.head()

        def run(frame):
            return client.compute(tondrakit.dask.fit_groups(frame)).result(timeout=600)

        run(by_key)
        (t_serial, t_keyed, t_shuffled), (serial, keyed, mixed) = in_turns([
            lambda: tondrakit.fit_groups(df),
            lambda: run(by_key),
            lambda: run(shuffled),
        ], rounds=3)
        same = serial.equals(keyed) and serial.equals(mixed.sort_index())
        print(f"  {groups} groups, LocalCluster(2 processes): pre-partitioned {t_serial / t_keyed:4.2f}x faster"
              f" than serial fit_groups (target >= 1.5) | shuffled {t_serial / t_shuffled:4.2f}x |"
              f" identical: {same}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-dask", action="store_true")
    args = parser.parse_args()
    warnings.simplefilter("ignore")  # Dask's advice on large graphs: the data is persisted first
    scale = 10 if args.quick else 1
    groups = 100_000 // scale
    df = table(groups, seed=1)
    machine_check()
    print(f"{groups} groups of {N_POINTS} points, rows shuffled (ratios; the machine is shared):")
    serial_table(df)
    peak_memory(df)
    process_table(df)
    if not args.no_dask:
        dask_table(200_000 // scale)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
