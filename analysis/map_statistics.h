// The statistics options of `ldi map`: which FDR method thresholds the maps,
// how many surrogate draws per voxel its null gets, under which dependence,
// and whether p-value or z maps are written beside the maps.
#pragma once

#include <string>

#include "engine/fdr_methods.h"

namespace ldi {

struct EngineInput;
struct MapRunRecord;

// The default method: the calibration (scripts/calibrate-fdr, docs/statistics.md)
// shows it keeps the false-discovery proportion at or below q on every map kind.
constexpr FdrMethod DEFAULT_FDR_METHOD = FdrMethod::permutation;
// Surrogate draws per voxel for the permutation p-values when none are given.
constexpr int DEFAULT_NULL_DRAWS = 10;

struct MapStatisticsOptions {
    FdrMethod fdr = DEFAULT_FDR_METHOD;
    int nullDraws = 0;                    // 0: DEFAULT_NULL_DRAWS where permutation p-values are needed, else 1
    std::string dependence = "positive";  // or "arbitrary" (Benjamini-Yekutieli)
    std::string writeP;                   // "", "p" or "z"
    // The p-values kept in memory for the sink (a report's calibration plots)
    // even when no p map is written; the plug-in's rule has none to keep.
    bool keepPValues = false;
};

// A front end's text of the method ("plugin", "permutation", "parametric")
// as the request takes it; false with a message naming the request's field.
bool parseFdrChoice(const std::string& text, FdrMethod& method, std::string& problem);

// Puts the choice into the engine's input and the run's record; false with a
// message for an impossible combination.
bool applyStatisticsOptions(const MapStatisticsOptions& options, EngineInput& input, MapRunRecord& record,
                            std::string& problem);

}  // namespace ldi
