// The files ldi map leaves in its output folder: per seed the maps as NIfTI
// files with JSON sidecars, the map set (.ldi) with its JSON index in the
// schema of ldi run, and the run log; dataset_description.json once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/global_parameters.h"
#include "data/interval.h"
#include "engine/engine.h"
#include "engine/order_selection.h"
#include "formats/ldi_file.h"
#include "formats/nifti_image.h"

namespace ldi {

// Writes `content` to `path` through a file created exclusively (O_EXCL)
// beside it, flushed to the disk and then renamed over `path`: the path holds
// either its earlier content or the whole new one. False with a message.
bool writeFileSafely(const std::string& path, std::string_view content, std::string& problem);

// ldi's own version, as `ldi --version` gives it.
extern const char* const ldiVersion;

// The current time as ISO 8601 in UTC ("2024-06-07T12:00:00Z"), as the
// sidecars record it.
std::string utcDate();

struct MapRunInput {
    std::string path;
    uint64_t bytes = 0;
    std::string role;    // "bold", "confounds", "events", "brainmask", "seedmask"
    std::string sha256;  // "" for a run held in memory
    bool inMemory = false;  // `path` names data held in memory, not a file: recorded as it is
};

// How one run was read: what a reviewer needs to redo its intervals.
struct RunProvenance {
    std::string path;
    double tr = 0.0;
    std::string trSource;  // "option", "dataset" (the BIDS sidecars), "sidecar", "header"
    int32_t skipped = 0;   // volumes left out at its start
    std::string skipSource;  // "option", "confounds" (non-steady-state columns), "detected"
    std::string events;      // its events file, or ""
    std::string confounds;   // its confounds table, or ""
    bool inMemory = false;   // `path` names a run held in memory, not a file: recorded as it is
    std::string trFile;      // the sidecar that gave tr, or ""
};

// A dataset the inputs may lie in: their paths are recorded as BIDS URIs,
// bids:<name>:<path within the dataset>, and the output's
// dataset_description.json links the name to the folder.
struct DatasetRoot {
    std::string name;
    std::string folder;
};

// What every map of a run shares.
struct MapRunRecord {
    const GlobalParameters* parameters = nullptr;
    int64_t rngSeed = 0;
    // 32 hex digits drawn for this run alone: every file it writes carries
    // them, so that a folder mixing two runs' files is told apart.
    std::string generation;
    std::string fdrMethod = "plugin";
    std::string fdrDependence = "positive";
    int32_t nullDraws = 1;
    std::string writeP;  // "", "p" or "z": the maps' p-values or z scores as NIfTI maps too
    // With --order auto: the orders tried and their median criteria (empty
    // when the order was given).
    OrderSelection orderSelection;
    std::vector<MapRunInput> inputs;
    std::string date;  // ISO 8601, UTC
    std::string entityPrefix;
    NiftiHeader grid;  // the bold's header: the maps' grid and orientation
    // The nuisance regression done on the runs (columns, method, values
    // filled); null when none was.
    nlohmann::ordered_json confounds;
    std::vector<RunProvenance> runs;
    // The volumes of each condition in each run ([condition][run], 1-based,
    // both ends included), as the engine took them.
    std::vector<std::vector<std::vector<Interval>>> conditionVolumes;
    std::string command;  // the command line as given, or the front end's own words
    // Inputs under one of these are recorded as BIDS URIs, others relative to
    // `outputFolder` (as given when there is none).
    std::vector<DatasetRoot> datasets;
    std::string outputFolder;
    // The mean image of the first run as read (before any regression), for
    // the pictures' underlay; null when there is none. Shared: records are copied.
    std::shared_ptr<const std::vector<float>> firstRunMean;
};

// A path as the provenance records it: bids:<name>:<relative> within one of
// the run's datasets, else relative to its output folder.
std::string recordedPath(const MapRunRecord& run, const std::string& path);

// One seed's results as the engine handed them over.
struct SeedResults {
    std::string seedName;
    std::string seedLabel;                    // safe for file names
    std::vector<std::string> conditionNames;  // per condition
    std::vector<std::string> conditionLabels;
    std::vector<MapType> kinds;               // per map of a condition
    std::vector<std::vector<float>> maps;     // condition * kinds.size() + kind
    std::vector<MapThresholds> thresholds;    // same order
    std::string runLog;
    // What the seed is: its shape, centre and radius in mm or its mask file
    // with a checksum, its voxel count and world centroid.
    nlohmann::ordered_json definition;
};

// The description a map's NIfTI header carries ("LDI <map> seed <seed>"),
// for map m of the seed (condition * kinds + kind).
std::string mapDescription(const MapRunRecord& run, const SeedResults& seed, std::size_t m);

// "ref2vox", "vox2ref", "inst", "dldi", "dldiit" or "dldirc".
std::string mapKindLabel(MapType type);

// The p-values of a map as written (1 where the map has no value), or their z
// scores: one-sided for the measures, signed by the value for the differences
// (whose p-values are two-sided, from magnitudes), from the engine's z where
// it gave one (p in float32 has a floor, ln p has none).
std::vector<float> significanceMap(const std::vector<float>& pValues, const std::vector<float>& zValues,
                                   const std::vector<float>& values, MapType type, bool asZ);

// The seed's map set as ldi run saves it, before its maps: the grid and the
// FDR levels.
LdiFile emptySeedMapSet(const MapRunRecord& run);

// Map `m` (condition * kinds + kind) of the seed as its map set holds it:
// name, display thresholds, colours, FDR levels, values.
LdiMap seedSetMap(const MapRunRecord& run, const SeedResults& seed, std::size_t m);

// What the JSON index of every seed records of the run (rngSeed, fdr,
// parameters, modelOrder when chosen, inputs, date, confounds when regressed),
// in the index's order: the provenance of the run for any front end.
nlohmann::ordered_json mapRunJson(const MapRunRecord& run);

// Writes every file of one seed into `folder`; the index last, so that an
// index names only files that exist. False with a message naming the file.
bool writeSeedResults(const std::string& folder, const MapRunRecord& run, const SeedResults& seed,
                      std::string& problem);

// A fresh run generation: 128 random bits from the system, as hex.
std::string newRunGeneration();

// <prefix>_run_ldi.json in `folder`: which generation wrote each seed's index
// of the runs with that prefix, and the generation of a run not yet finished.
std::string runRecordPath(const std::string& folder, const std::string& entityPrefix);

// Notes in the run record that the run is under way (before its first file)
// or, with `index`, that it wrote that index; replaced atomically.
bool noteRunRecord(const std::string& folder, const MapRunRecord& run, const std::string& index, std::string& problem);

// The run's files are all written: its generation is no longer unfinished.
// Nothing to do when the run kept no files there.
bool finishRunRecord(const std::string& folder, const MapRunRecord& run, std::string& problem);

// The seeds' indexes of `folder` come each from a finished run, as its run
// records say: false with a message naming the mixed or unfinished files and
// telling to rerun. Indexes written before generations were recorded pass.
bool checkRunGenerations(const std::string& folder, std::string& problem);

// The output folder is neither a dataset that ldi did not make (one with a
// dataset_description.json of another tool) nor inside one of its sub-<label>
// folders: false with a message proposing a folder of its own.
bool checkOutsideDatasets(const std::string& folder, std::string& problem);

// dataset_description.json as BIDS derivatives require it; false when one
// that ldi did not write is there already (it is never replaced).
// With `datasets`, their names as DatasetLinks. A .bidsignore beside it names
// the files that are not BIDS (map sets, indexes, logs, reports).
bool writeDatasetDescription(const std::string& folder, const std::vector<DatasetRoot>& datasets,
                             std::string& problem);

}  // namespace ldi
