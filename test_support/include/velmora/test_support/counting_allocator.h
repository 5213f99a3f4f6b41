// A counting global allocator for tests of real-time paths: link `velmora_counting_allocator` into
// a test program and every operator new of that program goes through a counter.
//
// Counting has a scope: while a `CountingAllocations` object lives, allocations are counted on
// the threads that are marked (`track_current_thread`), or on every thread when it was made with
// `Threads::all`. Allocation itself never fails differently from the default.
//
// Sanitizers that supply their own allocator (ThreadSanitizer) cannot be combined with a
// replaced operator new; there `counting_allocator_available()` is false and tests skip.
#pragma once

#include <cstdint>

namespace VelmoraTest {

bool counting_allocator_available();

// Marks (or unmarks) the calling thread as one whose allocations are counted.
void track_current_thread(bool tracked = true);

// Allocations counted since the last reset.
std::uint64_t counted_allocations();
void reset_counted_allocations();

class CountingAllocations {
public:
    enum class Threads { tracked, all };
    explicit CountingAllocations(Threads threads = Threads::tracked);
    ~CountingAllocations();
    CountingAllocations(const CountingAllocations&) = delete;
    CountingAllocations& operator=(const CountingAllocations&) = delete;

    // Allocations counted since this scope began.
    std::uint64_t count() const;

private:
    std::uint64_t start_;
};

} // namespace VelmoraTest
