// The data-quality figures of a run: the carpet plot (a sample of voxels in
// rows, grouped, their values over time in columns, with the global signal,
// the framewise displacement when the confounds give it, and the skipped
// volumes and the conditions marked), drawn with cairo from plain numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/run_quality.h"
#include "pictures/report_parts.h"

namespace ldi {

struct CarpetGroup {
    std::string name;
    int32_t rows = 0;
};

struct CarpetFigure {
    std::string title;
    int32_t volumes = 0;
    std::vector<float> rows;            // [row * volumes + volume], each row standardised over time
    std::vector<CarpetGroup> groups;    // the rows in order, group after group
    std::vector<float> globalSignal;    // per volume: the mean of the analysed rows' values as read
    std::vector<float> framewiseDisplacement;  // per volume, in mm; empty: not known
    int32_t skipped = 0;                // leading volumes the analysis leaves out
    std::vector<Shade> conditions;      // spans of volumes (1-based), as the seed's time course shades them
    std::vector<std::string> conditionNames;
};

// The carpet of a run from what its reading kept: the sampled voxels that
// vary over time, the seeds' first, then the analysed ones, then the others
// (outside the brain mask, or left out); at most `maxRows` rows, evenly
// thinned within each group. Each row is shown as z over time (its mean and
// SD from the first analysed volume on).
CarpetFigure carpetOf(const RunQuality& quality, const std::vector<uint8_t>& analysed,
                      const std::vector<uint8_t>& seeds, std::size_t maxRows);

// Where drawCarpet puts its parts, in pixels from the top left.
struct CarpetLayout {
    int32_t width = 0, height = 0;
    int32_t left = 0, plotWidth = 0;
    int32_t globalTop = 0, bandHeight = 0, fdTop = -1;  // fdTop -1: no displacement band
    int32_t stripTop = 0, carpetTop = 0, carpetHeight = 0, axisTop = 0, legendTop = 0;
};

CarpetLayout layoutCarpet(const CarpetFigure& figure);

// The carpet plot as PNG bytes. False with a message.
bool drawCarpet(const CarpetFigure& figure, std::string& png, std::string& problem);

}  // namespace ldi
