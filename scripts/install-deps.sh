#!/bin/sh
# Installs the Debian 12 packages that building and testing need, only when
# one is missing.  The package manager's output goes to a log file (default
# deps.log), named when the installation fails.
set -e
PACKAGES="cmake g++ make binutils pkg-config libgtest-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev libtiff-dev liblcms2-dev libgs-common imagemagick libtiff-tools libjpeg-turbo-progs python3-pil netpbm ghostscript chromium g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64 dpkg-dev ninja-build libvips-tools"
missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
LOG=${QUORVEL_DEPS_LOG:-deps.log}
echo "== installing packages:$missing (output in $LOG)"
if ! { $SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y $missing; } >"$LOG" 2>&1; then
  echo "package installation failed; see $LOG" >&2
  exit 1
fi
