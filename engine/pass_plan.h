// What the two voxel loops share: the plan of a pass (what does not change from
// voxel to voxel), the draws of surrogate indices, the intensity test, the
// progress of the slices, the counts, and the observer of the loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "data/interval.h"
#include "engine/engine_input.h"
#include "engine/slice_source.h"
#include "stats/random.h"

namespace ldi {

struct VoiTimeCourse;

// Where the computation's progress events go.
using ProgressSink = std::function<void(const EngineProgress& event)>;

struct VoxelPassEntry {
    const std::vector<Interval>* intervals = nullptr;
    const VoiTimeCourse* record = nullptr;  // the reference time course from this entry's source
    int32_t target = 0;                     // index into VoxelPassPlan::targets
    int32_t numVolumes = 0;                 // of the target: values per voxel in its slice
};

// Everything about the pass that does not change from voxel to voxel.
struct VoxelPassPlan {
    std::vector<VoxelPassEntry> entries;  // the condition's entries, in order
    std::vector<SliceSource*> targets;    // distinct targets, each read once per slice
    int32_t dimX = 0;
    int32_t dimY = 0;
    int32_t dimZ = 0;
    int32_t order = 1;  // AR order p
    uint16_t inclusionThreshold = 0;
    const uint8_t* inclusionMask = nullptr;  // per voxel of the grid; null: the intensity test decides
    uint32_t surrogateCount = 0;
    int32_t longestInterval = 0;  // in volumes
};

// Where the surrogate index of each interval comes from: drawn on demand from
// a generator (the sequential pass, from the run's generator), or read
// from indices drawn beforehand in the same order.
struct SurrogateDraws {
    RandomState* generator = nullptr;
    const uint32_t* preset = nullptr;
    uint32_t surrogateCount = 1;

    uint32_t next() {
        if (preset != nullptr) return *preset++;
        return static_cast<uint32_t>(nextRandom(*generator)) % surrogateCount;
    }
};

struct VoxelLoopCounts {
    uint32_t skipped = 0;
    uint32_t illDefined = 0;
    uint32_t surrogatesIllDefined = 0;
};

// The progress value printed before slice z of dimZ: 0, 10, ..., 100.
int progressValue(int32_t z, int32_t dimZ);

// The progress of the voxel loop of one seed and condition, each value 0, 10,
// ..., 100 percent once, in slice order.
class SliceProgress {
public:
    SliceProgress(const ProgressSink* progress, int32_t dimZ, int32_t seed, int32_t condition)
        : progress_(progress), dimZ_(dimZ), seed_(seed), condition_(condition) {}
    // Reports slices [0, sliceCount) that were not reported yet.
    void reportUpTo(int32_t sliceCount);

private:
    const ProgressSink* progress_;  // null: not verbose
    int32_t dimZ_;
    int32_t seed_;
    int32_t condition_;
    int32_t reported_ = 0;
    int last_ = -1;
};

// The voxel's first value against the inclusion threshold: float data passes
// when above it (a NaN passes), 16-bit data when above it.
inline bool passesIntensityTest(const SliceValues& slice, bool holdsFloats, std::size_t cursor,
                                uint16_t threshold) {
    if (holdsFloats) return !(static_cast<float>(threshold) >= slice.floats[cursor]);
    return slice.shorts[cursor] > threshold;
}

// Calls the run's voxel-loop observer (EngineOptions::loopObserver) when it has one.
inline void notifyVoxelLoop(VoxelLoopObserver observer, bool entering) {
    if (observer != nullptr) observer(entering);
}

}  // namespace ldi
