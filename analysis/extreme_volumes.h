// Volumes whose values lie so far from the rest of a run that they swamp it:
// one volume of 1e10 in a run of values near 1000 makes every voxel's model
// singular, and the maps of zeros that follow would otherwise pass for a result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/analysis.h"

namespace ldi {

// How many median absolute deviations from the median make a value extreme:
// far beyond any physiological or motion spike, reached only by broken data.
constexpr double EXTREME_DEVIATIONS = 1000.0;

// The volumes (numbered from 1) of a time course from `skip` on whose value
// lies more than EXTREME_DEVIATIONS median absolute deviations from the
// median of those volumes, or that is not finite (stats' extremeValues).
std::vector<int32_t> extremeVolumes(const std::vector<float>& values, int32_t skip);

// One warning per run whose seeds' mean time courses hold extreme volumes,
// naming the run, the seed and the volumes.
void warnOfExtremeVolumes(const std::vector<SeedOutcome>& seeds, const std::vector<std::string>& runPaths,
                          int32_t skip, std::vector<std::string>& warnings);

}  // namespace ldi
