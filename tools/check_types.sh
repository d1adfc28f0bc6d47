#!/usr/bin/env bash
# Type checks: stubtest of the native module against its stubs, mypy --strict on the
# package's own Python code and on a typed caller, and the misuses the stubs must reject.
# Usage: tools/check_types.sh [PKG_ROOT]   (the directory holding zarnik_manifest/ with
# the built module; default src/, where the lead's build puts it)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PKG_ROOT="$(cd "${1:-$ROOT/src}" && pwd)"
VPY="$ROOT/.venv/bin/python"
[ -x "$VPY" ] || python3 -m venv "$ROOT/.venv"
"$VPY" -c 'import mypy' 2>/dev/null || "$VPY" -m pip install -q --disable-pip-version-check 'mypy>=1.10'
cd "$ROOT"
export PYTHONPATH="$PKG_ROOT" MYPYPATH="$PKG_ROOT"
MYPY=("$VPY" -m mypy --strict --no-incremental --cache-dir=/dev/null)

echo "== stubtest zarnik_manifest._zarnik_manifest"
"$VPY" -m mypy.stubtest zarnik_manifest._zarnik_manifest

echo "== mypy --strict (package and typed example)"
PKG="$PKG_ROOT/zarnik_manifest"
"${MYPY[@]}" "$PKG"/*.py tests/typed/example.py

echo "== misuses rejected"
expected="$(grep -n '# E$' tests/typed/rejected.py | cut -d: -f1 | sort -n | tr '\n' ' ')"
got="$("${MYPY[@]}" tests/typed/rejected.py 2>&1 | sed -n 's/^tests\/typed\/rejected.py:\([0-9]*\): error:.*/\1/p' | sort -nu | tr '\n' ' ' || true)"
if [ "$got" != "$expected" ]; then
  echo "mypy flagged lines [$got], expected exactly [$expected]" >&2
  "${MYPY[@]}" tests/typed/rejected.py >&2 || true
  exit 1
fi
echo "types ok"
