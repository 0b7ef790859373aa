// The simulated data set as NIfTI runs and BIDS files: one subject for ldi map,
// or a whole multi-subject dataset with fMRIPrep-like derivatives for ldi bids.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include <nifti1_io.h>

#include "analysis/map_outputs.h"
#include "formats/nifti_image.h"
#include "simulation/simulate.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

constexpr double TR_SECONDS = 2.0;
// The artifact's standard deviation, in the model's units (the reference's
// own signal has about 1): strong enough that the confounded region passes
// every subject's instantaneous map when the confounds are left in.
constexpr double ARTIFACT_SD = 1.5;
const char* const MOTION_COLUMNS[] = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};
// How much each motion parameter moves the signal of the affected voxels.
const double MOTION_WEIGHTS[] = {1.0, 0.6, 0.0, 0.3, 0.8, 0.0};

// The grid of the preset with the affine of ldi run's maps: voxel (i, j, k)
// of the VTC's box at Talairach x = 128 - zStart - k r, y = 128 - xStart - i r,
// z = 128 - yStart - j r (the host's internal axes run posterior, inferior and
// left).
NiftiHeader simulatedGrid(SimulationPreset preset, int32_t code) {
    const PresetSpec shape = specOf(preset);
    const double r = shape.resolution;
    auto start = [&](int32_t dim) { return 128.0 - dim * shape.resolution / 2; };
    NiftiHeader grid;
    grid.version = 1;
    grid.rank = 3;
    grid.dim = {3, shape.dimX, shape.dimY, shape.dimZ, 1, 1, 1, 1};
    grid.xyztUnits = NIFTI_UNITS_MM;
    grid.sformCode = grid.qformCode = code;
    grid.srow = {{{0, 0, -r, 128.0 - start(shape.dimZ)},
                  {-r, 0, 0, 128.0 - start(shape.dimX)},
                  {0, -r, 0, 128.0 - start(shape.dimY)}}};
    mat44 m{};
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column)
            m.m[row][column] = static_cast<float>(grid.srow[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)]);
    m.m[3][3] = 1.0f;
    float b = 0, c = 0, d = 0, x = 0, y = 0, z = 0, dx = 0, dy = 0, dz = 0, qfac = 0;
    nifti_mat44_to_quatern(m, &b, &c, &d, &x, &y, &z, &dx, &dy, &dz, &qfac);
    grid.quatern = {b, c, d};
    grid.qoffset = {x, y, z};
    grid.pixdim = {qfac, r, r, r, 0, 0, 0, 0};
    return grid;
}

// The gzipped 4D float32 image of one simulated run: the values the VTC
// stores, brought from the VTC's order (time fastest) into NIfTI's (volume
// after volume).
bool runImage(SimulationPreset preset, uint32_t seed, const GroundTruth& truth, const SubjectEffects& effects,
              const NiftiHeader& grid, std::string& image, std::string& problem) {
    const PresetSpec shape = specOf(preset);
    const std::size_t sliceVoxels = static_cast<std::size_t>(shape.dimX) * shape.dimY;
    const std::size_t volumeVoxels = sliceVoxels * static_cast<std::size_t>(shape.dimZ);
    const auto volumes = static_cast<std::size_t>(shape.numVolumes);
    std::string bytes = encodeNiftiRunHeader(grid, shape.numVolumes, TR_SECONDS,
                                             "ldi simulate, preset " + truth.preset + ", seed " + std::to_string(seed));
    const std::size_t offset = bytes.size();
    bytes.resize(offset + volumeVoxels * volumes * sizeof(float));
    std::size_t z = 0;
    const SliceSink sink = [&](const std::vector<double>& slice, std::string&) {
        for (std::size_t v = 0; v < sliceVoxels; ++v)
            for (std::size_t t = 0; t < volumes; ++t) {
                const float value = storedSimulatedValue(preset, slice[v * volumes + t]);
                std::memcpy(&bytes[offset + (t * volumeVoxels + z * sliceVoxels + v) * sizeof(float)], &value,
                            sizeof value);
            }
        ++z;
        return true;
    };
    if (!generateSimulatedData(preset, seed, truth, effects, sink, problem)) return false;
    // Level 1: the noise of simulated data hardly compresses further, and
    // the higher levels take several times as long.
    return gzipBytes(bytes, 1, "a run", image, problem);
}

