#!/usr/bin/env bash
# Installs what is missing, builds the server and runs it (window when a display is there,
# headless otherwise). Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/tindravoller "$@"
