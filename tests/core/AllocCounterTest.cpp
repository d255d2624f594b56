#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/AllocCounter.h"

namespace velmora::test {
namespace {

TEST(AllocCounter, SeesAllocationsAndNothingElse) {
    std::vector<float> reserved(100);
    AllocCounter none;
    for (int i = 0; i < 100; ++i) reserved[i] = static_cast<float>(i);
    EXPECT_EQ(none.allocations(), 0);
    AllocCounter some;
    auto p = std::make_unique<int>(3);
    std::vector<double> v(10);
    EXPECT_EQ(some.allocations(), 2);
}

}  // namespace
}  // namespace velmora::test
