#!/usr/bin/env bash
# Prepares a fresh Debian 12/13 machine: system packages, then one virtual environment per
# interpreter under .venv/<tag>, with the build tools and the test (and demo) dependencies.
#   scripts/setup.sh            all interpreters, test dependencies
#   scripts/setup.sh demo       the demo interpreter only, with the demo's dependencies too
# Safe to run again: only what is missing is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

mode=${1:-test}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# --- system packages ----------------------------------------------------------------------------
packages=(g++ make pkg-config libopenblas-dev libgtest-dev libbenchmark-dev)
while read -r tag python; do
  case $tag in
    debian-*) v=${tag#debian-}; packages+=("python$v-dev" "python$v-venv") ;;
  esac
done < <(scripts/pythons.sh)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# --- virtual environments -----------------------------------------------------------------------
found_312_plus=no
while read -r tag python; do
  case $tag in *-3.12|*-3.13) found_312_plus=yes ;; esac
done < <(scripts/pythons.sh)
if [ "$found_312_plus" != yes ]; then
  echo "setup: no CPython 3.12 or newer found (pyenv or /usr/bin); the module targets 3.12+" >&2
  exit 1
fi

make_venv() {  # tag python requirement-files...
  # Each requirement file is installed once; .stamp records the files (and their contents) that
  # are in, so the test and demo set-ups can share an environment without undoing each other.
  local tag=$1 python=$2; shift 2
  local venv=.venv/$tag req line
  if [ ! -x "$venv/bin/python" ]; then
    echo "setup: virtual environment $venv ($python)"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    pip_in "$venv/bin/python" install -q --upgrade pip
    : > "$venv/.stamp"
  fi
  for req in "$@"; do
    line="$(sha1sum "$req" | cut -c1-12) $req"
    grep -qxF "$line" "$venv/.stamp" 2>/dev/null && continue
    echo "setup: $venv: installing $req"
    pip_in "$venv/bin/python" install -q -r "$req"
    grep -v " $req\$" "$venv/.stamp" > "$venv/.stamp.new" || true
    echo "$line" >> "$venv/.stamp.new"
    mv "$venv/.stamp.new" "$venv/.stamp"
  done
}

if [ "$mode" = demo ]; then
  # The demo runs on 3.12 where there is one (pyenv's first), else on the newest found.
  choice=$(scripts/pythons.sh | grep -E '^(pyenv|debian)-3\.12 ' | head -n 1 || true)
  [ -n "$choice" ] || choice=$(scripts/pythons.sh | grep -E -- '-3\.1[3-9] ' | tail -n 1)
  read -r tag python <<< "$choice"
  make_venv "$tag" "$python" requirements/build.txt requirements/test.txt requirements/demo.txt
  echo "$tag" > .venv/demo-tag
else
  while read -r tag python; do
    make_venv "$tag" "$python" requirements/build.txt requirements/test.txt
  done < <(scripts/pythons.sh)
fi
