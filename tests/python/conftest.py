import os
import subprocess
import sys
import textwrap

import pytest


def run_child(code, env_extra=None, timeout=60):
    """Runs `code` in a fresh interpreter (same executable and environment, so the module under
    test is found the same way) and returns the completed process with raw bytes."""
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


@pytest.fixture
def child():
    return run_child