// A 3D mask of the grid's voxels whose ground-truth letter is among `letters`
// (TRUTH_OUTSIDE excluded means every voxel inside the brain).
bool maskImage(const GroundTruth& truth, const NiftiHeader& grid, bool inside, char letter, std::string& image,
               std::string& problem) {
    std::vector<float> values(truth.grid.size());
    for (std::size_t v = 0; v < values.size(); ++v)
        values[v] = (inside ? truth.grid[v] != TRUTH_OUTSIDE : truth.grid[v] == letter) ? 1.0f : 0.0f;
    image = encodeNiftiMap(grid, values, inside ? "brain mask" : "reference region", problem);
    return !image.empty();
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// The protocol's conditions as BIDS events, in seconds (volume 0 at time 0).
std::string eventsText(const GroundTruth& truth) {
    std::vector<std::pair<int32_t, std::string>> rows;
    for (const TruthCondition& condition : truth.conditions)
        for (const auto& interval : condition.intervals) {
            const double onset = (interval.first - 1) * TR_SECONDS;
            const double duration = (interval.second - interval.first + 1) * TR_SECONDS;
            rows.emplace_back(interval.first, number(onset) + "\t" + number(duration) + "\t" + condition.name + "\n");
        }
    std::sort(rows.begin(), rows.end());
    std::string text = "onset\tduration\ttrial_type\n";
    for (const auto& row : rows) text += row.second;
    return text;
}

std::string dump(const nlohmann::ordered_json& json) { return json.dump(2) + "\n"; }

// Writes every file through a temporary name; `root` is the data set's folder.
class FileWriter {
public:
    FileWriter(fs::path root, SimulationResult& result) : root_(std::move(root)), result_(result) {}
    bool write(const std::string& relative, const std::string& content, std::string& problem) {
        const fs::path path = root_ / relative;
        std::error_code error;
        fs::create_directories(path.parent_path(), error);
        if (error) {
            problem = "cannot create the folder " + path.parent_path().string() + ": " + error.message();
            return false;
        }
        if (!writeFileSafely(path.string(), content, problem)) return false;
        result_.files.push_back(path.string());
        return true;
    }

private:
    fs::path root_;
    SimulationResult& result_;
};

bool makeRoot(const std::string& folder, fs::path& root, std::string& problem) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder)) {
        problem = "cannot create the folder " + folder + (error ? ": " + error.message() : std::string());
        return false;
    }
    root = fs::absolute(folder, error).lexically_normal();
    return true;
}

std::string bidsDescription(const char* name, bool derivative) {
    nlohmann::ordered_json json;
    json["Name"] = name;
    json["BIDSVersion"] = "1.8.0";
    json["DatasetType"] = derivative ? "derivative" : "raw";
    if (derivative) json["GeneratedBy"] = {{{"Name", "ldi simulate"}, {"Version", ldiVersion}}};
    return dump(json);
}

// A subject's motion: six parameters drifting as AR(1) series with a few
// sudden shifts, and the artifact they leave in the affected voxels.
struct Motion {
    std::vector<std::vector<double>> parameters;  // [column][volume]
    std::vector<double> artifact;
};

Motion simulateMotion(int32_t volumes, std::mt19937& generator) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int32_t> when(0, volumes - 1);
    Motion motion;
    motion.artifact.assign(static_cast<std::size_t>(volumes), 0.0);
    for (std::size_t k = 0; k < 6; ++k) {
        std::vector<double> p(static_cast<std::size_t>(volumes));
        const int32_t shift = when(generator);
        const double step = 0.1 * normal(generator);
        double drift = 0.0;
        for (int32_t t = 0; t < volumes; ++t) {
            drift = 0.5 * drift + 0.05 * normal(generator);
            p[static_cast<std::size_t>(t)] = drift + (t >= shift ? step : 0.0);
        }
        for (std::size_t t = 0; t < p.size(); ++t) motion.artifact[t] += MOTION_WEIGHTS[k] * p[t];
        motion.parameters.push_back(std::move(p));
    }
    double mean = 0.0, squares = 0.0;
    for (double a : motion.artifact) mean += a;
    mean /= volumes;
    for (double a : motion.artifact) squares += (a - mean) * (a - mean);
    const double scale = squares > 0.0 ? ARTIFACT_SD / std::sqrt(squares / volumes) : 0.0;
    for (double& a : motion.artifact) a = (a - mean) * scale;
    return motion;
}

