#!/usr/bin/env bash
# Installs what the build needs and is not there yet: "run" for the server, "test" for every test.
set -euo pipefail
need=(build-essential cmake ninja-build pkg-config file
      libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libseccomp-dev)
if [ "${1:-run}" = test ]; then
  need+=(clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev iproute2 curl
         libxml2-utils gupnp-tools gir1.2-gssdp-1.6 python3-gi qt6-base-dev xvfb xauth
         ffmpeg imagemagick gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
         gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-plugins-base-apps
         lintian man-db systemd)
else
  need+=(qt6-base-dev)
fi
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] && [ "$(id -u)" != 0 ]; then
  # Installing takes root; building and running do not. Once is enough.
  echo "deps.sh: missing: ${missing[*]}" >&2
  echo "deps.sh: install them once as root: sudo bash scripts/deps.sh ${1:-run}" >&2
  exit 1
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Another install on the machine holds the dpkg lock for a while: wait for it.
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
