#!/bin/sh
# Makes a virtual environment with pip, also from interpreters whose ensurepip
# is left out (as in Debian's builds): pip then comes from the wheel they ship.
set -eu
python=$1
venv=$2
if [ -x "$venv/bin/python" ] && "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
    exit 0
fi
if "$python" -m venv --clear "$venv" >/dev/null 2>&1; then
    exit 0
fi
"$python" -m venv --clear --without-pip "$venv"
prefix=$("$python" -c 'import sys; print(sys.base_prefix)')
wheel=$(ls "$prefix"/share/python-wheels/pip-*.whl 2>/dev/null | head -n 1)
if [ -z "$wheel" ]; then
    echo "mkvenv: $python has neither ensurepip nor a pip wheel" >&2
    exit 1
fi
"$venv/bin/python" "$wheel/pip" install -q --no-index "$wheel"
