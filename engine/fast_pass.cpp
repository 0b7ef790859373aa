#include "engine/fast_pass.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "base/status.h"
#include "data/voi_time_course.h"
#include "engine/slice_source.h"
#include "engine/pass_plan.h"
#include "engine/voxel_lanes.h"
#include "stats/large_buffer.h"
#include "stats/matrix.h"
#include "stats/parallel.h"

namespace ldi {

namespace {

// Room for the slices the workers hold at once (every worker holds one slice of
// every target file). A slice of a whole-brain 2 mm grid over 1,200 volumes
// takes 48 MB: a smaller room left such a run's voxel pass on one core.
constexpr int64_t kSliceBufferBytes = int64_t{256} << 20;

// Surrogate rows detrended per task while the cache is filled.
constexpr int32_t kSurrogatesPerTask = 32;

// Float storage whose start is aligned for the lane kernels.
class AlignedFloats {
public:
    // Not zero-filled: the kernels write their scratch before reading it.
    void allocate(std::size_t count) {
        storage_ = makeLargeArray<float>(count + kLaneScratchAlignment / sizeof(float));
        const auto address = reinterpret_cast<std::uintptr_t>(storage_.get());
        const std::uintptr_t aligned = (address + kLaneScratchAlignment - 1) & ~(kLaneScratchAlignment - 1);
        data_ = reinterpret_cast<float*>(aligned);
    }
    float* data() const { return data_; }

private:
    LargeArray<float> storage_;
    float* data_ = nullptr;
};

// Everything the kernel reads that is the same for every voxel of the pass.
struct PassTables {
    std::vector<LaneEntry> entries;
    std::vector<int32_t> entryStart;  // first volume (from 0) of each entry's block
    std::vector<LaneInterval> intervals;
    std::vector<int32_t> intervalFirst;  // first volume (from 1) of each interval
    std::vector<const VoiTimeCourse*> intervalRecord;
    std::vector<float> shared;  // regressors, detrended references, reference lags
    LanePass pass;

