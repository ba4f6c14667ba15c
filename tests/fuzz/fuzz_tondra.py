"""Hostile-input fuzzing of the tondra module.

    python tests/fuzz/fuzz_tondra.py [--seconds N] [--seed S] [--atheris]

Each call picks a function, arguments built from hostile pieces (lying __len__, sequences that
change while they are read, __float__ that raises or calls the module again, every numpy dtype,
NaN and infinities, huge lengths, keyword and positional mixes, odd method values) and checks:
the call returns a list of two floats or raises one of the expected exception types; the
reference counts of plain inputs are unchanged; the resident set stays flat. A crash or a hang
is caught by the parent process, which runs the loop in a child and reports the seed.

Without --atheris the pieces are chosen by a seeded generator (reproducible from the seed);
with it, atheris drives the same choices from its coverage-guided byte strings. A failed run names
the call it stopped at (calls are counted from 0, the warm-up included); `--seed S --from N`
replays from there: the inputs of the calls before N are built but not passed to the module.
"""

import argparse
import faulthandler
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import types

HANG_SECONDS = 20  # one call; the slowest honest one (Nelder-Mead on 10^4 points) takes ~0.1 s
RSS_GROWTH_LIMIT = 64 << 20  # bytes, from after the warm-up to the end


class UserError(Exception):
    """Raised by our own hostile objects: it must come back unchanged."""


class UserTypeError(TypeError):
    pass


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Choices:
    """The fuzzer's source of decisions: a seeded generator, or atheris's byte string."""

    def __init__(self, rng=None, fdp=None):
        self.rng, self.fdp = rng, fdp

    def int(self, n):
        if self.fdp is not None:
            return self.fdp.ConsumeIntInRange(0, n - 1)
        return self.rng.randrange(n)

    def pick(self, options):
        return options[self.int(len(options))]

    def float(self):
        if self.fdp is not None:
            return self.fdp.ConsumeRegularFloat() if self.int(4) else self.fdp.ConsumeFloat()
        return self.pick([0.0, -0.0, 1.0, 1e-300, 1e300, math.nan, math.inf, -math.inf,
                          self.rng.uniform(-100, 100), self.rng.gauss(0, 1e6)])


