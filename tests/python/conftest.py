import pathlib
import signal
import sys

import pytest

# The reference fits and the synthetic arcs live with the benchmarks, which measure against the
# same code the tests check against.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))

from helpers import run_child  # noqa: E402 - needs the path above

# A shell that starts the suite in the background hands it SIGINT ignored, and Python then never
# raises KeyboardInterrupt; the tests of Ctrl-C need the handler an interactive run has.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def child():
    return run_child
