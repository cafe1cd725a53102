#!/bin/sh
# Makes a virtual environment with pip, also from interpreters whose ensurepip
# is left out (as in Debian's builds): pip then comes from the wheel they ship.
# The venv records the interpreter that made it; a venv made by another one
# is made anew, so PYTHON always names the interpreter that runs.
set -eu
python=$1
venv=$2
made_by=$("$python" -c 'import os, sys; print(os.path.realpath(sys.executable), sys.version.split()[0], sys.abiflags or "-")')
if [ -x "$venv/bin/python" ]; then
    if [ "$(cat "$venv/.made-by" 2>/dev/null)" = "$made_by" ] && "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
        exit 0
    fi
    echo "mkvenv: $venv was made by $(cat "$venv/.made-by" 2>/dev/null || echo 'an unrecorded interpreter'); making it anew with $made_by" >&2
fi
if ! "$python" -m venv --clear "$venv" >/dev/null 2>&1; then
    "$python" -m venv --clear --without-pip "$venv"
    prefix=$("$python" -c 'import sys; print(sys.base_prefix)')
    wheel=$(ls "$prefix"/share/python-wheels/pip-*.whl 2>/dev/null | head -n 1)
    if [ -z "$wheel" ]; then
        echo "mkvenv: $python has neither ensurepip nor a pip wheel" >&2
        exit 1
    fi
    "$venv/bin/python" "$wheel/pip" install -q --no-index "$wheel"
fi
echo "$made_by" > "$venv/.made-by"
