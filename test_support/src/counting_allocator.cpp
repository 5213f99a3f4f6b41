#include <velmora/test_support/counting_allocator.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// 0: off, 1: tracked threads, 2: all threads.
std::atomic<int> counting_mode{0};
std::atomic<std::uint64_t> allocations{0};
thread_local bool thread_tracked = false;

// Unused where a sanitizer owns the allocator.
[[maybe_unused]] void count_one() {
    const int mode = counting_mode.load(std::memory_order_relaxed);
    if (mode == 2 || (mode == 1 && thread_tracked)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace

namespace VelmoraTest {

void track_current_thread(bool tracked) { thread_tracked = tracked; }

std::uint64_t counted_allocations() { return allocations.load(std::memory_order_relaxed); }

void reset_counted_allocations() { allocations.store(0, std::memory_order_relaxed); }

CountingAllocations::CountingAllocations(Threads threads) : start_(counted_allocations()) {
    counting_mode.store(threads == Threads::all ? 2 : 1, std::memory_order_seq_cst);
}

CountingAllocations::~CountingAllocations() { counting_mode.store(0, std::memory_order_seq_cst); }

std::uint64_t CountingAllocations::count() const { return counted_allocations() - start_; }

#if defined(VELMORA_NO_ALLOCATOR_REPLACEMENT)
bool counting_allocator_available() { return false; }
#else
bool counting_allocator_available() { return true; }
#endif

} // namespace VelmoraTest

#if !defined(VELMORA_NO_ALLOCATOR_REPLACEMENT)

namespace {

void* allocate(std::size_t size) {
    count_one();
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
    count_one();
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    if (void* memory = std::aligned_alloc(align, rounded == 0 ? align : rounded)) {
        return memory;
    }
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

#endif
