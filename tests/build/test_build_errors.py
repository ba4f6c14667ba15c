"""A source build on a machine that lacks a piece stops at configure time with one line naming
the piece and the Debian package that provides it.

Each case configures the project into a fresh directory with the piece taken away: a compiler
that does not exist, a PATH without one, or (in a private mount namespace) the system's OpenBLAS
or the interpreter's headers hidden. Configuring stops before anything is compiled, so each case
takes a second or two.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = pathlib.Path(sys.executable).parent
CMAKE = shutil.which("cmake", path=str(BIN)) or shutil.which("cmake")
PYTHON = f"python{sys.version_info[0]}.{sys.version_info[1]}"

NO_COMPILER = "no C++ compiler ({}; install the Debian package g++)"
NO_OPENBLAS = "no OpenBLAS (libopenblas.so, in the Debian package libopenblas-dev)"
NO_HEADERS = f"no headers of {PYTHON} (Python.h, in the Debian package {PYTHON}-dev)"


def can_hide():
    return subprocess.run([ROOT / "scripts/hidden.sh", "--possible"]).returncode == 0


needs_hiding = pytest.mark.skipif(
    not can_hide(), reason="hiding files needs root or user namespaces"
)


def configure(build_dir, hide=(), env=None):
    """Configures the project as a wheel build does (no unit tests): status and output."""
    command = [CMAKE, "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DTONDRA_BUILD_TESTS=OFF",
               f"-DPython_EXECUTABLE={sys.executable}"]
    if hide:
        command = [ROOT / "scripts/hidden.sh", *hide, "--", *command]
    environ = dict(os.environ, PATH=f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}")
    environ.pop("CXX", None)
    environ.update(env or {})
    proc = subprocess.run([str(c) for c in command], env=environ, capture_output=True, text=True)
    return proc.returncode, proc.stdout + proc.stderr


def header_dirs():
    """Every directory where CMake could find this interpreter's Python.h."""
    paths = sysconfig.get_paths()
    dirs = {paths["include"], paths["platinclude"], f"/usr/include/{PYTHON}",
            f"/usr/local/include/{PYTHON}"}
    return sorted(d for d in dirs if os.path.isdir(d))


def the_one_line(output):
    """The build's own message; it must be the only line that speaks of tondra's needs."""
    lines = [line.strip() for line in output.splitlines() if line.strip().startswith("tondra: ")]
    assert len(lines) == 1, output
    # CMake's own search reports (several lines each) must not appear beside it.
    assert "Could not find" not in output and "Could NOT find" not in output, output
    assert "No CMAKE_CXX_COMPILER could be found" not in output, output
    return lines[0].removeprefix("tondra: ")


class TestMissingPieces:
    def test_with_nothing_missing_the_same_configure_succeeds(self, tmp_path):
        status, output = configure(tmp_path)
        assert status == 0, output

    def test_a_compiler_named_by_cxx_that_does_not_exist(self, tmp_path):
        status, output = configure(tmp_path, env={"CXX": "/nonexistent/c++"})
        assert status != 0
        assert the_one_line(output) == NO_COMPILER.format("CXX=/nonexistent/c++")
        # Stopped before CMake went looking for a compiler itself.
        assert "compiler identification" not in output

    def test_no_compiler_on_path(self, tmp_path):
        # The environment's own bin directory holds cmake and ninja but no compiler.
        status, output = configure(tmp_path, env={"PATH": str(BIN)})
        assert status != 0
        assert the_one_line(output) == NO_COMPILER.format("c++, g++ or clang++ on PATH")

    @needs_hiding
    def test_no_openblas(self, tmp_path):
        status, output = configure(tmp_path, hide=["--openblas"])
        assert status != 0
        assert the_one_line(output) == NO_OPENBLAS

    @needs_hiding
    def test_no_python_headers(self, tmp_path):
        status, output = configure(tmp_path, hide=header_dirs())
        assert status != 0
        assert the_one_line(output) == NO_HEADERS

    @needs_hiding
    def test_two_missing_pieces_share_the_line(self, tmp_path):
        status, output = configure(tmp_path, hide=["--openblas", *header_dirs()])
        assert status != 0
        assert the_one_line(output) == f"{NO_HEADERS} and {NO_OPENBLAS}"
