#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only when one is missing.
# `install-deps.sh windows` installs those of the Windows build instead (make windows,
# make test-windows, make package-windows).
set -euo pipefail

if [ "${1:-}" = windows ]; then
  # mingw-w64 with posix threads; the header-only Asio and CLI11 and GoogleTest's sources
  # (built with mingw); Wine for the tests, with the X libraries its driver loads at every
  # start; cmark for the guides in the zip.
  packages=(cmake make g++-mingw-w64-x86-64-posix libasio-dev libcli11-dev googletest
            wine wine64 libxrender1 libxcursor1 libxrandr2 libxi6 libxinerama1 libxcomposite1
            libxfixes3 libxxf86vm1 cmark)
else
  # libsystemd-dev: the service's readiness notifications and journal (sd_notify,
  # sd_journal_send); dpkg-dev and file: the Debian packages' dependencies
  # (dpkg-shlibdeps); systemd: systemd-analyze for the units; man-db: the man pages' check.
  packages=(cmake g++ make libgtest-dev googletest libasio-dev libcli11-dev
            pkg-config libmosquitto-dev mosquitto mosquitto-clients openssl
            libsystemd-dev dpkg-dev file systemd man-db)
  # The tray application (Qt 6 Widgets, Qt Test) and its tests on a private X server with a
  # tray host, driven by xdotool, photographed by ImageMagick.
  packages+=(qt6-base-dev xvfb xauth xdotool x11-utils imagemagick fonts-dejavu-core icewm)
  # The fuzz targets (make fuzz): clang with libFuzzer and its sanitizer runtimes.
  packages+=(clang-14 libfuzzer-14-dev libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Run as root (apt-get needs it), or install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
