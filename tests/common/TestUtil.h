#pragma once
// Helpers shared by the unit tests: scratch files, the shared recordings, running the tool.

#include <functional>
#include <string>
#include <vector>

namespace velmora {
class Velmora;
}

namespace velmora::test {

// A fresh, empty scratch directory for one test, removed when the object goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// The folder of the recordings the tests read (tests/data, in the repository).
std::string testdataDir();

// Output channels [0, outs) of `engine` for frame-major input of `channels` channels, advanced by
// the engine's delay so that they line up with the input (frame-major; the input is followed by
// silence until the delay is flushed).
std::vector<float> runAligned(Velmora& engine, const std::vector<float>& in, int channels,
                              int outs = 1);

// The engine's error text that `f` raises, or "" when it raises nothing.
std::string errorOf(const std::function<void()>& f);

// A death-test pattern matching `text` literally.
std::string literal(const std::string& text);
// A death-test pattern for a failed assertion with exactly this condition text.
std::string assertText(const std::string& condition);

// Runs the velmora executable with the given arguments (each quoted for the shell) in `cwd`
// ("" for the current directory); returns the exit status (0..255) and captures both streams.
struct RunResult {
    int status;
    std::string out;
    std::string err;
};
RunResult runTool(const std::vector<std::string>& args, const std::string& cwd = "");

}  // namespace velmora::test
