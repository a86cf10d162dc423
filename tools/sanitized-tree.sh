#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan, and lays out an importable package in build/asan-pkg/corvane (symlinks to the
# built modules and to python/corvane). Run tests against it with PYTHONPATH=build/asan-pkg.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -d build/asan ]; then
  meson setup build/asan -Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debugoptimized \
    --python.install-env=auto -Dpython.platlibdir="" >/dev/null 2>&1 ||
  meson setup build/asan -Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debugoptimized >/dev/null
fi
ninja -C build/asan >/dev/null
pkg=build/asan-pkg/corvane
rm -rf build/asan-pkg && mkdir -p "$pkg"
for f in python/corvane/*; do ln -s "$PWD/$f" "$pkg/"; done
for so in build/asan/*.so; do ln -s "$PWD/$so" "$pkg/"; done
