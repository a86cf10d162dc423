#!/usr/bin/env bash
# Installs what building and testing corvane needs on a fresh Debian 12 machine, makes .venv
# with the newest supported interpreter and installs corvane into it, editable, with its
# test and receiver extras. Idempotent: a second run installs nothing that is already there.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/interpreters.sh
. tools/debian.sh

# System libraries, the C++ test framework, the debug interpreter and the compiler cache (meson
# uses ccache when it finds it: the sanitized, debug and wheel builds compile the same sources
# again) come from Debian, and so do the browser and its driver that the receiver's inbox page
# is tested in (selenium's own driver download can't be relied on); everything Python comes
# from PyPI (pyproject.toml).
packages=(
  g++ pkg-config libssl-dev libsimdjson-dev libgtest-dev libgmock-dev python3.11-dbg python3.11-venv postgresql
  ccache chromium chromium-driver
)
install_debian_packages "${packages[@]}"

newest="$(interpreter_newest)"
[ -n "$newest" ] || { echo "no CPython 3.10-3.13 with headers found" >&2; exit 1; }
if [ -x .venv/bin/python ] && [ "$(.venv/bin/python -c 'import sys; print(sys.base_prefix)')" != \
     "$("$newest" -c 'import sys; print(sys.base_prefix)')" ]; then
  rm -rf .venv   # made with another interpreter
fi
make_project_venv .venv "$newest" build/editable editable
