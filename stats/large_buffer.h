// Storage for the big arrays of a run (slices of a VTC, measure volumes, the
// surrogates, the surrogate cache, the FDR search's magnitudes). The first touch
// of every 4 KiB page costs the system about 2 microseconds (more inside a virtual
// machine), which added up to several milliseconds per run; arrays of 1 MiB and
// more are therefore placed on 2 MiB boundaries and offered to the system's large
// pages where it has them (Linux transparent huge pages). Elsewhere, or for
// smaller arrays, this is plain malloc. Contents are never initialised here,
// except by ZeroedArrayAllocator, which gets zeros from calloc.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace ldi {

// Arrays of at least this many bytes are aligned for large pages.
constexpr std::size_t kLargeBufferThreshold = std::size_t{1} << 20;

// Uninitialised room for `bytes` bytes (at least 1); throws std::bad_alloc.
// Release with std::free (freeLargeBuffer).
void* allocateLargeBuffer(std::size_t bytes);
inline void freeLargeBuffer(void* block) noexcept { std::free(block); }

// Has the system back bytes [from, to) of a buffer from allocateLargeBuffer
// with memory now, as writing them would, but without writing: values already
// there stay, so another thread may be writing the buffer meanwhile. Fresh
// memory is zeroed on first use, at a cost (more inside a virtual machine,
// whose host backs the page too) that this moves to the calling thread.
// False where the system cannot (Linux before 5.14, other systems): the pages
// then come when first written, as ever.
bool prefaultLargeBuffer(void* block, std::size_t from, std::size_t to);

// Zeroed room for `bytes` bytes (at least 1) whose pages the system backs
// only where they are first touched: memory fresh from the system is zero, so
// no thread writes zeros first (a serial fill of the measure volumes of ten
// null draws, 120 MB of a whole-brain grid, took a third of a second inside a
// virtual machine, with a core idle), and the pages of voxels never analysed
// are never backed. Large pages as allocateLargeBuffer; throws std::bad_alloc.
// Release with freeZeroedLargeBuffer and the same size.
void* allocateZeroedLargeBuffer(std::size_t bytes);
void freeZeroedLargeBuffer(void* block, std::size_t bytes) noexcept;

struct ZeroedLargeBufferDeleter {
    std::size_t bytes = 0;
    void operator()(void* block) const noexcept { freeZeroedLargeBuffer(block, bytes); }
};

// An owned array of trivially constructible values, all zero.
template <typename T>
using ZeroedLargeArray = std::unique_ptr<T[], ZeroedLargeBufferDeleter>;

template <typename T>
ZeroedLargeArray<T> makeZeroedLargeArray(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    return ZeroedLargeArray<T>(static_cast<T*>(allocateZeroedLargeBuffer(bytes)), ZeroedLargeBufferDeleter{bytes});
}

struct LargeBufferDeleter {
    void operator()(void* block) const noexcept { freeLargeBuffer(block); }
};

// An owned array of trivially destructible values, uninitialised.
template <typename T>
using LargeArray = std::unique_ptr<T[], LargeBufferDeleter>;

template <typename T>
LargeArray<T> makeLargeArray(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return LargeArray<T>(static_cast<T*>(allocateLargeBuffer(count * sizeof(T))));
}

// The same storage for standard containers.
template <typename T>
struct LargeBufferAllocator {
    using value_type = T;
    LargeBufferAllocator() = default;
    template <typename U>
    LargeBufferAllocator(const LargeBufferAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocateLargeBuffer(count * sizeof(T)));
    }
    void deallocate(T* block, std::size_t) noexcept { freeLargeBuffer(block); }
};

template <typename T, typename U>
bool operator==(const LargeBufferAllocator<T>&, const LargeBufferAllocator<U>&) {
    return true;
}
template <typename T, typename U>
bool operator!=(const LargeBufferAllocator<T>&, const LargeBufferAllocator<U>&) {
    return false;
}

// Zeroed storage whose zeros cost nothing until they are written: it comes
// from calloc (memory fresh from the system is already zero, so nothing is
// written to it) and a container's resize() leaves added values as the
// storage holds them. So resize() gives zeros only when it allocates; assign()
// sets values as usual.
template <typename T>
struct ZeroedArrayAllocator {
    using value_type = T;
    ZeroedArrayAllocator() = default;
    template <typename U>
    ZeroedArrayAllocator(const ZeroedArrayAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) {
        void* block = std::calloc(count, sizeof(T));
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { std::free(block); }
    template <typename U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

template <typename T, typename U>
bool operator==(const ZeroedArrayAllocator<T>&, const ZeroedArrayAllocator<U>&) {
    return true;
}
template <typename T, typename U>
bool operator!=(const ZeroedArrayAllocator<T>&, const ZeroedArrayAllocator<U>&) {
    return false;
}

}  // namespace ldi
