#include "data/voi_time_course.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <ostream>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "plugin/analysis_context.h"
#include "plugin/run_control.h"
#include "setup/analysis_setup.h"
#include "stats/ar_model.h"
#include "stats/parallel.h"

namespace {

// One distinct VTC voxel reached by a VOI, and how many VOI voxels fall into it.
struct VoxelRef {
    int32_t ix = 0;
    int32_t iy = 0;
    int32_t iz = 0;
    int32_t count = 0;
};

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

int32_t toVtcIndex(int32_t coordinate, int32_t boxStart, int32_t resolution) {
    const float v = (static_cast<float>(coordinate) - static_cast<float>(boxStart)) / static_cast<float>(resolution);
    const double index = std::floor(static_cast<double>(v) + 0.5);
    // Far-off coordinates (or a zero resolution) must not overflow the
    // conversion; any such value lies outside every grid anyway.
    if (!(index >= static_cast<double>(std::numeric_limits<int32_t>::min()))) {
        return std::numeric_limits<int32_t>::min();
    }
    if (index > static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(index);
}

namespace {

// 128 - coordinate, the axis mirror of the converted convention. Coordinates
// near the int32 limits would overflow it; held at the limit they still lie
// outside every grid.
int32_t mirroredCoordinate(int32_t coordinate) {
    const int64_t mirrored = 128 - static_cast<int64_t>(coordinate);
    return static_cast<int32_t>(std::min<int64_t>(mirrored, std::numeric_limits<int32_t>::max()));
}

}  // namespace

VoiMeanResult readVoiMeanTimeCourse(std::FILE* file, const VtcHeader& header, const int32_t* voxels,
                                    int32_t voxelCount, int32_t coordsConvention, Matrix& output, int32_t row,
                                    int32_t* scratch) {
    VoiMeanResult result;
    const int32_t volumes = header.numVolumes;
    const int32_t dimX = vtcDimX(header);
    const int32_t dimY = vtcDimY(header);
    const int32_t dimZ = vtcDimZ(header);
    const int32_t count = voxels != nullptr && voxelCount > 0 ? voxelCount : 0;

    // Coordinates, in the VTC's axis order, into the scratch buffer.
    for (int32_t k = 0; k < count; ++k) {
        const int32_t* v = voxels + 3 * static_cast<std::ptrdiff_t>(k);
        int32_t* s = scratch + 3 * static_cast<std::ptrdiff_t>(k);
        if (coordsConvention == 0) {
            s[0] = v[0];
            s[1] = v[1];
            s[2] = v[2];
        } else {
            s[0] = mirroredCoordinate(v[1]);
            s[1] = mirroredCoordinate(v[2]);
            s[2] = mirroredCoordinate(v[0]);
        }
    }
    // Grid indices.
    for (int32_t k = 0; k < count; ++k) {
        int32_t* s = scratch + 3 * static_cast<std::ptrdiff_t>(k);
        s[0] = toVtcIndex(s[0], header.xStart, header.resolution);
        s[1] = toVtcIndex(s[1], header.yStart, header.resolution);
        s[2] = toVtcIndex(s[2], header.zStart, header.resolution);
    }
    // Distinct voxels in order of first appearance; the map only speeds up
    // the search, the list order fixes the order of the sums.
    std::vector<VoxelRef> refs;
    std::unordered_map<int64_t, std::size_t> refIndex;
    for (int32_t k = 0; k < count; ++k) {
        const int32_t* s = scratch + 3 * static_cast<std::ptrdiff_t>(k);
        if (s[0] < 0 || s[1] < 0 || s[2] < 0 || s[0] >= dimX || s[1] >= dimY || s[2] >= dimZ) {
            ++result.voxelsOutside;
            continue;
        }
        ++result.voxelsInside;
        const int64_t key = (static_cast<int64_t>(s[2]) * dimY + s[1]) * dimX + s[0];
        const auto found = refIndex.find(key);
        if (found != refIndex.end()) {
            ++refs[found->second].count;
        } else {
            refIndex.emplace(key, refs.size());
            refs.push_back(VoxelRef{s[0], s[1], s[2], 1});
        }
    }

    float* out = output.row(row) + output.colBase;
    for (int32_t t = 0; t < volumes; ++t) {
        out[t] = 0.0f;
    }
    VtcValues values;
    allocateVtcValues(values, header, volumes);
    const bool isFloat = header.dataType == VTC_DATA_TYPE_FLOAT;
    for (const VoxelRef& ref : refs) {
        if (!readVtcVoxel(file, header, ref.ix, ref.iy, ref.iz, values)) {
            return result;
        }
        if (isFloat) {
            const float weight = static_cast<float>(ref.count);
            for (int32_t t = 0; t < volumes; ++t) {
                out[t] = out[t] + weight * values.floats[t];
            }
        } else {
            for (int32_t t = 0; t < volumes; ++t) {
                // Formed in 64 bits: value * count leaves int32 for very large VOIs.
                const int64_t product = static_cast<int64_t>(values.shorts[t]) * ref.count;
                out[t] = out[t] + static_cast<float>(product);
            }
        }
    }
    if (result.voxelsInside > 0) {
        const float n = static_cast<float>(result.voxelsInside);
        for (int32_t t = 0; t < volumes; ++t) {
            out[t] = out[t] / n;
        }
    }
    // The voxel pass reads the slices from the data start on.
    result.ok = seekVtc(file, header.dataOffset);
    return result;
}

int buildVoiTimeCourses(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream) {
    const int32_t order = setup.parameters.autoRegressionOrder;
    const auto surrogateCount = static_cast<int32_t>(setup.parameters.numSurrogateSimulations);
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
                record->surrogates = Matrix(surrogateCount, volumes, 1, 1);

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
                    logLine(warning.str());
                }
                context.voiTimeCourses.push_back(std::move(record));
            }
        }
    }
    return statusSuccess;
}

