#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and
# the demo need. Safe to run again: when everything is there it does nothing.
# With "server", only what the alert server alone needs to be built, tested
# and packaged (cmake -DTVX_SERVER_ONLY=ON).
set -euo pipefail

server_packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools
  libsqlite3-dev libboost-dev libssl-dev openssl
  libpq-dev postgresql
  lintian
  nginx
)
program_packages=(
  qt6-qpa-plugins qt6-webengine-dev qt6-webchannel-dev qt6-multimedia-dev
  libnss3-tools libxcb1-dev
  xvfb xauth trayer x11-utils x11-xserver-utils xdotool imagemagick fonts-dejavu-core
  clang libclang-rt-14-dev
  desktop-file-utils
)
packages=("${server_packages[@]}")
if [ "${1:-}" != server ]; then
  packages+=("${program_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages are installed"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
