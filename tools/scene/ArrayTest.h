#pragma once
// Production-test recordings of the default 7-microphone array for the hardware test mode
// (mode 3): the array's own loudspeaker, straight above the array centre, plays pink noise
// (which is also the reference channel) in a small reverberant room with a diffuse noise
// floor. Seen from above, the direct sound reaches all microphones at once, so a healthy array
// shows no time offsets between its microphones.
//
// The faulty recording plants one fault per microphone channel:
//   MIC 1  dead (all zero)                    MIC 4  clipping (26 dB too much gain, +-1 limit)
//   MIC 2  6 dB quieter                       MIC 5  dropouts (12 ms of zeros every 0.3 s)
//   MIC 3  delayed by 2 samples               MIC 6  a copy of MIC 0
// MIC 0 itself is healthy; with MIC 6 it forms the pair of copies.

#include <cstdint>
#include <vector>

#include "scene/Scene.h"

namespace velmora::scene {

enum class ArrayFault { None, Dead, Quieter6dB, Delayed2, Clipping, Dropouts, CopyOfMic0 };

// The fault planted on each of the 7 microphones of the faulty recording.
std::vector<ArrayFault> arrayTestFaults();

// The recording (7 microphones, then the reference; frame-major, 16 kHz) of `seconds` length;
// with `faulty` the faults above are planted after the simulation.
Recording arrayTestRecording(bool faulty, float seconds = 3.0f, uint32_t seed = 1);

}  // namespace velmora::scene
