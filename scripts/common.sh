# Shared by the scripts; sourced, not run.

# pip through the given interpreter. Some machines list local package folders that do not exist
# in their pip configuration; the warnings about them say nothing about this project.
pip_in() {  # python pip-arguments...
  local python=$1; shift
  "$python" -m pip "$@" 2>&1 | { grep -v "is ignored: it is neither a file nor a directory" || true; }
  return "${PIPESTATUS[0]}"
}
