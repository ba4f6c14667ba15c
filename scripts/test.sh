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
record() {  # name status ("passed", "skipped: why", or anything else for a failure)
  results+=("$(printf '%-44s %s' "$1" "$2")")
  case $2 in passed|skipped*) ;; *) failed=1 ;; esac
}

jobs=$(nproc 2>/dev/null || echo 2)

# --- C++ unit tests -------------------------------------------------------------------------------
tools=$(tools_venv)
export PATH="$PWD/$tools/bin:$PATH"  # cmake and ninja from the build requirements
mkdir -p build
# Configures, builds and runs the unit tests in a build directory; extra arguments are variable
# assignments for the configure step (the compiler).
cpp_tests() {  # label build-dir [NAME=value...]
  local label=$1 dir=$2; shift 2
  if env "$@" cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DPython_EXECUTABLE="$PWD/$tools/bin/python" -DTONDRA_BUILD_TESTS=ON >"$dir-configure.log" 2>&1; then
    if cmake --build "$dir" -j "$jobs" && (cd "$dir" && ctest --output-on-failure -j "$jobs"); then
      record "$label" passed
    else
      record "$label" FAILED
    fi
  else
    cat "$dir-configure.log"
    record "$label (configure)" FAILED
  fi
}
cpp_tests "C++ unit tests (ctest)" build/cpp

# --- C++ unit tests, built with clang ------------------------------------------------------------
# The code must build warning-free with a second compiler; its unit tests are enough to show
# it does the same there (the module itself ships from the g++ build).
clangxx=""
for c in clang++-19 clang++-20 clang++-18 clang++-17 clang++-16; do
  command -v "$c" >/dev/null 2>&1 && { clangxx=$c; break; }
done
if [ -z "$clangxx" ]; then
  record "C++ unit tests (clang)" FAILED
  echo "no clang++ 16 or newer: scripts/setup.sh installs clang-19" >&2
else
  cpp_tests "C++ unit tests ($clangxx)" build/clang CXX="$clangxx" CC="${clangxx/++/}"
fi

# --- The kit's engine under ThreadSanitizer ---------------------------------------------------------
# The engine fits sets on threads of its own. The unit tests (among them the batch on several
# threads, a set failing on one of them, a stop) run under ThreadSanitizer, less the stack-room
# test, whose bounds the sanitizer's own stack use upsets; the Python suite cannot, since the
# interpreter and OpenBLAS are not built for it, so the threads' Python side is tested by the
# suite's concurrency tests instead.
echo "=== ThreadSanitizer (the engine)"
if cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONDRA_THREAD_SANITIZE=ON \
      -DPython_EXECUTABLE="$PWD/$tools/bin/python" -DTONDRA_BUILD_TESTS=ON >build/tsan-configure.log 2>&1 \
   && cmake --build build/tsan -j "$jobs" --target tondra_unit_tests \
   && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        build/tsan/tondra_unit_tests --gtest_filter='-StackRoom.*' --gtest_brief=1; then
  record "ThreadSanitizer (engine)" passed
else
  [ -s build/tsan-configure.log ] && tail -n 20 build/tsan-configure.log
  record "ThreadSanitizer (engine)" FAILED
fi

# --- Deep re-entry in other builds -----------------------------------------------------------------
# A user __float__ that calls the module again must end in RecursionError however much stack a
# level takes, so the deep re-entry tests also run against the clang build above and an unoptimised
# (-O0) build of the module; the sanitizer build runs them below with the rest of the suite. One
# interpreter (the tools one); the module found must be the build's own.
deep_reentry_tests() {  # label module-directory
  local label=$1 dir=$PWD/$2
  if (cd tests/python \
        && PYTHONPATH="$dir" "../../$tools/bin/python" -c \
             'import sys, tondra; sys.exit(not tondra.__file__.startswith(sys.argv[1]))' "$dir" \
        && PYTHONPATH="$dir" "../../$tools/bin/python" -m pytest -q -p no:cacheprovider \
             -k deep_reentry test_exhaustion.py); then
    record "$label" passed
  else
    record "$label" FAILED
  fi
}
if [ -n "$clangxx" ]; then
  deep_reentry_tests "deep re-entry ($clangxx)" build/clang/python
fi
echo "=== deep re-entry: unoptimised build"
debug_compiler=()
[ -n "$clangxx" ] && debug_compiler=(CXX="$clangxx" CC="${clangxx/++/}")
if env "${debug_compiler[@]}" cmake -S . -B build/debug -G Ninja \
      -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE="$PWD/$tools/bin/python" \
      -DTONDRA_BUILD_TESTS=OFF >build/debug-configure.log 2>&1 \
   && cmake --build build/debug -j "$jobs" --target tondra; then
  deep_reentry_tests "deep re-entry (-O0)" build/debug/python
else
  tail -n 20 build/debug-configure.log
  record "deep re-entry (-O0, build)" FAILED
fi

# --- Lint: clang-format and clang-tidy, pinned (make lint) -----------------------------------------
echo "=== lint"
if LINT_NO_SETUP=1 scripts/lint.sh; then
  record "lint (format, tidy)" passed