    bool cached = false;
    // Per interval: surrogateCount rows of its length, and surrogateCount x (p + 1)
    // lag products. Every value is written before it is read (not zero-filled,
    // which would cost a sweep over the memory on one thread).
    LargeArray<float> surrogateRows;
    LargeArray<float> surrogateLags;
    std::vector<std::size_t> rowOffset;
    std::vector<std::size_t> lagOffset;
};

// Sum over t >= k of x(t) x(t - k), ascending from 0: the lag products of a series
// with itself, as the fused two-series products form them.
void ownLags(const float* x, int32_t length, int32_t order, float* lags) {
    for (int32_t k = 0; k <= order; ++k) lags[k] = core::dot(x + k, x, length - k);
}

void buildTables(const VoxelPassPlan& plan, std::size_t cacheLimit, PassTables& tables) {
    const int32_t p = plan.order;
    const std::size_t entryCount = plan.entries.size();
    tables.entries.assign(entryCount, LaneEntry{});
    tables.entryStart.assign(entryCount, 0);

    // Sizes first, so that the pointers into `shared` are taken once it is final.
    struct Pending {
        std::size_t regressor, reference, lags;
    };
    std::vector<Pending> pending;
    std::vector<int32_t> regressorLengths;
    std::vector<std::size_t> regressorAt;
    std::size_t sharedSize = 0;
    for (std::size_t e = 0; e < entryCount; ++e) {
        const VoxelPassEntry& entry = plan.entries[e];
        const std::vector<Interval>& list = *entry.intervals;
        int32_t first = 0;
        int32_t last = -1;
        for (std::size_t i = 0; i < list.size(); ++i) {
            first = i == 0 ? list[i].first : std::min(first, list[i].first);
            last = i == 0 ? list[i].last : std::max(last, list[i].last);
        }
        tables.entryStart[e] = list.empty() ? 0 : first - 1;
        tables.entries[e].blockLength = list.empty() ? 0 : last - first + 1;
        tables.entries[e].isFloat = plan.targets[static_cast<std::size_t>(entry.target)]->holdsFloats();
        for (const Interval& interval : list) {
            LaneInterval lane;
            lane.entry = static_cast<int32_t>(e);
            lane.start = interval.first - 1 - tables.entryStart[e];
            lane.length = interval.last - interval.first + 1;
            lane.reciprocal = 1.0f / static_cast<float>(lane.length);
            Pending at{0, 0, 0};
            if (lane.length >= 2) {
                const auto known = std::find(regressorLengths.begin(), regressorLengths.end(), lane.length);
                if (known == regressorLengths.end()) {
                    regressorLengths.push_back(lane.length);
                    regressorAt.push_back(sharedSize);
                    at.regressor = sharedSize;
                    sharedSize += static_cast<std::size_t>(lane.length);
                } else {
                    at.regressor = regressorAt[static_cast<std::size_t>(known - regressorLengths.begin())];
                }
            }
            at.reference = sharedSize;
            sharedSize += static_cast<std::size_t>(lane.length);
            at.lags = sharedSize;
            sharedSize += static_cast<std::size_t>(p) + 1;
            pending.push_back(at);
            tables.intervals.push_back(lane);
            tables.intervalFirst.push_back(interval.first);
            tables.intervalRecord.push_back(entry.record);
        }
    }

    tables.shared.assign(sharedSize, 0.0f);
    float* shared = tables.shared.data();
    for (std::size_t r = 0; r < regressorLengths.size(); ++r) {
        float stt = 0.0f;
        core::detrendRegressors(regressorLengths[r], shared + regressorAt[r], stt);
        for (std::size_t i = 0; i < tables.intervals.size(); ++i)
            if (tables.intervals[i].length == regressorLengths[r]) tables.intervals[i].regressorSquares = stt;
    }
    for (std::size_t i = 0; i < tables.intervals.size(); ++i) {
        LaneInterval& lane = tables.intervals[i];
        if (lane.length >= 2) lane.regressor = shared + pending[i].regressor;
        // The reference row as the sequential pass detrends it for every voxel.
        const Matrix& course = tables.intervalRecord[i]->meanTimeCourse;
        float* reference = shared + pending[i].reference;
        core::detrendRow(course.at(course.rowBase, tables.intervalFirst[i]), lane.length, reference);
        lane.reference = reference;
        float* lags = shared + pending[i].lags;
        ownLags(reference, lane.length, p, lags);
        lane.referenceLags = lags;
    }

    tables.pass.order = p;
    tables.pass.entryCount = static_cast<int32_t>(entryCount);
    tables.pass.entries = tables.entries.data();
    tables.pass.intervalCount = static_cast<int32_t>(tables.intervals.size());
    tables.pass.intervals = tables.intervals.data();
    tables.pass.longestInterval = std::max(plan.longestInterval, 1);

    // The surrogate cache: every row of every interval, detrended once.
    const std::size_t count = plan.surrogateCount;
    std::size_t rows = 0;
    std::size_t lags = 0;
    tables.rowOffset.clear();
    tables.lagOffset.clear();
    for (const LaneInterval& lane : tables.intervals) {
        tables.rowOffset.push_back(rows);
        tables.lagOffset.push_back(lags);
        rows += count * static_cast<std::size_t>(lane.length);
        lags += count * (static_cast<std::size_t>(p) + 1);
    }
    tables.cached = (rows + lags) * sizeof(float) <= cacheLimit;
    if (tables.cached) {
        tables.surrogateRows = makeLargeArray<float>(rows);
        tables.surrogateLags = makeLargeArray<float>(lags);
    }
}

// Detrends surrogate `s` of interval `i` (as the sequential pass does before
// fitting it) into `row`, with its own lag products.
void detrendSurrogate(const PassTables& tables, std::size_t i, uint32_t s, int32_t order, float* row, float* lags) {
    const Matrix& surrogates = tables.intervalRecord[i]->surrogates;
    const int32_t length = tables.intervals[i].length;
    core::detrendRow(surrogates.at(surrogates.rowBase + static_cast<int32_t>(s), tables.intervalFirst[i]), length,
                     row);
    ownLags(row, length, order, lags);
}

struct Worker {
    std::vector<SliceValues> slices;   // per target
    std::vector<int32_t> active;       // voxels of the slice that pass the intensity test
    // Per draw, where that draw's generator stood at the slice's turn: the
    // worker draws its voxels' indices from a copy, in the sequential loop's
    // order, while the turn has moved the generator on past them.
    std::vector<RandomState> sliceDraws;
    AlignedFloats scratch;
    std::vector<const void*> rows;               // entries x lanes
    std::vector<const float*> surrogates;        // draws x intervals x lanes
    std::vector<const float*> surrogateLags;     // draws x intervals x lanes
    std::vector<float> ownSurrogates;            // without the cache: draws x intervals x lanes rows
    std::vector<float> ownSurrogateLags;         // ... and their lag products
    std::vector<std::size_t> ownSurrogateOffset;  // per interval, in one draw's part of ownSurrogates
    std::size_t ownSurrogatesPerDraw = 0;
    std::vector<LaneResults> results;            // per draw
    VoxelLoopCounts counts;
};

// Where every slice's draws begin is known only once every slice's voxels are
// counted; without a mask the intensity test decides, so the slices are read
// once beforehand to count them (a read of the data, not the pass repeated).
struct SliceCount {
    std::unique_ptr<WorkCounter> slices;
    std::vector<int64_t> active;         // per slice
    std::vector<int32_t> failedTarget;   // per slice: the target that could not be read, or -1
};

struct Shared {
    const VoxelPassPlan* plan = nullptr;
    const LaneKernel* kernel = nullptr;
    PassTables* tables = nullptr;
    float* realOut[3] = {};
    std::vector<float*> nullOut;  // 3 per draw
    int32_t draws = 1;
    int32_t intervalCount = 0;
    // The generator of the first draw is the run's; draw d's starts where the
    // d-th repetition of the pass would start, d passes' draws further on.
    // Both are moved on turn by turn.
    RandomState* generator = nullptr;
    std::vector<RandomState> laterGenerators;  // draws 1, 2, ...
    // A slice the count of the draws found unreadable: the loop fails there.
    int32_t knownFailedSlice = -1;
    int32_t knownFailedTarget = -1;

