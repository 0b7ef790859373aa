#include "plugin/run_inputs.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#include <sstream>
#include <vector>

#include "base/log_pane.h"
#include "base/status.h"
#include "data/voi_time_course.h"
#include "data/grid_box.h"
#include "data/vtc_file.h"
#include "engine/engine.h"
#include "engine/slice_source.h"
#include "plugin/analysis_context.h"
#include "setup/analysis_setup.h"
#include "stats/parallel.h"

namespace ldi {

namespace {

// Smallest capacity + 100k that holds `needed` triples (k >= 1).
int32_t grownCapacity(int32_t capacity, int32_t needed) {
    const uint32_t extra = static_cast<uint32_t>(needed - capacity - 1) / 100u * 100u + 100u;
    return capacity + static_cast<int32_t>(extra);
}

void ensureScratch(AnalysisContext& context, int32_t needed) {
    if (needed <= context.coordinateCapacity) {
        return;
    }
    const int32_t capacity = grownCapacity(context.coordinateCapacity, needed);
    // Replaced, not resized: the old coordinates are never needed again.
    std::vector<int32_t>(static_cast<std::size_t>(capacity) * 3).swap(context.coordinateScratch);
    context.coordinateCapacity = capacity;
}

void writeReadFailure(std::ostream& errorStream, const SelectedVoi& voi, const std::string& sourcePath) {
    errorStream << "Could not obtain time-course information from vtc-file for creation of a voi "
                   "time-course(internal error) for:\n"
                << "vtc: " << sourcePath << "\n"
                << "voi: " << voi.name << "\n";
}

template <typename Context>
auto findRecord(Context& context, const SelectedVoi& voi, const std::string& sourcePath)
    -> decltype(context.voiTimeCourses.front().get()) {
    for (auto& record : context.voiTimeCourses) {
        if (record->voiHostIndex == voi.hostIndex && record->vtcPath == sourcePath) {
            return record.get();
        }
    }
    return nullptr;
}

}  // namespace

VoiTimeCourse* findVoiTimeCourse(AnalysisContext& context, const SelectedVoi& voi, const std::string& sourcePath) {
    return findRecord(context, voi, sourcePath);
}

const VoiTimeCourse* findVoiTimeCourse(const AnalysisContext& context, const SelectedVoi& voi,
                                       const std::string& sourcePath) {
    return findRecord(context, voi, sourcePath);
}

VtcFile* findVtcFile(AnalysisContext& context, const std::string& path) {
    for (const std::unique_ptr<VtcFile>& file : context.vtcFiles) {
        if (file->path == path) {
            return file.get();
        }
    }
    return nullptr;
}

namespace {

// Finds or opens one path of an entry; null after writing the failure to errorStream.
VtcFile* openOnce(AnalysisContext& context, const std::string& path, const Condition& condition,
                  std::ostream& errorStream) {
    if (VtcFile* known = findVtcFile(context, path)) {
        return known;
    }
    VtcHandle handle(std::fopen(path.c_str(), "rb"));
    if (!handle) {
        errorStream << "Could not open file: " << path << "\nfor condition '" << condition.name << "'";
        return nullptr;
    }
    VtcHeader header;
    if (!readVtcHeader(handle.get(), header)) {
        errorStream << "Could not correctly read vtc-header file: " << path << "\nfor condition '"
                    << condition.name << "'\nN.B.:VTC version 2 required for this version of the LDI_Plugin!";
        return nullptr;
    }
    // A damaged header can promise a grid of billions of voxels in a file of
    // a few bytes; the run would allocate for that grid before the first
    // slice read finds the file short. So the size is checked here, first.
    int64_t fileSize = 0;
    if (!vtcDataSectionIsComplete(handle.get(), header, fileSize)) {
        errorStream << "Could not read data from vtc '" << path << "'\n"
                    << "The file was corrupted (not of expected size) or made inaccessible\n"
                    << "Its header describes " << vtcDimX(header) << " x " << vtcDimY(header) << " x "
                    << vtcDimZ(header) << " voxels of " << header.numVolumes << " volumes ("
                    << vtcDataSize(header) << " bytes of data), but it holds "
                    << std::max<int64_t>(fileSize - header.dataOffset, 0) << " bytes after its header";
        return nullptr;
    }
    context.vtcFiles.push_back(makeVtcFile(path, header, std::move(handle)));
    context.sources.push_back(std::make_unique<VtcSliceSource>(*context.vtcFiles.back()));
    return context.vtcFiles.back().get();
}

}  // namespace

int openVtcFiles(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream) {
    for (Condition& condition : setup.conditions) {
        for (VtcEntry& entry : condition.entries) {
            entry.sourceVtc = openOnce(context, entry.sourcePath, condition, errorStream);
            if (entry.sourceVtc == nullptr) {
                return 3;
            }
            entry.targetVtc = openOnce(context, entry.targetPath, condition, errorStream);
            if (entry.targetVtc == nullptr) {
                return 3;
            }
        }
    }
    return 1;
}

int buildVoiTimeCourses(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream,
                        std::vector<std::string>* warnings) {
    const int32_t order = setup.parameters.autoRegressionOrder;
    for (const SelectedVoi& voi : setup.vois) {
        for (const Condition& condition : setup.conditions) {
            for (const VtcEntry& entry : condition.entries) {
                if (findVoiTimeCourse(context, voi, entry.sourcePath) != nullptr) {
                    continue;
                }
                if (entry.sourceVtc == nullptr) {
                    writeReadFailure(errorStream, voi, entry.sourcePath);
                    return statusTerminalError;
                }
                const VtcFile& vtc = *entry.sourceVtc;
                const int32_t voxelCount = voi.voxels != nullptr && voi.voxelCount > 0 ? voi.voxelCount : 0;
                ensureScratch(context, voxelCount);

                auto record = std::make_unique<VoiTimeCourse>();
                record->voiName = voi.name;
                record->voiHostIndex = voi.hostIndex;
                record->vtcPath = entry.sourcePath;
                const int32_t volumes = vtc.header.numVolumes;
                record->meanTimeCourse = Matrix(1, volumes, 1, 1);
                record->residualCovariance = Matrix(1, 1, 1, 1);
                record->arCoefficients = MatrixList(order, 1, record->residualCovariance);

                const VoiMeanResult mean =
                    readVoiMeanTimeCourse(vtc.handle.get(), vtc.header, voi.voxels, voxelCount, voi.coordsConvention,
                                          record->meanTimeCourse, record->meanTimeCourse.rowBase,
                                          context.coordinateScratch.data());
                if (!mean.ok) {
                    writeReadFailure(errorStream, voi, entry.sourcePath);
                    return statusTerminalError;
                }
                if (voxelCount == 0) {
                    errorStream << "VOI '" << voi.name << "' holds no voxels, so it has no reference time-course in vtc '"
                                << entry.sourcePath << "'.\nChoose a VOI with at least one voxel.";
                    return statusInvalidChoices;
                }
                if (mean.voxelsInside == 0) {
                    errorStream << "None of the " << voxelCount << " voxels of VOI '" << voi.name
                                << "' lies inside the bounding box of vtc '" << entry.sourcePath
                                << "', so it has no reference time-course there.\n"
                                   "Choose a VOI that overlaps the functional data of every selected vtc.";
                    return statusInvalidChoices;
                }
                if (mean.voxelsOutside > 0) {
                    std::ostringstream warning;
                    warning << "WARNING: " << mean.voxelsOutside << " of the " << voxelCount << " voxels of VOI '"
                            << voi.name << "' lie outside the bounding box of vtc '" << entry.sourcePath
                            << "' and were left out of its reference time-course";
                    if (warnings != nullptr)
                        warnings->push_back(warning.str());
                    else
                        logLine(warning.str());
                }
                context.voiTimeCourses.push_back(std::move(record));
            }
        }
    }
    return statusSuccess;
}

int prepareReferenceTimeCourses(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream) {
    if (setup.resolution <= 0) {
        // Only reachable when the set-up accepted no VTC file; dividing by the
        // resolution would then be undefined.
        errorStream << "The vtc geometry of the analysis is not set (resolution " << setup.resolution
                    << "); select at least one valid vtc file (internal error)";
        return statusTerminalError;
    }
    const GridSize size = gridSizeOf(GridBox{setup.xStart, setup.xEnd, setup.yStart, setup.yEnd, setup.zStart,
                                             setup.zEnd, setup.resolution});
    setup.dimX = size.dimX;
    setup.dimY = size.dimY;
    setup.dimZ = size.dimZ;

    context.coordinateScratch.assign(static_cast<std::size_t>(VOI_SCRATCH_INITIAL_TRIPLES) * 3, 0);
    context.coordinateCapacity = VOI_SCRATCH_INITIAL_TRIPLES;

    int status = openVtcFiles(context, setup, errorStream);
    if (status != statusSuccess) {
        return status;
    }
    // The measure volumes are large and new memory costs time to touch, so a
    // helper of the run, when one is ready, prepares them while the reference
    // time courses are read (the caller takes whatever is left). The host is
    // told of any warning afterwards, from this thread.
    std::vector<std::string> warnings;
    shareWork(context.work.workers ? 2 : 1, 2, 1, [&](int64_t step, int64_t, int) {
        if (step == 0) {
            status = buildVoiTimeCourses(context, setup, errorStream, &warnings);
        } else {
            allocateMeasureVolumes(context.work, GridSize{setup.dimX, setup.dimY, setup.dimZ});
        }
    }, context.work.workers.get());
    for (const std::string& warning : warnings) logLine(warning);
    if (status != statusSuccess) {
        return status;
    }
    allocateModelWork(context.work, setup.parameters.autoRegressionOrder);
    return statusSuccess;
}

EngineInput engineInputOf(AnalysisContext& context, const AnalysisSetup& setup) {
    EngineInput input;
    input.parameters = &setup.parameters;
    input.grid = GridSize{setup.dimX, setup.dimY, setup.dimZ};
    input.longestSource = setup.maxVolumes;
    input.rngSeed = context.rngSeed;
    input.options = context.options;
    const auto sourceIndex = [&context](const VtcFile* file) {
        for (std::size_t i = 0; i < context.vtcFiles.size(); ++i)
            if (context.vtcFiles[i].get() == file) return static_cast<int32_t>(i);
        return int32_t{-1};
    };
    for (const std::unique_ptr<VtcSliceSource>& source : context.sources) input.sources.push_back(source.get());

    for (const Condition& condition : setup.conditions) {
        EngineCondition engineCondition;
        engineCondition.name = condition.name;
        for (const VtcEntry& entry : condition.entries) {
            EngineEntry engineEntry;
            engineEntry.source = sourceIndex(entry.sourceVtc);
            engineEntry.target = sourceIndex(entry.targetVtc);
            engineEntry.intervals = entry.intervals;
            engineCondition.entries.push_back(std::move(engineEntry));
        }
        input.conditions.push_back(std::move(engineCondition));
    }
    for (const SelectedVoi& voi : setup.vois) {
        EngineSeed seed;
        seed.name = voi.name;
        seed.references.assign(context.vtcFiles.size(), nullptr);
        for (std::size_t i = 0; i < context.vtcFiles.size(); ++i)
            seed.references[i] = findVoiTimeCourse(context, voi, context.vtcFiles[i]->path);
        input.seeds.push_back(std::move(seed));
    }
    return input;
}

}  // namespace ldi
