#include "analysis/analysis.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <future>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>

#include "analysis/conditions.h"
#include "analysis/engine_input.h"
#include "analysis/extreme_volumes.h"
#include "analysis/non_steady_state.h"
#include "analysis/parameters.h"
#include "analysis/request_checks.h"
#include "analysis/quality_numbers.h"
#include "analysis/run_set.h"
#include "analysis/seeds.h"
#include "formats/bids_inputs.h"
#include "formats/file_checksum.h"
#include "formats/statmap_names.h"
#include "base/status.h"
#include "base/names.h"
#include "formats/temporary_files.h"
#include "config/parameter_log.h"
#include "stats/parallel.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

// Everything the inputs say, checked before any data are read.
struct CheckedInputs {
    std::vector<std::unique_ptr<OpenedRun>> runs;
    std::vector<std::vector<int64_t>> seedVoxels;  // per seed, on the grid
    std::vector<std::string> seedLabels;
    std::vector<uint8_t> brain;  // inside every brain mask (empty without masks)
    std::vector<std::string> conditionNames;
    ConditionSet conditions;
    int32_t order = 0;
};

// The folder can be made (it exists, or its nearest existing ancestor is a
// writable folder): checked before any computation, made only once the
// inputs are sound.
bool checkOutputFolder(const std::string& out, std::string& problem) {
    std::error_code error;
    fs::path at = fs::absolute(out, error);
    while (!at.empty() && !fs::exists(at, error)) {
        if (at == at.parent_path()) break;
        at = at.parent_path();
    }
    if (!fs::is_directory(at, error)) {
        problem = "cannot create the output folder " + out + ": " + at.string() + " is not a folder";
        return false;
    }
    if (::access(at.c_str(), W_OK | X_OK) != 0) {
        problem = "cannot create the output folder " + out + ": " + at.string() + " is not writable";
        return false;
    }
    return true;
}

// The output folder as the run made it: removed again when the run stops
// before its first result, so that a refused run leaves nothing behind.
class MadeFolder {
public:
    MadeFolder() = default;
    MadeFolder(const MadeFolder&) = delete;
    MadeFolder& operator=(const MadeFolder&) = delete;
    ~MadeFolder() {
        std::error_code error;
        if (made_ && !kept_) fs::remove(path_, error);
    }
    bool make(const std::string& path, std::string& problem) {
        std::error_code error;
        if (path.empty() || fs::exists(path, error)) return true;
        // Another run may make the same folder at the same moment: then it exists, which is all that is asked.
        const bool created = fs::create_directories(path, error);
        if (error || !fs::is_directory(path, error)) {
            problem = "cannot create the output folder " + path + ": " + error.message();
            return false;
        }
        path_ = path;
        made_ = created;
        return true;
    }
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool made_ = false;
    bool kept_ = false;
};

bool checkRequest(const AnalysisRequest& request, std::string& problem) {
    if (!checkRequestValues(request, problem)) return false;
    if (request.outputFolder.empty() && request.describeDataset && !request.order.reportOnly)
        problem = "no output folder given: give the folder the maps are written into";
    if (!problem.empty()) return false;
    if (!request.outputFolder.empty() &&
        (!checkOutputFolder(request.outputFolder, problem) || !checkOutsideDatasets(request.outputFolder, problem)))
        return false;
    // The statistics are checked on a stand-in input: a combination they refuse stops the run before the data are read.
    EngineInput input;
    input.parameters = &request.parameters;
    MapRunRecord record;
    return applyStatisticsOptions(request.statistics, input, record, problem);
}

bool checkSeeds(const AnalysisRequest& request, CheckedInputs& inputs, std::vector<std::string>& warnings,
                std::string& problem) {
    const NiftiHeader& grid = givenHeader(*inputs.runs.front());
    const std::string& firstBold = inputs.runs.front()->path;
    std::set<std::string> labels;
    for (const SeedRequest& seed : request.seeds) {
        std::vector<int64_t> voxels;
        if (!seedVoxels(seed, grid, firstBold, voxels, problem)) return false;
        // Without either form the image has no world coordinates: the sphere's
        // millimetres are counted from the first voxel and may land anywhere.
        if (seed.shape == SeedRequest::Shape::sphere && grid.sformCode <= 0 && grid.qformCode <= 0)
            warnings.push_back("seed '" + seed.name + "': " + firstBold +
                               " has neither an sform nor a qform, so its world coordinates are the voxel sizes "
                               "from the first voxel, not a standard space; check where the sphere lies, or give "
                               "the seed as a mask");
        inputs.seedVoxels.push_back(std::move(voxels));
        inputs.seedLabels.push_back(safeLabel(seed.name));
        if (inputs.seedLabels.back().size() > MAX_TRIAL_TYPE_BYTES) {
            problem = "the seed name '" + seed.name.substr(0, 40) + "...' is " + std::to_string(seed.name.size()) +
                      " characters long; seed names become part of file names: give one of at most " +
                      std::to_string(MAX_TRIAL_TYPE_BYTES);
            return false;
        }
        if (!labels.insert(inputs.seedLabels.back()).second) {
            problem = "two seeds give the same file name 'seed-" + inputs.seedLabels.back() + "'; name them apart";
            return false;
        }
    }
    return true;
}

