// A run's data-quality numbers, as the reports and the participant level's
// record give them: enough to see at once a run unlike the others.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/analysis.h"

namespace ldi {

struct RunQualityNumbers {
    std::string run;  // the run's file name
    int32_t timePoints = 0, skipped = 0;
    double medianTsnr = 0.0;       // over the analysed voxels
    bool fdKnown = false;
    double meanFd = 0.0;           // mm, over the analysed volumes, when the confounds give it
    int64_t voxelsAnalysed = 0;
};

// The framewise displacement of a run from its confounds table (one value a
// volume, the first row's n/a filled); empty when it has none.
std::vector<float> framewiseDisplacement(const RunRequest& run);

// Every run's numbers from what the analysis recorded of it.
std::vector<RunQualityNumbers> qualityNumbers(const AnalysisResults& results);

nlohmann::json qualityJson(const std::vector<RunQualityNumbers>& numbers);

}  // namespace ldi
