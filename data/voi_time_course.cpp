#include "data/voi_time_course.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <vector>

namespace ldi {

namespace {

// One distinct VTC voxel reached by a VOI, and how many VOI voxels fall into it.
struct VoxelRef {
    int32_t ix = 0;
    int32_t iy = 0;
    int32_t iz = 0;
    int32_t count = 0;
};

}  // namespace

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
    // Readers that go on from the file position find it at the data start.
    result.ok = seekVtc(file, header.dataOffset);
    return result;
}

}  // namespace ldi
