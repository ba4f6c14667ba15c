"""What the Python tests share: a child interpreter for what must be seen on fd 2 or must not hang
the suite, the module's panic type, and the synthetic arcs (angles in degrees, as everywhere)."""

import functools
import os
import subprocess
import sys
import textwrap

import tondra
from kit_cases import contaminated_arc, noisy_arc  # noqa: F401 - numpy arcs for the kit's tests
from reference import arc  # noqa: F401 - one generator for the tests and the benchmarks

NOT_YET_IMPLEMENTED = "not yet implemented"


def run_child(code, env_extra=None, timeout=60):
    """Runs `code` (dedented) in a fresh interpreter (same executable and environment, so the
    module under test is found the same way, minus TONDRA_BACKTRACE) and returns the completed
    process with stdout and stderr as raw bytes."""
    env = dict(os.environ)
    env.pop("TONDRA_BACKTRACE", None)
    if env_extra:
        env.update(env_extra)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        env=env,
        timeout=timeout,
    )


def panic():
    """A fresh panic, raised by asking for a method the module does not implement."""
    try:
        tondra.fit_lsq([0.0, 1.0], [0.0, 1.0], "no such method")
    except BaseException as exc:  # noqa: B036 - the panic is a BaseException on purpose
        assert exc.args == (NOT_YET_IMPLEMENTED,), exc.args
        return exc
    raise AssertionError("no panic")


@functools.cache
def panic_type():
    """The module's panic type (one per process, registered outside the module)."""
    return type(panic())
