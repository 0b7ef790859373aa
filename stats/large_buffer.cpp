#include "stats/large_buffer.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ldi {

namespace {

constexpr std::size_t kLargePage = std::size_t{2} << 20;

#if defined(__linux__)
// Whole large pages, so that the last one is not left to small pages.
std::size_t largePagesOf(std::size_t bytes) { return (bytes + kLargePage - 1) / kLargePage * kLargePage; }

bool mappedOnItsOwn(std::size_t bytes) {
    return bytes >= kLargeBufferThreshold && bytes <= static_cast<std::size_t>(-1) / 2;
}
#endif

}  // namespace

void* allocateLargeBuffer(std::size_t bytes) {
    if (bytes == 0) bytes = 1;
    void* block = nullptr;
#if defined(__linux__)
    if (bytes >= kLargeBufferThreshold && bytes <= static_cast<std::size_t>(-1) - kLargePage) {
        // Whole large pages, so that the last one is not left to small pages; the
        // rounding costs at most one page of address space, and memory only where
        // the system backs it with a large page.
        const std::size_t rounded = largePagesOf(bytes);
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

void* allocateZeroedLargeBuffer(std::size_t bytes) {
    if (bytes == 0) bytes = 1;
#if defined(__linux__)
    if (mappedOnItsOwn(bytes)) {
        // Mapped on its own, never from the heap (whose memory may hold old
        // values): one large page more than needed, then the parts before the
        // first large page's boundary and after the block given back.
        const std::size_t rounded = largePagesOf(bytes);
        void* mapping = ::mmap(nullptr, rounded + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                               -1, 0);
        if (mapping == MAP_FAILED) throw std::bad_alloc();
        char* const start = static_cast<char*>(mapping);
        const auto address = reinterpret_cast<std::uintptr_t>(mapping);
        char* const block = start + (((address + kLargePage - 1) & ~(kLargePage - 1)) - address);
        if (block > start) ::munmap(start, static_cast<std::size_t>(block - start));
        char* const end = start + rounded + kLargePage;
        if (end > block + rounded) ::munmap(block + rounded, static_cast<std::size_t>(end - (block + rounded)));
        (void)madvise(block, rounded, MADV_HUGEPAGE);
        return block;
    }
#endif
    void* block = std::calloc(1, bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void freeZeroedLargeBuffer(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
#if defined(__linux__)
    if (mappedOnItsOwn(bytes == 0 ? 1 : bytes)) {
        ::munmap(block, largePagesOf(bytes));
        return;
    }
#else
    (void)bytes;  // calloc's block: free needs no size
#endif
    std::free(block);
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
