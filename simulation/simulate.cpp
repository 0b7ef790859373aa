#include "simulation/simulate.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

#include "data/vtc_writer.h"
#include "formats/whole_file.h"
#include "base/host_api.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

// Signal and noise of the model, in units of 1 % of the baseline.
constexpr double SIGNAL_UNIT = 10.0;
constexpr double AR_COEFFICIENT = 0.3;       // a: own memory of the reference and the leader
constexpr double LEADER_COUPLING = 1.0;      // c: leader -> reference, one volume later
constexpr double FOLLOWER_COUPLING = 0.9;    // b: reference -> follower, one volume later
constexpr double SYNCHRONOUS_GAIN = 0.8;     // g: reference -> synchronous region, same volume
// h: the lagged partners also share part of their innovations with the
// reference, as regions that influence each other usually do; without it the
// difference maps restricted to instantaneously coupled voxels (dLDI IT, dLDI
// RC) would show nothing of them.
constexpr double SHARED_INNOVATION = 0.6;  // follower
// Less for the leader: the reference's own past then carries less of the
// leader's past, which would weaken the leader's lagged influence.
constexpr double LEADER_SHARED_INNOVATION = 0.4;
constexpr double NOISE_AR_COEFFICIENT = 0.4;
constexpr double REGION_NOISE_SD = 0.6;
constexpr double BACKGROUND_NOISE_SD = 1.0;
constexpr int WARM_UP_VOLUMES = 50;
constexpr float TR_MS = 2000.0f;

struct RegionPlan {
    const char* name;
    char letter;
    const char* effect;
    const char* mapKind;
    bool taskOnly;
    double cx, cy, cz;  // centre as a fraction of the grid
};

const RegionPlan REGIONS[] = {
    {"Reference", 'R', "the reference region: every voxel is the reference series plus its own noise; "
                       "these voxels form the VOI",
     "Inst", false, 0.30, 0.55, 0.50},
    {"Follower", 'F', "driven by the reference one volume later (Task only)", "Ref2Vox", true, 0.70, 0.72,
     0.35},
    {"Leader", 'L', "drives the reference one volume later (Task only)", "Vox2Ref", true, 0.70, 0.30, 0.65},
    {"Synchronous", 'S', "correlated with the reference in the same volume (both conditions)", "Inst", false,
     0.32, 0.22, 0.30},
};

// Only in the multi-subject set: the artifact it shares with the reference is
// its whole coupling, so its planted effect is none.
const RegionPlan CONFOUNDED_REGION = {
    "Confounded", TRUTH_CONFOUNDED,
    "coupled to the reference only through a motion-like confound that both pick up (gone once the confounds "
    "are regressed out)",
    "Inst", false, 0.50, 0.80, 0.75};

const char* const CONDITION_NAMES[] = {"Task", "Rest"};

bool isTaskVolume(int32_t t) { return (t / SIM_BLOCK_VOLUMES) % 2 == 0; }  // t from 0

// Box in anatomical voxels, centred in a 256-voxel cube.
struct Box {
    int32_t xStart, xEnd, yStart, yEnd, zStart, zEnd;
};

Box boxOf(const PresetSpec& shape) {
    auto start = [&](int32_t dim) { return 128 - dim * shape.resolution / 2; };
    Box box{};
    box.xStart = start(shape.dimX);
    box.xEnd = box.xStart + shape.dimX * shape.resolution;
    box.yStart = start(shape.dimY);
    box.yEnd = box.yStart + shape.dimY * shape.resolution;
    box.zStart = start(shape.dimZ);
    box.zEnd = box.zStart + shape.dimZ * shape.resolution;
    return box;
}

