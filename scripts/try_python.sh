#!/usr/bin/env bash
# Builds _atomkit against another CPython and runs the whole suite against that build, in a
# virtual environment and build tree of its own outside the work tree (.venv is untouched).
#
#   scripts/try_python.sh 3.11            # newest 3.11.x on PATH or in pyenv
#   scripts/try_python.sh /path/to/python3.13 -k comment   # the rest goes to pytest
#
# WORK (default /tmp/atomkit-py) holds venvNNN and buildNNN; WORKERS (default 2) is pytest's -n.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

if [ $# -lt 1 ]; then
    echo "usage: $0 VERSION|PYTHON [pytest arguments...]" >&2
    exit 2
fi
want=$1
shift
WORK=${WORK:-/tmp/atomkit-py}
WORKERS=${WORKERS:-2}

# A path is taken as it is; a version (3.11) is looked up on PATH, then in pyenv's versions,
# newest first. pyenv's shims exist on PATH even where the version behind them does not.
find_python() {
    if [ -x "$1" ]; then echo "$1"; return; fi
    local root="${PYENV_ROOT:-$HOME/.pyenv}" candidates=() python
    command -v "python$1" >/dev/null 2>&1 && candidates+=("$(command -v "python$1")")
    for python in $(ls -d "$root"/versions/"$1".*/bin/python3 2>/dev/null | sort -V -r); do
        candidates+=("$python")
    done
    for python in "${candidates[@]}"; do
        if [ "$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$1" ]; then
            echo "$python"
            return
        fi
    done
    echo "error: no CPython $1 on PATH or in $root/versions" >&2
    exit 1
}

PYTHON=$(find_python "$want")
tag=$("$PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')
VENV=$WORK/venv$tag
BUILD=$WORK/build$tag
mkdir -p "$WORK"

# The requirements are installed again only when the file changes.
if [ ! -x "$VENV/bin/python" ]; then
    echo "creating $VENV with $PYTHON ($("$PYTHON" --version))"
    "$PYTHON" -m venv "$VENV"
fi
if ! cmp -s requirements-dev.txt "$VENV/.requirements"; then
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q -r requirements-dev.txt
    cp requirements-dev.txt "$VENV/.requirements"
fi

# meson finds the interpreter (and NumPy's headers) through the venv's python on PATH.
if [ ! -f "$BUILD/build.ninja" ]; then
    PATH=$VENV/bin:$PATH "$VENV/bin/meson" setup "$BUILD" "$ROOT" -Dbuildtype=release
fi
"$VENV/bin/ninja" -C "$BUILD"
echo "testing against $("$VENV/bin/python" --version) in $BUILD"
PYTHONPATH=$BUILD:$ROOT/src "$VENV/bin/python" -m pytest -q -n "$WORKERS" "$ROOT/tests" "$@"
