// The tool never destroys its input and refuses inputs it would misread: outputs and dump files
// that name the input (or each other), WAVE files at another rate than fsin, directories given as
// input or configuration.

#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>
#include <string>

#include "app/AudioFiles.h"
#include "common/TestUtil.h"

namespace velmora::test {
namespace {

const char* kConf = "init_time = 0\nagc_algorithm = 0\n";

struct Files {
    TempDir dir;
    std::string conf(const std::string& extra = "") {
        writeFile(dir.file("c.conf"), std::string(kConf) + extra);
        return dir.file("c.conf");
    }
    // A 16-bit WAVE file of 8 channels and 0.2 s at `rate`.
    std::string wav(const std::string& name, int rate) {
        const std::string path = dir.file(name);
        writeFile(path, wavBytes(pcmBytes(randomSamples(8 * rate / 5, 16, 3), 16), 8, rate, 16));
        return path;
    }
};

TEST(FileSafety, OutputsNamingTheInputAreRefusedAndTheInputSurvives) {
    Files f;
    const std::string in = f.wav("in.wav", 16000);
    const std::string original = readFile(in);
    ASSERT_EQ(symlink(in.c_str(), f.dir.file("link.wav").c_str()), 0);
    const std::string out = f.dir.file("out.wav");
    struct Case {
        std::string conf, output;
    };
    const Case cases[] = {
        {f.conf(), in},                              // output = input
        {f.conf(), f.dir.path() + "/./in.wav"},      // another spelling
        {f.conf(), f.dir.file("link.wav")},          // through a link
        {f.conf("fe_in_path = " + in + "\n"), out},  // input dump over the input
        {f.conf("fe_out_path = " + f.dir.file("link.wav") + "\n"), out},
        {f.conf("fe_in_path = " + out + "\n"), out},  // dump over the output
        {f.conf("fe_in_path = " + out + "\nfe_out_path = " + out + "\n"), f.dir.file("o2.wav")},
    };
    for (const Case& c : cases) {
        const RunResult r = runTool({c.conf, in, c.output});
        EXPECT_EQ(r.status, 159) << c.output << "\n" << readFile(c.conf);
        EXPECT_TRUE(r.err.find("same file") != std::string::npos ||
                    r.err.find("over the input file") != std::string::npos)
            << r.err;
        EXPECT_EQ(readFile(in), original) << c.output;
    }
    // Localisation with a dump over the input is refused too.
    const RunResult loc = runTool({f.conf("fe_out_path = " + in + "\n"), in});
    EXPECT_EQ(loc.status, 159);
    EXPECT_EQ(readFile(in), original);
    // Distinct files run, and /dev/null may take several outputs.
    const RunResult ok =
        runTool({f.conf("fe_in_path = /dev/null\nfe_out_path = /dev/null\n"), in, "/dev/null"});
    EXPECT_EQ(ok.status, 0) << ok.err;
}

TEST(FileSafety, WaveRateMustMatchFsinAndDirectoriesAreNoFiles) {
    Files f;
    for (int rate : {48000, 8000, 0}) {
        const RunResult r = runTool({f.conf(), f.wav("r.wav", rate), f.dir.file("o.wav")});
        EXPECT_EQ(r.status, 159) << rate;
        EXPECT_NE(
            r.err.find("Sample rate not match: " + std::to_string(rate) + ", 16000 (set fsin)"),
            std::string::npos)
            << r.err;
    }
    const RunResult fast =
        runTool({f.conf("fsin = 48000\n"), f.wav("r.wav", 48000), f.dir.file("o.wav")});
    EXPECT_EQ(fast.status, 0) << fast.err;

    mkdir(f.dir.file("d").c_str(), 0755);
    const RunResult dirIn = runTool({f.conf(), f.dir.file("d"), f.dir.file("o.raw")});
    EXPECT_EQ(dirIn.status, 159);
    EXPECT_NE(dirIn.err.find("Cannot open input file"), std::string::npos) << dirIn.err;
    const RunResult dirConf = runTool({f.dir.file("d"), f.wav("in.wav", 16000)});
    EXPECT_EQ(dirConf.status, 255);
    EXPECT_NE(dirConf.err.find("Cannot open conf file"), std::string::npos) << dirConf.err;
}

}  // namespace
}  // namespace velmora::test
