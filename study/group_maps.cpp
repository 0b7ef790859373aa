#include "study/group_maps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <ostream>

#include <nlohmann/json.hpp>

#include "config/global_parameters.h"
#include "engine/map_look.h"
#include "study/bids_dataset.h"
#include "formats/bids_inputs.h"
#include "base/exit_status.h"
#include "analysis/map_outputs.h"
#include "formats/nifti_image.h"
#include "formats/nifti_map.h"
#include "formats/ldi_file.h"
#include "formats/statmap_names.h"
#include "formats/whole_file.h"
#include "stats/sign_flip.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

// The map kinds of the subjects' maps the group level tests: the measures
// that may be negative as they are, the others as their z maps (see
// neverNegative); p maps are no quantity to average and are left out.
const MapType kMeasureKinds[] = {REF2VOX, VOX2REF, INST, DLDI, DLDI_IT, DLDI_RC};

// Kinds whose values are never negative: without an effect they do not
// scatter about 0, so flipping their signs tests nothing; their z maps do.
bool neverNegative(MapType kind) { return kind == REF2VOX || kind == VOX2REF || kind == INST; }

bool measureKind(const std::string& label, MapType& type) {
    for (const MapType kind : kMeasureKinds)
        if (mapKindLabel(kind) == label) {
            type = kind;
            return true;
        }
    return false;
}

struct SubjectMap {
    std::string subject;
    std::string path;
};

struct GroupKey {
    std::string name;  // the file name's entities without sub-
    std::string seed, condition;
    MapType kind = DLDI;
    std::string input;  // the subjects' maps' statistic: kStatEffect or kStatZ
    std::vector<SubjectMap> maps;
    nlohmann::ordered_json leftOut = nlohmann::ordered_json::array();  // {Subject, Reason}
};

// A subject of the group: one whose participant level finished, with the
// seeds and conditions it wrote and the confound columns it regressed.
struct GroupSubject {
    std::string label;
    std::set<std::pair<std::string, std::string>> maps;  // (seed, condition) labels
    nlohmann::json confounds = nlohmann::json::array();  // per analysis, its columns
    bool listed = false;  // the summary names its maps (ldi before it did not: all are taken)
    std::set<int64_t> rngSeeds;  // of its analyses, as the summary records them
    std::set<std::string> generations;  // of its analyses' runs, as the summary records them
};

struct GroupSelection {
    std::vector<GroupSubject> subjects;
    nlohmann::ordered_json leftOut = nlohmann::ordered_json::array();  // {Subject, Reason}
};

// The subjects of the dataset (or those asked for) with their finished
// summaries; the others are left out with the reason.
GroupSelection selectSubjects(const GroupRequest& request) {
    GroupSelection selection;
    std::vector<std::string> labels = request.participants;
    if (labels.empty()) labels = datasetSubjects(request.bidsDir.empty() ? request.outputDir : request.bidsDir);
    for (const std::string& label : labels) {
        const fs::path summary = fs::path(request.outputDir) / ("sub-" + label) / ("sub-" + label + "_participant.json");
        nlohmann::json record;
        std::string problem;
        std::error_code error;
        if (!fs::exists(summary, error)) {
            selection.leftOut.push_back({{"Subject", label}, {"Reason", "no finished participant level (no " +
                                                                            summary.filename().string() + ")"}});
            continue;
        }
        if (!readJsonSidecar(summary.string(), record, problem) || !record["Analyses"].is_array()) {
            selection.leftOut.push_back({{"Subject", label}, {"Reason", "unreadable " + summary.string()}});
            continue;
        }
        GroupSubject subject{label, {}, nlohmann::json::array(), false, {}, {}};
        for (const auto& analysis : record["Analyses"]) {
            if (!analysis.is_object()) continue;
            subject.confounds.push_back(analysis.value("Confounds", nlohmann::json::object()).value("Columns", nlohmann::json()));
            subject.listed = subject.listed || analysis.contains("Maps");
            if (analysis.value("RngSeed", nlohmann::json()).is_number_integer())
                subject.rngSeeds.insert(analysis["RngSeed"].get<int64_t>());
            if (analysis.value("RunGeneration", nlohmann::json()).is_string())
                subject.generations.insert(analysis["RunGeneration"].get<std::string>());
            for (const auto& seed : analysis.value("Maps", nlohmann::json::array()))
                for (const auto& condition : seed.value("Conditions", nlohmann::json::array()))
                    if (seed.value("Seed", nlohmann::json()).is_string() && condition.is_string())
                        subject.maps.emplace(seed["Seed"].get<std::string>(), condition.get<std::string>());
        }
        selection.subjects.push_back(std::move(subject));
    }
    return selection;
}

