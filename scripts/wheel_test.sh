#!/usr/bin/env bash
# Installs each wheel in dist/ (or those named) into a fresh venv of its Python and runs the
# test suite against the installed package, on a PATH without a compiler and from outside the
# work tree, so that nothing can be built or imported from the sources. Where NumPy 1.26 has
# a wheel for that Python (before 3.13), the suite runs under it too.
#
#   scripts/wheel_test.sh [WHEEL...]      # pytest options go in PYTEST_ARGS
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
source scripts/find_python.sh
WORK=$(realpath -m "${WORK:-build/py}")
WORKERS=${WORKERS:-2}
read -r -a EXTRA <<< "${PYTEST_ARGS:-}"
if [ $# -gt 0 ]; then wheels=("$@"); else wheels=(dist/atomkit-*.whl); fi
if [ ! -f "${wheels[0]}" ]; then
    echo "error: no wheel in dist/; build them first (make wheel)" >&2
    exit 1
fi

# A bin folder of everything on PATH but the compilers and linkers.
NOCC=$WORK/no-compiler-bin
rm -rf "$NOCC"
mkdir -p "$NOCC"
IFS=: read -r -a path_dirs <<< "$PATH"
for dir in "${path_dirs[@]}"; do
    [ -d "$dir" ] || continue
    for tool in "$dir"/*; do
        name=${tool##*/}
        case $name in
            cc|c++|c89*|c99*|gcc*|g++*|cpp*|clang*|*-gcc*|*-g++*|*-cc|*-c++|ld|ld.*|*-ld|*-ld.*|as|*-as) continue ;;
        esac
        [ -x "$tool" ] && [ ! -e "$NOCC/$name" ] && ln -s "$tool" "$NOCC/$name"
    done
done

for wheel in "${wheels[@]}"; do
    wheel=$(realpath "$wheel")
    tag=$(basename "$wheel" | sed -E 's/.*-cp([0-9]+)-cp[0-9]+-.*/\1/')
    version=${tag:0:1}.${tag:1}
    python=$(find_python "$version")
    venv=$WORK/wheel-test$tag
    rm -rf "$venv"
    echo "== $(basename "$wheel") in a fresh venv of $("$python" --version)"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q "$wheel" "numpy>=2" -r requirements-test.txt
    run=$(mktemp -d)
    legs=("numpy 2:")
    if [ "$tag" -lt 313 ]; then
        "$venv/bin/python" -m pip install -q --target "$venv/numpy1" "numpy==1.26.*"
        legs+=("numpy 1.26:$venv/numpy1")
    fi
    for leg in "${legs[@]}"; do
        extra_path=${leg#*:}
        (
            cd "$run"
            export PATH=$venv/bin:$NOCC PYTHONPATH=$extra_path CC=false CXX=false
            if command -v gcc cc g++ c++ >/dev/null 2>&1; then
                echo "error: a compiler is still on PATH" >&2
                exit 1
            fi
            # What the suite imports must be the wheel's, not the work tree's.
            python -c 'import sys, atomkit, _atomkit, numpy
for m in (atomkit, _atomkit):
    assert m.__file__.startswith(sys.prefix), m.__file__
print("atomkit from", atomkit.__file__, "with NumPy", numpy.__version__)'
            python -m pytest -q -p no:cacheprovider -n "$WORKERS" "$ROOT/tests" "${EXTRA[@]}"
        )
    done
    rm -rf "$run"
done
