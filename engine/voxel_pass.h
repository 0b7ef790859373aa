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

#include "engine/engine_input.h"
#include "engine/pass_plan.h"
#include "stats/matrix.h"

namespace ldi {

// Runs the pass for one seed and condition (indices into the input) and fills
// the work's realMeasures and nullMeasures (0 where a voxel has no value).
// Writes the condition's entries, intervals, time-point counts and voxel
// summary into runLog, and progress lines when the run is verbose.
// Returns 1; 2 when an interval does not fit the source or the target or
// is not longer than the AR order (nothing written to the volumes); 3 when a
// reference time course is missing or a slice cannot be read.
// The loop runs as the input's options say (EngineOptions: the method, the
// fast loop's threads) and draws the surrogate indices from the work's
// generator, leaving it where the last draw left it.
int computeConditionMeasures(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                             const ProgressSink& progress, std::ostream& runLog, std::ostream& errorStream);

// The message of a run stopped by its cancel flag (EngineOptions::cancel),
// which then ends with statusCancelled.
void writeStopped(std::ostream& errorStream);

// The pass with every null draw of the input (input.nullDraws): the first into
// the work's nullMeasures, the further ones into work.extraNulls (made for the
// grid where missing), in one pass or one pass per draw as the options say
// (EngineOptions::nullDrawMethod; the same bits either way). Statuses as above;
// after a failure the further draws hold nothing to go by.
int computeConditionDraws(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                          const ProgressSink& progress, std::ostream& runLog, std::ostream& errorStream);

// ---- The sequential loop's building blocks ----

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
    int64_t sliceStart = 0;           // grid index of the current slice's first voxel
};

// Allocates the work object's own matrices and slices for a plan.
void prepareVoxelWork(const VoxelPassPlan& plan, VoxelWork& work);

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

}  // namespace ldi
