#!/usr/bin/env bash
# Builds _atomkit against another CPython and runs the whole suite against that build, in a
# virtual environment and build tree of its own outside the work tree (.venv is untouched).
#
#   scripts/try_python.sh 3.11            # newest 3.11.x on PATH or in pyenv
#   scripts/try_python.sh /path/to/python3.13 -k comment   # the rest goes to pytest
#
# WORK (default build/py, shared with scripts/wheels.sh) holds venvNNN and buildNNN; WORKERS (default 2) is pytest's -n.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

if [ $# -lt 1 ]; then
    echo "usage: $0 VERSION|PYTHON [pytest arguments...]" >&2
    exit 2
fi
want=$1
shift
WORK=$(realpath -m "${WORK:-build/py}")
WORKERS=${WORKERS:-2}

# A path is taken as it is; a version (3.11) is looked up on PATH, then in pyenv's versions.
source scripts/find_python.sh
if [ -x "$want" ]; then PYTHON=$want; else PYTHON=$(find_python "$want"); fi
tag=$("$PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')
VENV=$WORK/venv$tag
BUILD=$WORK/build$tag

scripts/make_venv.sh "$PYTHON" "$VENV" requirements-dev.txt

# meson finds the interpreter (and NumPy's headers) through the venv's python on PATH.
if [ ! -f "$BUILD/build.ninja" ]; then
    PATH=$VENV/bin:$PATH "$VENV/bin/meson" setup "$BUILD" "$ROOT" -Dbuildtype=release
fi
"$VENV/bin/ninja" -C "$BUILD"
echo "testing against $("$VENV/bin/python" --version) in $BUILD"
PYTHONPATH=$BUILD:$ROOT/src "$VENV/bin/python" -m pytest -q -n "$WORKERS" "$ROOT/tests" "$@"