// fMRIPrep's confounds table: the motion parameters, their backward
// differences (n/a in the first row), framewise displacement (n/a in the
// first row) and two tissue signals that carry nothing of the artifact.
std::string confoundsText(const Motion& motion, std::mt19937& generator) {
    const std::size_t volumes = motion.artifact.size();
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> csf(volumes), wm(volumes);
    double a = 0.0, b = 0.0;
    for (std::size_t t = 0; t < volumes; ++t) {
        csf[t] = 900.0 + (a = 0.5 * a + normal(generator));
        wm[t] = 700.0 + (b = 0.5 * b + normal(generator));
    }
    std::string text;
    for (const char* column : MOTION_COLUMNS) text += std::string(column) + "\t";
    for (const char* column : MOTION_COLUMNS) text += std::string(column) + "_derivative1\t";
    text += "framewise_displacement\tcsf\twhite_matter\n";
    for (std::size_t t = 0; t < volumes; ++t) {
        for (const auto& p : motion.parameters) text += number(p[t]) + "\t";
        double displacement = 0.0;
        for (std::size_t k = 0; k < 6; ++k) {
            const double difference = t > 0 ? motion.parameters[k][t] - motion.parameters[k][t - 1] : 0.0;
            // Rotations in radians move a point 50 mm from the centre by 50 times as much.
            displacement += std::fabs(difference) * (k < 3 ? 1.0 : 50.0);
            text += (t > 0 ? number(difference) : std::string("n/a")) + "\t";
        }
        text += (t > 0 ? number(displacement) : std::string("n/a")) + "\t" + number(csf[t]) + "\t" + number(wm[t]) +
                "\n";
    }
    return text;
}

uint32_t subjectSeed(uint32_t seed, int subject, int stream) {
    std::seed_seq sequence{seed, static_cast<uint32_t>(subject), static_cast<uint32_t>(stream)};
    uint32_t value = 0;
    sequence.generate(&value, &value + 1);
    return value;
}

}  // namespace

std::string simulatedNiftiFile(const std::string& suffix) {
    return std::string(SIM_NIFTI_SUBJECT) + "/func/" + SIM_NIFTI_SUBJECT + "_task-" + SIM_NIFTI_TASK + "_" + suffix;
}

bool simulateNiftiDataSet(const std::string& folder, SimulationPreset preset, uint32_t seed,
                          SimulationResult& result, std::string& problem) {
    fs::path root;
    if (!makeRoot(folder, root, problem)) return false;
    std::error_code error;
    fs::create_directories(root / SIM_RESULTS_FOLDER, error);
    if (error) {
        problem = "cannot create the folder " + (root / SIM_RESULTS_FOLDER).string() + ": " + error.message();
        return false;
    }
    result.truth = simulatedTruth(preset, seed, false);
    result.files.clear();
    const NiftiHeader grid = simulatedGrid(preset, NIFTI_XFORM_TALAIRACH);
    std::string run, mask;
    if (!runImage(preset, seed, result.truth, SubjectEffects{}, grid, run, problem) ||
        !maskImage(result.truth, grid, false, 'R', mask, problem))
        return false;
    nlohmann::ordered_json sidecar;
    sidecar["RepetitionTime"] = TR_SECONDS;
    sidecar["TaskName"] = SIM_NIFTI_TASK;
    FileWriter files(root, result);
    return files.write(simulatedNiftiFile("bold.nii.gz"), run, problem) &&
           files.write(simulatedNiftiFile("bold.json"), dump(sidecar), problem) &&
           files.write(simulatedNiftiFile("events.tsv"), eventsText(result.truth), problem) &&
           files.write(SIM_SEED_MASK_FILE, mask, problem) &&
           files.write("dataset_description.json", bidsDescription("ldi simulate", false), problem) &&
           files.write(SIM_TRUTH_FILE, groundTruthJson(result.truth, preset).dump(1) + "\n", problem);
}

