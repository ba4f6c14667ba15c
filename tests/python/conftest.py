import pathlib
import sys

import pytest

# The reference fits and the synthetic arcs live with the benchmarks, which measure against the
# same code the tests check against.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))

from helpers import run_child  # noqa: E402 - needs the path above


@pytest.fixture
def child():
    return run_child