// The flags of an in-memory brain mask, with the mask files' voxels when there are any.
bool addBrainMaskFlags(const std::vector<uint8_t>& flags, const OpenedRun& grid, std::vector<uint8_t>& inside,
                       std::string& problem) {
    const auto voxels = static_cast<std::size_t>(grid.header.voxelsPerVolume());
    if (flags.size() != voxels) {
        problem = "the mask has " + std::to_string(flags.size()) + " voxels, the grid of " + grid.path + " " +
                  std::to_string(voxels);
        return false;
    }
    if (inside.empty()) inside.assign(voxels, 1);
    for (std::size_t v = 0; v < voxels; ++v) inside[v] = inside[v] != 0 && flags[v] != 0 ? 1 : 0;
    return true;
}

// " of the mask M.nii.gz" / " of the masks" / " of the mask" as the messages name the brain masks.
std::string maskNamesText(const AnalysisRequest& request) {
    const std::size_t count = request.brainMasks.size() + (request.brainMaskFlags.empty() ? 0 : 1);
    if (count > 1) return "s";
    return request.brainMasks.size() == 1 ? " " + request.brainMasks.front() : std::string();
}

// Each surrogate draw per voxel keeps three float volumes of the grid until
// the maps are thresholded: --null-draws must fit the machine's memory, which
// is checked before any data are read (1000 draws of a whole-brain grid
// would take more than 10 GB).
bool nullDrawsFit(const AnalysisRequest& request, const NiftiHeader& grid, std::string& problem) {
    const int64_t draws = request.statistics.nullDraws;
    if (draws <= 1) return true;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return true;
    const double bytes = static_cast<double>(draws) * static_cast<double>(grid.voxelsPerVolume()) * 3.0 * 4.0;
    const double memory = static_cast<double>(pages) * static_cast<double>(pageSize);
    if (bytes <= 0.5 * memory) return true;
    char text[200];
    std::snprintf(text, sizeof text,
                  "null draws %lld: the null volumes would take %.1f GB of this machine's %.1f GB; give at most %lld",
                  static_cast<long long>(draws), bytes / 1e9, memory / 1e9,
                  static_cast<long long>(0.5 * memory / (static_cast<double>(grid.voxelsPerVolume()) * 12.0)));
    problem = text;
    return false;
}

bool checkInputs(const AnalysisRequest& request, CheckedInputs& inputs, AnalysisResults& results,
                 std::string& problem) {
    if (!checkRequest(request, problem)) return false;
    if (!openRuns(request, inputs.runs, results.warnings, problem)) return false;
    if (!nullDrawsFit(request, givenHeader(*inputs.runs.front()), problem)) return false;
    if (!checkSeeds(request, inputs, results.warnings, problem)) return false;
    if (!request.brainMasks.empty() && !readBrainMasks(request.brainMasks, givenHeader(*inputs.runs.front()),
                                                       inputs.runs.front()->path, inputs.brain, problem))
        return false;
    if (!request.brainMaskFlags.empty() && !addBrainMaskFlags(request.brainMaskFlags, *inputs.runs.front(),
                                                              inputs.brain, problem))
        return false;
    if (!conditionNames(request, inputs.runs, inputs.conditionNames, problem)) return false;
    // With the order chosen from the data, every interval longer than 1 takes
    // part in the choice; the conditions are built again for the order chosen.
    inputs.order = request.order.automatic ? 1 : request.parameters.autoRegressionOrder;
    if (!buildConditions(request, inputs.runs, inputs.conditionNames, inputs.order, inputs.conditions, problem))
        return false;
    if (!request.order.automatic)
        results.warnings.insert(results.warnings.end(), inputs.conditions.warnings.begin(),
                                inputs.conditions.warnings.end());
    return true;
}

