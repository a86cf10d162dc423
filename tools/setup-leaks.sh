#!/usr/bin/env bash
# Makes .venv-leaks: Debian's debug interpreter (it counts every reference and allocated block)
# with corvane installed into it as a regular package, built in build/leaks so that a second run
# only recompiles what changed. aiohttp and its helpers come as usual; their compiled
# accelerators are for the release interpreter, so the leak suite runs their pure-Python code
# (tests/leaks/conftest.py), which is fine: it measures corvane, not them. -O1: the suite counts
# references and blocks, not time, and -O1 compiles in two thirds of -O3's time.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/interpreters.sh
python=/usr/bin/python3.11-dbg
[ -x "$python" ] || { echo "no $python (make setup installs it)" >&2; exit 1; }
dir=.venv-leaks
builddir=build/leaks
stamp="$dir/.corvane-stamp"
want="$(cat pyproject.toml "$0")"
if ! { [ -x "$dir/bin/python" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; }; then
  [ -x "$dir/bin/python" ] || "$python" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --upgrade pip
  mapfile -t reqs < <(build_requirements "$dir/bin/python")
  "$dir/bin/python" -m pip install -q "${reqs[@]}" aiohttp pytest
fi
mkdir -p "$builddir"
# The venv's ninja and meson, as for the other venvs.
PATH="$PWD/$dir/bin:$PATH" "$dir/bin/python" -m pip install -q --no-build-isolation --no-deps \
  --force-reinstall . --config-settings=build-dir="$PWD/$builddir" \
  --config-settings=setup-args=-Doptimization=1
echo "$want" > "$stamp"
