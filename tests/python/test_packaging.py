import pathlib

import pytest

import tondra

# A repaired wheel carries its shared libraries in tondra.libs beside the module.
LIBS = pathlib.Path(tondra.__file__).parent / "tondra.libs"


@pytest.mark.skipif(not LIBS.is_dir(), reason="the module was not installed from a repaired wheel")
class TestRepairedWheel:
    def test_lapack_is_served_by_the_wheels_own_openblas(self, child):
        # A fresh process, so that no other package's OpenBLAS (numpy's) is mapped beside it.
        proc = child(
            """
import tondra
assert tondra.taubin_svd([0.0, 1.0, 0.0, -1.0], [1.0, 0.0, -1.0, 0.0]) == [0.0, 0.0]
with open("/proc/self/maps") as maps:
    print("\\n".join(sorted({line.split()[-1] for line in maps if "openblas" in line.lower()})))
"""
        )
        assert proc.returncode == 0, proc.stderr
        mapped = [pathlib.Path(line) for line in proc.stdout.decode().split()]
        assert len(mapped) == 1 and mapped[0].parent == LIBS.resolve(), mapped
