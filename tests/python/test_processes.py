import concurrent.futures
import multiprocessing
import pickle

import pytest

import tondra
from helpers import panic, panic_type


class TestPanicAcrossProcesses:
    def test_round_trip_keeps_type_message_and_notes(self):
        error = panic()
        error.add_note("batch 7")
        back = pickle.loads(pickle.dumps(error))
        assert type(back) is type(error)
        assert (back.args, back.__notes__) == (("not yet implemented",), ["batch 7"])

    def test_a_process_that_never_imported_tondra_unpickles_it(self, child):
        proc = child(
            f"""
import pickle, sys
error = pickle.loads({pickle.dumps(panic())!r})
print("tondra" in sys.modules, type(error).__module__, type(error).__qualname__,
      [c.__name__ for c in type(error).__mro__], error.args)
"""
        )
        assert proc.stdout == (
            b"True kelvar_runtime PanicException ['PanicException', 'BaseException', 'object'] "
            b"('not yet implemented',)\n"
        ), proc.stderr

    @pytest.mark.parametrize("start", ["fork", "spawn"])
    def test_process_pool_reports_the_workers_panic(self, start):
        context = multiprocessing.get_context(start)
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
            failed = pool.submit(tondra.fit_lsq, [0.0, 1.0], [0.0, 1.0], "bogus")
            fitted = pool.submit(tondra.fit_geometrical, [0, 2], [0, 4])
            error = failed.exception(timeout=60)
            assert fitted.result(timeout=60) == [1.0, 2.0]
        assert type(error) is panic_type()
        assert error.args == ("not yet implemented",)

    def test_the_type_is_registered_under_its_own_name_only(self):
        import kelvar_runtime

        assert kelvar_runtime.PanicException is panic_type()
        assert sorted(n for n in dir(tondra) if not n.startswith("__")) == [
            "fit_geometrical", "fit_lsq", "taubin_svd"]
