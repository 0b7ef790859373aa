// An analysis of NIfTI runs as one call, the same for every front end: every
// input checked before anything is computed, the runs read (regressed as they
// are read when asked), the seeds' reference time courses, the model order
// (given or chosen), then the engine; each seed's maps handed to its outputs
// (the files, a report) as soon as the seed is done.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "analysis/analysis_request.h"
#include "analysis/map_outputs.h"
#include "analysis/run_quality.h"
#include "data/interval.h"
#include "engine/order_selection.h"

namespace ldi {

enum class AnalysisStatus {
    done,
    badInput,  // nothing computed; nothing left behind in the output folder
    failed,    // a result could not be written, or the computation failed
    cancelled,  // stopped by the request's cancel flag; nothing new left in the output folder
};

struct SeedOutcome {
    std::string name;
    std::vector<int64_t> voxels;                      // analysed voxels of the seed, ascending
    std::vector<std::vector<float>> meanTimeCourses;  // per run, all its volumes
    // What the seed is, as every map's sidecar records it (shape, sphere
    // centre and radius in world mm and their space, or the mask file).
    nlohmann::ordered_json definition;
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
    bool orderFromData = false;  // the model order was chosen from the data
    double shift = 0.0;          // seconds added to every volume's acquisition time
    // The volumes analysed of each condition in each run ([condition][run],
    // 1-based, both ends included), as the engine took them.
    std::vector<std::vector<std::vector<Interval>>> conditionVolumes;
    int threads = 1;  // the threads the computation ran on
    std::vector<RunQuality> quality;  // per run: its temporal SNR and carpet, taken as it was read
};

// Called with each seed's maps and thresholds when the seed is done (they are
// released after the call); false with a message stops the run.
using SeedSink = std::function<bool(const MapRunRecord& run, const SeedResults& seed, std::string& problem)>;

// The sink that writes every seed's files into `folder` (map_outputs.h).
SeedSink seedFileWriter(const std::string& folder);

// An output made from what the analysis recorded (ldi's HTML report is one,
// pictures/report.h): it sees each seed's maps while they are in memory, then
// the whole record once the analysis is done. It never sees the request, so
// that what it shows is what was done, not what was asked.
class AnalysisReport {
public:
    virtual ~AnalysisReport() = default;
    // Before the first seed's files are written: removes the report an earlier
    // run left in the folder, which would otherwise vouch for a mixture of maps
    // when this run stops midway.
    virtual void discardEarlier(const MapRunRecord& run) = 0;
    // Each seed's maps, thresholds and p-values, after the files were written.
    virtual void seedDone(const AnalysisResults& results, const SeedResults& seed) = 0;
    // Once every seed is done; false with a message, which fails the run (the
    // maps stay: they are the results, the report their view).
    virtual bool write(const AnalysisResults& results, std::string& problem) = 0;
};

struct AnalysisOutputs {
    SeedSink files;                    // each seed's maps, e.g. seedFileWriter(folder); empty: none kept
    AnalysisReport* report = nullptr;  // none: no report
};

// Runs the analysis; `results.status` says how it ended. The order report
// (request.order.reportOnly) stops after the choice with its table.
void runAnalysis(const AnalysisRequest& request, const AnalysisOutputs& outputs, AnalysisResults& results);

// The same with the maps to `sink` and no report.
void runAnalysis(const AnalysisRequest& request, const SeedSink& sink, AnalysisResults& results);

}  // namespace ldi