// The voxels analysed: the brain masks', else those usable in every run; and
// each seed's voxels among them that hold usable data (a NaN would spoil
// every measure of the seed).
bool analysedVoxels(const AnalysisRequest& request, CheckedInputs& inputs, AnalysisResults& results,
                    std::string& problem) {
    const std::vector<uint8_t> usable = usableInEveryRun(inputs.runs);
    const bool masked = !request.brainMasks.empty() || !request.brainMaskFlags.empty();
    results.analysed = masked ? inputs.brain : usable;
    results.analysedCount = std::count(results.analysed.begin(), results.analysed.end(), uint8_t{1});
    const std::string maskNames = maskNamesText(request);
    if (results.analysedCount == 0) {
        problem = !masked ? "no voxel of " + inputs.runs.front()->path + " has a finite, varying time course"
                          : "the mask" + maskNames + " holds no voxel";
        return false;
    }
    for (std::size_t s = 0; s < inputs.seedVoxels.size(); ++s) {
        std::vector<int64_t>& voxels = inputs.seedVoxels[s];
        std::vector<int64_t> kept;
        for (int64_t v : voxels)
            if (results.analysed[static_cast<std::size_t>(v)] != 0 && usable[static_cast<std::size_t>(v)] != 0)
                kept.push_back(v);
        const std::string& name = request.seeds[s].name;
        if (kept.empty()) {
            problem = "seed '" + name + "': none of its " + std::to_string(voxels.size()) +
                      " voxels lies inside the analysed voxels" +
                      (!masked ? std::string(" (finite, varying time courses)") : " of the mask" + maskNames);
            return false;
        }
        if (kept.size() < voxels.size())
            results.warnings.push_back("seed '" + name + "': " + std::to_string(voxels.size() - kept.size()) +
                                       " of its " + std::to_string(voxels.size()) +
                                       " voxels lie outside the analysed voxels and are left out");
        voxels = std::move(kept);
    }
    return true;
}

// With --order auto: the order from the data, and the conditions again for it.
bool chooseOrder(const AnalysisRequest& request, CheckedInputs& inputs, SeedReferences& references,
                 AnalysisResults& results, std::string& problem) {
    const EngineInput sample =
        engineInput(results.parameters, inputs.runs, references, inputs.conditions.conditions, results.analysed);
    OrderSelection selection;
    if (!chooseModelOrder(sample, request.order, selection, results.orderTable, problem)) return false;
    if (request.order.reportOnly) {
        results.record.orderSelection = std::move(selection);
        return true;
    }
    if (request.progress) {
        std::string table = results.orderTable;
        if (!table.empty() && table.back() == '\n') table.pop_back();
        request.progress("model order from the data:\n" + table);
    }
    inputs.order = selection.chosen;
    results.parameters.autoRegressionOrder = inputs.order;
    if (!buildConditions(request, inputs.runs, inputs.conditionNames, inputs.order, inputs.conditions, problem))
        return false;
    results.warnings.insert(results.warnings.end(), inputs.conditions.warnings.begin(),
                            inputs.conditions.warnings.end());
    resizeReferenceModels(references, inputs.order);
    results.record.orderSelection = std::move(selection);
    return true;
}

uint64_t fileBytes(const std::string& path) {
    std::error_code error;
    return static_cast<uint64_t>(fs::file_size(path, error));
}

// The SHA-256 of every input file, made on a thread of its own while the
// runs are read and the seeds' references computed (a whole-brain run of
// gigabytes takes a second or two of it). A checksum that cannot be made is
// "" (a file gone since it was read is no reason to fail the analysis);
// an analysis that ends first stops it. The thread takes the lowest
// priority: on a machine whose cores inflate and turn the runs around, it
// took a third of a core from inflating, the slowest step, and it is not
// needed before the runs are read.
class InputChecksums {
public:
    explicit InputChecksums(std::vector<std::string> paths)
        : paths_(std::move(paths)), done_(std::async(std::launch::async, [this] {
              yieldToOtherThreads();
              return checksums();
          })) {}
    ~InputChecksums() {
        stop_ = true;
        if (done_.valid()) done_.wait();
    }
    InputChecksums(const InputChecksums&) = delete;
    InputChecksums& operator=(const InputChecksums&) = delete;

