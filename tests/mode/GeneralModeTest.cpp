// The general pipeline end to end through the facade, with pass-through stages: exact delay
// compensation, bit-exact agreement with the bank alone, rate and depth independence, reference
// alignment, beam steering, no allocation per block.

#include "mode/GeneralMode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "bf/Fixed.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "mode/HPF.h"
#include "transform/PPFBankAnalyzer.h"
#include "transform/PPFBankSynthesizer.h"

namespace velmora {
namespace {

using test::TempDir;

// Default settings with the stages whose algorithms are not wired yet turned off.
const char* kPassThrough = "aec_algorithm = 0\nagc_algorithm = 0\ninit_time = 0\n";

std::unique_ptr<Velmora> makeEngine(const TempDir& dir, const std::string& body) {
    test::writeFile(dir.file("p.conf"), body);
    return std::make_unique<Velmora>(dir.file("p.conf").c_str());
}

// Runs `frames` frames of interleaved input (numIns channels) through the engine block by block
// and returns the interleaved output.
std::vector<float> runFloat(Velmora& engine, const std::vector<float>& in) {
    const int inBlock = engine.inSamplesPerBlock();
    std::vector<float> out;
    std::vector<float> block(engine.outSamplesPerBlock());
    for (size_t pos = 0; pos + inBlock <= in.size(); pos += inBlock) {
        engine.process(in.data() + pos, block.data());
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

std::vector<float> whiteNoise(size_t n, unsigned seed, float amplitude = 0.3f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-amplitude, amplitude);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

TEST(GeneralMode, DefaultShapeAndDelay) {
    TempDir dir;
    auto engine = makeEngine(dir, kPassThrough);
    EXPECT_EQ(engine->inFramesPerBlock(), 160);
    EXPECT_EQ(engine->outFramesPerBlock(), 160);
    EXPECT_EQ(engine->delay(), 160);
    EXPECT_EQ(engine->numMics(), 7);
    EXPECT_EQ(engine->numOuts(), 1);
    auto fast = makeEngine(dir, std::string(kPassThrough) + "fsin = 48000\nblock_size = 0.02\n");
    EXPECT_EQ(fast->inFramesPerBlock(), 960);
    EXPECT_EQ(fast->outFramesPerBlock(), 320);
    EXPECT_EQ(fast->delay(), 320);
}

// With pass-through stages the output is microphone 0, high-passed, through the filter bank:
// bit for bit what the bank alone gives, and within the bank's alias residue of the delayed
// high-passed input.
TEST(GeneralMode, PassThroughIsTheHighPassedMicrophoneThroughTheBank) {
    TempDir dir;
    auto engine = makeEngine(dir, kPassThrough);
    const int blocks = 200, frames = 160 * blocks;
    std::vector<float> in = whiteNoise(8 * frames, 11);
    std::vector<float> out = runFloat(*engine, in);
    ASSERT_EQ(out.size(), static_cast<size_t>(frames));

    std::vector<float> mic(frames);
    for (int f = 0; f < frames; ++f) mic[f] = in[8 * f];
    mode::HPF hpf(1, 4);
    hpf.process(mic.data(), mic.data(), frames);
    transform::PPFBankAnalyzer analyzer(1, 160);
    transform::PPFBankSynthesizer synthesizer(1, 160);
    blas::ComplexMatrix spectrum(1, 160);
    std::vector<float> bank(frames);
    for (int b = 0; b < blocks; ++b) {
        analyzer.analyze(mic.data() + 160 * b, &spectrum);
        synthesizer.synthesize(&spectrum, bank.data() + 160 * b);
    }
    EXPECT_EQ(std::memcmp(out.data(), bank.data(), sizeof(float) * frames), 0);

    double signal = 0, residue = 0;
    for (int f = 1000; f < frames; ++f) {
        signal += double(mic[f - 160]) * mic[f - 160];
        residue += double(out[f] - mic[f - 160]) * (out[f] - mic[f - 160]);
    }
    const double snr = 10 * std::log10(signal / residue);
    std::printf("pass-through pipeline: SNR against the delayed high-passed input %.1f dB\n", snr);
    EXPECT_GT(snr, 40.0);
}

// The same band-limited scene recorded at 16, 32 and 48 kHz, in 16, 24 and 32 bits, gives the
// same output once the decimation filter's delay is accounted for.
TEST(GeneralMode, HigherRatesAndDepthsGiveTheSameOutput) {
    const double tones[3] = {300.0, 1100.0, 2900.0};
    auto scene = [&](double t, int c) {
        double s = 0;
        for (int i = 0; i < 3; ++i) s += 0.2 * std::sin(2 * M_PI * tones[i] * t + c + i);
        return s;
    };
    const int blocks = 100, outFrames = 160 * blocks;
    auto run = [&](int rate, int bits) {
        TempDir dir;
        auto engine = makeEngine(dir, std::string(kPassThrough) + "fsin = " + std::to_string(rate) +
                                          "\nnbitsin = " + std::to_string(bits) +
                                          "\nnbitsout = 32\nhpf_power = 0\n");
        const int factor = rate / 16000;
        // The decimator's output frame m is its filter output at input frame m F + F - 1, which
        // lags the input by the 31-tap filter's 15 samples; sample the 16 kHz scene there.
        const int frames = outFrames * factor;
        const double scale = std::ldexp(1.0, bits - 1);
        std::string bytes;
        for (int f = 0; f < frames; ++f) {
            for (int c = 0; c < 8; ++c) {
                const double t = factor == 1 ? f / 16000.0 : (f + 15.0 - (factor - 1)) / rate;
                int64_t v = std::llround(scene(t, c) * scale);
                for (int b = 0; b < bits / 8; ++b) bytes.push_back(char((v >> (8 * b)) & 0xFF));
            }
        }
        std::vector<float> out;
        std::string block(engine->outBytesPerBlock(), '\0');
        for (size_t pos = 0; pos + engine->inBytesPerBlock() <= bytes.size();
             pos += engine->inBytesPerBlock()) {
            engine->process(reinterpret_cast<const unsigned char*>(bytes.data() + pos),
                            reinterpret_cast<unsigned char*>(&block[0]));
            for (size_t i = 0; i < block.size(); i += 4) {
                int32_t v;
                std::memcpy(&v, block.data() + i, 4);
                out.push_back(v / 2147483648.0f);
            }
        }
        return out;
    };
    const std::vector<float> reference = run(16000, 16);
    ASSERT_EQ(reference.size(), static_cast<size_t>(outFrames));
    for (int rate : {16000, 32000, 48000}) {
        for (int bits : {16, 24, 32}) {
            if (rate == 16000 && bits == 16) continue;
            std::vector<float> out = run(rate, bits);
            ASSERT_EQ(out.size(), reference.size());
            double signal = 0, error = 0;
            for (int f = 2000; f < outFrames; ++f) {
                signal += double(reference[f]) * reference[f];
                error += double(out[f] - reference[f]) * (out[f] - reference[f]);
            }
            const double snr = 10 * std::log10(signal / error);
            std::printf("%d Hz, %d bits: %.1f dB from the 16 kHz output\n", rate, bits, snr);
            EXPECT_GT(snr, 40.0) << rate << " Hz, " << bits << " bits";
        }
    }
}

// A fixed reference offset of +0.01 s delays the microphones by one block; -0.01 s delays the
// references, which the pass-through chain does not output.
TEST(GeneralMode, FixedReferenceOffsetDelaysMicrophonesOrReferences) {
    const int blocks = 50;
    std::vector<float> in = whiteNoise(8 * 160 * blocks, 5);
    auto run = [&](const char* offset) {
        TempDir dir;
        auto engine =
            makeEngine(dir, std::string(kPassThrough) +
                                "aec_tde_active = 1\naec_tde_refoffset = " + offset + "\n");
        return runFloat(*engine, in);
    };
    TempDir dir;
    auto plainEngine = makeEngine(dir, kPassThrough);
    const std::vector<float> plain = runFloat(*plainEngine, in);
    const std::vector<float> micsLate = run("0.01");
    const std::vector<float> refsLate = run("-0.01");
    for (size_t f = 160; f < plain.size(); ++f) ASSERT_EQ(micsLate[f], plain[f - 160]) << f;
    for (size_t f = 0; f < 160; ++f) ASSERT_EQ(micsLate[f], 0.0f) << f;
    EXPECT_EQ(refsLate, plain);
}

// Main beamformer from a beam file: setLook picks the nearest stored beam, and the delay-and-sum
// beam passes a plane wave from its direction while attenuating one from the opposite side.
TEST(GeneralMode, BeamFileSteersTheMainBeamformer) {
    TempDir dir;
    const int mics = 7, bins = 160, numBeams = 4;
    Params defaults;
    blas::Vector angles(numBeams);
    blas::ComplexTensor3 weights(numBeams, mics, bins);
    const float look[numBeams] = {-90.0f, 0.0f, 90.0f, 180.0f};
    for (int b = 0; b < numBeams; ++b) {
        angles.set(b, look[b]);
        const double ux = std::cos(look[b] * M_PI / 180), uy = std::sin(look[b] * M_PI / 180);
        for (int m = 0; m < mics; ++m) {
            const double lead = (defaults.miccoor[m][0] * ux + defaults.miccoor[m][1] * uy) / 340.0;
            for (int k = 0; k < bins; ++k) {
                const double phase = 2 * M_PI * (k * 8000.0 / bins) * lead;
                weights.set(b, m, k, blas::Complex(std::cos(phase) / mics, std::sin(phase) / mics));
            }
        }
    }
    const std::string beamFile = dir.file("beams.bin");
    bf::Fixed::writeBeamFile(beamFile.c_str(), &angles, &weights);
    auto engine = makeEngine(dir, std::string(kPassThrough) + "bf_algorithm = 1\nbf_model_base = " +
                                      beamFile + "\nbf_look = 10\nhpf_power = 0\n");
    EXPECT_EQ(engine->look(0), 0.0f);  // the stored beam nearest to 10 degrees
    engine->setLook(0, 100.0f);
    EXPECT_EQ(engine->look(0), 90.0f);

    // A 1.5 kHz plane wave from 90 degrees (the look direction) and one from -90 degrees.
    auto power = [&](double azimuth) {
        TempDir d;
        auto e = makeEngine(d, std::string(kPassThrough) + "bf_algorithm = 1\nbf_model_base = " +
                                   beamFile + "\nbf_look = 90\nhpf_power = 0\n");
        const int frames = 160 * 100;
        const double ux = std::cos(azimuth * M_PI / 180), uy = std::sin(azimuth * M_PI / 180);
        std::vector<float> in(8 * frames, 0.0f);
        for (int f = 0; f < frames; ++f) {
            for (int m = 0; m < mics; ++m) {
                const double lead =
                    (defaults.miccoor[m][0] * ux + defaults.miccoor[m][1] * uy) / 340.0;
                in[8 * f + m] = 0.5f * std::sin(2 * M_PI * 1500.0 * (f / 16000.0 + lead));
            }
        }
        std::vector<float> out = runFloat(*e, in);
        double p = 0;
        for (int f = frames / 2; f < frames; ++f) p += double(out[f]) * out[f];
        return p / (frames / 2);
    };
    const double target = power(90.0), opposite = power(-90.0);
    EXPECT_NEAR(10 * std::log10(target / 0.125), 0.0, 0.5);  // 0.5 amplitude sine: power 0.125
    EXPECT_LT(10 * std::log10(opposite / target), -6.0);
}

TEST(GeneralMode, ProcessingAllocatesNothing) {
    TempDir dir;
    for (const char* extra : {"", "aec_tde_active = 1\nfsin = 48000\nvolume_position = 2\n"}) {
        auto engine = makeEngine(dir, std::string(kPassThrough) + extra);
        std::vector<float> in = whiteNoise(engine->inSamplesPerBlock(), 3);
        std::vector<float> out(engine->outSamplesPerBlock());
        engine->process(in.data(), out.data());
        test::AllocCounter count;
        for (int b = 0; b < 50; ++b) engine->process(in.data(), out.data());
        EXPECT_EQ(count.allocations(), 0) << extra;
    }
}

// Every stage that is available, on at once: the per-block path still allocates nothing.
TEST(GeneralMode, FullChainAllocatesNothing) {
    TempDir dir;
    for (const char* agc : {"agc_algorithm = 1\n", "agc_algorithm = 3\n"}) {
        auto engine =
            makeEngine(dir, std::string("init_time = 0\naec_algorithm = 201\ndr_algorithm = 1\n"
                                        "vad_algorithm = 1\nssl_algorithm = 1\nssl_forget = 0.9\n"
                                        "ns_algorithm = 1\npf_algorithm = 1\naec_tde_active = 1\n"
                                        "aec_tde_maxoffset = 0.05\nvolume_position = 2\n") +
                                agc);
        std::vector<float> in = whiteNoise(engine->inSamplesPerBlock() * 40, 8);
        std::vector<float> out(engine->outSamplesPerBlock());
        engine->process(in.data(), out.data());
        test::AllocCounter count;
        for (int b = 0; b < 40; ++b) {
            engine->process(in.data() + b * engine->inSamplesPerBlock(), out.data());
            (void)engine->direction(0);
            (void)engine->vadValue(0);
        }
        EXPECT_EQ(count.allocations(), 0) << agc;
    }
}

TEST(GeneralMode, RefusesStagesThatAreNotAvailable) {
    TempDir dir;
    auto error = [&](const std::string& body) -> std::string {
        try {
            makeEngine(dir, body);
        } catch (const char* text) {
            return text;
        }
        return "";
    };
    EXPECT_EQ(error(std::string(kPassThrough) + "ns_algorithm = 77\n"),
              "velmora, NSAlgorithm: Unsupported NS algorithm: 77");
    EXPECT_EQ(error(std::string(kPassThrough) + "bf_algorithm = 2\n"),
              "velmora, BFAlgorithm: VAD required");
    EXPECT_EQ(error(std::string(kPassThrough) + "hpf_power = 12\n"),
              "velmora, HPF: Unsupported hpf_power: 12\n");
    EXPECT_EQ(error(std::string(kPassThrough) + "bf_model_base = /nonexistent/beams\n"),
              "velmora, Fixed: Cannot load beamformers from: /nonexistent/beams");
}

}  // namespace
}  // namespace velmora
