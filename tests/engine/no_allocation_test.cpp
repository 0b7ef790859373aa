// No heap allocation inside the voxel loop: this test program replaces the
// global operator new with one that counts, and the count is switched on only
// while the voxel loop runs (the pass's loop observer marks the span).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "engine/fast_pass.h"
#include "engine/voxel_lanes.h"
#include "engine/voxel_pass.h"
#include "stats/parallel.h"
#include "support/synthetic_run.h"

using namespace ldi;

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
std::atomic<int> loopsSeen{0};

void* allocate(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
    if (void* block = std::malloc(size > 0 ? size : 1)) return block;
    throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::size_t alignment) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    if (void* block = std::aligned_alloc(alignment, rounded > 0 ? rounded : alignment)) return block;
    throw std::bad_alloc();
}

void observeLoop(bool entering) {
    if (entering) ++loopsSeen;
    counting.store(entering);
}

}  // namespace

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
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocateAligned(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocateAligned(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }

namespace {

class NoAllocationTest : public SyntheticRunTest {
protected:
    void TearDown() override {
        counting.store(false);
        SyntheticRunTest::TearDown();
    }
};

TEST_F(NoAllocationTest, TheVoxelLoopAllocatesNothing) {
    float (*noisy)(int, int, int, int) = [](int x, int y, int z, int t) {
        return t == 0 && x == 2 ? 10.0f : 900.0f + 80.0f * testNoise(x, y, z, t);
    };
    VtcWriterOptions floats;
    floats.numVolumes = 30;
    floats.xEnd = floats.yEnd = 24;
    floats.zEnd = 12;
    floats.value = noisy;
    VtcWriterOptions shorts = floats;
    shorts.dataType = 1;
    const std::string a = writeVtc("a.vtc", floats);
    const std::string b = writeVtc("b.vtc", shorts);
    Condition& condition = addCondition(setup, "A");
    addEntry(condition, a, a, {{2, 14}, {15, 30}});
    addEntry(condition, b, b, {{3, 29}});
    setup.parameters.autoRegressionOrder = 2;
    const SelectedVoi voi = addVoi("V", 0, {{1, 1, 1}, {3, 3, 2}});
    prepare();
    context.options.loopObserver = observeLoop;

    std::vector<LaneKernel> kernels = availableLaneKernels();
    for (const LaneKernel& kernel : kernels) {
        context.options.laneKernel = &kernel;
        for (int threads : {1, 2, 3}) {
            SCOPED_TRACE(std::string(kernel.name) + ", threads " + std::to_string(threads));
            context.options.threads = threads;
            allocations.store(0);
            loopsSeen.store(0);
            ASSERT_EQ(computeConditionMeasures(context, voi, condition, setup, runLog, errors), 1) << errors.str();
            EXPECT_EQ(loopsSeen.load(), 1) << "the loop must be observed, or nothing was counted";
            EXPECT_EQ(allocations.load(), 0);
        }
    }

    context.options.laneKernel = nullptr;
    context.options.surrogateCacheLimit = 0;  // every block detrends the surrogate rows it drew
    allocations.store(0);
    loopsSeen.store(0);
    ASSERT_EQ(computeConditionMeasures(context, voi, condition, setup, runLog, errors), 1) << errors.str();
    EXPECT_EQ(loopsSeen.load(), 1);
    EXPECT_EQ(allocations.load(), 0) << "surrogates detrended per block";
    context.options.surrogateCacheLimit = EngineOptions{}.surrogateCacheLimit;

    // Several null draws in one pass: with the intensity test the slices are
    // counted first, under a mask the mask is counted.
    std::vector<uint8_t> mask(24 * 24 * 12 / 27, 1);
    mask[5] = 0;
    for (const std::vector<uint8_t>* voxels : {static_cast<const std::vector<uint8_t>*>(nullptr), static_cast<const std::vector<uint8_t>*>(&mask)}) {
        SCOPED_TRACE(voxels != nullptr ? "three draws, masked" : "three draws");
        EngineInput input = engineInputOf(context, setup);
        input.nullDraws = 3;
        input.voxelMask = voxels;
        allocations.store(0);
        loopsSeen.store(0);
        ASSERT_EQ(computeConditionDraws(input, 0, 0, context.work, progressToHost(), runLog, errors), 1) << errors.str();
        EXPECT_EQ(loopsSeen.load(), 1);
        EXPECT_EQ(allocations.load(), 0);
    }

    context.options.passMethod = VoxelPassMethod::sequential;
    allocations.store(0);
    loopsSeen.store(0);
    ASSERT_EQ(computeConditionMeasures(context, voi, condition, setup, runLog, errors), 1) << errors.str();
    EXPECT_EQ(loopsSeen.load(), 1);
    EXPECT_EQ(allocations.load(), 0) << "the sequential loop";
}

TEST_F(NoAllocationTest, TheCounterSeesAllocations) {
    // The replacement is in force: an allocation while counting is seen.
    allocations.store(0);
    counting.store(true);
    auto* probe = new std::string(100, 'x');
    counting.store(false);
    delete probe;
    EXPECT_GE(allocations.load(), 1);
}

}  // namespace
