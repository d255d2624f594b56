// The velmora command-line tool: a thin driver over the engine facade. It runs the
// localisation job (configuration, input) or the enhancement job (configuration, input,
// output), shows a configuration and its delay (configuration alone), or the default
// configuration ("-d"); "-t" anywhere adds processing-time and real-time-factor lines.

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"

namespace {

constexpr const char* kProgram = "Velmora";
constexpr const char* kDemoOption = "-d";
constexpr const char* kTimeOption = "-t";
constexpr const char* kDefaultConf = "conf/default.conf";
constexpr int kStatusUsage = -97;
constexpr int kStatusEngine = -1;

long clockMs() {
    return static_cast<long>(std::clock() * 1000.0 / CLOCKS_PER_SEC);
}

void printUsage() {
    std::fprintf(stderr, "Version: %s\n", velmora::Velmora::version());
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "Usage:\n");
    std::fprintf(stderr, "1. Run demo: %s %s\n", kProgram, kDemoOption);
    std::fprintf(stderr, "2. Show algorithm delay: %s <config file path>\n", kProgram);
    std::fprintf(stderr,
                 "3. Sound source localization: %s <config file path> <input pcm or wav> [%s]\n",
                 kProgram, kTimeOption);
    std::fprintf(stderr,
                 "4. Speech enhancement: %s <config file path> <input pcm or wav> <output (pcm, "
                 "wav, txt, ark)> [%s]\n",
                 kProgram, kTimeOption);
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "Options:\n");
    std::fprintf(stderr, "%s: Run demo.\n", kDemoOption);
    std::fprintf(stderr, "%s: Print RTF and execution time (ms).\n", kTimeOption);
}

// Loads the default configuration from the working directory and prints it.
int runDemo() {
    try {
        velmora::Params params(kDefaultConf);
        params.print();
        return 0;
    } catch (const char* text) {
        std::fprintf(stderr, "%s\n", text);
        return kStatusEngine;
    }
}

// Builds the engine from a configuration, prints the configuration and the engine's delay.
int showDelay(const char* confPath) {
    try {
        velmora::Params params(confPath);
        velmora::Velmora engine(params);
        params.print();
        const int delay = engine.delay();
        std::printf("delay = %d (%f ms)\n", delay, delay * 1000.0 / engine.outputRate());
        return 0;
    } catch (const char* text) {
        std::fprintf(stderr, "%s\n", text);
        return kStatusEngine;
    }
}

// Runs one of the two file jobs; returns the exit status. `built` tells whether the engine
// could be built from the configuration.
int runJob(const std::vector<const char*>& args, long long* frames, int* ticks, bool* built) {
    std::unique_ptr<velmora::Velmora> engine;
    try {
        // The files are checked before the engine opens its dump files for writing, so that no
        // run can overwrite its own input.
        const velmora::Params params(args[1]);
        const int status =
            velmora::Velmora::checkFiles(params, args[2], args.size() == 4 ? args[3] : nullptr);
        if (status != 0) {
            *built = true;
            return status;
        }
        engine = std::make_unique<velmora::Velmora>(params);
    } catch (const char* text) {
        std::fprintf(stderr, "%s\n", text);
        *built = false;
        return kStatusEngine;
    }
    *built = true;
    if (args.size() == 3) return engine->runLocalization(args[2], frames, ticks);
    return engine->runEnhancement(args[2], args[3], frames, ticks);
}

void printTiming(const char* confPath, long long frames, int ticks, long total) {
    if (frames > 0) {
        int fsin = 0;
        try {
            fsin = velmora::Params(confPath).fsin;
        } catch (const char* text) {
            std::fprintf(stderr, "%s\n", text);
        }
        if (fsin > 0) {
            const float seconds = static_cast<float>(frames) / fsin;
            std::printf("Time spent for process (ms): %ld, average RTF: %f\n",
                        static_cast<long>(ticks), (ticks / 1000.0) / seconds);
            std::printf("Total time spent (ms): %ld, average RTF: %f\n", total,
                        (total / 1000.0) / seconds);
            return;
        }
    }
    std::printf("Total time spent (ms): %ld\n", total);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const char*> args;
    bool timing = false;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], kTimeOption) == 0) {
            timing = true;
        } else {
            args.push_back(argv[i]);
        }
    }

    const long t0 = clockMs();
    long long frames = 0;
    int ticks = 0;
    int status = 0;
    switch (args.size()) {
        case 2:
            status = std::strcmp(args[1], kDemoOption) == 0 ? runDemo() : showDelay(args[1]);
            break;
        case 3:
        case 4: {
            bool built = false;
            status = runJob(args, &frames, timing ? &ticks : nullptr, &built);
            if (!built) return status;
            break;
        }
        default:
            printUsage();
            return kStatusUsage;
    }
    const long t1 = clockMs();
    if (timing) printTiming(args.size() > 1 ? args[1] : "", frames, ticks, t1 - t0);
    return status;
}
