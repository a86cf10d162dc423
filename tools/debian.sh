# Installs the Debian packages given that this machine lacks (apt-get as root, else with sudo);
# leading arguments that start with '-' go to apt-get install. Sourced, not run.
install_debian_packages() {
  local options=() missing=() p sudo=""
  while [ "$#" -gt 0 ] && [ "${1#-}" != "$1" ]; do options+=("$1"); shift; done
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing Debian packages: ${missing[*]}"
  $sudo apt-get update -q
  # Another apt run holding the lock (an unattended upgrade on a fresh machine) is waited for.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q -o DPkg::Lock::Timeout=300 \
    "${options[@]}" "${missing[@]}"
}
