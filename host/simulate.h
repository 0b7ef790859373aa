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
#include <string>
#include <vector>

namespace ldi_host {

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

// Reads a ground-truth file written by simulateDataSet. False with a message
// when it cannot be read or does not describe a consistent grid.
bool readGroundTruth(const std::string& path, GroundTruth& truth, std::string& problem);

}  // namespace ldi_host
