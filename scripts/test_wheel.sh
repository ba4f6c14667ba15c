#!/usr/bin/env bash
# Tests the distributions as a user gets them, each installed into a fresh virtual environment:
#   scripts/test_wheel.sh dist/tondra-*.whl dist/tondra-*.tar.gz
# A wheel goes into an environment of its own Python version, with nothing but what the wheel
# declares, and is tested with the system's OpenBLAS hidden from the loader, so that only the copy
# inside the wheel can serve the module: first the smoke test (tests/dist/smoke.py) and the
# README's examples in the environment as pip left it, which is what a new user has; then the
# Python suite and the kit's docstring examples, for which the test dependencies come from the
# interpreter's own environment in .venv/ (installed there once, by scripts/setup.sh), placed
# after the fresh environment's own packages. The sdist is built by pip from scratch, as a user's
# pip would, with the system's compiler, OpenBLAS and Python headers, into a fresh environment of
# the tools' Python version, and must pass the smoke test and run the README's examples.
# Exit status: 0 all passed; 1 something failed; 3 the tests passed but the system's OpenBLAS
# could not be hidden (neither root nor user namespaces), so a wheel's own copy went unproven.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

# The smoke test and the README's examples, then the test dependencies, then the Python suite and
# the kit's docstring examples (from tests/python, so that the checkout's src/ is not what gets
# imported).
run_tests() {  # env deps-environment
  local env=$1 deps=$2 purelib='import sysconfig; print(sysconfig.get_paths()["purelib"])' site
  (cd build && "../$env/bin/python" ../tests/dist/smoke.py) || return 1
  "$env/bin/python" scripts/readme_examples.py README.md || return 1
  # site.addsitedir, not a bare path, so that the .pth files of that environment work as well.
  site=$("$env/bin/python" -c "$purelib") && deps=$("$deps/bin/python" -c "$purelib") || return 1
  echo "import site; site.addsitedir('$deps')" > "$site/zz-test-dependencies.pth"
  cd tests/python || return 1
  "../../$env/bin/python" -m pytest -q -p no:cacheprovider . || return 1
  if [ -d ../../src/tondrakit ]; then
    "../../$env/bin/python" -m pytest -q -p no:cacheprovider --doctest-modules \
      -o doctest_optionflags=NORMALIZE_WHITESPACE --pyargs tondrakit || return 1
  fi
}

# --- inside the private mount namespace, OpenBLAS hidden: test_wheel.sh --inside ENV DEPS -------
if [ "${1:-}" = --inside ]; then
  set -e
  env=$2 deps=$3
  # Proof that the hiding holds: no name reaches an OpenBLAS any more.
  "$env/bin/python" - <<'EOF'
import ctypes

for name in ("libopenblas.so.0", "libopenblas.so", "libblas.so.3", "liblapack.so.3"):
    try:
        ctypes.CDLL(name)
    except OSError:
        print(f"not loadable: {name}")
        continue
    print(f"loadable: {name}")
with open("/proc/self/maps") as maps:
    leaked = sorted({line.split()[-1] for line in maps if "openblas" in line.lower()})
assert not leaked, f"the system's OpenBLAS is still reachable: {leaked}"
try:
    ctypes.CDLL("libopenblas.so.0")
except OSError:
    pass
else:
    raise AssertionError("libopenblas.so.0 still loads")
EOF
  set +e
  run_tests "$env" "$deps"
  exit
fi

[ $# -gt 0 ] || { echo "usage: scripts/test_wheel.sh WHEEL-OR-SDIST..." >&2; exit 1; }
unset PYTHONPATH

# The first interpreter of a Python version (3.12) that scripts/pythons.sh lists and that has
# its environment in .venv/, as "<tag> <path>"; the same one scripts/wheel.sh builds with.
interpreter() {
  local tag python
  while read -r tag python; do
    [ -x ".venv/$tag/bin/python" ] && { echo "$tag $python"; return; }
  done < <(scripts/pythons.sh | grep -- "-$1 ")
}

# A fresh environment under build/test-env/: created anew, whatever an earlier run left there.
fresh_env() {  # name python
  local env=build/test-env/$1
  rm -rf "$env"
  mkdir -p build/test-env
  echo "test_wheel: fresh virtual environment $env ($2)" >&2
  "$2" -m venv "$env" || return 1
  printf '%s' "$env"
}

test_wheel() {  # wheel
  local wheel=$1 abi version tag python env
  abi=$(basename "$wheel" | cut -d- -f3)
  version="3.${abi#cp3}"
  read -r tag python < <(interpreter "$version")
  [ -n "${python:-}" ] || { echo "test_wheel: no CPython $version with an environment for $wheel" >&2; return 1; }
  env=$(fresh_env "$abi" "$python") || return 1
  pip_in "$env/bin/python" install -q "$wheel" || return 1
  if scripts/hidden.sh --possible; then
    scripts/hidden.sh --openblas -- bash scripts/test_wheel.sh --inside "$env" ".venv/$tag"
  else
    echo "test_wheel: cannot hide the system's OpenBLAS (needs root or user namespaces);" \
         "testing with it visible" >&2
    (run_tests "$env" ".venv/$tag") || return 1
    return 3
  fi
}

test_sdist() {  # sdist
  local sdist=$1 tools tag python env
  tools=$(tools_venv)
  read -r tag python < <(interpreter "${tools##*-}")
  [ -n "${python:-}" ] || { echo "test_wheel: no interpreter to build $sdist with" >&2; return 1; }
  env=$(fresh_env sdist "$python") || return 1
  # Built from the archive in pip's own isolated build environment, as a user's pip builds it.
  # pip stores the wheel it builds but does not reuse it for a local archive, so every run
  # compiles; the cache still serves the build tools and the dependencies.
  pip_in "$env/bin/python" install -q "$sdist" || return 1
  (cd build && "../$env/bin/python" ../tests/dist/smoke.py) || return 1
  "$env/bin/python" scripts/readme_examples.py README.md
}

status=0
for file in "$@"; do
  [ -f "$file" ] || { echo "test_wheel: no such file: $file" >&2; status=1; continue; }
  echo "=== test_wheel: $file"
  case $file in
    *.whl) test_wheel "$file" ;;
    *.tar.gz) test_sdist "$file" ;;
    *) echo "test_wheel: neither a wheel nor an sdist: $file" >&2; false ;;
  esac
  case $? in
    0) ;;
    3) [ "$status" -eq 0 ] && status=3 ;;
    *) status=1 ;;
  esac
done
exit $status
