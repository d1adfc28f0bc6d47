#!/usr/bin/env bash
# Packaging checks: the wheel from `pip wheel . --no-deps` is tagged cp311-abi3, holds the
# package's files, abi3audit finds no violation, and the wheel installed into a fresh venv
# of each other CPython found on PATH (python3.12, python3.13, ...; none found is not an
# error) imports, hashes and runs the console script.
#
# The wheel is built by scikit-build-core from this source tree as `pip install .` builds
# it. When the development build exists (ZM_BUILD_DIR, default build/release) the wheel
# build runs in that same CMake tree: compile commands are identical, so nothing is
# compiled twice and the wheel carries the very module the suite just tested. Without it
# the wheel gets its own tree (build/wheel-*). The venvs under build/package-check are
# reused, so a warm run takes seconds.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
VPY="$ROOT/.venv/bin/python"
WORK="$ROOT/build/package-check"
DIST="$WORK/dist"
BUILD_DIR="${ZM_BUILD_DIR:-build/release}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
PIP=(-m pip --disable-pip-version-check -q)

[ -x "$VPY" ] || python3 -m venv "$ROOT/.venv"
"$VPY" -c 'import abi3audit, scikit_build_core' 2>/dev/null ||
  "$VPY" -m pip --disable-pip-version-check install -r "$ROOT/requirements-dev.txt"

settings=()
if [ -f "$ROOT/$BUILD_DIR/CMakeCache.txt" ]; then
  # Keep the development build's own settings: its native tests stay configured.
  settings=(--config-settings="build-dir=$BUILD_DIR" --config-settings=cmake.define.ZM_NATIVE_TESTS=ON)
  echo "== pip wheel . --no-deps (in the build tree $BUILD_DIR)"
else
  echo "== pip wheel . --no-deps (own build tree; compiles the project, about a minute)"
fi
rm -rf "$DIST"
mkdir -p "$DIST"
# The build requirements are in .venv already; without isolation the build dir stays warm.
(cd "$ROOT" && "$VPY" "${PIP[@]}" wheel . --no-deps --no-build-isolation "${settings[@]}" -w "$DIST")
wheels=("$DIST"/*.whl)
[ "${#wheels[@]}" -eq 1 ] || { echo "expected one wheel, got: ${wheels[*]}" >&2; exit 1; }
WHEEL="${wheels[0]}"
echo "$(basename "$WHEEL")"
case "$(basename "$WHEEL")" in
  zarnik_manifest-*-cp311-abi3-*.whl) ;;
  *) echo "wheel is not tagged cp311-abi3" >&2; exit 1 ;;
esac
# Every file of the source package (modules, stubs, py.typed, schemas) is in the wheel.
"$VPY" - "$WHEEL" "$ROOT/src" <<'PY'
import pathlib, sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
src = pathlib.Path(sys.argv[2])
want = {str(p.relative_to(src)) for p in (src / "zarnik_manifest").rglob("*")
        if p.is_file() and "__pycache__" not in p.parts and not p.name.endswith(".so")}
want.add("zarnik_manifest/_zarnik_manifest.abi3.so")
missing = sorted(want - names)
if missing:
    sys.exit(f"wheel lacks {missing}")
print(f"wheel holds all {len(want)} package files")
PY

echo "== abi3audit"
"$VPY" -m abi3audit --strict --summary "$WHEEL"

echo "== install into other interpreters"
SAMPLE="$WORK/sample.bin"
printf 'zarnik' > "$SAMPLE"
WANT="$(sha256sum "$SAMPLE" | cut -d' ' -f1)"
# pyenv shims on PATH run only the versions pyenv selects (a process started through a
# shim even passes its one version down); offer them every installed one, after those.
if command -v pyenv >/dev/null; then
  installed="$(pyenv versions --bare 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | tr '\n' ':' || true)"
  if [ -n "$installed" ]; then
    export PYENV_VERSION="${PYENV_VERSION:+$PYENV_VERSION:}${installed%:}"
  fi
fi
tested=0
for minor in $(seq 12 30); do
  name="python3.$minor"
  py="$(command -v "$name" || true)"
  [ -n "$py" ] || continue
  # A candidate must really be that CPython (a shim may answer with an error).
  ver="$("$py" -c 'import sys; assert sys.implementation.name == "cpython"; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)"
  if [ "$ver" != "3.$minor" ]; then
    echo "skip: $name on PATH ($py) does not run CPython 3.$minor"
    continue
  fi
  venv="$WORK/venv-$ver"
  # A venv without its own pip (seconds faster); this pip installs into it, run by its python.
  [ -x "$venv/bin/python" ] || "$py" -m venv --without-pip "$venv"
  "$VPY" "${PIP[@]}" --python "$venv/bin/python" install --force-reinstall --no-deps --no-index "$WHEEL"
  # Run outside the source tree so that only the installed package can be imported.
  got="$(cd "$WORK" && "$venv/bin/python" -c \
    'import sys, zarnik_manifest as zm; print(zm.sha256_file(sys.argv[1])["sha256"])' "$SAMPLE")"
  [ "$got" = "$WANT" ] || { echo "python $ver: sha256_file gave $got, expected $WANT" >&2; exit 1; }
  line="$(cd "$WORK" && "$venv/bin/zarnik-manifest" hash sample.bin)"
  [ "$line" = "$WANT  sample.bin" ] || { echo "python $ver: console script printed '$line'" >&2; exit 1; }
  echo "python $ver ($py): import, sha256_file and zarnik-manifest hash ok"
  tested=$((tested + 1))
done
[ "$tested" -gt 0 ] || echo "no other CPython (python3.12 or later) on PATH; install checks skipped"
echo "package ok ($tested other interpreter(s) tested)"
