// The maps of one VOI and condition: the six kinds derived from the real and
// the surrogate measure volumes, written into the host's map buffers, and
// their false-discovery-rate thresholds found against the surrogate (null)
// values.
#pragma once

#include <cstdint>
#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "config/global_parameters.h"

struct AnalysisContext;
struct AnalysisSetup;
struct Condition;
struct FloatVolume;
struct SelectedVoi;

// Empirical-null FDR search. For every q value, the smallest absolute nonzero
// map value that still passed before the first failing one (walking down from
// the largest), the largest value when already that one fails, or 0 when none
// fails. thresholds[t] belongs to qValues[t], whatever order the list is in;
// entries are only overwritten, so callers pass zeros. cV 1 uses c = 1, cV 2
// c = ln(n) + 0.5772 (any other value is reported and treated like 2, the
// stricter constant). Zeros and non-finite values count as absent. Without
// any nonzero null value every map value has p = 1. False only when the map
// has no nonzero value (thresholds then untouched).
bool findFdrThresholds(const std::vector<float>& qValues, const FloatVolume& map, const FloatVolume& nullMap,
                       int32_t cV, std::vector<float>& thresholds, std::ostream& errorStream);

// The same search on plain arrays of values.
bool findFdrThresholds(const std::vector<float>& qValues, const float* map, std::size_t mapCount,
                       const float* nullMap, std::size_t nullCount, int32_t cV, std::vector<float>& thresholds,
                       std::ostream& errorStream);

// The display name of a map, "<condition>: Ref2Vox" and so on, cut to what
// the host's name buffer holds.
void formatMapName(MapType type, const std::string& conditionName, char* buffer, std::size_t capacity);

// Writes every computed map kind of this condition into the host's map set
// (map index |kinds| * conditionIndex + k), with name, display thresholds,
// colours and FDR thresholds. Reads the context's realMeasures and
// nullMeasures. Returns 1, or 3 when the host hands out no buffer for a map
// or a map kind is unknown (message in errorStream).
int assembleMaps(AnalysisContext& context, const SelectedVoi& voi, const Condition& condition,
                 int32_t conditionIndex, const AnalysisSetup& setup, std::ostream& errorStream);