class Fuzzer:
    def __init__(self, tondra, numpy):
        self.tondra, self.np = tondra, numpy
        self.panic = None
        self.depth = 0
        self.calls = 0
        self.outcomes = {}
        self.bad = []
        self.report_file = sys.__stderr__  # where a hang's traceback goes

    # --- hostile pieces -------------------------------------------------------------------------
    def number(self, c):
        kind = c.int(12)
        if kind < 5:
            return c.float()
        if kind == 5:
            return c.pick([0, 1, -7, 2**53 + 1, 10**400, True, False])
        if kind == 6:
            return Floaty(c.pick([1.5, math.nan, UserError("float"), UserTypeError("float"),
                                  "not a float", 10**400]))
        if kind == 7:
            return self.reentrant(c)
        if kind == 8:
            return c.pick(["1.0", None, b"x", 1j, [1.0], object()])
        if kind == 9 and self.np is not None:
            return self.np.float32(c.float())
        if kind == 10:
            return Indexy(c.pick([3, 10**400, UserError("index")]))
        return float(c.int(1000))

    def reentrant(self, c):
        fuzzer = self
        inner = self.points(c, allow_reentry=False)

        class Reenters:
            def __float__(self):
                fuzzer.depth += 1
                try:
                    fuzzer.tondra.fit_geometrical(*inner)
                finally:
                    fuzzer.depth -= 1
                return 1.0

        return Reenters()

    def sequence(self, c, allow_reentry=True):
        n = c.pick([0, 1, 2, 3, 5, 20, 200, c.int(3000)])
        kind = c.int(11)
        make = (lambda: self.number(c)) if allow_reentry else c.float
        if kind == 0:
            return [c.float() for _ in range(n)]
        if kind == 1:
            return tuple(make() for _ in range(n))
        if kind == 2:
            return [make() for _ in range(n)]
        if kind == 3 and self.np is not None:
            return self.array(c, n)
        if kind == 4:
            return Lying([c.float() for _ in range(n)],
                         c.pick([0, n * 3, 2**60, 10**17, -1, UserError("len"), 2**63 - 1]))
        if kind == 5:
            return Mutating([c.float() for _ in range(n)], c.int(4))
        if kind == 6:
            return c.pick([range(n), bytes(range(min(n, 256))), bytearray(min(n, 256)),
                           "abc", {1.0: 2.0}, {1.0}, (x for x in [1.0]), 3.0, None])
        if kind == 7:
            return RaisingIter(n, c.pick([UserError("next"), StopIteration(), UserTypeError("i")]))
        if kind == 8:
            return Growing()
        return [c.float() for _ in range(n)]

    def array(self, c, n):
        np = self.np
        dtype = c.pick(["f8", "f4", "f2", "g", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8",
                        "?", "c16", "O", "U3", "S3", "M8[s]", "m8[s]", "V8"])
        data = np.zeros(n, dtype=dtype)
        if data.dtype.kind in "fc" and n:
            data[:] = [c.float() for _ in range(n)]
        if c.int(4) == 0 and n > 1:
            data = data[:: c.pick([2, -1])]
        if c.int(6) == 0:
            data = data.reshape(1, -1) if c.int(2) else np.array(c.float())
        return data

    def points(self, c, allow_reentry=True):
        return self.sequence(c, allow_reentry), self.sequence(c, allow_reentry)

    # --- one call -------------------------------------------------------------------------------
    def one(self, c):
        t = self.tondra
        fn = c.pick([t.fit_geometrical, t.taubin_svd, t.fit_lsq])
        xs, ys = self.points(c)
        args, kwargs = [xs, ys], {}
        if fn is t.fit_lsq and c.int(2):
            method = c.pick(["lbfgs", "nelder_mead", None, "bogus", "", "lbfgs\0", 3, b"lbfgs",
                             "\udcff", Str("nelder_mead")])
            args.append(method)
        style = c.int(5)
        if style == 1:
            kwargs = {"xs": args.pop(0), "ys": args.pop(0)}
            if args:
                kwargs["method"] = args.pop()
        elif style == 2:
            kwargs = {"ys": args.pop(1)}
        elif style == 3:
            kwargs = c.pick([{"zs": 1}, {"xs": xs}, {"method": "lbfgs"}])
        elif style == 4:
            args = args[: c.int(len(args) + 2)] + [ys] * c.int(2)
        watched = [o for o in (xs, ys) if type(o) in (list, tuple)]
        before = [sys.getrefcount(o) for o in watched]
        faulthandler.dump_traceback_later(HANG_SECONDS, exit=True, file=self.report_file)
        try:
            result = fn(*args, **kwargs)
            outcome = "ok"
            if not (type(result) is list and len(result) == 2 and all(type(v) is float for v in result)):
                self.bad.append(f"bad result {result!r}")
        except (TypeError, ValueError, OverflowError, MemoryError, RecursionError, UserError) as e:
            outcome = type(e).__name__
        except BaseException as e:
            if type(e).__name__ != "PanicException":
                self.bad.append(f"unexpected {type(e).__name__}: {e!r}"[:300])
            outcome = type(e).__name__
        finally:
            faulthandler.cancel_dump_traceback_later()
        self.calls += 1
        self.outcomes[outcome] = self.outcomes.get(outcome, 0) + 1
        after = [sys.getrefcount(o) for o in watched]
        if after != before:
            self.bad.append(f"reference count changed: {before}->{after}")


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Str(str):
    pass


class Lying:
    """A sequence whose __len__ lies (or raises)."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Mutating(list):
    """A list subclass (so it is read by iteration) whose items empty or grow it mid-read."""

    def __init__(self, items, how):
        super().__init__(items)
        owner = self
        if len(self):
            class Saboteur:
                def __float__(self):
                    if how == 0:
                        owner.clear()
                    elif how == 1:
                        owner.extend([1.0] * 3)
                    elif how == 2:
                        del owner[:1]
                    return 2.0

            self.insert(len(self) // 2, Saboteur())


class RaisingIter:
    def __init__(self, n, error):
        self.n, self.error = n, error

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if i >= self.n:
            raise self.error
        return float(i)


class Growing:
    """Claims two items, yields many: only iteration decides the length."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 5000:
            raise IndexError
        return float(i)


