# Sourced by the quick-start scripts: installs the Debian packages they need
# when some are missing (through sudo when not root), and picks the build
# folder. On a system without dpkg nothing is installed, and the build says
# what it cannot find.

# need_packages PACKAGE...: installs those of PACKAGE... that are missing.
need_packages() {
  command -v dpkg-query >/dev/null || return 0
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
}

# What building the commands needs; the tests add GoogleTest.
command_packages=(cmake g++ make pkg-config libsndfile1-dev)
# The Python package's: to install it, to read audio files, to test it.
python_packages=(python3-venv python3-pip python3-setuptools python3-wheel python3-numpy python3-soundfile python3-pytest)

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${NBZ_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)
