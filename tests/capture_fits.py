"""Every fit's exact output on a fixed collection of data sets, for checking that a change to the
module leaves every result as it was, bit for bit.

    python tests/capture_fits.py OUT.json             # capture with the tondra on the path
    python tests/capture_fits.py OUT.json BASE.json   # capture, then compare with BASE

The data sets cover the edges (no points, one, equal points, lines, unequal lengths), NaN and
infinities, arcs of 10 to 360 degrees with 3 to 20000 points, scales from 2^-300 to 2^300, ints
and float32, and each is given in several forms: lists and tuples, float64 arrays, strided,
reversed and unaligned arrays, columns of (n, 2) arrays, array.array and memoryviews. Each
record holds, per function, the centre as float.hex plus the raw bits (NaNs differ in sign and
payload), or the exception's type and message, and what the call wrote to fd 2 (fault reports
without their source positions).
"""

import array
import json
import math
import os
import random
import re
import struct
import sys
import tempfile

import numpy as np

import tondra

FITS = [
    ("fit_geometrical", lambda x, y: tondra.fit_geometrical(x, y)),
    ("taubin_svd", lambda x, y: tondra.taubin_svd(x, y)),
    ("fit_lsq/lbfgs", lambda x, y: tondra.fit_lsq(x, y)),
    ("fit_lsq/nelder_mead", lambda x, y: tondra.fit_lsq(x, y, "nelder_mead")),
]


def arc(n, span_deg, cx, cy, r, noise, seed, start_deg=0.0):
    rng = random.Random(seed)
    start, span = math.radians(start_deg), math.radians(span_deg)
    steps = n if span_deg >= 360 else max(n - 1, 1)
    xs, ys = [], []
    for i in range(n):
        t = start + span * i / steps
        xs.append(cx + r * math.cos(t) + rng.gauss(0.0, noise * r))
        ys.append(cy + r * math.sin(t) + rng.gauss(0.0, noise * r))
    return xs, ys


def data_sets():
    """(name, xs, ys) with xs and ys lists of Python floats (or ints, where named so)."""
    nan, inf = math.nan, math.inf
    sets = [
        ("empty", [], []),
        ("one point", [1.5], [-2.5]),
        ("two points", [0.0, 1.0], [0.0, 1.0]),
        ("three points", [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]),
        ("equal points", [3.25] * 7, [-1.125] * 7),
        ("zeros", [0.0] * 5, [0.0] * 5),
        ("negative zeros", [-0.0] * 4, [-0.0] * 4),
        ("line", [float(i) for i in range(10)], [2.0 * i + 1.0 for i in range(10)]),
        ("vertical line", [4.0] * 9, [float(i) for i in range(9)]),
        ("xs longer", [0.0, 1.0, 0.0, 2.0], [0.0, 0.0, 1.0]),
        ("ys longer", [0.0, 1.0, 0.0], [0.0, 0.0, 1.0, 5.0, 6.0]),
        ("xs empty", [], [1.0, 2.0]),
        ("ys empty", [1.0, 2.0], []),
        ("nan first", [nan, 1.0, 0.0, -1.0], [0.0, 1.0, 2.0, 1.0]),
        ("nan last y", [1.0, 0.0, -1.0, 0.0], [0.0, 1.0, 0.0, nan]),
        ("all nan", [nan] * 3, [nan] * 3),
        ("negative nan", [-nan, 1.0, 2.0], [0.0, 1.0, 0.5]),
        ("inf", [inf, 1.0, 0.0], [0.0, 1.0, 2.0]),
        ("minus inf y", [0.0, 1.0, 2.0], [1.0, -inf, 0.0]),
        ("inf and -inf", [inf, -inf, 0.0], [0.0, 0.0, 1.0]),
        ("inf and nan", [inf, nan, 0.0], [1.0, 0.0, 1.0]),
        ("huge", [1e308, -1e308, 1e308], [1e308, 1e308, -1e308]),
        ("subnormal", [5e-324, 1e-320, 0.0], [0.0, 5e-324, 1e-321]),
        ("max and min", [sys.float_info.max, sys.float_info.min, 0.0], [0.0, 1.0, -1.0]),
    ]
    seed = 100
    for span in (10, 20, 45, 90, 115, 180, 270, 330, 360):
        for n in (3, 5, 20, 100, 1000):
            seed += 1
            sets.append((f"arc {span} deg n={n}", *arc(n, span, 3.0, 4.0, 5.0, 0.01, seed, 17.0)))
    for span in (10, 30, 60, 135, 225, 300, 360):
        for n in (4, 12, 50, 500, 2000, 20000):
            seed += 1
            sets.append((f"wide arc {span} deg n={n}",
                         *arc(n, span, -250.0, 75.0, 40.0, 0.002, seed, 200.0)))
    for n in (7, 20, 57, 300, 5000, 20000):
        seed += 1
        sets.append((f"noisy circle n={n}", *arc(n, 360, -12.5, 40.0, 2.0, 0.05, seed)))
    for n in (4, 10001):
        seed += 1
        sets.append((f"exact arc n={n}", *arc(n, 200, 1.0, 1.0, 1.0, 0.0, seed)))
    for e in (-300, -299, -200, -100, -30, 30, 100, 200, 299, 300):
        for n in (5, 50, 3000):
            seed += 1
            xs, ys = arc(n, 120, 0.5, -0.25, 1.0, 0.02, seed, 40.0)
            sets.append((f"scale 2^{e} n={n}", [math.ldexp(v, e) for v in xs],
                         [math.ldexp(v, e) for v in ys]))
    for offset in (1e3, 1e8, 1e15):
        seed += 1
        xs, ys = arc(40, 30, offset, -offset, 1.0, 0.01, seed)
        sets.append((f"far arc offset {offset:g}", xs, ys))
    rng = random.Random(7)
    for n in (3, 10, 200):
        sets.append((f"ints n={n}", [rng.randint(-1000, 1000) for _ in range(n)],
                     [rng.randint(-1000, 1000) for _ in range(n)]))
    sets.append(("big ints", [2**53 + 1, 2**60, -(2**62)], [1, 2**63 - 1, 3]))
    sets.append(("bools", [True, False, True], [False, True, True]))
    for n in (3, 20, 1000):
        seed += 1
        xs, ys = arc(n, 75, 10.0, 20.0, 3.0, 0.01, seed)
        sets.append((f"float32 values n={n}", [float(np.float32(v)) for v in xs],
                     [float(np.float32(v)) for v in ys]))
    for n in (2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 15, 16, 17, 19, 20, 21, 23, 33, 40, 64, 127, 128,
              129, 1000, 1023, 2500, 4096, 9999, 10000):
        seed += 1
        sets.append((f"random n={n}", *arc(n, 50.0 + n % 300, 0.0, 0.0, 100.0, 0.3, seed)))
    return sets


