#include "simulation/demo.h"

#include <algorithm>
#include <cstdio>

#include "pictures/montage.h"

namespace ldi {

namespace {

const char BACKGROUND[] = "Background";

bool findMapNamed(const LdiFile& maps, const std::string& name, std::size_t& index) {
    for (std::size_t m = 0; m < maps.maps.size(); ++m)
        if (maps.maps[m].name == name) {
            index = m;
            return true;
        }
    return false;
}

}  // namespace

bool scoreGroundTruth(const GroundTruth& truth, const LdiFile& maps, double q, std::vector<RegionScore>& scores,
                      std::string& problem) {
    scores.clear();
    const LdiGeometry& g = maps.geometry;
    if (g.dimX != truth.dimX || g.dimY != truth.dimY || g.dimZ != truth.dimZ) {
        problem = "the maps' grid (" + std::to_string(g.dimX) + " x " + std::to_string(g.dimY) + " x " +
                  std::to_string(g.dimZ) + ") is not the ground truth's (" + std::to_string(truth.dimX) + " x " +
                  std::to_string(truth.dimY) + " x " + std::to_string(truth.dimZ) + ")";
        return false;
    }
    auto score = [&](const std::string& region, char letter, const std::string& condition,
                     const std::string& kind, bool planted) {
        RegionScore s;
        s.region = region;
        s.condition = condition;
        s.mapName = condition + ": " + kind;
        s.planted = planted;
        std::size_t index = 0;
        if (!findMapNamed(maps, s.mapName, index)) {
            problem = "the results hold no map \"" + s.mapName + "\"";
            return false;
        }
        MapDisplay display;
        std::string notice;
        if (!chooseDisplay(maps, index, true, q, display, problem, notice)) return false;
        const MapValues& voxels = maps.maps[index].voxels;
        for (std::size_t v = 0; v < truth.grid.size() && v < voxels.size(); ++v) {
            if (truth.grid[v] != letter) continue;
            ++s.voxels;
            if (isShown(display, voxels[v])) ++s.passing;
        }
        scores.push_back(s);
        return true;
    };
    for (const TruthCondition& condition : truth.conditions) {
        for (const TruthRegion& region : truth.regions) {
            const bool planted = std::find(region.plantedIn.begin(), region.plantedIn.end(), condition.name) !=
                                 region.plantedIn.end();
            if (!score(region.name, region.letter, condition.name, region.mapKind, planted)) return false;
        }
        std::vector<std::string> kinds;
        for (const TruthRegion& region : truth.regions)
            if (std::find(kinds.begin(), kinds.end(), region.mapKind) == kinds.end()) kinds.push_back(region.mapKind);
        for (const std::string& kind : kinds)
            if (!score(BACKGROUND, TRUTH_BACKGROUND, condition.name, kind, false)) return false;
    }
    return true;
}

std::string sharePercent(double share) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%5.1f%%", share * 100.0);
    return buffer;
}

std::vector<std::string> demoFailures(const std::vector<RegionScore>& scores) {
    std::vector<std::string> failures;
    for (const RegionScore& s : scores) {
        if (s.planted && s.share() < FOUND_SHARE)
            failures.push_back("the " + s.region + " region's effect was not found on \"" + s.mapName + "\": only " +
                               std::to_string(s.passing) + " of its " + std::to_string(s.voxels) +
                               " voxels pass (at least half should)");
        if (s.region == BACKGROUND && s.share() > BACKGROUND_SHARE_LIMIT)
            failures.push_back("too many background voxels pass on \"" + s.mapName + "\": " +
                               std::to_string(s.passing) + " of " + std::to_string(s.voxels) + " (" +
                               sharePercent(s.share()) + "; at most " + sharePercent(BACKGROUND_SHARE_LIMIT) + " expected)");
    }
    return failures;
}

}  // namespace ldi
