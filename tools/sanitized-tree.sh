#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan, for .venv's interpreter, and lays out an importable package in
# build/asan-pkg/corvane (symlinks to the built modules and to python/corvane).
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"
if [ ! -f build/asan/build.ninja ]; then
  rm -rf build/asan
  # -O1 and line tables only: at -O2 -g, GCC takes twice as long over these instrumented
  # translation units, the longest compile of CI; -O1 is what ASan asks for a usable speed,
  # and line tables are all its reports need.
  meson setup build/asan -Db_sanitize=address,undefined -Db_lundef=false \
    -Dbuildtype=debugoptimized -Doptimization=1 -Dcpp_args=-g1 -Dpython.install_env=auto >/dev/null
fi
ninja -C build/asan >/dev/null
pkg=build/asan-pkg/corvane
rm -rf build/asan-pkg && mkdir -p "$pkg"
for f in python/corvane/*; do ln -s "$PWD/$f" "$pkg/"; done
for so in build/asan/*.so; do ln -s "$PWD/$so" "$pkg/"; done