    std::string of(const std::string& path) {
        if (done_.valid()) hexes_ = done_.get();
        const auto at = std::find(paths_.begin(), paths_.end(), path);
        return at == paths_.end() ? std::string() : hexes_[static_cast<std::size_t>(at - paths_.begin())];
    }

private:
    // This thread alone (Linux gives every thread its own nice value).
    static void yieldToOtherThreads() {
#ifdef __linux__
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
#endif
    }
    std::vector<std::string> checksums() const {
        std::vector<std::string> hexes;
        for (const std::string& path : paths_) {
            std::string hex, ignored;
            hexes.push_back(fileSha256(path, hex, ignored, &stop_) ? hex : std::string());
        }
        return hexes;
    }
    std::vector<std::string> paths_;
    std::atomic<bool> stop_{false};
    std::vector<std::string> hexes_;
    std::future<std::vector<std::string>> done_;
};

// The files the provenance names, in any order.
std::vector<std::string> inputFiles(const AnalysisRequest& request) {
    std::vector<std::string> paths;
    for (const RunRequest& run : request.runs) {
        if (!run.array) paths.push_back(run.path);
        if (run.confounds && !run.confoundsPath.empty()) paths.push_back(run.confoundsPath);
        if (!run.events.empty() && !run.eventTable) paths.push_back(run.events);
        const std::string sidecar = !run.trFile.empty() ? run.trFile : run.array ? std::string() : sidecarPath(run.path);
        std::error_code error;
        if (!sidecar.empty() && fs::is_regular_file(sidecar, error)) paths.push_back(sidecar);
    }
    paths.insert(paths.end(), request.brainMasks.begin(), request.brainMasks.end());
    for (const SeedRequest& seed : request.seeds)
        if (seed.shape == SeedRequest::Shape::maskFile) paths.push_back(seed.maskPath);
    return paths;
}

// A table given in memory (a pandas events or confounds table) as the
// provenance records it: by the SHA-256 of its content written out as
// tab-separated text with every number in full, so that the same table
// gives the same checksum whichever front end held it.
MapRunInput tableInput(const std::string& name, const std::string& text, const char* role) {
    return MapRunInput{name, static_cast<uint64_t>(text.size()), role, bytesSha256(text), true};
}

std::string fullNumber(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string eventsText(const std::vector<Event>& events) {
    std::string text = "onset\tduration\ttrial_type\n";
    for (const Event& event : events)
        text += fullNumber(event.onset) + "\t" + fullNumber(event.duration) + "\t" + event.type + "\n";
    return text;
}

std::string confoundsText(const ConfoundTable& table) {
    std::string text;
    for (std::size_t c = 0; c < table.names.size(); ++c) text += (c == 0 ? "" : "\t") + table.names[c];
    text += "\n";
    const std::size_t rows = table.columns.empty() ? 0 : table.columns.front().size();
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < table.columns.size(); ++c)
            text += (c == 0 ? "" : "\t") + (r < table.columns[c].size() ? fullNumber(table.columns[c][r]) : "n/a");
        text += "\n";
    }
    return text;
}

// What every map records of the run: the files it read with their
// checksums, how each run was read, its seed, its date, its command.
void recordProvenance(const AnalysisRequest& request, const CheckedInputs& inputs, InputChecksums& checksums,
                      AnalysisResults& results) {
    const auto fileInput = [&checksums](const std::string& path, const char* role) {
        return MapRunInput{path, fileBytes(path), role, checksums.of(path)};
    };
    MapRunRecord& record = results.record;
    record.parameters = &results.parameters;
    record.rngSeed = request.rngSeed;
    record.generation = newRunGeneration();
    record.date = utcDate();
    record.confounds = request.confoundRecord;
    record.command = request.command;
    record.datasets = request.datasets;
    record.outputFolder = request.outputFolder;
    std::vector<std::string> paths;
    for (std::size_t r = 0; r < inputs.runs.size(); ++r) {
        const OpenedRun& run = *inputs.runs[r];
        const RunRequest& given = request.runs[r];
        paths.push_back(run.path);
        if (run.array) {
            // A run held in memory is recorded with the bytes of its values.
            const uint64_t bytes = static_cast<uint64_t>(run.header.voxelsPerVolume() * run.header.volumes()) * 4;
            record.inputs.push_back(MapRunInput{run.path, bytes, "bold", "", true});
        } else {
            record.inputs.push_back(fileInput(run.path, "bold"));
        }
        if (given.confounds && !given.confoundsPath.empty())
            record.inputs.push_back(fileInput(given.confoundsPath, "confounds"));
        else if (given.confounds)
            record.inputs.push_back(tableInput(run.path + ": confounds table", confoundsText(*given.confounds),
                                               "confounds"));
        if (given.eventTable)
            record.inputs.push_back(tableInput(given.events.empty() ? run.path + ": events table" : given.events,
                                               eventsText(*given.eventTable), "events"));
        RunProvenance provenance{run.path, run.tr, run.trSource, request.skip, request.skipSource, "", "",
                                 run.array != nullptr, run.trFile};
        if (!run.trFile.empty()) record.inputs.push_back(fileInput(run.trFile, "sidecar"));
        if (!given.events.empty() && !given.eventTable) provenance.events = given.events;
        if (given.confounds) provenance.confounds = given.confoundsPath;
        record.runs.push_back(provenance);
    }
    for (const RunRequest& run : request.runs)
        if (!run.events.empty() && !run.eventTable) record.inputs.push_back(fileInput(run.events, "events"));
    for (const std::string& mask : request.brainMasks) record.inputs.push_back(fileInput(mask, "brainmask"));
    for (const SeedRequest& seed : request.seeds)
        if (seed.shape == SeedRequest::Shape::maskFile) record.inputs.push_back(fileInput(seed.maskPath, "seedmask"));
    record.entityPrefix = derivativeEntities(paths);
    record.grid = inputs.runs.front()->header;
    if (!inputs.runs.front()->mean.empty())
        record.firstRunMean = std::make_shared<const std::vector<float>>(inputs.runs.front()->mean);
}

