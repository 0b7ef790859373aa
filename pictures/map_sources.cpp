#include "pictures/map_sources.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include <nlohmann/json.hpp>

#include "formats/nifti_map.h"
#include "formats/result_index.h"
#include "formats/whole_file.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string withoutEnding(const std::string& path, const std::string& ending) {
    return endsWith(path, ending) ? path.substr(0, path.size() - ending.size()) : path;
}

// The JSON index of a .ldi set: NAME.json (ldi run) or NAME_ldi.json (ldi map).
std::string indexText(const std::string& ldiPath) {
    const std::string base = withoutEnding(ldiPath, ".ldi");
    std::string text, ignored;
    if (readWholeFile(base + ".json", text, ignored)) return text;
    if (readWholeFile(base + "_ldi.json", text, ignored)) return text;
    return std::string();
}

// A group map's statistic ("effect", "t", "p", "p-fwe"; earlier sidecars
// said "mean", "t", "p", "pfwe" by GroupMap), or "" for a subject's map.
std::string groupStatistic(const Json& sidecar) {
    if (sidecar.value("GroupMap", Json()).is_string()) return sidecar["GroupMap"].get<std::string>();
    if (sidecar.contains("TestStatistic") && sidecar.value("Statistic", Json()).is_string())
        return sidecar["Statistic"].get<std::string>();
    return std::string();
}

// The sidecar's FDR levels as the set's levels and the map's thresholds.
void levelsFromSidecar(const Json& sidecar, LdiFile& set, LdiMap& map) {
    const auto levels = sidecar.find("FDRThresholds");
    if (levels == sidecar.end() || !levels->is_array()) return;
    if (groupStatistic(sidecar) != "" && groupStatistic(sidecar) != "t") return;  // the group's levels are those of t
    if (sidecar.contains("ThresholdsOf")) return;  // a z or p map: the levels are of the measure's values
    for (const Json& level : *levels) {
        if (!level.is_object() || !level.contains("q") || !level["q"].is_number()) continue;
        const double q = level["q"].get<double>();
        const double threshold = level.value("Threshold", Json()).is_number() ? level["Threshold"].get<double>() : -1.0;
        const int64_t passing =
            level.value("VoxelsPassing", Json()).is_number() ? level["VoxelsPassing"].get<int64_t>() : -1;
        char label[64];
        std::snprintf(label, sizeof label, "thres q=%1.3f", q);
        set.levelLabels.push_back(label);
        // A threshold no value reaches (written as -1 by the group level) passes nothing.
        map.fdrThresholds.push_back(threshold >= 0.0 ? static_cast<float>(threshold) : INFINITY);
        map.passingVoxels.push_back(threshold >= 0.0 ? passing : 0);
    }
}

}  // namespace

PlacedGrid placedNiftiGrid(const NiftiHeader& header) {
    PlacedGrid grid;
    grid.dim = {header.nx(), header.ny(), header.nz()};
    grid.toWorld = voxelToWorld(header);
    return grid;
}

bool isNiftiPath(const std::string& path) { return endsWith(path, ".nii") || endsWith(path, ".nii.gz"); }

bool readLdiSet(const std::string& path, PlacedSet& placed, std::string& problem) {
    std::string content;
    if (!readWholeFile(path, content, problem, UINTMAX_MAX)) return false;
    Parsed<LdiFile> parsed = decodeLdi(content);
    if (!parsed.ok) {
        problem = path + ": " + parsed.message;
        return false;
    }
    placed.set = std::move(parsed.value);
    // The index of the same save knows how many voxels pass; the .ldi alone
    // cannot tell "only the top voxel" from "none" at the largest value.
    const std::string index = indexText(path);
    if (!index.empty()) passingFromIndex(index, placed.set);
    placeLdiSet(path, 0, placed);
    return true;
}

