#!/usr/bin/env bash
# Installs what is missing, builds the server and runs it (window when a display is there,
# headless otherwise). Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTV_TESTS=OFF >/dev/null
cmake --build build/release -j2
exec build/release/tindravoller "$@"
