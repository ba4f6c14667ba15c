import re

import pytest

import tondra

NOTE = b"note: run with `TONDRA_BACKTRACE=1` environment variable to display a backtrace\n"
# A fault whose position this module owns: a sequence claiming more items than memory can hold.
OVERFLOW_SETUP = """
import tondra
class Claims:
    def __len__(self):
        return 2**60
    def __getitem__(self, i):
        raise IndexError
def overflow():
    try:
        tondra.fit_geometrical(Claims(), [0.0])
    except BaseException as e:
        print(type(e).__name__, str(e), flush=True)
"""


def report(message, file_pattern=rb"[^\n:]+"):
    return rb"thread '<unnamed>' panicked at " + file_pattern + rb":\d+:\d+:\n" + message + rb"\n"


class TestFaults:
    def test_report_goes_to_fd2_with_position_and_first_note(self, child):
        proc = child(OVERFLOW_SETUP + "overflow()")
        assert proc.returncode == 0
        assert proc.stdout == b"PanicException capacity overflow\n"
        assert re.fullmatch(
            report(b"capacity overflow", rb"src/host/conversion\.cpp") + re.escape(NOTE),
            proc.stderr,
        ), proc.stderr

    def test_faults_in_conversions_leave_the_recursion_depth_as_it_was(self, child):
        # More faults than any interpreter's limit counts, raised in a conversion and resumed
        # through user code into the conversion around it.
        proc = child(OVERFLOW_SETUP + """
import sys
sys.setrecursionlimit(100)
class Resumes:
    def __float__(self):
        tondra.fit_geometrical(Claims(), [0.0])
outcomes = set()
for i in range(20000):
    try:
        tondra.fit_geometrical(Claims() if i % 2 else [Resumes()], [0.0])
    except BaseException as e:
        outcomes.add(type(e).__name__)
print(*outcomes, tondra.fit_geometrical([0.0, 2.0], [0.0, 4.0]))
""")
        assert proc.stdout == b"PanicException [1.0, 2.0]\n", proc.stderr[-2000:]

    def test_only_the_first_fault_carries_the_note(self, child):
        proc = child(OVERFLOW_SETUP + "overflow()\noverflow()")
        one = report(b"capacity overflow")
        assert re.fullmatch(one + re.escape(NOTE) + one, proc.stderr), proc.stderr

    def test_backtrace_replaces_the_note_when_switched_on(self, child):
        proc = child(OVERFLOW_SETUP + "overflow()", env_extra={"TONDRA_BACKTRACE": "1"})
        assert re.match(report(b"capacity overflow") + rb"stack backtrace:\n.", proc.stderr)
        assert NOTE not in proc.stderr

    def test_report_bypasses_a_replaced_sys_stderr(self, child):
        proc = child(
            OVERFLOW_SETUP
            + """
import io, sys
sys.stderr = captured = io.StringIO()
overflow()
sys.stderr = sys.__stderr__
print(repr(captured.getvalue()))
"""
        )
        assert proc.stdout == b"PanicException capacity overflow\n''\n"
        assert re.fullmatch(report(b"capacity overflow") + re.escape(NOTE), proc.stderr)

    def test_unsupported_method_faults_with_its_message(self, child):
        proc = child(
            """
import tondra
try:
    tondra.fit_lsq([0.0, 1.0], [0.0, 1.0], method="bogus")
except Exception:
    print("caught as Exception")
except BaseException as e:
    print(type(e).__qualname__, e.args)
print(tondra.fit_geometrical([0, 2], [0, 4]))
"""
        )
        assert proc.stdout == b"PanicException ('not yet implemented',)\n[1.0, 2.0]\n"
        assert re.fullmatch(report(b"not yet implemented") + re.escape(NOTE), proc.stderr)

    def test_panic_exception_type(self):
        with pytest.raises(BaseException) as info:
            tondra.fit_lsq([0.0], [0.0], method="bogus")
        panic = type(info.value)
        assert panic.__mro__ == (panic, BaseException, object)
        assert not issubclass(panic, Exception)
        assert (panic.__module__, panic.__name__, panic.__qualname__) == (
            "kelvar_runtime", "PanicException", "PanicException")
        assert "BaseException" in panic.__doc__ and "SystemExit" in panic.__doc__
        assert info.value.args == ("not yet implemented",)
        assert not any(getattr(tondra, name) is panic for name in dir(tondra))
        # One type per process.
        with pytest.raises(panic):
            tondra.fit_lsq([0.0], [0.0], method="bogus")

    def test_panic_through_user_code_is_resumed_not_reported_twice(self, child):
        proc = child(
            """
import tondra
class Reenters:
    def __float__(self):
        tondra.fit_lsq([0.0], [0.0], method="bogus")
        return 0.0
try:
    tondra.fit_geometrical([Reenters()], [0.0])
except BaseException as e:
    print(type(e).__name__, e.args)
"""
        )
        assert proc.stdout == b"PanicException ('not yet implemented',)\n"
        expected = (
            report(b"not yet implemented")
            + re.escape(NOTE)
            + re.escape(
                b"panic resumed after a PanicException was fetched from Python\n"
                b"Python stack trace below:\n"
                b"Traceback (most recent call last):\n"
            )
            + rb".*in __float__\n.*"
            + re.escape(b"kelvar_runtime.PanicException: not yet implemented\n")
        )
        assert re.fullmatch(expected, proc.stderr, re.DOTALL), proc.stderr
        assert proc.stderr.count(b"panicked at") == 1

    def test_panic_from_len_is_resumed_too(self, child):
        proc = child(
            """
import tondra
class Len:
    def __len__(self):
        tondra.fit_lsq([0.0], [0.0], method="bogus")
    def __getitem__(self, i):
        raise IndexError
try:
    tondra.fit_geometrical(Len(), [0.0])
except BaseException as e:
    print(type(e).__name__, e.args)
"""
        )
        assert proc.stdout == b"PanicException ('not yet implemented',)\n"
        assert b"panic resumed after a PanicException" in proc.stderr

    def test_memory_exhaustion_is_a_memory_error(self, child):
        proc = child(
            """
import tondra
class Claims:
    def __len__(self):
        return 10**17
    def __getitem__(self, i):
        if i < 2:
            return float(i)
        raise IndexError
for _ in range(2):
    try:
        tondra.fit_geometrical([0.0], Claims())
    except MemoryError as e:
        print("MemoryError", e.args)
print(tondra.fit_geometrical([0, 2], [0, 4]))
""",
            env_extra={"ASAN_OPTIONS": "allocator_may_return_null=1"},
        )
        assert proc.returncode == 0
        assert proc.stdout == b"MemoryError ()\nMemoryError ()\n[1.0, 2.0]\n"
        assert proc.stderr == b""
