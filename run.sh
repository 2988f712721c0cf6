#!/usr/bin/env bash
# Installs what is missing, builds, and starts the client on the built-in
# simulated strips: the window when a display is there, --headless otherwise.
# Extra arguments go to the client (for example: ./run.sh 1A2B3 10 3600 2 1).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target kvxclient
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/default/src/main/kvxclient "$@"
else
  echo "No display found: starting in headless mode (Ctrl+C stops it)." >&2
  exec build/default/src/main/kvxclient --headless "$@"
fi
