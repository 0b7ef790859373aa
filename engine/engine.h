// The computation of a run as a library call. Given the voxel time courses
// (sources read a slice at a time), the reference time courses of every seed,
// the conditions as lists of intervals per source and the parameters, the
// engine draws the surrogates, runs the voxel pass of every seed and condition
// and derives the maps and their FDR thresholds.
//
// It calls no host: whatever shows progress, keeps the maps or writes result
// files is the caller's, through an EngineListener. Every listener call comes
// from the thread that called the engine.
#pragma once

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

struct EngineInput {
    const GlobalParameters* parameters = nullptr;
    GridSize grid;
    std::vector<SliceSource*> sources;  // not owned
    std::vector<EngineSeed> seeds;
    std::vector<EngineCondition> conditions;
    int32_t longestSource = 1;  // volumes of the longest source (the surrogates' length)
    // Which voxels are analysed, one flag per voxel of the grid in [z][y][x]
    // order (nonzero: analysed), in place of the first-volume intensity test;
    // null keeps the intensity test. Front ends whose data need not have a
    // baseline intensity (mean-centred, denoised) give their own brain mask.
    const std::vector<uint8_t>* voxelMask = nullptr;  // not owned
    // How the maps are thresholded: the plug-in's rule unless a front end
    // chooses another (which may need several surrogate draws per voxel: the
    // pass is repeated, each time with fresh draws, and the first draw stays
    // the null of the plug-in's rule).
    FdrChoice fdr;
    int32_t nullDraws = 1;
};

// The work objects of a computation, made once and used by every step: the
// measure volumes of the voxel pass, the statistics work objects of the
// sequential pass and the surrogates, and the run's helper threads.
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
};

// The measure volumes for a grid (large: worth preparing while something else waits).
void allocateMeasureVolumes(EngineWork& work, const GridSize& grid);
// The accumulators and model workspaces for AR order `order`.
void allocateModelWork(EngineWork& work, int32_t order);
// Releases the volumes, then the work objects, last the helper threads.
void releaseEngineWork(EngineWork& work);

// The thresholds of one map kind of one condition.
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
};

// What the caller does with the run as it goes. Every call comes from the
// thread that called runEngine; a status other than 1 ends the run with it.
class EngineListener {
public:
    virtual ~EngineListener() = default;
    // A progress line, formatted for the log pane (verbose runs only).
    virtual void progress(const std::string& text) = 0;
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

// The maps of one condition from the work's measure volumes: the thresholds of
// every kind first (the expensive part, on every thread), then each map's
// values into the listener's buffer, one map at a time in map order.
int assembleConditionMaps(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                          EngineListener& listener, std::ostream& errorStream);

// The whole computation: the surrogates of every reference time course, then
// for every seed and condition the voxel pass and the maps. The run log of each
// seed (entries, intervals, time points, voxel counts) goes to runLog, which
// the listener may reset in beginSeed. Returns 1, or the first other status
// with its message in errorStream. `work` must hold the measure volumes and
// the model work (see the allocate functions above).
int runEngine(const EngineInput& input, EngineWork& work, EngineListener& listener, std::ostream& runLog,
              std::ostream& errorStream);