def forms(xs, ys, small):
    """The data set in each form the module reads, as (form name, xs, ys)."""
    out = [("list", xs, ys)]
    floats = all(isinstance(v, float) for v in xs + ys)
    ints = all(type(v) is int for v in xs + ys)
    try:
        x = np.array(xs, dtype=np.float64)
        y = np.array(ys, dtype=np.float64)
    except OverflowError:
        return out
    if floats or ints:
        out.append(("float64 array", x, y))
    if ints and all(-(2**63) <= v < 2**63 for v in xs + ys):
        out.append(("int64 array", np.array(xs, dtype=np.int64), np.array(ys, dtype=np.int64)))
        if all(-(2**31) <= v < 2**31 for v in xs + ys):
            out.append(("int32 array", np.array(xs, dtype=np.int32), np.array(ys, dtype=np.int32)))
    if not floats:
        return out
    if len(xs) == len(ys):
        pts = np.column_stack((x, y)) if xs else np.empty((0, 2))
        out.append(("columns of (n, 2)", pts[:, 0], pts[:, 1]))
    if small:
        out.append(("tuple", tuple(xs), tuple(ys)))
        out.append(("reversed twice", x[::-1].copy()[::-1], y[::-1].copy()[::-1]))
        wide_x = np.zeros(3 * len(xs))
        wide_x[::3] = x
        wide_y = np.zeros(3 * len(ys))
        wide_y[1::3] = y
        out.append(("stride 3", wide_x[::3], wide_y[1::3]))
        raw_x = b"\0" + x.tobytes()
        raw_y = b"\0\0\0" + y.tobytes()
        out.append(("unaligned", np.frombuffer(raw_x, dtype=np.float64, offset=1),
                    np.frombuffer(raw_y, dtype=np.float64, offset=3)))
        out.append(("array.array", array.array("d", xs), array.array("d", ys)))
        out.append(("memoryview", memoryview(x), memoryview(array.array("d", ys))))
        out.append(("float32 array", x.astype(np.float32), y.astype(np.float32)))
        out.append(("mixed list and array", xs, y))
        if len(xs) == len(ys):
            f = np.asfortranarray(np.column_stack((x, y))) if xs else np.empty((0, 2), order="F")
            out.append(("columns of Fortran (n, 2)", f[:, 0], f[:, 1]))
            out.append(("rows of (2, n)", np.stack((x, y))[0], np.stack((x, y))[1]))
        out.append(("big-endian array", x.astype(">f8"), y.astype(">f8")))
        out.append(("readonly array", readonly(x), readonly(y)))
    return out


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def odd_arguments():
    """Arguments that are not plain point sets: the errors and their order are pinned too."""
    a = np.arange(6.0)
    return [
        ("2-D array", a.reshape(3, 2), a[:3]),
        ("0-d array", np.float64(2.0), a),
        ("0-d ndarray", np.array(2.0), a),
        ("object array", np.array([1.0, 2, "x"], dtype=object), a),
        ("object array of numbers", np.array([1.0, 2, 3], dtype=object), a[:3]),
        ("complex array", np.array([1 + 1j, 2.0]), a[:2]),
        ("str array", np.array(["1", "2"]), a[:2]),
        ("bool array", np.array([True, False, True]), a[:3]),
        ("uint8 array", np.array([1, 2, 255], dtype=np.uint8), a[:3]),
        ("float16 array", np.array([1.5, np.nan, -2.0], dtype=np.float16), a[:3]),
        ("float32 nan", np.array([np.nan, 1.0, 2.0], dtype=np.float32), a[:3]),
        ("str xs", "abc", a[:3]),
        ("str ys", a[:3], "abc"),
        ("both bad", 1, 2),
        ("bad ys only", a[:3], {1: 2}),
        ("array and generator", a[:3], (v for v in (1.0, 2.0, 3.0))),
        ("array and str items", a[:3], ["1", "2", "3"]),
        ("bytes", b"\x01\x02\x07", a[:3]),
        ("masked array", np.ma.array([1.0, 2.0, 3.0], mask=[0, 1, 0]), a[:3]),
        ("matrix row", np.asmatrix(a[:3]), a[:3]),
        ("array subclass", a[:3].view(type("Sub", (np.ndarray,), {})), a[:3]),
        ("huge int", [2**1100, 1.0], [0.0, 1.0]),
        ("None", None, a[:3]),
    ]


