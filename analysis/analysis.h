// An analysis of NIfTI runs as one call: every input checked before anything
// is computed, the runs read (regressed as they are read when asked), the
// seeds' reference time courses, the model order (given or chosen), then the
// engine; each seed's maps handed to a sink as soon as the seed is done.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "analysis/analysis_request.h"
#include "analysis/map_outputs.h"
#include "analysis/run_quality.h"
#include "engine/order_selection.h"

namespace ldi {

enum class AnalysisStatus {
    done,
    badInput,  // nothing computed; nothing left behind in the output folder
    failed,    // a result could not be written, or the computation failed
};

struct SeedOutcome {
    std::string name;
    std::vector<int64_t> voxels;                      // analysed voxels of the seed, ascending
    std::vector<std::vector<float>> meanTimeCourses;  // per run, all its volumes
};

struct AnalysisResults {
    AnalysisStatus status = AnalysisStatus::done;
    std::string problem;                // why, when not done
    std::vector<std::string> warnings;  // in the order they arose
    // The parameters as used (the order chosen from the data, when it was);
    // record.parameters points at them.
    GlobalParameters parameters;
    MapRunRecord record;  // what every map of the run records: inputs, seeds, date, statistics
    std::vector<std::string> conditionNames;
    std::vector<uint8_t> analysed;  // per voxel of the grid
    int64_t analysedCount = 0;
    std::vector<SeedOutcome> seeds;
    std::string orderTable;  // with an order chosen from the data: every order's criteria
    std::vector<RunQuality> quality;  // per run: its temporal SNR and carpet, taken as it was read
};

// Called with each seed's maps and thresholds when the seed is done (they are
// released after the call); false with a message stops the run.
using SeedSink = std::function<bool(const MapRunRecord& run, const SeedResults& seed, std::string& problem)>;

// The sink that writes every seed's files into `folder` (map_outputs.h).
SeedSink seedFileWriter(const std::string& folder);

// Runs the analysis; `results.status` says how it ended. The order report
// (request.order.reportOnly) stops after the choice with its table.
void runAnalysis(const AnalysisRequest& request, const SeedSink& sink, AnalysisResults& results);

}  // namespace ldi
