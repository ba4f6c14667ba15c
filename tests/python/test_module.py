import importlib
import inspect
import pathlib
import shutil
import subprocess

import pytest

import tondra


class TestModule:
    def test_all_lists_the_functions_in_table_order(self):
        assert tondra.__all__ == ["taubin_svd", "fit_geometrical", "fit_lsq"]

    def test_module_doc_is_empty_not_none(self):
        assert tondra.__doc__ == ""

    @pytest.mark.parametrize(
        "name, signature, doc",
        [
            ("taubin_svd", "(xs, ys)", None),
            ("fit_geometrical", "(xs, ys)",
             "Finds the probable center by taking the average of the points"),
            ("fit_lsq", '(xs, ys, method="lbfgs")',
             "Fits the cirlce using a Least-Squares methods. Currently, only Nelder-Mead and "
             "L-BFGS are supported."),
        ],
    )
    def test_function_signature_and_doc(self, name, signature, doc):
        function = getattr(tondra, name)
        assert function.__text_signature__ == signature
        assert function.__doc__ == doc
        assert (function.__name__, function.__module__) == (name, "tondra")
        assert function.__self__ is tondra

    def test_signatures_as_inspect_sees_them(self):
        assert str(inspect.signature(tondra.fit_lsq)) == "(xs, ys, method='lbfgs')"
        assert str(inspect.signature(tondra.taubin_svd)) == "(xs, ys)"

    def test_importing_again_gives_the_same_module(self):
        assert importlib.import_module("tondra") is tondra

    def test_initialising_again_reuses_the_cached_module(self, child):
        # A fresh import of the same extension runs PyInit_tondra again.
        proc = child(
            """
import importlib.util, sys, tondra
found = importlib.util.find_spec("tondra")
again = importlib.util.module_from_spec(found)
print(again is tondra, tondra.__all__)
"""
        )
        assert proc.stdout == b"True ['taubin_svd', 'fit_geometrical', 'fit_lsq']\n", proc.stderr

    @pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
    def test_only_the_init_function_is_exported(self):
        out = subprocess.run(
            ["nm", "-D", "--defined-only", pathlib.Path(tondra.__file__)],
            capture_output=True, text=True, check=True,
        ).stdout
        assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_tondra"]
