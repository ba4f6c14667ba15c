"""What an installed distribution must give a user, checked in the environment it went into.

Run by scripts/test_wheel.sh with that environment's interpreter, from outside the source tree,
after a wheel or the sdist was installed there: the module and its stubs come from the
environment, the fits give the documented values to the bit, the declared commands are there, and
the kit (when this checkout has one) imports with its dependencies and ships its types.
"""

import importlib
import importlib.metadata
import pathlib
import sys
import sysconfig

ROOT = pathlib.Path(__file__).resolve().parents[2]
SITE = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()


def installed(module):
    """The module, imported from this environment's site-packages and nowhere else."""
    loaded = importlib.import_module(module)
    where = pathlib.Path(loaded.__file__).resolve()
    assert where.is_relative_to(SITE), f"{module} came from {where}, not from {SITE}"
    return loaded


tondra = installed("tondra")
assert (SITE / "tondra-stubs" / "__init__.pyi").is_file(), "the stub package is missing"

# The README's example, to the bit; Taubin's last bits come from the LAPACK kernels the CPU
# selects, so it is held to the digits the README prints.
xs = [36, 36, 19, 18, 33, 26]
ys = [14, 10, 28, 31, 18, 26]
assert tondra.fit_geometrical(xs, ys) == [28.0, 21.166666666666668]
assert [round(v, 12) for v in tondra.taubin_svd(xs, ys)] == [9.575796910938, 3.479898878813]
assert tondra.fit_lsq(xs, ys) == [9.887566582102181, 3.6874973648401053]
assert tondra.fit_lsq(xs, ys, method="nelder_mead") == [9.887568464709698, 3.687499394455159]

checked = ["tondra", "tondra-stubs"]
# Every command the distribution declares is installed beside the interpreter.
for command in importlib.metadata.distribution("tondra").entry_points.select(group="console_scripts"):
    assert (pathlib.Path(sys.prefix) / "bin" / command.name).is_file(), f"no command {command.name}"
    checked.append(f"the command {command.name}")
if (ROOT / "src" / "tondrakit").is_dir():
    kit = installed("tondrakit")
    assert (pathlib.Path(kit.__file__).parent / "py.typed").is_file(), "the kit ships no py.typed"
    # Its engine is an extension module of its own, which must have come with it.
    circle = kit.fit(xs, ys)
    assert (round(circle.cx, 6), round(circle.cy, 6), round(circle.r, 6)) == (
        9.887567, 3.687497, 27.350443,
    ), circle
    checked.append("tondrakit and its engine")

print(f"smoke: {', '.join(checked)} from {SITE} (Python {sys.version.split()[0]})")
