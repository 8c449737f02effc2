#!/usr/bin/env bash
# Builds the libFuzzer targets of the plain C++ cores into build/fuzz/ and runs each one for
# FUZZ_SECONDS (default 60) on a working copy of its seed corpus; exits 1 on any finding.
#
#   fuzz/run.sh                 every target
#   fuzz/run.sh fuzz_int_token  only the named ones
#   FUZZ_SECONDS=600 fuzz/run.sh
#
# Findings (crash-*, timeout-*, oom-*, leak-* files) land in build/fuzz/findings/<target>/;
# replay one with build/fuzz/<target> <file>. The committed corpus in fuzz/corpus/ is never
# written to: the corpus that grows lives in build/fuzz/corpus/<target>/.
set -uo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${FUZZ_SECONDS:-60}
CXX=${CXX_FUZZ:-clang++-19}
OUT=build/fuzz

ALL_TARGETS=(fuzz_float_token fuzz_int_token fuzz_atom_lines fuzz_float_field fuzz_atom_block fuzz_comment_line fuzz_split fuzz_frames fuzz_table fuzz_frame_text)
# Inputs longer than libFuzzer's default where several lines or matrices need the room.
declare -A MAX_LEN=([fuzz_atom_lines]=8192 [fuzz_atom_block]=8192 [fuzz_split]=8192 [fuzz_frames]=8192 [fuzz_table]=8192)

if ! command -v "$CXX" >/dev/null 2>&1; then
    # clang 14 pairs with a libstdc++ whose <expected> it cannot compile; clang 19 can.
    if [ "$(id -u)" = 0 ] && [ "$CXX" = clang++-19 ]; then
        apt-get update -qq && apt-get install -y -qq clang-19 libclang-rt-19-dev >/dev/null || exit 2
    else
        echo "fuzz: $CXX not found (as root this script installs clang-19 and libclang-rt-19-dev)" >&2
        exit 2
    fi
fi

# The project's warnings; clang's -Wconversion also covers sign changes, which GCC's (the
# project's compiler) leaves out.
FLAGS=(-std=c++23 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -Isrc -Wall -Wextra -Wpedantic -Wconversion -Wno-sign-conversion -Wshadow -Wold-style-cast)
if [ -f /usr/include/fast_float/fast_float.h ]; then
    FLAGS+=(-DATOMKIT_HAVE_FAST_FLOAT=1)
fi

if [ $# -gt 0 ]; then TARGETS=("$@"); else TARGETS=("${ALL_TARGETS[@]}"); fi
for target in "${TARGETS[@]}"; do
    if [[ ! " ${ALL_TARGETS[*]} " =~ " $target " ]]; then
        echo "fuzz: unknown target $target (known: ${ALL_TARGETS[*]})" >&2
        exit 2
    fi
done

# The core is built once, from every source under src/core (plain C++, no Python), into a
# static archive that every target links; the linker takes only what a target needs.
mkdir -p "$OUT/core"
rm -f "$OUT/core"/*.o "$OUT/libatomkit_core.a"
mapfile -t CORE_SOURCES < <(find src/core -name '*.cpp' | sort)
objects=()
echo "== build the core (${#CORE_SOURCES[@]} sources)"
for source in "${CORE_SOURCES[@]}"; do
    object="$OUT/core/$(echo "${source#src/core/}" | tr / _).o"
    "$CXX" "${FLAGS[@]}" -c "$source" -o "$object" || exit 2
    objects+=("$object")
done
ar rcs "$OUT/libatomkit_core.a" "${objects[@]}" || exit 2

for target in "${TARGETS[@]}"; do
    echo "== build $target"
    "$CXX" "${FLAGS[@]}" "fuzz/$target.cpp" "$OUT/libatomkit_core.a" -o "$OUT/$target" || exit 2
done

found=0
summary=()
for target in "${TARGETS[@]}"; do
    corpus="$OUT/corpus/$target"
    findings="$OUT/findings/$target"
    log="$OUT/$target.log"
    mkdir -p "$corpus" "$findings"
    cp -f fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true  # seeds refreshed, growth kept
    stamp="$OUT/.$target.started"
    touch "$stamp"
    echo "== run $target for ${FUZZ_SECONDS}s (log: $log)"
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
        "$OUT/$target" "$corpus" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
        -max_len="${MAX_LEN[$target]:-4096}" -timeout=30 -artifact_prefix="$findings/" \
        >"$log" 2>&1
    rc=$?
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
    files=$(find "$findings" -type f -newer "$stamp" | tr '\n' ' ')
    if [ "$rc" -ne 0 ] || [ -n "$files" ]; then
        found=1
        grep -m1 -E 'FUZZ CHECK FAILED|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehaviorSanitizer)|runtime error' "$log" \
            | sed 's/^/    /'
        summary+=("$target: executions ${execs:-?}, FINDING (exit $rc): ${files:-see $log}")
    else
        summary+=("$target: executions ${execs:-?}, no findings")
    fi
    rm -f "$stamp"
done

echo "== summary (${FUZZ_SECONDS}s per target)"
printf '%s\n' "${summary[@]}"
exit "$found"
