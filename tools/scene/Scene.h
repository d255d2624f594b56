#pragma once
// Room-acoustics scene simulator for tests, benchmarks, the quality report and the demo
// recording: image-source room impulse responses in a shoebox room for an arbitrary microphone
// geometry, talkers and one loudspeaker placed by azimuth, elevation and distance from the
// array centre, and diffuse-like noise at a chosen SNR. Every component is returned separately
// so that results can be measured against it.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::scene {

struct Room {
    float length = 5.0f, width = 4.0f, height = 3.0f;  // metres (x, y, z extents)
    float rt60 = 0.25f;  // seconds; 0 gives the direct path only (anechoic)
};

// A source placed relative to the array centre (azimuth from +x towards +y, elevation from the
// x-y plane, degrees; distance in metres). Positions outside the room are an error.
struct Source {
    std::vector<float> signal;  // at `Scene::fs`, any length (shorter signals end in silence)
    float azimuth = 0.0f;
    float elevation = 0.0f;
    float distance = 1.0f;
    float gain = 1.0f;   // linear factor applied to `signal`
    int startFrame = 0;  // the signal starts at this frame of the recording
};

struct Scene {
    int fs = 16000;
    int frames = 0;  // length of the recording in frames
    Room room;
    std::array<float, 3> arrayCentre{2.0f, 1.8f, 1.2f};  // position of the array centre in the room
    std::vector<std::array<float, 3>> mics;  // microphone offsets from the centre (miccoor)
    std::vector<Source> talkers;             // near-end talkers
    bool hasLoudspeaker = false;
    Source loudspeaker;  // its signal is also the reference channel
    // > 0: the reference leads its echo by this many frames (the echo is rendered from the
    // loudspeaker signal started this much later; < 0 makes the reference lag).
    int referenceLeadFrames = 0;
    // Diffuse noise level against the near-end speech at mic 0: the mean square of the near end
    // over the talker-active frames (the echo over all frames when there is no near end) to that
    // of the noise over all frames. 100 dB or more leaves the noise out.
    float noiseSnrDb = 100.0f;
    float earlyMs = 50.0f;  // the "early" part of a response (direct path + reflections)
    uint32_t seed = 1;
    // Optional noise recording at `fs` that drives the diffuse field (each microphone's share is
    // taken from a different offset, looped); empty: pink Gaussian noise from `seed`.
    std::vector<float> noiseSignal;

    // The default 7-microphone array of the engine.
    static std::vector<std::array<float, 3>> defaultArray();
};

// All signals frame-major: frame f holds the channels of that frame in order.
struct Recording {
    int numMics = 0;
    int numRefs = 0;
    int frames = 0;
    std::vector<float> mixture;    // numMics + numRefs channels: microphones, then references
    std::vector<float> nearEnd;    // numMics: all talkers as received (full reverberation)
    std::vector<float> nearEarly;  // numMics: all talkers, direct path + early reflections only
    std::vector<float> echo;       // numMics: the loudspeaker as received
    std::vector<float> noise;      // numMics
    std::vector<float> reference;  // numRefs (0 or 1) channels
    // Per frame: 1 inside a 10 ms block where some talker's dry signal is within 40 dB of
    // that talker's loudest block.
    std::vector<uint8_t> talkerActive;
};

Recording simulate(const Scene& scene);

// The echo-canceller room: the default array, the loudspeaker playing `far` 0.3 m from its
// centre at `azimuth`, 20 degrees below, with gain 0.3; a near-end talker `talk` (when not
// empty) at 60 degrees and 1 m from frame `talkStart`; noise `noiseSnrDb` below the near end.
Recording simulateEchoRoom(const std::vector<float>& far, float rt60, float azimuth,
                           const std::vector<float>& talk = {}, int talkStart = 0,
                           float noiseSnrDb = 100.0f);

// The impulse response from a point to a point in the room, sampled at fs, `length` taps
// (fractional delays with a windowed sinc; one reflection coefficient for all walls, chosen so
// that the response's Schroeder decay meets the RT60, where Sabine's diffuse-field value misses
// it by up to 26 % in a shoebox (see Scene.cpp); reflections are high-passed at 80 Hz, the
// direct path is exact).
// Every image source is attenuated as 1/r with r in metres (gain 1 at 1 m) and by the
// reflection coefficient once per wall it bounces off; all images arriving within `length`
// taps are included. simulate() uses responses of RT60 * fs taps after the direct path.
std::vector<float> roomImpulseResponse(const Room& room, const std::array<float, 3>& source,
                                       const std::array<float, 3>& mic, int fs, int length);

// Helpers for tests and tools: mono 16-bit WAV reading (resampling is not done: the file must be
// at `fs`), multichannel 16-bit WAV writing, scale-invariant SDR and ERLE in dB.
std::vector<float> readMonoWav(const std::string& path, int fs);
void writeWav(const std::string& path, const std::vector<float>& frames, int channels, int fs);
double siSdrDb(const std::vector<float>& estimate, const std::vector<float>& target);
double erleDb(const std::vector<float>& microphone, const std::vector<float>& output);

// Multichannel WAV reading (any integer PCM or float WAV the engine reads) at `fs`; returns the
// frame-major samples and stores the channel count.
std::vector<float> readWav(const std::string& path, int fs, int* channels);

}  // namespace velmora::scene
