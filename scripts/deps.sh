#!/usr/bin/env bash
# Installs the Debian packages Keepwall needs to build and test, when any is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libplist-dev libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libssl-dev libpam0g-dev libsecret-1-dev
  clang util-linux procps nftables dpkg-dev
  gnome-keyring dbus
  libnftables-dev iproute2
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6svg6 qt6-qpa-plugins libgl-dev
  xvfb xauth x11-utils xdotool imagemagick fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