// Subjects regressed on other confound columns than the first subject are no
// samples of one population: false with a message naming them.
bool sameConfounds(const GroupSelection& selection, std::string& problem) {
    for (const GroupSubject& subject : selection.subjects) {
        const GroupSubject& first = selection.subjects.front();
        if (subject.confounds == first.confounds) continue;
        const auto text = [](const nlohmann::json& columns) {
            return columns.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        };
        problem = "sub-" + subject.label + " was regressed on the confound columns " + text(subject.confounds) +
                  ", sub-" + first.label + " on " + text(first.confounds) +
                  "; run the participant level of every subject with the same --confounds";
        return false;
    }
    return true;
}

// What a map's sidecar records of its run (its rng seed, "rng seed N", or
// its generation, "run generation G") when the subject's summary records
// another: the map comes from another run than the summary (written into
// the folder since, or left by a run stopped midway), so the subject's maps
// would mix two runs. "" when it is one of them, or nothing says.
std::string otherRun(const GroupSubject& subject, const fs::path& map) {
    if (subject.rngSeeds.empty() && subject.generations.empty()) return std::string();
    const std::string name = map.filename().string();
    const std::size_t extension = name.rfind(".nii");
    if (extension == std::string::npos) return std::string();
    nlohmann::json sidecar;
    std::string ignored;
    const fs::path path = map.parent_path() / (name.substr(0, extension) + ".json");
    if (!readJsonSidecar(path.string(), sidecar, ignored) || !sidecar.is_object()) return std::string();
    const nlohmann::json seed = sidecar.value("RngSeed", nlohmann::json());
    if (!subject.rngSeeds.empty() && seed.is_number_integer() && subject.rngSeeds.count(seed.get<int64_t>()) == 0)
        return "rng seed " + std::to_string(seed.get<int64_t>());
    const nlohmann::json generation = sidecar.value("RunGeneration", nlohmann::json());
    if (!subject.generations.empty() && generation.is_string() &&
        subject.generations.count(generation.get<std::string>()) == 0)
        return "run generation " + generation.get<std::string>();
    return std::string();
}

