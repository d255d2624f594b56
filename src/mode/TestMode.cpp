#include "mode/TestMode.h"

#include <cstdio>
#include <vector>

#include "Error.h"
#include "Params.h"
#include "mode/Decimator.h"
#include "mode/TestBypass.h"
#include "mode/TestChannelItems.h"
#include "mode/TestERLE.h"
#include "mode/TestFreq.h"
#include "mode/TestItem.h"
#include "mode/TestPhaseDiff.h"

namespace velmora::mode {

namespace {

const char* const kReportSeparator = "\n----------------------------------------------\n\n";

std::unique_ptr<TestItem> makeItem(const Params* params, int number) {
    switch (number) {
        case 0:
        case 1:
        case 2:
            return std::make_unique<TestBypass>(params, number);
        case 100:
            return std::make_unique<TestSaturation>(params);
        case 101:
            return std::make_unique<TestDiscontinuity>(params);
        case 102:
            return std::make_unique<TestSimilarity>(params);
        case 103:
            return std::make_unique<TestAmpDiff>(params);
        case 104:
            return std::make_unique<TestPhaseDiff>(params);
        case 105:
            return std::make_unique<TestFreq>(params);
        case 200:
            return std::make_unique<TestERLE>(params);
        default:
            error("TestMode", "Unknown test item: %d", number);
    }
}

}  // namespace

struct TestMode::Impl {
    Params params;  // the mode's own copy, read by the items
    std::unique_ptr<Decimator> decimator;
    std::vector<std::unique_ptr<TestItem>> items;  // in list order
    int inFrames;
    int outFrames;

    explicit Impl(const Params& p) : params(p) {}
};

TestMode::TestMode(const Params* params) {
    pp = std::make_unique<Impl>(*params);
    const Params* p = &pp->params;
    pp->inFrames = static_cast<int>(static_cast<float>(p->fsin) * p->block_size);
    pp->outFrames = static_cast<int>(static_cast<float>(p->fsout) * p->block_size);
    pp->decimator = std::make_unique<Decimator>(p->nummics + p->numrefs, p->fsin);
    for (int k = 0; k < kMaxTestItems && p->test_items[k] >= 0; ++k)
        pp->items.push_back(makeItem(p, p->test_items[k]));
}

// The reports are printed here, not by the private record, so that a constructor that fails
// part-way frees the items built so far without printing anything.
TestMode::~TestMode() {
    pp->decimator.reset();
    for (size_t k = 0; k < pp->items.size(); ++k) {
        if (k > 0) std::fputs(kReportSeparator, stdout);
        pp->items[k]->report();
        pp->items[k].reset();
    }
    std::fflush(stdout);
}

int TestMode::numMics() {
    return pp->params.nummics;
}
int TestMode::numRefs() {
    return pp->params.numrefs;
}
int TestMode::numOuts() {
    return pp->params.numouts;
}
int TestMode::inFramesPerBlock() {
    return pp->inFrames;
}
int TestMode::outFramesPerBlock() {
    return pp->outFrames;
}
int TestMode::delay() {
    return 0;
}
void TestMode::lock(int, const float*) {}
void TestMode::unlock(int) {}
float TestMode::look(int) {
    return 0.0f;
}
void TestMode::setLook(int, float) {}

void TestMode::process(float* in, float* out) {
    pp->decimator->process(in, in, pp->inFrames);
    for (auto& item : pp->items) item->process(in, out);
}

float TestMode::direction(int) {
    return 0.0f;
}
void TestMode::resetLocalization() {}
float TestMode::volume(int) {
    return 0.0f;
}
float TestMode::vadValue(int) {
    return 0.0f;
}
void TestMode::saveState(std::ostream&) {}
void TestMode::loadState(std::istream&) {}

}  // namespace velmora::mode
