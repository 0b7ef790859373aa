// The fast voxel loop: the voxels of a slice in blocks of SIMD lanes (see
// engine/voxel_lanes.h), the slices spread over several threads.
//
// It gives the sequential loop's results bit for bit, for any number of threads:
// - every worker reads its own slices (positional reads, so no shared file
//   position), tests the voxels' first values, and then waits for its turn: the
//   turns go in slice order, and in its turn a worker takes a copy of the
//   run's generator and moves the generator past the draws of all the
//   slice's voxels (a jump, not the draws themselves); it then draws each voxel's
//   indices from its copy in voxel order, exactly as the sequential loop would,
//   while the fits run in parallel, so no memory grows with the intervals;
// - a slice that cannot be read ends the loop in its turn, so the slices before it
//   are complete, none after it is computed, and the generator stands where the
//   sequential loop would have left it;
// - progress lines are handed on from the calling thread only, in slice order,
//   up to the slice whose turn came last;
// - with several surrogate draws per voxel, every draw is computed while the
//   slice is at hand, and the real measures once: draw d of a voxel takes the
//   indices the d-th repetition of the whole pass would draw, from a generator
//   of its own started d passes' draws on (a jump; the draws of a pass are the
//   analysed voxels times the intervals, counted beforehand), and the run's
//   generator ends where the last repetition would leave it. A slice that cannot
//   be read fails as the first pass would: its further draws are not kept.
// What is the same for every voxel of an interval (the detrended reference and
// its lag products; every surrogate row detrended once, with its own lag products)
// is prepared before the loop. Everything the loop needs is allocated before it
// starts, so nothing is allocated while it runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine_input.h"
#include "engine/pass_plan.h"

namespace ldi {

struct LaneKernel;
struct MeasureVolumes;
class WorkerTeam;

// What one fast loop runs with: the lane kernel, the run's options (its threads,
// the surrogate cache limit, the loop observer), the run's helper threads (null:
// threads of the loop's own) and the run's generator, which the loop moves on
// past every draw of the pass.
struct FastLoopRun {
    const LaneKernel& kernel;
    const EngineOptions& options;
    WorkerTeam* team;
    RandomState& generator;
};

// The voxel loop of the pass on threadCountFor(options.threads) threads (the
// caller's included; fewer when the grid has fewer slices or the system refuses
// a thread), on the threads of the team when there is one (then at most its
// size). Fills the real volumes, the null volumes of each of the `draws` draws
// (nulls[0] the first) and the counts (of the first draw) and returns 1; returns
// 3 when a slice cannot be read, with `failedTarget` the index in plan.targets
// of the source that failed.
int runFastVoxelLoop(const VoxelPassPlan& plan, const FastLoopRun& run, SliceProgress& progress,
                     MeasureVolumes& real, MeasureVolumes* const* nulls, int32_t draws, VoxelLoopCounts& counts,
                     int& failedTarget);

}  // namespace ldi
