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
# Debian's flags come from dpkg-buildflags, which a preset cannot run. Given on the command
# line, they hold also in a folder that `cmake --preset package` made without them.
cmake --preset package -B "$dir" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$dir" -j2
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/*.deb
