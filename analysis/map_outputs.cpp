#include "analysis/map_outputs.h"
#include "analysis/null_tail_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>

#include "engine/map_look.h"
#include "formats/bids_inputs.h"
#include "formats/nifti_map.h"
#include "formats/result_index.h"
#include "formats/statmap_names.h"
#include "formats/temporary_files.h"
#include "stats/distributions.h"

namespace ldi {

const char* const ldiVersion = "2.1.0";

namespace {

std::atomic<unsigned> temporaryCounter{0};

// Closes the descriptor and removes the temporary file unless it was renamed.
class ExclusiveFile {
public:
    ~ExclusiveFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty() && !kept_) ::unlink(path_.c_str());
        if (slot_ >= 0) unregisterTemporaryFile(slot_);
    }
    bool create(const std::string& finalPath, std::string& problem) {
        const std::filesystem::path target(finalPath);
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            // The process id in the name lets a later run remove what a killed
            // one left (removeStaleTemporaryFiles); a signal removes it at once.
            path_ = (target.parent_path() / (temporaryPrefix() + std::to_string(temporaryCounter++) + "-" +
                                             target.filename().string() + ".tmp"))
                        .string();
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ < 0 && errno != EEXIST) break;
        }
        if (fd_ >= 0) slot_ = registerTemporaryFile(path_);
        if (fd_ < 0) {
            problem = "cannot create a file beside " + finalPath + ": " + std::strerror(errno);
            path_.clear();
            return false;
        }
        return true;
    }
    bool write(std::string_view content, const std::string& finalPath, std::string& problem) {
        const char* data = content.data();
        std::size_t left = content.size();
        while (left > 0) {
            const ssize_t written = ::write(fd_, data, left);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                problem = "cannot write " + finalPath + ": " + std::strerror(written < 0 ? errno : ENOSPC);
                return false;
            }
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        const bool synced = ::fsync(fd_) == 0;
        const int error = errno;
        const bool closed = ::close(fd_) == 0;
        fd_ = -1;
        if (!synced || !closed) {
            problem = "cannot write " + finalPath + ": " + std::strerror(synced ? errno : error);
            return false;
        }
        return true;
    }
    bool rename(const std::string& finalPath, std::string& problem) {
        if (::rename(path_.c_str(), finalPath.c_str()) != 0) {
            problem = "cannot rename the finished file to " + finalPath + ": " + std::strerror(errno);
            return false;
        }
        kept_ = true;
        return true;
    }

private:
    int fd_ = -1;
    int slot_ = -1;
    std::string path_;
    bool kept_ = false;
};

// A float32 parameter as the decimal it was typed as (0.05, not 0.0500000007).
double decimal(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return std::strtod(text, nullptr);
}

nlohmann::ordered_json parametersJson(const GlobalParameters& p) {
    nlohmann::ordered_json json;
    std::vector<std::string> kinds;
    for (MapType type : p.mapTypesComputed) kinds.push_back(mapTypeName(type));
    json["MapTypesComputed"] = kinds;
    std::vector<double> q;
    for (float value : p.qThresholdsForFDR) q.push_back(decimal(value));
    json["QThresholdsForFDR"] = q;
    json["CVConstantForFDR"] = p.cvConstantForFDR;
    json["AutoRegressionOrder"] = p.autoRegressionOrder;
    json["NumSurrogateSimulations"] = p.numSurrogateSimulations;
    json["NumDiscardedSimulatedTimePoints"] = p.numDiscardedSimulatedTimePoints;
    json["DLDI_ITInstLowerThres"] = decimal(p.dldiITInstLowerThres);
    json["DLDI_RCUpperThres"] = decimal(p.dldiRCUpperThres);
    json["MapScaleFactor"] = decimal(p.mapScaleFactor);
    return json;
}