void placeLdiSet(const std::string& path, std::size_t mapIndex, PlacedSet& placed) {
    placed.grid = placedLdiGrid(placed.set.geometry);
    const Json index = Json::parse(indexText(path), nullptr, false);
    if (!index.is_object() || !index.contains("maps") || !index["maps"].is_array() ||
        mapIndex >= index["maps"].size())
        return;
    const Json& entry = index["maps"][mapIndex];
    if (!entry.is_object() || !entry.value("niftiFile", Json()).is_string()) return;
    const std::string name = entry["niftiFile"].get<std::string>();
    if (name.empty() || name.find('/') != std::string::npos) return;
    NiftiReader twin;
    std::string ignored;
    if (!twin.open((fs::path(path).parent_path() / name).string(), ignored)) return;
    const LdiGeometry& g = placed.set.geometry;
    const NiftiHeader& header = twin.header();
    if (header.nx() == g.dimX && header.ny() == g.dimY && header.nz() == g.dimZ) placed.grid = placedNiftiGrid(header);
}

bool readNiftiMapSet(const std::string& path, PlacedSet& placed, std::string& problem) {
    NiftiHeader header;
    std::vector<float> values;
    if (!readNiftiVolume(path, header, values, false, problem)) {
        problem = path + ": " + problem;
        return false;
    }
    placed = PlacedSet();
    placed.grid = placedNiftiGrid(header);
    LdiGeometry& g = placed.set.geometry;
    g.xEnd = g.dimX = static_cast<int32_t>(header.nx());
    g.yEnd = g.dimY = static_cast<int32_t>(header.ny());
    g.zEnd = g.dimZ = static_cast<int32_t>(header.nz());
    LdiMap map;
    map.name = fs::path(withoutEnding(withoutEnding(path, ".gz"), ".nii")).filename().string();
    std::string text, ignored;
    const std::string sidecarPath = withoutEnding(withoutEnding(path, ".gz"), ".nii") + ".json";
    if (readWholeFile(sidecarPath, text, ignored)) {
        const Json sidecar = Json::parse(text, nullptr, false);
        if (sidecar.is_object()) {
            if (sidecar.value("DisplayName", Json()).is_string()) map.name = sidecar["DisplayName"].get<std::string>();
            if (!groupStatistic(sidecar).empty())
                map.name = sidecar.value("Seed", std::string()) + " " + sidecar.value("Condition", std::string()) +
                           " " + sidecar.value("MapKind", std::string()) + " group " + groupStatistic(sidecar);
            levelsFromSidecar(sidecar, placed.set, map);
        }
    }
    bool negative = false;
    for (float v : values) negative = negative || v < 0.0f;
    map.negativeColourLow = map.negativeColourHigh = negative ? 1 : 0;
    map.voxels.assign(values.begin(), values.end());
    // A level nothing passes is drawn at the largest magnitude, as the group's
    // .ldi set holds it: a finite colour bar, and nothing coloured.
    float largest = 0.0f;
    for (float v : values)
        if (std::isfinite(v)) largest = std::max(largest, std::fabs(v));
    for (float& threshold : map.fdrThresholds)
        if (!std::isfinite(threshold)) threshold = largest;
    placed.set.maps.push_back(std::move(map));
    return true;
}

bool readNiftiUnderlay(const std::string& path, Underlay& underlay, std::string& problem) {
    NiftiReader reader;
    if (!reader.open(path, problem)) {
        problem = "cannot read the underlay " + path + ": " + problem;
        return false;
    }
    const NiftiHeader& header = reader.header();
    const auto voxels = static_cast<std::size_t>(header.voxelsPerVolume());
    const int64_t volumes = std::max<int64_t>(1, header.rank >= 4 ? header.volumes() : 1);
    std::vector<double> sum(voxels, 0.0);
    std::vector<float> volume(voxels);
    for (int64_t t = 0; t < volumes; ++t) {
        if (!reader.readVolume(volume.data(), problem)) {
            problem = "cannot read the underlay " + path + ": " + problem;
            return false;
        }
        for (std::size_t v = 0; v < voxels; ++v) sum[v] += std::isfinite(volume[v]) ? volume[v] : 0.0;
    }
    std::vector<float> mean(voxels);
    for (std::size_t v = 0; v < voxels; ++v) mean[v] = static_cast<float>(sum[v] / volumes);
    underlay = meanImageUnderlay(header, mean, path);
    if (volumes == 1) underlay.what = fs::path(path).filename().string();
    return true;
}

Underlay meanImageUnderlay(const NiftiHeader& header, const std::vector<float>& mean, const std::string& path) {
    Underlay underlay;
    underlay.grid = placedNiftiGrid(header);
    underlay.values = mean;
    underlay.what = "the mean image of " + fs::path(path).filename().string();
    return underlay;
}

}  // namespace ldi
