#!/usr/bin/env bash
# Makes .venv-oldest: the oldest supported interpreter (3.10) with the oldest supported
# dependencies (tools/constraints-oldest.txt), corvane installed into it as a regular package.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/interpreters.sh
python="$(interpreter_for 3.10)"
[ -n "$python" ] || { echo "no CPython 3.10 found" >&2; exit 1; }
make_project_venv .venv-oldest "$python" build/oldest regular -c tools/constraints-oldest.txt
