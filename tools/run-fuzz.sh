#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a set time, one after the other, starting from the
# seed corpus fuzz/corpus/<target> and growing BUILD/corpus/<target>. Stops at the first finding
# (the crashing input is left in BUILD as crash-*, leak-*, timeout-* or oom-*).
# Usage: tools/run-fuzz.sh BUILD SECONDS
set -euo pipefail
build=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
rm -f "$build"/crash-* "$build"/leak-* "$build"/timeout-* "$build"/oom-*
for target in params wav pcm engine; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  echo "== fuzz_$target for $seconds s"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/" \
    "$corpus" "$root/fuzz/corpus/$target" 2>&1 | grep -E "^#[0-9]+.*(DONE|INITED)|cov:.*DONE|stat::|ERROR|SUMMARY|Test unit written" || true
  # libFuzzer's own exit status is lost in the filter: a finding leaves an artifact.
  if ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* "$build"/oom-* >/dev/null 2>&1; then
    echo "fuzz_$target found a failing input: $(ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* "$build"/oom-* 2>/dev/null)" >&2
    exit 1
  fi
done
