#!/usr/bin/env bash
# Installs every package the build, the programs and the tests need.
# Idempotent and non-interactive; needs root (or sudo) on Debian 12.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake ninja-build pkg-config
  # libraries
  qt6-base-dev qt6-base-dev-tools libqt6dbus6 libqt6network6 libqt6widgets6 qt6-qpa-plugins
  # lupdate/lrelease and their CMake package (Qt6LinguistTools), Qt's own translations
  qt6-l10n-tools qt6-tools-dev qt6-translations-l10n
  libplist-dev libplist++-dev libicu-dev libsqlite3-dev libsystemd-dev
  # the Thunar extension (the file managers' context-menu entries) builds against Thunar's thunarx-3
  libthunarx-3-dev
  # tests
  libgtest-dev libgmock-dev googletest
  # the Files (Nautilus) extension is loaded with nautilus-python's own bindings in its test
  python3-nautilus
  # peers and tools the programs and tests start
  rsync dbus-daemon iputils-ping iproute2 inotify-tools util-linux procps passwd
  # homes on file systems of their own (the simulation's loop devices)
  e2fsprogs xfsprogs btrfs-progs
  desktop-file-utils appstream systemd xvfb xauth openssl fonts-dejavu-core
  # packaging: the Debian package is made with debhelper (debian/) and checked with lintian
  dpkg-dev debhelper lintian
  # the package on a booted Debian: a root made from Debian's packages, booted in a container
  mmdebstrap systemd-container
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
