#pragma once
// Counts heap allocations made through the global operator new in this test program, so that
// tests can prove a processing path allocates nothing after construction:
//
//     AllocCounter count;           // starts counting
//     for (...) bank.analyze(...);
//     EXPECT_EQ(count.allocations(), 0);

#include <cstddef>

namespace velmora::test {

class AllocCounter {
public:
    AllocCounter();
    ~AllocCounter();
    long allocations() const;

private:
    long start_;
};

}  // namespace velmora::test
