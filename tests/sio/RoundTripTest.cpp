// Writing then reading gives back the same samples, and WavSource survives hostile files.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/TestUtil.h"
#include "sio/PCMSink.h"
#include "sio/PCMSource.h"
#include "sio/SioTestUtil.h"
#include "sio/WavSink.h"
#include "sio/WavSource.h"

namespace velmora::sio {
namespace {

using namespace velmora::sio::test;
using velmora::test::readFile;
using velmora::test::TempDir;
using velmora::test::writeFile;

// Random raw sample bytes of the given depth, with the extreme codes at the front. 32-bit codes
// keep their low byte zero: a float holds 24 significant bits, so only such codes survive the
// trip through float exactly (and the two extremes, which saturate back to themselves).
std::string randomCodes(int bits, int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    for (int i = 0; i < count; ++i) {
        uint32_t v = rng();
        if (i == 0) v = 0x80000000u;
        if (i == 1) v = 0x7FFFFFFFu;
        if (bits == 16) put16(s, v >> 16);
        if (bits == 24) put24(s, v >> 8);
        if (bits == 32) put32(s, i < 2 ? v : v & 0xFFFFFF00u);
    }
    return s;
}

TEST(RoundTrip, RawIsBitExact) {
    for (int bits : {16, 24, 32}) {
        SCOPED_TRACE(bits);
        TempDir dir;
        const int numchs = 3, numFrames = 1234;  // not a multiple of the 160-frame buffers
        const std::string in = randomCodes(bits, numchs * numFrames, 7 + bits);
        writeFile(dir.file("in.raw"), in);
        PCMSource src(bits, numchs, dir.file("in.raw").c_str());
        PCMSink sink(bits, numchs, dir.file("out.raw").c_str());
        std::vector<float> block(numchs * 100);
        int frames;
        while ((frames = src.readFrames(block.data(), 100)) > 0)
            sink.writeFrames(block.data(), frames);
        sink.flush();
        sink.close();
        EXPECT_EQ(readFile(dir.file("out.raw")), in);
    }
}

TEST(RoundTrip, WavIsBitExact) {
    for (int bits : {16, 24, 32}) {
        SCOPED_TRACE(bits);
        TempDir dir;
        const int numchs = 2, numFrames = 1001;
        const std::string data = randomCodes(bits, numchs * numFrames, 3 + bits);
        writeFile(dir.file("in.wav"), wav(1, numchs, 32000, bits, data));
        WavSource src(dir.file("in.wav").c_str());
        ASSERT_EQ(src.bitsPerSample(), bits);
        std::vector<float> samples(numchs * (numFrames + 1));
        ASSERT_EQ(src.readFrames(samples.data(), numFrames + 1), numFrames);
        {
            WavSink sink(src.sampleRate(), bits, numchs, dir.file("out.wav").c_str());
            sink.writeFrames(samples.data(), numFrames);
            sink.flush();
            sink.close();
        }
        const std::string out = readFile(dir.file("out.wav"));
        EXPECT_EQ(out, wav(1, numchs, 32000, bits, data));

        // And back again: the same floats.
        WavSource again(dir.file("out.wav").c_str());
        std::vector<float> back(numchs * numFrames);
        ASSERT_EQ(again.readFrames(back.data(), numFrames), numFrames);
        EXPECT_EQ(std::vector<float>(samples.begin(), samples.begin() + numchs * numFrames), back);
    }
}

// Opens and reads the whole file; a raised error must be one of the readers' own.
void readOrReject(const std::string& path, const std::string& label) {
    const std::string e = errorOf([&] {
        WavSource src(path.c_str());
        std::vector<float> block(160 * static_cast<size_t>(src.numChannels()));
        long long frames = 0;
        int got;
        while ((got = src.readFrames(block.data(), 160)) == 160) frames += got;
        src.close();
    });
    if (!e.empty()) {
        EXPECT_TRUE(e.rfind("velmora, WavSource: ", 0) == 0 ||
                    e.rfind("velmora, PCMSource: ", 0) == 0)
            << label << ": " << e;
    }
}

// A well-formed file with an extended fmt chunk, a LIST chunk and an odd-size chunk.
std::string referenceWav() {
    std::string fmt = fmtBody(1, 2, 16000, 16);
    put16(fmt, 0);
    std::string data;
    for (int i = 0; i < 400; ++i) put16(data, static_cast<uint32_t>(i * 97));
    return riff(chunk("fmt ", fmt) + chunk("LIST", "INFOISFT\x04\0\0\0abc\0") +
                chunk("odd ", "xyz") + chunk("data", data) + chunk("tail", "zz"));
}

TEST(WavSourceHostile, TruncatedAtEveryLength) {
    TempDir dir;
    const std::string ref = referenceWav();
    const std::string path = dir.file("t.wav");
    const size_t headerEnd = ref.find("data") + 8;
    for (size_t len = 0; len <= headerEnd + 10; ++len) {
        writeFile(path, ref.substr(0, len));
        const std::string e = errorOf([&] { WavSource src(path.c_str()); });
        if (len < headerEnd)
            EXPECT_EQ(e.rfind("velmora, WavSource: ", 0), 0u) << len << ": " << e;
        else
            EXPECT_EQ(e, "") << len;
        readOrReject(path, "length " + std::to_string(len));
    }
}

TEST(WavSourceHostile, HugeAndAbsurdFields) {
    TempDir dir;
    const std::string ref = referenceWav();
    const std::string path = dir.file("h.wav");
    const size_t fmtSizeAt = 16, listSizeAt = ref.find("LIST") + 4,
                 oddSizeAt = ref.find("odd ") + 4, dataSizeAt = ref.find("data") + 4;
    struct Field {
        size_t at;
        int width;
    };
    const Field fields[] = {{4, 4},          {fmtSizeAt, 4}, {20, 2},        {22, 2},
                            {24, 4},         {28, 4},        {32, 2},        {34, 2},
                            {listSizeAt, 4}, {oddSizeAt, 4}, {dataSizeAt, 4}};
    for (const Field& field : fields) {
        for (uint32_t value : {0u, 1u, 3u, 15u, 17u, 0x7FFFu, 0xFFFFu, 0x7FFFFFFFu, 0x80000000u,
                               0xFFFFFFF7u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
            std::string bytes = ref;
            std::string v;
            if (field.width == 2)
                put16(v, value & 0xFFFF);
            else
                put32(v, value);
            bytes.replace(field.at, field.width, v);
            writeFile(path, bytes);
            readOrReject(path,
                         "offset " + std::to_string(field.at) + " = " + std::to_string(value));
        }
    }
}

TEST(WavSourceHostile, RandomGarbage) {
    TempDir dir;
    const std::string ref = referenceWav();
    const std::string path = dir.file("g.wav");
    std::mt19937 rng(20240611u);
    for (int n = 0; n < 400; ++n) {
        std::string bytes;
        if (n % 4 == 0) {
            // Pure noise, sometimes behind a valid RIFF/WAVE/fmt prefix.
            const size_t len = rng() % 200;
            bytes = n % 8 == 0 ? std::string("RIFF\x10\0\0\0WAVEfmt ", 16) : std::string();
            for (size_t i = 0; i < len; ++i) bytes += static_cast<char>(rng());
        } else {
            // The reference file with a few header bytes changed and sometimes cut short.
            bytes = ref;
            const size_t headerEnd = ref.find("data") + 8;
            const int flips = 1 + rng() % 4;
            for (int k = 0; k < flips; ++k) bytes[rng() % headerEnd] = static_cast<char>(rng());
            if (rng() % 3 == 0) bytes.resize(rng() % bytes.size());
        }
        writeFile(path, bytes);
        readOrReject(path, "garbage " + std::to_string(n));
    }
}

}  // namespace
}  // namespace velmora::sio
