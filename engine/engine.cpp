#include "engine/engine.h"

#include <ostream>

#include "base/status.h"
#include "engine/map_values.h"
#include "engine/parametric_checks.h"
#include "engine/surrogates.h"
#include "engine/voxel_pass.h"

namespace ldi {

void allocateMeasureVolumes(EngineWork& work, const GridSize& grid) {
    work.realMeasures = std::make_unique<MeasureVolumes>(grid.dimZ, grid.dimY, grid.dimX);
    work.nullMeasures = std::make_unique<MeasureVolumes>(grid.dimZ, grid.dimY, grid.dimX);
}

void allocateModelWork(EngineWork& work, int32_t order) {
    work.realAccumulator = std::make_unique<CovarianceAccumulator>(2, order);
    work.nullAccumulator = std::make_unique<CovarianceAccumulator>(2, order);
    work.jointModel = std::make_unique<ArModelWorkspace>(2, order);
    work.referenceModel = std::make_unique<ArModelWorkspace>(1, order);
    work.voxelModel = std::make_unique<ArModelWorkspace>(1, order);
}

void releaseEngineWork(EngineWork& work) {
    work.realMeasures.reset();
    work.nullMeasures.reset();
    work.extraNulls.clear();
    work.realAccumulator.reset();
    work.nullAccumulator.reset();
    work.jointModel.reset();
    work.referenceModel.reset();
    work.voxelModel.reset();
    work.workers.reset();
}

int assembleConditionMaps(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                 EngineListener& listener, std::ostream& errorStream) {
    const GlobalParameters& parameters = *input.parameters;
    if (!work.realMeasures || !work.nullMeasures) {
        errorStream << "No measure volumes to assemble the maps of VOI '"
                    << input.seeds[static_cast<std::size_t>(seed)].name << "', Condition '"
                    << input.conditions[static_cast<std::size_t>(condition)].name << "' from (internal error)";
        return statusTerminalError;
    }
    const MeasureVolumes& real = *work.realMeasures;
    const MeasureVolumes& null = *work.nullMeasures;
    if (real.ref2vox.size() != static_cast<std::size_t>(input.grid.dimX) * static_cast<std::size_t>(input.grid.dimY) *
                                   static_cast<std::size_t>(input.grid.dimZ)) {
        errorStream << "The measure volumes do not match the grid of the maps of VOI '"
                    << input.seeds[static_cast<std::size_t>(seed)].name << "', Condition '"
                    << input.conditions[static_cast<std::size_t>(condition)].name << "' (internal error)";
        return statusTerminalError;
    }
    std::vector<MapThresholds> maps;
    if (input.fdr.method == FdrMethod::plugin) {
        maps = findMapThresholds(real, null, parameters, work.workers.get(), input.options.threads);
    } else {
        std::vector<const MeasureVolumes*> nulls{&null};
        for (const auto& extra : work.extraNulls) nulls.push_back(extra.get());
        int64_t timePoints = 0, intervals = 0;
        for (const EngineEntry& entry : input.conditions[static_cast<std::size_t>(condition)].entries)
            for (const Interval& interval : entry.intervals) {
                timePoints += interval.last - interval.first + 1;
                ++intervals;
            }
        maps = findMapThresholdsBy(input.fdr, real, nulls, parameters,
                                   adjustedTimePoints(timePoints, intervals, parameters.autoRegressionOrder),
                                   work.workers.get());
    }
    for (std::size_t k = 0; k < maps.size(); ++k) {
        const auto kind = static_cast<int32_t>(k);
        float* buffer = listener.mapBuffer(seed, condition, kind, errorStream);
        if (buffer == nullptr) return statusTerminalError;
        fillMapValues(maps[k].type, real, parameters, buffer, work.workers.get());
        if (maps[k].searched) reportUnknownConstant(parameters.cvConstantForFDR, errorStream);
        const int status = listener.mapFinished(seed, condition, kind, maps[k], errorStream);
        if (status != statusSuccess) return status;
    }
    return statusSuccess;
}

namespace {

// A step of a seed's condition, for the listener.
EngineProgress stageOf(EngineProgress::Stage stage, int32_t seed, int32_t condition, const std::string& text = "") {
    EngineProgress event;
    event.stage = stage;
    event.seed = seed;
    event.condition = condition;
    event.text = text;
    return event;
}

// The voxel pass, the further null draws and the maps of one seed and condition.
int runCondition(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                 EngineListener& listener, const ProgressSink& progress, std::ostream& runLog,
                 std::ostream& errorStream) {
    const bool verbose = input.parameters->showVerboseProgressLog;
    const std::string& name = input.conditions[static_cast<std::size_t>(condition)].name;
    if (verbose) progress(stageOf(EngineProgress::Stage::condition, seed, condition, name));
    runLog << '\n' << "\tCondition: " << name << '\n' << '\t' << std::string(name.size() + 11, '-') << '\n';
    const int status = computeConditionDraws(input, seed, condition, work, progress, runLog, errorStream);
    if (status != statusSuccess) return status;
    if (verbose) progress(stageOf(EngineProgress::Stage::maps, seed, condition));
    return assembleConditionMaps(input, seed, condition, work, listener, errorStream);
}

}  // namespace

int runEngine(const EngineInput& input, EngineWork& work, EngineListener& listener, std::ostream& runLog,
              std::ostream& errorStream) {
    const ProgressSink progress = [&listener](const EngineProgress& event) { listener.progress(event); };
    SurrogateModels surrogates;
    int status = prepareSurrogateModels(input, work, surrogates, progress, errorStream);
    if (status != statusSuccess) return status;
    if (input.fdr.method == FdrMethod::parametric)
        for (const std::string& caution : parametricCautions(input, surrogates)) {
            EngineProgress event;
            event.stage = EngineProgress::Stage::warning;
            event.text = "the parametric FDR method may give too small p-values: " + caution +
                         "; the permutation method holds there";
            listener.progress(event);
        }

    for (std::size_t s = 0; s < input.seeds.size(); ++s) {
        const auto seed = static_cast<int32_t>(s);
        status = listener.beginSeed(seed);
        if (status != statusSuccess) return status;
        // One seed's surrogates at a time: they can be large (series x volumes per source).
        drawSeedSurrogates(input, seed, surrogates, work);
        for (std::size_t c = 0; c < input.conditions.size(); ++c) {
            if (cancelRequested(input.options)) {
                writeStopped(errorStream);
                return statusCancelled;
            }
            status = runCondition(input, seed, static_cast<int32_t>(c), work, listener, progress, runLog, errorStream);
            if (status != statusSuccess) return status;
        }
        releaseSeedSurrogates(input, seed);
        status = listener.endSeed(seed);
        if (status != statusSuccess) return status;
    }
    return statusSuccess;
}

}  // namespace ldi
