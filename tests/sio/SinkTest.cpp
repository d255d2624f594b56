// Raw, WAV, text, archive and pooling writers: exact bytes of conversions, headers and entries.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/TestUtil.h"
#include "sio/ArkSink.h"
#include "sio/PCMSink.h"
#include "sio/PCMSource.h"
#include "sio/PoolingSink.h"
#include "sio/SioTestUtil.h"
#include "sio/TxtSink.h"
#include "sio/WavSink.h"

namespace velmora::sio {
namespace {

using namespace velmora::sio::test;
using velmora::test::readFile;
using velmora::test::TempDir;

std::string writeRaw(int bits, const std::vector<float>& values) {
    TempDir dir;
    {
        PCMSink sink(bits, 1, dir.file("o.raw").c_str());
        sink.writeFrames(values.data(), static_cast<int>(values.size()));
        sink.flush();
        sink.close();
        EXPECT_FALSE(sink.failed());
    }
    return readFile(dir.file("o.raw"));
}

std::vector<uint32_t> codes(int bits, const std::vector<float>& values) {
    const std::string b = writeRaw(bits, values);
    const size_t width = bits / 8;
    EXPECT_EQ(b.size(), values.size() * width);
    std::vector<uint32_t> out;
    for (size_t at = 0; at + width <= b.size(); at += width)
        out.push_back(bits == 16   ? get16(b, at)
                      : bits == 24 ? get16(b, at) | (uint8_t(b[at + 2]) << 16)
                                   : get32(b, at));
    return out;
}

TEST(PCMSink, IntegerConversionRoundsAndSaturates) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(codes(16, {1.0f, -1.0f, 0.5f, 2.0f, -2.0f, 0.5f / 32768, -0.5f / 32768, -1.5f / 32768,
                         32766.4f / 32768, nan, -inf}),
              (std::vector<uint32_t>{0x7FFF, 0x8000, 16384, 0x7FFF, 0x8000, 1, 0, 0xFFFF, 32766, 0,
                                     0x8000}));
    EXPECT_EQ(codes(24, {-1.0f, 1.0f, 0.5f, -0.5f / 8388608, -1.5f / 8388608, nan}),
              (std::vector<uint32_t>{0x800000, 0x7FFFFF, 0x400000, 0, 0xFFFFFF, 0}));
    // The 24-bit minimum is the bytes 0x00 0x00 0x80.
    EXPECT_EQ(writeRaw(24, {-1.0f}), std::string("\x00\x00\x80", 3));
    EXPECT_EQ(
        codes(32, {1.0f, -1.0f, 0.5f, -0.25f, inf, nan, 1.0f / 2147483648.0f}),
        (std::vector<uint32_t>{0x7FFFFFFF, 0x80000000, 0x40000000, 0xE0000000, 0x7FFFFFFF, 0, 1}));
}

TEST(PCMSink, FloatFormCopiesBits) {
    TempDir dir;
    {
        PCMSink sink(2, dir.file("f.raw").c_str());
        EXPECT_EQ(sink.bitsPerSample(), 32);
        const float v[4] = {1.5f, -2.25f, 1e-30f, -0.0f};
        sink.writeFrames(v, 2);
        sink.flush();
    }
    const std::string b = readFile(dir.file("f.raw"));
    ASSERT_EQ(b.size(), 16u);
    EXPECT_EQ(getFloat(b, 0), 1.5f);
    EXPECT_EQ(getFloat(b, 4), -2.25f);
    EXPECT_EQ(getFloat(b, 8), 1e-30f);
    EXPECT_EQ(get32(b, 12), 0x80000000u);
}

TEST(PCMSink, BuffersWholeBlocksAndCloseKeepsThePendingOnes) {
    TempDir dir;
    const std::string path = dir.file("b.raw");
    PCMSink sink(16, 2, path.c_str());
    std::vector<float> block(2 * 170, 0.25f);
    sink.writeFrames(block.data(), 100);
    EXPECT_EQ(readFile(path).size(), 0u);  // still in the 160-frame buffer
    sink.writeFrames(block.data(), 70);
    sink.writeSample(0.5f);
    sink.writeSample(0.5f);
    // Without a flush, close() still writes the 11 pending frames.
    sink.close();
    sink.close();  // a second close is harmless
    EXPECT_FALSE(sink.failed());
    EXPECT_EQ(readFile(path).size(), 171u * 4);
}

TEST(PCMSink, ErrorsAndWriteFailures) {
    TempDir dir;
    EXPECT_EQ(errorOf([&] { PCMSink s(20, 1, dir.file("x.raw").c_str()); }),
              "velmora, PCMSink: Unsupported bits per sample: 20");
    const std::string bad = dir.path() + "/no/such/dir/x.raw";
    EXPECT_EQ(errorOf([&] { PCMSink s(16, 1, bad.c_str()); }),
              "velmora, PCMSink: Cannot open output file: " + bad);
    EXPECT_EQ(errorOf([&] { PCMSink s(1, bad.c_str()); }),
              "velmora, PCMSink: Cannot open output file: " + bad);
    EXPECT_EQ(errorOf([&] { WavSink s(16000, 16, 1, bad.c_str()); }),
              "velmora, PCMSink: Cannot open output file: " + bad);
    EXPECT_EQ(errorOf([&] { WavSink s(16000, 12, 1, dir.file("x.wav").c_str()); }),
              "velmora, PCMSink: Unsupported bits per sample: 12");
    EXPECT_DEATH(PCMSink(16, 0, dir.file("y.raw").c_str()), "numchs > 0");

    // A device that refuses every write: the failure is reported, nothing throws or crashes.
    PCMSink full(16, 1, "/dev/full");
    std::vector<float> block(1000, 0.1f);
    full.writeFrames(block.data(), 1000);
    full.flush();
    EXPECT_TRUE(full.failed());
    full.close();
    WavSink wavFull(16000, 16, 1, "/dev/full");
    wavFull.writeFrames(block.data(), 1000);
    wavFull.flush();
    wavFull.close();
    EXPECT_TRUE(wavFull.failed());
}

TEST(WavSink, PatchedHeaderCountsEveryByte) {
    TempDir dir;
    const std::string path = dir.file("p.wav");
    WavSink sink(16000, 16, 2, path.c_str());
    EXPECT_EQ(sink.sampleRate(), 16000);
    EXPECT_EQ(sink.bitsPerSample(), 16);
    std::vector<float> frames(2 * 99, 0.5f);
    sink.writeFrames(frames.data(), 99);
    sink.writeSample(-1.0f);
    EXPECT_EQ(sink.framesWritten(), 99);
    sink.writeSample(1.0f);
    EXPECT_EQ(sink.framesWritten(), 100);
    sink.flush();
    sink.close();
    const std::string b = readFile(path);
    ASSERT_EQ(b.size(), 444u);
    std::string header = "RIFF";
    put32(header, 436);
    header += "WAVEfmt ";
    put32(header, 16);
    put16(header, 1);
    put16(header, 2);
    put32(header, 16000);
    put32(header, 64000);
    put16(header, 4);
    put16(header, 16);
    header += "data";
    put32(header, 400);
    EXPECT_EQ(b.substr(0, 44), header);
    EXPECT_EQ(get16(b, 44), 16384u);
    EXPECT_EQ(get32(b, 440), 0x7FFF8000u);  // last frame: -1.0 then 1.0

    // Samples still buffered at close() are written and counted.
    const std::string path2 = dir.file("q.wav");
    WavSink unflushed(16000, 24, 1, path2.c_str());
    unflushed.writeFrames(frames.data(), 10);
    unflushed.close();
    const std::string c = readFile(path2);
    ASSERT_EQ(c.size(), 74u);
    EXPECT_EQ(get32(c, 4), 66u);
    EXPECT_EQ(get32(c, 40), 30u);
}

TEST(WavSink, FixedHeaderIsNotPatched) {
    TempDir dir;
    const std::string path = dir.file("f.wav");
    WavSink sink(16000, 32, 8, 11, path.c_str());
    std::vector<float> frames(8 * 3, 0.0f);
    sink.writeFrames(frames.data(), 3);
    sink.flush();
    sink.close();
    const std::string b = readFile(path);
    ASSERT_EQ(b.size(), 44u + 3 * 8 * 4);
    EXPECT_EQ(get32(b, 4), 388u);
    EXPECT_EQ(get32(b, 40), 352u);
    EXPECT_EQ(get32(b, 28), 16000u * 8 * 4);
    EXPECT_EQ(get16(b, 32), 32u);
    EXPECT_EQ(get16(b, 20), 1u);

    WavSink zero(16000, 16, 1, 0, dir.file("z.wav").c_str());
    zero.close();
    const std::string z = readFile(dir.file("z.wav"));
    EXPECT_EQ(get32(z, 4), 0u);
    EXPECT_EQ(get32(z, 40), 0u);
    EXPECT_DEATH(WavSink(16000, 16, 1, -1, dir.file("n.wav").c_str()), "numframesout >= 0");
    EXPECT_DEATH(WavSink(0, 16, 1, dir.file("n.wav").c_str()), "fs > 0");
}

TEST(TxtSink, OneLinePerFrame) {
    TempDir dir;
    const std::string path = dir.file("t.txt");
    {
        TxtSink sink(3, path.c_str());
        sink.writeSample(1.0f);
        sink.writeSample(2.0f);
        sink.writeSample(3.0f);
        EXPECT_EQ(readFile(path), "1 2 3\n");  // a completed line reaches the file at once
        const float more[6] = {0.5f, -1e-7f, 123456789.0f, 0.1f, -2.0f, 0.0f};
        sink.writeFrames(more, 2);
        sink.flush();
        sink.close();
        EXPECT_FALSE(sink.failed());
    }
    EXPECT_EQ(readFile(path), "1 2 3\n0.5 -1e-07 1.23457e+08\n0.1 -2 0\n");
    const std::string bad = dir.path() + "/missing/t.txt";
    EXPECT_EQ(errorOf([&] { TxtSink s(1, bad.c_str()); }),
              "velmora, TxtSink: Cannot open output file: " + bad);
}

// The bytes of one archive entry holding the given rows.
std::string arkEntry(const std::string& key, const std::vector<std::vector<float>>& rows) {
    std::string s = key + std::string(" \0BFM ", 6) + '\x04';
    put32(s, static_cast<uint32_t>(rows.size()));
    s += '\x04';
    put32(s, static_cast<uint32_t>(rows[0].size()));
    for (const auto& r : rows)
        for (float x : r) putFloat(s, x);
    return s;
}

TEST(ArkSink, WritesKaldiFloatMatrixEntries) {
    TempDir dir;
    ASSERT_EQ(0, system(("mkdir " + dir.file("out")).c_str()));
    const std::string path = dir.file("out/test.ark");
    ArkSink sink(3, 2, 4, path.c_str());
    // Frame f of channel c carries f * 10 + c.
    std::vector<float> frames;
    for (int f = 0; f < 17; ++f)
        for (int c = 0; c < 2; ++c) frames.push_back(f * 10.0f + c);
    sink.writeFrames(frames.data(), 11);
    sink.writeSample(frames[22]);  // the 12th frame sample by sample
    sink.writeSample(frames[23]);
    std::vector<std::vector<float>> rows;
    for (int r = 0; r < 3; ++r) {
        std::vector<float> row;
        for (int c = 0; c < 2; ++c)
            for (int f = 0; f < 4; ++f) row.push_back((4 * r + f) * 10.0f + c);
        rows.push_back(row);
    }
    const std::string first = arkEntry("test_0", rows);
    ASSERT_EQ(first.size(), 6u + 6 + 10 + 3 * 8 * 4);
    // The full batch was written as an entry; flush() adds nothing, since nothing came after.
    sink.flush();
    EXPECT_EQ(readFile(path), first);

    // A partial batch: 5 frames, padded with zeros to 3 rows.
    sink.writeFrames(frames.data() + 24, 5);
    sink.flush();
    std::vector<std::vector<float>> partial(3, std::vector<float>(8, 0.0f));
    for (int f = 0; f < 5; ++f)
        for (int c = 0; c < 2; ++c) partial[f / 4][4 * c + f % 4] = (12 + f) * 10.0f + c;
    const std::string second = arkEntry("test_1", partial);
    EXPECT_EQ(readFile(path), first + second);
    sink.flush();  // a second flush adds nothing
    EXPECT_EQ(readFile(path), first + second);

    // What follows starts a fresh entry, written by close() even without a flush.
    sink.writeSample(7.0f);
    sink.close();
    std::vector<std::vector<float>> third(3, std::vector<float>(8, 0.0f));
    third[0][0] = 7.0f;
    EXPECT_EQ(readFile(path), first + second + arkEntry("test_2", third));
    EXPECT_FALSE(sink.failed());
}

TEST(ArkSink, KeyFromBaseNameAndErrors) {
    TempDir dir;
    ASSERT_EQ(0, system(("mkdir " + dir.file("a.b")).c_str()));
    const float one = 1.0f;
    {
        ArkSink sink(1, 1, 1, dir.file("a.b/noext").c_str());
        sink.writeFrames(&one, 1);
        sink.close();
    }
    EXPECT_EQ(readFile(dir.file("a.b/noext")).substr(0, 8), "noext_0 ");
    {
        ArkSink sink(1, 1, 1, dir.file("a.b/x.y.ark").c_str());
        sink.writeFrames(&one, 1);
        sink.close();
    }
    EXPECT_EQ(readFile(dir.file("a.b/x.y.ark")).substr(0, 6), "x.y_0 ");
    const std::string bad = dir.path() + "/missing/t.ark";
    EXPECT_EQ(errorOf([&] { ArkSink s(1, 1, 1, bad.c_str()); }),
              "velmora, ArkSink: Cannot open output file: " + bad);
    EXPECT_DEATH(ArkSink(0, 1, 1, dir.file("d.ark").c_str()), "batchsize > 0");
}

std::vector<float> readFloats(const std::string& path) {
    const std::string b = readFile(path);
    std::vector<float> out;
    for (size_t at = 0; at + 4 <= b.size(); at += 4) out.push_back(getFloat(b, at));
    return out;
}

TEST(PoolingSink, WritesTheLoudestChannelInOrder) {
    TempDir dir;
    const std::string path = dir.file("mono.raw");
    PCMSink mono(1, path.c_str());
    PoolingSink pool(3, &mono);
    EXPECT_EQ(pool.numChannels(), 3);
    // Channel 1 (0.5 in magnitude) is louder than channel 0 (0.1) and channel 2 (0.3) over
    // 45000 frames, three storage chunks; its values carry the frame number.
    const int numFrames = 45000;
    std::vector<float> frames, expected;
    for (int f = 0; f < numFrames; ++f) {
        const float loud = (f % 2 ? -0.5f : 0.5f) + f * 1e-7f;
        frames.insert(frames.end(), {0.1f, loud, f % 3 ? 0.3f : -0.3f});
        expected.push_back(loud);
    }
    pool.writeFrames(frames.data(), 30000);
    for (int i = 3 * 30000; i < 3 * 40000; ++i) pool.writeSample(frames[i]);
    pool.writeFrames(frames.data() + 3 * 40000, 5000);
    pool.flush();
    EXPECT_EQ(readFloats(path), expected);

    // The chunks are reused: a second run starts afresh and picks its own loudest channel.
    std::vector<float> second;
    for (int f = 0; f < 25000; ++f) second.insert(second.end(), {0.0f, 0.0f, -0.2f - f * 1e-6f});
    pool.writeFrames(second.data(), 25000);
    pool.flush();
    pool.close();
    EXPECT_FALSE(pool.failed());
    const std::vector<float> all = readFloats(path);
    ASSERT_EQ(all.size(), 70000u);
    for (int f = 0; f < 25000; ++f) ASSERT_EQ(all[numFrames + f], second[3 * f + 2]) << f;
}

TEST(PoolingSink, TiesPickTheFirstChannelAndCloseFlushes) {
    TempDir dir;
    const std::string path = dir.file("mono.raw");
    {
        PCMSink mono(1, path.c_str());
        PoolingSink pool(2, &mono);
        const float frames[6] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        pool.writeFrames(frames, 3);
        pool.flush();
        EXPECT_EQ(readFloats(path).size(), 3u);
        // Equal energy: channel 0. close() without flush writes what is stored.
        const float tie[4] = {0.25f, -0.25f, 0.5f, 0.5f};
        pool.writeFrames(tie, 2);
        pool.close();
    }
    EXPECT_EQ(readFloats(path), (std::vector<float>{0, 0, 0, 0.25f, 0.5f}));

    PCMSink stereo(2, dir.file("s.raw").c_str());
    EXPECT_DEATH(PoolingSink(2, &stereo), "next->numChannels\\(\\) == 1");
    PCMSink mono(1, dir.file("m.raw").c_str());
    EXPECT_DEATH(PoolingSink(0, &mono), "numchs >= 1");
}

}  // namespace
}  // namespace velmora::sio
