#include "study/group_maps.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <ostream>
#include <random>

#include <nlohmann/json.hpp>

#include "config/global_parameters.h"
#include "engine/map_look.h"
#include "study/bids_dataset.h"
#include "formats/bids_inputs.h"
#include "base/exit_status.h"
#include "analysis/map_outputs.h"
#include "formats/nifti_image.h"
#include "formats/ldi_file.h"
#include "stats/parallel.h"

namespace ldi_host {

namespace {

namespace fs = std::filesystem;

// t squared (one division, no root: the permutation loop runs it for every
// voxel and pattern; comparisons of t squared are comparisons of |t|). A voxel
// whose subjects' values are all equal has no variance: its t is infinite
// when they are not zero; a large finite value keeps the files sound.
constexpr double kHugeT = 1e30;

double squaredT(double sum, double squares, int32_t n) {
    const double mean = sum / n;
    const double variance = (squares - sum * mean) / (n - 1);
    if (!(variance > 1e-12 * squares / n)) return mean == 0.0 ? 0.0 : kHugeT * kHugeT;
    return std::min(mean * mean * n / variance, kHugeT * kHugeT);
}

}  // namespace

SignFlipOutcome signFlipTest(const std::vector<float>& data, int32_t subjects, int64_t voxels, int64_t permutations,
                             uint64_t seed, int threads) {
    SignFlipOutcome outcome;
    const auto n = static_cast<std::size_t>(subjects);
    const auto count = static_cast<std::size_t>(voxels);
    outcome.exhaustive = subjects < 62 && (int64_t{1} << subjects) <= permutations;
    outcome.permutations = outcome.exhaustive ? (int64_t{1} << subjects) : permutations;
    const auto patterns = static_cast<std::size_t>(outcome.permutations);

    // Signs as +-1 per pattern and subject; pattern 0 leaves every sign.
    std::vector<float> signs(patterns * n, 1.0f);
    std::mt19937_64 random(seed);
    for (std::size_t p = 1; p < patterns; ++p) {
        uint64_t bits = outcome.exhaustive ? p : 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!outcome.exhaustive && i % 64 == 0) bits = random();
            if ((bits >> (i % 64)) & 1u) signs[p * n + i] = -1.0f;
        }
    }
    // Voxel-major copy: a voxel's subjects side by side for the dot products.
    std::vector<float> values(count * n);
    std::vector<double> squares(count, 0.0);
    outcome.mean.assign(count, 0.0f);
    outcome.t.assign(count, 0.0f);
    for (std::size_t v = 0; v < count; ++v) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const float x = data[i * count + v];
            values[v * n + i] = x;
            sum += x;
            squares[v] += static_cast<double>(x) * x;
        }
        outcome.mean[v] = static_cast<float>(sum / subjects);
        outcome.t[v] = sum < 0.0 ? -1.0f : 1.0f;  // the sign; the size comes from the test below
    }

    // The sum of squares does not change with the signs, so each pattern
    // costs one dot product a voxel. Voxels go out in blocks that stay in the
    // cache while every pattern passes over them; each block's largest |t|
    // per pattern is merged by maximum, which does not depend on the order.
    std::vector<int64_t> atLeast(count, 0);
    std::vector<double> observed(count, 0.0);
    const int workers = std::max(1, threads > 0 ? threads : computationThreadCount());
    std::vector<std::vector<double>> maxima(static_cast<std::size_t>(workers), std::vector<double>(patterns, 0.0));
    shareWork(workers, voxels, 512, [&](int64_t begin, int64_t end, int worker) {
        std::vector<double>& largest = maxima[static_cast<std::size_t>(worker)];
        for (std::size_t p = 0; p < patterns; ++p) {
            const float* s = signs.data() + p * n;
            double top = largest[p];
            for (auto v = static_cast<std::size_t>(begin); v < static_cast<std::size_t>(end); ++v) {
                const float* x = values.data() + v * n;
                float dot = 0.0f;
                for (std::size_t i = 0; i < n; ++i) dot += s[i] * x[i];
                const double t = squaredT(dot, squares[v], subjects);
                if (p == 0) observed[v] = t;
                if (t >= observed[v]) ++atLeast[v];
                top = std::max(top, t);
            }
            largest[p] = top;
        }
    });
    std::vector<double> largestSquared(patterns, 0.0);
    for (const auto& largest : maxima)
        for (std::size_t p = 0; p < patterns; ++p) largestSquared[p] = std::max(largestSquared[p], largest[p]);
    std::sort(largestSquared.begin(), largestSquared.end());
    outcome.p.resize(count);
    outcome.pFwe.resize(count);
    for (std::size_t v = 0; v < count; ++v) {
        outcome.p[v] = static_cast<double>(atLeast[v]) / static_cast<double>(patterns);
        const auto below = std::lower_bound(largestSquared.begin(), largestSquared.end(), observed[v]);
        outcome.pFwe[v] = static_cast<double>(largestSquared.end() - below) / static_cast<double>(patterns);
        // The t map as the test saw it, so that it and the p maps agree.
        outcome.t[v] = std::copysign(static_cast<float>(std::sqrt(observed[v])), outcome.t[v]);
    }
    outcome.maxima.resize(patterns);
    for (std::size_t p = 0; p < patterns; ++p) outcome.maxima[p] = static_cast<float>(std::sqrt(largestSquared[p]));
    return outcome;
}

