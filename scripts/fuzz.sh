#!/usr/bin/env bash
# Hostile-input fuzzing of the installed module and kit, by hand:
#   make fuzz                      10 minutes for the module, then 10 for the kit
#   make fuzz FUZZ_SECONDS=3600    as long as you like (FUZZ_SEED=N repeats a run)
# Uses the first 3.12+ environment; atheris drives the inputs where it installs, a seeded
# generator otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

scripts/setup.sh test
venv=$(tools_venv)
export PATH="$PWD/$venv/bin:$PATH"
install_module "$venv"
engine=()
if pip_in "$venv/bin/python" install -q -r requirements/fuzz.txt >/dev/null 2>&1; then
  engine=(--atheris)
else
  echo "fuzz: atheris does not install here; using the seeded generator"
fi
seed=()
[ -n "${FUZZ_SEED:-}" ] && seed=(--seed "$FUZZ_SEED")
cd tests/python  # so that the installed module is the one imported
status=0
"../../$venv/bin/python" ../fuzz/fuzz_tondra.py --seconds "${FUZZ_SECONDS:-600}" "${engine[@]}" "${seed[@]}" || status=1
# The kit next, for as long again: its own generator, seeded the same way.
"../../$venv/bin/python" ../fuzz/fuzz_tondrakit.py --seconds "${FUZZ_SECONDS:-600}" "${seed[@]}" || status=1
exit $status
