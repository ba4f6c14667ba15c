#!/usr/bin/env bash
# Builds the portable wheel: the module for one interpreter (3.12 where there is one, else the
# newest 3.13+), repaired by auditwheel so that it carries its own copy of OpenBLAS and runs on
# machines without it. auditwheel picks the newest manylinux policy this machine's build meets.
#   scripts/wheel.sh              set up, then build into dist/
#   scripts/wheel.sh --no-setup   skip the set-up (the test command has just done it)
# Prints the wheel's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

if [ "${1:-}" != --no-setup ]; then
  scripts/setup.sh test
fi

venv=$(tools_venv)
[ -n "$venv" ] || { echo "wheel: no virtual environment of 3.12 or newer; run scripts/setup.sh" >&2; exit 1; }
tag=${venv#.venv/}
export PATH="$PWD/$venv/bin:$PATH"  # cmake, ninja and auditwheel

# The raw wheel links the system's OpenBLAS; only the repaired one goes to dist/. The build
# directory is the one the test command's install for this interpreter uses, so its build is
# reused rather than repeated.
rm -rf build/wheel-raw
mkdir -p build/wheel-raw dist
pip_in "$venv/bin/python" wheel -q --no-deps --no-build-isolation -w build/wheel-raw \
  --config-settings=build-dir="build/wheel-$tag" .
raw=$(ls build/wheel-raw/tondra-*.whl)

rm -f dist/tondra-*.whl
auditwheel repair -w dist "$raw"
wheel=$(ls dist/tondra-*.whl)
auditwheel show "$wheel"
echo "wheel: $(du -k "$wheel" | cut -f1) KiB"
echo "$wheel"