// Normalised ellipsoidal radius of a voxel: below 1 inside the brain.
double brainRadius(const PresetSpec& shape, int32_t x, int32_t y, int32_t z) {
    const double dx = (x - (shape.dimX - 1) / 2.0) / (shape.dimX / 2.0 - 0.5);
    const double dy = (y - (shape.dimY - 1) / 2.0) / (shape.dimY / 2.0 - 0.5);
    const double dz = (z - (shape.dimZ - 1) / 2.0) / (shape.dimZ / 2.0 - 0.5);
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// A brighter rim and a darker core, so that the mean image looks like
// something and the pictures can be read against it.
double baseline(double radius) {
    const double rim = (radius - 0.85) / 0.12;
    const double core = radius / 0.3;
    return 1000.0 + 150.0 * std::exp(-rim * rim) - 120.0 * std::exp(-core * core);
}

void labelGrid(const PresetSpec& shape, GroundTruth& truth, bool confounded) {
    std::vector<RegionPlan> plans(std::begin(REGIONS), std::end(REGIONS));
    if (confounded) plans.push_back(CONFOUNDED_REGION);
    truth.grid.assign(static_cast<std::size_t>(shape.dimX) * shape.dimY * shape.dimZ, TRUTH_OUTSIDE);
    for (int32_t z = 0; z < shape.dimZ; ++z)
        for (int32_t y = 0; y < shape.dimY; ++y)
            for (int32_t x = 0; x < shape.dimX; ++x) {
                if (brainRadius(shape, x, y, z) > 1.0) continue;
                char letter = TRUTH_BACKGROUND;
                for (const RegionPlan& region : plans) {
                    const double dx = x - std::round(region.cx * (shape.dimX - 1));
                    const double dy = y - std::round(region.cy * (shape.dimY - 1));
                    const double dz = z - std::round(region.cz * (shape.dimZ - 1));
                    if (dx * dx + dy * dy + dz * dz <= shape.regionRadius * shape.regionRadius) {
                        letter = region.letter;
                        break;
                    }
                }
                truth.grid[(static_cast<std::size_t>(z) * shape.dimY + y) * shape.dimX + x] = letter;
            }
}

void describeTruth(const PresetSpec& shape, SimulationPreset preset, uint32_t seed, GroundTruth& truth,
                   bool confounded = false) {
    truth.preset = presetName(preset);
    truth.seed = seed;
    truth.dimX = shape.dimX;
    truth.dimY = shape.dimY;
    truth.dimZ = shape.dimZ;
    truth.numVolumes = shape.numVolumes;
    truth.conditions.clear();
    for (int c = 0; c < 2; ++c) {
        TruthCondition condition;
        condition.name = CONDITION_NAMES[c];
        for (int32_t first = c * SIM_BLOCK_VOLUMES; first < shape.numVolumes; first += 2 * SIM_BLOCK_VOLUMES)
            condition.intervals.emplace_back(first + 1, std::min(first + SIM_BLOCK_VOLUMES, shape.numVolumes));
        truth.conditions.push_back(condition);
    }
    labelGrid(shape, truth, confounded);
    truth.regions.clear();
    std::vector<RegionPlan> plans(std::begin(REGIONS), std::end(REGIONS));
    if (confounded) plans.push_back(CONFOUNDED_REGION);
    for (const RegionPlan& plan : plans) {
        TruthRegion region;
        region.name = plan.name;
        region.letter = plan.letter;
        region.effect = plan.effect;
        region.mapKind = plan.mapKind;
        region.plantedIn = plan.taskOnly ? std::vector<std::string>{"Task"}
                                         : std::vector<std::string>{"Task", "Rest"};
        if (preset == SimulationPreset::Null || plan.letter == TRUTH_CONFOUNDED) region.plantedIn.clear();
        region.voxelCount = static_cast<int32_t>(std::count(truth.grid.begin(), truth.grid.end(), plan.letter));
        truth.regions.push_back(region);
    }
}

// The shared series of the model: the leader's activity d and the reference r.
struct ModelSeries {
    std::vector<double> leader, reference;
    double scale = 1.0;   // of the couplings
    const std::vector<double>* artifact = nullptr;  // what R and M pick up, per volume
    bool coupled = true;  // false: the regions carry nothing of the reference (the null preset)
};

// `scale` multiplies the couplings (a subject's own strength; 1 leaves them
// exactly as they are).
ModelSeries simulateSeries(int32_t numVolumes, std::mt19937& generator, bool coupledSet, double scale = 1.0) {
    std::normal_distribution<double> normal(0.0, 1.0);
    const double innovation = std::sqrt(1.0 - AR_COEFFICIENT * AR_COEFFICIENT);
    ModelSeries series;
    series.coupled = coupledSet;
    double d = 0.0;
    double r = 0.0;
    for (int32_t t = -WARM_UP_VOLUMES; t < numVolumes; ++t) {
        const bool coupled = coupledSet && t >= 0 && isTaskVolume(t);
        const double previousD = d;
        const double u = innovation * normal(generator);
        d = AR_COEFFICIENT * d + u;
        r = AR_COEFFICIENT * r +
            (coupled ? LEADER_COUPLING * scale * previousD + LEADER_SHARED_INNOVATION * u : 0.0) +
            innovation * normal(generator);
        if (t >= 0) {
            series.leader.push_back(d);
            series.reference.push_back(r);
        }
    }
    return series;
}

// The signal of one voxel (without noise) at volume t, by its letter.
double signalAt(char letter, const ModelSeries& series, int32_t t) {
    // Without coupling only the seed region and the leader's own (independent)
    // activity remain: every other voxel is noise.
    const double artifact =
        series.artifact && (letter == 'R' || letter == TRUTH_CONFOUNDED) ? (*series.artifact)[t] : 0.0;
    if (!series.coupled && letter != 'R' && letter != 'L') return 0.0;
    switch (letter) {
        case 'R':
            return artifact == 0.0 ? series.reference[t] : series.reference[t] + artifact;
        case 'F':
            return t > 0 && isTaskVolume(t) ? FOLLOWER_COUPLING * series.scale * series.reference[t - 1] +
                                                  SHARED_INNOVATION * series.reference[t]
                                            : 0.0;
        case 'L':
            return series.leader[t];
        case 'S':
            return SYNCHRONOUS_GAIN * series.scale * series.reference[t];
        case TRUTH_CONFOUNDED:
            return artifact;
        default:
            return 0.0;
    }
}

bool writeFailed(const std::string& path, std::string& problem) {
    problem = "cannot write " + path + ": " + std::strerror(errno);
    return false;
}

// The voxels' values slice by slice (never the whole data set in memory).
bool generateSlices(const PresetSpec& shape, const GroundTruth& truth, const ModelSeries& series,
                    std::mt19937& generator, const SliceSink& sink, std::string& problem) {
    std::normal_distribution<double> normal(0.0, 1.0);
    const double noiseInnovation = std::sqrt(1.0 - NOISE_AR_COEFFICIENT * NOISE_AR_COEFFICIENT);
    const int32_t volumes = shape.numVolumes;
    std::vector<double> slice(static_cast<std::size_t>(shape.dimX) * shape.dimY * volumes);
    for (int32_t z = 0; z < shape.dimZ; ++z) {
        std::size_t at = 0;
        for (int32_t y = 0; y < shape.dimY; ++y)
            for (int32_t x = 0; x < shape.dimX; ++x) {
                const char letter = truth.at(x, y, z);
                const bool inside = letter != TRUTH_OUTSIDE;
                const double base = inside ? baseline(brainRadius(shape, x, y, z)) : 0.0;
                const double sd = letter == TRUTH_BACKGROUND ? BACKGROUND_NOISE_SD : REGION_NOISE_SD;
                double noise = inside ? sd * normal(generator) : 0.0;
                for (int32_t t = 0; t < volumes; ++t) {
                    double value = 0.0;
                    if (inside) {
                        if (t > 0) noise = NOISE_AR_COEFFICIENT * noise + sd * noiseInnovation * normal(generator);
                        value = base + SIGNAL_UNIT * (signalAt(letter, series, t) + noise);
                    }
                    slice[at++] = value;
                }
            }
        if (!sink(slice, problem)) return false;
    }
    return true;
}

// Writes the VTC slice by slice.
bool writeVtc(const std::string& path, const PresetSpec& shape, const Box& box, const GroundTruth& truth,
              const ModelSeries& series, std::mt19937& generator, std::string& problem) {
    VtcHeaderFields header;
    header.sourceName = "ldi simulate, preset " + truth.preset + ", seed " + std::to_string(truth.seed);
    header.protocolName = SIM_PROTOCOL_FILE;
    header.dataType = shape.floatData ? VTC_DATA_TYPE_FLOAT : 1;
    header.numVolumes = shape.numVolumes;
    header.resolution = shape.resolution;
    header.xStart = box.xStart;
    header.xEnd = box.xEnd;
    header.yStart = box.yStart;
    header.yEnd = box.yEnd;
    header.zStart = box.zStart;
    header.zEnd = box.zEnd;
    header.tr = TR_MS;
    VtcWriter out;
    if (!out.open(path, header, problem)) return false;
    const SliceSink sink = [&out](const std::vector<double>& slice, std::string& why) {
        return out.write(slice.data(), slice.size(), why);
    };
    if (!generateSlices(shape, truth, series, generator, sink, problem)) return false;
    return out.close(problem);
}

bool writeText(const std::string& path, const std::string& text, std::string& problem) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return writeFailed(path, problem);
    out << text;
    out.close();
    if (!out) return writeFailed(path, problem);
    return true;
}

