// `ldi map`: the engine run on NIfTI runs, seeds given as masks or spheres and
// conditions from BIDS events files, without the plug-in and its dialogs.
// Every input is checked before anything is computed; the results of each
// seed are written as soon as the seed is done.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "base/status.h"
#include "config/global_parameters.h"
#include "config/parameter_log.h"
#include "data/voi_time_course.h"
#include "engine/engine.h"
#include "engine/order_selection.h"
#include "formats/bids_inputs.h"
#include "commands/command.h"
#include "base/exit_status.h"
#include "analysis/map_outputs.h"
#include "analysis/map_statistics.h"
#include "formats/nifti_image.h"
#include "analysis/nifti_source.h"
#include "stats/parallel.h"

namespace ldi_host {

namespace {

namespace fs = std::filesystem;

struct MapOptions {
    std::vector<std::string> bold, seeds, events, conditions;
    std::string mask, out, settings, q;
    double shift = 0.0;
    double tr = 0.0;
    int skip = 0;
    std::string order;        // P, auto or auto:MAX
    bool orderReport = false;  // print the criteria of every order and stop
    int surrogates = 0;
    long long rngSeed = -1;
    int threads = 0;
    bool quiet = false;
    MapStatisticsOptions statistics;
};

// Messages of bad input: the run stops with status 2 before anything is written.
struct InputError {
    std::string message;
};

// --order: a number, or "auto" / "auto:MAX" to choose it from the data.
struct OrderChoice {
    bool automatic = false;
    int32_t maxOrder = 8;
};

OrderChoice parseOrder(const std::string& text, bool report) {
    OrderChoice choice;
    choice.automatic = report || text.rfind("auto", 0) == 0;
    if (!choice.automatic) return choice;
    if (text.size() > 4) {
        const std::string max = text.substr(text.rfind("auto:", 0) == 0 ? 5 : 4);
        char* end = nullptr;
        const long value = std::strtol(max.c_str(), &end, 10);
        if (text.compare(0, 5, "auto:") != 0 || max.empty() || *end != '\0' || value < 1 || value > 32)
            throw InputError{"--order " + text + ": give P, auto or auto:MAX with MAX from 1 to 32"};
        choice.maxOrder = static_cast<int32_t>(value);
    }
    return choice;
}

// The analysis parameters: the defaults, a settings file, then the options,
// each option checked by the settings reader with its ranges and messages.
GlobalParameters readParameters(const MapOptions& options, const CLI::App& app) {
    GlobalParameters parameters;
    parameters.separateSourceTargetVTCs = false;
    if (!options.settings.empty()) {
        std::ifstream in(options.settings, std::ios::binary);
        if (!in) throw InputError{"cannot open the settings file " + options.settings};
        std::ostringstream errors;
        if (!readSettingsFile(in, parameters, errors)) throw InputError{options.settings + ": " + errors.str()};
    }
    const std::pair<const char*, std::string> settings[] = {
        {"--order", "AutoRegressionOrder= " + options.order},
        {"--surrogates", "NumSurrogateSimulations= " + std::to_string(options.surrogates)},
        {"--q", "QThresholdsForFDR= " + [&] {
             std::string list = options.q;
             std::replace(list.begin(), list.end(), ',', ' ');
             return list;
         }()},
    };
    for (const auto& setting : settings) {
        if (app.count(setting.first) == 0) continue;
        if (std::string(setting.first) == "--order" && parseOrder(options.order, false).automatic) continue;
        std::istringstream line(setting.second + "\n");
        std::ostringstream errors;
        if (!readSettingsFile(line, parameters, errors)) {
            std::string message = errors.str();
            const std::string where = " in LDIPlugin.ini";
            for (std::size_t at; (at = message.find(where)) != std::string::npos;) message.erase(at, where.size());
            throw InputError{std::string(setting.first) + ": " + message};
        }
    }
    return parameters;
}

struct Run {
    std::string path;
    NiftiReader reader;
    double tr = 0.0;
    std::vector<Event> events;
    std::unique_ptr<NiftiSliceSource> source;
};

// The world-to-voxel checks and voxel lists of the seeds.
struct Seed {
    std::string name;
    std::string label;
    std::vector<int64_t> voxels;  // ascending grid indices
};

std::vector<int64_t> nonzeroVoxels(const std::vector<float>& values) {
    std::vector<int64_t> voxels;
    for (std::size_t v = 0; v < values.size(); ++v)
        if (values[v] != 0.0f && !std::isnan(values[v])) voxels.push_back(static_cast<int64_t>(v));
    return voxels;
}

std::vector<float> readMaskOnGrid(const std::string& path, const NiftiHeader& grid, const std::string& boldPath,
                                  const std::string& what) {
    NiftiHeader header;
    std::vector<float> values;
    std::string problem;
    if (!readNiftiVolume(path, header, values, false, problem)) throw InputError{problem};
    if (!sameGrid(header, grid))
        throw InputError{path + ": the " + what + " is on another grid (" + gridText(header) +
                         " voxels or another affine) than the bold " + boldPath + " (" + gridText(grid) +
                         " voxels); resample it onto the bold's grid"};
    return values;
}

Seed parseSeed(const std::string& text, const NiftiHeader& grid, const std::string& boldPath) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
        throw InputError{"--seed " + text + ": give NAME=MASK.nii.gz or NAME=X,Y,Z,R"};
    Seed seed;
    seed.name = text.substr(0, equals);
    seed.label = safeLabel(seed.name);
    const std::string definition = text.substr(equals + 1);
    std::vector<double> numbers;
    {
        std::istringstream in(definition);
        std::string part;
        bool allNumbers = true;
        while (std::getline(in, part, ',')) {
            char* end = nullptr;
            const double value = std::strtod(part.c_str(), &end);
            if (part.empty() || end != part.c_str() + part.size() || !std::isfinite(value)) allNumbers = false;
            numbers.push_back(value);
        }
        if (!allNumbers) numbers.clear();
    }
    if (numbers.empty()) {
        seed.voxels = nonzeroVoxels(readMaskOnGrid(definition, grid, boldPath, "mask of seed '" + seed.name + "'"));
        if (seed.voxels.empty()) throw InputError{"seed '" + seed.name + "': the mask " + definition + " holds no voxel"};
        return seed;
    }
    if (numbers.size() != 4 || !(numbers[3] > 0.0))
        throw InputError{"--seed " + text + ": a sphere is X,Y,Z,R in millimetres with a positive radius R"};
    const Affine toWorld = voxelToWorld(grid);
    Affine toVoxel{};
    if (!invertAffine(toWorld, toVoxel))
        throw InputError{boldPath + ": its affine cannot be inverted, so world coordinates do not reach the grid"};
    double centre[3];
    for (std::size_t i = 0; i < 3; ++i)
        centre[i] = toVoxel[i][0] * numbers[0] + toVoxel[i][1] * numbers[1] + toVoxel[i][2] * numbers[2] + toVoxel[i][3];
    for (std::size_t i = 0; i < 3; ++i) {
        if (!(centre[i] >= -0.5 && centre[i] <= static_cast<double>(grid.dim[i + 1]) - 0.5)) {
            char text2[160];
            std::snprintf(text2, sizeof text2, "(%g, %g, %g) mm lies at voxel (%.1f, %.1f, %.1f), outside the grid of ",
                          numbers[0], numbers[1], numbers[2], centre[0], centre[1], centre[2]);
            throw InputError{"seed '" + seed.name + "': the sphere's centre " + text2 + gridText(grid) +
                             " voxels of " + boldPath};
        }
    }
    const double radius2 = numbers[3] * numbers[3];
    for (int64_t k = 0; k < grid.nz(); ++k)
        for (int64_t j = 0; j < grid.ny(); ++j)
            for (int64_t i = 0; i < grid.nx(); ++i) {
                double distance2 = 0.0;
                for (std::size_t r = 0; r < 3; ++r) {
                    const double world = toWorld[r][0] * static_cast<double>(i) +
                                         toWorld[r][1] * static_cast<double>(j) +
                                         toWorld[r][2] * static_cast<double>(k) + toWorld[r][3];
                    distance2 += (world - numbers[r]) * (world - numbers[r]);
                }
                if (distance2 <= radius2) seed.voxels.push_back((k * grid.ny() + j) * grid.nx() + i);
            }
    if (seed.voxels.empty())
        throw InputError{"seed '" + seed.name + "': the sphere of radius " + std::to_string(numbers[3]) +
                         " mm holds no voxel centre of the grid; give a larger radius"};
    return seed;
}

// The folder can be made (it exists, or its nearest existing ancestor is a
// folder): checked before any computation, created only once inputs are sound.
void checkOutputFolder(const std::string& out) {
    if (out.empty()) throw InputError{"--out DIR is required"};
    std::error_code error;
    fs::path at = fs::absolute(out, error);
    while (!at.empty() && !fs::exists(at, error)) {
        if (at == at.parent_path()) break;
        at = at.parent_path();
    }
    if (!fs::is_directory(at, error))
        throw InputError{"cannot create the output folder " + out + ": " + at.string() + " is not a folder"};
    if (::access(at.c_str(), W_OK | X_OK) != 0)
        throw InputError{"cannot create the output folder " + out + ": " + at.string() + " is not writable"};
}

// Each line of the text as a plain progress line of its own.
std::string plainLines(const std::string& text) {
    std::string result;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        result += "ldi: " + line.substr(start) + "\n";
    }
    return result;
}

