#include "engine/slice_source.h"

namespace ldi {

bool SliceSource::readTimeCourse(int64_t voxel, float* out) {
    const int32_t volumes = numVolumes();
    const int64_t sliceVoxels = volumes > 0 ? sliceValueCount() / volumes : 0;
    if (voxel < 0 || sliceVoxels <= 0) return false;
    SliceValues slice;
    allocateSlice(slice);
    if (!readSlice(static_cast<int32_t>(voxel / sliceVoxels), slice)) return false;
    const int64_t at = voxel % sliceVoxels * volumes;
    for (int32_t t = 0; t < volumes; ++t)
        out[t] = slice.floats ? slice.floats[at + t] : static_cast<float>(slice.shorts[at + t]);
    return true;
}

int64_t VtcSliceSource::sliceBytes() const {
    return static_cast<int64_t>(file_.sliceValueCount) * vtcElementSize(file_.header);
}

void VtcSliceSource::allocateSlice(SliceValues& slice) const {
    allocateVtcValues(slice, file_.header, file_.sliceValueCount);
}

bool VtcSliceSource::readSlice(int32_t z, SliceValues& slice) {
    std::unique_lock<std::mutex> lock(turns_, std::defer_lock);
    if (!vtcReadsArePositional(file_.handle.get())) lock.lock();
    return readVtcSlice(file_, z, slice);
}

}  // namespace ldi
