#include <velmora/test_support/counting_allocator.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

using VelmoraTest::CountingAllocations;

// The allocation tests of every area trust this counter: it must see what it is asked to see and
// nothing else.
TEST(CountingAllocator, CountsTrackedThreadsOrEveryThread) {
    if (!VelmoraTest::counting_allocator_available()) {
        GTEST_SKIP() << "this build's sanitizer owns the allocator";
    }
    const auto allocate_elsewhere = [] {
        std::thread([] { auto v = std::make_unique<std::vector<int>>(10); }).join();
    };
    {
        VelmoraTest::track_current_thread(true);
        CountingAllocations scope;
        auto mine = std::make_unique<int>(1);
        EXPECT_EQ(scope.count(), 1u);
        VelmoraTest::track_current_thread(false);
        auto untracked = std::make_unique<int>(2);
        allocate_elsewhere();
        EXPECT_EQ(scope.count(), 1u);
    }
    {
        CountingAllocations scope(CountingAllocations::Threads::all);
        allocate_elsewhere();
        EXPECT_GE(scope.count(), 2u);
    }
    const std::uint64_t before = VelmoraTest::counted_allocations();
    auto outside = std::make_unique<int>(3);
    EXPECT_EQ(VelmoraTest::counted_allocations(), before);
}