FdrLevel fdrLevel(const SignFlipOutcome& outcome, double q) {
    FdrLevel level;
    level.q = q;
    level.threshold = std::numeric_limits<double>::infinity();
    std::vector<double> sorted = outcome.p;
    std::sort(sorted.begin(), sorted.end());
    const auto m = static_cast<double>(sorted.size());
    double cutoff = -1.0;
    for (std::size_t k = sorted.size(); k > 0; --k)
        if (sorted[k - 1] <= q * static_cast<double>(k) / m) {
            cutoff = sorted[k - 1];
            break;
        }
    if (cutoff < 0.0) return level;
    for (std::size_t v = 0; v < outcome.p.size(); ++v)
        if (outcome.p[v] <= cutoff) {
            ++level.passing;
            level.threshold = std::min(level.threshold, static_cast<double>(std::fabs(outcome.t[v])));
        }
    return level;
}

double fweCriticalT(const SignFlipOutcome& outcome, double alpha) {
    // pFwe <= alpha when at most alpha * P patterns reach the voxel's |t|:
    // above the maximum of rank P - floor(alpha * P) (from 1).
    const auto patterns = static_cast<int64_t>(outcome.maxima.size());
    const auto allowed = static_cast<int64_t>(std::floor(alpha * static_cast<double>(patterns) + 1e-9));
    if (allowed < 1) return std::numeric_limits<double>::infinity();
    const double below = outcome.maxima[static_cast<std::size_t>(patterns - allowed - 1 < 0 ? 0 : patterns - allowed - 1)];
    return std::nextafter(below, std::numeric_limits<double>::infinity());
}

namespace {

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
    std::vector<SubjectMap> maps;
};

// The subjects' measure maps, grouped by everything in their names but the
// subject.
std::map<std::string, GroupKey> collectSubjectMaps(const GroupRequest& request) {
    std::map<std::string, GroupKey> keys;
    std::vector<std::string> subjects = request.participants;
    if (subjects.empty()) subjects = datasetSubjects(request.outputDir);
    const std::string ending = "_ldi.nii.gz";
    for (const std::string& subject : subjects) {
        std::vector<fs::path> folders;
        const fs::path top = fs::path(request.outputDir) / ("sub-" + subject);
        std::error_code error;
        folders.push_back(top / "func");
        for (fs::directory_iterator it(top, error), end; !error && it != end; it.increment(error))
            if (it->path().filename().string().compare(0, 4, "ses-") == 0) folders.push_back(it->path() / "func");
        for (const fs::path& folder : folders) {
            std::error_code listError;
            for (fs::directory_iterator it(folder, listError), end; !listError && it != end; it.increment(listError)) {
                const std::string name = it->path().filename().string();
                if (name.size() <= ending.size() || name.compare(name.size() - ending.size(), ending.size(), ending) != 0)
                    continue;
                GroupKey key;
                std::string rest;
                bool ours = false;
                MapType kind = DLDI;
                bool isMeasure = false;
                std::string desc;
                for (const auto& entity : fileEntities(name)) {
                    if (entity.first == "desc") desc = entity.second;
                    if (entity.first == "sub") {
                        ours = entity.second == subject;
                        continue;
                    }
                    if (entity.first == "seed") key.seed = entity.second;
                    if (entity.first == "cond") key.condition = entity.second;
                    if (entity.first == "stat") isMeasure = measureKind(entity.second, kind);
                    rest += (rest.empty() ? "" : "_") + entity.first + "-" + entity.second;
                }
                if (!ours || !isMeasure || key.seed.empty() || key.condition.empty()) continue;
                // The measures that may be negative as they are; the others as z
                // values; p maps never (they are no quantity to average).
                if (neverNegative(kind) ? desc != "z" : !desc.empty()) continue;
                GroupKey& slot = keys[rest];
                if (slot.name.empty()) {
                    slot = key;
                    slot.name = rest;
                    slot.kind = kind;
                }
                slot.maps.push_back(SubjectMap{subject, it->path().string()});
            }
        }
    }
    return keys;
}

