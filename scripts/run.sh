#!/usr/bin/env bash
# Installs what is missing (as root), builds the server and runs it (window when a display is
# there, headless otherwise). Arguments go to the program. A desktop user installs the
# dependencies as root once (sudo bash scripts/deps.sh run) and then runs this as themselves,
# so that the window's folder list goes to their own documents folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
for made in build build/release; do
  if [ -e "$made" ] && [ ! -w "$made" ]; then
    echo "run.sh: $made belongs to $(stat -c %U "$made") (made with sudo?): sudo chown -R $(id -un) build" >&2
    exit 1
  fi
done
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/tindravoller "$@"
