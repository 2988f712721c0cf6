#!/usr/bin/env bash
# Takes the pictures of the window that docs/ shows, on the built-in
# simulated strips under a virtual X server: the device information of strip
# 1, its calculation view and the waveform of its outlet 2; then the trend
# window after two logging runs of docs/history-demo.json (a stall, an unplug,
# a pause; about a minute).
#
#   scripts/screenshot.sh [WAIT_MS]
#
# WAIT_MS (default 2500) is how long readings are awaited after the node is
# selected. KVXCLIENT names another built client binary (for example one of a
# sanitizer build); by default the `default` preset is built and used.
set -euo pipefail
cd "$(dirname "$0")/.."
wait_ms="${1:-2500}"
if ! [[ "$wait_ms" =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/screenshot.sh [WAIT_MS]" >&2
  exit 2
fi
if [ -z "${KVXCLIENT:-}" ]; then
  scripts/install-deps.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target kvxclient
  KVXCLIENT=build/default/src/main/kvxclient
fi
mkdir -p docs
shoot() {
  local node="$1" file="$2"
  # The window's options take their values after "=": a separate word would
  # belong to the five start-up values.
  xvfb-run -a "$KVXCLIENT" --screenshot="docs/$file" --select="$node" --wait="$wait_ms"
  echo "docs/$file ($node)"
}
shoot strip:1 window-device-information.png
shoot calc:1 window-calculation.png
shoot wave:1:2 window-waveform.png

# The trend window: two headless logging runs with a pause, then the window with --trend.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
run() { "$KVXCLIENT" --headless --log-dir="$logs" --scenario=docs/history-demo.json "$@" 1A2B3 1 0 1 1 >/dev/null; }
run --duration=28
sleep 6
run --duration=14
sleep 4
xvfb-run -a "$KVXCLIENT" --log-dir="$logs" --scenario=docs/history-demo.json --trend --screenshot=docs/window-trend.png \
  --select=calc:1 --wait=5000 1A2B3 1 0 1 1
echo "docs/window-trend.png (--trend)"