std::string dump(const nlohmann::ordered_json& json) {
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace

std::vector<float> significanceMap(const std::vector<float>& pValues, const std::vector<float>& zValues,
                                   const std::vector<float>& values, MapType type, bool asZ) {
    std::vector<float> out(pValues.size());
    const bool signedKind = type == DLDI || type == DLDI_IT;
    for (std::size_t i = 0; i < pValues.size(); ++i) {
        const double p = pValues[i];
        if (!asZ) {
            out[i] = static_cast<float>(p);
        } else if (!(p < 1.0) || i >= values.size() || values[i] == 0.0f) {
            out[i] = 0.0f;
        } else {
            // The engine's z (from ln p) where it gave one: p in float has a floor.
            const double z = i < zValues.size() ? zValues[i] : normalUpperQuantile(signedKind ? 0.5 * p : p);
            out[i] = static_cast<float>(signedKind && values[i] < 0.0f ? -z : z);
        }
    }
    return out;
}

std::string utcDate() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool writeFileSafely(const std::string& path, std::string_view content, std::string& problem) {
    ExclusiveFile file;
    return file.create(path, problem) && file.write(content, path, problem) && file.rename(path, problem);
}

std::string mapKindLabel(MapType type) {
    switch (type) {
    case REF2VOX: return "ref2vox";
    case VOX2REF: return "vox2ref";
    case INST: return "inst";
    case DLDI: return "dldi";
    case DLDI_IT: return "dldiit";
    case DLDI_RC: return "dldirc";
    }
    return "unknown";
}

std::string recordedPath(const MapRunRecord& run, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path absolute = fs::weakly_canonical(fs::absolute(path, error), error);
    for (const DatasetRoot& root : run.datasets) {
        const fs::path folder = fs::weakly_canonical(fs::absolute(root.folder, error), error);
        const fs::path within = absolute.lexically_relative(folder);
        if (!within.empty() && *within.begin() != "..") return "bids:" + root.name + ":" + within.generic_string();
    }
    if (run.outputFolder.empty()) return path;
    const fs::path output = fs::weakly_canonical(fs::absolute(run.outputFolder, error), error);
    const fs::path relative = absolute.lexically_relative(output);
    return relative.empty() ? path : relative.generic_string();
}

namespace {

nlohmann::ordered_json inputsJson(const MapRunRecord& run) {
    nlohmann::ordered_json inputs = nlohmann::ordered_json::array();
    for (const MapRunInput& input : run.inputs) {
        nlohmann::ordered_json entry{{"Path", input.inMemory ? input.path : recordedPath(run, input.path)},
                                     {"Bytes", input.bytes}};
        if (!input.role.empty()) entry["Role"] = input.role;
        if (!input.sha256.empty()) entry["SHA256"] = input.sha256;
        inputs.push_back(entry);
    }
    return inputs;
}

nlohmann::ordered_json runsJson(const MapRunRecord& run) {
    nlohmann::ordered_json runs = nlohmann::ordered_json::array();
    for (const RunProvenance& given : run.runs) {
        nlohmann::ordered_json entry{{"Path", given.inMemory ? given.path : recordedPath(run, given.path)},
                                     {"RepetitionTime", given.tr},
                                     {"RepetitionTimeSource", given.trSource},
                                     {"RepetitionTimeFile", given.trFile.empty()
                                                                ? nlohmann::ordered_json(nullptr)
                                                                : nlohmann::ordered_json(recordedPath(run, given.trFile))},
                                     {"SkippedVolumes", given.skipped},
                                     {"SkippedVolumesSource", given.skipSource}};
        entry["Events"] = given.events.empty() ? nlohmann::ordered_json(nullptr)
                                               : nlohmann::ordered_json(recordedPath(run, given.events));
        entry["ConfoundsFile"] = given.confounds.empty() ? nlohmann::ordered_json(nullptr)
                                                         : nlohmann::ordered_json(recordedPath(run, given.confounds));
        runs.push_back(entry);
    }
    return runs;
}

}  // namespace

LdiFile emptySeedMapSet(const MapRunRecord& run) {
    LdiFile set;
    set.geometry.xEnd = set.geometry.dimX = static_cast<int32_t>(run.grid.nx());
    set.geometry.yEnd = set.geometry.dimY = static_cast<int32_t>(run.grid.ny());
    set.geometry.zEnd = set.geometry.dimZ = static_cast<int32_t>(run.grid.nz());
    for (float q : run.parameters->qThresholdsForFDR) {
        char label[64];
        std::snprintf(label, sizeof label, "thres q=%1.3f", static_cast<double>(q));
        set.levelLabels.push_back(label);
    }
    return set;
}

LdiMap seedSetMap(const MapRunRecord& run, const SeedResults& seed, std::size_t m) {
    const GlobalParameters& parameters = *run.parameters;
    const MapType type = seed.kinds[m % seed.kinds.size()];
    const MapThresholds& thresholds = seed.thresholds[m];
    LdiMap map;
    map.name = mapDisplayName(type, seed.conditionNames[m / seed.kinds.size()]);
    map.mapKind = 101;
    mapDisplayThresholds(thresholds, parameters, map.lowerThreshold, map.upperThreshold);
    MapLook look{};
    mapLook(type, look);
    map.positiveColourLow = look.positiveLow;
    map.positiveColourHigh = look.positiveHigh;
    map.negativeColourLow = look.negativeLow;
    map.negativeColourHigh = look.negativeHigh;
    map.useNegativeColours = 1;
    map.fdrThresholds = thresholds.searched ? thresholds.thresholds
                                            : std::vector<float>(parameters.qThresholdsForFDR.size(), 0.0f);
    map.passingVoxels = thresholds.passing;
    map.voxels.assign(seed.maps[m].begin(), seed.maps[m].end());
    return map;
}

nlohmann::ordered_json mapRunJson(const MapRunRecord& run) {
    nlohmann::ordered_json json;
    json["rngSeed"] = run.rngSeed;
    if (!run.generation.empty()) json["runGeneration"] = run.generation;
    json["fdr"] = {{"method", run.fdrMethod}, {"dependence", run.fdrDependence}, {"nullDraws", run.nullDraws}};
    json["parameters"] = parametersJson(*run.parameters);
    if (!run.orderSelection.table.empty()) {
        nlohmann::ordered_json table = nlohmann::ordered_json::array();
        for (const OrderCriteria& row : run.orderSelection.table)
            table.push_back({{"order", row.order}, {"medianAIC", row.medianAic}, {"medianBIC", row.medianBic}});
        json["modelOrder"] = {{"chosen", run.orderSelection.chosen},
                              {"rule", "lowest median BIC over sampled seed-voxel pairs"},
                              {"sampledPairs", run.orderSelection.sampledPairs},
                              {"timePoints", run.orderSelection.timePoints},
                              {"criteria", table}};
    }
    json["inputs"] = inputsJson(run);
    json["runs"] = runsJson(run);
    json["command"] = run.command;
    json["version"] = ldiVersion;
    json["date"] = run.date;
    if (!run.confounds.is_null()) json["confounds"] = run.confounds;
    return json;
}

namespace {

// One map file of a seed: its place in the seed's results and what it holds.
struct MapFile {
    std::size_t index = 0;  // condition * kinds + kind
    MapType type = DLDI;
    std::string statistic;  // kStatEffect, kStatZ, kStatP
    std::string stem;       // the file name without ".nii.gz" / ".json"
};

const char* statisticMeaning(const std::string& statistic, MapType type) {
    const bool signedKind = type == DLDI || type == DLDI_IT;
    if (statistic == kStatEffect) return "the measure's value in map units";
    if (statistic == kStatP)
        return signedKind ? "p-value of the difference, two-sided (from its magnitude); 1 where no value"
                          : "p-value of the measure, one-sided; 1 where no value";
    return signedKind ? "z score of the two-sided p-value, signed by the difference; 0 where no value"
                      : "z score of the one-sided p-value; 0 where no value";
}

nlohmann::ordered_json thresholdsJson(const SeedResults& seed, std::size_t m, const nlohmann::ordered_json& index) {
    nlohmann::ordered_json thresholds = nlohmann::ordered_json::array();
    if (!seed.thresholds[m].searched) return thresholds;
    const auto& levels = index["maps"][m]["fdrThresholds"];
    for (std::size_t t = 0; t < levels.size(); ++t) {
        nlohmann::ordered_json level;
        level["q"] = levels[t]["q"];
        level["Threshold"] = levels[t]["threshold"];
        level["VoxelsPassing"] = levels[t]["passingVoxels"];
        level["NonePasses"] = levels[t]["nonePasses"];
        thresholds.push_back(level);
    }
    return thresholds;
}

// The run's inputs as every sidecar of a seed names them, resolved once:
// resolving a path reads each folder on its way as a possible link, a
// thousand system calls a sidecar when done per map.
struct RecordedInputs {
    nlohmann::ordered_json runs, inputs, sources;
};

RecordedInputs recordedInputs(const MapRunRecord& run) {
    RecordedInputs recorded{runsJson(run), inputsJson(run), nlohmann::ordered_json::array()};
    for (const auto& input : recorded.inputs) recorded.sources.push_back(input["Path"]);
    return recorded;
}

// Everything a reader of one map needs without the others: what it holds,
// of which seed and condition, at which thresholds, from which inputs.
nlohmann::ordered_json mapSidecar(const MapRunRecord& run, const SeedResults& seed, const MapFile& file,
                                  const std::string& displayName, const nlohmann::ordered_json& index,
                                  const RecordedInputs& recorded) {
    const std::size_t condition = file.index / seed.kinds.size();
    nlohmann::ordered_json sidecar;
    sidecar["Measure"] = mapKindLabel(file.type);
    sidecar["MapKind"] = mapKindLabel(file.type);
    sidecar["Statistic"] = file.statistic;
    sidecar["Description"] = statisticMeaning(file.statistic, file.type);
    sidecar["DisplayName"] = displayName;
    sidecar["Seed"] = seed.seedName;
    sidecar["SeedDefinition"] = seed.definition;
    sidecar["Condition"] = seed.conditionNames[condition];
    if (seed.thresholds[file.index].searched) {
        sidecar["FDRMethod"] = seed.thresholds[file.index].method;
        sidecar["ThresholdMethod"] = "FDR (" + seed.thresholds[file.index].method + ")";
    }
    // How the thresholds' null was drawn and corrected, beside the thresholds.
    sidecar["FDRDependence"] = run.fdrDependence;
    sidecar["NullDraws"] = run.nullDraws;
    // The volumes this map's condition took in each run.
    nlohmann::ordered_json volumes = nlohmann::ordered_json::array();
    if (condition < run.conditionVolumes.size())
        for (const std::vector<Interval>& spans : run.conditionVolumes[condition]) {
            nlohmann::ordered_json spansJson = nlohmann::ordered_json::array();
            for (const Interval& span : spans) spansJson.push_back({span.first, span.last});
            volumes.push_back(spansJson);
        }
    sidecar["ConditionVolumes"] = volumes;
    // The thresholds are levels of the measure's value, whichever map this is.
    sidecar["FDRThresholds"] = thresholdsJson(seed, file.index, index);
    if (seed.thresholds[file.index].tail.tried) sidecar["NullTail"] = nullTailJson(seed.thresholds[file.index].tail);
    if (file.statistic != kStatEffect) sidecar["ThresholdsOf"] = kStatEffect;
    if (file.statistic == kStatEffect && !run.writeP.empty() && !seed.thresholds[file.index].pValues.empty())
        sidecar[run.writeP == "z" ? "ZMap" : "PMap"] =
            statMapStem(run.entityPrefix, seed.seedLabel, seed.conditionLabels[condition], mapKindLabel(file.type),
                        run.writeP == "z" ? kStatZ : kStatP) +
            "_statmap.nii.gz";
    sidecar["Parameters"] = parametersJson(*run.parameters);
    sidecar["RngSeed"] = run.rngSeed;
    if (!run.generation.empty()) sidecar["RunGeneration"] = run.generation;
    sidecar["Runs"] = recorded.runs;
    sidecar["Inputs"] = recorded.inputs;
    sidecar["Sources"] = recorded.sources;
    sidecar["Command"] = run.command;
    sidecar["GeneratedBy"] = {{"Name", "ldi"}, {"Version", ldiVersion}};
    sidecar["Date"] = run.date;
    if (!run.confounds.is_null()) sidecar["Confounds"] = run.confounds;
    return sidecar;
}

// The seed's maps as the map set ldi run saves (for ldi show and ldi info).
LdiFile seedMapSet(const MapRunRecord& run, const SeedResults& seed) {
    LdiFile set = emptySeedMapSet(run);
    for (std::size_t m = 0; m < seed.maps.size(); ++m) set.maps.push_back(seedSetMap(run, seed, m));
    return set;
}

// The map files of a seed: per map its value, and its z or p map when asked.
std::vector<MapFile> seedMapFiles(const MapRunRecord& run, const SeedResults& seed) {
    std::vector<MapFile> files;
    for (std::size_t m = 0; m < seed.maps.size(); ++m) {
        const std::size_t condition = m / seed.kinds.size();
        const MapType type = seed.kinds[m % seed.kinds.size()];
        const auto stem = [&](const std::string& statistic) {
            return statMapStem(run.entityPrefix, seed.seedLabel, seed.conditionLabels[condition], mapKindLabel(type),
                               statistic) +
                   "_statmap";
        };
        files.push_back(MapFile{m, type, kStatEffect, stem(kStatEffect)});
        if (!run.writeP.empty() && !seed.thresholds[m].pValues.empty()) {
            const std::string statistic = run.writeP == "z" ? kStatZ : kStatP;
            files.push_back(MapFile{m, type, statistic, stem(statistic)});
        }
    }
    return files;
}

bool writeMapFile(const std::string& folder, const MapRunRecord& run, const SeedResults& seed, const MapFile& file,
                  const std::string& displayName, const nlohmann::ordered_json& index,
                  const RecordedInputs& recorded, std::string& problem) {
    const auto at = [&folder](const std::string& name) { return (std::filesystem::path(folder) / name).string(); };
    const MapThresholds& thresholds = seed.thresholds[file.index];
    const std::vector<float>& values = seed.maps[file.index];
    const std::string description = "LDI " + displayName + " seed " + seed.seedName;
    ByteBuffer image;
    bool encoded = false;
    if (file.statistic == kStatEffect) {
        encoded = encodeNiftiMap(run.grid, values, description, image, problem);
    } else {
        const bool asZ = file.statistic == kStatZ;
        encoded = encodeNiftiMap(run.grid,
                                 significanceMap(thresholds.pValues, thresholds.zValues, values, file.type, asZ),
                                 description + (asZ ? " z" : " p"), image, problem, asZ ? zIntent() : pIntent());
    }
    return encoded && writeFileSafely(at(file.stem + ".nii.gz"), image.view(), problem) &&
           writeFileSafely(at(file.stem + ".json"), dump(mapSidecar(run, seed, file, displayName, index, recorded)),
                           problem);
}

}  // namespace

std::string mapDescription(const MapRunRecord& run, const SeedResults& seed, std::size_t m) {
    return "LDI " + seedSetMap(run, seed, m).name + " seed " + seed.seedName;
}

bool writeSeedResults(const std::string& folder, const MapRunRecord& run, const SeedResults& seed,
                      std::string& problem) {
    const std::string base =
        (run.entityPrefix.empty() ? std::string() : run.entityPrefix + "_") + "seed-" + seed.seedLabel;
    const auto at = [&folder](const std::string& name) { return (std::filesystem::path(folder) / name).string(); };
    const LdiFile set = seedMapSet(run, seed);
    const std::vector<MapFile> files = seedMapFiles(run, seed);
    std::vector<std::string> niftiNames;  // the index lists the value maps
    for (const MapFile& file : files)
        if (file.statistic == kStatEffect) niftiNames.push_back(file.stem + ".nii.gz");
    const std::string setName = base + ".ldi";
    ResultIdentity identity;
    identity.pluginName = std::string("ldi map ") + ldiVersion;
    identity.pluginVersion = ldiVersion;
    const nlohmann::ordered_json index = resultJson(set, identity, setName, niftiNames);

    const RecordedInputs recorded = recordedInputs(run);
    if (!run.generation.empty() && !noteRunRecord(folder, run, "", problem)) return false;
    for (const MapFile& file : files)
        if (!writeMapFile(folder, run, seed, file, set.maps[file.index].name, index, recorded, problem))
            return false;
    if (!writeFileSafely(at(base + "_ldi.log"), seed.runLog, problem)) return false;
    if (!writeFileSafely(at(setName), encodeLdi(set), problem)) return false;
    nlohmann::ordered_json fullIndex = index;
    fullIndex["seed"] = seed.seedName;
    fullIndex["seedDefinition"] = seed.definition;
    const nlohmann::ordered_json provenance = mapRunJson(run);
    for (const auto& item : provenance.items()) fullIndex[item.key()] = item.value();
    return writeFileSafely(at(base + "_ldi.json"), dump(fullIndex), problem) &&
           (run.generation.empty() || noteRunRecord(folder, run, base + "_ldi.json", problem));
}

namespace {

namespace fs = std::filesystem;

// A dataset_description.json there that another tool wrote (the raw
// dataset's, fMRIPrep's): ldi neither replaces it nor writes beside it.
bool foreignDescription(const fs::path& folder) {
    const fs::path path = folder / "dataset_description.json";
    std::error_code error;
    if (!fs::exists(path, error)) return false;
    nlohmann::json description;
    std::string ignored;
    if (!readJsonSidecar(path.string(), description, ignored)) return true;
    const auto by = description.find("GeneratedBy");
    return by == description.end() || !by->is_array() || by->empty() || !(*by)[0].is_object() ||
           (*by)[0].value("Name", std::string()) != "ldi";
}

}  // namespace

bool checkOutsideDatasets(const std::string& folder, std::string& problem) {
    std::error_code error;
    fs::path target = fs::weakly_canonical(fs::absolute(folder, error), error).lexically_normal();
    if (target.filename().empty()) target = target.parent_path();
    std::vector<std::string> below;  // the names from an ancestor down to the folder
    for (fs::path at = target; !at.empty(); at = at.parent_path()) {
        if (foreignDescription(at)) {
            if (below.empty()) {
                problem = "the output folder " + folder + " is a dataset of its own (its dataset_description.json "
                          "was not written by ldi); give a folder of its own, e.g. " +
                          (fs::path(folder) / "derivatives" / "ldi").string();
                return false;
            }
            if (below.back().compare(0, 4, "sub-") == 0) {
                problem = "the output folder " + folder + " lies inside " + (at / below.back()).string() +
                          ", a subject of the dataset " + at.string() +
                          "; nothing is written into a dataset: give a folder outside it, e.g. " +
                          (at / "derivatives" / "ldi").string();
                return false;
            }
        }
        if (at == at.parent_path()) break;
        below.push_back(at.filename().string());
    }
    return true;
}

bool writeDatasetDescription(const std::string& folder, const std::vector<DatasetRoot>& datasets,
                             std::string& problem) {
    if (foreignDescription(folder)) {
        problem = (fs::path(folder) / "dataset_description.json").string() +
                  " was written by another tool; ldi does not replace it (give another output folder)";
        return false;
    }
    nlohmann::ordered_json description;
    description["Name"] = "LDI maps";
    description["BIDSVersion"] = "1.8.0";
    description["DatasetType"] = "derivative";
    description["GeneratedBy"] = nlohmann::ordered_json::array(
        {{{"Name", "ldi"}, {"Version", ldiVersion}, {"Description", "lagged-dependency imaging (ldi map)"}}});
    // The names of the BIDS URIs (bids:<name>:...) the sidecars give their
    // inputs by, as folders relative to this one.
    if (!datasets.empty()) {
        nlohmann::ordered_json links = nlohmann::ordered_json::object();
        std::error_code error;
        const fs::path here = fs::weakly_canonical(fs::absolute(folder, error), error);
        for (const DatasetRoot& root : datasets) {
            const fs::path there = fs::weakly_canonical(fs::absolute(root.folder, error), error);
            const fs::path relative = there.lexically_relative(here);
            links[root.name] = relative.empty() ? there.generic_string() : relative.generic_string();
        }
        description["DatasetLinks"] = links;
    }
    // The files beside the maps that BIDS has no name for, so that a
    // validator of the derivatives passes over them.
    const std::string ignored = "*.ldi\n*_ldi.json\n*_ldi.log\n*_ldi-report.html\n*_participant.json\ngroup/group.json\n";
    return writeFileSafely((fs::path(folder) / "dataset_description.json").string(), dump(description), problem) &&
           writeFileSafely((fs::path(folder) / ".bidsignore").string(), ignored, problem);
}

std::string newRunGeneration() {
    std::random_device device;
    std::string hex;
    static const char digits[] = "0123456789abcdef";
    for (int word = 0; word < 4; ++word) {
        uint32_t bits = device();
        for (int nibble = 0; nibble < 8; ++nibble, bits >>= 4) hex += digits[bits & 15u];
    }
    return hex;
}

std::string runRecordPath(const std::string& folder, const std::string& entityPrefix) {
    return (fs::path(folder) / ((entityPrefix.empty() ? std::string() : entityPrefix + "_") + "run_ldi.json"))
        .string();
}

namespace {

// The run record as it is, or a fresh one; an unreadable one is replaced
// (it vouches for nothing then, and the readers refuse what it named).
nlohmann::ordered_json readRunRecord(const std::string& path) {
    nlohmann::json read;
    std::string ignored;
    nlohmann::ordered_json record;
    record["unfinished"] = nullptr;
    record["indexes"] = nlohmann::ordered_json::object();
    std::error_code error;
    if (!fs::exists(path, error) || !readJsonSidecar(path, read, ignored) || !read.is_object()) return record;
    if (read.value("unfinished", nlohmann::json()).is_string()) record["unfinished"] = read["unfinished"];
    const nlohmann::json indexes = read.value("indexes", nlohmann::json::object());
    for (const auto& item : indexes.items())
        if (item.value().is_string()) record["indexes"][item.key()] = item.value();
    return record;
}

}  // namespace

bool noteRunRecord(const std::string& folder, const MapRunRecord& run, const std::string& index, std::string& problem) {
    const std::string path = runRecordPath(folder, run.entityPrefix);
    nlohmann::ordered_json record = readRunRecord(path);
    if (index.empty() && record["unfinished"] == run.generation) return true;
    record["unfinished"] = run.generation;
    if (!index.empty()) record["indexes"][index] = run.generation;
    return writeFileSafely(path, dump(record), problem);
}

bool finishRunRecord(const std::string& folder, const MapRunRecord& run, std::string& problem) {
    const std::string path = runRecordPath(folder, run.entityPrefix);
    std::error_code error;
    if (run.generation.empty() || !fs::exists(path, error)) return true;
    nlohmann::ordered_json record = readRunRecord(path);
    if (record["unfinished"] != run.generation) return true;
    record["unfinished"] = nullptr;
    return writeFileSafely(path, dump(record), problem);
}

bool checkRunGenerations(const std::string& folder, std::string& problem) {
    std::map<std::string, std::string> vouched;  // index name: the generation a finished run wrote it with
    std::vector<std::string> unfinished, mixed;
    std::error_code error;
    std::vector<fs::path> names;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path());
    std::sort(names.begin(), names.end());
    const auto endsWith = [](const std::string& name, const std::string& tail) {
        return name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    // Seed labels are letters and digits: no index ends in "_run_ldi.json".
    const auto isRecord = [&endsWith](const std::string& name) {
        return name == "run_ldi.json" || endsWith(name, "_run_ldi.json");
    };
    for (const fs::path& path : names) {
        if (!isRecord(path.filename().string())) continue;
        const nlohmann::ordered_json record = readRunRecord(path.string());
        if (record["unfinished"].is_string()) unfinished.push_back(path.filename().string());
        for (const auto& item : record["indexes"].items()) vouched[item.key()] = item.value().get<std::string>();
    }
    for (const fs::path& path : names) {
        const std::string name = path.filename().string();
        if (!endsWith(name, "_ldi.json") || isRecord(name)) continue;
        nlohmann::json index;
        std::string ignored;
        if (!readJsonSidecar(path.string(), index, ignored) || !index.is_object() ||
            !index.value("runGeneration", nlohmann::json()).is_string())
            continue;
        const auto found = vouched.find(name);
        if (found == vouched.end() || found->second != index["runGeneration"].get<std::string>()) mixed.push_back(name);
    }
    if (unfinished.empty() && mixed.empty()) return true;
    const auto list = [](const std::vector<std::string>& items) {
        std::string text;
        for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
        return text;
    };
    problem = folder + " holds the files of a run that did not finish" +
              (unfinished.empty() ? std::string() : " (" + list(unfinished) + ")") +
              (mixed.empty() ? std::string() : "; these indexes come from another run than their run record says: " + list(mixed)) +
              ": the seeds may mix two runs; run ldi map again into this folder (or a new one)";
    return false;
}

}  // namespace ldi