// The subjects' measure maps, grouped by everything in their names but the
// subject.
std::map<std::string, GroupKey> collectSubjectMaps(const GroupSelection& selection, const std::string& outputDir) {
    std::map<std::string, GroupKey> keys;
    for (const GroupSubject& chosen : selection.subjects) {
        const std::string& subject = chosen.label;
        std::vector<fs::path> folders;
        const fs::path top = fs::path(outputDir) / ("sub-" + subject);
        std::error_code error;
        folders.push_back(top / "func");
        for (fs::directory_iterator it(top, error), end; !error && it != end; it.increment(error))
            if (it->path().filename().string().compare(0, 4, "ses-") == 0) folders.push_back(it->path() / "func");
        for (const fs::path& folder : folders) {
            std::error_code listError;
            for (fs::directory_iterator it(folder, listError), end; !listError && it != end; it.increment(listError)) {
                StatMapName name;
                MapType kind = DLDI;
                if (!parseStatMapName(it->path().filename().string(), name) || name.subject != subject ||
                    !measureKind(name.kind, kind))
                    continue;
                if (chosen.listed && chosen.maps.count({name.seed, name.condition}) == 0) continue;  // an earlier run's
                // The measures that may be negative as they are; the others as z
                // values; p maps never (they are no quantity to average).
                if (name.statistic != (neverNegative(kind) ? kStatZ : kStatEffect) || !name.desc.empty()) continue;
                GroupKey& slot = keys[name.key];
                if (slot.name.empty()) {
                    slot.name = name.key;
                    slot.seed = name.seed;
                    slot.condition = name.condition;
                    slot.kind = kind;
                    slot.input = name.statistic;
                }
                if (const std::string other = otherRun(chosen, it->path()); !other.empty()) {
                    slot.leftOut.push_back({{"Subject", subject},
                                            {"Reason", it->path().filename().string() + " comes from another run (" +
                                                       other + ") than the subject's summary: its maps mix "
                                                       "two runs; run its participant level again"}});
                    continue;
                }
                // One map a subject: a folder that also holds the name ldi gave the
                // map before keeps the current one.
                const auto same = std::find_if(slot.maps.begin(), slot.maps.end(),
                                               [&](const SubjectMap& map) { return map.subject == subject; });
                if (same == slot.maps.end()) slot.maps.push_back(SubjectMap{subject, it->path().string()});
                else if (name.current) same->path = it->path().string();
            }
        }
    }
    return keys;
}

