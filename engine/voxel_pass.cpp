#include "engine/voxel_pass.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "base/status.h"
#include "base/text.h"
#include "data/voi_time_course.h"
#include "engine/fast_pass.h"
#include "engine/voxel_lanes.h"
#include "stats/ar_model.h"
#include "stats/parallel.h"

namespace ldi {

namespace {

void writeIntervalError(std::ostream& errorStream, const Interval& interval, const std::string& path,
                        int32_t numVolumes, const std::string& conditionName, int32_t order) {
    errorStream << "An interval (" << interval.first << ", " << interval.last << ") for vtc '" << path << "', "
                << numVolumes << " volumes, in condition '" << conditionName
                << "' was wrongly specified (N.B. last-first+1 must be greater than AR-order(" << order << "))";
}

void writeReadError(std::ostream& errorStream, const std::string& path) {
    errorStream << "Could not read data from vtc '" << path << "'\n"
                << "The file was corrupted (not of expected size) or made inaccessible";
}

// Logs the entries and intervals, checks every interval against the source
// and the target and the model order, and builds the plan.
int planConditionPass(const EngineInput& input, int32_t seedIndex, int32_t conditionIndex, std::ostream& runLog,
                      std::ostream& errorStream, VoxelPassPlan& plan) {
    const GlobalParameters& parameters = *input.parameters;
    const EngineSeed& seed = input.seeds[static_cast<std::size_t>(seedIndex)];
    const EngineCondition& condition = input.conditions[static_cast<std::size_t>(conditionIndex)];
    const int32_t p = parameters.autoRegressionOrder;
    plan.dimX = input.grid.dimX;
    plan.dimY = input.grid.dimY;
    plan.dimZ = input.grid.dimZ;
    plan.order = p;
    plan.inclusionThreshold = parameters.firstTimePointInclusionThres;
    if (input.voxelMask != nullptr) {
        const int64_t voxels = static_cast<int64_t>(plan.dimX) * plan.dimY * plan.dimZ;
        if (static_cast<int64_t>(input.voxelMask->size()) != voxels) {
            errorStream << "The voxel mask holds " << input.voxelMask->size() << " voxels, the grid " << voxels
                        << " (internal error)";
            return statusTerminalError;
        }
        plan.inclusionMask = input.voxelMask->data();
    }
    plan.surrogateCount = parameters.numSurrogateSimulations;
    plan.longestInterval = 0;
    if (plan.surrogateCount == 0) {
        errorStream << "No surrogate time-courses to draw from for condition '" << condition.name
                    << "': NumSurrogateSimulations must be at least 1";
        return statusInvalidChoices;
    }

    uint32_t total = 0;
    uint32_t effective = 0;
    for (const EngineEntry& entry : condition.entries) {
        const std::string& sourceName = input.sources[static_cast<std::size_t>(entry.source)]->name();
        const std::string& targetName = input.sources[static_cast<std::size_t>(entry.target)]->name();
        if (parameters.separateSourceTargetVTCs) {
            runLog << "\tSrc " << input.sourceLabel << ": " << sourceName << '\n'
                   << "\tTrg " << input.sourceLabel << ": " << targetName << '\n';
        } else {
            runLog << '\t' << input.sourceLabel << ": " << sourceName << '\n';
        }
        const VoiTimeCourse* record = referenceOf(seed, entry.source);
        if (record == nullptr) {
            errorStream << "Failed to retrieve precomputed voi time-course for VOI '" << seed.name << "', Condition '"
                        << condition.name << "' (internal error)";
            return statusTerminalError;
        }
        if (record->surrogates.rowCount < static_cast<int64_t>(plan.surrogateCount) ||
            record->surrogates.colEnd < record->meanTimeCourse.colEnd) {
            errorStream << "The surrogate time-courses of VOI '" << seed.name << "' for vtc '" << sourceName
                        << "' are incomplete (internal error)";
            return statusTerminalError;
        }
        SliceSource* target = input.sources[static_cast<std::size_t>(entry.target)];
        const int32_t sourceVolumes = record->meanTimeCourse.colCount;
        const int32_t targetVolumes = target->numVolumes();

        runLog << "\tintv(s):" << '\n';
        for (const Interval& interval : entry.intervals) {
            runLog << "\t\t" << interval.first << "\t-\t" << interval.last << '\n';
            const int64_t length = static_cast<int64_t>(interval.last) - interval.first + 1;
            const bool fitsSource = interval.first >= record->meanTimeCourse.colBase &&
                                    interval.last < record->meanTimeCourse.colEnd && length > p;
            if (!fitsSource) {
                writeIntervalError(errorStream, interval, sourceName, sourceVolumes, condition.name, p);
                return statusInvalidChoices;
            }
            // The voxel series come from the target, which may be shorter.
            if (interval.last > targetVolumes) {
                errorStream << "An interval (" << interval.first << ", " << interval.last << ") in condition '"
                            << condition.name << "' ends after the last volume of vtc '" << targetName
                            << "', which has " << targetVolumes
                            << " volumes; the voxel time courses are read from it, so the interval must end "
                               "within them";
                return statusInvalidChoices;
            }
            total += static_cast<uint32_t>(length);
            effective += static_cast<uint32_t>(length - p);
            plan.longestInterval = std::max(plan.longestInterval, static_cast<int32_t>(length));
        }

        // A source whose slices differ from the grid of the run would be walked
        // past the end of its slice buffer.
        if (static_cast<int64_t>(target->sliceValueCount()) !=
            static_cast<int64_t>(plan.dimX) * plan.dimY * targetVolumes) {
            errorStream << "The VTC file '" << targetName << "' does not have the grid of the other VTC files ("
                        << plan.dimX << " x " << plan.dimY << " x " << plan.dimZ << " voxels)";
            return statusTerminalError;
        }
        VoxelPassEntry passEntry;
        passEntry.intervals = &entry.intervals;
        passEntry.record = record;
        passEntry.numVolumes = targetVolumes;
        const auto known = std::find(plan.targets.begin(), plan.targets.end(), target);
        passEntry.target = static_cast<int32_t>(known - plan.targets.begin());
        if (known == plan.targets.end()) plan.targets.push_back(target);
        plan.entries.push_back(passEntry);
    }
    runLog << '\n' << "\tTotal nr. time-points: " << total << '\n' << "\tEffective nr. time-points: " << effective;
    // Nothing to fit: the maps would be all zeros with zero thresholds, which
    // is no answer to the question asked.
    if (effective == 0) {
        errorStream << "Condition '" << condition.name
                    << "' has no time point to analyse: none of its intervals is longer than the AR order ("
                    << p << "); give it intervals, or check that its protocol condition has any";
        return statusInvalidChoices;
    }
    return statusSuccess;
}

// The voxel's time course at `cursor` of its slice, as float32.
void loadRow(const SliceValues& slice, bool holdsFloats, std::size_t cursor, int32_t numVolumes, Matrix& row) {
    float* out = row.at(row.rowBase, row.colBase);
    if (holdsFloats) {
        const float* in = slice.floats.get() + cursor;
        for (int32_t t = 0; t < numVolumes; ++t) out[t] = in[t];
    } else {
        const uint16_t* in = slice.shorts.get() + cursor;
        for (int32_t t = 0; t < numVolumes; ++t) out[t] = static_cast<float>(in[t]);
    }
}

void accumulate(CovarianceAccumulator& accumulator, const Matrix& data, int32_t length) {
    computeLagProducts(accumulator, data, 0, 2, 0, length);
    accumulateInterval(accumulator, data, 0, 2, 0, length);
}

bool finiteValues(const InfluenceValues& v) {
    return std::isfinite(v.aToB) && std::isfinite(v.bToA) && std::isfinite(v.instantaneous);
}

}  // namespace

void prepareVoxelWork(const VoxelPassPlan& plan, VoxelWork& work) {
    work.dataMatrix = Matrix(2, std::max(plan.longestInterval, 1), 0, 0);
    work.voxelRows.clear();
    work.voxelRows.reserve(plan.entries.size());
    for (const VoxelPassEntry& entry : plan.entries) work.voxelRows.emplace_back(1, entry.numVolumes, 1, 1);
    work.slices.resize(plan.targets.size());
    for (std::size_t t = 0; t < plan.targets.size(); ++t) plan.targets[t]->allocateSlice(work.slices[t]);
}

VoxelOutcome processVoxel(const VoxelPassPlan& plan, VoxelWork& work, int64_t voxelInSlice, SurrogateDraws& draws,
                          VoxelValues& values) {
    values = VoxelValues{};
    if (plan.inclusionMask != nullptr) {
        if (plan.inclusionMask[work.sliceStart + voxelInSlice] == 0) return VoxelOutcome::skipped;
    } else {
        // Every entry has its own cursor into its target's slice, so entries that
        // share a target file see the same (right) voxel.
        for (const VoxelPassEntry& entry : plan.entries) {
            const auto target = static_cast<std::size_t>(entry.target);
            const auto cursor = static_cast<std::size_t>(voxelInSlice * entry.numVolumes);
            if (!passesIntensityTest(work.slices[target], plan.targets[target]->holdsFloats(), cursor,
                                     plan.inclusionThreshold))
                return VoxelOutcome::skipped;
        }
    }

    CovarianceAccumulator& real = *work.realAccumulator;
    CovarianceAccumulator& null = *work.nullAccumulator;
    clearAccumulator(real);
    clearAccumulator(null);
    Matrix& data = work.dataMatrix;
    uint32_t intervalCount = 0;
    for (std::size_t e = 0; e < plan.entries.size(); ++e) {
        const VoxelPassEntry& entry = plan.entries[e];
        const auto target = static_cast<std::size_t>(entry.target);
        Matrix& row = work.voxelRows[e];
        loadRow(work.slices[target], plan.targets[target]->holdsFloats(),
                static_cast<std::size_t>(voxelInSlice * entry.numVolumes), entry.numVolumes, row);
        const Matrix& reference = entry.record->meanTimeCourse;
        const Matrix& surrogates = entry.record->surrogates;
        for (const Interval& interval : *entry.intervals) {
            ++intervalCount;
            const int32_t length = interval.last - interval.first + 1;
            detrendRows(reference, reference.rowBase, reference.rowBase + 1, interval.first, interval.last + 1, data,
                        0, 0);
            detrendRows(row, row.rowBase, row.rowBase + 1, interval.first, interval.last + 1, data, 1, 0);
            accumulate(real, data, length);

            const int32_t drawn = static_cast<int32_t>(draws.next());
            const int32_t surrogateRow = surrogates.rowBase + drawn;
            detrendRows(surrogates, surrogateRow, surrogateRow + 1, interval.first, interval.last + 1, data, 0, 0);
            accumulate(null, data, length);
        }
    }
    if (intervalCount > 0) {
        const float factor = 1.0f / static_cast<float>(intervalCount);
        scaleAccumulator(real, factor);
        scaleAccumulator(null, factor);
    }

    InfluenceValues measures;
    if (!influenceMeasures(real, 0, 1, *work.jointModel, *work.referenceModel, *work.voxelModel, measures) ||
        !finiteValues(measures))
        return VoxelOutcome::illDefined;
    values.real[0] = measures.aToB;
    values.real[1] = measures.bToA;
    values.real[2] = measures.instantaneous;

    InfluenceValues nullMeasures;
    if (!influenceMeasures(null, 0, 1, *work.jointModel, *work.referenceModel, *work.voxelModel, nullMeasures) ||
        !finiteValues(nullMeasures))
        return VoxelOutcome::surrogateIllDefined;
    values.null[0] = nullMeasures.aToB;
    values.null[1] = nullMeasures.bToA;
    values.null[2] = nullMeasures.instantaneous;
    return VoxelOutcome::measured;
}

namespace {

// The loop over processVoxel, one voxel after the other on the calling thread:
// the reference the fast loop must match.
int runSequentialVoxelLoop(const VoxelPassPlan& plan, const EngineOptions& options, VoxelWork& work,
                           RandomState& generator, SliceProgress& progress, MeasureVolumes& real,
                           MeasureVolumes& null, VoxelLoopCounts& counts, int& failedTarget) {
    SurrogateDraws draws;
    draws.generator = &generator;
    draws.surrogateCount = plan.surrogateCount;
    float* const out[6] = {real.ref2vox.data(), real.vox2ref.data(), real.inst.data(),
                           null.ref2vox.data(), null.vox2ref.data(), null.inst.data()};
    const int64_t voxelsPerSlice = static_cast<int64_t>(plan.dimX) * plan.dimY;
    VoxelValues values;
    for (int32_t z = 0; z < plan.dimZ; ++z) {
        if (cancelRequested(options)) return statusCancelled;
        progress.reportUpTo(z + 1);
        for (std::size_t t = 0; t < plan.targets.size(); ++t) {
            if (!plan.targets[t]->readSlice(z, work.slices[t])) {
                failedTarget = static_cast<int>(t);
                return statusTerminalError;
            }
        }
        const int64_t sliceStart = static_cast<int64_t>(z) * voxelsPerSlice;
        work.sliceStart = sliceStart;
        for (int64_t v = 0; v < voxelsPerSlice; ++v) {
            switch (processVoxel(plan, work, v, draws, values)) {
            case VoxelOutcome::skipped: ++counts.skipped; break;
            case VoxelOutcome::illDefined: ++counts.illDefined; break;
            case VoxelOutcome::surrogateIllDefined: ++counts.surrogatesIllDefined; break;
            case VoxelOutcome::measured: break;
            }
            const int64_t at = sliceStart + v;
            out[0][at] = values.real[0];
            out[1][at] = values.real[1];
            out[2][at] = values.real[2];
            out[3][at] = values.null[0];
            out[4][at] = values.null[1];
            out[5][at] = values.null[2];
        }
    }
    return statusSuccess;
}

// Intervals that overlap on one target count their shared time points more
// than once. That is allowed (set-ups may rely on it), but rarely meant, so the
// log pane says so once per condition.
void warnOfOverlaps(const EngineCondition& condition, const VoxelPassPlan& plan, EngineProgress event,
                    const ProgressSink& progress) {
    struct Span {
        int32_t target, first, last;
    };
    std::vector<Span> spans;
    for (const VoxelPassEntry& entry : plan.entries)
        for (const Interval& interval : *entry.intervals) spans.push_back(Span{entry.target, interval.first, interval.last});
    std::sort(spans.begin(), spans.end(), [](const Span& x, const Span& y) {
        return x.target != y.target ? x.target < y.target : x.first < y.first;
    });
    for (std::size_t i = 1; i < spans.size(); ++i) {
        const Span& earlier = spans[i - 1];
        const Span& later = spans[i];
        if (later.target != earlier.target || later.first > earlier.last) continue;
        event.stage = EngineProgress::Stage::warning;
        event.text = formatText("WARNING: Intervals of condition '%s' overlap (%d-%d and %d-%d of vtc '%s'): the "
                                "time points they share are counted once for every interval",
                                condition.name.c_str(), earlier.first, earlier.last, later.first, later.last,
                                plan.targets[static_cast<std::size_t>(later.target)]->name().c_str());
        progress(event);
        return;
    }
}

// The counts of the pass, as shares of the grid, in the run log and (verbose
// runs) in the progress events.
void writeVoxelSummary(const VoxelLoopCounts& counts, const VoxelPassPlan& plan, EngineProgress event,
                       const ProgressSink* progress, std::ostream& runLog) {
    const uint32_t skipped = counts.skipped;
    const uint32_t illDefined = counts.illDefined;
    const uint32_t surrogatesIllDefined = counts.surrogatesIllDefined;
    const uint32_t total = static_cast<uint32_t>(plan.dimX) * static_cast<uint32_t>(plan.dimY) *
                           static_cast<uint32_t>(plan.dimZ);
    const auto percent = [total](uint32_t count) {
        return static_cast<float>(count) / static_cast<float>(total) * 100.0f;
    };
    if (progress != nullptr) {
        event.stage = EngineProgress::Stage::voxelCounts;
        event.text = formatText("Voxels skipped: %u\t(%3.1f%%)\nVoxels ill-defined: %u\t(%3.1f%%)\n"
                                "Surrogates ill-defined: %u\t(%3.1f%%)",
                                skipped, static_cast<double>(percent(skipped)), illDefined,
                                static_cast<double>(percent(illDefined)), surrogatesIllDefined,
                                static_cast<double>(percent(surrogatesIllDefined)));
        (*progress)(event);
    }
    runLog << '\n'
           << "\tVoxels skipped: " << skipped << "\t(" << percent(skipped) << "%)" << '\n'
           << "\tVoxels ill-defined: " << illDefined << "\t(" << percent(illDefined) << "%)" << '\n'
           << "\tSurrogates ill-defined: " << surrogatesIllDefined << "\t(" << percent(surrogatesIllDefined) << "%)"
           << '\n';
}

// Maps of zeros where most voxels could not be measured look like a result:
// when more than half of the voxels past the inclusion threshold are
// ill-defined (a volume of extreme values makes every model singular), the
// pass says so whether the progress lines are shown or not.
void warnOfIllDefinedVoxels(const VoxelLoopCounts& counts, int64_t gridVoxels, const std::string& condition,
                            EngineProgress event, const ProgressSink& progress, std::ostream& runLog) {
    const int64_t measurable = gridVoxels - static_cast<int64_t>(counts.skipped);
    const auto illDefined = static_cast<int64_t>(counts.illDefined);
    if (measurable <= 0 || 2 * illDefined <= measurable) return;
    const std::string warning = formatText(
        "WARNING: %lld of the %lld voxels analysed in condition '%s' are ill-defined (their models cannot be "
        "fitted), so their maps are 0: look for volumes of extreme or constant values in the data",
        static_cast<long long>(illDefined), static_cast<long long>(measurable), condition.c_str());
    event.stage = EngineProgress::Stage::warning;
    event.text = warning;
    progress(event);
    runLog << '\t' << warning << '\n';
}

// The fast loop's kernel, or null when the pass runs the sequential loop.
const LaneKernel* fastKernelOf(const EngineOptions& options) {
    const LaneKernel& kernel = options.laneKernel != nullptr ? *options.laneKernel : bestLaneKernel();
    return options.passMethod == VoxelPassMethod::fast && kernel.processBlock != nullptr ? &kernel : nullptr;
}

// The pass with `draws` null draws per voxel (more than one only on the fast loop):
// the first into the work's nullMeasures, the further ones into work.extraNulls.
int runConditionPass(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                     const ProgressSink& progress, std::ostream& runLog, std::ostream& errorStream, int32_t draws) {
    const GlobalParameters& parameters = *input.parameters;
    VoxelPassPlan plan;
    const int planStatus = planConditionPass(input, seed, condition, runLog, errorStream, plan);
    if (planStatus != statusSuccess) return planStatus;
    EngineProgress event;
    event.seed = seed;
    event.condition = condition;
    warnOfOverlaps(input.conditions[static_cast<std::size_t>(condition)], plan, event, progress);
    if (!work.realMeasures || !work.nullMeasures || !work.realAccumulator || !work.nullAccumulator ||
        !work.jointModel || !work.referenceModel || !work.voxelModel) {
        errorStream << "The work objects of the voxel pass for VOI '" << input.seeds[static_cast<std::size_t>(seed)].name
                    << "', Condition '" << input.conditions[static_cast<std::size_t>(condition)].name
                    << "' were not prepared (internal error)";
        return statusTerminalError;
    }

    MeasureVolumes& real = *work.realMeasures;
    MeasureVolumes& null = *work.nullMeasures;
    VoxelLoopCounts counts;
    int failedTarget = -1;
    int status = statusSuccess;
    SliceProgress sliceProgress(parameters.showVerboseProgressLog ? &progress : nullptr, plan.dimZ, seed, condition);
    const EngineOptions& options = input.options;
    if (const LaneKernel* kernel = fastKernelOf(options)) {
        std::vector<MeasureVolumes*> nulls{&null};
        for (int32_t d = 1; d < draws; ++d) nulls.push_back(work.extraNulls[static_cast<std::size_t>(d - 1)].get());
        FastLoopRun run{*kernel, options, work.workers.get(), work.random};
        status = runFastVoxelLoop(plan, run, sliceProgress, real, nulls.data(), static_cast<int32_t>(nulls.size()),
                                  counts, failedTarget);
    } else {
        VoxelWork voxelWork;
        voxelWork.realAccumulator = work.realAccumulator.get();
        voxelWork.nullAccumulator = work.nullAccumulator.get();
        voxelWork.jointModel = work.jointModel.get();
        voxelWork.referenceModel = work.referenceModel.get();
        voxelWork.voxelModel = work.voxelModel.get();
        prepareVoxelWork(plan, voxelWork);
        notifyVoxelLoop(options.loopObserver, true);
        status = runSequentialVoxelLoop(plan, options, voxelWork, work.random, sliceProgress, real, null, counts, failedTarget);
        notifyVoxelLoop(options.loopObserver, false);
    }
    if (status == statusCancelled) {
        writeStopped(errorStream);
        return statusCancelled;
    }
    if (status != statusSuccess) {
        writeReadError(errorStream, plan.targets[static_cast<std::size_t>(failedTarget)]->name());
        return statusTerminalError;
    }
    writeVoxelSummary(counts, plan, event, parameters.showVerboseProgressLog ? &progress : nullptr, runLog);
    // Empty maps with nothing else to go by look like a fault of the program;
    // say why they are empty whether the progress lines are shown or not.
    const int64_t gridVoxels = static_cast<int64_t>(plan.dimX) * plan.dimY * plan.dimZ;
    if (gridVoxels > 0 && static_cast<int64_t>(counts.skipped) == gridVoxels) {
        const std::string warning = formatText(
            "WARNING: No voxel passed the inclusion threshold in condition '%s': every voxel's value at the "
            "first time point is at or below %u, so its maps are empty (the threshold is "
            "FirstTimePointInclusionThres in LDIPlugin.ini)",
            input.conditions[static_cast<std::size_t>(condition)].name.c_str(),
            static_cast<unsigned>(plan.inclusionThreshold));
        event.stage = EngineProgress::Stage::warning;
        event.text = warning;
        progress(event);
        runLog << '\t' << warning << '\n';
    }
    if (options.warnOfIllDefinedVoxels)
        warnOfIllDefinedVoxels(counts, gridVoxels, input.conditions[static_cast<std::size_t>(condition)].name, event,
                               progress, runLog);
    return statusSuccess;
}

// Further surrogate draws per voxel the reference way: the pass again, drawing
// on from where the last one left the generator. The real measures do not
// depend on the draws, so they come out the same; the first draw's null values
// are put back.
int repeatPassForFurtherDraws(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                              std::ostream& errorStream) {
    std::unique_ptr<MeasureVolumes> first = std::move(work.nullMeasures);
    for (std::unique_ptr<MeasureVolumes>& further : work.extraNulls) {
        if (cancelRequested(input.options)) {
            work.nullMeasures = std::move(first);
            writeStopped(errorStream);
            return statusCancelled;
        }
        work.nullMeasures = std::move(further);
        std::ostringstream quiet;  // the run log tells the condition once
        const int status = runConditionPass(input, seed, condition, work, [](const EngineProgress&) {}, quiet,
                                            errorStream, 1);
        further = std::move(work.nullMeasures);
        if (status != statusSuccess) {
            work.nullMeasures = std::move(first);
            return status;
        }
    }
    work.nullMeasures = std::move(first);
    return statusSuccess;
}

}  // namespace

void writeStopped(std::ostream& errorStream) {
    errorStream << "stopped: the analysis was cancelled before it finished";
}

int computeConditionMeasures(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                             const ProgressSink& progress, std::ostream& runLog, std::ostream& errorStream) {
    return runConditionPass(input, seed, condition, work, progress, runLog, errorStream, 1);
}

int computeConditionDraws(const EngineInput& input, int32_t seed, int32_t condition, EngineWork& work,
                          const ProgressSink& progress, std::ostream& runLog, std::ostream& errorStream) {
    const int32_t draws = std::max(input.nullDraws, 1);
    const GridSize& grid = input.grid;
    work.extraNulls.resize(static_cast<std::size_t>(draws - 1));
    for (std::unique_ptr<MeasureVolumes>& further : work.extraNulls)
        if (!further) further = std::make_unique<MeasureVolumes>(grid.dimZ, grid.dimY, grid.dimX);
    const bool onePass = input.options.nullDrawMethod == NullDrawMethod::onePass && fastKernelOf(input.options);
    if (draws == 1 || onePass)
        return runConditionPass(input, seed, condition, work, progress, runLog, errorStream, draws);
    const int status = runConditionPass(input, seed, condition, work, progress, runLog, errorStream, 1);
    if (status != statusSuccess) return status;
    return repeatPassForFurtherDraws(input, seed, condition, work, errorStream);
}

}  // namespace ldi
