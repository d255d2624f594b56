// Raw and WAV readers: sample conversion at the extremes, frame reads, header parsing.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "common/TestUtil.h"
#include "sio/PCMSource.h"
#include "sio/SioTestUtil.h"
#include "sio/WavSource.h"

namespace velmora::sio {
namespace {

using namespace velmora::sio::test;
using velmora::test::TempDir;
using velmora::test::writeFile;

std::vector<float> readAll(SignalSource* src) {
    std::vector<float> out;
    float x;
    while (src->readSample(&x)) out.push_back(x);
    EXPECT_FALSE(src->readSample(&x));  // stays at the end
    return out;
}

std::vector<float> readAllRaw(int bits, int numchs, const std::string& bytes) {
    TempDir dir;
    writeFile(dir.file("in.raw"), bytes);
    PCMSource src(bits, numchs, dir.file("in.raw").c_str());
    return readAll(&src);
}

std::vector<float> readAllWav(const std::string& bytes, int* numchs = nullptr) {
    TempDir dir;
    writeFile(dir.file("in.wav"), bytes);
    WavSource src(dir.file("in.wav").c_str());
    if (numchs) *numchs = src.numChannels();
    std::vector<float> out = readAll(&src);
    src.close();
    return out;
}

// The error raised for a WAV file, its path shown as PATH.
std::string wavError(const std::string& bytes) {
    TempDir dir;
    const std::string path = dir.file("in.wav");
    writeFile(path, bytes);
    std::string e = errorOf([&] { WavSource src(path.c_str()); });
    const size_t at = e.find(path);
    if (at != std::string::npos) e.replace(at, path.size(), "PATH");
    return e;
}

TEST(PCMSource, IntegerConversionAtTheExtremes) {
    std::string b16;
    for (uint32_t v : {0x8000u, 0x7FFFu, 0x0000u, 0x0001u, 0xFFFFu}) put16(b16, v);
    EXPECT_EQ(readAllRaw(16, 1, b16),
              (std::vector<float>{-1.0f, 32767 / 32768.0f, 0.0f, 1 / 32768.0f, -1 / 32768.0f}));

    std::string b24;
    for (uint32_t v : {0x800000u, 0x7FFFFFu, 0xFFFFFFu, 0x400000u, 0xC00000u}) put24(b24, v);
    EXPECT_EQ(readAllRaw(24, 1, b24),
              (std::vector<float>{-1.0f, 8388607 / 8388608.0f, -1 / 8388608.0f, 0.5f, -0.5f}));

    std::string b32;
    for (uint32_t v : {0x80000000u, 0x7FFFFFFFu, 0x40000000u, 0xFFFFFF00u}) put32(b32, v);
    // 2^31 - 1 rounds to 2^31 in single precision and is clamped to 1.
    EXPECT_EQ(readAllRaw(32, 1, b32),
              (std::vector<float>{-1.0f, 1.0f, 0.5f, -256 / 2147483648.0f}));
}

TEST(PCMSource, FloatFormPassesBitsUnclamped) {
    TempDir dir;
    std::string bytes;
    putFloat(bytes, 2.5f);
    putFloat(bytes, -7.0f);
    put32(bytes, 0x7FC00001u);  // a NaN with payload
    writeFile(dir.file("f.raw"), bytes);
    PCMSource src(1, dir.file("f.raw").c_str());
    EXPECT_EQ(src.bitsPerSample(), 32);
    std::vector<float> got = readAll(&src);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], 2.5f);
    EXPECT_EQ(got[1], -7.0f);
    uint32_t u;
    std::memcpy(&u, &got[2], 4);
    EXPECT_EQ(u, 0x7FC00001u);
}

TEST(PCMSource, EmptyAndOddLengthFiles) {
    TempDir dir;
    writeFile(dir.file("empty.raw"), "");
    PCMSource empty(16, 2, dir.file("empty.raw").c_str());
    float buf[4] = {};
    EXPECT_EQ(empty.readFrames(buf, 2), 0);

    // Five bytes of 16-bit samples: the trailing byte is not a sample.
    std::string b;
    put16(b, 0x4000);
    put16(b, 0xC000);
    b += '\x7F';
    EXPECT_EQ(readAllRaw(16, 1, b), (std::vector<float>{0.5f, -0.5f}));
    // Same for a 24-bit file with one byte short of a third sample.
    std::string c;
    put24(c, 0x400000);
    put24(c, 0x400000);
    c += "\x01\x02";
    EXPECT_EQ(readAllRaw(24, 1, c).size(), 2u);
}

