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
// every target file).
constexpr int64_t kSliceBufferBytes = int64_t{48} << 20;

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
    // Where the run's generator stood at the slice's turn: the worker
    // draws its voxels' indices from a copy, in the sequential loop's order,
    // while the turn has moved the generator on past them.
    RandomState sliceDraws;
    AlignedFloats scratch;
    std::vector<const void*> rows;               // entries x lanes
    std::vector<const float*> surrogates;        // intervals x lanes
    std::vector<const float*> surrogateLags;     // intervals x lanes
    std::vector<float> ownSurrogates;            // without the cache: intervals x lanes rows
    std::vector<float> ownSurrogateLags;         // ... and their lag products
    std::vector<std::size_t> ownSurrogateOffset;  // per interval, in ownSurrogates
    LaneResults results;
    VoxelLoopCounts counts;
};

struct Shared {
    const VoxelPassPlan* plan = nullptr;
    const LaneKernel* kernel = nullptr;
    PassTables* tables = nullptr;
    float* out[6] = {};
    int32_t intervalCount = 0;
    RandomState* generator = nullptr;  // the run's, moved on turn by turn

    std::unique_ptr<WorkCounter> surrogateTasks;
    std::atomic<int64_t> surrogateTasksDone{0};
    std::unique_ptr<WorkCounter> slices;
    std::atomic<bool> stop{false};
    // Slices whose draw turn has passed, which is also the slice whose turn it is.
    std::atomic<int32_t> turnsDone{0};

    std::chrono::microseconds activeWait{0};  // before a waiting worker sleeps
    std::mutex lock;
    std::condition_variable changed;
    int32_t failedSlice = -1;
    int32_t failedTarget = -1;

    // Progress, on the calling thread only.
    SliceProgress* progress = nullptr;
};

void prepareWorker(const Shared& shared, Worker& worker) {
    const VoxelPassPlan& plan = *shared.plan;
    const PassTables& tables = *shared.tables;
    const int32_t lanes = shared.kernel->blockLanes;
    worker.slices.resize(plan.targets.size());
    for (std::size_t t = 0; t < plan.targets.size(); ++t) plan.targets[t]->allocateSlice(worker.slices[t]);
    const std::size_t voxels = static_cast<std::size_t>(plan.dimX) * static_cast<std::size_t>(plan.dimY);
    worker.active.assign(voxels, 0);
    worker.scratch.allocate(shared.kernel->scratchFloats(tables.pass));
    worker.rows.assign(plan.entries.size() * static_cast<std::size_t>(lanes), nullptr);
    const std::size_t intervalLanes = tables.intervals.size() * static_cast<std::size_t>(lanes);
    worker.surrogates.assign(intervalLanes, nullptr);
    worker.surrogateLags.assign(intervalLanes, nullptr);
    if (!tables.cached) {
        std::size_t rows = 0;
        worker.ownSurrogateOffset.clear();
        for (const LaneInterval& lane : tables.intervals) {
            worker.ownSurrogateOffset.push_back(rows);
            rows += static_cast<std::size_t>(lanes) * static_cast<std::size_t>(lane.length);
        }
        worker.ownSurrogates.assign(rows, 0.0f);
        worker.ownSurrogateLags.assign(intervalLanes * (static_cast<std::size_t>(plan.order) + 1), 0.0f);
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
        for (float* out : shared.out) out[sliceStart + v] = 0.0f;
    }
}

