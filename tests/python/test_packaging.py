import pathlib
import re
import shutil
import subprocess

import pytest

import tondra

# A repaired wheel carries its shared libraries in tondra.libs beside the module.
LIBS = pathlib.Path(tondra.__file__).parent / "tondra.libs"


def _newest_glibc(library: str) -> tuple[int, ...]:
    """The newest GLIBC_x.y symbol version a shared library asks for."""
    dump = subprocess.run(["objdump", "-T", library], capture_output=True, text=True, check=True)
    versions = re.findall(r"\bGLIBC_(\d+(?:\.\d+)+)\b", dump.stdout)
    return max(tuple(int(p) for p in v.split(".")) for v in versions)


@pytest.mark.skipif(not LIBS.is_dir(), reason="the module was not installed from a repaired wheel")
class TestRepairedWheel:
    @pytest.mark.skipif(shutil.which("objdump") is None, reason="needs objdump")
    def test_the_kits_engine_needs_no_newer_c_library_than_the_module(self):
        # The wheel's manylinux tag is set by the newest symbol version any of its libraries
        # needs: one libm call of a newer version in the engine would shut out systems the
        # module runs on.
        import tondrakit._engine

        assert _newest_glibc(tondrakit._engine.__file__) <= _newest_glibc(tondra.__file__)

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

