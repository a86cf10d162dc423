#!/usr/bin/env bash
# Builds an sdist and, from it, one wheel per supported interpreter found on this machine, into
# dist/. Wheels build in isolation with the build requirements from PyPI, as a user's pip would.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/interpreters.sh
rm -rf dist && mkdir -p dist
.venv/bin/python -m pip install -q build
.venv/bin/python -m build --sdist --outdir dist . >/dev/null
sdist="$(ls dist/corvane-*.tar.gz)"
for minor in 3.10 3.11 3.12 3.13; do
  python="$(interpreter_for "$minor")"
  [ -n "$python" ] || { echo "skipping Python $minor: not on this machine"; continue; }
  echo "building the wheel for Python $minor"
  "$python" -m pip wheel -q --no-deps --wheel-dir dist "$sdist"
done
ls -1 dist
