#include "analysis/float_slice_source.h"

#include <limits>

namespace ldi {

void FloatSliceSource::allocateSlice(SliceValues& slice) const {
    slice.shorts.reset();
    slice.floats = makeLargeArray<float>(static_cast<std::size_t>(sliceValues_));
    slice.capacity = sliceValues_;
}

bool FloatSliceSource::setShape(const std::string& name, const NiftiHeader& header, std::string& problem) {
    name_ = name;
    dimX_ = header.nx();
    dimY_ = header.ny();
    dimZ_ = header.nz();
    const int64_t volumes = header.volumes();
    const int64_t sliceVoxels = dimX_ * dimY_;
    constexpr int64_t most = std::numeric_limits<int32_t>::max();
    if (volumes > most || sliceVoxels * volumes > most || sliceVoxels * dimZ_ > most) {
        problem = name_ + ": the run is too large (" + std::to_string(dimX_) + " x " + std::to_string(dimY_) + " x " +
                  std::to_string(dimZ_) + " voxels x " + std::to_string(volumes) +
                  " volumes; one slice's values must stay below 2^31)";
        return false;
    }
    volumes_ = static_cast<int32_t>(volumes);
    sliceValues_ = static_cast<int32_t>(sliceVoxels * volumes);
    return true;
}

}  // namespace ldi
