#include <gtest/gtest.h>

#include <string>

#include "Error.h"

namespace velmora {
namespace {

TEST(Error, FormatsTagAndMessageAndThrowsSharedText) {
    try {
        error("Params", "Cannot open conf file: %s", "x.conf");
        FAIL() << "error() returned";
    } catch (const char* text) {
        EXPECT_STREQ(text, "velmora, Params: Cannot open conf file: x.conf");
        EXPECT_EQ(text, lastError());
    }
}

TEST(Error, LongMessagesAreTruncatedAndMayQuoteThePreviousError) {
    std::string longArg(5000, 'a');
    try {
        error("Velmora", "%s", longArg.c_str());
    } catch (const char* text) {
        EXPECT_EQ(std::string(text).size(), static_cast<size_t>(kErrorBufferSize - 1));
    }
    try {
        error("A", "first");
    } catch (const char*) {
    }
    try {
        error("B", "wrapped: %s", lastError());
    } catch (const char* text) {
        EXPECT_STREQ(text, "velmora, B: wrapped: velmora, A: first");
    }
}

TEST(ErrorDeathTest, AssertionNamesTheCondition) {
    int idx = 5;
    EXPECT_DEATH(VM_ASSERT(idx >= 0 && idx < 5), "idx >= 0 && idx < 5");
}

}  // namespace
}  // namespace velmora
