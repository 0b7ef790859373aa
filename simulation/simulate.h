// Synthetic data sets with a known answer: `ldi simulate` writes a VTC, the
// reference VOI, a protocol with two conditions, the answers and settings for
// a run, and a ground-truth file that says which voxels carry which effect.
//
// The model, in units of 1 % of the baseline (10 intensity units):
//   d(t) = a d(t-1) + u(t)                                the leader's activity
//   r(t) = a r(t-1) + task(t) (c d(t-1) + h u(t)) + e(t)  the reference series
// and, per voxel, a signal plus independent AR(1) noise:
//   Reference    r(t)                         (these voxels form the VOI)
//   Follower     task(t) (b r(t-1) + h r(t))  driven by the reference one volume later
//   Leader       d(t)                         drives the reference one volume later
//   Synchronous  g r(t)                       correlated with the reference at lag 0
//   background   noise only
// The shared innovations (h) couple the lagged partners instantaneously as
// well, as interacting regions usually are.
// task(t) is 1 in the volumes of the condition "Task" and 0 in "Rest", so the
// lagged influences exist in one condition only. Voxels outside the
// ellipsoidal "brain" are 0 in every volume, below the plug-in's inclusion
// threshold of the first volume.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ldi {

// Null: the realistic grid and data without any coupling to the reference
// (no region carries an effect), for checking that thresholds hold their q.
enum class SimulationPreset { Small, Realistic, Null };

// "small", "realistic" or "null"; false for any other text.
bool parsePreset(const std::string& text, SimulationPreset& preset);
const char* presetName(SimulationPreset preset);

// The grid and data of a preset's VTC.
struct PresetSpec {
    int32_t dimX, dimY, dimZ;
    int32_t resolution;
    int32_t numVolumes;
    bool floatData;
    double regionRadius;  // of the planted regions, in voxels
};
PresetSpec specOf(SimulationPreset preset);

// The conditions Task and Rest alternate in blocks of this many volumes.
constexpr int SIM_BLOCK_VOLUMES = 20;

// The names of the files `ldi simulate` writes into its folder.
constexpr char SIM_VTC_FILE[] = "simulated.vtc";
constexpr char SIM_VOI_FILE[] = "reference.voi";
constexpr char SIM_PROTOCOL_FILE[] = "protocol.prt";
constexpr char SIM_ANSWERS_FILE[] = "run.answers";
constexpr char SIM_SETTINGS_FILE[] = "LDIPlugin.ini";
constexpr char SIM_TRUTH_FILE[] = "ground_truth.json";
constexpr char SIM_RESULTS_FOLDER[] = "results";
// The output prefix of the run the answers describe (inside the results
// folder) and the name of the reference VOI: the run saves
// results/sim_Reference.ldi.
constexpr char SIM_OUTPUT_NAME[] = "sim";
constexpr char SIM_VOI_NAME[] = "Reference";

// Grid letters of the ground truth.
constexpr char TRUTH_OUTSIDE = '.';
constexpr char TRUTH_BACKGROUND = '#';
// The region of the multi-subject data set that only a motion-like confound
// couples to the reference.
constexpr char TRUTH_CONFOUNDED = 'M';

// The NIfTI form of the data set (`--format nifti`): one subject of a
// BIDS-like folder, the reference region as a mask.
constexpr char SIM_NIFTI_SUBJECT[] = "sub-sim";
constexpr char SIM_NIFTI_TASK[] = "blocks";
constexpr char SIM_SEED_MASK_FILE[] = "reference_mask.nii.gz";
// The standard space of the multi-subject data set's derivatives.
constexpr char SIM_BIDS_SPACE[] = "MNI152NLin2009cAsym";
constexpr int SIM_MAX_SUBJECTS = 999;

// A planted region as the ground-truth file describes it.
struct TruthRegion {
    std::string name;    // "Reference", "Follower", "Leader", "Synchronous"
    char letter = '?';   // its letter in the grid
    std::string effect;  // a sentence for people
    std::string mapKind; // the map kind that shows it: "Ref2Vox", "Vox2Ref" or "Inst"
    std::vector<std::string> plantedIn;  // the conditions where the effect exists
    int32_t voxelCount = 0;
};