// A progress event of the engine as plain lines on standard error.
std::string progressLines(const EngineProgress& event) {
    using Stage = EngineProgress::Stage;
    switch (event.stage) {
    case Stage::surrogates: return plainLines("Generating surrogate ref time-courses...");
    case Stage::condition: return plainLines("Condition: " + event.text);
    case Stage::slices: return plainLines(std::to_string(std::lround(event.fraction * 100.0)) + "%...");
    case Stage::voxelCounts: return plainLines(event.text);
    case Stage::maps: return plainLines("Computing maps and thresholds... ");
    case Stage::warning: return plainLines(event.text);
    }
    return std::string();
}

class MapListener : public EngineListener {
public:
    MapListener(const MapRunRecord& run, const std::string& folder, std::vector<SeedResults>& seeds,
                std::ostringstream& runLog, std::ostream& err, bool quiet)
        : run_(run), folder_(folder), seeds_(seeds), runLog_(runLog), err_(err), quiet_(quiet) {}

    void progress(const EngineProgress& event) override {
        if (!quiet_) err_ << progressLines(event) << std::flush;
    }
    int beginSeed(int32_t seed) override {
        SeedResults& results = seeds_[static_cast<std::size_t>(seed)];
        runLog_.str("");
        runLog_.clear();
        writeParameterBlock(*run_.parameters, (std::string("ldi map version ") + ldiVersion).c_str(), runLog_);
        runLog_ << "VOI: " << results.seedName << '\n' << std::string(results.seedName.size() + 5, '*') << '\n';
        const std::size_t count = results.conditionNames.size() * results.kinds.size();
        results.maps.assign(count, std::vector<float>());
        results.thresholds.assign(count, MapThresholds());
        if (!quiet_) err_ << "ldi: seed " << results.seedName << std::endl;
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
        std::string problem;
        if (!writeSeedResults(folder_, run_, results, problem)) {
            err_ << "ldi: " << problem << std::endl;
            return statusTerminalError;
        }
        // The maps are on the disk; the next seed needs the memory.
        results.maps.clear();
        results.maps.shrink_to_fit();
        return statusSuccess;
    }

private:
    static std::size_t index(const SeedResults& results, int32_t condition, int32_t kind) {
        return static_cast<std::size_t>(condition) * results.kinds.size() + static_cast<std::size_t>(kind);
    }
    const MapRunRecord& run_;
    std::string folder_;
    std::vector<SeedResults>& seeds_;
    std::ostringstream& runLog_;
    std::ostream& err_;
    bool quiet_;
};

