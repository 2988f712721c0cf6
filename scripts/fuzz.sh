#!/usr/bin/env bash
# Builds the libFuzzer targets with the `fuzz` preset (clang, ASan + UBSan)
# and runs each one for SECONDS_PER_TARGET seconds (default 20), one after the
# other, starting from the seeds in fuzz/corpus/<target>/. Fails on the first
# crash, sanitizer report, broken invariant, leak or time-out; the input that
# did it is kept under build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
#
# Inputs found along the way go to build/fuzz/corpus/<target>/ (kept between
# runs, so later runs start further on); the seeds in the tree are only read.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS_PER_TARGET]" >&2
  exit 2
fi
targets=(fuzz_readings fuzz_calibration fuzz_command_line fuzz_recorder fuzz_scenario fuzz_sim_connection fuzz_program_options)

scripts/install-deps.sh
echo "=== fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"

build=build/fuzz
mkdir -p "$build/artifacts" "$build/logs"
# UBSan reports are fatal (the preset does not build with -fno-sanitize-recover).
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"

for target in "${targets[@]}"; do
  seeds="fuzz/corpus/${target#fuzz_}"
  work="$build/corpus/${target#fuzz_}"
  log="$build/logs/$target.log"
  mkdir -p "$work"
  echo "=== $target: ${seconds} s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "$work" "$seeds" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "=== $target FAILED (log: $log, input: $build/artifacts/$target-*)" >&2
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true
done
echo "All fuzz targets ran ${seconds} s each without a finding."
