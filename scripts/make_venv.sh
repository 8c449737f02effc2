#!/usr/bin/env bash
# make_venv.sh PYTHON VENV REQUIREMENTS: a venv of PYTHON at VENV with REQUIREMENTS installed,
# made again only when the interpreter or the requirements changed.
set -euo pipefail
python=$1 venv=$2 requirements=$3
want="$("$python" -c 'import sys; print(sys.version)') $(cat "$requirements" requirements-test.txt | cksum)"
if [ -f "$venv/.made-from" ] && [ "$(cat "$venv/.made-from")" = "$want" ]; then
    exit 0
fi
rm -rf "$venv"
echo "creating $venv with $python ($("$python" --version))"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -r "$requirements"
echo "$want" > "$venv/.made-from"