// The reference time course of a seed in one run: the plain mean of its
// voxels, summed in ascending voxel order in float32.
void seedMean(NiftiSliceSource& source, const std::vector<int64_t>& voxels, int64_t sliceVoxels, Matrix& out,
              std::string& problem) {
    const int32_t volumes = source.numVolumes();
    float* mean = out.at(out.rowBase, out.colBase);
    for (int32_t t = 0; t < volumes; ++t) mean[t] = 0.0f;
    SliceValues slice;
    source.allocateSlice(slice);
    int64_t loaded = -1;
    for (const int64_t voxel : voxels) {
        const int64_t z = voxel / sliceVoxels;
        if (z != loaded) {
            if (!source.readSlice(static_cast<int32_t>(z), slice)) {
                problem = "cannot read back the data of " + source.name();
                return;
            }
            loaded = z;
        }
        const float* values = slice.floats.get() + (voxel - z * sliceVoxels) * volumes;
        for (int32_t t = 0; t < volumes; ++t) mean[t] = mean[t] + values[t];
    }
    const float n = static_cast<float>(voxels.size());
    for (int32_t t = 0; t < volumes; ++t) mean[t] = mean[t] / n;
}

int performMap(const MapOptions& options, const CLI::App& app, std::ostream& out, std::ostream& err) {
    std::vector<std::unique_ptr<Run>> runs;
    GlobalParameters parameters;
    std::vector<Seed> seeds;
    std::vector<uint8_t> analysed;
    std::vector<std::string> conditionNames;
    bool createdFolder = false;
    OrderChoice orderChoice;
    OrderSelection orderSelection;
    auto warn = [&err](const std::string& text) { err << "ldi: warning: " << text << std::endl; };
    try {
        if (options.bold.empty()) throw InputError{"--bold RUN.nii.gz is required"};
        if (options.seeds.empty()) throw InputError{"--seed NAME=MASK.nii.gz or NAME=X,Y,Z,R is required"};
        parameters = readParameters(options, app);
        orderChoice = parseOrder(options.order, options.orderReport);
        if (options.out.empty() && !options.orderReport) throw InputError{"--out DIR is required"};
        if (!options.out.empty()) checkOutputFolder(options.out);
        if (!options.events.empty() && options.events.size() != options.bold.size())
            throw InputError{"give one --events file per --bold run (" + std::to_string(options.bold.size()) +
                             " runs, " + std::to_string(options.events.size()) + " events files)"};
        if (!options.conditions.empty() && options.events.empty())
            throw InputError{"--condition chooses among the trial types of --events files; none were given"};

        for (std::size_t r = 0; r < options.bold.size(); ++r) {
            auto run = std::make_unique<Run>();
            run->path = options.bold[r];
            std::string problem;
            if (!run->reader.open(run->path, problem)) throw InputError{problem};
            const NiftiHeader& h = run->reader.header();
            int64_t beyond = 1;
            for (std::size_t i = 5; i < 8; ++i) beyond *= h.dim[i];
            if (h.rank < 4 || h.volumes() < 2 || beyond > 1)
                throw InputError{run->path + ": a bold run is a 4D image of several volumes; this one has " +
                                 std::to_string(h.rank) + " dimensions (" + gridText(h) + " x " +
                                 std::to_string(h.volumes() * beyond) + ")"};
            if (r > 0 && !sameGrid(runs.front()->reader.header(), h))
                throw InputError{"the runs " + runs.front()->path + " (" + gridText(runs.front()->reader.header()) +
                                 ") and " + run->path + " (" + gridText(h) +
                                 ") are on different grids (dimensions, or affines more than 0.001 mm apart)"};
            if (options.skip >= h.volumes())
                throw InputError{run->path + ": --skip " + std::to_string(options.skip) + " leaves none of its " +
                                 std::to_string(h.volumes()) + " volumes"};
            // The repetition time: the option, else the sidecar, else the header.
            double sidecarTr = 0.0;
            bool sidecarFound = false;
            if (!sidecarRepetitionTime(run->path, sidecarTr, sidecarFound, problem)) throw InputError{problem};
            const double headerTr = headerRepetitionTime(h);
            if (sidecarFound && headerTr > 0.0 && std::fabs(sidecarTr - headerTr) > 1e-3 * sidecarTr)
                warn(run->path + ": the sidecar's RepetitionTime " + std::to_string(sidecarTr) +
                     " s differs from the header's " + std::to_string(headerTr) + " s; the sidecar's is used");
            run->tr = options.tr > 0.0 ? options.tr : sidecarFound ? sidecarTr : headerTr;
            if (!options.events.empty()) {
                if (!(run->tr > 0.0))
                    throw InputError{run->path + ": no repetition time (no sidecar RepetitionTime, no pixdim[4] in "
                                                 "the header), so events in seconds cannot be placed; give --tr"};
                if (!readEventsFile(options.events[r], run->events, problem)) throw InputError{problem};
            }
            runs.push_back(std::move(run));
        }
        const NiftiHeader& grid = runs.front()->reader.header();
        const std::string& firstBold = runs.front()->path;

        std::set<std::string> labels;
        for (const std::string& text : options.seeds) {
            seeds.push_back(parseSeed(text, grid, firstBold));
            if (!labels.insert(seeds.back().label).second)
                throw InputError{"two seeds give the same file name 'seed-" + seeds.back().label +
                                 "'; name them apart"};
        }
        std::vector<float> maskValues;
        if (!options.mask.empty()) maskValues = readMaskOnGrid(options.mask, grid, firstBold, "mask");

        // Conditions.
        if (options.events.empty()) {
            const std::string task = entityValue(firstBold, "task");
            conditionNames.push_back(task.empty() ? std::string("all") : task);
        } else {
            std::set<std::string> types;
            for (const auto& run : runs)
                for (const Event& event : run->events) types.insert(event.type);
            if (options.conditions.empty()) {
                conditionNames.assign(types.begin(), types.end());
            } else {
                for (const std::string& name : options.conditions) {
                    if (types.count(name) == 0) {
                        std::string known;
                        for (const std::string& type : types) known += (known.empty() ? "" : ", ") + type;
                        throw InputError{"--condition " + name + ": no event has this trial_type (the events files hold: " +
                                         (known.empty() ? std::string("none") : known) + ")"};
                    }
                    if (std::find(conditionNames.begin(), conditionNames.end(), name) == conditionNames.end())
                        conditionNames.push_back(name);
                }
            }
            if (conditionNames.empty()) throw InputError{"the events files hold no event"};
        }
    } catch (const InputError& error) {
        err << "ldi: " << error.message << std::endl;
        return EXIT_USAGE;
    }

    // The intervals of every condition and run, checked before reading the data
    // (with the order chosen from the data: every interval longer than 1 for
    // the choice, then again with the order chosen).
    int32_t order = orderChoice.automatic ? 1 : parameters.autoRegressionOrder;
    std::vector<EngineCondition> conditions;
    std::vector<std::string> conditionLabels;
    auto buildConditions = [&](bool warnings) -> int {
        conditions.clear();
        conditionLabels.clear();
        std::set<std::string> usedLabels;
        for (std::size_t c = 0; c < conditionNames.size(); ++c) {
            EngineCondition condition;
            condition.name = conditionNames[c];
            int32_t tooShort = 0;
            for (std::size_t r = 0; r < runs.size(); ++r) {
                const auto volumes = static_cast<int32_t>(runs[r]->reader.header().volumes());
                EngineEntry entry;
                entry.source = entry.target = static_cast<int32_t>(r);
                if (options.events.empty()) {
                    if (volumes - options.skip > order) entry.intervals.push_back(Interval{options.skip + 1, volumes});
                    else ++tooShort;
                } else {
                    const EventIntervals found = eventIntervals(runs[r]->events, condition.name, runs[r]->tr,
                                                                options.shift, volumes, options.skip, order);
                    entry.intervals = found.intervals;
                    tooShort += found.tooShort;
                }
                if (!entry.intervals.empty()) condition.entries.push_back(entry);
            }
            if (tooShort > 0 && warnings)
                warn("condition '" + condition.name + "': " + std::to_string(tooShort) +
                     (tooShort == 1 ? " interval was" : " intervals were") +
                     " left out, no longer than the model order " + std::to_string(order) + " (or outside the run)");
            if (condition.entries.empty()) {
                err << "ldi: condition '" << condition.name << "' has no interval longer than the model order " << order
                    << " in any run" << std::endl;
                return EXIT_USAGE;
            }
            std::string label = safeLabel(condition.name);
            if (!usedLabels.insert(label).second) {
                label += std::to_string(c + 1);
                usedLabels.insert(label);
            }
            conditionLabels.push_back(label);
            conditions.push_back(std::move(condition));
        }
        return 0;
    };
    if (const int status = buildConditions(!orderChoice.automatic); status != 0) return status;

    // The data, read once each.
    std::error_code error;
    if (!options.out.empty() && !fs::exists(options.out, error)) {
        if (!fs::create_directories(options.out, error)) {
            err << "ldi: cannot create the output folder " << options.out << ": " << error.message() << std::endl;
            return EXIT_USAGE;
        }
        createdFolder = true;
    }
    // A failure before the first result leaves no folder of ours behind.
    auto failInput = [&](const std::string& message) {
        err << "ldi: " << message << std::endl;
        if (createdFolder) fs::remove(options.out, error);
        return EXIT_USAGE;
    };
    const auto started = std::chrono::steady_clock::now();
    for (const auto& run : runs) {
        run->source = std::make_unique<NiftiSliceSource>();
        int lastShown = -1;
        const LoadProgress progress = [&](int64_t done, int64_t total) {
            const int percent = static_cast<int>(done * 100 / total) / 10 * 10;
            if (options.quiet || percent == lastShown) return;
            if (std::chrono::steady_clock::now() - started < std::chrono::seconds(2)) return;
            lastShown = percent;
            err << "ldi: reading " << run->path << ": " << percent << "%" << std::endl;
        };
        std::string problem;
        const std::string spillFolder = options.out.empty() ? fs::temp_directory_path(error).string() : options.out;
        if (!run->source->load(run->reader, options.skip, spillFolder, progress, problem)) return failInput(problem);
    }

    const NiftiHeader& grid = runs.front()->reader.header();
    const int64_t gridVoxels = grid.voxelsPerVolume();
    const int64_t sliceVoxels = grid.nx() * grid.ny();
    // Voxels with usable data in every run (finite, varying).
    std::vector<uint8_t> usable(static_cast<std::size_t>(gridVoxels), 1);
    for (const auto& run : runs)
        for (std::size_t v = 0; v < usable.size(); ++v) usable[v] = usable[v] & run->source->usable()[v];
    if (options.mask.empty()) {
        analysed = usable;
    } else {
        std::vector<float> maskValues;
        NiftiHeader maskHeader;
        std::string problem;
        if (!readNiftiVolume(options.mask, maskHeader, maskValues, false, problem)) return failInput(problem);
        analysed.assign(static_cast<std::size_t>(gridVoxels), 0);
        for (std::size_t v = 0; v < analysed.size(); ++v)
            analysed[v] = maskValues[v] != 0.0f && !std::isnan(maskValues[v]) ? 1 : 0;
    }
    const auto analysedCount = std::count(analysed.begin(), analysed.end(), uint8_t{1});
    if (analysedCount == 0)
        return failInput(options.mask.empty()
                             ? "no voxel of " + runs.front()->path + " has a finite, varying time course"
                             : "the mask " + options.mask + " holds no voxel");

    // The seeds' reference time courses, from voxels that are analysed and
    // hold usable data (a NaN would spoil every measure of the seed).
    std::vector<std::unique_ptr<VoiTimeCourse>> records;
    std::vector<EngineSeed> engineSeeds;
    for (Seed& seed : seeds) {
        std::vector<int64_t> kept;
        for (int64_t v : seed.voxels)
            if (analysed[static_cast<std::size_t>(v)] != 0 && usable[static_cast<std::size_t>(v)] != 0) kept.push_back(v);
        if (kept.empty())
            return failInput("seed '" + seed.name + "': none of its " + std::to_string(seed.voxels.size()) +
                             " voxels lies inside the analysed voxels" +
                             (options.mask.empty() ? std::string(" (finite, varying time courses)")
                                                   : " of the mask " + options.mask));
        if (kept.size() < seed.voxels.size())
            warn("seed '" + seed.name + "': " + std::to_string(seed.voxels.size() - kept.size()) + " of its " +
                 std::to_string(seed.voxels.size()) + " voxels lie outside the analysed voxels and are left out");
        seed.voxels = kept;
        EngineSeed engineSeed;
        engineSeed.name = seed.name;
        for (const auto& run : runs) {
            auto record = std::make_unique<VoiTimeCourse>();
            record->voiName = seed.name;
            record->vtcPath = run->path;
            const int32_t volumes = run->source->numVolumes();
            record->meanTimeCourse = Matrix(1, volumes, 1, 1);
            record->residualCovariance = Matrix(1, 1, 1, 1);
            record->arCoefficients = MatrixList(order, 1, record->residualCovariance);
            std::string problem;
            seedMean(*run->source, seed.voxels, sliceVoxels, record->meanTimeCourse, problem);
            if (!problem.empty()) return failInput(problem);
            engineSeed.references.push_back(record.get());
            records.push_back(std::move(record));
        }
        engineSeeds.push_back(std::move(engineSeed));
    }

    if (orderChoice.automatic) {
        EngineInput sample;
        sample.parameters = &parameters;
        sample.grid.dimX = static_cast<int32_t>(grid.nx());
        sample.grid.dimY = static_cast<int32_t>(grid.ny());
        sample.grid.dimZ = static_cast<int32_t>(grid.nz());
        for (const auto& run : runs) sample.sources.push_back(run->source.get());
        sample.seeds = engineSeeds;
        sample.conditions = conditions;
        sample.voxelMask = &analysed;
        OrderSelection selection;
        std::ostringstream problem;
        if (!selectModelOrder(sample, orderChoice.maxOrder, ORDER_SAMPLE_VOXELS, selection, problem))
            return failInput("--order auto: " + problem.str());
        std::ostringstream table;
        writeOrderTable(selection, table);
        if (selection.leftOutIntervals > 0)
            table << selection.leftOutIntervals << " intervals no longer than " << orderChoice.maxOrder
                  << " volumes were left out of the choice\n";
        if (options.orderReport) {
            out << table.str() << std::flush;
            if (createdFolder) fs::remove(options.out, error);
            return EXIT_RUN_SUCCEEDED;
        }
        if (!options.quiet) err << "ldi: model order from the data:\n" << table.str() << std::flush;
        order = selection.chosen;
        parameters.autoRegressionOrder = order;
        if (const int status = buildConditions(true); status != 0) return status;
        for (const auto& record : records)
            record->arCoefficients = MatrixList(order, 1, record->residualCovariance);
        orderSelection = std::move(selection);
    }

    // The random numbers: from the given seed, or from the clock's value,
    // which is printed and recorded so that the run can be repeated.
    const int64_t rngSeed = options.rngSeed >= 0 ? options.rngSeed : static_cast<int64_t>(std::time(nullptr));
    if (options.rngSeed < 0) err << "ldi: rng seed " << rngSeed << " (repeat the run with --rng-seed " << rngSeed << ")" << std::endl;

    MapRunRecord record;
    record.parameters = &parameters;
    record.rngSeed = rngSeed;
    record.date = utcDate();
    record.orderSelection = orderSelection;
    std::vector<std::string> boldPaths;
    for (const auto& run : runs) {
        record.inputs.push_back(MapRunInput{run->path, run->reader.storedSize()});
        boldPaths.push_back(run->path);
    }
    for (const std::string& path : options.events)
        record.inputs.push_back(MapRunInput{path, static_cast<uint64_t>(fs::file_size(path, error))});
    if (!options.mask.empty())
        record.inputs.push_back(MapRunInput{options.mask, static_cast<uint64_t>(fs::file_size(options.mask, error))});
    record.entityPrefix = sharedEntityPrefix(boldPaths);
    record.grid = grid;

    std::vector<SeedResults> results(seeds.size());
    for (std::size_t s = 0; s < seeds.size(); ++s) {
        results[s].seedName = seeds[s].name;
        results[s].seedLabel = seeds[s].label;
        results[s].conditionNames = conditionNames;
        results[s].conditionLabels = conditionLabels;
        results[s].kinds.assign(parameters.mapTypesComputed.begin(), parameters.mapTypesComputed.end());
    }

    std::string problem;
    EngineInput input;
    input.parameters = &parameters;
    input.grid.dimX = static_cast<int32_t>(grid.nx());
    input.grid.dimY = static_cast<int32_t>(grid.ny());
    input.grid.dimZ = static_cast<int32_t>(grid.nz());
    for (const auto& run : runs) {
        input.sources.push_back(run->source.get());
        input.longestSource = std::max(input.longestSource, run->source->numVolumes());
    }
    input.seeds = std::move(engineSeeds);
    input.conditions = std::move(conditions);
    input.voxelMask = &analysed;
    input.rngSeed = static_cast<uint32_t>(rngSeed);
    input.options.threads = options.threads;
    if (!applyStatisticsOptions(options.statistics, input, record, problem)) return failInput(problem);

    if (!writeDatasetDescription(options.out, problem)) {
        err << "ldi: " << problem << std::endl;
        return EXIT_RUN_FAILED;
    }
    EngineWork work;
    work.workers = std::make_unique<WorkerTeam>(threadCountFor(options.threads) - 1);
    allocateMeasureVolumes(work, input.grid);
    allocateModelWork(work, order);
    std::ostringstream runLog;
    std::ostringstream errors;
    MapListener listener(record, options.out, results, runLog, err, options.quiet);
    const int status = runEngine(input, work, listener, runLog, errors);
    releaseEngineWork(work);
    if (status != statusSuccess) {
        if (!errors.str().empty()) err << "ldi: " << errors.str() << std::endl;
        return status == statusInvalidChoices ? EXIT_USAGE : EXIT_RUN_FAILED;
    }
    if (!options.quiet)
        out << "ldi map: " << seeds.size() << (seeds.size() == 1 ? " seed, " : " seeds, ") << conditionNames.size()
            << (conditionNames.size() == 1 ? " condition, " : " conditions, ") << analysedCount
            << " voxels analysed; results in " << options.out << std::endl;
    return EXIT_RUN_SUCCEEDED;
}