TEST(PCMSource, ReadFramesStopsAtABrokenFrame) {
    // 100 stereo frames and one more sample; more than one file read (160 frames) is needed
    // for the 3-channel case below.
    std::string b;
    for (int i = 0; i < 201; ++i) put16(b, static_cast<uint32_t>(i * 16));
    TempDir dir;
    writeFile(dir.file("in.raw"), b);
    PCMSource src(16, 2, dir.file("in.raw").c_str());
    EXPECT_EQ(src.numChannels(), 2);
    std::vector<float> buf(320, -9.0f);
    EXPECT_EQ(src.readFrames(buf.data(), 160), 100);
    for (int i = 0; i < 201; ++i) ASSERT_EQ(buf[i], i * 16 / 32768.0f) << i;
    EXPECT_EQ(buf[201], -9.0f);
    EXPECT_EQ(src.readFrames(buf.data(), 160), 0);

    // One frame at a time across the chunk boundary gives the same samples.
    std::string m;
    for (int i = 0; i < 3 * 400; ++i) put16(m, static_cast<uint32_t>(i));
    writeFile(dir.file("m.raw"), m);
    PCMSource multi(16, 3, dir.file("m.raw").c_str());
    float frame[3];
    for (int f = 0; f < 400; ++f) {
        ASSERT_EQ(multi.readFrames(frame, 1), 1);
        for (int c = 0; c < 3; ++c) ASSERT_EQ(frame[c], (3 * f + c) / 32768.0f);
    }
    EXPECT_EQ(multi.readFrames(frame, 1), 0);
    multi.close();
}

TEST(PCMSource, Errors) {
    TempDir dir;
    writeFile(dir.file("x.raw"), "abcd");
    EXPECT_EQ(errorOf([&] { PCMSource s(8, 1, dir.file("x.raw").c_str()); }),
              "velmora, PCMSource: Unsupported bits per sample: 8");
    const std::string missing = dir.file("missing.raw");
    EXPECT_EQ(errorOf([&] { PCMSource s(16, 1, missing.c_str()); }),
              "velmora, PCMSource: Cannot open input file: " + missing);
    EXPECT_EQ(errorOf([&] { PCMSource s(1, missing.c_str()); }),
              "velmora, PCMSource: Cannot open input file: " + missing);
    EXPECT_DEATH(PCMSource(0, dir.file("x.raw").c_str()), "numchs > 0");
}

TEST(WavSource, ReadsHeaderFieldsAndSamples) {
    std::string data;
    for (uint32_t v : {0x8000u, 0x4000u, 0x7FFFu, 0u}) put16(data, v);
    TempDir dir;
    writeFile(dir.file("a.wav"), wav(1, 2, 48000, 16, data));
    WavSource src(dir.file("a.wav").c_str());
    EXPECT_EQ(src.numChannels(), 2);
    EXPECT_EQ(src.sampleRate(), 48000);
    EXPECT_EQ(src.bitsPerSample(), 16);
    float buf[4];
    EXPECT_EQ(src.readFrames(buf, 5), 2);
    EXPECT_EQ(buf[0], -1.0f);
    EXPECT_EQ(buf[1], 0.5f);
    EXPECT_EQ(buf[2], 32767 / 32768.0f);
    src.close();
    EXPECT_FALSE(src.readSample(buf));
}

TEST(WavSource, SkipsFmtExtensionAndForeignChunks) {
    std::string data;
    put16(data, 0x4000);
    put16(data, 0xC000);
    const std::vector<float> expected = {0.5f, -0.5f};

    // An 18-byte fmt chunk (cbSize 0).
    std::string fmt18 = fmtBody(1, 1, 16000, 16);
    put16(fmt18, 0);
    EXPECT_EQ(readAllWav(riff(chunk("fmt ", fmt18) + chunk("data", data))), expected);

    // A LIST chunk between fmt and data, and a chunk of odd size followed by its pad byte.
    const std::string fmt = chunk("fmt ", fmtBody(1, 1, 16000, 16));
    EXPECT_EQ(
        readAllWav(riff(fmt + chunk("LIST", "INFOISFT\x06\0\0\0velm\0\0") + chunk("data", data))),
        expected);
    const std::string odd = chunk("odd ", "abc");
    ASSERT_EQ(odd.size(), 12u);  // 8 + 3 + pad
    EXPECT_EQ(readAllWav(riff(fmt + odd + chunk("data", data))), expected);
}

TEST(WavSource, ReadsOnlyTheDataChunk) {
    std::string data;
    put16(data, 0x4000);
    put16(data, 0x2000);
    const std::string fmt = chunk("fmt ", fmtBody(1, 1, 16000, 16));
    // Bytes of a chunk after the data are not audio.
    EXPECT_EQ(readAllWav(riff(fmt + chunk("data", data) + chunk("LIST", "INFOxxxx"))),
              (std::vector<float>{0.5f, 0.25f}));

    // Size 0 (streamed) and a size past the end of the file read to the end.
    std::string streamed = riff(fmt) + "data";
    put32(streamed, 0);
    EXPECT_EQ(readAllWav(streamed + data), (std::vector<float>{0.5f, 0.25f}));
    std::string tooLong = riff(fmt) + "data";
    put32(tooLong, 1000);
    EXPECT_EQ(readAllWav(tooLong + data), (std::vector<float>{0.5f, 0.25f}));

    // An odd data size ends with a partial sample, which is not delivered even though the
    // (missing) pad byte position holds another byte.
    std::string oddData = riff(fmt) + "data";
    put32(oddData, 3);
    EXPECT_EQ(readAllWav(oddData + data), (std::vector<float>{0.5f}));
}

