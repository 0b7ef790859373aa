// What an analysis of NIfTI runs is asked to do, as typed values: the runs
// (files, or arrays held in memory, each with its events and, when asked, the confounds to regress out
// as it is read), the brain mask, the seeds, the conditions, the analysis
// parameters and the statistics. The front ends (ldi map's options, ldi
// bids's dataset, ldi demo) fill one and call runAnalysis (analysis.h).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/array_source.h"
#include "analysis/map_outputs.h"
#include "analysis/map_statistics.h"
#include "analysis/nifti_source.h"
#include "config/global_parameters.h"
#include "data/interval.h"
#include "formats/bids_inputs.h"
#include "formats/confounds.h"

namespace ldi {

struct RunRequest {
    std::string path;    // a 4D NIfTI run (.nii or .nii.gz); with `array`, the run's name in messages
    std::string events;  // its BIDS events.tsv, or "" (then every run has none)
    // The run held in memory instead of the file at `path` (no sidecar is
    // looked for: its repetition time is the request's, else the header's).
    std::optional<RunArray> array;
    // Its events as a table instead of the file `events` (which then only
    // names them in messages).
    std::optional<std::vector<Event>> eventTable;
    // Its repetition time in seconds; 0: the request's, else the sidecar
    // beside the run, else the header's.
    double tr = 0.0;
    std::string trSource;  // where `tr` came from, for messages ("the sidecar PATH"); "": given with the run
    std::string trFile;    // the file `tr` was read from (a BIDS sidecar), recorded among the inputs
    // Confounds fitted and removed from every voxel as the run is read (the
    // run is then held in memory, or spilled when it exceeds the budget).
    std::optional<ConfoundTable> confounds;
    std::string confoundsPath;  // the table's file, named among the inputs
};

// A seed: the nonzero voxels of a mask on the runs' grid (a file, or one
// flag per voxel in [z][y][x] order), or the voxel centres of a sphere.
struct SeedRequest {
    enum class Shape { maskFile, maskFlags, sphere };
    std::string name;
    Shape shape = Shape::maskFile;
    std::string maskPath;
    std::vector<uint8_t> maskFlags;
    std::array<double, 4> sphere{};  // x, y, z, radius in world millimetres
};

// A condition given as volumes rather than events: per run, 1-based
// intervals with both ends included (an empty list: the run has none).
struct IntervalCondition {
    std::string name;
    std::vector<std::vector<Interval>> runs;
};

// --order auto[:MAX]: the model order chosen from the data.
struct OrderChoice {
    bool automatic = false;
    int32_t maxOrder = 8;
    bool reportOnly = false;  // score the orders and stop, no maps
};

// Called with one line of progress (no prefix, no newline).
using ProgressLine = std::function<void(const std::string& line)>;

// The analysis parameters every front end starts from: the plug-in's
// defaults, with one set of runs as both the seeds' and the voxels' source.
inline GlobalParameters defaultAnalysisParameters() {
    GlobalParameters parameters;
    parameters.separateSourceTargetVTCs = false;
    return parameters;
}

struct AnalysisRequest {
    std::vector<RunRequest> runs;
    // The voxels analysed: inside every one of these masks (on the runs'
    // grid); none: every voxel whose time course is finite and varies.
    std::vector<std::string> brainMasks;
    // Further analysed voxels given as flags on the grid ([z][y][x], nonzero
    // inside), with or instead of the mask files.
    std::vector<uint8_t> brainMaskFlags;
    std::vector<SeedRequest> seeds;
    // From the events files: these trial types (none: every one there is).
    // Without events and without interval conditions: one condition over
    // every run after `skip`, named after the task- entity.
    std::vector<std::string> conditions;
    std::vector<IntervalCondition> intervalConditions;
    int32_t skip = 0;    // volumes left out at the start of every run
    std::string skipSource = "option";  // what set `skip`, as the provenance records it
    // Skip, beyond `skip`, the volumes found before the steady state
    // (analysis/non_steady_state.h). On unless the user gave a skip: a front
    // end that takes one turns it off, so that every door analyses the same
    // volumes of the same run.
    bool detectNonSteadyState = true;
    double shift = 0.0;  // seconds added to every volume's acquisition time
    double tr = 0.0;     // repetition time of every run (0: each run's own)
    std::string trSource = "the request";  // where `tr` came from, for messages (ldi map: "--tr")
    GlobalParameters parameters = defaultAnalysisParameters();
    OrderChoice order;
    MapStatisticsOptions statistics;
    int64_t rngSeed = 0;  // the surrogates' seed
    int threads = 0;      // 0: the computation's default
    SourceBudgets budgets;
    // Where the maps go and large runs spill; "" only for an order report, or
    // without describeDataset when the sink keeps the maps (large runs then
    // spill into the temporary folder).
    std::string outputFolder;
    std::string workFolder;  // where large runs spill instead of the output folder; "": there
    bool describeDataset = true;  // write dataset_description.json there
    // What the map files record beside the inputs (ldi bids: the regression).
    nlohmann::ordered_json confoundRecord;
    ProgressLine progress;  // empty: quiet
    // Set from any thread to stop the analysis (Ctrl-C in Python): it ends
    // within a slice of the voxel pass as AnalysisStatus::cancelled, taking
    // back what it added to the output folder (a seed finished before the
    // stop keeps its maps). Null: it cannot be stopped.
    const std::atomic<bool>* cancel = nullptr;
    // For the provenance: the command line (or the front end's words), and
    // the datasets whose files are recorded as BIDS URIs.
    std::string command;
    std::vector<DatasetRoot> datasets;
};

}  // namespace ldi