struct TruthCondition {
    std::string name;
    std::vector<std::pair<int32_t, int32_t>> intervals;  // volumes, from 1, both included
};

struct GroundTruth {
    std::string preset;
    uint32_t seed = 0;
    int32_t dimX = 0, dimY = 0, dimZ = 0;
    int32_t numVolumes = 0;
    std::vector<TruthCondition> conditions;
    std::vector<TruthRegion> regions;
    // One letter per grid voxel, [z][y][x] (x fastest): TRUTH_OUTSIDE,
    // TRUTH_BACKGROUND or a region's letter.
    std::string grid;

    char at(int32_t x, int32_t y, int32_t z) const {
        return grid[(static_cast<std::size_t>(z) * dimY + y) * dimX + x];
    }
};

struct SimulationResult {
    GroundTruth truth;
    std::vector<std::string> files;  // the paths written, in the order written
};

// Writes the data set into `folder` (created when missing, files of the same
// names replaced) and the results folder the answers point to. Paths inside
// the answers file are absolute, so the run can be started from anywhere.
// False with a message naming the path on failure.
bool simulateDataSet(const std::string& folder, SimulationPreset preset, uint32_t seed,
                     SimulationResult& result, std::string& problem);

// What sets one subject of a multi-subject data set apart: the strength of
// its couplings and a motion-like artifact (per volume, in the model's units)
// that the reference region and the region TRUTH_CONFOUNDED pick up.
struct SubjectEffects {
    double couplingScale = 1.0;
    std::vector<double> artifact;  // empty: none
};

// The ground truth of a preset's grid; `confounded` adds the region
// TRUTH_CONFOUNDED.
GroundTruth simulatedTruth(SimulationPreset preset, uint32_t seed, bool confounded);

// The data set's values, one z-slice at a time in the VTC's order ([y][x][t],
// time fastest), before they are stored. A sink that returns false stops it.
using SliceSink = std::function<bool(const std::vector<double>& slice, std::string& problem)>;
bool generateSimulatedData(SimulationPreset preset, uint32_t seed, const GroundTruth& truth,
                           const SubjectEffects& effects, const SliceSink& sink, std::string& problem);

// The value a stored voxel of the preset's VTC holds (float32, or rounded to
// unsigned 16 bits).
float storedSimulatedValue(SimulationPreset preset, double value);

// The content of ground_truth.json.
nlohmann::ordered_json groundTruthJson(const GroundTruth& truth, SimulationPreset preset);

// `ldi simulate --format nifti`: the same values and grid as the VTC, as a
// gzipped 4D NIfTI run of a BIDS-like folder (DIR/sub-sim/func/, with its
// JSON sidecar and events.tsv from the protocol's conditions), the reference
// region as a mask (SIM_SEED_MASK_FILE), the ground truth and the results
// folder. The affine is the one the maps of ldi run carry (Talairach, from the
// VTC's box), so the maps of ldi map and of ldi run overlay. Not in builds
// without NIfTI support (false with a message).
bool simulateNiftiDataSet(const std::string& folder, SimulationPreset preset, uint32_t seed,
                          SimulationResult& result, std::string& problem);

// `ldi simulate --bids DIR --subjects N`: a BIDS dataset of N subjects on one
// grid (the preset's, in SIM_BIDS_SPACE), each with the planted regions, its
// own coupling strength and noise, and a motion-like confound that the
// reference and the region TRUTH_CONFOUNDED pick up; raw runs with inherited
// sidecar and events, derivatives/fmriprep with preprocessed runs, brain masks
// and confounds tables in fMRIPrep's naming, the reference region as a mask
// and the ground truth.
bool simulateBidsDataSet(const std::string& folder, SimulationPreset preset, uint32_t seed, int subjects,
                         SimulationResult& result, std::string& problem);

// The path of a file of the NIfTI form relative to its folder, by suffix
// ("bold.nii.gz", "bold.json", "events.tsv").
std::string simulatedNiftiFile(const std::string& suffix);

// Reads a ground-truth file written by simulateDataSet. False with a message
// when it cannot be read or does not describe a consistent grid.
bool readGroundTruth(const std::string& path, GroundTruth& truth, std::string& problem);

}  // namespace ldi
