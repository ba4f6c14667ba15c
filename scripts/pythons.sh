#!/usr/bin/env bash
# Lists the CPython interpreters the module is built and tested for, one per line:
#   <tag> <path-to-interpreter>
# pyenv's 3.11, 3.12 and 3.13 (the newest patch release of each) and Debian's own python3.X.
set -euo pipefail

pyenv_root=""
if command -v pyenv >/dev/null 2>&1; then
  pyenv_root=$(pyenv root)
elif [ -n "${PYENV_ROOT:-}" ]; then
  pyenv_root=$PYENV_ROOT
elif [ -d "$HOME/.pyenv" ]; then
  pyenv_root=$HOME/.pyenv
fi

for minor in 11 12 13; do
  if [ -n "$pyenv_root" ] && [ -d "$pyenv_root/versions" ]; then
    best=$(ls -d "$pyenv_root"/versions/3."$minor".* 2>/dev/null | grep -E "/3\.$minor\.[0-9]+$" | sort -V | tail -n 1 || true)
    if [ -n "$best" ] && [ -x "$best/bin/python3" ]; then
      echo "pyenv-3.$minor $best/bin/python3"
    fi
  fi
  if [ -x "/usr/bin/python3.$minor" ]; then
    echo "debian-3.$minor /usr/bin/python3.$minor"
  fi
done
