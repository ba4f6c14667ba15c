# Shared by the scripts; sourced, not run.

# pip through the given interpreter. Some machines list local package folders that do not exist
# in their pip configuration; the warnings about them say nothing about this project.
pip_in() {  # python pip-arguments...
  local python=$1; shift
  "$python" -m pip "$@" 2>&1 | { grep -v "is ignored: it is neither a file nor a directory" || true; }
  return "${PIPESTATUS[0]}"
}

# The environment the tools run in (cmake, ninja, the type checkers, the linters, the benchmarks):
# the first 3.12, else the newest 3.13 or later. Prints nothing when there is none.
tools_venv() {
  local venv
  venv=$(ls -d .venv/*-3.12 2>/dev/null | head -n 1 || true)
  [ -n "$venv" ] || venv=$(ls -d .venv/*-3.1[3-9] 2>/dev/null | tail -n 1 || true)
  printf '%s' "$venv"
}

# Builds the module from this checkout and installs it into the environment .venv/<tag>, through
# the same CMake project; each environment keeps its own build directory, so rebuilds are quick.
install_module() {  # venv-directory
  local venv=$1
  pip_in "$venv/bin/python" install -q --no-build-isolation \
    --config-settings=build-dir="build/wheel-${venv#.venv/}" .
}