std::string dumpJson(const nlohmann::ordered_json& json) {
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// A threshold that no value reaches is written as null: -1 or a huge number
// would be read as a level by any reader that does not know the convention.
nlohmann::ordered_json jsonNumber(double value) {
    return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

// Every subject's map of a key, subject after subject, on the first one's
// grid; false when one cannot be read or lies on another grid.
bool readSubjectMaps(const GroupKey& key, NiftiHeader& grid, std::vector<float>& data, std::string& problem) {
    std::string firstSubject;
    for (const SubjectMap& map : key.maps) {
        NiftiHeader header;
        std::vector<float> values;
        if (!readNiftiVolume(map.path, header, values, false, problem)) return false;
        if (data.empty()) {
            grid = header;
            firstSubject = map.subject;
        } else if (!sameGrid(grid, header)) {
            problem = key.name + ": sub-" + map.subject + " (" + gridText(header) + " voxels, " +
                      orientationCode(voxelToWorld(header)) + ") is on another grid than sub-" + firstSubject + " (" +
                      gridText(grid) + " voxels, " + orientationCode(voxelToWorld(grid)) +
                      "); the group level needs every subject in one standard space";
            return false;
        }
        data.insert(data.end(), values.begin(), values.end());
    }
    return true;
}

// The voxels every subject has a value for; a map is 0 where its subject
// was not analysed, so a voxel that is 0 for all is outside the group.
std::vector<int64_t> testedVoxels(const std::vector<float>& data, std::size_t subjects, std::size_t gridVoxels) {
    std::vector<int64_t> tested;
    for (std::size_t v = 0; v < gridVoxels; ++v) {
        bool finite = true, nonzero = false;
        for (std::size_t s = 0; s < subjects; ++s) {
            const float x = data[s * gridVoxels + v];
            finite = finite && std::isfinite(x);
            nonzero = nonzero || x != 0.0f;
        }
        if (finite && nonzero) tested.push_back(static_cast<int64_t>(v));
    }
    return tested;
}

// The tested voxels' values alone, subject after subject, as the test takes them.
std::vector<float> packTested(const std::vector<float>& data, std::size_t subjects, std::size_t gridVoxels,
                              const std::vector<int64_t>& tested) {
    std::vector<float> packed(tested.size() * subjects);
    for (std::size_t s = 0; s < subjects; ++s)
        for (std::size_t k = 0; k < tested.size(); ++k)
            packed[s * tested.size() + k] = data[s * gridVoxels + static_cast<std::size_t>(tested[k])];
    return packed;
}

// The test's outcome on the whole grid: 0 (mean, t) and 1 (p values) outside
// the voxels tested.
struct GroupGrids {
    std::vector<float> mean, t, p, pFwe;
};

GroupGrids onTheGrid(const SignFlipOutcome& outcome, const std::vector<int64_t>& tested, std::size_t gridVoxels) {
    GroupGrids grids{std::vector<float>(gridVoxels, 0.0f), std::vector<float>(gridVoxels, 0.0f),
                     std::vector<float>(gridVoxels, 1.0f), std::vector<float>(gridVoxels, 1.0f)};
    for (std::size_t k = 0; k < tested.size(); ++k) {
        const auto v = static_cast<std::size_t>(tested[k]);
        grids.mean[v] = outcome.mean[k];
        grids.t[v] = outcome.t[k];
        // The p the FDR thresholds use.
        grids.p[v] = static_cast<float>(outcome.pPooled.empty() ? outcome.p[k] : outcome.pPooled[k]);
        grids.pFwe[v] = static_cast<float>(outcome.pFwe[k]);
    }
    return grids;
}

// The FDR and FWE thresholds of the t map at each q, for the sidecars and
// the map set.
struct GroupThresholds {
    nlohmann::ordered_json fdr = nlohmann::ordered_json::array();
    nlohmann::ordered_json fwe = nlohmann::ordered_json::array();
    std::vector<float> fdrThresholds;  // a level that nothing passes: just above the largest |t|
    float largest = 0.0f;              // the largest |t|
    float nothingPasses = 0.0f;
};

GroupThresholds thresholdsOf(const SignFlipOutcome& outcome, const std::vector<double>& qs) {
    GroupThresholds levels;
    for (const float value : outcome.t) levels.largest = std::max(levels.largest, std::fabs(value));
    levels.nothingPasses = std::nextafter(levels.largest, std::numeric_limits<float>::infinity());
    for (const double q : qs) {
        const FdrLevel level = fdrLevel(outcome, q);
        levels.fdr.push_back({{"q", q}, {"Threshold", jsonNumber(level.threshold)}, {"VoxelsPassing", level.passing}});
        levels.fdrThresholds.push_back(std::isfinite(level.threshold) ? static_cast<float>(level.threshold)
                                                                      : levels.nothingPasses);
        const double critical = fweCriticalT(outcome, q);
        int64_t passing = 0;
        for (const double value : outcome.pFwe) passing += value <= q ? 1 : 0;
        levels.fwe.push_back({{"Alpha", q}, {"Threshold", jsonNumber(critical)}, {"VoxelsPassing", passing}});
    }
    return levels;
}

// One tested key, everything its files say.
struct KeyResult {
    const GroupKey& key;
    NiftiHeader grid;
    std::vector<int64_t> tested;
    SignFlipOutcome outcome;
    GroupGrids grids;
    GroupThresholds levels;
    uint64_t seed = 0;
    nlohmann::ordered_json subjects = nlohmann::ordered_json::array();
    nlohmann::ordered_json inputs = nlohmann::ordered_json::array();
    double skewness = 0.0;  // subjectSkewness of the maps tested
};

struct GroupOutput {
    const char* statistic;  // the file's stat- label
    const char* desc;       // its desc- label, or ""
    const std::vector<float>* values;
    const char* meaning;
    MapIntent intent;
};

nlohmann::ordered_json sidecarOf(const KeyResult& result, const GroupOutput& output, const std::string& date) {
    nlohmann::ordered_json sidecar;
    sidecar["Statistic"] = std::string(output.statistic) + (*output.desc != '\0' ? std::string("-") + output.desc : "");
    sidecar["Description"] = output.meaning;
    sidecar["Measure"] = mapKindLabel(result.key.kind);
    sidecar["MapKind"] = mapKindLabel(result.key.kind);
    sidecar["InputStatistic"] = result.key.input;
    if (output.intent.code == tIntent(0.0).code) sidecar["DegreesOfFreedom"] = output.intent.p1;
    sidecar["Seed"] = result.key.seed;
    sidecar["Condition"] = result.key.condition;
    sidecar["Test"] = "one-sample sign-flip permutation test, two-sided";
    sidecar["TestStatistic"] = result.outcome.pPooled.empty() ? "t" : "floored-t";
    if (!result.outcome.pPooled.empty()) sidecar["VarianceFloor"] = result.outcome.varianceFloor;
    sidecar["SubjectSkewness"] = result.skewness;
    sidecar["Subjects"] = result.subjects;
    sidecar["LeftOut"] = result.key.leftOut;
    sidecar["VoxelsTested"] = result.tested.size();
    sidecar["Permutations"] = result.outcome.permutations;
    sidecar["Exhaustive"] = result.outcome.exhaustive;
    sidecar["RngSeed"] = result.seed;
    sidecar["FDRThresholds"] = result.levels.fdr;
    sidecar["FWEThresholds"] = result.levels.fwe;
    sidecar["Inputs"] = result.inputs;
    sidecar["GeneratedBy"] = {{"Name", "ldi"}, {"Version", ldiVersion}};
    sidecar["Date"] = date;
    return sidecar;
}

// The mean, t, p and pFWE maps with their sidecars; the names written go to `written`.
bool writeGroupImages(const KeyResult& result, const fs::path& folder, const std::string& date,
                      nlohmann::ordered_json& written, std::string& problem) {
    const std::string kindName = mapDisplayName(result.key.kind, result.key.condition);
    // A viewer that turns the t map into p takes n - 1 degrees of freedom;
    // the floored t is smaller in magnitude than the ordinary one, so that
    // reading errs on the safe side.
    const double freedom = static_cast<double>(result.key.maps.size()) - 1.0;
    const GroupOutput outputs[] = {
        {kStatEffect, "", &result.grids.mean, "the mean of the subjects' maps", MapIntent{}},
        {kStatT, "", &result.grids.t,
         result.outcome.pPooled.empty() ? "one-sample t of the subjects' maps against 0"
                                        : "floored t of the subjects' maps against 0: mean / sqrt((s^2 + "
                                          "VarianceFloor) / subjects)",
         tIntent(freedom)},
        {kStatP, "", &result.grids.p,
         result.outcome.pPooled.empty()
             ? "uncorrected two-sided sign-flip permutation p (1 outside the voxels tested)"
             : "uncorrected two-sided sign-flip permutation p against every voxel's statistic under every sign "
               "pattern, pooled (1 outside the voxels tested)",
         pIntent()},
        {kStatP, "fwe", &result.grids.pFwe,
         "family-wise-error-corrected p by the maximum |t| over the voxels (1 outside)", pIntent()},
    };
    for (const GroupOutput& output : outputs) {
        const std::string stem = result.key.name + "_stat-" + output.statistic +
                                 (*output.desc != '\0' ? std::string("_desc-") + output.desc : "") + "_statmap";
        ByteBuffer image;
        if (!encodeNiftiMap(result.grid, *output.values,
                            "LDI group " + std::string(output.statistic) + output.desc + " " + kindName, image,
                            problem, output.intent) ||
            !writeFileSafely((folder / (stem + ".nii.gz")).string(), image.view(), problem))
            return false;
        if (!writeFileSafely((folder / (stem + ".json")).string(), dumpJson(sidecarOf(result, output, date)), problem))
            return false;
        written.push_back(stem + ".nii.gz");
    }
    return true;
}

// One map of the set for ldi show, coloured as the subjects' maps of its kind.
LdiMap groupMap(const KeyResult& result, const std::string& label, const std::vector<float>& values) {
    MapLook look{};
    mapLook(result.key.kind, look);
    LdiMap map;
    map.name = mapDisplayName(result.key.kind, result.key.condition) + " group " + label;
    map.mapKind = 101;
    map.positiveColourLow = look.positiveLow;
    map.positiveColourHigh = look.positiveHigh;
    map.negativeColourLow = look.negativeLow;
    map.negativeColourHigh = look.negativeHigh;
    map.useNegativeColours = 1;
    map.voxels.assign(values.begin(), values.end());
    return map;
}

// The mean and t maps as a map set for ldi show: t displayed from the FWE
// threshold at the first level, the FDR thresholds at their levels.
LdiFile groupMapSet(const KeyResult& result, const std::vector<double>& qs) {
    LdiFile set;
    set.geometry.xEnd = set.geometry.dimX = static_cast<int32_t>(result.grid.nx());
    set.geometry.yEnd = set.geometry.dimY = static_cast<int32_t>(result.grid.ny());
    set.geometry.zEnd = set.geometry.dimZ = static_cast<int32_t>(result.grid.nz());
    for (const double q : qs) {
        char label[64];
        std::snprintf(label, sizeof label, "thres q=%1.3f", q);
        set.levelLabels.push_back(label);
    }
    LdiMap mean = groupMap(result, "mean", result.grids.mean);
    float top = 0.0f;
    for (const float value : result.outcome.mean) top = std::max(top, std::fabs(value));
    mean.lowerThreshold = 0.0f;
    mean.upperThreshold = top;
    mean.fdrThresholds.assign(qs.size(), 0.0f);
    set.maps.push_back(std::move(mean));

    LdiMap t = groupMap(result, "t", result.grids.t);
    const double critical = fweCriticalT(result.outcome, qs.empty() ? 0.05 : qs.front());
    t.lowerThreshold = std::isfinite(critical) ? static_cast<float>(critical) : result.levels.nothingPasses;
    t.upperThreshold = std::max(result.levels.largest, t.lowerThreshold);
    t.fdrThresholds = result.levels.fdrThresholds;
    set.maps.push_back(std::move(t));
    return set;
}

// One key: read, test, write. False with a message; the files of a key are
// written only once all its inputs were read.
bool testKey(const GroupRequest& request, const GroupKey& key, uint64_t seed, const std::string& date,
             nlohmann::ordered_json& summary, std::string& problem, std::ostream& err) {
    KeyResult result{key, {}, {}, {}, {}, {}, seed, nlohmann::ordered_json::array(), nlohmann::ordered_json::array(),
                     0.0};
    std::vector<float> data;
    if (!readSubjectMaps(key, result.grid, data, problem)) return false;
    const auto gridVoxels = static_cast<std::size_t>(result.grid.voxelsPerVolume());
    result.tested = testedVoxels(data, key.maps.size(), gridVoxels);
    if (result.tested.empty()) {
        problem = key.name + ": no voxel has a value in every subject's map";
        return false;
    }
    const std::vector<float> packed = packTested(data, key.maps.size(), gridVoxels, result.tested);
    data.clear();
    data.shrink_to_fit();
    result.skewness = subjectSkewness(packed, static_cast<int32_t>(key.maps.size()),
                                      static_cast<int64_t>(result.tested.size()));
    const std::string skewed = skewedMapsWarning(request.statistic, result.skewness, key.name);
    if (!skewed.empty()) err << "ldi: warning: " << skewed << std::endl;
    result.outcome = signFlipTest(packed, static_cast<int32_t>(key.maps.size()),
                                  static_cast<int64_t>(result.tested.size()), request.permutations, seed,
                                  request.threads, request.statistic);
    result.grids = onTheGrid(result.outcome, result.tested, gridVoxels);
    result.levels = thresholdsOf(result.outcome, request.q);
    for (const SubjectMap& map : key.maps) {
        result.subjects.push_back(map.subject);
        // As a BIDS URI within the derivatives dataset the group level lies in.
        result.inputs.push_back("bids::" + fs::path(map.path).lexically_relative(request.outputDir).generic_string());
    }

    const fs::path folder = fs::path(request.outputDir) / "group";
    std::error_code error;
    fs::create_directories(folder, error);
    nlohmann::ordered_json written = nlohmann::ordered_json::array();
    if (!writeGroupImages(result, folder, date, written, problem)) return false;
    const std::string setName = key.name + "_group.ldi";
    if (!writeFileSafely((folder / setName).string(), encodeLdi(groupMapSet(result, request.q)), problem))
        return false;
    written.push_back(setName);

    int64_t fwePassing = 0;
    for (const double value : result.outcome.pFwe) fwePassing += value <= 0.05 ? 1 : 0;
    summary.push_back({{"Key", key.name},
                       {"Subjects", result.subjects},
                       {"LeftOut", key.leftOut},
                       {"VoxelsTested", result.tested.size()},
                       {"Permutations", result.outcome.permutations},
                       {"VoxelsFWE05", fwePassing},
                       {"Files", written}});
    return true;
}

// Every selected subject without a key's map is left out of it, by name:
// those the dataset has but the participant level did not finish, and those
// whose maps lack this seed or condition.
void recordLeftOut(const GroupSelection& selection, std::map<std::string, GroupKey>& keys, std::ostream& err) {
    for (auto& entry : keys) {
        GroupKey& key = entry.second;
        const nlohmann::ordered_json found = key.leftOut;  // while the maps were collected (another run's map)
        key.leftOut = selection.leftOut;
        for (const GroupSubject& subject : selection.subjects) {
            const bool has = std::any_of(key.maps.begin(), key.maps.end(),
                                         [&](const SubjectMap& map) { return map.subject == subject.label; });
            if (has) continue;
            std::string reason = "has no map of this key";
            for (const auto& left : found)
                if (left["Subject"] == subject.label) reason = left["Reason"].get<std::string>();
            key.leftOut.push_back({{"Subject", subject.label}, {"Reason", reason}});
        }
        for (const auto& left : key.leftOut)
            err << "ldi: " << key.name << ": sub-" << left["Subject"].get<std::string>() << " left out: "
                << left["Reason"].get<std::string>() << std::endl;
    }
}

// With few subjects the sign patterns cannot give a p below 2 / 2^subjects:
// an FWE level under it passes nothing whatever the data, which a threshold
// of null alone would not explain. Once per number of subjects.
void warnOfFewSubjects(const GroupRequest& request, const GroupKey& key, std::set<std::size_t>& warned,
                       std::vector<std::string>& warnings, std::ostream& err) {
    const auto subjects = static_cast<int32_t>(key.maps.size());
    const double smallest = smallestSignFlipP(subjects, request.permutations);
    double lowest = 1.0;
    for (const double alpha : request.q) lowest = std::min(lowest, alpha);
    if (smallest <= lowest || !warned.insert(key.maps.size()).second) return;
    std::ostringstream warning;
    warning << "with " << subjects << " subjects and " << request.permutations
            << " permutations the smallest family-wise p is " << smallest << " (" << key.name
            << " and every map of as many subjects): no voxel can pass at " << lowest;
    err << "ldi: warning: " << warning.str() << std::endl;
    warnings.push_back(warning.str());
}

}  // namespace

std::string skewedMapsWarning(GroupStatistic statistic, double skewness, const std::string& keyName) {
    if (statistic != GroupStatistic::t || !(std::fabs(skewness) > kLargestSymmetricSkewness)) return {};
    char measured[32];
    std::snprintf(measured, sizeof measured, "%.2f", skewness);
    return keyName + ": the subjects' maps are skewed (median over the voxels of the subjects' sample skewness " +
           measured + ", symmetric maps give 0 +- 0.02): the sign flips of the plain t assume symmetric maps, and on "
           "skewed ones its family-wise error can be far above the level; use --group-statistic floored-t (the "
           "default)";
}

int runGroupLevel(const GroupRequest& request, std::ostream& out, std::ostream& err) {
    const GroupSelection selection = selectSubjects(request);
    std::string mismatch;
    if (!selection.subjects.empty() && !sameConfounds(selection, mismatch)) {
        err << "ldi: " << mismatch << std::endl;
        return EXIT_USAGE;
    }
    std::map<std::string, GroupKey> keys = collectSubjectMaps(selection, request.outputDir);
    recordLeftOut(selection, keys, err);
    if (keys.empty()) {
        err << "ldi: no subject maps in " << request.outputDir
            << " (run the participant level first: ldi bids BIDS_DIR OUTPUT_DIR participant)" << std::endl;
        return EXIT_USAGE;
    }
    // A folder that cannot take the results is found before every key is computed.
    const fs::path groupFolder = fs::path(request.outputDir) / "group";
    std::error_code made;
    fs::create_directories(groupFolder, made);
    std::string unwritable;
    if (!checkFolderForWriting((groupFolder / "group.json").string(), unwritable)) {
        err << "ldi: cannot write the group maps: " << unwritable << std::endl;
        return EXIT_RUN_FAILED;
    }
    const int64_t base = request.rngSeed >= 0 ? request.rngSeed : static_cast<int64_t>(std::time(nullptr));
    if (request.rngSeed < 0)
        err << "ldi: rng seed " << base << " (repeat the group level with --rng-seed " << base << ")" << std::endl;
    const std::string date = utcDate();
    nlohmann::ordered_json summary = nlohmann::ordered_json::array();
    int failed = 0;
    int tested = 0;
    std::set<std::size_t> warned;
    // What the group level warned of, kept in its record for the report.
    std::vector<std::string> warnings;
    for (const auto& entry : keys)
        for (const auto& left : entry.second.leftOut)
            warnings.push_back(entry.second.name + ": sub-" + left["Subject"].get<std::string>() +
                               " left out: " + left["Reason"].get<std::string>());
    for (const auto& entry : keys) {
        const GroupKey& key = entry.second;
        if (key.maps.size() < 2) {
            const std::string alone = key.name + ": only sub-" + key.maps.front().subject +
                                      " has this map; a group needs two subjects or more";
            err << "ldi: " << alone << std::endl;
            warnings.push_back(alone);
            continue;
        }
        warnOfFewSubjects(request, key, warned, warnings, err);
        std::string problem;
        if (!testKey(request, key, static_cast<uint64_t>(base), date, summary, problem, err)) {
            err << "ldi: " << problem << std::endl;
            ++failed;
            continue;
        }
        ++tested;
        if (!request.quiet) err << "ldi: group " << key.name << ": " << key.maps.size() << " subjects" << std::endl;
    }
    nlohmann::ordered_json record;
    record["RngSeed"] = base;
    record["Permutations"] = request.permutations;
    record["Date"] = date;
    record["Maps"] = summary;
    record["Failed"] = failed;
    record["Warnings"] = warnings;
    std::string problem;
    const fs::path folder = fs::path(request.outputDir) / "group";
    std::error_code error;
    fs::create_directories(folder, error);
    // The record names the finished maps: written last, and only when every
    // key succeeded, so that a workflow engine sees the group level as done
    // only then.
    if (failed == 0 && tested > 0 &&
        !writeFileSafely((folder / "group.json").string(), dumpJson(record), problem)) {
        err << "ldi: " << problem << std::endl;
        return EXIT_RUN_FAILED;
    }
    if (!request.quiet)
        out << "ldi bids group: " << tested << " group map" << (tested == 1 ? "" : "s") << " in " << folder.string()
            << (failed > 0 ? "; " + std::to_string(failed) + " refused" : std::string()) << std::endl;
    if (tested == 0 && failed == 0) return EXIT_USAGE;
    return failed > 0 ? EXIT_RUN_FAILED : EXIT_RUN_SUCCEEDED;
}

}  // namespace ldi