std::string voiText(const PresetSpec& shape, const Box& box, const GroundTruth& truth) {
    std::ostringstream text;
    text << "# The reference region of the simulated data set: one anatomical voxel\n"
            "# (the corner of each VTC voxel) per VTC voxel of the region.\n"
            "Coordinates: internal\n\n"
            "VOI: "
         << SIM_VOI_NAME << "\n";
    for (int32_t z = 0; z < truth.dimZ; ++z)
        for (int32_t y = 0; y < truth.dimY; ++y)
            for (int32_t x = 0; x < truth.dimX; ++x)
                if (truth.at(x, y, z) == 'R')
                    text << box.xStart + x * shape.resolution << ' ' << box.yStart + y * shape.resolution << ' '
                         << box.zStart + z * shape.resolution << "\n";
    return text.str();
}

std::string protocolText(const GroundTruth& truth) {
    std::ostringstream text;
    text << "FileVersion: 2\n"
            "ResolutionOfTime: Volumes\n"
            "Experiment: simulated blocks (ldi simulate)\n"
            "NrOfConditions: "
         << truth.conditions.size() << "\n";
    const char* const colours[] = {"255 80 0", "128 128 128"};
    for (std::size_t c = 0; c < truth.conditions.size(); ++c) {
        const TruthCondition& condition = truth.conditions[c];
        text << "\n" << condition.name << "\n" << condition.intervals.size() << "\n";
        for (const auto& interval : condition.intervals) text << interval.first << ' ' << interval.second << "\n";
        text << "Color: " << colours[c % 2] << "\n";
    }
    return text.str();
}

