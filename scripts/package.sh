#!/usr/bin/env bash
# Builds the Debian packages from a release build with Debian's hardening flags:
# tindravoller (the headless server, its systemd units, service user and manual page) and,
# when Qt 6 is there, tindravoller-window (the window, on top). Prints the package files.
# Argument: the build folder (default build/package).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
dir=${1:-build/package}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
LDFLAGS=$(dpkg-buildflags --get LDFLAGS) \
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTV_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$dir" -j2
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/*.deb
