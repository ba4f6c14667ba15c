#!/usr/bin/env bash
# Sets up the demo's interpreter, installs the module into it and runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
scripts/setup.sh demo
tag=$(cat .venv/demo-tag)
python=.venv/$tag/bin/python
export PATH="$PWD/.venv/$tag/bin:$PATH"
install_module ".venv/$tag"
"$python" demo/demo.py "$@"
