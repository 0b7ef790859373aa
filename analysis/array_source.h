// A run held in memory as a slice source, read where it lies: a front end
// that already holds the data (ldi's Python module, over a numpy array) hands
// over the values and their layout instead of writing a file. Each slice is
// gathered from the array when the engine asks for it, so the run is never
// copied whole; a layout already in the engine's order is copied slice by
// slice with one memcpy.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/slice_source.h"
#include "formats/nifti_image.h"

namespace ldi {

// float32 values of a 4D run on the grid of `header` (its dimensions, affine
// and pixdim[4]; the data type is ignored): the value of voxel (x, y, z) in
// volume t at values[x * strides[0] + y * strides[1] + z * strides[2] +
// t * strides[3]] (strides counted in values, not bytes). The values belong to
// the caller and must outlive the analysis.
struct RunArray {
    const float* values = nullptr;
    std::array<int64_t, 4> strides{};
    NiftiHeader header;
};

// The strides of a contiguous array stored x fastest, then y, z and t (the
// NIfTI order, numpy's Fortran order of an (x, y, z, t) array).
std::array<int64_t, 4> volumeOrderStrides(const NiftiHeader& header);

class ArraySliceSource : public SliceSource {
public:
    // Takes the array (which stays the caller's) and judges each voxel usable
    // on the volumes from `firstJudged` (0-based) on. False with a message
    // naming the run when the array is missing or too large for the engine.
    bool load(const std::string& name, const RunArray& array, int32_t firstJudged, std::string& problem);

    const std::string& name() const override { return name_; }
    int32_t numVolumes() const override { return volumes_; }
    bool holdsFloats() const override { return true; }
    int32_t sliceValueCount() const override { return sliceValues_; }
    int64_t sliceBytes() const override { return static_cast<int64_t>(sliceValues_) * 4; }
    void allocateSlice(SliceValues& slice) const override;
    bool readSlice(int32_t z, SliceValues& slice) override;

    // Per voxel of the grid ([z][y][x]): 1 when its values from the judged
    // volume on are all finite and not all equal.
    const std::vector<uint8_t>& usable() const { return usable_; }

private:
    std::string name_;
    const float* values_ = nullptr;
    std::array<int64_t, 4> strides_{};
    int64_t dimX_ = 0, dimY_ = 0, dimZ_ = 0;
    int32_t volumes_ = 0;
    int32_t sliceValues_ = 0;
    std::vector<uint8_t> usable_;
};

}  // namespace ldi
