import collections
import importlib.util
import signal
import sys

import pytest
import tondra

# A __float__ that calls the module again, as deep as it goes. What ends it depends on the
# interpreter, the build and the parameters: the recursion limit (LIMIT; 0 keeps the default)
# or the C stack (that of a thread of STACK KiB; 0 runs on the main thread). Either way the
# outcome must be a RecursionError, and the module must work afterwards.
DEEP_REENTRY = """
import sys
import threading
import tondra
outcome = []
class Reenters:
    def __float__(self):
        FIT([Reenters()], [0.0])
        return 0.0
def deep():
    if LIMIT:
        sys.setrecursionlimit(LIMIT)
    try:
        FIT([Reenters()], [0.0])
    except RecursionError:
        outcome.append("RecursionError")
if STACK:
    threading.stack_size(STACK << 10)
    thread = threading.Thread(target=deep)
    thread.start()
    thread.join()
else:
    deep()
print(*outcome)
print(FIT([0, 2, 1], [1, 1, 0]))
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


class TestDeepReentry:
    # A raised limit leaves only the C stack to stop the recursion on every interpreter; a
    # thread of 256 KiB runs out of it within a few hundred levels, wherever the limit is.
    @pytest.mark.parametrize("stack", [0, 256], ids=["main-thread", "thread-256k"])
    @pytest.mark.parametrize("limit", [0, 1_000_000], ids=["default-limit", "raised-limit"])
    @pytest.mark.parametrize("fit", ["fit_geometrical", "fit_lsq", "taubin_svd"])
    def test_deep_reentry_ends_in_recursion_error_not_a_crash(self, child, fit, limit, stack):
        code = DEEP_REENTRY.replace("FIT", "tondra." + fit)
        proc = child(code.replace("LIMIT", str(limit)).replace("STACK", str(stack)))
        assert proc.returncode == 0, proc.stderr[-2000:]
        after = str(getattr(tondra, fit)([0, 2, 1], [1, 1, 0]))
        assert proc.stdout.decode().splitlines() == ["RecursionError", after]


class TestResourceExhaustion:
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
