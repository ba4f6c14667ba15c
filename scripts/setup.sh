#!/usr/bin/env bash
# Prepares a fresh Debian 12/13 machine: system packages, then one virtual environment per
# interpreter under .venv/<tag>, with the build tools and the test (and demo) dependencies.
#   scripts/setup.sh            all interpreters, test dependencies
#   scripts/setup.sh demo       the demo interpreter only, with the demo's dependencies too
# Safe to run again: only what is missing is installed. Fails unless an interpreter of 3.12 or
# newer ends up with a working environment.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

mode=${1:-test}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

apt_updated=no
apt_install() {  # packages...
  if [ "$apt_updated" = no ]; then
    as_root apt-get update -qq || return 1
    apt_updated=yes
  fi
  echo "setup: apt-get install $*"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

# --- system packages ----------------------------------------------------------------------------
missing=()
# clang-19 (Debian 12 and 13 both carry it) is the second compiler the test command builds with.
for p in g++ clang-19 make pkg-config libopenblas-dev libgtest-dev libbenchmark-dev; do
  is_installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt_install "${missing[@]}" || { echo "setup: could not install ${missing[*]}" >&2; exit 1; }
fi

# Interpreters we can build for. Debian's own need their -dev and -venv packages; one whose
# packages the release does not carry (an older minor version left on a newer release) is
# skipped with a note rather than failing the set-up.
usable=()
while read -r tag python; do
  case $tag in
    debian-*)
      v=${tag#debian-}
      need=()
      for p in "python$v-dev" "python$v-venv"; do is_installed "$p" || need+=("$p"); done
      if [ ${#need[@]} -gt 0 ] && ! apt_install "${need[@]}"; then
        echo "setup: skipping $python: ${need[*]} cannot be installed here" >&2
        continue
      fi
      ;;
  esac
  usable+=("$tag $python")
done < <(scripts/pythons.sh)

# --- virtual environments -----------------------------------------------------------------------
make_venv() {  # tag python requirement-files...
  # Each requirement file is installed once; .stamp records the files (and their contents) that
  # are in, so the test and demo set-ups can share an environment without undoing each other.
  local tag=$1 python=$2; shift 2
  local venv=.venv/$tag req line
  if [ ! -x "$venv/bin/python" ]; then
    echo "setup: virtual environment $venv ($python)"
    rm -rf "$venv"
    "$python" -m venv "$venv" || return 1
    pip_in "$venv/bin/python" install -q --upgrade pip || return 1
    : > "$venv/.stamp"
  fi
  for req in "$@"; do
    line="$(sha1sum "$req" | cut -c1-12) $req"
    grep -qxF "$line" "$venv/.stamp" 2>/dev/null && continue
    echo "setup: $venv: installing $req"
    pip_in "$venv/bin/python" install -q -r "$req" || return 1
    { grep -v " $req\$" "$venv/.stamp" || true; echo "$line"; } > "$venv/.stamp.new"
    mv "$venv/.stamp.new" "$venv/.stamp"
  done
}

if [ "$mode" = demo ]; then
  # The demo runs on 3.12 where there is one (pyenv's first), else on the newest 3.13+.
  chosen=$(printf '%s\n' "${usable[@]}" | grep -E '^(pyenv|debian)-3\.12 ' | head -n 1 || true)
  [ -n "$chosen" ] || chosen=$(printf '%s\n' "${usable[@]}" | grep -E -- '-3\.1[3-9] ' | tail -n 1 || true)
  [ -n "$chosen" ] || { echo "setup: no CPython 3.12 or newer found" >&2; exit 1; }
  read -r tag python <<< "$chosen"
  make_venv "$tag" "$python" requirements/build.txt requirements/test.txt requirements/demo.txt \
    || { echo "setup: could not prepare .venv/$tag" >&2; exit 1; }
  echo "$tag" > .venv/demo-tag
  exit 0
fi

ready_312_plus=no
for entry in "${usable[@]}"; do
  read -r tag python <<< "$entry"
  if make_venv "$tag" "$python" requirements/build.txt requirements/test.txt requirements/wheel.txt; then
    case $tag in *-3.12|*-3.13) ready_312_plus=yes ;; esac
  else
    echo "setup: could not prepare .venv/$tag; it is left out" >&2
    rm -rf ".venv/$tag"
  fi
done
if [ "$ready_312_plus" != yes ]; then
  echo "setup: no CPython 3.12 or newer found (pyenv's or /usr/bin's): the module targets 3.12+" >&2
  exit 1
fi

# The type checkers (and pandas, which is big) go into one environment only: the first 3.12,
# else the newest 3.13+. Its tag is left in .venv/typing-tag for scripts/test.sh.
typing_venv=$(tools_venv)
rm -f .venv/typing-tag
if [ -n "$typing_venv" ]; then
  tag=${typing_venv#.venv/}
  make_venv "$tag" "$typing_venv/bin/python" requirements/typing.txt \
    && echo "$tag" > .venv/typing-tag \
    || echo "setup: could not install the type checkers into $typing_venv" >&2
  # The pinned formatter and linter of `make lint` live there too.
  make_venv "$tag" "$typing_venv/bin/python" requirements/lint.txt \
    || echo "setup: could not install the lint tools into $typing_venv" >&2
fi
