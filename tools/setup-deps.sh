#!/usr/bin/env bash
# Checks that the Debian packages the build needs are installed. Run as root, it installs the
# missing ones with apt-get; otherwise it names them and the command that installs them, and
# fails. Usage: tools/setup-deps.sh [--test] [extra-package ...]   (--help prints this text)
# --test adds what only the tests need (munge and slurm-wlm for the one-node Slurm cluster of
# the velmora-batch test); without root these are only named, as that test then skips.
set -euo pipefail
if [ "${1:-}" = "--help" ]; then sed -n 2,6p "$0" | sed 's/^# \{0,1\}//'; exit 0; fi
test_packages=()
if [ "${1:-}" = "--test" ]; then test_packages=(munge slurm-wlm); shift; fi

# python3-dev and pybind11 build the Python module; matplotlib and soundfile draw the demo's
# report; pytest runs the module's tests (CMake looks for it when it configures the build).
packages=(cmake g++ make pkg-config libgtest-dev libkissfft-dev libwebrtc-audio-processing-dev python3 python3-numpy
  python3-dev pybind11-dev python3-pybind11 python3-pytest python3-matplotlib python3-soundfile "$@")
is_missing() { ! dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}"; do is_missing "$p" && missing+=("$p"); done
missing_test=()
for p in "${test_packages[@]}"; do is_missing "$p" && missing_test+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_test[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  echo "Installing missing packages: ${missing[*]} ${missing_test[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" "${missing_test[@]}"
else
  if [ ${#missing_test[@]} -ne 0 ]; then
    echo "Note: without ${missing_test[*]} (sudo apt-get install ${missing_test[*]}) the Slurm test skips" >&2
  fi
  [ ${#missing[@]} -eq 0 ] && exit 0
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
