// The voxel pass of one seed and one condition: for every voxel of the grid,
// the three influence measures of the seed's reference time course on the
// voxel's time course, and the same three with a randomly drawn surrogate of
// the reference in its place (the null values).
//
// The pass reads every distinct target source of the condition once, one z-slice
// at a time, and walks the voxels of a slice in file order. Nothing is
// allocated or sought inside the voxel loop. The loop body, processVoxel,
// works on a plan (read-only) and a work object (all scratch), so that faster
// variants (several work objects over several slices, indices drawn up front)
// can run beside the sequential pass, which stays the reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "data/interval.h"
#include "engine/slice_source.h"
#include "stats/matrix.h"
#include "stats/random.h"

struct ArModelWorkspace;
struct CovarianceAccumulator;
struct EngineInput;
struct EngineWork;
struct VoiTimeCourse;

// Where the computation's progress lines go (formatted for the log pane).
using ProgressLine = std::function<void(const std::string& text)>;

// Runs the pass for one seed and condition (indices into the input) and fills
// the work's realMeasures and nullMeasures (0 where a voxel has no value).
// Writes the condition's entries, intervals, time-point counts and voxel
// summary into runLog, and progress lines when the run is verbose.
// Returns 1; 2 when an interval does not fit the source or the target or
// is not longer than the AR order (nothing written to the volumes); 3 when a
// reference time course is missing or a slice cannot be read.
int computeConditionMeasures(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                             const ProgressLine& progress, std::ostream& runLog, std::ostream& errorStream);

// ---- How the voxel loop runs ----

// `fast` (the default) works on blocks of voxels in SIMD lanes on several
// threads; `sequential` is the plain loop over processVoxel on the calling
// thread, kept as the reference. Both give the same maps, counts and log lines,
// bit for bit.
enum class VoxelPassMethod { fast, sequential };
void setVoxelPassMethod(VoxelPassMethod method);
VoxelPassMethod voxelPassMethod();

// The fast loop runs on computationThreadCount() threads (stats/parallel.h).

// Called with true on the calling thread right before the voxel loop starts and
// with false right after every thread has left it; nothing is allocated between
// the two calls (tests count allocations there). Null removes the observer.
using VoxelLoopObserver = void (*)(bool entering);
void setVoxelLoopObserver(VoxelLoopObserver observer);

// ---- Building blocks of the pass ----

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
    uint32_t surrogateCount = 0;
    int32_t longestInterval = 0;  // in volumes
};

// The scratch of one voxel at a time. The sequential pass borrows the
// engine work's accumulators and models; a parallel variant gives every worker
// its own.
struct VoxelWork {
    CovarianceAccumulator* realAccumulator = nullptr;
    CovarianceAccumulator* nullAccumulator = nullptr;
    ArModelWorkspace* jointModel = nullptr;
    ArModelWorkspace* referenceModel = nullptr;
    ArModelWorkspace* voxelModel = nullptr;
    Matrix dataMatrix;             // 2 x longest interval, bases 0/0: reference row 0, voxel row 1
    std::vector<Matrix> voxelRows;  // per entry, 1 x numVolumes of its target, bases 1/1
    std::vector<SliceValues> slices;  // per target, the current slice
};

// Allocates the work object's own matrices and slices for a plan.
void prepareVoxelWork(const VoxelPassPlan& plan, VoxelWork& work);

// Where the surrogate index of each interval comes from: drawn on demand from
// a generator (the sequential pass, from the process-wide generator), or read
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

enum class VoxelOutcome { measured, skipped, illDefined, surrogateIllDefined };

// The six values of one voxel, in the order ref2vox, vox2ref, inst.
struct VoxelValues {
    float real[3] = {0.0f, 0.0f, 0.0f};
    float null[3] = {0.0f, 0.0f, 0.0f};
};

// One voxel of the current slices: `voxelInSlice` = y * dimX + x. The work's
// slices must hold the current slice of every target. Skipped and ill-defined voxels
// get zeros; a surrogate that cannot be fitted gets zero null values. Draws
// one surrogate index per interval (none for a skipped voxel).
VoxelOutcome processVoxel(const VoxelPassPlan& plan, VoxelWork& work, int64_t voxelInSlice, SurrogateDraws& draws,
                          VoxelValues& values);

// The progress value printed before slice z of dimZ: 0, 10, ..., 100.
int progressValue(int32_t z, int32_t dimZ);

// The progress lines of the voxel loop, each value 0, 10, ..., 100 once, in
// slice order.
class SliceProgress {
public:
    SliceProgress(const ProgressLine* progress, int32_t dimZ) : progress_(progress), dimZ_(dimZ) {}
    // Reports slices [0, sliceCount) that were not reported yet.
    void reportUpTo(int32_t sliceCount);

private:
    const ProgressLine* progress_;  // null: not verbose
    int32_t dimZ_;
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