// Each line of a progress text, without its indentation, as one progress line.
void plainLines(const std::string& text, const ProgressLine& progress) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos) progress(line.substr(start));
    }
}

// The engine's progress events as the plain lines ldi map prints.
void plainProgress(const EngineProgress& event, const ProgressLine& progress) {
    using Stage = EngineProgress::Stage;
    switch (event.stage) {
    case Stage::surrogates: return plainLines("Generating surrogate ref time-courses...", progress);
    case Stage::condition: return plainLines("Condition: " + event.text, progress);
    case Stage::slices: return plainLines(std::to_string(std::lround(event.fraction * 100.0)) + "%...", progress);
    case Stage::voxelCounts: return plainLines(event.text, progress);
    case Stage::maps: return plainLines("Computing maps and thresholds... ", progress);
    case Stage::warning: return plainLines(event.text, progress);
    }
}

// Keeps each seed's maps until the seed is done, then hands them to the sink
// and lets them go: the next seed needs the memory.
class SeedListener : public EngineListener {
public:
    SeedListener(const AnalysisResults& results, std::vector<SeedResults>& seeds, const AnalysisOutputs& outputs,
                 const ProgressLine& progress, std::string& problem)
        : run_(results.record), results_(results), seeds_(seeds), outputs_(outputs), progress_(progress),
          problem_(problem) {}

    void progress(const EngineProgress& event) override {
        if (progress_) plainProgress(event, progress_);
        // The engine's warnings belong with the run's others (stderr and the report), once each.
        if (event.stage != EngineProgress::Stage::warning) return;
        const std::string prefix = "WARNING: ";
        const std::string text = event.text.compare(0, prefix.size(), prefix) == 0 ? event.text.substr(prefix.size())
                                                                                  : event.text;
        if (std::find(warnings_.begin(), warnings_.end(), text) == warnings_.end()) warnings_.push_back(text);
    }
    const std::vector<std::string>& warnings() const { return warnings_; }
    bool anySeedDone() const { return anySeedDone_; }
    int beginSeed(int32_t seed) override {
        SeedResults& results = seeds_[static_cast<std::size_t>(seed)];
        runLog_.str("");
        runLog_.clear();
        writeParameterBlock(*run_.parameters, (std::string("ldi map version ") + ldiVersion).c_str(), runLog_);
        runLog_ << "VOI: " << results.seedName << '\n' << std::string(results.seedName.size() + 5, '*') << '\n';
        const std::size_t count = results.conditionNames.size() * results.kinds.size();
        results.maps.assign(count, std::vector<float>());
        results.thresholds.assign(count, MapThresholds());
        if (progress_) progress_("seed " + results.seedName);
        return statusSuccess;
    }
    float* mapBuffer(int32_t seed, int32_t condition, int32_t kind, std::ostream&) override {
        SeedResults& results = seeds_[static_cast<std::size_t>(seed)];
        std::vector<float>& map = results.maps[index(results, condition, kind)];
        map.assign(static_cast<std::size_t>(run_.grid.voxelsPerVolume()), 0.0f);
        return map.data();
    }
    int mapFinished(int32_t seed, int32_t condition, int32_t kind, const MapThresholds& map, std::ostream&) override {
        SeedResults& results = seeds_[static_cast<std::size_t>(seed)];
        results.thresholds[index(results, condition, kind)] = map;
        return statusSuccess;
    }
    int endSeed(int32_t seed) override {
        SeedResults& results = seeds_[static_cast<std::size_t>(seed)];
        results.runLog = runLog_.str();
        if (outputs_.report != nullptr && !anySeedDone_) outputs_.report->discardEarlier(run_);
        anySeedDone_ = true;
        if (outputs_.files && !outputs_.files(run_, results, problem_)) return statusTerminalError;
        if (outputs_.report != nullptr) outputs_.report->seedDone(results_, results);
        results.maps.clear();
        results.maps.shrink_to_fit();
        return statusSuccess;
    }
    std::ostringstream& runLog() { return runLog_; }

private:
    static std::size_t index(const SeedResults& results, int32_t condition, int32_t kind) {
        return static_cast<std::size_t>(condition) * results.kinds.size() + static_cast<std::size_t>(kind);
    }
    const MapRunRecord& run_;
    const AnalysisResults& results_;
    std::vector<SeedResults>& seeds_;
    const AnalysisOutputs& outputs_;
    const ProgressLine& progress_;
    std::string& problem_;
    std::ostringstream runLog_;
    bool anySeedDone_ = false;  // whether a seed's files were written yet
    std::vector<std::string> warnings_;
};