// The settings of the run: the defaults, written out so that they can be
// read and changed.
const char SETTINGS_TEXT[] =
    "// Settings of the simulated data set's run (these are the defaults).\n"
    "MapTypesComputed= REF2VOX VOX2REF INST DLDI DLDI_IT DLDI_RC\n"
    "QThresholdsForFDR= 0.01 0.05 0.1\n"
    "CVConstantForFDR= 2\n"
    "AutoRegressionOrder= 1\n"
    "FirstTimePointInclusionThres= 100\n"
    "ShowVerboseProgressLog= 1\n"
    "NumSurrogateSimulations= 1000\n"
    "NumDiscardedSimulatedTimePoints= 100\n"
    "DLDI_ITInstLowerThres= 0.05\n"
    "DLDI_RCUpperThres= 0.7\n"
    "SeparateSourceTargetVTCs= 0\n"
    "MapScaleFactor= 100\n";

// Answers in dialog order: VOI 1 and the end of the VOI menu, intervals from
// a protocol, then per condition its name, the VTC, the protocol and the
// protocol condition's number, and no further VTC; no further condition; the
// output prefix.
bool answersText(const std::string& vtcPath, const std::string& protocolPath, const std::string& prefix,
                 const GroundTruth& truth, std::string& text, std::string& problem) {
    for (const std::string* path : {&vtcPath, &protocolPath}) {
        if (path->size() + 1 > SY_OPEN_FILE_CAPACITY || path->find('\n') != std::string::npos) {
            problem = "the path " + *path + " is longer than the " + std::to_string(SY_OPEN_FILE_CAPACITY - 1) +
                      " bytes a file dialog of the plug-in holds; simulate into a folder with a shorter path";
            return false;
        }
    }
    if (prefix.size() + 1 > SY_SAVE_FILE_CAPACITY || prefix.find('\n') != std::string::npos) {
        problem = "the output prefix " + prefix + " is longer than the plug-in's save dialog holds; simulate "
                  "into a folder with a shorter path";
        return false;
    }
    std::ostringstream answers;
    answers << "1\n0\n2\n";
    for (std::size_t c = 0; c < truth.conditions.size(); ++c)
        answers << truth.conditions[c].name << "\n"
                << vtcPath << "\n"
                << protocolPath << "\n"
                << c + 1 << "\n"
                << "<cancel>\n";
    answers << "\n" << prefix << "\n";
    text = answers.str();
    return true;
}

}  // namespace

