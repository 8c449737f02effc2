#!/usr/bin/env bash
# run_legs.sh LEG...: runs each make target in order, stops at the first that fails, and ends
# with what each took. The fuzz leg runs FUZZ_SECONDS=20 a target.
set -uo pipefail
cd "$(dirname "$0")/.."
report=()
summary() {
    echo "== make test: seconds per leg"
    printf '%s\n' "${report[@]}"
}
for leg in "$@"; do
    start=$SECONDS
    args=("$leg")
    [ "$leg" = fuzz ] && args+=(FUZZ_SECONDS=20)
    echo "== make ${args[*]}"
    if ! make "${args[@]}"; then
        report+=("$(printf '%-16s %5d  FAILED' "$leg" $((SECONDS - start)))")
        summary
        exit 1
    fi
    report+=("$(printf '%-16s %5d' "$leg" $((SECONDS - start)))")
done
summary
