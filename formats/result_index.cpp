#include "formats/result_index.h"

#include <algorithm>
#include <cmath>

namespace ldi {

namespace {

// ---- numbers in JSON -----------------------------------------------------------

// A float32 as the shortest decimal that reads back as the same float, so
// that 0.05f appears as 0.05 and not as 0.05000000074505806.
// The float32 value's exact double widening, which the JSON writer prints with
// up to 17 significant digits: a reader that parses it as a double and
// compares map voxels widened the same way finds every voxel at a threshold.
nlohmann::ordered_json jsonFloat(float value) {
    if (!std::isfinite(value)) return nullptr;
    return static_cast<double>(value);
}

}  // namespace

// ---- .json ---------------------------------------------------------------------

int64_t passingFromThreshold(const LdiMap& map, float threshold) {
    int64_t present = 0, atOrAbove = 0;
    float largest = 0.0f;
    for (float v : map.voxels) {
        if (v == 0.0f || !std::isfinite(v)) continue;
        const float magnitude = std::fabs(v);
        ++present;
        if (magnitude >= threshold) ++atOrAbove;
        largest = std::max(largest, magnitude);
    }
    if (threshold == 0.0f) return present;
    if (threshold == largest) return -1;
    return atOrAbove;
}

bool passingFromIndex(const std::string& jsonText, LdiFile& file) {
    const nlohmann::json index = nlohmann::json::parse(jsonText, nullptr, false);
    if (!index.is_object() || !index.contains("maps") || !index["maps"].is_array() ||
        index["maps"].size() != file.maps.size())
        return false;
    for (std::size_t m = 0; m < file.maps.size(); ++m) {
        const nlohmann::json& entry = index["maps"][m];
        if (!entry.is_object() || !entry.contains("displayName") || entry["displayName"] != file.maps[m].name)
            return false;
    }
    for (std::size_t m = 0; m < file.maps.size(); ++m) {
        LdiMap& map = file.maps[m];
        const nlohmann::json& levels = index["maps"][m]["fdrThresholds"];
        map.passingVoxels.assign(map.fdrThresholds.size(), -1);
        if (!levels.is_array()) continue;
        for (std::size_t t = 0; t < levels.size() && t < map.passingVoxels.size(); ++t)
            if (levels[t].is_object() && levels[t].contains("passingVoxels") &&
                levels[t]["passingVoxels"].is_number_integer())
                map.passingVoxels[t] = levels[t]["passingVoxels"].get<int64_t>();
    }
    return true;
}

nlohmann::ordered_json resultJson(const LdiFile& file, const ResultIdentity& identity,
                                  const std::string& mapFileName,
                                  const std::vector<std::string>& niftiFileNames,
                                  const std::vector<std::string>& warnings, long long rngSeed) {
    using nlohmann::ordered_json;
    const LdiGeometry& g = file.geometry;
    ordered_json document;
    document["formatVersion"] = 1;
    document["plugin"] = {{"name", identity.pluginName}, {"version", identity.pluginVersion}};
    document["mapFile"] = mapFileName;
    if (rngSeed >= 0) document["rngSeed"] = rngSeed;
    ordered_json box;
    box["xStart"] = g.xStart;
    box["xEnd"] = g.xEnd;
    box["yStart"] = g.yStart;
    box["yEnd"] = g.yEnd;
    box["zStart"] = g.zStart;
    box["zEnd"] = g.zEnd;
    ordered_json geometry;
    geometry["box"] = box;
    geometry["resolution"] = g.resolution;
    geometry["dimX"] = g.dimX;
    geometry["dimY"] = g.dimY;
    geometry["dimZ"] = g.dimZ;
    document["geometry"] = geometry;
    document["levels"] = file.levelLabels;
    ordered_json maps = ordered_json::array();
    for (std::size_t i = 0; i < file.maps.size(); ++i) {
        const LdiMap& map = file.maps[i];
        ordered_json entry;
        entry["index"] = i;
        entry["displayName"] = map.name;
        entry["niftiFile"] = i < niftiFileNames.size() ? niftiFileNames[i] : std::string();
        entry["mapKind"] = map.mapKind;
        entry["lowerThreshold"] = jsonFloat(map.lowerThreshold);
        entry["upperThreshold"] = jsonFloat(map.upperThreshold);
        ordered_json colours;
        colours["positiveLow"] = map.positiveColourLow;
        colours["positiveHigh"] = map.positiveColourHigh;
        colours["negativeLow"] = map.negativeColourLow;
        colours["negativeHigh"] = map.negativeColourHigh;
        colours["useNegativeColours"] = map.useNegativeColours;
        entry["colours"] = colours;
        ordered_json thresholds = ordered_json::array();
        // dLDI RC has no FDR thresholds: its zero slots are not listed as thresholds.
        const std::size_t levelCount = mapHasNoFdrThresholds(map) ? 0 : map.fdrThresholds.size();
        for (std::size_t t = 0; t < levelCount; ++t) {
            ordered_json level;
            const std::string label = t < file.levelLabels.size() ? file.levelLabels[t] : std::string();
            double q = 0.0;
            level["label"] = label;
            level["q"] = qFromLabel(label, q) ? ordered_json(q) : ordered_json(nullptr);
            level["threshold"] = jsonFloat(map.fdrThresholds[t]);
            const int64_t passing = t < map.passingVoxels.size() ? map.passingVoxels[t] : -1;
            level["passingVoxels"] = passing >= 0 ? ordered_json(passing) : ordered_json(nullptr);
            level["nonePasses"] = passing >= 0 ? ordered_json(passing == 0) : ordered_json(nullptr);
            thresholds.push_back(level);
        }
        entry["fdrThresholds"] = thresholds;
        maps.push_back(entry);
    }
    document["maps"] = maps;
    document["warnings"] = warnings;
    return document;
}
}  // namespace ldi
