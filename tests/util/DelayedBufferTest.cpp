#include "util/DelayedBuffer.h"

#include <gtest/gtest.h>

#include <vector>

using velmora::util::DelayedBuffer;

namespace {

// Feeds single-channel frames one at a time and collects the outputs.
std::vector<float> feed(DelayedBuffer& b, std::vector<float> xs) {
    std::vector<float> ys;
    for (float x : xs) {
        float y = -99.0f;
        b.process(&x, &y);
        ys.push_back(y);
    }
    return ys;
}

TEST(DelayedBuffer, DelaysByWholeFrames) {
    DelayedBuffer b(1, 4);
    EXPECT_EQ(b.delay(), 0);
    EXPECT_EQ(feed(b, {7, 8}), (std::vector<float>{7, 8}));  // delay 0 passes straight through
    DelayedBuffer c(1, 4);
    c.setDelay(2);
    EXPECT_EQ(feed(c, {1, 2, 3, 4}), (std::vector<float>{0, 0, 1, 2}));
    EXPECT_EQ(feed(c, {5, 6, 7}), (std::vector<float>{3, 4, 5}));
}

TEST(DelayedBuffer, RaisingDelayInsertsSilence) {
    DelayedBuffer b(1, 4);
    b.setDelay(2);
    EXPECT_EQ(feed(b, {1, 2, 3}), (std::vector<float>{0, 0, 1}));
    b.setDelay(3);
    EXPECT_EQ(b.delay(), 3);
    EXPECT_EQ(feed(b, {4, 5, 6, 7}), (std::vector<float>{0, 2, 3, 4}));
    // Raising again from a ring position other than the last slot, then to the capacity.
    b.setDelay(4);
    EXPECT_EQ(feed(b, {8, 9, 10}), (std::vector<float>{0, 5, 6}));
}

TEST(DelayedBuffer, LoweringDelayDropsOldestPending) {
    DelayedBuffer b(1, 4);
    b.setDelay(3);
    EXPECT_EQ(feed(b, {1, 2, 3, 4}), (std::vector<float>{0, 0, 0, 1}));
    b.setDelay(1);
    EXPECT_EQ(feed(b, {5, 6}), (std::vector<float>{4, 5}));
    b.setDelay(0);
    EXPECT_EQ(feed(b, {7}), (std::vector<float>{7}));
    b.setDelay(2);  // from 0: two frames of silence
    EXPECT_EQ(feed(b, {8, 9, 10}), (std::vector<float>{0, 0, 8}));
}

TEST(DelayedBuffer, MultichannelBlocksInPlace) {
    DelayedBuffer b(3, 2);
    b.setDelay(1);
    std::vector<float> block = {1, 2, 3, 4, 5, 6};  // two frames of three channels
    b.process(block.data(), block.data(), 2);
    EXPECT_EQ(block, (std::vector<float>{0, 0, 0, 1, 2, 3}));
    std::vector<float> next = {7, 8, 9}, out(3);
    b.process(next.data(), out.data());
    EXPECT_EQ(out, (std::vector<float>{4, 5, 6}));
}

TEST(DelayedBufferDeathTest, DelayBeyondCapacity) {
    DelayedBuffer b(1, 4);
    EXPECT_DEATH(b.setDelay(5), "delay>=0&&delay<=pp->capacity");
    EXPECT_DEATH(b.setDelay(-1), "delay>=0&&delay<=pp->capacity");
    EXPECT_DEATH(DelayedBuffer(0, 4), "numchs>0");
    EXPECT_DEATH(DelayedBuffer(1, 0), "capacity>0");
}

}  // namespace