TEST(WavSource, FloatAndExtensibleFormats) {
    std::string fdata;
    putFloat(fdata, 1.75f);
    putFloat(fdata, -3.0f);
    EXPECT_EQ(readAllWav(wav(3, 1, 16000, 32, fdata)), (std::vector<float>{1.75f, -3.0f}));

    // WAVE_FORMAT_EXTENSIBLE: the sub-format GUID tells integer PCM from floats.
    auto extensible = [](int bits, int subFormat, const std::string& data) {
        std::string fmt = fmtBody(0xFFFE, 2, 16000, bits);
        put16(fmt, 22);    // cbSize
        put16(fmt, bits);  // valid bits
        put32(fmt, 3);     // front left, front right
        put16(fmt, subFormat);
        fmt += std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
        return riff(chunk("fmt ", fmt) + chunk("data", data));
    };
    std::string idata;
    put24(idata, 0x800000);
    put24(idata, 0x400000);
    int numchs = 0;
    EXPECT_EQ(readAllWav(extensible(24, 1, idata), &numchs), (std::vector<float>{-1.0f, 0.5f}));
    EXPECT_EQ(numchs, 2);
    EXPECT_EQ(readAllWav(extensible(32, 3, fdata)), (std::vector<float>{1.75f, -3.0f}));
    EXPECT_EQ(wavError(extensible(16, 2, idata)),
              "velmora, WavSource: Unsupported audio format: 2");

    // Without the extension an extensible file is read as integer PCM of its depth.
    std::string d16;
    put16(d16, 0x4000);
    EXPECT_EQ(readAllWav(wav(0xFFFE, 1, 16000, 16, d16)), (std::vector<float>{0.5f}));
}

TEST(WavSource, HeaderErrors) {
    TempDir dir;
    const std::string missing = dir.file("none.wav");
    EXPECT_EQ(errorOf([&] { WavSource s(missing.c_str()); }),
              "velmora, WavSource: Cannot open input file: " + missing);

    std::string good = wav(1, 1, 16000, 16, "\x01\x02");
    std::string bad = good;
    bad.replace(0, 4, "RIFX");
    EXPECT_EQ(wavError(bad), "velmora, WavSource: Wrong wav format: RIFX, RIFF required");
    bad = good;
    bad.replace(8, 4, "AVI ");
    EXPECT_EQ(wavError(bad), "velmora, WavSource: Wrong wav format: AVI , WAVE required");
    bad = good;
    bad.replace(12, 4, "JUNK");
    EXPECT_EQ(wavError(bad), "velmora, WavSource: Wrong wav format: JUNK, fmt  required");
    bad = good;
    bad.replace(0, 4, std::string("\x01\0\x1b[", 4));  // unprintable bytes are masked
    EXPECT_EQ(wavError(bad), "velmora, WavSource: Wrong wav format: ??\?[, RIFF required");

    const std::string fmt = chunk("fmt ", fmtBody(1, 1, 16000, 16));
    EXPECT_EQ(wavError(riff(fmt)), "velmora, WavSource: Missing data chunk: PATH");
    EXPECT_EQ(wavError(riff(fmt + chunk("LIST", "abcd"))),
              "velmora, WavSource: Missing data chunk: PATH");
    EXPECT_EQ(wavError(good.substr(0, 30)), "velmora, WavSource: Truncated header: PATH");
    EXPECT_EQ(wavError(riff(fmt + "da")), "velmora, WavSource: Truncated header: PATH");
    EXPECT_EQ(wavError(riff(fmt + "data\x04")), "velmora, WavSource: Truncated header: PATH");

    EXPECT_EQ(wavError(wav(1, 0, 16000, 16, "")), "velmora, WavSource: Illegal no. of channels: 0");
    EXPECT_EQ(wavError(wav(2, 1, 16000, 4, "")), "velmora, WavSource: Unsupported audio format: 2");
    EXPECT_EQ(wavError(wav(3, 1, 16000, 64, "")),
              "velmora, WavSource: Unsupported bits per sample: 64");
    EXPECT_EQ(wavError(wav(1, 1, 16000, 8, "")),
              "velmora, PCMSource: Unsupported bits per sample: 8");
    std::string tinyFmt =
        riff(chunk("fmt ", fmtBody(1, 1, 16000, 16).substr(0, 12)) + chunk("data", ""));
    EXPECT_EQ(wavError(tinyFmt), "velmora, WavSource: Illegal fmt chunk size: 12, PATH");
}

}  // namespace
}  // namespace velmora::sio
