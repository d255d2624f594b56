#!/usr/bin/env bash
# Regenerates the bundled demo recording demo/demo_7mic_1ref.wav (default 7-microphone array plus
# one loudspeaker reference, 16 kHz, 16 bits, 7.5 s) and its description demo/demo_7mic_1ref.txt.
# Two espeak-ng sentences in different voices are resampled to 16 kHz with sox (no dither) and
# placed by the scene simulator in a 5 x 4 x 3 m room (RT60 0.3 s, fixed seed): the far end
# alone first (the echo-only span, where the echo canceller converges), then double talk, then
# the near-end talker alone, with diffuse noise 20 dB below the near end.
# Usage: tools/make_demo_recording.sh [BUILD_DIR]   (default build; needs BUILD_DIR/velmora-scene,
# espeak-ng and sox)   --help prints this text
set -euo pipefail
if [ "${1:-}" = "--help" ]; then sed -n 2,9p "$0" | sed 's/^# \{0,1\}//'; exit 0; fi
cd "$(dirname "$0")/.."
build=${1:-build}
scene="$build/velmora-scene"
for tool in "$scene" espeak-ng sox soxi; do
  command -v "$tool" >/dev/null || { echo "make_demo_recording.sh: $tool not found" >&2; exit 1; }
done

# The scene. Times in seconds, angles in degrees (azimuth from +x towards +y), distances in m.
near_text="Please turn on the kitchen lights, and set a timer for ten minutes."
near_voice=en-us+f3; near_speed=175      # espeak-ng -v / -s (words per minute)
far_text="Good morning. Here is the weather for today: light rain in the afternoon, and around twelve degrees."
far_voice=en-gb; far_speed=170
near_start=4.0; near_azimuth=60; near_distance=1.0; near_gain=1.0
far_start=0.2; far_azimuth=-120; far_distance=0.25; far_gain=0.5
duration=7.5; rt60=0.3; snr=20; seed=7

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
espeak-ng -v "$near_voice" -s "$near_speed" -w "$tmp/near_raw.wav" "$near_text"
espeak-ng -v "$far_voice" -s "$far_speed" -w "$tmp/far_raw.wav" "$far_text"
# 16 kHz, 16 bits, repeatable (-R, no dither -D), leading and trailing silence trimmed.
for who in near far; do
  sox -R "$tmp/${who}_raw.wav" -r 16000 -b 16 -c 1 -D "$tmp/$who.wav" \
    silence 1 0.01 0.1% reverse silence 1 0.01 0.1% reverse
done
near_len=$(soxi -D "$tmp/near.wav")
far_len=$(soxi -D "$tmp/far.wav")

mkdir -p demo
"$scene" --rt60 "$rt60" --snr "$snr" --seed "$seed" --length "$duration" \
  --talker "$tmp/near.wav,$near_azimuth,$near_distance,$near_start,$near_gain" \
  --farend "$tmp/far.wav,$far_azimuth,$far_distance,$far_start,$far_gain" \
  "$tmp/demo.wav" | tee "$tmp/scene.log"
cp "$tmp/demo.wav" demo/demo_7mic_1ref.wav

activity=$(sed -n 's/^Talker activity (s): *//p' "$tmp/scene.log")
awk -v ns="$near_start" -v nl="$near_len" -v fs="$far_start" -v fl="$far_len" -v d="$duration" \
    -v az="$near_azimuth" -v nd="$near_distance" -v faz="$far_azimuth" -v fd="$far_distance" \
    -v rt="$rt60" -v snr="$snr" -v act="$activity" 'BEGIN {
  fe = fs + fl; if (fe > d) fe = d
  ne = ns + nl; if (ne > d) ne = d
  print "# Demo recording demo_7mic_1ref.wav, made by tools/make_demo_recording.sh: 7 microphones"
  print "# (default array of conf/default.conf) then 1 loudspeaker reference, 16 kHz, 16 bits."
  print "# Spans are \"start end\" in seconds; angles in degrees (azimuth from +x towards +y)."
  printf "duration = %.2f\n", d
  printf "talker_azimuth = %g\n", az
  printf "talker_distance = %g\n", nd
  printf "loudspeaker_azimuth = %g\n", faz
  printf "loudspeaker_distance = %g\n", fd
  printf "rt60 = %g\n", rt
  printf "noise_snr_db = %g\n", snr
  printf "# far end alone: measure the echo reduction here\n"
  printf "echo_only = %.2f %.2f\n", fs, ns
  printf "double_talk = %.2f %.2f\n", ns, fe
  printf "near_only = %.2f %.2f\n", fe, ne
  printf "far_end = %.2f %.2f\n", fs, fe
  printf "near_end = %.2f %.2f\n", ns, ne
  printf "talker_activity = %s\n", act
}' > demo/demo_7mic_1ref.txt
echo "Wrote demo/demo_7mic_1ref.wav and demo/demo_7mic_1ref.txt"
