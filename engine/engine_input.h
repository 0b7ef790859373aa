// The run as the engine takes it: what is computed (the sources, seeds,
// conditions, parameters and the run's random seed), how (threads, the voxel
// loop, test hooks), the work objects the steps share, the thresholds found,
// and what the caller hears of the run as it goes. Every step of the engine
// takes its state from these records, never from the process, so that runs on
// several threads at once do not disturb each other.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "config/global_parameters.h"
#include "data/grid_box.h"
#include "data/interval.h"
#include "data/voi_time_course.h"
#include "engine/fdr_methods.h"
#include "stats/ar_model.h"
#include "stats/matrix.h"
#include "stats/parallel.h"
#include "stats/random.h"

namespace ldi {

struct LaneKernel;

class SliceSource;

// One source of a condition: the intervals of one pair of files, the reference
// time course taken from `source`, the voxel time courses from `target` (the
// same source when they are not kept apart).
struct EngineEntry {
    int32_t source = -1;  // index into EngineInput::sources
    int32_t target = -1;  // index into EngineInput::sources
    std::vector<Interval> intervals;
};

struct EngineCondition {
    std::string name;
    std::vector<EngineEntry> entries;
};

// A reference region: its name (for messages and progress) and its reference
// time course in every source a condition takes it from (null for the others).
struct EngineSeed {
    std::string name;
    std::vector<VoiTimeCourse*> references;  // per source index
};

// The seed's reference time course from source `source`, or null.
VoiTimeCourse* referenceOf(const EngineSeed& seed, int32_t source);

// How the voxel loop runs: `fast` (the default) works on blocks of voxels in
// SIMD lanes on several threads; `sequential` is the plain loop over
// processVoxel on the calling thread, kept as the reference. Both give the same
// maps, counts and log lines, bit for bit.
enum class VoxelPassMethod { fast, sequential };

// How the further null draws of a voxel (EngineInput::nullDraws > 1) are
// computed: `onePass` (the default) computes every draw while the fast loop has
// the voxel's slice at hand, and its real measures once; `repeatedPasses` runs
// the whole pass again for each further draw, drawing on from where the last
// pass left the generator, and is kept as the reference (the sequential loop
// always repeats). Both give the same volumes and the same generator, bit for bit.
enum class NullDrawMethod { onePass, repeatedPasses };

// Called with true on the calling thread right before a voxel loop starts and
// with false right after every thread has left it; nothing is allocated between
// the two calls (tests count allocations there).
using VoxelLoopObserver = void (*)(bool entering);

// How a run is carried out. None of it changes the results.
struct EngineOptions {
    int threads = 0;  // 0 or negative: every core the process may run on
    VoxelPassMethod passMethod = VoxelPassMethod::fast;
    NullDrawMethod nullDrawMethod = NullDrawMethod::onePass;
    // Bytes the fast loop's detrended surrogate rows may take; above it every
    // block detrends the rows its voxels drew (same values, more work).
    std::size_t surrogateCacheLimit = std::size_t{32} << 20;
    // The fast loop's lane kernel; null: the fastest the processor runs
    // (tests and benchmarks compare them).
    const LaneKernel* laneKernel = nullptr;
    VoxelLoopObserver loopObserver = nullptr;  // null: none
    // A warning when more than half of a condition's voxels are ill-defined
    // (maps of zeros that would pass for a result). Off for the plug-in,
    // whose log pane keeps the lines it has always shown.
    bool warnOfIllDefinedVoxels = false;
    // Set (from any thread) to stop the run: the voxel loops look at it between
    // slices and the run between its passes and draws, and the run then ends
    // with statusCancelled. Null: the run cannot be stopped (the plug-in).
    const std::atomic<bool>* cancel = nullptr;
};

// Whether the run's cancel flag is set.
inline bool cancelRequested(const EngineOptions& options) {
    return options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed);
}

enum class SurrogateInnovations { gaussian, resampled, permuted };

struct EngineInput {
    const GlobalParameters* parameters = nullptr;
    GridSize grid;
    std::vector<SliceSource*> sources;  // not owned
    // What the run log calls a source ("VTC: path"): the plug-in's files are
    // VTCs, a front end of other files names them its own way.
    std::string sourceLabel = "VTC";
    std::vector<EngineSeed> seeds;
    std::vector<EngineCondition> conditions;
    int32_t longestSource = 1;  // volumes of the longest source (the surrogates' length)
    // Which voxels are analysed, one flag per voxel of the grid in [z][y][x]
    // order (nonzero: analysed), in place of the first-volume intensity test;
    // null keeps the intensity test. Front ends whose data need not have a
    // baseline intensity (mean-centred, denoised) give their own brain mask.
    const std::vector<uint8_t>* voxelMask = nullptr;  // not owned
    // How the maps are thresholded: the plug-in's rule unless a front end
    // chooses another (which may need several surrogate draws per voxel: each
    // further draw takes the indices a repetition of the pass would draw, on
    // from where the last one left the generator, and the first draw stays
    // the null of the plug-in's rule; see EngineOptions::nullDrawMethod).
    FdrChoice fdr;
    int32_t nullDraws = 1;
    // What drives the surrogate series: Gaussian innovations with the seed
    // model's residual variance (the plug-in's rule), or the seed model's own
    // residuals drawn with replacement, so that a heavy-tailed seed gives a
    // null as heavy-tailed as its real measures, or those residuals each used
    // once in a random order within its condition (the null given the seed's
    // own innovations: see simulateArPermuted).
    SurrogateInnovations surrogateInnovations = SurrogateInnovations::gaussian;
    // The run's random seed: surrogate series s is seeded with s + rngSeed
    // (32-bit wrap-around); the same seed gives the same maps.
    uint32_t rngSeed = 0;
    EngineOptions options;
};

