#include "analysis/map_outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "engine/map_look.h"
#include "formats/bids_inputs.h"
#include "formats/nifti_map.h"
#include "formats/result_index.h"
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

nlohmann::ordered_json mapRunJson(const MapRunRecord& run) {
    nlohmann::ordered_json json;
    json["rngSeed"] = run.rngSeed;
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
    nlohmann::ordered_json inputs = nlohmann::ordered_json::array();
    for (const MapRunInput& input : run.inputs) inputs.push_back({{"Path", input.path}, {"Bytes", input.bytes}});
    json["inputs"] = inputs;
    json["date"] = run.date;
    if (!run.confounds.is_null()) json["confounds"] = run.confounds;
    return json;
}

bool writeSeedResults(const std::string& folder, const MapRunRecord& run, const SeedResults& seed,
                      std::string& problem) {
    const GlobalParameters& parameters = *run.parameters;
    const std::string base =
        (run.entityPrefix.empty() ? std::string() : run.entityPrefix + "_") + "seed-" + seed.seedLabel;
    const auto at = [&folder](const std::string& name) { return (std::filesystem::path(folder) / name).string(); };

    // The map set, in the form ldi run saves it (for ldi show and ldi info).
    LdiFile set;
    set.geometry.xEnd = static_cast<int32_t>(run.grid.nx());
    set.geometry.yEnd = static_cast<int32_t>(run.grid.ny());
    set.geometry.zEnd = static_cast<int32_t>(run.grid.nz());
    set.geometry.dimX = set.geometry.xEnd;
    set.geometry.dimY = set.geometry.yEnd;
    set.geometry.dimZ = set.geometry.zEnd;
    for (float q : parameters.qThresholdsForFDR) {
        char label[64];
        std::snprintf(label, sizeof label, "thres q=%1.3f", static_cast<double>(q));
        set.levelLabels.push_back(label);
    }
    std::vector<std::string> niftiNames;
    for (std::size_t m = 0; m < seed.maps.size(); ++m) {
        const std::size_t condition = m / seed.kinds.size();
        const MapType type = seed.kinds[m % seed.kinds.size()];
        const MapThresholds& thresholds = seed.thresholds[m];
        LdiMap map;
        map.name = mapDisplayName(type, seed.conditionNames[condition]);
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
        set.maps.push_back(std::move(map));
        niftiNames.push_back(base + "_cond-" + seed.conditionLabels[condition] + "_stat-" + mapKindLabel(type) +
                             "_ldi.nii.gz");
    }
    const std::string setName = base + ".ldi";
    ResultIdentity identity;
    identity.pluginName = std::string("ldi map ") + ldiVersion;
    identity.pluginVersion = ldiVersion;
    const nlohmann::ordered_json index = resultJson(set, identity, setName, niftiNames);

    nlohmann::ordered_json inputs = nlohmann::ordered_json::array();
    for (const MapRunInput& input : run.inputs) inputs.push_back({{"Path", input.path}, {"Bytes", input.bytes}});
    for (std::size_t m = 0; m < seed.maps.size(); ++m) {
        const std::size_t condition = m / seed.kinds.size();
        const MapType type = seed.kinds[m % seed.kinds.size()];
        const std::string description = "LDI " + set.maps[m].name + " seed " + seed.seedName;
        ByteBuffer image;
        if (!encodeNiftiMap(run.grid, seed.maps[m], description, image, problem) ||
            !writeFileSafely(at(niftiNames[m]), image.view(), problem))
            return false;

        nlohmann::ordered_json sidecar;
        sidecar["MapKind"] = mapKindLabel(type);
        sidecar["DisplayName"] = set.maps[m].name;
        sidecar["Seed"] = seed.seedName;
        sidecar["Condition"] = seed.conditionNames[condition];
        nlohmann::ordered_json thresholds = nlohmann::ordered_json::array();
        if (seed.thresholds[m].searched) {
            const auto& levels = index["maps"][m]["fdrThresholds"];
            for (std::size_t t = 0; t < levels.size(); ++t) {
                nlohmann::ordered_json level;
                level["q"] = levels[t]["q"];
                level["Threshold"] = levels[t]["threshold"];
                level["VoxelsPassing"] = levels[t]["passingVoxels"];
                level["NonePasses"] = levels[t]["nonePasses"];
                thresholds.push_back(level);
            }
            sidecar["FDRMethod"] = seed.thresholds[m].method;
        }
        sidecar["FDRThresholds"] = thresholds;
        if (!run.writeP.empty() && !seed.thresholds[m].pValues.empty()) {
            std::string pName = niftiNames[m];
            pName.replace(pName.size() - 11, 11, "_desc-" + run.writeP + "_ldi.nii.gz");
            ByteBuffer pImage;
            if (!encodeNiftiMap(
                    run.grid, significanceMap(seed.thresholds[m].pValues, seed.thresholds[m].zValues, seed.maps[m], type, run.writeP == "z"),
                    description + (run.writeP == "z" ? " z" : " p"), pImage, problem) ||
                !writeFileSafely(at(pName), pImage.view(), problem))
                return false;
            sidecar[run.writeP == "z" ? "ZMap" : "PMap"] = pName;
        }
        sidecar["Parameters"] = parametersJson(parameters);
        sidecar["RngSeed"] = run.rngSeed;
        sidecar["Inputs"] = inputs;
        sidecar["GeneratedBy"] = {{"Name", "ldi"}, {"Version", ldiVersion}};
        sidecar["Date"] = run.date;
        if (!run.confounds.is_null()) sidecar["Confounds"] = run.confounds;
        std::string jsonName = niftiNames[m];
        jsonName.replace(jsonName.size() - 7, 7, ".json");
        if (!writeFileSafely(at(jsonName), dump(sidecar), problem)) return false;
    }
    if (!writeFileSafely(at(base + "_ldi.log"), seed.runLog, problem)) return false;
    if (!writeFileSafely(at(setName), encodeLdi(set), problem)) return false;
    nlohmann::ordered_json fullIndex = index;
    fullIndex["seed"] = seed.seedName;
    const nlohmann::ordered_json provenance = mapRunJson(run);
    for (const auto& item : provenance.items()) fullIndex[item.key()] = item.value();
    return writeFileSafely(at(base + "_ldi.json"), dump(fullIndex), problem);
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

bool writeDatasetDescription(const std::string& folder, std::string& problem) {
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
    return writeFileSafely((std::filesystem::path(folder) / "dataset_description.json").string(), dump(description),
                           problem);
}

}  // namespace ldi
