#!/usr/bin/env bash
# Builds what is distributed, into dist/: a manylinux wheel for every CPython minor version found
# (3.11, 3.12, 3.13; one wheel each, from the first interpreter of that version that
# scripts/pythons.sh lists and that has its environment), and the sdist.
# Each wheel is repaired by auditwheel, so that it carries its own copy of OpenBLAS and runs on
# machines without it; auditwheel gives it the newest manylinux tag this machine's build meets.
#   scripts/wheel.sh              set up, then build into dist/
#   scripts/wheel.sh --no-setup   skip the set-up (the test command has just done it)
# Ends with one line per result: "built: <path>" or "failed: <what>"; exits 1 if anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

if [ "${1:-}" != --no-setup ]; then
  scripts/setup.sh test || exit 1
fi

# One interpreter per minor version, in pythons.sh's order (pyenv's before Debian's).
tags=()
while read -r tag _; do
  [ -x ".venv/$tag/bin/python" ] || continue
  printf '%s\n' "${tags[@]}" | grep -q -- "-${tag##*-}\$" && continue
  tags+=("$tag")
done < <(scripts/pythons.sh)
[ ${#tags[@]} -gt 0 ] || { echo "wheel: no virtual environments; run scripts/setup.sh" >&2; exit 1; }

mkdir -p dist build
rm -f dist/tondra-*.whl dist/tondra-*.tar.gz
results=()

for tag in "${tags[@]}"; do
  echo "=== wheel for $tag"
  venv=.venv/$tag
  # The raw wheel links the system's OpenBLAS; only the repaired one goes to dist/. The build
  # directory is the one the test command's install into this environment uses, so that build
  # is reused rather than repeated.
  raw=build/wheel-raw/$tag
  rm -rf "$raw"
  if pip_in "$venv/bin/python" wheel -q --no-deps --no-build-isolation -w "$raw" \
       --config-settings=build-dir="build/wheel-$tag" . \
     && PATH="$PWD/$venv/bin:$PATH" auditwheel repair -w dist "$raw"/tondra-*.whl; then
    wheel=$(ls -t dist/tondra-*-cp3"${tag##*-3.}"-*.whl | head -n 1)
    echo "wheel: $wheel, $(du -k "$wheel" | cut -f1) KiB"
    results+=("built: $wheel")
  else
    results+=("failed: wheel for $tag")
  fi
done

# The sdist, through the tools environment's build front end; it needs no compiler.
echo "=== sdist"
tools=$(tools_venv)
[ -n "$tools" ] || tools=.venv/${tags[0]}
if "$tools/bin/python" -m build --sdist --no-isolation --outdir dist . >build/sdist.log 2>&1; then
  results+=("built: $(ls dist/tondra-*.tar.gz)")
else
  cat build/sdist.log
  results+=("failed: sdist")
fi

printf '%s\n' "${results[@]}"
printf '%s\n' "${results[@]}" | grep -q '^failed:' && exit 1
exit 0
