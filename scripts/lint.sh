#!/usr/bin/env bash
# Checks the C++ sources without changing them: clang-format (the tree must already be formatted)
# and clang-tidy with the checks in .clang-tidy, on src/. Both come pinned from
# requirements/lint.txt, so every machine judges alike.
#   scripts/lint.sh           check (what `make lint` and the test command run)
#   scripts/lint.sh --fix     format the tree in place (then review and commit)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

[ "${LINT_NO_SETUP:-}" = 1 ] || scripts/setup.sh test
venv=$(tools_venv)
bin="$PWD/$venv/bin"
export PATH="$bin:$PATH"

mapfile -t sources < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/unit/*.cpp' 'tests/unit/*.hpp' \
                                     'bench/*.cpp')
if [ "${1:-}" = --fix ]; then
  "$bin/clang-format" -i "${sources[@]}"
  exit 0
fi

status=0
echo "=== clang-format"
"$bin/clang-format" --dry-run --Werror "${sources[@]}" || status=1

echo "=== clang-tidy"
# The compile commands of a plain build; the module's sources need Python's headers, which this
# build finds through the same interpreter.
cmake -S . -B build/lint -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONDRA_BUILD_TESTS=OFF \
      -DPython_EXECUTABLE="$bin/python" >build/lint-configure.log 2>&1 \
  || { cat build/lint-configure.log; exit 1; }
mapfile -t units < <(git ls-files 'src/*.cpp')
jobs=$(nproc 2>/dev/null || echo 2)
printf '%s\n' "${units[@]}" \
  | xargs -P "$jobs" -n 4 "$bin/clang-tidy" -p build/lint --quiet 2>/dev/null || status=1
exit $status
