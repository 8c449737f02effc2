# Sourced by the scripts: find_python VERSION prints the newest CPython VERSION.x found on
# PATH or among pyenv's versions, or stops with a message that says how to install it.
# pyenv's shims exist on PATH even where the version behind them does not, so each candidate
# is asked for its own version.
find_python() {
    local want=$1 root="${PYENV_ROOT:-$HOME/.pyenv}" candidates=() python found=""
    if command -v pyenv >/dev/null 2>&1; then root="$(pyenv root)"; fi
    command -v "python$want" >/dev/null 2>&1 && candidates+=("$(command -v "python$want")")
    for python in "$root"/versions/"$want".*/bin/python3; do
        [ -x "$python" ] && candidates+=("$python")
    done
    for python in "${candidates[@]}"; do
        local version
        version=$("$python" -c 'import sys; v = sys.version_info
print("%d.%d.%d" % v[:3] if "%d.%d" % v[:2] == sys.argv[1] else "")' "$want" 2>/dev/null) || continue
        [ -n "$version" ] && found+="$version $python"$'\n'
    done
    if [ -z "$found" ]; then
        echo "error: CPython $want not found (looked on PATH and in $root/versions); install it, e.g. 'pyenv install $want'" >&2
        return 1
    fi
    printf '%s' "$found" | sort -V | tail -n 1 | cut -d' ' -f2-
}
