#!/usr/bin/env bash
# Checks that the Debian packages the build needs are installed. Run as root, it installs the
# missing ones with apt-get; otherwise it names them and the command that installs them, and
# fails. Usage: tools/setup-deps.sh [extra-package ...]   (--help prints this text)
set -euo pipefail
if [ "${1:-}" = "--help" ]; then sed -n 2,4p "$0" | sed 's/^# \{0,1\}//'; exit 0; fi

# python3-dev and pybind11 build the Python module; pytest, matplotlib and soundfile run its tests
# and draw the demo's report.
packages=(cmake g++ make pkg-config libgtest-dev libkissfft-dev libwebrtc-audio-processing-dev python3 python3-numpy
  python3-dev pybind11-dev python3-pybind11 python3-pytest python3-matplotlib python3-soundfile "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  echo "Installing missing packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