nlohmann::ordered_json groundTruthJson(const GroundTruth& truth, SimulationPreset preset) {
    const PresetSpec shape = specOf(preset);
    const Box box = boxOf(shape);
    nlohmann::ordered_json json;
    json["description"] =
        "Ground truth of a data set written by ldi simulate. 'slices' holds one entry per z slice "
        "(from z = 0), each a list of rows (from y = 0) with one letter per voxel (from x = 0); "
        "'legend' says what the letters mean.";
    json["preset"] = truth.preset;
    json["seed"] = truth.seed;
    json["grid"] = {{"dimX", truth.dimX}, {"dimY", truth.dimY}, {"dimZ", truth.dimZ},
                    {"resolution", shape.resolution}, {"xStart", box.xStart}, {"xEnd", box.xEnd},
                    {"yStart", box.yStart}, {"yEnd", box.yEnd}, {"zStart", box.zStart}, {"zEnd", box.zEnd}};
    json["volumes"] = truth.numVolumes;
    json["trMs"] = TR_MS;
    json["dataType"] = shape.floatData ? "float32" : "uint16";
    nlohmann::ordered_json conditions = nlohmann::ordered_json::array();
    for (const TruthCondition& condition : truth.conditions) {
        nlohmann::ordered_json intervals = nlohmann::ordered_json::array();
        for (const auto& interval : condition.intervals) intervals.push_back({interval.first, interval.second});
        conditions.push_back({{"name", condition.name}, {"intervals", intervals}});
    }
    json["conditions"] = conditions;
    json["model"] = {
        {"unit", "1 % of the baseline (10 intensity units)"},
        {"baseline", "about 1000 (a brighter rim, a darker core)"},
        {"leader", "d(t) = 0.3 d(t-1) + u(t), unit variance"},
        {"reference", "r(t) = 0.3 r(t-1) + task(t) (1.0 d(t-1) + 0.4 u(t)) + e(t), u(t) the leader's innovation"},
        {"follower", "task(t) (0.9 r(t-1) + 0.6 r(t))"},
        {"synchronous", "0.8 r(t)"},
        {"noise", "independent AR(1) per voxel, coefficient 0.4, sd 1 (background) or 0.6 (regions)"},
        {"task", "1 in the volumes of condition Task, 0 in Rest"}};
    nlohmann::ordered_json regions = nlohmann::ordered_json::array();
    for (const TruthRegion& region : truth.regions)
        regions.push_back({{"name", region.name},
                           {"letter", std::string(1, region.letter)},
                           {"effect", region.effect},
                           {"map", region.mapKind},
                           {"plantedIn", region.plantedIn},
                           {"voxels", region.voxelCount}});
    json["regions"] = regions;
    nlohmann::ordered_json legend;
    legend[std::string(1, TRUTH_OUTSIDE)] = "outside the brain: 0 in every volume (skipped by the plug-in)";
    legend[std::string(1, TRUTH_BACKGROUND)] = "background: independent AR(1) noise around the baseline";
    for (const TruthRegion& region : truth.regions) legend[std::string(1, region.letter)] = region.name;
    json["legend"] = legend;
    nlohmann::ordered_json slices = nlohmann::ordered_json::array();
    for (int32_t z = 0; z < truth.dimZ; ++z) {
        nlohmann::ordered_json rows = nlohmann::ordered_json::array();
        for (int32_t y = 0; y < truth.dimY; ++y)
            rows.push_back(truth.grid.substr((static_cast<std::size_t>(z) * truth.dimY + y) * truth.dimX,
                                             static_cast<std::size_t>(truth.dimX)));
        slices.push_back(rows);
    }
    json["slices"] = slices;
    return json;
}