std::vector<SeedResults> emptySeedResults(const AnalysisRequest& request, const CheckedInputs& inputs,
                                          const AnalysisResults& results) {
    std::vector<SeedResults> seeds(request.seeds.size());
    for (std::size_t s = 0; s < seeds.size(); ++s) {
        seeds[s].seedName = request.seeds[s].name;
        seeds[s].seedLabel = inputs.seedLabels[s];
        seeds[s].conditionNames = inputs.conditionNames;
        seeds[s].conditionLabels = inputs.conditions.labels;
        seeds[s].kinds.assign(results.parameters.mapTypesComputed.begin(), results.parameters.mapTypesComputed.end());
        seeds[s].definition =
            seedDefinition(request.seeds[s], results.record.grid, inputs.seedVoxels[s], results.record);
    }
    return seeds;
}

// The engine over every seed and condition; the sink takes each seed's maps.
// The volumes of each condition in each run as the engine takes them.
std::vector<std::vector<std::vector<Interval>>> conditionVolumes(const std::vector<EngineCondition>& conditions,
                                                                 std::size_t runs) {
    std::vector<std::vector<std::vector<Interval>>> volumes(conditions.size(),
                                                            std::vector<std::vector<Interval>>(runs));
    for (std::size_t c = 0; c < conditions.size(); ++c)
        for (const EngineEntry& entry : conditions[c].entries)
            if (entry.target >= 0 && static_cast<std::size_t>(entry.target) < runs)
                volumes[c][static_cast<std::size_t>(entry.target)] = entry.intervals;
    return volumes;
}

// The description files of the output folder this run is about to add (a
// cancelled run takes them back).
std::vector<fs::path> missingDescriptionFiles(const std::string& folder) {
    std::vector<fs::path> missing;
    if (folder.empty()) return missing;
    for (const char* name : {"dataset_description.json", ".bidsignore"}) {
        std::error_code error;
        const fs::path path = fs::path(folder) / name;
        if (!fs::exists(path, error)) missing.push_back(path);
    }
    return missing;
}

AnalysisStatus computeMaps(const AnalysisRequest& request, CheckedInputs& inputs, const SeedReferences& references,
                           const AnalysisOutputs& outputs, AnalysisResults& results) {
    results.conditionVolumes = conditionVolumes(inputs.conditions.conditions, inputs.runs.size());
    results.record.conditionVolumes = results.conditionVolumes;
    EngineInput input = engineInput(results.parameters, inputs.runs, references,
                                     std::move(inputs.conditions.conditions), results.analysed);
    // The run's random numbers and threads travel with its input.
    input.rngSeed = static_cast<uint32_t>(request.rngSeed);
    const int threads = requestedThreads(request);
    input.options.threads = threads;
    results.threads = threadCountFor(threads);
    // A report shows the p-values' calibration: they are kept for it (the files stay as asked).
    MapStatisticsOptions statistics = request.statistics;
    statistics.keepPValues = statistics.keepPValues || outputs.report != nullptr;
    input.options.warnOfIllDefinedVoxels = true;
    if (!applyStatisticsOptions(statistics, input, results.record, results.problem))
        return AnalysisStatus::badInput;
    input.options.cancel = request.cancel;
    const std::vector<fs::path> added = missingDescriptionFiles(request.outputFolder);
    if (request.describeDataset && !writeDatasetDescription(request.outputFolder, request.datasets, results.problem))
        return AnalysisStatus::failed;
    std::vector<SeedResults> seeds = emptySeedResults(request, inputs, results);
    for (std::size_t s = 0; s < seeds.size() && s < results.seeds.size(); ++s)
        results.seeds[s].definition = seeds[s].definition;
    EngineWork work;
    work.workers = std::make_unique<WorkerTeam>(threadCountFor(threads) - 1);
    allocateMeasureVolumes(work, input.grid);
    allocateModelWork(work, inputs.order);
    std::string sinkProblem;
    SeedListener listener(results, seeds, outputs, request.progress, sinkProblem);
    std::ostringstream errors;
    const int status = runEngine(input, work, listener, listener.runLog(), errors);
    releaseEngineWork(work);
    results.warnings.insert(results.warnings.end(), listener.warnings().begin(), listener.warnings().end());
    if (status == statusSuccess) return AnalysisStatus::done;
    results.problem = !sinkProblem.empty() ? sinkProblem : errors.str();
    if (status == statusCancelled) {
        // Only what this run added goes, and only while no seed's maps need it:
        // an earlier run's description stays with its maps.
        std::error_code error;
        if (!listener.anySeedDone())
            for (const fs::path& path : added) fs::remove(path, error);
        return AnalysisStatus::cancelled;
    }
    return status == statusInvalidChoices ? AnalysisStatus::badInput : AnalysisStatus::failed;
}

