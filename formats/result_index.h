// NAME.json, the index of a saved map set: what its files hold (maps,
// thresholds with the voxels passing them, geometry), for readers that do not
// parse the .ldi format, and the passing counts a later reader takes back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "formats/ldi_file.h"

namespace ldi {

struct ResultIdentity {
    std::string pluginName;
    std::string pluginVersion;
};

// How many voxels of a map pass at FDR threshold `threshold` as the map
// alone tells: every nonzero value at 0, every magnitude at or above it
// otherwise, and -1 (unknown) for a threshold equal to the largest magnitude,
// which the search gives both when only the top passes and when none does.
int64_t passingFromThreshold(const LdiMap& map, float threshold);

// The passing counts of the maps of `file` from the JSON index `jsonText` of
// the same save (matched by map count and names); false when it has none.
bool passingFromIndex(const std::string& jsonText, LdiFile& file);

// The NAME.json document of a saved map set, keys in a fixed order. Per map
// and level the number of passing voxels when known (LdiMap::passingVoxels);
// `rngSeed` (the seed of the run's random numbers) when not negative.
nlohmann::ordered_json resultJson(const LdiFile& file, const ResultIdentity& identity,
                                  const std::string& mapFileName,
                                  const std::vector<std::string>& niftiFileNames,
                                  const std::vector<std::string>& warnings = {}, long long rngSeed = -1);

}  // namespace ldi
