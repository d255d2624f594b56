#!/usr/bin/env bash
# The demo behind `make demo`: runs the default configuration conf/default.conf on the bundled
# recording demo/demo_7mic_1ref.wav (7 microphones + 1 loudspeaker reference, 16 kHz; made by
# tools/make_demo_recording.sh, spans in demo/demo_7mic_1ref.txt). It prints the algorithm
# delay, writes the enhanced speech to out/demo_enhanced.wav (16-bit WAV) with the real-time
# factor, measures the echo reduction (ERLE of the output against microphone 0) over the
# echo-only span after the fade-in, does the same for the echo-removal configuration
# conf/echo.conf (canceller 300 and suppressor 300; skipped with its refusal when the build lacks
# a stage), runs the localisation next to the true talker direction, and
# draws the run into out/demo_report.png (tools/velmora_report.py: spectrograms of microphone 0
# and of the output, the localiser's direction per block against the true one, ERLE over time).
# A stage the build does not offer yet makes the tool refuse the default configuration (status
# 255, "Unsupported AEC algorithm: 201", ...): the demo then prints the refusal and runs a copy,
# out/demo_fallback.conf, with that stage's *_algorithm set to 0 (pass-through).
# Usage: tools/demo.sh [BUILD_DIR]   (default build; --help prints this text)
set -euo pipefail
if [ "${1:-}" = "--help" ]; then sed -n 2,15p "$0" | sed 's/^# \{0,1\}//'; exit 0; fi
cd "$(dirname "$0")/.."
build=${1:-build}
tool="$build/velmora"
scene="$build/velmora-scene"
input=demo/demo_7mic_1ref.wav
info=demo/demo_7mic_1ref.txt
output=out/demo_enhanced.wav
fallback=out/demo_fallback.conf
conf=conf/default.conf
mkdir -p out

value() {  # value KEY FILE: the value of a "key = value" line
  sed -n "s/^$1 *= *//p" "$2" | head -n 1
}

# Configuration and delay. Each refused stage is switched to its pass-through in the fallback copy.
for attempt in 1 2 3 4 5 6 7 8 9; do
  if listing=$("$tool" "$conf" 2>out/demo_error.txt); then break; else status=$?; fi
  refusal=$(tr -s '\n' ' ' <out/demo_error.txt)
  family=$(sed -n 's/.*\(Unsupported\|Unknown\) \([A-Z]*\) algorithm: .*/\2/p' out/demo_error.txt |
    head -n 1 | tr '[:upper:]' '[:lower:]')
  if [ "$status" -ne 255 ] || [ -z "$family" ] || [ "$attempt" -eq 9 ]; then
    echo "demo: $conf is refused (status $status): $refusal" >&2
    exit 1
  fi
  echo "== $conf is refused by this build: $refusal"
  [ "$conf" = "$fallback" ] || cp conf/default.conf "$fallback"
  sed -i "s/^${family}_algorithm *=.*/${family}_algorithm = 0/" "$fallback"
  conf=$fallback
  echo "   Falling back: ${family}_algorithm = 0 (pass-through) in $fallback."
  echo "   This is NOT the default processing chain."
done
echo "== Configuration: $conf"
printf '%s\n' "$listing" | grep '^delay = '
echo

echo "== Enhancement run: $tool $conf $input $output -t"
"$tool" "$conf" "$input" "$output" -t >out/demo_timing.txt
rtf=$(sed -n 's/^Time spent for process (ms): .*average RTF: //p' out/demo_timing.txt)
echo "Wrote $output"
echo "Real-time factor (processing time / audio time): $rtf"

# Echo reduction over the echo-only span, from the end of the fade-in on.
read -r echo_start echo_end <<<"$(value echo_only "$info")"
init_time=$(value init_time "$conf")
start=$(awk -v a="$echo_start" -v b="${init_time:-0}" 'BEGIN { print (a > b ? a : b) }')
echo "Echo reduction over the echo-only span $echo_start-$echo_end s, measured from $start s" \
  "(after the ${init_time:-0} s fade-in):"
"$scene" --measure-erle "$input" "$output" "$start" "$echo_end"
echo

# The echo-removal configuration (canceller 300 and suppressor 300) on the same recording.
echo_conf=conf/echo.conf
echo_output=out/demo_echo.wav
echo "== Echo removal: $tool $echo_conf $input $echo_output -t"
if echo_listing=$("$tool" "$echo_conf" 2>out/demo_echo_error.txt); then
  printf '%s\n' "$echo_listing" | grep '^delay = '
  "$tool" "$echo_conf" "$input" "$echo_output" -t >out/demo_echo_timing.txt
  echo_rtf=$(sed -n 's/^Time spent for process (ms): .*average RTF: //p' out/demo_echo_timing.txt)
  echo "Wrote $echo_output"
  echo "Real-time factor (processing time / audio time): $echo_rtf"
  echo_init=$(value init_time "$echo_conf")
  echo_start=$(awk -v a="$echo_start" -v b="${echo_init:-3.0}" 'BEGIN { print (a > b ? a : b) }')
  echo "Echo reduction over the echo-only span, measured from $echo_start s:"
  "$scene" --measure-erle "$input" "$echo_output" "$echo_start" "$echo_end"
else
  echo "$echo_conf is refused by this build: $(tr -s '\n' ' ' <out/demo_echo_error.txt)"
fi
echo

echo "== Localisation run: $tool $conf $input"
direction=$("$tool" "$conf" "$input" | tail -n 1)
note=""
[ "$(value ssl_algorithm "$conf")" = "0" ] && note=" (ssl_algorithm = 0: the pass-through localiser)"
echo "Estimated talker direction: $direction degrees$note"
if [ "$(value ssl_algorithm "$conf")" = "0" ]; then
  # The default chain carries no localiser: show the SRP-PHAT localiser on the same recording.
  localise=out/demo_localise.conf
  { cat "$conf"; echo "ssl_algorithm = 1"; } >"$localise"
  if direction=$("$tool" "$localise" "$input" 2>/dev/null | tail -n 1); then
    echo "With ssl_algorithm = 1 ($localise): $direction degrees"
  fi
fi
echo "True talker direction:      $(value talker_azimuth "$info") degrees"
echo

# The picture of the run. The direction track needs the localiser: when the configuration has
# none, the track comes from the same chain with the SRP-PHAT localiser on, forgetting over
# about a second so that it follows the talkers.
report=out/demo_report.png
python=""
for candidate in python3 /usr/bin/python3; do
  if "$candidate" -c "import numpy, matplotlib, soundfile" 2>/dev/null; then python=$candidate; break; fi
done
if [ -z "$python" ] || ! ls "$build"/python/velmora*.so >/dev/null 2>&1; then
  echo "== Report skipped: needs python3-matplotlib, python3-soundfile and the Python module" \
    "($build/python; pybind11-dev python3-pybind11)"
  exit 0
fi
track=$conf
if [ "$(value ssl_algorithm "$conf")" = "0" ]; then
  track=out/demo_track.conf
  { cat "$conf"; echo "ssl_algorithm = 1"; echo "ssl_forget = 0.98"; } >"$track"
fi
echo "== Report: tools/velmora_report.py $input $output $conf --track-config $track"
"$python" tools/velmora_report.py "$input" "$output" "$conf" --track-config "$track" \
  --build "$build" --png "$report" --title "Demo: $conf on $input (direction track: $track)" >/dev/null
echo "Report: $report"
