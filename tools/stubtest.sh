#!/usr/bin/env bash
# mypy's stubtest over the compiled modules' stubs. Every allowlist entry must
# say why it is there, on its own line or after a "#".
#   tools/stubtest.sh PYTHON
set -euo pipefail
python=$1
allowlist=$(cd "$(dirname "$0")" && pwd)/stubtest-allowlist.txt
unexplained=$(grep -nEv '^\s*(#|$)|#\s*\S' "$allowlist" || true)
if [ -n "$unexplained" ]; then
    echo "stubtest: allowlist entries without a reason:" >&2
    echo "$unexplained" >&2
    exit 1
fi
# From outside the checkout, so that the installed package is the one read.
cd /
"$python" -m mypy.stubtest --allowlist "$allowlist" orvane.rowkern orvane.convkern orvane.frozkern
