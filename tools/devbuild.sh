#!/usr/bin/env bash
# Fast incremental build of one or more modules into build/dev-<name> for the edit-test loop:
#   tools/devbuild.sh dualstream && PYTHONPATH=build/dev-dualstream .venv/bin/pytest tests/dualstream
# The venv must exist (make .venv/.deps installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
mods="$*"
[ -n "$mods" ] || { echo "usage: tools/devbuild.sh MODULE..." >&2; exit 2; }
name=$(echo "$mods" | tr ' ' '-')
py=.venv/bin/python
# ccache, when installed, shares compiled objects between checkouts (worktrees) of this tree.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$(dirname "$PWD")"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "build/dev-$name" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
  -DALPHALOOM_MODULES="$(echo "$mods" | tr ' ' ';')" \
  -DPython_EXECUTABLE="$PWD/$py" -Dpybind11_DIR="$($py -m pybind11 --cmakedir)" >/dev/null
cmake --build "build/dev-$name" -j2
