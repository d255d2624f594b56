#include "common/TestUtil.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "app/Velmora.h"

namespace velmora::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/velmora_test_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    int rc = std::system(cmd.c_str());
    (void)rc;
}

std::vector<float> runAligned(Velmora& engine, const std::vector<float>& in, int channels,
                              int outs) {
    const int hop = engine.inFramesPerBlock(), delay = engine.delay(), all = engine.numOuts();
    const int frames = static_cast<int>(in.size()) / channels;
    std::vector<float> block(static_cast<size_t>(hop) * channels);
    std::vector<float> out(static_cast<size_t>(engine.outFramesPerBlock()) * all);
    std::vector<float> y(static_cast<size_t>(frames) * outs, 0.0f);
    for (int f0 = 0; f0 < frames + delay; f0 += hop) {
        for (int i = 0; i < hop * channels; ++i) {
            const size_t src = static_cast<size_t>(f0) * channels + i;
            block[static_cast<size_t>(i)] = src < in.size() ? in[src] : 0.0f;
        }
        engine.process(block.data(), out.data());
        for (int i = 0; i < hop; ++i) {
            const int f = f0 + i - delay;
            if (f >= 0 && f < frames)
                for (int c = 0; c < outs; ++c)
                    y[static_cast<size_t>(f) * outs + c] = out[static_cast<size_t>(i) * all + c];
        }
    }
    return y;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string testdataDir() {
    return VELMORA_TESTDATA_DIR;
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const char* e) {
        return e;
    }
    return "";
}

std::string literal(const std::string& text) {
    std::string r;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) r += '\\';
        r += c;
    }
    return r;
}

std::string assertText(const std::string& condition) {
    return "assertion \"" + literal(condition) + "\" failed";
}

static std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

RunResult runTool(const std::vector<std::string>& args, const std::string& cwd) {
    TempDir tmp;
    std::string cmd;
    if (!cwd.empty()) cmd += "cd " + quote(cwd) + " && ";
    cmd += quote(VELMORA_BINARY);
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " >" + quote(tmp.file("out")) + " 2>" + quote(tmp.file("err"));
    int raw = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(tmp.file("out"));
    r.err = readFile(tmp.file("err"));
    return r;
}

}  // namespace velmora::test
