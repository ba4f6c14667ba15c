#!/usr/bin/env bash
# Runs the benchmarks: the C++ ones (Google Benchmark) and the Python side-by-side comparisons,
# on CPython 3.12 where available. Figures only; nothing here passes or fails on speed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
scripts/setup.sh test
venv=$(tools_venv)
export PATH="$PWD/$venv/bin:$PATH"
install_module "$venv"
# The peers the Python comparisons measure against (not needed by the tests).
pip_in "$venv/bin/python" install -q -r requirements/bench.txt

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONDRA_BUILD_TESTS=OFF \
      -DTONDRA_BUILD_BENCH=ON -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
cmake --build build/bench
for exe in build/bench/*_bench; do
  [ -x "$exe" ] || continue
  echo "=== $exe"
  "$exe" --benchmark_min_time=0.5s 2>/dev/null || "$exe"
done
for script in bench/bench_*.py; do
  echo "=== $script"
  "$venv/bin/python" "$script"
done