def bits(v):
    return struct.pack("<d", v).hex()


def call_recorded(fit, xs, ys):
    """The call's result or exception, and the bytes it wrote to fd 2."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as err:
        os.dup2(err.fileno(), 2)
        try:
            try:
                result = fit(xs, ys)
                outcome = {"centre": [float.hex(v) for v in result], "bits": [bits(v) for v in result]}
            except BaseException as exc:  # noqa: B036 - the panic is a BaseException
                outcome = {"raised": f"{type(exc).__module__}.{type(exc).__qualname__}",
                           "message": str(exc)}
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        err.seek(0)
        # A fault report names the source position, which moves with any edit.
        text = err.read().decode("utf-8", "backslashreplace")
        outcome["stderr"] = re.sub(r"panicked at \S+:\d+:\d+:", "panicked at <position>:", text)
    return outcome


def capture():
    records = {}
    cases = []
    for name, xs, ys in data_sets():
        small = max(len(xs), len(ys)) <= 2000
        for form, fx, fy in forms(xs, ys, small):
            cases.append((f"{name} / {form}", fx, fy))
    for name, fx, fy in odd_arguments():
        cases.append((f"odd: {name}", fx, fy))
    for key, fx, fy in cases:
        records[key] = {label: call_recorded(fit, fx, fy) for label, fit in FITS}
    return records


def main():
    records = capture()
    with open(sys.argv[1], "w") as out:
        json.dump(records, out, indent=1, sort_keys=True)
    data_set_count = len({key.split(" / ")[0] for key in records})
    print(f"{len(records)} cases ({data_set_count} data sets), {len(records) * len(FITS)} calls "
          f"-> {sys.argv[1]}")
    if len(sys.argv) > 2:
        with open(sys.argv[2]) as base_file:
            base = json.load(base_file)
        differing = [key for key in sorted(set(base) | set(records))
                     if base.get(key) != records.get(key)]
        for key in differing[:20]:
            print(f"DIFFERS: {key}\n  base: {base.get(key)}\n  now:  {records.get(key)}")
        print(f"{len(differing)} of {len(base)} cases differ from {sys.argv[2]}")
        sys.exit(1 if differing else 0)


if __name__ == "__main__":
    main()