void computeBlocks(const Shared& shared, Worker& worker, std::size_t activeCount, int64_t sliceStart) {
    const VoxelPassPlan& plan = *shared.plan;
    const PassTables& tables = *shared.tables;
    const LaneKernel& kernel = *shared.kernel;
    const int32_t lanes = kernel.blockLanes;
    const std::size_t intervals = tables.intervals.size();
    const std::size_t lagCount = static_cast<std::size_t>(plan.order) + 1;
    // The voxels draw in voxel order, each one index per interval, as in the
    // sequential loop.
    SurrogateDraws draws;
    draws.generator = &worker.sliceDraws;
    draws.surrogateCount = plan.surrogateCount;
    for (std::size_t a0 = 0; a0 < activeCount; a0 += static_cast<std::size_t>(lanes)) {
        const auto used = static_cast<int32_t>(std::min<std::size_t>(static_cast<std::size_t>(lanes), activeCount - a0));
        for (int32_t lane = 0; lane < lanes; ++lane) {
            // Lanes past the last voxel repeat it; their results are dropped.
            const std::size_t a = a0 + static_cast<std::size_t>(std::min(lane, used - 1));
            const auto voxel = static_cast<std::size_t>(worker.active[a]);
            for (std::size_t e = 0; e < plan.entries.size(); ++e) {
                const VoxelPassEntry& entry = plan.entries[e];
                const SliceValues& slice = worker.slices[static_cast<std::size_t>(entry.target)];
                const std::size_t at =
                    voxel * static_cast<std::size_t>(entry.numVolumes) + static_cast<std::size_t>(tables.entryStart[e]);
                worker.rows[e * static_cast<std::size_t>(lanes) + static_cast<std::size_t>(lane)] =
                    tables.entries[e].isFloat ? static_cast<const void*>(slice.floats.get() + at)
                                              : static_cast<const void*>(slice.shorts.get() + at);
            }
            for (std::size_t i = 0; i < intervals; ++i) {
                const std::size_t slot = i * static_cast<std::size_t>(lanes) + static_cast<std::size_t>(lane);
                if (lane >= used) {
                    // A repeated voxel draws nothing: it takes the last voxel's surrogates.
                    const std::size_t last = i * static_cast<std::size_t>(lanes) + static_cast<std::size_t>(used - 1);
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
                    float* row = worker.ownSurrogates.data() + worker.ownSurrogateOffset[i] +
                                 static_cast<std::size_t>(lane) * length;
                    float* lags = worker.ownSurrogateLags.data() + slot * lagCount;
                    detrendSurrogate(tables, i, s, plan.order, row, lags);
                    worker.surrogates[slot] = row;
                    worker.surrogateLags[slot] = lags;
                }
            }
        }
        LaneBlock block;
        block.lanes = used;
        block.rows = worker.rows.data();
        block.surrogates = worker.surrogates.data();
        block.surrogateLags = worker.surrogateLags.data();
        kernel.processBlock(tables.pass, block, worker.scratch.data(), worker.results);
        for (int32_t lane = 0; lane < used; ++lane) {
            const int64_t at = sliceStart + worker.active[a0 + static_cast<std::size_t>(lane)];
            for (int k = 0; k < 6; ++k) shared.out[k][at] = worker.results.values[k][lane];
            switch (worker.results.outcome[lane]) {
            case LaneOutcome::illDefined: ++worker.counts.illDefined; break;
            case LaneOutcome::surrogateIllDefined: ++worker.counts.surrogatesIllDefined; break;
            case LaneOutcome::measured: break;
            }
        }
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
        worker.sliceDraws = *shared.generator;
        skipRandom(*shared.generator,
                   static_cast<uint64_t>(activeCount) * static_cast<uint64_t>(shared.intervalCount));
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
        const auto z = static_cast<int32_t>(slice);
        int32_t failedTarget = -1;
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

}  // namespace

int runFastVoxelLoop(const VoxelPassPlan& plan, const FastLoopRun& run, SliceProgress& progress,
                     MeasureVolumes& real, MeasureVolumes& null, VoxelLoopCounts& counts, int& failedTarget) {
    counts = VoxelLoopCounts{};
    failedTarget = -1;
    PassTables tables;
    buildTables(plan, run.options.surrogateCacheLimit, tables);
    const int threads = threadCountFor(run.options.threads);
    WorkerTeam* team = run.team;

    Shared shared;
    shared.plan = &plan;
    shared.kernel = &run.kernel;
    shared.generator = &run.generator;
    shared.tables = &tables;
    shared.progress = &progress;
    shared.intervalCount = static_cast<int32_t>(tables.intervals.size());
    float* const out[6] = {real.ref2vox.data(), real.vox2ref.data(), real.inst.data(),
                           null.ref2vox.data(), null.vox2ref.data(), null.inst.data()};
    std::copy(out, out + 6, shared.out);
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
    runOnWorkers(wanted, task, team);
    notifyVoxelLoop(run.options.loopObserver, false);
    ownTeam.reset();

    progress.reportUpTo(shared.turnsDone.load());
    // A worker that did not run counted nothing.
    for (const std::unique_ptr<Worker>& worker : workers) {
        const VoxelLoopCounts& c = worker->counts;
        counts.skipped += c.skipped;
        counts.illDefined += c.illDefined;
        counts.surrogatesIllDefined += c.surrogatesIllDefined;
    }
    if (shared.failedSlice >= 0) {
        failedTarget = shared.failedTarget;
        return statusTerminalError;
    }
    return statusSuccess;
}

}  // namespace ldi