// The work objects of a computation, made once and used by every step: the
// measure volumes of the voxel pass, the statistics work objects of the
// sequential pass and the surrogates, the run's helper threads and its
// random generator.
struct EngineWork {
    std::unique_ptr<MeasureVolumes> realMeasures;
    std::unique_ptr<MeasureVolumes> nullMeasures;
    std::unique_ptr<CovarianceAccumulator> realAccumulator;  // 2 series
    std::unique_ptr<CovarianceAccumulator> nullAccumulator;  // 2 series
    std::unique_ptr<ArModelWorkspace> jointModel;            // 2 series
    std::unique_ptr<ArModelWorkspace> referenceModel;        // 1 series
    std::unique_ptr<ArModelWorkspace> voxelModel;            // 1 series
    // The helper threads of the run's parallel steps (none: each step starts its own).
    std::unique_ptr<WorkerTeam> workers;
    // The null measures of the further surrogate draws (EngineInput::nullDraws > 1).
    std::vector<std::unique_ptr<MeasureVolumes>> extraNulls;
    // The run's generator: the surrogates leave it where their last series
    // left it, and the voxel passes draw their surrogate indices on from there.
    RandomState random;
};

// The thresholds of one map kind of one condition.
// The fitted tail of a map's pooled permutation null (stats/tail_fit.h) and
// what it did: for the record beside the map.
struct NullTailRecord {
    bool tried = false;       // permutation p-values: a fit was tried
    bool accepted = false;    // a threshold gave a fit that passed the check
    int64_t nullValues = 0;   // m
    int64_t exceedances = 0;  // k of the accepted fit
    double threshold = 0.0;   // u
    double scale = 0.0;
    double shape = 0.0;
    double andersonDarling = 0.0;  // of the accepted fit, or of the last tried
    double floorP = 1.0;           // 1 / (1 + m): the smallest empirical p
    double lowestP = 1.0;          // the fit's p goes no lower (floor / tailReach); the floor without a fit
    int64_t beyondDraws = 0;       // voxels beyond every null value
    int64_t heldAtLowest = 0;      // of them, those the bound raised to lowestP
};

struct MapThresholds {
    MapType type = REF2VOX;
    bool searched = false;          // false for the kinds without FDR thresholds (dLDI RC)
    std::vector<float> thresholds;  // per q value, in the configured order
    // Per q value, the number of nonzero voxels whose magnitude passes (0:
    // none does, whatever the threshold says); empty when not searched.
    std::vector<int64_t> passing;
    // The FDR method that found them ("plugin" unless the input chose another)
    // and, when asked for, every voxel's p-value (1 where the map has no value).
    std::string method = "plugin";
    std::vector<float> pValues;
    // With the p-values: every voxel's z score, the normal quantile of its p
    // (of p / 2 for the two-sided differences) taken from ln p, so that it is
    // finite and keeps growing where p itself is below float's range; 0
    // where the map has no value. Unsigned: the map's sign is the reader's.
    std::vector<float> zValues;
    NullTailRecord tail;  // permutation p-values only
};

// A step of the run, for whoever shows progress. The text holds plain words
// only (a condition's name, a warning, the voxel counts one per line); how the
// event looks is the listener's choice.
struct EngineProgress {
    enum class Stage {
        surrogates,   // the surrogates are drawn (verbose runs only)
        condition,    // a condition starts; text: its name (verbose runs only)
        slices,       // the voxel pass has come this far (verbose runs only)
        voxelCounts,  // the pass's voxel counts, one line each (verbose runs only)
        maps,         // the maps and thresholds are computed (verbose runs only)
        warning,      // text: the warning, in every run
    };
    Stage stage = Stage::surrogates;
    int32_t seed = -1;       // index into EngineInput::seeds, -1 before the seeds' turn
    int32_t condition = -1;  // index into EngineInput::conditions, -1 outside a condition
    double fraction = 0.0;   // slices: the share of the pass reported, 0, 0.1, ..., 1
    std::string text;
};

// What the caller does with the run as it goes. Every call comes from the
// thread that called runEngine; a status other than 1 ends the run with it.
class EngineListener {
public:
    virtual ~EngineListener() = default;
    // A step of the run (see EngineProgress for which come in quiet runs).
    virtual void progress(const EngineProgress& event) = 0;
    // Before the conditions of seed `seed` (index into EngineInput::seeds).
    virtual int beginSeed(int32_t seed) = 0;
    // Where map `kind` (index into parameters.mapTypesComputed) of a condition
    // is written: room for every voxel of the grid, or null after a message in
    // errorStream when there is none.
    virtual float* mapBuffer(int32_t seed, int32_t condition, int32_t kind, std::ostream& errorStream) = 0;
    // The map's values are in its buffer; its thresholds follow.
    virtual int mapFinished(int32_t seed, int32_t condition, int32_t kind, const MapThresholds& map,
                            std::ostream& errorStream) = 0;
    // After the last condition of the seed.
    virtual int endSeed(int32_t seed) = 0;
};

}  // namespace ldi
