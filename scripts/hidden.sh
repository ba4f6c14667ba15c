#!/usr/bin/env bash
# Runs a command on a machine that seems to lack some of its files: in a private mount namespace
# (as root, or through a user namespace), the given paths are covered, a directory by an empty
# read-only tmpfs and a file by an empty file. Nothing outside the command sees the change.
#   scripts/hidden.sh [--openblas] [PATH...] -- COMMAND [ARG...]
#   scripts/hidden.sh --possible     exit status 0 when this machine can hide files at all
# --openblas hides every OpenBLAS that the loader or a build could reach: the libraries and
# whatever the libblas and liblapack names (Debian's alternatives) resolve to. Debian keeps each
# variant in a directory of its own (openblas-pthread, openblas-openmp, ...), which is hidden
# whole; a library lying among others is covered on its own.
# Exit status: the command's; 125 when the paths cannot be hidden here.
set -euo pipefail

can_unshare() {  # prints the unshare options that give a private mount namespace, if any
  if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
    echo "-m"
  elif unshare -r -m true 2>/dev/null; then
    echo "-r -m"
  else
    return 1
  fi
}

openblas_paths() {
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
}

if [ "${1:-}" = --possible ]; then
  can_unshare >/dev/null
  exit
fi

if [ "${1:-}" = --inside ]; then
  shift
  empty=$(mktemp)
  while [ "$1" != -- ]; do
    if [ -d "$1" ]; then
      mount -t tmpfs -o ro,size=4k tmpfs "$1"
    elif [ -e "$1" ]; then
      mount --bind "$empty" "$1"
    fi
    shift
  done
  shift
  exec "$@"
fi

paths=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  if [ "$1" = --openblas ]; then
    mapfile -t -O "${#paths[@]}" paths < <(openblas_paths)
  else
    paths+=("$1")
  fi
  shift
done
[ "${1:-}" = -- ] && [ $# -gt 1 ] || { echo "usage: scripts/hidden.sh [--openblas] [PATH...] -- COMMAND [ARG...]" >&2; exit 2; }
shift
options=$(can_unshare) || { echo "hidden: cannot hide files here (needs root or user namespaces)" >&2; exit 125; }
for path in "${paths[@]}"; do echo "hidden: $path" >&2; done
# shellcheck disable=SC2086 # the options are separate words
exec unshare $options -- bash "${BASH_SOURCE[0]}" --inside "${paths[@]}" -- "$@"
