#!/usr/bin/env bash
# Production-test demo of the hardware test mode: simulates the default 7-microphone array
# recording its own loudspeaker (pink noise from straight above, reverberant room, diffuse noise)
# twice, healthy and with one planted fault per microphone (MIC 1 dead, MIC 2 6 dB quieter,
# MIC 3 delayed by 2 samples, MIC 4 clipping, MIC 5 dropouts, MIC 6 a copy of MIC 0), and runs
# conf/test.conf (every test item) on both, printing the reports.
# Usage: tools/make_array_test_recording.sh [BUILD_DIR [OUT_DIR]]   (defaults: build, demo)
#        --help prints this text
# Writes OUT_DIR/array_test_healthy.wav, OUT_DIR/array_test_faulty.wav and the reports
# OUT_DIR/array_test_healthy.txt, OUT_DIR/array_test_faulty.txt.
set -euo pipefail
if [ "${1:-}" = "--help" ]; then sed -n 2,10p "$0" | sed 's/^# \{0,1\}//'; exit 0; fi
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-demo}
for tool in "$build/velmora-scene" "$build/velmora"; do
  [ -x "$tool" ] || { echo "make_array_test_recording.sh: $tool not found" >&2; exit 1; }
done
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for kind in healthy faulty; do
  "$build/velmora-scene" --array-test "$kind" "$out/array_test_$kind.wav"
  "$build/velmora" conf/test.conf "$out/array_test_$kind.wav" "$tmp/out.wav" \
    > "$out/array_test_$kind.txt"
  echo "== $kind: $(grep -c FAILED "$out/array_test_$kind.txt" || true) FAILED verdicts" \
    "(report: $out/array_test_$kind.txt)"
  grep FAILED "$out/array_test_$kind.txt" || true
done