def run_loop(seconds, seed, use_atheris, progress_path, first_call):
    import tondra
    try:
        import numpy
    except ImportError:
        numpy = None
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 3000))
    fuzzer = Fuzzer(tondra, numpy)
    # The index of the call under way, for the parent to name when this process fails.
    progress = os.open(progress_path, os.O_WRONLY)
    index = 0

    def one(c):
        nonlocal index
        os.pwrite(progress, struct.pack("<q", index), 0)
        # Replaying: the calls before the first build their inputs but call nothing.
        fuzzer.tondra = STUBS if index < first_call else tondra
        if index == first_call:
            fuzzer.calls, fuzzer.outcomes = 0, {}
        fuzzer.one(c)
        index += 1

    # Fault reports go to fd 2 on every PanicException; keep them out of the way.
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(2)
    os.dup2(devnull, 2)
    fuzzer.report_file = os.fdopen(saved, "w", closefd=False)
    rng = random.Random(seed)
    for _ in range(300):  # warm-up: caches, numpy's lazily made objects
        one(Choices(rng))
    rss_start = rss_bytes()
    deadline = time.monotonic() + seconds
    if use_atheris:
        import atheris

        def test_one(data):
            one(Choices(fdp=atheris.FuzzedDataProvider(data)))
            if time.monotonic() > deadline:
                raise SystemExit(0)

        atheris.Setup([sys.argv[0], "-max_len=256"], test_one)
        try:
            atheris.Fuzz()
        except SystemExit:
            pass
    else:
        while index < first_call:
            one(Choices(rng))
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            one(Choices(rng))
    rss_end = rss_bytes()
    os.dup2(saved, 2)
    print(f"calls {fuzzer.calls}, outcomes {dict(sorted(fuzzer.outcomes.items()))}")
    print(f"rss start {rss_start >> 20} MiB, end {rss_end >> 20} MiB")
    problems = list(fuzzer.bad)
    if rss_end - rss_start > RSS_GROWTH_LIMIT:
        problems.append(f"resident set grew by {(rss_end - rss_start) >> 20} MiB")
    for p in problems[:20]:
        print("PROBLEM:", p)
    return 1 if problems else 0


# What the module's functions become for the calls a replay skips.
STUBS = types.SimpleNamespace(fit_geometrical=lambda *a, **k: [0.0, 0.0],
                              taubin_svd=lambda *a, **k: [0.0, 0.0],
                              fit_lsq=lambda *a, **k: [0.0, 0.0])


def run_child(args):
    """The loop, with anything that escapes it printed to stdout: fd 2 is a sink for the module's
    fault reports by then."""
    try:
        return run_loop(args.seconds, args.seed, args.atheris, args.progress, args.first)
    except BaseException:
        try:
            traceback.print_exc(file=sys.stdout)
            sys.stdout.flush()
        except BaseException:  # an exhausted recursion depth may not even let it print
            os.write(1, b"fuzz: an exception escaped the loop\n")
        return 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("FUZZ_SECONDS", 25)))
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--atheris", action="store_true")
    parser.add_argument("--from", dest="first", type=int, default=0,
                        help="replay from this call (seeded generator only)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--progress", help=argparse.SUPPRESS)
    a = parser.parse_args()
    if a.child:
        sys.exit(run_child(a))
    seed = a.seed if a.seed is not None else random.randrange(2**32)
    print(f"fuzz: seed {seed}, {a.seconds:g} s{' (atheris)' if a.atheris else ''}", flush=True)
    with tempfile.NamedTemporaryFile(prefix="fuzz-progress-") as progress:
        progress.write(struct.pack("<q", -1))
        progress.flush()
        cmd = [sys.executable, os.path.abspath(__file__), "--child", "--seconds", str(a.seconds),
               "--seed", str(seed), "--progress", progress.name, "--from", str(a.first)]
        proc = subprocess.run(cmd + (["--atheris"] if a.atheris else []), timeout=a.seconds + 600)
        (last,) = struct.unpack("<q", os.pread(progress.fileno(), 8, 0))
    where = f"at call {last}" + ("" if a.atheris else f"; replay with --seed {seed} --from {last}")
    if proc.returncode < 0:
        print(f"fuzz: CRASH (signal {-proc.returncode}) {where}")
    elif proc.returncode != 0:
        print(f"fuzz: FAILED (exit {proc.returncode}: a problem, a hang or an error) {where}")
    else:
        print("fuzz: passed")
    sys.exit(0 if proc.returncode == 0 else 1)


if __name__ == "__main__":
    main()