bool simulateBidsDataSet(const std::string& folder, SimulationPreset preset, uint32_t seed, int subjects,
                         SimulationResult& result, std::string& problem) {
    if (subjects < 1 || subjects > SIM_MAX_SUBJECTS) {
        problem = "the number of subjects must be from 1 to " + std::to_string(SIM_MAX_SUBJECTS);
        return false;
    }
    fs::path root;
    if (!makeRoot(folder, root, problem)) return false;
    result.truth = simulatedTruth(preset, seed, true);
    result.files.clear();
    const GroundTruth& truth = result.truth;
    const PresetSpec shape = specOf(preset);
    const NiftiHeader grid = simulatedGrid(preset, NIFTI_XFORM_MNI_152);
    const std::string task = std::string("task-") + SIM_NIFTI_TASK;
    const std::string derivatives = "derivatives/fmriprep/";
    const int width = subjects < 100 ? 2 : 3;
    FileWriter files(root, result);

    std::string brain, seedMask;
    if (!maskImage(truth, grid, true, 0, brain, problem) || !maskImage(truth, grid, false, 'R', seedMask, problem))
        return false;
    nlohmann::ordered_json sidecar;
    sidecar["RepetitionTime"] = TR_SECONDS;
    sidecar["TaskName"] = SIM_NIFTI_TASK;
    std::string participants = "participant_id\tcoupling_scale\n";
    nlohmann::ordered_json subjectList = nlohmann::ordered_json::array();
    for (int s = 1; s <= subjects; ++s) {
        char label[8];
        std::snprintf(label, sizeof label, "%0*d", width, s);
        const std::string sub = std::string("sub-") + label;
        // Every subject its own couplings (0.85 to 1.15 times the model's),
        // noise and motion.
        std::mt19937 generator(subjectSeed(seed, s, 1));
        SubjectEffects effects;
        effects.couplingScale = 0.85 + 0.3 * std::uniform_real_distribution<double>(0.0, 1.0)(generator);
        const Motion motion = simulateMotion(shape.numVolumes, generator);
        effects.artifact = motion.artifact;
        const uint32_t dataSeed = subjectSeed(seed, s, 2);
        std::string run;
        if (!runImage(preset, dataSeed, truth, effects, grid, run, problem)) return false;
        const std::string raw = sub + "/func/" + sub + "_" + task + "_bold.nii.gz";
        const std::string prep = derivatives + sub + "/func/" + sub + "_" + task + "_space-" + SIM_BIDS_SPACE;
        if (!files.write(raw, run, problem) || !files.write(prep + "_desc-preproc_bold.nii.gz", run, problem) ||
            !files.write(prep + "_desc-brain_mask.nii.gz", brain, problem) ||
            !files.write(derivatives + sub + "/func/" + sub + "_" + task + "_desc-confounds_timeseries.tsv",
                         confoundsText(motion, generator), problem))
            return false;
        participants += sub + "\t" + number(effects.couplingScale) + "\n";
        subjectList.push_back({{"participant_id", sub}, {"couplingScale", effects.couplingScale}, {"seed", dataSeed}});
    }
    nlohmann::ordered_json groundTruth = groundTruthJson(truth, preset);
    groundTruth["model"]["subjects"] =
        "each its own noise and coupling scale (b, c and g times 0.85 to 1.15); the reference and the region "
        "'Confounded' pick up a motion artifact (a fixed combination of the six motion parameters of the "
        "subject's confounds table, standard deviation 1.5)";
    groundTruth["space"] = SIM_BIDS_SPACE;
    groundTruth["subjects"] = subjectList;
    return files.write("dataset_description.json", bidsDescription("ldi simulate, multi-subject", false), problem) &&
           files.write("participants.tsv", participants, problem) &&
           files.write(task + "_bold.json", dump(sidecar), problem) &&
           files.write(task + "_events.tsv", eventsText(truth), problem) &&
           files.write(".bidsignore", std::string(SIM_SEED_MASK_FILE) + "\n" + SIM_TRUTH_FILE + "\n", problem) &&
           files.write(SIM_SEED_MASK_FILE, seedMask, problem) &&
           files.write(derivatives + "dataset_description.json", bidsDescription("fMRIPrep-like", true), problem) &&
           files.write(SIM_TRUTH_FILE, groundTruth.dump(1) + "\n", problem);
}

}  // namespace ldi
