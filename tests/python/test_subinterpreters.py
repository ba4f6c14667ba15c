import importlib.util
import sys

import pytest

# The private modules that can start a legacy (non-isolated) sub-interpreter, by version.
if sys.version_info >= (3, 13):
    PRIVATE = "_interpreters"
else:
    PRIVATE = "_xxsubinterpreters"

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec(PRIVATE) is None, reason=f"{PRIVATE} is not available"
)

CHILD = """
import sys
import tondra
import PRIVATE as interpreters

if sys.version_info >= (3, 13):
    iid = interpreters.create("legacy")
    failure = interpreters.exec(iid, "import tondra")
    print(failure.type.__name__ if failure else "imported")
    print(failure.msg if failure else "")
else:
    iid = interpreters.create(isolated=False)
    try:
        interpreters.run_string(iid, "import tondra")
        print("imported")
        print("")
    except interpreters.RunFailedError as e:
        name, _, message = str(e).partition(": ")
        print(name.strip("<>").replace("class ", "").strip("'"))
        print(message)
interpreters.destroy(iid)
print(tondra.fit_geometrical([0, 2], [0, 4]))
"""


class TestSubinterpreters:
    def test_second_interpreter_gets_import_error_and_first_keeps_working(self, child):
        proc = child(CHILD.replace("PRIVATE", PRIVATE))
        assert proc.returncode == 0, proc.stderr
        kind, message, result = proc.stdout.decode().splitlines()
        assert kind == "ImportError"
        assert "not yet support sub-interpreters" in message
        assert result == "[1.0, 2.0]"
        assert proc.stderr == b""


# A sub-interpreter imports first and is destroyed; then the main interpreter imports.
AFTER_SUBINTERPRETER = """
import sys
import PRIVATE as interpreters

config = "CONFIG"
if sys.version_info >= (3, 13):
    iid = interpreters.create(config)
    interpreters.exec(iid, "import tondra")
else:
    iid = interpreters.create(isolated=config == "isolated")
    try:
        interpreters.run_string(iid, "import tondra")
    except interpreters.RunFailedError:
        pass
interpreters.destroy(iid)
import tondra
print(tondra.fit_geometrical([0, 2], [0, 4]), tondra.fit_lsq.__self__ is tondra)
"""


class TestOwnership:
    @pytest.mark.parametrize("config", ["legacy", "isolated"])
    def test_main_interpreter_imports_after_the_owner_is_destroyed(self, child, config):
        # An isolated interpreter's import fails (single-phase modules are refused there).
        if config == "isolated" and sys.version_info < (3, 12):
            pytest.skip("no isolated sub-interpreters before 3.12")
        proc = child(AFTER_SUBINTERPRETER.replace("PRIVATE", PRIVATE).replace("CONFIG", config))
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == b"[1.0, 2.0] True\n"

    def test_failed_isolated_import_claims_nothing(self, child):
        # The isolated interpreter still lives when the main interpreter imports.
        if sys.version_info < (3, 12):
            pytest.skip("no isolated sub-interpreters before 3.12")
        proc = child(ISOLATED_STILL_ALIVE.replace("PRIVATE", PRIVATE))
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == b"ImportError [1.0, 2.0]\n"


ISOLATED_STILL_ALIVE = """
import sys
import PRIVATE as interpreters

if sys.version_info >= (3, 13):
    iid = interpreters.create("isolated")
    failure = interpreters.exec(iid, "import tondra")
    kind = failure.type.__name__
else:
    iid = interpreters.create(isolated=True)
    try:
        interpreters.run_string(iid, "import tondra")
        kind = "imported"
    except interpreters.RunFailedError as e:
        kind = str(e).partition(": ")[0].strip("<>").replace("class ", "").strip("'")
import tondra
print(kind, tondra.fit_geometrical([0, 2], [0, 4]))
interpreters.destroy(iid)
"""
