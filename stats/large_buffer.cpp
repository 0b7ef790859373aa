#include "stats/large_buffer.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ldi {

namespace {

constexpr std::size_t kLargePage = std::size_t{2} << 20;

}  // namespace

void* allocateLargeBuffer(std::size_t bytes) {
    if (bytes == 0) bytes = 1;
    void* block = nullptr;
#if defined(__linux__)
    if (bytes >= kLargeBufferThreshold && bytes <= static_cast<std::size_t>(-1) - kLargePage) {
        // Whole large pages, so that the last one is not left to small pages; the
        // rounding costs at most one page of address space, and memory only where
        // the system backs it with a large page.
        const std::size_t rounded = (bytes + kLargePage - 1) / kLargePage * kLargePage;
        block = std::aligned_alloc(kLargePage, rounded);
        // Only a hint: without large pages the array is simply in small ones.
        if (block != nullptr) (void)madvise(block, rounded, MADV_HUGEPAGE);
    } else {
        block = std::malloc(bytes);
    }
#else
    block = std::malloc(bytes);
#endif
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

bool prefaultLargeBuffer(void* block, std::size_t from, std::size_t to) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // Whole pages; populating changes no value, so a page shared with other data is safe.
    constexpr std::size_t page = 4096;
    const std::size_t start = from / page * page;
    const std::size_t end = (to + page - 1) / page * page;
    if (end <= start) return true;
    return madvise(static_cast<char*>(block) + start, end - start, MADV_POPULATE_WRITE) == 0;
#else
    (void)block;
    (void)from;
    (void)to;
    return false;
#endif
}

}  // namespace ldi
