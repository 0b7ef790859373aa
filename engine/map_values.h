// The maps of one seed and condition: the six kinds derived from the real and
// the surrogate measure volumes, and their false-discovery-rate thresholds
// found against the surrogate (null) values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <vector>

#include "config/global_parameters.h"

namespace ldi {

struct FloatVolume;
struct MapThresholds;
struct MeasureVolumes;
class WorkerTeam;

// Empirical-null FDR search. For every q value, the smallest absolute nonzero
// map value that still passed before the first failing one (walking down from
// the largest), the largest value when already that one fails, or 0 when none
// fails. thresholds[t] belongs to qValues[t], whatever order the list is in;
// entries are only overwritten, so callers pass zeros. cV 1 uses c = 1, cV 2
// c = ln(n) + 0.5772 (any other value is reported and treated like 2, the
// stricter constant). Zeros and non-finite values count as absent. Without
// any nonzero null value every map value has p = 1. False only when the map
// has no nonzero value (thresholds then untouched). `passing`, when given,
// receives per q value the number of map values that pass (0 for a map
// without nonzero values), which the threshold alone cannot tell when it
// equals the largest value.
bool findFdrThresholds(const std::vector<float>& qValues, const FloatVolume& map, const FloatVolume& nullMap,
                       int32_t cV, std::vector<float>& thresholds, std::ostream& errorStream,
                       std::vector<int64_t>* passing = nullptr);

// The same search on plain arrays of values.
bool findFdrThresholds(const std::vector<float>& qValues, const float* map, std::size_t mapCount,
                       const float* nullMap, std::size_t nullCount, int32_t cV, std::vector<float>& thresholds,
                       std::ostream& errorStream, std::vector<int64_t>* passing = nullptr);

// Appends the complaint about a cV constant other than 1 or 2 to errorStream.
void reportUnknownConstant(int32_t cV, std::ostream& errorStream);

// True for the map kinds that get FDR thresholds (all but dLDI RC).
bool hasFdrThresholds(MapType type);

// The values of map kind `type` for every voxel of the measure volumes, into
// out[0 .. voxels), shared out over the team's threads (each value is one
// float32 expression of its voxel, so the split cannot change it).
void fillMapValues(MapType type, const MeasureVolumes& real, const GlobalParameters& parameters, float* out,
                   WorkerTeam* team);

// The FDR thresholds of every kind in parameters.mapTypesComputed, in that
// order, each searched against the same kind formed from the null volumes, on
// the team's threads, or without a team on threadCountFor(threads) threads of
// its own (the result does not depend on their number).
std::vector<MapThresholds> findMapThresholds(const MeasureVolumes& real, const MeasureVolumes& null,
                                             const GlobalParameters& parameters, WorkerTeam* team, int threads);

}  // namespace ldi
