#include "analysis/array_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace ldi {

namespace {

// Finite and not constant from volume `first` on, for the voxel whose values
// start at `course` `step` values apart.
bool usableCourse(const float* course, int64_t step, int32_t first, int32_t volumes) {
    if (first >= volumes) return false;
    const float start = course[first * step];
    bool varies = false;
    for (int32_t t = first; t < volumes; ++t) {
        const float value = course[t * step];
        if (!std::isfinite(value)) return false;
        if (value != start) varies = true;
    }
    return varies;
}

// The same judged volume after volume, for arrays whose volumes lie apart
// (NIfTI's order): each value is visited in the order it is stored.
std::vector<uint8_t> usableByVolume(const RunArray& array, int32_t first) {
    const NiftiHeader& h = array.header;
    const auto voxels = static_cast<std::size_t>(h.voxelsPerVolume());
    std::vector<float> start(voxels, 0.0f);
    std::vector<uint8_t> finite(voxels, 1), varies(voxels, 0);
    for (int64_t t = first; t < h.volumes(); ++t) {
        std::size_t v = 0;
        for (int64_t z = 0; z < h.nz(); ++z)
            for (int64_t y = 0; y < h.ny(); ++y)
                for (int64_t x = 0; x < h.nx(); ++x, ++v) {
                    const float value = array.values[x * array.strides[0] + y * array.strides[1] +
                                                     z * array.strides[2] + t * array.strides[3]];
                    if (!std::isfinite(value)) finite[v] = 0;
                    if (t == first) start[v] = value;
                    else if (value != start[v]) varies[v] = 1;
                }
    }
    for (std::size_t v = 0; v < voxels; ++v) finite[v] = finite[v] != 0 && varies[v] != 0 ? 1 : 0;
    return finite;
}

}  // namespace

std::array<int64_t, 4> volumeOrderStrides(const NiftiHeader& header) {
    return {1, header.nx(), header.nx() * header.ny(), header.nx() * header.ny() * header.nz()};
}

bool ArraySliceSource::load(const std::string& name, const RunArray& array, int32_t firstJudged,
                            std::string& problem) {
    values_ = array.values;
    strides_ = array.strides;
    if (values_ == nullptr) {
        problem = name + ": the run holds no data";
        return false;
    }
    if (!setShape(name, array.header, problem)) return false;
    const int32_t first = std::max(firstJudged, 0);
    if (strides_[3] > strides_[0]) {
        usable_ = usableByVolume(array, first);
        return true;
    }
    usable_.assign(static_cast<std::size_t>(dimX_ * dimY_ * dimZ_), 0);
    std::size_t v = 0;
    for (int64_t z = 0; z < dimZ_; ++z)
        for (int64_t y = 0; y < dimY_; ++y)
            for (int64_t x = 0; x < dimX_; ++x, ++v) {
                const float* course = values_ + x * strides_[0] + y * strides_[1] + z * strides_[2];
                usable_[v] = usableCourse(course, strides_[3], first, volumes_) ? 1 : 0;
            }
    return true;
}

bool ArraySliceSource::readSlice(int32_t z, SliceValues& slice) {
    if (z < 0 || z >= dimZ_ || !slice.floats || slice.capacity < sliceValues_) return false;
    float* out = slice.floats.get();
    const float* base = values_ + z * strides_[2];
    const int64_t volumes = volumes_;
    // Already the engine's order (each voxel's time course whole, x fastest,
    // then y): one copy.
    if (strides_[3] == 1 && strides_[0] == volumes && strides_[1] == dimX_ * volumes) {
        std::memcpy(out, base, static_cast<std::size_t>(sliceValues_) * sizeof(float));
        return true;
    }
    // Volumes apart (NIfTI's order): read as stored, volume after volume.
    if (strides_[3] > strides_[0]) {
        for (int64_t t = 0; t < volumes; ++t)
            for (int64_t y = 0; y < dimY_; ++y) {
                const float* from = base + y * strides_[1] + t * strides_[3];
                float* to = out + y * dimX_ * volumes + t;
                for (int64_t x = 0; x < dimX_; ++x) to[x * volumes] = from[x * strides_[0]];
            }
        return true;
    }
    for (int64_t y = 0; y < dimY_; ++y)
        for (int64_t x = 0; x < dimX_; ++x) {
            const float* from = base + x * strides_[0] + y * strides_[1];
            float* to = out + (y * dimX_ + x) * volumes;
            for (int64_t t = 0; t < volumes; ++t) to[t] = from[t * strides_[3]];
        }
    return true;
}

}  // namespace ldi