std::vector<std::string> runPaths(const CheckedInputs& inputs) {
    std::vector<std::string> paths;
    for (const auto& run : inputs.runs) paths.push_back(run->path);
    return paths;
}

std::vector<std::string> seedNames(const AnalysisRequest& request) {
    std::vector<std::string> names;
    for (const SeedRequest& seed : request.seeds) names.push_back(seed.name);
    return names;
}

void keepSeedOutcomes(const AnalysisRequest& request, const CheckedInputs& inputs, const SeedReferences& references,
                      AnalysisResults& results) {
    for (std::size_t s = 0; s < request.seeds.size(); ++s) {
        SeedOutcome outcome;
        outcome.name = request.seeds[s].name;
        outcome.voxels = inputs.seedVoxels[s];
        for (std::size_t r = 0; r < inputs.runs.size(); ++r) {
            const Matrix& mean = references.records[s * inputs.runs.size() + r]->meanTimeCourse;
            const float* values = mean.at(mean.rowBase, mean.colBase);
            outcome.meanTimeCourses.emplace_back(values, values + inputs.runs[r]->source->numVolumes());
        }
        results.seeds.push_back(std::move(outcome));
    }
}

}  // namespace

SeedSink seedFileWriter(const std::string& folder) {
    return [folder](const MapRunRecord& run, const SeedResults& seed, std::string& problem) {
        return writeSeedResults(folder, run, seed, problem);
    };
}

