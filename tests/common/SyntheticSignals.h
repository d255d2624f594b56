#pragma once
// Synthetic far-end and talker signals for tests that must run without recordings, at 16 kHz
// and scaled to a given RMS:
// - speechLike: syllables of a glottal pulse train (drifting pitch, 90-220 Hz) through three
//   formant resonators with new targets per syllable, fricative noise bursts, and pauses;
// - guitarLike: plucked strings (Karplus-Strong) on a random melody, notes overlapping.
// Both are deterministic for a seed.

#include <vector>

namespace velmora::test {

std::vector<float> speechLike(double seconds, float rms, unsigned seed);
std::vector<float> guitarLike(double seconds, float rms, unsigned seed);

}  // namespace velmora::test