const char MAP_FOOTER[] =
    "Seeds: NAME=MASK.nii.gz (the mask's nonzero voxels, on the bold's grid) or NAME=X,Y,Z,R\n"
    "(a sphere of R mm around world coordinates in mm). Without --mask, every voxel whose time\n"
    "course is finite and not constant is analysed. Without --events each run after --skip is one\n"
    "interval of one condition named after the task- entity.\n"
    "\n"
    "Examples:\n"
    "  ldi map --bold sub-01_task-rest_bold.nii.gz --seed PCC=0,-52,26,6 --out derivatives/ldi\n"
    "  ldi map --bold sub-01_task-motor_run-1_bold.nii.gz --bold sub-01_task-motor_run-2_bold.nii.gz \\\n"
    "          --events sub-01_task-motor_run-1_events.tsv --events sub-01_task-motor_run-2_events.tsv \\\n"
    "          --condition left --seed M1=m1_mask.nii.gz --mask brain.nii.gz --rng-seed 7 --out ldi\n";

}  // namespace

Command addMapCommand(CLI::App& ldi) {
    auto options = std::make_shared<MapOptions>();
    CLI::App* map = ldi.add_subcommand("map", "compute LDI maps from NIfTI runs, seeds and BIDS events");
    map->add_option("--bold", options->bold, "a 4D NIfTI run (.nii or .nii.gz); repeat for several runs")
        ->type_name("RUN")
        ->required();
    map->add_option("--seed", options->seeds, "NAME=MASK.nii.gz or NAME=X,Y,Z,R (repeatable)")
        ->type_name("NAME=MASK|X,Y,Z,R")
        ->required();
    map->add_option("--mask", options->mask, "the voxels to analyse (3D, on the bold's grid)")->type_name("BRAIN");
    map->add_option("--events", options->events, "a BIDS events.tsv per --bold, in the same order")
        ->type_name("EVENTS");
    map->add_option("--condition", options->conditions, "a trial_type to map (repeatable; default all)")
        ->type_name("NAME");
    map->add_option("--shift", options->shift, "seconds added to every volume's acquisition time")
        ->type_name("SECONDS");
    map->add_option("--tr", options->tr, "repetition time in seconds (overrides sidecar and header)")
        ->type_name("SECONDS")
        ->check(CLI::PositiveNumber);
    map->add_option("--skip", options->skip, "volumes left out at the start of every run")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber);
    map->add_option("--order", options->order,
                    "autoregressive model order, or auto[:MAX] for the order from 1 to MAX (default 8) with the "
                    "lowest median BIC over a sample of the voxels' models with the seed (settings default)")
        ->type_name("P|auto[:MAX]");
    map->add_flag("--order-report", options->orderReport,
                  "print the AIC and BIC of every order up to --order auto:MAX and stop (no maps)");
    map->add_option("--surrogates", options->surrogates, "surrogate reference time courses (settings default)")
        ->type_name("N");
    map->add_option("--q", options->q, "FDR q values, comma-separated (settings default 0.01,0.05,0.1)")
        ->type_name("Q,...");
    map->add_option("--settings", options->settings, "an LDIPlugin.ini with further analysis parameters")
        ->type_name("FILE");
    map->add_option("--rng-seed", options->rngSeed, "seed of the surrogates (default: the clock, printed)")
        ->type_name("N")
        ->check(CLI::Range(0LL, static_cast<long long>(INT64_MAX)));
    map->add_option("--threads", options->threads, "threads of the computation")
        ->type_name("N")
        ->check(CLI::Range(1, 4096));
    addStatisticsOptions(*map, options->statistics);
    map->add_option("--out", options->out, "output folder (BIDS derivatives; not needed with --order-report)")
        ->type_name("DIR");
    map->add_flag("--quiet", options->quiet, "no progress on standard error, no summary on standard output");
    map->footer(MAP_FOOTER);
    return Command{map, [map, options](const CommandStreams& streams) {
                       return performMap(*options, *map, streams.out, streams.err);
                   }};
}

}  // namespace ldi_host
