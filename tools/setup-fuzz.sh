#!/usr/bin/env bash
# Installs what `make fuzz` needs on a fresh Debian 12 machine: clang with libFuzzer's runtime
# (libclang-rt-14-dev) and OpenSSL's headers, which the core links. No Python is involved.
# Idempotent: a second run installs nothing that is already there.
set -euo pipefail

cd "$(dirname "$0")/.."
. tools/debian.sh
# Without recommends: the LLVM tools and documentation clang-14 recommends are not needed to
# build the targets, and leaving them out keeps a fresh machine's install well under a minute.
install_debian_packages --no-install-recommends clang-14 libclang-rt-14-dev libssl-dev make
