#!/usr/bin/env bash
# Packaging checks: the wheel from `pip wheel . --no-deps` is tagged cp311-abi3,
# abi3audit finds no violation, and the wheel installed into a fresh venv of each other
# CPython found (3.12, 3.13 under pyenv; skipped when absent) imports, hashes and runs
# the console script. Idempotent; the CMake build dir (build/wheel-*) and the venvs under
# build/package-check are reused, so a warm run takes seconds.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
VPY="$ROOT/.venv/bin/python"
WORK="$ROOT/build/package-check"
DIST="$WORK/dist"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
PIP=(-m pip --disable-pip-version-check -q)

[ -x "$VPY" ] || python3 -m venv "$ROOT/.venv"
"$VPY" -c 'import abi3audit' 2>/dev/null || "$VPY" "${PIP[@]}" install 'abi3audit>=0.0.20'
"$VPY" -c 'import scikit_build_core' 2>/dev/null || "$VPY" "${PIP[@]}" install -r "$ROOT/requirements-dev.txt"

echo "== pip wheel . --no-deps"
rm -rf "$DIST"
mkdir -p "$DIST"
# The build requirements are in .venv already; without isolation the build dir stays warm.
(cd "$ROOT" && "$VPY" "${PIP[@]}" wheel . --no-deps --no-build-isolation -w "$DIST")
wheels=("$DIST"/*.whl)
[ "${#wheels[@]}" -eq 1 ] || { echo "expected one wheel, got: ${wheels[*]}" >&2; exit 1; }
WHEEL="${wheels[0]}"
echo "$(basename "$WHEEL")"
case "$(basename "$WHEEL")" in
  zarnik_manifest-*-cp311-abi3-*.whl) ;;
  *) echo "wheel is not tagged cp311-abi3" >&2; exit 1 ;;
esac

echo "== abi3audit"
"$VPY" -m abi3audit --strict --summary "$WHEEL"

echo "== install into other interpreters"
SAMPLE="$WORK/sample.bin"
printf 'zarnik' > "$SAMPLE"
WANT="$(sha256sum "$SAMPLE" | cut -d' ' -f1)"
tested=0
for py in /root/.pyenv/versions/3.12.1/bin/python3 /root/.pyenv/versions/3.13.0/bin/python3; do
  if [ ! -x "$py" ]; then
    echo "skip: $py not present"
    continue
  fi
  ver="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  venv="$WORK/venv-$ver"
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" "${PIP[@]}" install --force-reinstall --no-deps --no-index "$WHEEL"
  # Run outside the source tree so that only the installed package can be imported.
  got="$(cd "$WORK" && "$venv/bin/python" -c \
    'import sys, zarnik_manifest as zm; print(zm.sha256_file(sys.argv[1])["sha256"])' "$SAMPLE")"
  [ "$got" = "$WANT" ] || { echo "python $ver: sha256_file gave $got, expected $WANT" >&2; exit 1; }
  line="$(cd "$WORK" && "$venv/bin/zarnik-manifest" hash sample.bin)"
  [ "$line" = "$WANT  sample.bin" ] || { echo "python $ver: console script printed '$line'" >&2; exit 1; }
  echo "python $ver: import, sha256_file and zarnik-manifest hash ok"
  tested=$((tested + 1))
done
echo "package ok ($tested other interpreter(s) tested)"