namespace {

// What the detection of non-steady-state volumes may keep of the volumes it
// reads, for the load to go on from (50 volumes of a whole-brain 2 mm grid
// take 180 MB, held only until the load has taken them).
constexpr int64_t KEPT_START_BYTES = int64_t{256} << 20;

// The runs whose first volumes were read before (`starts`, per run, or
// none) go on from there.
void resumeRuns(const AnalysisRequest& request, std::vector<RunStart>& starts,
                std::vector<std::unique_ptr<OpenedRun>>& runs) {
    for (std::size_t r = 0; r < starts.size() && r < runs.size(); ++r) {
        RunStart& start = starts[r];
        OpenedRun& run = *runs[r];
        if (start.count <= 0 || run.array != nullptr || request.runs[r].confounds ||
            !sameGrid(start.reader.header(), run.reader.header()) ||
            start.reader.header().volumes() != run.reader.header().volumes())
            continue;
        run.reader = std::move(start.reader);
        run.readAlready = std::move(start.volumes);
        run.volumesReadAlready = start.count;
    }
}

void analyse(const AnalysisRequest& request, const AnalysisOutputs& outputs, InputChecksums& checksums,
             std::vector<RunStart>& starts, AnalysisResults& results) {
    results = AnalysisResults();
    results.parameters = request.parameters;
    results.record.parameters = &results.parameters;
    CheckedInputs inputs;
    MadeFolder folder;
    SeedReferences references;
    const auto refuse = [&results](AnalysisStatus status) { results.status = status; };
    if (!checkInputs(request, inputs, results, results.problem)) return refuse(AnalysisStatus::badInput);
    resumeRuns(request, starts, inputs.runs);
    results.conditionNames = inputs.conditionNames;
    if (!folder.make(request.outputFolder, results.problem)) return refuse(AnalysisStatus::badInput);
    FolderLock lock;
    if (!request.outputFolder.empty() && !request.order.reportOnly) {
        lock.hold(request.outputFolder, request.progress);
        removeStaleTemporaryFiles(request.outputFolder, request.progress);
    }
    // The seeds' voxels lead every run's carpet, so that the plot shows them.
    for (auto& run : inputs.runs)
        for (const std::vector<int64_t>& seed : inputs.seedVoxels)
            run->quality.carpetVoxels.insert(run->quality.carpetVoxels.end(), seed.begin(), seed.end());
    // With a brain mask only its voxels are analysed, and the seeds keep only those inside it.
    if (!loadRuns(request, inputs.runs, inputs.brain, results.problem) || !analysedVoxels(request, inputs, results, results.problem) ||
        !seedReferences(seedNames(request), inputs.seedVoxels, inputs.runs, inputs.order, references,
                        results.problem))
        return refuse(AnalysisStatus::badInput);
    if (request.order.automatic && !chooseOrder(request, inputs, references, results, results.problem))
        return refuse(AnalysisStatus::badInput);
    keepSeedOutcomes(request, inputs, references, results);
    for (std::size_t r = 0; r < inputs.runs.size(); ++r) {
        results.quality.push_back(std::move(inputs.runs[r]->quality));
        results.quality.back().framewiseDisplacement = framewiseDisplacement(request.runs[r]);
    }
    warnOfExtremeVolumes(results.seeds, runPaths(inputs), request.skip, results.warnings);
    if (request.order.reportOnly) return;
    recordProvenance(request, inputs, checksums, results);
    results.shift = request.shift;
    results.orderFromData = request.order.automatic;
    results.status = computeMaps(request, inputs, references, outputs, results);
    // A cancelled run takes back the folder it made (if still empty: a seed
    // finished before the stop keeps its maps).
    if (results.status != AnalysisStatus::cancelled) folder.keep();
}

// With detection asked for, the run is analysed from the first volume after
// the non-steady-state ones of any run (a condition must start at the same
// place in every run), and the warnings say how many and how to keep them.
void analyseRequest(const AnalysisRequest& request, const AnalysisOutputs& outputs, AnalysisResults& results) {
    // Begun first: its core has nothing else to do while the detection inflates.
    InputChecksums checksums(inputFiles(request));
    std::vector<RunStart> starts;
    if (!request.detectNonSteadyState) return analyse(request, outputs, checksums, starts, results);
    const std::vector<int32_t> found = nonSteadyStateVolumes(request, &starts, KEPT_START_BYTES);
    const int32_t most = found.empty() ? 0 : *std::max_element(found.begin(), found.end());
    if (most < request.skip) return analyse(request, outputs, checksums, starts, results);
    // The detection decided (none found is a decision too): the record says so.
    AnalysisRequest adjusted = request;
    adjusted.skip = most;
    adjusted.skipSource = "detected";
    std::vector<std::string> warnings;
    for (std::size_t r = 0; r < found.size(); ++r)
        if (found[r] > 0)
            warnings.push_back(request.runs[r].path + ": its first " + std::to_string(found[r]) + " volume" +
                               (found[r] == 1 ? " is" : "s are") +
                               " an outlier of the global signal (before the steady state); the first " +
                               std::to_string(most) + " of every run are skipped (give a skip to choose)");
    analyse(adjusted, outputs, checksums, starts, results);
    results.warnings.insert(results.warnings.begin(), warnings.begin(), warnings.end());
}

}  // namespace

void runAnalysis(const AnalysisRequest& request, const AnalysisOutputs& outputs, AnalysisResults& results) {
    analyseRequest(request, outputs, results);
    if (results.status != AnalysisStatus::done || request.order.reportOnly) return;
    std::string problem;
    if (outputs.report != nullptr && !outputs.report->write(results, problem)) {
        results.status = AnalysisStatus::failed;
        results.problem = "the report could not be written: " + problem + "; the maps in " + request.outputFolder +
                          " are written without it: free room there and run again";
        return;
    }
    // Last: until now the folder's run record says this run is unfinished.
    if (request.outputFolder.empty() || finishRunRecord(request.outputFolder, results.record, problem)) return;
    results.status = AnalysisStatus::failed;
    results.problem = "the run record could not be written: " + problem + "; free room in " + request.outputFolder +
                      " and run again";
}

void runAnalysis(const AnalysisRequest& request, const SeedSink& sink, AnalysisResults& results) {
    runAnalysis(request, AnalysisOutputs{sink, nullptr}, results);
}

}  // namespace ldi