namespace {

void allocateMeasureVolumes(AnalysisContext& context, const AnalysisSetup& setup) {
    context.realMeasures = std::make_unique<MeasureVolumes>(setup.dimZ, setup.dimY, setup.dimX);
    context.nullMeasures = std::make_unique<MeasureVolumes>(setup.dimZ, setup.dimY, setup.dimX);
}

}  // namespace

int prepareReferenceTimeCourses(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream) {
    if (setup.resolution <= 0) {
        // Only reachable when the set-up accepted no VTC file; dividing by the
        // resolution would then be undefined.
        errorStream << "The vtc geometry of the analysis is not set (resolution " << setup.resolution
                    << "); select at least one valid vtc file (internal error)";
        return statusTerminalError;
    }
    setup.dimX = (setup.xEnd - setup.xStart) / setup.resolution;
    setup.dimY = (setup.yEnd - setup.yStart) / setup.resolution;
    setup.dimZ = (setup.zEnd - setup.zStart) / setup.resolution;

    context.coordinateScratch.assign(static_cast<std::size_t>(VOI_SCRATCH_INITIAL_TRIPLES) * 3, 0);
    context.coordinateCapacity = VOI_SCRATCH_INITIAL_TRIPLES;

    int status = openVtcFiles(context, setup, errorStream);
    if (status != statusSuccess) {
        return status;
    }
    // The measure volumes are large and new memory costs time to touch, so a
    // helper of the run, when one is ready, prepares them while the reference
    // time courses are read (the caller takes whatever is left).
    std::atomic<int> next{0};
    runOnWorkers(context.workers ? 2 : 1, [&](int) {
        for (int step = next.fetch_add(1); step < 2; step = next.fetch_add(1)) {
            if (step == 0) {
                status = buildVoiTimeCourses(context, setup, errorStream);
            } else {
                allocateMeasureVolumes(context, setup);
            }
        }
    }, context.workers.get());
    if (status != statusSuccess) {
        return status;
    }

    const int32_t order = setup.parameters.autoRegressionOrder;
    context.realAccumulator = std::make_unique<CovarianceAccumulator>(2, order);
    context.nullAccumulator = std::make_unique<CovarianceAccumulator>(2, order);
    context.jointModel = std::make_unique<ArModelWorkspace>(2, order);
    context.referenceModel = std::make_unique<ArModelWorkspace>(1, order);
    context.voxelModel = std::make_unique<ArModelWorkspace>(1, order);
    return statusSuccess;
}
