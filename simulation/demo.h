// The scoring of `ldi demo`: a whole analysis of a simulated data set through the plug-in,
// with pictures, checked against the data set's ground truth.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/ldi_file.h"
#include "simulation/simulate.h"

namespace ldi {

// The share of a region's voxels that pass a map's threshold at q.
struct RegionScore {
    std::string region;     // a region's name, or "Background"
    std::string mapName;    // e.g. "Task: Ref2Vox"
    std::string condition;
    bool planted = false;   // the region's effect exists in this condition
    int64_t voxels = 0;
    int64_t passing = 0;

    double share() const { return voxels > 0 ? static_cast<double>(passing) / static_cast<double>(voxels) : 0.0; }
};

// A planted effect counts as found when at least this share of its voxels
// pass; at most this share of background voxels may pass on any map scored.
constexpr double FOUND_SHARE = 0.5;
constexpr double BACKGROUND_SHARE_LIMIT = 0.05;

// Scores every region of the ground truth on its map of every condition, and
// the background voxels on every map kind the regions use, at the given q
// (the pass rule is the pictures': nonzero and |value| at or above the map's
// FDR threshold; unsigned maps count positive values only). False with a
// message when a map is missing or the grids differ.
bool scoreGroundTruth(const GroundTruth& truth, const LdiFile& maps, double q, std::vector<RegionScore>& scores,
                      std::string& problem);

// The scores that fail the demo: planted effects below FOUND_SHARE and
// background shares above BACKGROUND_SHARE_LIMIT, one line each.
std::vector<std::string> demoFailures(const std::vector<RegionScore>& scores);

// A share as a percentage with one decimal in at least six characters
// (" 12.5%"), as the demo's table and its failures print it.
std::string sharePercent(double share);

}  // namespace ldi
