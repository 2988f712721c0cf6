#!/usr/bin/env bash
# Runs the benchmarks that judge a figure against a floor measured in the
# same run (or, where the bound is absolute, beside it), briefly, and prints
# one table of their RESULT lines:
#   bench/run_all.sh [build directory, default build/default]
# Exit status 1 when a figure is past its bound or a benchmark failed to run.
# CI runs it after the tests and shows the table without failing on it: the
# machines there are shared and noisy; a figure past its bound is for a person
# to look at again on a quiet machine.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
bench=$build/bench
[ -x "$bench/kvx_acquisition_bench" ] || { echo "run_all: $bench holds no benchmarks (configure with KVX_BUILD_BENCH=ON)" >&2; exit 2; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
run() {
  echo "=== $*" >&2
  "$@" >"$out.one" 2>&1
  local rc=$?
  cat "$out.one" >&2
  grep '^RESULT ' "$out.one" >>"$out"
  grep -q '^RESULT ' "$out.one" || echo "RESULT $(basename "$1") figure=- floor=- unit=- ratio=- bound=- verdict=FAILED(exit $rc)" >>"$out"
  [ $rc -eq 0 ] || status=1
  rm -f "$out.one"
}
run "$bench/kvx_acquisition_bench" --seconds=1 --rounds=3
run "$bench/kvx_stop_latency_bench" 30
run "$bench/kvx_headless_idle_bench" 3 "$build/src/main/kvxclient"
run "$bench/kvx_scenario_bench"
run "$bench/kvx_device_events_bench" 100
run "$bench/kvx_metrics_bench" 10 300
run "$bench/kvx_energy_bench" 1000000
run "$bench/kvx_history_bench" 7
[ -x "$bench/kvx_trend_bench" ] && run "$bench/kvx_trend_bench"
run "$bench/kvx_publish_bench" 2000 "$build/src/main/kvxclient"
# Over the emulated USB bus, when the tests (and so the emulator) were built.
emulator=$build/tests/tools/usb_emulator/kvx-usb-emulator
if [ -x "$emulator" ]; then
  run "$bench/kvx_usb_open_bench" "$emulator" 1 16
  run python3 bench/usb_cpu_bench.py --binary "$build/src/main/kvxclient" --emulator "$emulator" --seconds 3 --rounds 2
fi

echo
printf '%-26s %12s %12s %-11s %8s %10s  %s\n' benchmark figure floor unit ratio bound verdict
sed -E 's/^RESULT ([^ ]+) figure=([^ ]+) floor=([^ ]+) unit=([^ ]+) ratio=([^ ]+) bound=([^ ]+) verdict=(.*)$/\1 \2 \3 \4 \5 \6 \7/' "$out" |
  while read -r name figure floor unit ratio bound verdict; do
    printf '%-26s %12s %12s %-11s %8s %10s  %s\n' "$name" "$figure" "$floor" "$unit" "$ratio" "$bound" "$verdict"
  done
grep -q 'verdict=ok$' "$out" || status=1
grep -vq 'verdict=ok$' "$out" && status=1
exit $status