std::string dumpJson(const nlohmann::ordered_json& json) {
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

double jsonNumber(double value) { return std::isfinite(value) ? value : -1.0; }

// One key: read, test, write. False with a message; the files of a key are
// written only once all its inputs were read.
bool testKey(const GroupRequest& request, const GroupKey& key, uint64_t seed, const std::string& date,
             nlohmann::ordered_json& summary, std::string& problem) {
    const auto subjects = static_cast<int32_t>(key.maps.size());
    NiftiHeader grid;
    std::vector<float> data;
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
    // The voxels every subject has a value for; a map is 0 where its subject
    // was not analysed, so a voxel that is 0 for all is outside the group.
    const auto gridVoxels = static_cast<std::size_t>(grid.voxelsPerVolume());
    std::vector<int64_t> tested;
    for (std::size_t v = 0; v < gridVoxels; ++v) {
        bool finite = true, nonzero = false;
        for (std::size_t s = 0; s < key.maps.size(); ++s) {
            const float x = data[s * gridVoxels + v];
            finite = finite && std::isfinite(x);
            nonzero = nonzero || x != 0.0f;
        }
        if (finite && nonzero) tested.push_back(static_cast<int64_t>(v));
    }
    if (tested.empty()) {
        problem = key.name + ": no voxel has a value in every subject's map";
        return false;
    }
    std::vector<float> packed(tested.size() * key.maps.size());
    for (std::size_t s = 0; s < key.maps.size(); ++s)
        for (std::size_t k = 0; k < tested.size(); ++k)
            packed[s * tested.size() + k] = data[s * gridVoxels + static_cast<std::size_t>(tested[k])];
    data.clear();
    data.shrink_to_fit();
    const SignFlipOutcome outcome = signFlipTest(packed, subjects, static_cast<int64_t>(tested.size()),
                                                 request.permutations, seed, request.threads);

    std::vector<float> mean(gridVoxels, 0.0f), t(gridVoxels, 0.0f), p(gridVoxels, 1.0f), pFwe(gridVoxels, 1.0f);
    for (std::size_t k = 0; k < tested.size(); ++k) {
        const auto v = static_cast<std::size_t>(tested[k]);
        mean[v] = outcome.mean[k];
        t[v] = outcome.t[k];
        p[v] = static_cast<float>(outcome.p[k]);
        pFwe[v] = static_cast<float>(outcome.pFwe[k]);
    }
    nlohmann::ordered_json fdr = nlohmann::ordered_json::array();
    nlohmann::ordered_json fwe = nlohmann::ordered_json::array();
    std::vector<float> fdrThresholds;
    float largest = 0.0f;
    for (const float value : outcome.t) largest = std::max(largest, std::fabs(value));
    const float nothingPasses = std::nextafter(largest, std::numeric_limits<float>::infinity());
    for (const double q : request.q) {
        const FdrLevel level = fdrLevel(outcome, q);
        fdr.push_back({{"q", q}, {"Threshold", jsonNumber(level.threshold)}, {"VoxelsPassing", level.passing}});
        fdrThresholds.push_back(std::isfinite(level.threshold) ? static_cast<float>(level.threshold) : nothingPasses);
        const double critical = fweCriticalT(outcome, q);
        int64_t passing = 0;
        for (const double value : outcome.pFwe) passing += value <= q ? 1 : 0;
        fwe.push_back({{"Alpha", q}, {"Threshold", jsonNumber(critical)}, {"VoxelsPassing", passing}});
    }
    nlohmann::ordered_json subjectsJson = nlohmann::ordered_json::array();
    nlohmann::ordered_json inputs = nlohmann::ordered_json::array();
    for (const SubjectMap& map : key.maps) {
        subjectsJson.push_back(map.subject);
        inputs.push_back(map.path);
    }

    const fs::path folder = fs::path(request.outputDir) / "group";
    std::error_code error;
    fs::create_directories(folder, error);
    const std::string kindName = mapDisplayName(key.kind, key.condition);
    struct Output {
        const char* label;
        const std::vector<float>* values;
        const char* meaning;
    };
    const Output outputs[] = {
        {"mean", &mean, "the mean of the subjects' maps"},
        {"t", &t, "one-sample t of the subjects' maps against 0"},
        {"p", &p, "uncorrected two-sided sign-flip permutation p (1 outside the voxels tested)"},
        {"pfwe", &pFwe, "family-wise-error-corrected p by the maximum |t| over the voxels (1 outside)"},
    };
    nlohmann::ordered_json written = nlohmann::ordered_json::array();
    for (const Output& output : outputs) {
        const std::string stem = key.name + "_group-" + output.label + "_ldi";
        const std::string image =
            encodeNiftiMap(grid, *output.values, "LDI group " + std::string(output.label) + " " + kindName, problem);
        if (image.empty() || !writeFileSafely((folder / (stem + ".nii.gz")).string(), image, problem)) return false;
        nlohmann::ordered_json sidecar;
        sidecar["GroupMap"] = output.label;
        sidecar["Description"] = output.meaning;
        sidecar["MapKind"] = mapKindLabel(key.kind);
        sidecar["Seed"] = key.seed;
        sidecar["Condition"] = key.condition;
        sidecar["Test"] = "one-sample sign-flip permutation test, two-sided";
        sidecar["Subjects"] = subjectsJson;
        sidecar["VoxelsTested"] = tested.size();
        sidecar["Permutations"] = outcome.permutations;
        sidecar["Exhaustive"] = outcome.exhaustive;
        sidecar["RngSeed"] = seed;
        sidecar["FDRThresholds"] = fdr;
        sidecar["FWEThresholds"] = fwe;
        sidecar["Inputs"] = inputs;
        sidecar["GeneratedBy"] = {{"Name", "ldi"}, {"Version", ldiVersion}};
        sidecar["Date"] = date;
        if (!writeFileSafely((folder / (stem + ".json")).string(), dumpJson(sidecar), problem)) return false;
        written.push_back(stem + ".nii.gz");
    }

    // The mean and t maps as a map set for ldi show: t displayed from the
    // FWE threshold at the first level, the FDR thresholds at their levels.
    LdiFile set;
    set.geometry.xEnd = set.geometry.dimX = static_cast<int32_t>(grid.nx());
    set.geometry.yEnd = set.geometry.dimY = static_cast<int32_t>(grid.ny());
    set.geometry.zEnd = set.geometry.dimZ = static_cast<int32_t>(grid.nz());
    for (const double q : request.q) {
        char label[64];
        std::snprintf(label, sizeof label, "thres q=%1.3f", q);
        set.levelLabels.push_back(label);
    }
    MapLook look{};
    mapLook(key.kind, look);
    for (const Output& output : {outputs[0], outputs[1]}) {
        LdiMap map;
        map.name = kindName + " group " + output.label;
        map.mapKind = 101;
        map.positiveColourLow = look.positiveLow;
        map.positiveColourHigh = look.positiveHigh;
        map.negativeColourLow = look.negativeLow;
        map.negativeColourHigh = look.negativeHigh;
        map.useNegativeColours = 1;
        map.voxels.assign(output.values->begin(), output.values->end());
        if (output.values == &t) {
            const double critical = fweCriticalT(outcome, request.q.empty() ? 0.05 : request.q.front());
            map.lowerThreshold = std::isfinite(critical) ? static_cast<float>(critical) : nothingPasses;
            map.upperThreshold = std::max(largest, map.lowerThreshold);
            map.fdrThresholds = fdrThresholds;
        } else {
            float top = 0.0f;
            for (const float value : outcome.mean) top = std::max(top, std::fabs(value));
            map.lowerThreshold = 0.0f;
            map.upperThreshold = top;
            map.fdrThresholds.assign(request.q.size(), 0.0f);
        }
        set.maps.push_back(std::move(map));
    }
    const std::string setName = key.name + "_group.ldi";
    if (!writeFileSafely((folder / setName).string(), encodeLdi(set), problem)) return false;
    written.push_back(setName);

    int64_t fwePassing = 0;
    for (const double value : outcome.pFwe) fwePassing += value <= 0.05 ? 1 : 0;
    summary.push_back({{"Key", key.name},
                       {"Subjects", subjectsJson},
                       {"VoxelsTested", tested.size()},
                       {"Permutations", outcome.permutations},
                       {"VoxelsFWE05", fwePassing},
                       {"Files", written}});
    return true;
}

}  // namespace

int runGroupLevel(const GroupRequest& request, std::ostream& out, std::ostream& err) {
    const std::map<std::string, GroupKey> keys = collectSubjectMaps(request);
    if (keys.empty()) {
        err << "ldi: no subject maps in " << request.outputDir
            << " (run the participant level first: ldi bids BIDS_DIR OUTPUT_DIR participant)" << std::endl;
        return EXIT_USAGE;
    }
    const int64_t base = request.rngSeed >= 0 ? request.rngSeed : static_cast<int64_t>(std::time(nullptr));
    if (request.rngSeed < 0)
        err << "ldi: rng seed " << base << " (repeat the group level with --rng-seed " << base << ")" << std::endl;
    const std::string date = utcDate();
    nlohmann::ordered_json summary = nlohmann::ordered_json::array();
    int failed = 0;
    int tested = 0;
    for (const auto& entry : keys) {
        const GroupKey& key = entry.second;
        if (key.maps.size() < 2) {
            err << "ldi: " << key.name << ": only sub-" << key.maps.front().subject
                << " has this map; a group needs two subjects or more" << std::endl;
            continue;
        }
        std::string problem;
        if (!testKey(request, key, static_cast<uint64_t>(base), date, summary, problem)) {
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

}  // namespace ldi_host
