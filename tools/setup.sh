#!/usr/bin/env bash
# Installs what building and testing corvane needs on a fresh Debian 12 machine, makes .venv
# and installs the package into it. Idempotent: a second run only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ meson ninja-build pkg-config python3-dev python3-venv python3.11-dbg
  python3-mesonpy pybind11-dev python3-pybind11 libssl-dev libgtest-dev libgmock-dev
  python3-aiohttp python3-pytest python3-pytest-asyncio python3-hypothesis mypy
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing Debian packages: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

# Debian's interpreter, never the first python3 on PATH (it may lack Debian's packages).
mkdir -p build/pip
if [ ! -x .venv/bin/python ]; then
  /usr/bin/python3 -m venv --system-site-packages .venv
fi
.venv/bin/python -m pip install -q --no-build-isolation --no-index --no-deps \
  --config-settings=builddir=build/pip .
