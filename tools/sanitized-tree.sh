#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan, for .venv's interpreter, and lays out an importable package in
# build/asan-pkg/corvane (symlinks to the built modules and to python/corvane).
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"
if [ ! -f build/asan/build.ninja ]; then
  rm -rf build/asan
  meson setup build/asan -Db_sanitize=address,undefined -Db_lundef=false \
    -Dbuildtype=debugoptimized -Dpython.install_env=auto >/dev/null
fi
ninja -C build/asan >/dev/null
pkg=build/asan-pkg/corvane
rm -rf build/asan-pkg && mkdir -p "$pkg"
for f in python/corvane/*; do ln -s "$PWD/$f" "$pkg/"; done
for so in build/asan/*.so; do ln -s "$PWD/$so" "$pkg/"; done
