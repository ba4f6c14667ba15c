#!/usr/bin/env bash
# Tests a built wheel as a user would get it: installed into a fresh virtual environment, with
# the system's OpenBLAS hidden from the dynamic loader, so that only the copy inside the wheel
# can serve the module.
#   scripts/test_wheel.sh dist/tondra-*.whl
# Exit status: 0 all passed; 1 something failed; 3 the tests passed but the system's OpenBLAS
# could not be hidden (neither root nor user namespaces), so the wheel's copy went unproven.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

venv=build/wheel-venv

# --- inside the private mount namespace ----------------------------------------------------------
if [ "${1:-}" = --hidden ]; then
  set -e
  # Every OpenBLAS the loader could reach: the libraries themselves and whatever the libblas and
  # liblapack names (Debian's alternatives) resolve to. Debian keeps each variant in a directory
  # of its own (openblas-pthread, openblas-openmp, ...), which is hidden whole under an empty
  # tmpfs; a library lying among others is covered by an empty file. Mounts made here vanish
  # with the namespace.
  empty=$(mktemp)
  targets=$(
    {
      find /usr/lib /usr/lib64 /usr/local/lib /lib /lib64 -maxdepth 3 -name 'libopenblas*.so*' 2>/dev/null || true
      ldconfig -p | awk '$1 ~ /^lib(open)?blas|^liblapack/ {print $NF}'
    } | xargs -r readlink -f 2>/dev/null | while read -r lib; do
      dir=$(dirname "$lib")
      case ${dir##*/} in
        openblas*) echo "$dir" ;;
        *) case ${lib##*/} in libopenblas*) echo "$lib" ;; esac ;;
      esac
    done | sort -u
  )
  for target in $targets; do
    if [ -d "$target" ]; then
      mount -t tmpfs -o ro,size=4k tmpfs "$target"
    else
      mount --bind "$empty" "$target"
    fi
    echo "hidden: $target"
  done

  # Proof that the hiding holds: no name reaches an OpenBLAS any more.
  "$venv/bin/python" - <<'EOF'
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
  cd tests/python
  exec "../../$venv/bin/python" -m pytest -q -p no:cacheprovider .
fi

# --- outside: a fresh environment with the wheel and the test dependencies -----------------------
wheel=${1:?usage: scripts/test_wheel.sh WHEEL}
[ -f "$wheel" ] || { echo "test_wheel: no such wheel: $wheel" >&2; exit 1; }

# An interpreter of the wheel's own version (cp312 -> 3.12), pyenv's before Debian's.
abi=$(basename "$wheel" | cut -d- -f3)
version="3.${abi#cp3}"
python=$(scripts/pythons.sh | awk -v v="$version" '$1 ~ ("-" v "$") {print $2; exit}')
[ -n "$python" ] || { echo "test_wheel: no CPython $version for $wheel" >&2; exit 1; }

rm -rf "$venv"
echo "test_wheel: fresh virtual environment $venv ($python)"
"$python" -m venv "$venv" || exit 1
unset PYTHONPATH
# First what a new user has, the wheel and what it depends on: the README's examples must run
# there as written. Then the test dependencies.
pip_in "$venv/bin/python" install -q "$wheel" || exit 1
"$venv/bin/python" scripts/readme_examples.py README.md || exit 1
pip_in "$venv/bin/python" install -q -r requirements/test.txt || exit 1

if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
  unshare -m -- bash scripts/test_wheel.sh --hidden
elif unshare -r -m true 2>/dev/null; then
  unshare -r -m -- bash scripts/test_wheel.sh --hidden
else
  echo "test_wheel: cannot hide the system's OpenBLAS (needs root or user namespaces);" \
       "testing with it visible" >&2
  (cd tests/python && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider .) || exit 1
  exit 3
fi