GroundTruth simulatedTruth(SimulationPreset preset, uint32_t seed, bool confounded) {
    GroundTruth truth;
    describeTruth(specOf(preset), preset, seed, truth, confounded);
    return truth;
}

bool generateSimulatedData(SimulationPreset preset, uint32_t seed, const GroundTruth& truth,
                           const SubjectEffects& effects, const SliceSink& sink, std::string& problem) {
    const PresetSpec shape = specOf(preset);
    std::mt19937 generator(seed);
    ModelSeries series =
        simulateSeries(shape.numVolumes, generator, preset != SimulationPreset::Null, effects.couplingScale);
    series.scale = effects.couplingScale;
    if (!effects.artifact.empty()) {
        if (effects.artifact.size() != static_cast<std::size_t>(shape.numVolumes)) {
            problem = "the artifact does not have one value per volume";
            return false;
        }
        series.artifact = &effects.artifact;
    }
    return generateSlices(shape, truth, series, generator, sink, problem);
}

float storedSimulatedValue(SimulationPreset preset, double value) {
    return specOf(preset).floatData ? static_cast<float>(value) : static_cast<float>(vtcStoredUint16(value));
}

bool parsePreset(const std::string& text, SimulationPreset& preset) {
    if (text == "small") {
        preset = SimulationPreset::Small;
        return true;
    }
    if (text == "realistic") {
        preset = SimulationPreset::Realistic;
        return true;
    }
    if (text == "null") {
        preset = SimulationPreset::Null;
        return true;
    }
    return false;
}

const char* presetName(SimulationPreset preset) {
    if (preset == SimulationPreset::Null) return "null";
    return preset == SimulationPreset::Realistic ? "realistic" : "small";
}

PresetSpec specOf(SimulationPreset preset) {
    if (preset == SimulationPreset::Realistic || preset == SimulationPreset::Null)
        return PresetSpec{58, 40, 46, 3, 400, false, 3.5};
    return PresetSpec{24, 20, 12, 3, 240, true, 2.0};
}

bool simulateDataSet(const std::string& folder, SimulationPreset preset, uint32_t seed, SimulationResult& result,
                     std::string& problem) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder)) {
        problem = "cannot create the folder " + folder + (error ? ": " + error.message() : std::string());
        return false;
    }
    const fs::path root = fs::absolute(folder, error).lexically_normal();
    const fs::path results = root / SIM_RESULTS_FOLDER;
    fs::create_directories(results, error);
    if (error) {
        problem = "cannot create the folder " + results.string() + ": " + error.message();
        return false;
    }
    const PresetSpec shape = specOf(preset);
    const Box box = boxOf(shape);
    GroundTruth& truth = result.truth;
    describeTruth(shape, preset, seed, truth);
    result.files.clear();

    const std::string vtcPath = (root / SIM_VTC_FILE).string();
    const std::string protocolPath = (root / SIM_PROTOCOL_FILE).string();
    std::string answers;
    if (!answersText(vtcPath, protocolPath, (results / SIM_OUTPUT_NAME).string(), truth, answers, problem))
        return false;

    std::mt19937 generator(seed);
    const ModelSeries series = simulateSeries(shape.numVolumes, generator, preset != SimulationPreset::Null);
    if (!writeVtc(vtcPath, shape, box, truth, series, generator, problem)) return false;
    result.files.push_back(vtcPath);
    const std::pair<std::string, std::string> texts[] = {
        {(root / SIM_VOI_FILE).string(), voiText(shape, box, truth)},
        {protocolPath, protocolText(truth)},
        {(root / SIM_ANSWERS_FILE).string(), answers},
        {(root / SIM_SETTINGS_FILE).string(), SETTINGS_TEXT},
        {(root / SIM_TRUTH_FILE).string(), groundTruthJson(truth, preset).dump(1) + "\n"},
    };
    for (const auto& [path, text] : texts) {
        if (!writeText(path, text, problem)) return false;
        result.files.push_back(path);
    }
    return true;
}

