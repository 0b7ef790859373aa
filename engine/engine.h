// The computation of a run as a library call. Given the voxel time courses
// (sources read a slice at a time), the reference time courses of every seed,
// the conditions as lists of intervals per source and the parameters, the
// engine draws the surrogates, runs the voxel pass of every seed and condition
// and derives the maps and their FDR thresholds.
//
// It calls no host: whatever shows progress, keeps the maps or writes result
// files is the caller's, through an EngineListener. Every listener call comes
// from the thread that called the engine. It keeps nothing between calls:
// runs with their own input and work objects may go on side by side.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "engine/engine_input.h"

namespace ldi {

// The measure volumes for a grid (large: worth preparing while something else waits).
void allocateMeasureVolumes(EngineWork& work, const GridSize& grid);
// The accumulators and model workspaces for AR order `order`.
void allocateModelWork(EngineWork& work, int32_t order);
// Releases the volumes, then the work objects, last the helper threads.
void releaseEngineWork(EngineWork& work);

// The maps of one condition from the work's measure volumes: the thresholds of
// every kind first (the expensive part, on every thread), then each map's
// values into the listener's buffer, one map at a time in map order.
int assembleConditionMaps(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                          EngineListener& listener, std::ostream& errorStream);

// The whole computation: the surrogates of every reference time course, then
// for every seed and condition the voxel pass and the maps. The run log of each
// seed (entries, intervals, time points, voxel counts) goes to runLog, which
// the listener may reset in beginSeed. Returns 1, or the first other status
// with its message in errorStream. `work` must hold the measure volumes and
// the model work (see the allocate functions above).
int runEngine(const EngineInput& input, EngineWork& work, EngineListener& listener, std::ostream& runLog,
              std::ostream& errorStream);

}  // namespace ldi