else
  record "lint (format, tidy)" FAILED
fi

# --- Build errors: a missing compiler, OpenBLAS or Python headers named in one line ---------------
echo "=== build errors"
if "$tools/bin/python" -m pytest -q -p no:cacheprovider tests/build; then
  record "build errors (configure)" passed
else
  record "build errors (configure)" FAILED
fi

# --- Python tests, per interpreter ----------------------------------------------------------------
for venv in .venv/*/; do
  venv=${venv%/}
  tag=${venv#.venv/}
  [ -x "$venv/bin/python" ] || continue
  echo "=== $tag: build and install"
  if ! install_module "$venv"; then
    record "pytest $tag" "FAILED (build)"
    continue
  fi
  echo "=== $tag: pytest"
  # Then the examples in the kit's docstrings, from the installed package (run from tests/python,
  # so that the checkout's src/ is not what gets imported). Tables print with trailing blanks.
  if (cd tests/python && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider . \
        && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider --doctest-modules \
             -o doctest_optionflags=NORMALIZE_WHITESPACE --pyargs tondrakit); then
    record "pytest $tag" passed
  else
    record "pytest $tag" FAILED
  fi
done

# --- Types: the installed stubs against the module, typical calls through both checkers, and the
# kit's own code (strict in both) -----------------------------------------------------------------
# Runs in the one environment that setup.sh gave the type checkers, after pip installed the
# module (and its stub package) there above.
typing_tag=$(cat .venv/typing-tag 2>/dev/null || true)
if [ -n "$typing_tag" ] && [ -x ".venv/$typing_tag/bin/basedpyright" ]; then
  echo "=== $typing_tag: stubtest, mypy, basedpyright"
  typing_bin="$PWD/.venv/$typing_tag/bin"
  # stubtest leaves a cache folder in its working directory whatever it is told.
  if (cd build && "$typing_bin/python" -m mypy.stubtest tondra) \
     && (cd tests/typing && export MYPY_CACHE_DIR="$OLDPWD/build/mypy-cache" \
        && "$typing_bin/python" -m mypy --strict --warn-unused-ignores usage.py \
        && "$typing_bin/basedpyright" --pythonpath "$typing_bin/python" usage.py \
        && "$typing_bin/python" -m mypy --strict --warn-unused-ignores ../../src/tondrakit \
        && "$typing_bin/basedpyright" -p kit/pyrightconfig.json --pythonpath "$typing_bin/python"); then
    record "types $typing_tag" passed
  else
    record "types $typing_tag" FAILED
  fi
else
  record "types" "FAILED (no environment)"
fi

# --- Distributions: a wheel per Python version, and the sdist -------------------------------------
# Each manylinux wheel (auditwheel vendors OpenBLAS into it) is installed into a fresh environment
# and tested there with the system's OpenBLAS hidden from the loader, so that the wheel's own copy
# is proven to serve; the sdist is built from scratch by pip in a fresh environment and
# smoke-tested. The wheels reuse the builds that the installs above left in build/wheel-<tag>.
echo "=== distributions: build"
scripts/wheel.sh --no-setup 2>&1 | tee build/wheel.log
while read -r state file <&3; do
  if [ "$state" = failed: ]; then
    record "$file" "FAILED (build)"
    continue
  fi
  name=$(basename "$file")
  case $name in
    *.whl) label="wheel $(cut -d- -f3 <<< "$name") $(basename "$name" .whl | cut -d- -f5)" ;;
    *) label="sdist (pip install, smoke)" ;;
  esac
  echo "=== distributions: test $file"
  scripts/test_wheel.sh "$file"
  case $? in
    0) record "$label" passed ;;
    3) record "$label" "skipped: OpenBLAS not hidden (needs root or user namespaces); tests passed" ;;
    *) record "$label" FAILED ;;
  esac
done 3< <(grep -E '^(built|failed): ' build/wheel.log)
grep -qE '^(built|failed): ' build/wheel.log || record "distributions" "FAILED (nothing built)"

# --- Fuzzing: a short bounded run (make fuzz runs a long one) -------------------------------------
# Hostile inputs against the module installed above in the tools environment; a crash, a hang,
# an unexpected exception type, a changed reference count or a growing RSS fails it. The seed is
# fixed so that a failure here can be replayed (FUZZ_SEED picks another).
echo "=== fuzz (25 s)"
if (cd tests/python && "../../$tools/bin/python" ../fuzz/fuzz_tondra.py --seconds 25 --seed "${FUZZ_SEED:-20261207}"); then
  record "fuzz (25 s)" passed
else
  record "fuzz (25 s)" FAILED
fi
echo "=== fuzz of the kit (20 s)"
if (cd tests/python && "../../$tools/bin/python" ../fuzz/fuzz_tondrakit.py --seconds 20 --seed "${FUZZ_SEED:-20261207}"); then
  record "fuzz of the kit (20 s)" passed
else
  record "fuzz of the kit (20 s)" FAILED
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
         "../../$tools/bin/python" -m pytest -q -p no:cacheprovider -k "not memory_error" .); then
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