bool readGroundTruth(const std::string& path, GroundTruth& truth, std::string& problem) {
    std::string content;
    if (!readWholeFile(path, content, problem)) return false;
    const nlohmann::json json = nlohmann::json::parse(content, nullptr, false);
    auto fail = [&](const std::string& what) {
        problem = path + ": not a ground-truth file of ldi simulate: " + what;
        return false;
    };
    if (json.is_discarded() || !json.is_object()) return fail("not a JSON object");
    try {
        GroundTruth read;
        read.preset = json.at("preset").get<std::string>();
        read.seed = json.at("seed").get<uint32_t>();
        const auto& grid = json.at("grid");
        read.dimX = grid.at("dimX").get<int32_t>();
        read.dimY = grid.at("dimY").get<int32_t>();
        read.dimZ = grid.at("dimZ").get<int32_t>();
        read.numVolumes = json.at("volumes").get<int32_t>();
        if (read.dimX < 1 || read.dimY < 1 || read.dimZ < 1 || read.dimX > 4096 || read.dimY > 4096 ||
            read.dimZ > 4096)
            return fail("grid size out of range");
        for (const auto& condition : json.at("conditions")) {
            TruthCondition c;
            c.name = condition.at("name").get<std::string>();
            for (const auto& interval : condition.at("intervals"))
                c.intervals.emplace_back(interval.at(0).get<int32_t>(), interval.at(1).get<int32_t>());
            read.conditions.push_back(c);
        }
        std::string letters(1, TRUTH_OUTSIDE);
        letters += TRUTH_BACKGROUND;
        for (const auto& region : json.at("regions")) {
            TruthRegion r;
            r.name = region.at("name").get<std::string>();
            const std::string letter = region.at("letter").get<std::string>();
            if (letter.size() != 1 || letters.find(letter[0]) != std::string::npos)
                return fail("region " + r.name + " has no letter of its own");
            r.letter = letter[0];
            letters += r.letter;
            r.effect = region.at("effect").get<std::string>();
            r.mapKind = region.at("map").get<std::string>();
            r.plantedIn = region.at("plantedIn").get<std::vector<std::string>>();
            read.regions.push_back(r);
        }
        const auto& slices = json.at("slices");
        if (!slices.is_array() || slices.size() != static_cast<std::size_t>(read.dimZ))
            return fail("expected " + std::to_string(read.dimZ) + " slices");
        for (const auto& slice : slices) {
            if (!slice.is_array() || slice.size() != static_cast<std::size_t>(read.dimY))
                return fail("expected " + std::to_string(read.dimY) + " rows per slice");
            for (const auto& row : slice) {
                const std::string text = row.get<std::string>();
                if (text.size() != static_cast<std::size_t>(read.dimX))
                    return fail("expected " + std::to_string(read.dimX) + " letters per row");
                if (text.find_first_not_of(letters) != std::string::npos)
                    return fail("a row holds a letter that is not in the legend");
                read.grid += text;
            }
        }
        for (TruthRegion& region : read.regions)
            region.voxelCount = static_cast<int32_t>(std::count(read.grid.begin(), read.grid.end(), region.letter));
        truth = std::move(read);
    } catch (const nlohmann::json::exception& exception) {
        return fail(exception.what());
    }
    return true;
}

}  // namespace ldi
