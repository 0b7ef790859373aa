// The voxel pass of one VOI and one condition: for every voxel of the grid,
// the three influence measures of the VOI's reference time course on the
// voxel's time course, and the same three with a randomly drawn surrogate of
// the reference in its place (the null values).
//
// The pass reads every distinct target VTC of the condition once, one z-slice
// at a time, and walks the voxels of a slice in file order. Nothing is
// allocated or sought inside the voxel loop. The loop body, processVoxel,
// works on a plan (read-only) and a work object (all scratch), so that faster
// variants (several work objects over several slices, indices drawn up front)
// can run beside the sequential pass, which stays the reference.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "stats/matrix.h"
#include "stats/random.h"

struct AnalysisContext;
struct AnalysisSetup;
struct ArModelWorkspace;
struct Condition;
struct CovarianceAccumulator;
struct SelectedVoi;
struct VoiTimeCourse;
struct VtcEntry;
struct VtcFile;

// Runs the pass for one VOI and condition and fills the context's
// realMeasures and nullMeasures (0 where a voxel has no value). Writes the
// condition's entries, intervals, time-point counts and voxel summary into
// runLog, and progress lines into the host log when verbose.
// Returns 1; 2 when an interval does not fit the source or the target VTC or
// is not longer than the AR order (nothing written to the volumes); 3 when a
// reference record is missing or a slice cannot be read.
int computeConditionMeasures(AnalysisContext& context, const SelectedVoi& voi, const Condition& condition,
                             const AnalysisSetup& setup, std::ostream& runLog, std::ostream& errorStream);

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
    const VtcEntry* entry = nullptr;
    const VoiTimeCourse* record = nullptr;  // the reference of this entry's source VTC
    int32_t target = 0;                     // index into VoxelPassPlan::targets
    int32_t numVolumes = 0;                 // of the target VTC: values per voxel in its slice
};

// Everything about the pass that does not change from voxel to voxel.
struct VoxelPassPlan {
    std::vector<VoxelPassEntry> entries;  // the condition's entries, in order
    std::vector<VtcFile*> targets;        // distinct target files, each read once per slice
    int32_t dimX = 0;
    int32_t dimY = 0;
    int32_t dimZ = 0;
    int32_t order = 1;  // AR order p
    uint16_t inclusionThreshold = 0;
    uint32_t surrogateCount = 0;
    int32_t longestInterval = 0;  // in volumes
};

// The scratch of one voxel at a time. The sequential pass borrows the
// context's accumulators and models; a parallel variant gives every worker
// its own.
struct VoxelWork {
    CovarianceAccumulator* realAccumulator = nullptr;
    CovarianceAccumulator* nullAccumulator = nullptr;
    ArModelWorkspace* jointModel = nullptr;
    ArModelWorkspace* referenceModel = nullptr;
    ArModelWorkspace* voxelModel = nullptr;
    Matrix dataMatrix;             // 2 x longest interval, bases 0/0: reference row 0, voxel row 1
    std::vector<Matrix> voxelRows;  // per entry, 1 x numVolumes of its target, bases 1/1
};

// Allocates the work object's own matrices for a plan.
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

// One voxel of the current slices: `voxelInSlice` = y * dimX + x. The targets'
// slice buffers must hold the current slice. Skipped and ill-defined voxels
// get zeros; a surrogate that cannot be fitted gets zero null values. Draws
// one surrogate index per interval (none for a skipped voxel).
VoxelOutcome processVoxel(const VoxelPassPlan& plan, VoxelWork& work, int64_t voxelInSlice, SurrogateDraws& draws,
                          VoxelValues& values);

// The progress value printed before slice z of dimZ: 0, 10, ..., 100.
int progressValue(int32_t z, int32_t dimZ);
