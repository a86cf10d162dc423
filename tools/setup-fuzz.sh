#!/usr/bin/env bash
# Installs what `make fuzz` needs on a fresh Debian 12 machine: clang with libFuzzer's runtime
# (libclang-rt-14-dev) and OpenSSL's headers, which the core links. No Python is involved.
# Idempotent: a second run installs nothing that is already there.
set -euo pipefail

packages=(clang-14 libclang-rt-14-dev libssl-dev make)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing Debian packages: ${missing[*]}"
  $sudo apt-get update -q
  # Without recommends: the LLVM tools and documentation clang-14 recommends are not needed to
  # build the targets, and leaving them out keeps a fresh machine's install well under a minute.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=300 "${missing[@]}"
fi