    std::unique_ptr<WorkCounter> surrogateTasks;
    std::atomic<int64_t> surrogateTasksDone{0};
    std::unique_ptr<WorkCounter> slices;
    std::atomic<bool> stop{false};
    const std::atomic<bool>* cancel = nullptr;  // the run's cancel flag, or null
    // Slices whose draw turn has passed, which is also the slice whose turn it is.
    std::atomic<int32_t> turnsDone{0};

    std::chrono::microseconds activeWait{0};  // before a waiting worker sleeps
    std::mutex lock;
    std::condition_variable changed;
    int32_t failedSlice = -1;
    int32_t failedTarget = -1;

    // Progress, on the calling thread only.
    SliceProgress* progress = nullptr;
    SliceCount* sliceCount = nullptr;  // the count of the analysed voxels, when it reads the slices
};

void prepareWorker(const Shared& shared, Worker& worker) {
    const VoxelPassPlan& plan = *shared.plan;
    const PassTables& tables = *shared.tables;
    const int32_t lanes = shared.kernel->blockLanes;
    worker.slices.resize(plan.targets.size());
    for (std::size_t t = 0; t < plan.targets.size(); ++t) plan.targets[t]->allocateSlice(worker.slices[t]);
    const std::size_t voxels = static_cast<std::size_t>(plan.dimX) * static_cast<std::size_t>(plan.dimY);
    worker.active.assign(voxels, 0);
    const auto draws = static_cast<std::size_t>(shared.draws);
    worker.sliceDraws.assign(draws, RandomState{});
    worker.results.assign(draws, LaneResults{});
    worker.scratch.allocate(shared.kernel->scratchFloats(tables.pass));
    worker.rows.assign(plan.entries.size() * static_cast<std::size_t>(lanes), nullptr);
    const std::size_t intervalLanes = tables.intervals.size() * static_cast<std::size_t>(lanes);
    worker.surrogates.assign(draws * intervalLanes, nullptr);
    worker.surrogateLags.assign(draws * intervalLanes, nullptr);
    if (!tables.cached) {
        std::size_t rows = 0;
        worker.ownSurrogateOffset.clear();
        for (const LaneInterval& lane : tables.intervals) {
            worker.ownSurrogateOffset.push_back(rows);
            rows += static_cast<std::size_t>(lanes) * static_cast<std::size_t>(lane.length);
        }
        worker.ownSurrogatesPerDraw = rows;
        worker.ownSurrogates.assign(draws * rows, 0.0f);
        worker.ownSurrogateLags.assign(draws * intervalLanes * (static_cast<std::size_t>(plan.order) + 1), 0.0f);
    }
}

int64_t surrogateTaskCount(const Shared& shared) {
    if (!shared.tables->cached) return 0;
    const int64_t perInterval = (static_cast<int64_t>(shared.plan->surrogateCount) + kSurrogatesPerTask - 1) /
                                kSurrogatesPerTask;
    return perInterval * static_cast<int64_t>(shared.tables->intervals.size());
}

// Takes cache tasks until none is left, then waits until the others' are done too
// (a helper that starts late finds nothing left and does not hold anyone up).
void fillSurrogateCache(Shared& shared) {
    PassTables& tables = *shared.tables;
    const int32_t p = shared.plan->order;
    const int64_t perInterval = (static_cast<int64_t>(shared.plan->surrogateCount) + kSurrogatesPerTask - 1) /
                                kSurrogatesPerTask;
    const int64_t tasks = surrogateTaskCount(shared);
    int64_t task = 0;
    int64_t taskEnd = 0;
    while (shared.surrogateTasks->next(task, taskEnd)) {
        const auto i = static_cast<std::size_t>(task / perInterval);
        const auto length = static_cast<std::size_t>(tables.intervals[i].length);
        const uint32_t begin = static_cast<uint32_t>(task % perInterval) * kSurrogatesPerTask;
        const uint32_t end = std::min<uint32_t>(begin + kSurrogatesPerTask, shared.plan->surrogateCount);
        for (uint32_t s = begin; s < end; ++s)
            detrendSurrogate(tables, i, s, p, tables.surrogateRows.get() + tables.rowOffset[i] + s * length,
                             tables.surrogateLags.get() + tables.lagOffset[i] + s * (static_cast<std::size_t>(p) + 1));
        if (shared.surrogateTasksDone.fetch_add(1, std::memory_order_acq_rel) + 1 == tasks) {
            std::lock_guard<std::mutex> lock(shared.lock);
            shared.changed.notify_all();
        }
    }
    const auto filled = [&] { return shared.surrogateTasksDone.load(std::memory_order_acquire) >= tasks; };
    waitUntil(filled, shared.activeWait, shared.lock, shared.changed);
}

// The voxels of one slice that pass the intensity test (or lie in the mask), in
// voxel order.
std::size_t findActiveVoxels(const Shared& shared, Worker& worker, int64_t sliceStart) {
    const VoxelPassPlan& plan = *shared.plan;
    const int64_t voxels = static_cast<int64_t>(plan.dimX) * plan.dimY;
    std::size_t count = 0;
    if (plan.inclusionMask != nullptr) {
        for (int64_t v = 0; v < voxels; ++v)
            if (plan.inclusionMask[sliceStart + v] != 0) worker.active[count++] = static_cast<int32_t>(v);
        return count;
    }
    for (int64_t v = 0; v < voxels; ++v) {
        bool passes = true;
        for (std::size_t e = 0; e < plan.entries.size() && passes; ++e) {
            const VoxelPassEntry& entry = plan.entries[e];
            passes = passesIntensityTest(worker.slices[static_cast<std::size_t>(entry.target)],
                                         shared.tables->entries[e].isFloat,
                                         static_cast<std::size_t>(v) * static_cast<std::size_t>(entry.numVolumes),
                                         plan.inclusionThreshold);
        }
        if (passes) worker.active[count++] = static_cast<int32_t>(v);
    }
    return count;
}

// Zeros for the voxels of the slice that failed the intensity test.
void writeSkippedVoxels(const Shared& shared, Worker& worker, std::size_t activeCount, int64_t sliceStart) {
    const int64_t voxels = static_cast<int64_t>(shared.plan->dimX) * shared.plan->dimY;
    std::size_t next = 0;
    for (int64_t v = 0; v < voxels; ++v) {
        if (next < activeCount && worker.active[next] == v) {
            ++next;
            continue;
        }
        ++worker.counts.skipped;
        for (float* out : shared.realOut) out[sliceStart + v] = 0.0f;
        for (std::size_t k = 0; k < 3 * static_cast<std::size_t>(shared.draws); ++k)
            shared.nullOut[k][sliceStart + v] = 0.0f;
    }
}

// Points the block's rows of `lane` at the voxel's values in every entry.
void pointAtVoxel(const Shared& shared, Worker& worker, int32_t lane, std::size_t voxel) {
    const VoxelPassPlan& plan = *shared.plan;
    const PassTables& tables = *shared.tables;
    const auto lanes = static_cast<std::size_t>(shared.kernel->blockLanes);
    for (std::size_t e = 0; e < plan.entries.size(); ++e) {
        const VoxelPassEntry& entry = plan.entries[e];
        const SliceValues& slice = worker.slices[static_cast<std::size_t>(entry.target)];
        const std::size_t at =
            voxel * static_cast<std::size_t>(entry.numVolumes) + static_cast<std::size_t>(tables.entryStart[e]);
        worker.rows[e * lanes + static_cast<std::size_t>(lane)] =
            tables.entries[e].isFloat ? static_cast<const void*>(slice.floats.get() + at)
                                      : static_cast<const void*>(slice.shorts.get() + at);
    }
}

// Draws the surrogate of every interval of `lane` in draw d (one index per
// interval, as the sequential loop draws them) and points the block at the rows.
// A lane past the last voxel draws nothing: it takes the last voxel's surrogates.
void pointAtSurrogates(const Shared& shared, Worker& worker, int32_t d, int32_t lane, int32_t used,
                       SurrogateDraws& draws) {
    const VoxelPassPlan& plan = *shared.plan;
    const PassTables& tables = *shared.tables;
    const auto lanes = static_cast<std::size_t>(shared.kernel->blockLanes);
    const std::size_t intervals = tables.intervals.size();
    const std::size_t lagCount = static_cast<std::size_t>(plan.order) + 1;
    const std::size_t drawBase = static_cast<std::size_t>(d) * intervals * lanes;
    for (std::size_t i = 0; i < intervals; ++i) {
        const std::size_t slot = drawBase + i * lanes + static_cast<std::size_t>(lane);
        if (lane >= used) {
            const std::size_t last = drawBase + i * lanes + static_cast<std::size_t>(used - 1);
            worker.surrogates[slot] = worker.surrogates[last];
            worker.surrogateLags[slot] = worker.surrogateLags[last];
            continue;
        }
        const uint32_t s = draws.next();
        const auto length = static_cast<std::size_t>(tables.intervals[i].length);
        if (tables.cached) {
            worker.surrogates[slot] = tables.surrogateRows.get() + tables.rowOffset[i] + s * length;
            worker.surrogateLags[slot] = tables.surrogateLags.get() + tables.lagOffset[i] + s * lagCount;
        } else {
            float* row = worker.ownSurrogates.data() + static_cast<std::size_t>(d) * worker.ownSurrogatesPerDraw +
                         worker.ownSurrogateOffset[i] + static_cast<std::size_t>(lane) * length;
            float* lags = worker.ownSurrogateLags.data() + slot * lagCount;
            detrendSurrogate(tables, i, s, plan.order, row, lags);
            worker.surrogates[slot] = row;
            worker.surrogateLags[slot] = lags;
        }
    }
}

// The block's results into the volumes: the real values once, the null values of
// every draw; the counts as the first draw's pass counts them.
void storeBlock(const Shared& shared, Worker& worker, std::size_t a0, int32_t used, int64_t sliceStart) {
    const LaneResults& first = worker.results.front();
    for (int32_t lane = 0; lane < used; ++lane) {
        const int64_t at = sliceStart + worker.active[a0 + static_cast<std::size_t>(lane)];
        for (int k = 0; k < 3; ++k) shared.realOut[k][at] = first.values[k][lane];
        for (std::size_t d = 0; d < static_cast<std::size_t>(shared.draws); ++d)
            for (std::size_t k = 0; k < 3; ++k) shared.nullOut[d * 3 + k][at] = worker.results[d].values[3 + k][lane];
        switch (first.outcome[lane]) {
        case LaneOutcome::illDefined: ++worker.counts.illDefined; break;
        case LaneOutcome::surrogateIllDefined: ++worker.counts.surrogatesIllDefined; break;
        case LaneOutcome::measured: break;
        }
    }
}

void computeBlocks(const Shared& shared, Worker& worker, std::size_t activeCount, int64_t sliceStart) {
    const PassTables& tables = *shared.tables;
    const LaneKernel& kernel = *shared.kernel;
    const int32_t lanes = kernel.blockLanes;
    for (std::size_t a0 = 0; a0 < activeCount; a0 += static_cast<std::size_t>(lanes)) {
        const auto used = static_cast<int32_t>(std::min<std::size_t>(static_cast<std::size_t>(lanes), activeCount - a0));
        // Lanes past the last voxel repeat it; their results are dropped.
        for (int32_t lane = 0; lane < lanes; ++lane) {
            const std::size_t a = a0 + static_cast<std::size_t>(std::min(lane, used - 1));
            pointAtVoxel(shared, worker, lane, static_cast<std::size_t>(worker.active[a]));
        }
        // Every draw's voxels draw in voxel order from that draw's generator.
        for (int32_t d = 0; d < shared.draws; ++d) {
            SurrogateDraws draws;
            draws.generator = &worker.sliceDraws[static_cast<std::size_t>(d)];
            draws.surrogateCount = shared.plan->surrogateCount;
            for (int32_t lane = 0; lane < lanes; ++lane) pointAtSurrogates(shared, worker, d, lane, used, draws);
        }
        LaneBlock block;
        block.lanes = used;
        block.rows = worker.rows.data();
        block.surrogates = worker.surrogates.data();
        block.surrogateLags = worker.surrogateLags.data();
        kernel.processBlock(tables.pass, block, worker.scratch.data(), worker.results.data());
        storeBlock(shared, worker, a0, used, sliceStart);
    }
}

// Waits for the turn of slice z and draws its indices; false when the loop stops
// (an earlier slice failed, or this one could not be read).
bool takeTurn(Shared& shared, Worker& worker, int32_t z, int32_t failedTarget, std::size_t activeCount) {
    // The previous slice's turn is usually only moments away.
    const auto myTurn = [&] { return shared.turnsDone.load(std::memory_order_acquire) == z || shared.stop.load(); };
    waitUntil(myTurn, shared.activeWait, shared.lock, shared.changed);
    // Only this worker can pass the turn on from here, so nothing below races.
    if (shared.stop.load()) return false;
    if (failedTarget >= 0) {
        shared.failedSlice = z;
        shared.failedTarget = failedTarget;
        shared.stop.store(true);
    } else {
        const uint64_t sliceDraws = static_cast<uint64_t>(activeCount) * static_cast<uint64_t>(shared.intervalCount);
        worker.sliceDraws[0] = *shared.generator;
        skipRandom(*shared.generator, sliceDraws);
        for (std::size_t d = 1; d < static_cast<std::size_t>(shared.draws); ++d) {
            RandomState& generator = shared.laterGenerators[d - 1];
            worker.sliceDraws[d] = generator;
            skipRandom(generator, sliceDraws);
        }
    }
    {
        std::lock_guard<std::mutex> lock(shared.lock);
        shared.turnsDone.store(z + 1, std::memory_order_release);
    }
    shared.changed.notify_all();
    return failedTarget < 0;
}

void runSlices(Shared& shared, Worker& worker, bool caller) {
    const VoxelPassPlan& plan = *shared.plan;
    const int64_t voxelsPerSlice = static_cast<int64_t>(plan.dimX) * plan.dimY;
    for (;;) {
        if (caller) shared.progress->reportUpTo(shared.turnsDone.load());
        int64_t slice = 0;
        int64_t sliceEnd = 0;
        if (!shared.slices->next(slice, sliceEnd) || shared.stop.load()) break;
        if (shared.cancel != nullptr && shared.cancel->load(std::memory_order_relaxed)) {
            {
                std::lock_guard<std::mutex> lock(shared.lock);
                shared.stop.store(true);
            }
            shared.changed.notify_all();
            break;
        }
        const auto z = static_cast<int32_t>(slice);
        int32_t failedTarget = z == shared.knownFailedSlice ? shared.knownFailedTarget : -1;
        for (std::size_t t = 0; t < plan.targets.size() && failedTarget < 0; ++t)
            if (!plan.targets[t]->readSlice(z, worker.slices[t])) failedTarget = static_cast<int32_t>(t);
        const int64_t sliceStart = static_cast<int64_t>(z) * voxelsPerSlice;
        const std::size_t activeCount = failedTarget < 0 ? findActiveVoxels(shared, worker, sliceStart) : 0;
        // Nothing of a slice is written before its turn: a loop that stops at an
        // earlier slice leaves it untouched, as the sequential loop would.
        if (!takeTurn(shared, worker, z, failedTarget, activeCount)) break;
        writeSkippedVoxels(shared, worker, activeCount, sliceStart);
        computeBlocks(shared, worker, activeCount, sliceStart);
    }
}

void runWorker(Shared& shared, Worker& worker, bool caller) {
    fillSurrogateCache(shared);
    runSlices(shared, worker, caller);
}

void countSlices(Shared& shared, SliceCount& count, Worker& worker) {
    const VoxelPassPlan& plan = *shared.plan;
    const int64_t voxelsPerSlice = static_cast<int64_t>(plan.dimX) * plan.dimY;
    int64_t slice = 0;
    int64_t sliceEnd = 0;
    while (count.slices->next(slice, sliceEnd)) {
        const auto z = static_cast<std::size_t>(slice);
        for (std::size_t t = 0; t < plan.targets.size() && count.failedTarget[z] < 0; ++t)
            if (!plan.targets[t]->readSlice(static_cast<int32_t>(slice), worker.slices[t]))
                count.failedTarget[z] = static_cast<int32_t>(t);
        if (count.failedTarget[z] < 0)
            count.active[z] = static_cast<int64_t>(findActiveVoxels(shared, worker, slice * voxelsPerSlice));
    }
}

// The draws of one whole pass (voxels analysed x intervals) into the generators
// of the further draws. A slice that cannot be read leaves the first draw alone,
// failing where the first pass would fail.
void startLaterDraws(Shared& shared, std::vector<std::unique_ptr<Worker>>& workers, int wanted, WorkerTeam* team) {
    const VoxelPassPlan& plan = *shared.plan;
    int64_t analysed = 0;
    if (plan.inclusionMask != nullptr) {
        const int64_t voxels = static_cast<int64_t>(plan.dimX) * plan.dimY * plan.dimZ;
        for (int64_t v = 0; v < voxels; ++v) analysed += plan.inclusionMask[v] != 0 ? 1 : 0;
    } else {
        // Two references: small enough for the function object to hold without allocating.
        const std::function<void(int)> task = [&shared, &workers](int w) {
            countSlices(shared, *shared.sliceCount, *workers[static_cast<std::size_t>(w)]);
        };
        runOnWorkers(wanted, task, team);
        const SliceCount& count = *shared.sliceCount;
        for (int32_t z = 0; z < plan.dimZ; ++z) {
            const auto at = static_cast<std::size_t>(z);
            if (count.failedTarget[at] >= 0) {
                shared.knownFailedSlice = z;
                shared.knownFailedTarget = count.failedTarget[at];
                shared.draws = 1;
                shared.tables->pass.draws = 1;
                return;
            }
            analysed += count.active[at];
        }
    }
    const uint64_t perPass = static_cast<uint64_t>(analysed) * static_cast<uint64_t>(shared.intervalCount);
    RandomState start = *shared.generator;
    for (RandomState& generator : shared.laterGenerators) {
        skipRandom(start, perPass);
        generator = start;
    }
}

}  // namespace

int runFastVoxelLoop(const VoxelPassPlan& plan, const FastLoopRun& run, SliceProgress& progress,
                     MeasureVolumes& real, MeasureVolumes* const* nulls, int32_t draws, VoxelLoopCounts& counts,
                     int& failedTarget) {
    counts = VoxelLoopCounts{};
    failedTarget = -1;
    PassTables tables;
    buildTables(plan, run.options.surrogateCacheLimit, tables);
    tables.pass.draws = std::max(draws, 1);
    const int threads = threadCountFor(run.options.threads);
    WorkerTeam* team = run.team;

    Shared shared;
    shared.plan = &plan;
    shared.kernel = &run.kernel;
    shared.generator = &run.generator;
    shared.tables = &tables;
    shared.progress = &progress;
    shared.cancel = run.options.cancel;
    shared.intervalCount = static_cast<int32_t>(tables.intervals.size());
    float* const realOut[3] = {real.ref2vox.data(), real.vox2ref.data(), real.inst.data()};
    std::copy(realOut, realOut + 3, shared.realOut);
    shared.draws = tables.pass.draws;
    for (int32_t d = 0; d < shared.draws; ++d)
        for (FloatVolume* volume : {&nulls[d]->ref2vox, &nulls[d]->vox2ref, &nulls[d]->inst})
            shared.nullOut.push_back(volume->data());
    shared.laterGenerators.assign(static_cast<std::size_t>(shared.draws - 1), RandomState{});
    SliceCount sliceCount;
    if (shared.draws > 1 && plan.inclusionMask == nullptr) {
        sliceCount.slices = std::make_unique<WorkCounter>(plan.dimZ, 1);
        sliceCount.active.assign(static_cast<std::size_t>(plan.dimZ), 0);
        sliceCount.failedTarget.assign(static_cast<std::size_t>(plan.dimZ), -1);
    }
    shared.sliceCount = &sliceCount;
    shared.surrogateTasks = std::make_unique<WorkCounter>(surrogateTaskCount(shared), 1);
    shared.slices = std::make_unique<WorkCounter>(plan.dimZ, 1);

    // Every worker holds one slice of every target: with many cores that would be
    // much of the files at once, so the workers' slices are kept within a budget.
    int64_t sliceBytes = 0;
    for (const SliceSource* target : plan.targets) sliceBytes += target->sliceBytes();
    const int64_t byMemory = sliceBytes > 0 ? std::max<int64_t>(1, kSliceBufferBytes / sliceBytes) : threads;
    const int64_t available = team != nullptr ? team->size() : threads;
    const int wanted =
        static_cast<int>(std::max<int64_t>(1, std::min<int64_t>({threads, available, plan.dimZ, byMemory})));
    std::vector<std::unique_ptr<Worker>> workers;
    for (int w = 0; w < wanted; ++w) {
        workers.push_back(std::make_unique<Worker>());
        prepareWorker(shared, *workers.back());
    }

    shared.activeWait = activeWaitFor(wanted);
    // Without the run's team, a team of this loop's own: its threads start here,
    // so that nothing is allocated once the loop runs, and every one of them
    // takes part even if it starts late.
    std::unique_ptr<WorkerTeam> ownTeam;
    if (team == nullptr && wanted > 1) {
        ownTeam = std::make_unique<WorkerTeam>(wanted - 1, true);
        team = ownTeam.get();
    }
    const std::function<void(int)> task = [&](int w) {
        runWorker(shared, *workers[static_cast<std::size_t>(w)], w == 0);
    };
    notifyVoxelLoop(run.options.loopObserver, true);
    if (shared.draws > 1) startLaterDraws(shared, workers, wanted, team);
    runOnWorkers(wanted, task, team);
    notifyVoxelLoop(run.options.loopObserver, false);
    ownTeam.reset();
    // Every draw done: the generator stands where the last repetition of the pass leaves it.
    if (shared.failedSlice < 0 && shared.draws > 1) *shared.generator = shared.laterGenerators.back();

    progress.reportUpTo(shared.turnsDone.load());
    // A worker that did not run counted nothing.
    for (const std::unique_ptr<Worker>& worker : workers) {
        const VoxelLoopCounts& c = worker->counts;
        counts.skipped += c.skipped;
        counts.illDefined += c.illDefined;
        counts.surrogatesIllDefined += c.surrogatesIllDefined;
    }
    // A flag set while the last slices were computed stops the run all the same.
    if (cancelRequested(run.options)) return statusCancelled;
    if (shared.failedSlice >= 0) {
        failedTarget = shared.failedTarget;
        return statusTerminalError;
    }
    return statusSuccess;
}

}  // namespace ldi
