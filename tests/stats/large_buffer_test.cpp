// Storage for the big arrays: usable whatever its size, on large-page boundaries
// from 1 MiB on, and the measure volumes as three separate zeroed views of one block.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "stats/large_buffer.h"
#include "stats/matrix.h"

using namespace ldi;

namespace {

TEST(LargeBuffer, ArraysOfEverySizeHoldTheirValues) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{1000}, (std::size_t{1} << 18) - 1,
                              std::size_t{1} << 18, (std::size_t{3} << 19) + 7}) {
        LargeArray<float> values = makeLargeArray<float>(count);
        ASSERT_NE(values.get(), nullptr) << count;
        for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<float>(i);
        for (std::size_t i = 0; i < count; i += 997) EXPECT_EQ(values[i], static_cast<float>(i)) << count;
        if (count * sizeof(float) >= kLargeBufferThreshold) {
#if defined(__linux__)
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(values.get()) % (std::uintptr_t{2} << 20), 0u) << count;
#endif
        }
    }
}

// Backing a buffer's pages from one thread while another writes it loses no
// value, and leaves every page of the range in memory.
TEST(LargeBuffer, PrefaultingBacksPagesWithoutChangingValues) {
    const std::size_t count = (std::size_t{5} << 20) / sizeof(float) + 123;  // not whole pages
    LargeArray<float> values = makeLargeArray<float>(count);
    const std::size_t bytes = count * sizeof(float);
    bool backed = true;
    std::thread prefault([&] {
        for (std::size_t end = bytes; end > 0;) {
            const std::size_t from = end > (std::size_t{1} << 20) ? end - (std::size_t{1} << 20) : 0;
            backed = prefaultLargeBuffer(values.get(), from, end) && backed;
            end = from;
        }
    });
    for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<float>(i % 65521) + 0.5f;
    prefault.join();
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < count; ++i) wrong += values[i] != static_cast<float>(i % 65521) + 0.5f ? 1 : 0;
    EXPECT_EQ(wrong, 0u);
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // A fresh buffer, backed and not yet written: its pages are in memory.
    LargeArray<float> fresh = makeLargeArray<float>(count);
    if (!backed || !prefaultLargeBuffer(fresh.get(), 0, bytes)) GTEST_SKIP() << "the system cannot prefault";
    const std::size_t pages = (bytes + 4095) / 4096;
    std::vector<unsigned char> resident(pages);
    ASSERT_EQ(mincore(fresh.get(), pages * 4096, resident.data()), 0);
    std::size_t absent = 0;
    for (unsigned char page : resident) absent += (page & 1) ? 0 : 1;
    EXPECT_EQ(absent, 0u);
#endif
}

// Zeroed arrays read zero everywhere, whatever the memory held before (the
// small ones come from a heap that has just held other values), take writes
// at both ends, lie on large-page boundaries from 1 MiB on, and give back
// their memory, again and again, without touching their neighbours.
TEST(LargeBuffer, ZeroedArraysOfEverySizeStartAtZero) {
    for (int round = 0; round < 3; ++round)
        for (std::size_t count : {std::size_t{1}, std::size_t{1000}, (std::size_t{1} << 18) - 1, std::size_t{1} << 18,
                                  (std::size_t{3} << 19) + 7, (std::size_t{5} << 20) + 1}) {
            {
                std::vector<float> dirty(count, 7.0f);  // freed just before the zeroed array is made
            }
            ZeroedLargeArray<float> values = makeZeroedLargeArray<float>(count);
            ASSERT_NE(values.get(), nullptr) << count;
            std::size_t nonzero = 0;
            for (std::size_t i = 0; i < count; ++i) nonzero += values[i] != 0.0f ? 1 : 0;
            EXPECT_EQ(nonzero, 0u) << count;
            values[0] = 1.0f;
            values[count - 1] = 2.0f;
            EXPECT_EQ(values[count - 1], 2.0f);
            EXPECT_EQ(values[0], count == 1 ? 2.0f : 1.0f);
#if defined(__linux__)
            if (count * sizeof(float) >= kLargeBufferThreshold) {
                EXPECT_EQ(reinterpret_cast<std::uintptr_t>(values.get()) % (std::uintptr_t{2} << 20), 0u) << count;
            }
#endif
        }
    EXPECT_THROW(makeZeroedLargeArray<float>(static_cast<std::size_t>(-1) / 2), std::bad_alloc);
}

TEST(LargeBuffer, ImpossibleSizesThrowInsteadOfWrapping) {
    EXPECT_THROW(makeLargeArray<float>(static_cast<std::size_t>(-1) / 2), std::bad_alloc);
    EXPECT_THROW(makeLargeArray<uint16_t>(static_cast<std::size_t>(-1)), std::bad_alloc);
    LargeBufferAllocator<double> allocator;
    EXPECT_THROW(allocator.allocate(static_cast<std::size_t>(-1) / 4), std::bad_alloc);
}

TEST(LargeBuffer, ContainersAndMatricesUseIt) {
    std::vector<float, LargeBufferAllocator<float>> values(3u << 18, 1.5f);
    values.push_back(2.0f);
    EXPECT_EQ(values.front(), 1.5f);
    EXPECT_EQ(values.back(), 2.0f);

    // A matrix as large as the surrogates of a run: zeroed, copied deeply.
    Matrix surrogates(1000, 400, 0, 1);
    EXPECT_EQ(surrogates(999, 400), 0.0f);
    surrogates(999, 400) = 3.0f;
    Matrix copy = surrogates;
    copy(999, 400) = 4.0f;
    EXPECT_EQ(surrogates(999, 400), 3.0f);
}

TEST(LargeBuffer, MeasureVolumesAreThreeZeroedVolumesOfOneBlock) {
    MeasureVolumes measures(46, 40, 58);  // large enough for large pages
    const std::size_t count = std::size_t{46} * 40 * 58;
    ASSERT_EQ(measures.ref2vox.size(), count);
    ASSERT_EQ(measures.vox2ref.size(), count);
    ASSERT_EQ(measures.inst.size(), count);
    float* volumes[] = {measures.ref2vox.data(), measures.vox2ref.data(), measures.inst.data()};
    for (int v = 0; v < 3; ++v) {
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(volumes[v][i], 0.0f) << v << " " << i;
        std::fill(volumes[v], volumes[v] + count, static_cast<float>(v + 1));
    }
    // Writing one never reaches another.
    EXPECT_EQ(measures.ref2vox(45, 39, 57), 1.0f);
    EXPECT_EQ(measures.vox2ref(0, 0, 0), 2.0f);
    EXPECT_EQ(measures.vox2ref(45, 39, 57), 2.0f);
    EXPECT_EQ(measures.inst(0, 0, 0), 3.0f);

    // Moving keeps the values where they are.
    MeasureVolumes moved = std::move(measures);
    EXPECT_EQ(moved.inst(45, 39, 57), 3.0f);
    EXPECT_EQ(moved.ref2vox(0, 0, 0), 1.0f);
}

}  // namespace
