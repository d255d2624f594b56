#!/usr/bin/env bash
# The demo behind `make demo`: generates the bundled demo recording (seven microphones and one
# loudspeaker reference, 16 kHz), runs it through the tool with conf/bypass.conf and checks
# that the copy is bit-exact. Usage: tools/demo.sh [BUILD_DIR]   (--help prints this text)
set -euo pipefail
if [ "${1:-}" = "--help" ]; then sed -n 2,4p "$0" | sed 's/^# \{0,1\}//'; exit 0; fi
cd "$(dirname "$0")/.."
build=${1:-build}
tool="$build/velmora"
mkdir -p out
input=out/demo_input.wav
output=out/demo_bypass.wav
[ -f "$input" ] || python3 tools/make_demo_input.py "$input"

echo "== Configuration and delay: $tool conf/bypass.conf"
"$tool" conf/bypass.conf | tail -n 1
echo
echo "== Enhancement run: $tool conf/bypass.conf $input $output -t"
"$tool" conf/bypass.conf "$input" "$output" -t | grep -v '^RTF:'
echo
if cmp -s "$input" "$output"; then
  echo "Wrote $output: a bit-exact copy of $input (7 microphones + 1 reference, 16 kHz, 16 bits)."
else
  echo "Wrote $output, but it differs from $input" >&2
  exit 1
fi
