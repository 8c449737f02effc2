#!/usr/bin/env bash
# Sets up a fresh machine for atomkit: finds CPython 3.12 (PATH or pyenv, newest 3.12.x),
# installs the Debian package the build wants, and makes the virtual environment .venv.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}

find_python() {
    local candidates=() found=""
    for name in python3.12 python3; do
        command -v "$name" >/dev/null 2>&1 && candidates+=("$(command -v "$name")")
    done
    local root="${PYENV_ROOT:-$HOME/.pyenv}"
    if command -v pyenv >/dev/null 2>&1; then root="$(pyenv root)"; fi
    for dir in "$root"/versions/3.12.*; do
        [ -x "$dir/bin/python3.12" ] && candidates+=("$dir/bin/python3.12")
    done
    for python in "${candidates[@]}"; do
        # pyenv's shims exist on PATH even where the version behind them does not.
        version=$("$python" -c 'import sys; v = sys.version_info; print("%d.%d.%d" % v[:3] if v[:2] == (3, 12) else "")' 2>/dev/null) || continue
        [ -n "$version" ] && found+="$version $python"$'\n'
    done
    if [ -z "$found" ]; then
        echo "error: CPython 3.12 not found (looked on PATH and in pyenv's versions); install it, e.g. 'pyenv install 3.12'" >&2
        exit 1
    fi
    printf '%s' "$found" | sort -V | tail -n 1 | cut -d' ' -f2-
}

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
    PYTHON=$(find_python)
    echo "creating $VENV with $PYTHON ($("$PYTHON" --version))"
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q -r requirements-dev.txt
