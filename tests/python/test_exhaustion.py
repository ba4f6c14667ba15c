import collections
import importlib.util
import os
import signal
import sys

import pytest

# A __float__ that calls the module again, as deep as the recursion limit lets it.
DEEP_REENTRY = """
import sys
import tondra
sys.setrecursionlimit(6000)
class Reenters:
    def __float__(self):
        FIT([Reenters()], [0.0])
        return 0.0
try:
    FIT([Reenters()], [0.0])
except RecursionError:
    print("RecursionError")
print(FIT([0, 2], [0, 4]))
"""

# The same in a thread of 1.5 MiB stack with recursion limit 1000, which allows at most 1000
# levels (3.13 counts one per level, older versions more): the limit comes first only while each
# level takes about as much C stack as a builtin's (under 1.5 KiB); levels of 1.8 KiB overflow.
DEEP_REENTRY_SMALL_STACK = """
import sys
import threading
import tondra
outcome = []
class Reenters:
    def __float__(self):
        FIT([Reenters()], [0.0])
        return 0.0
def deep():
    sys.setrecursionlimit(1000)
    try:
        FIT([Reenters()], [0.0])
    except RecursionError:
        outcome.append("RecursionError")
threading.stack_size(1536 << 10)
thread = threading.Thread(target=deep)
thread.start()
thread.join()
print(*outcome)
"""

# The module's initialisation with every allocation from the k-th on failing. The extension is
# loaded directly: the import machinery around it can spin when it runs out of memory itself.
IMPORT_WITHOUT_MEMORY = """
import _imp
import _testcapi
import importlib.util
found = importlib.util.find_spec("tondra")
_testcapi.set_nomemory(START)
try:
    _imp.create_dynamic(found)
finally:
    _testcapi.remove_mem_hooks()
"""


class TestResourceExhaustion:
    @pytest.mark.parametrize("fit", ["fit_geometrical", "fit_lsq", "taubin_svd"])
    def test_deep_reentry_ends_in_recursion_error_not_a_crash(self, child, fit):
        proc = child(DEEP_REENTRY.replace("FIT", "tondra." + fit))
        assert proc.returncode == 0, proc.stderr[-2000:]
        assert proc.stdout.decode().splitlines()[0] == "RecursionError"

    @pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                        reason="the sanitizers' frames are several times larger")
    @pytest.mark.parametrize("fit", ["fit_geometrical", "fit_lsq", "taubin_svd"])
    def test_deep_reentry_fits_a_small_thread_stack(self, child, fit):
        proc = child(DEEP_REENTRY_SMALL_STACK.replace("FIT", "tondra." + fit))
        assert proc.returncode == 0, proc.stderr[-2000:]
        assert proc.stdout.decode().split() == ["RecursionError"]

    @pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="no _testcapi")
    def test_import_without_memory_raises_memory_error_never_aborts(self, child):
        outcomes = collections.Counter()
        for k in range(0, 300, 3):
            proc = child(IMPORT_WITHOUT_MEMORY.replace("START", str(k)))
            if proc.returncode == -signal.SIGSEGV and sys.version_info[:2] == (3, 13):
                continue  # 3.13's own import code dereferences null on some of these paths
            assert proc.returncode >= 0, (k, proc.stderr[-2000:])
            assert b"panicked" not in proc.stderr, (k, proc.stderr[-2000:])
            last = proc.stderr.strip().splitlines()[-1:] or [b"imported"]
            outcomes[last[0].split(b":")[0]] += 1
        assert outcomes[b"imported"] > 0 and outcomes[b"MemoryError"] > 0, outcomes
