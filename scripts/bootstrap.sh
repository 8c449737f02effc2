#!/usr/bin/env bash
# Sets up a fresh machine for atomkit: finds CPython 3.12 (PATH or pyenv, newest 3.12.x),
# installs the Debian package the build wants, and makes the virtual environment .venv.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/find_python.sh

VENV=${VENV:-.venv}

ensure_fast_float() {
    if [ -f /usr/include/fast_float/fast_float.h ]; then return; fi
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "installing Debian package libfast-float-dev"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libfast-float-dev >/dev/null \
            || echo "warning: could not install libfast-float-dev; the build falls back to std::from_chars" >&2
    else
        echo "warning: the build wants the Debian package libfast-float-dev (apt-get install libfast-float-dev); without it, std::from_chars is used" >&2
    fi
}

ensure_fast_float
if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
    PYTHON=$(find_python 3.12)
    echo "creating $VENV with $PYTHON ($("$PYTHON" --version))"
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q -r requirements-dev.txt
