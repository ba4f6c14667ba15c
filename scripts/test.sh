#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests through CTest, then, for every interpreter,
# installs the module into its virtual environment (pip, through the same CMake project) and
# runs the Python tests with pytest. Ends with one summary; fails if any part failed.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

scripts/setup.sh test || { echo "setup failed" >&2; exit 1; }

results=()
failed=0
record() {  # name status
  results+=("$(printf '%-28s %s' "$1" "$2")")
  [ "$2" = passed ] || failed=1
}

jobs=$(nproc 2>/dev/null || echo 2)

# --- C++ unit tests -------------------------------------------------------------------------------
tools=$(ls -d .venv/*-3.12 2>/dev/null | head -n 1)
[ -n "$tools" ] || tools=$(ls -d .venv/*-3.1[3-9] | head -n 1)
export PATH="$PWD/$tools/bin:$PATH"  # cmake and ninja from the build requirements
mkdir -p build
if cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DPython_EXECUTABLE="$PWD/$tools/bin/python" -DTONDRA_BUILD_TESTS=ON >build/cpp-configure.log 2>&1; then
  if cmake --build build/cpp -j "$jobs" && (cd build/cpp && ctest --output-on-failure -j "$jobs"); then
    record "C++ unit tests (ctest)" passed
  else
    record "C++ unit tests (ctest)" FAILED
  fi
else
  cat build/cpp-configure.log
  record "C++ configure" FAILED
fi

# --- Python tests, per interpreter ----------------------------------------------------------------
for venv in .venv/*/; do
  venv=${venv%/}
  tag=${venv#.venv/}
  [ -x "$venv/bin/python" ] || continue
  echo "=== $tag: build and install"
  if ! pip_in "$venv/bin/python" install -q --no-build-isolation \
        --config-settings=build-dir="build/wheel-$tag" . ; then
    record "pytest $tag" "FAILED (build)"
    continue
  fi
  echo "=== $tag: pytest"
  if (cd tests/python && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider .); then
    record "pytest $tag" passed
  else
    record "pytest $tag" FAILED
  fi
done

# --- Fuzzing: a short bounded run (make fuzz runs a long one) -------------------------------------
# Hostile inputs against the module installed above in the tools environment; a crash, a hang,
# an unexpected exception type, a changed reference count or a growing RSS fails it.
echo "=== fuzz (25 s)"
if (cd tests/python && "../../$tools/bin/python" ../fuzz/fuzz_tondra.py --seconds 25); then
  record "fuzz (25 s)" passed
else
  record "fuzz (25 s)" FAILED
fi

# --- Sanitizers: ASan + UBSan build, C++ unit tests and the Python suite under it ------------------
# One interpreter (the tools one). The runtimes are preloaded into the interpreter; the tests that
# exhaust memory on purpose are left out, since under ASan a failed allocation aborts.
echo "=== sanitizers (ASan + UBSan)"
if cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTONDRA_SANITIZE=ON \
      -DPython_EXECUTABLE="$PWD/$tools/bin/python" -DTONDRA_BUILD_TESTS=ON >build/asan-configure.log 2>&1 \
   && cmake --build build/asan -j "$jobs" \
   && (cd build/asan && ctest --output-on-failure -j "$jobs") \
   && (cd tests/python && LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
         ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$PWD/../../build/asan/python" \
         "../../$tools/bin/python" -m pytest -q -p no:cacheprovider -k "not emory" .); then
  record "sanitizers (asan+ubsan)" passed
else
  [ -s build/asan-configure.log ] && tail -n 20 build/asan-configure.log
  record "sanitizers (asan+ubsan)" FAILED
fi

echo
echo "=== summary"
printf '%s\n' "${results[@]}"
if [ "$failed" -ne 0 ]; then
  echo "SOME TESTS FAILED"
  exit 1
fi
echo "ALL TESTS PASSED"
