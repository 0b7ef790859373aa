// How many voxels of each map of the VOI being computed pass at each q value.
// The map header only carries thresholds, and a threshold equal to a map's
// largest value means both "the top voxel passes" and "nothing passes"; a host
// that asks (through the plug-in's optional export) gets the count instead.
#pragma once

#include <cstdint>
#include <vector>

namespace ldi {

// Forgets the maps of the previous VOI.
void clearPassRecord();

// The counts of map `mapIndex` of the current map set, one per q slot (in the
// configured order); empty for a map without FDR thresholds.
void recordPassing(int32_t mapIndex, const std::vector<int64_t>& passing);

// The count of map `mapIndex` at q slot `level`: -1 when unknown, -2 when the
// map has no FDR thresholds.
int64_t passingVoxels(int32_t mapIndex, int32_t level);

}  // namespace ldi
