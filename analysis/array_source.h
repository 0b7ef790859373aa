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

#include "analysis/float_slice_source.h"
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

class ArraySliceSource : public FloatSliceSource {
public:
    // Takes the array (which stays the caller's) and judges each voxel usable
    // on the volumes from `firstJudged` (0-based) on. False with a message
    // naming the run when the array is missing or too large for the engine.
    bool load(const std::string& name, const RunArray& array, int32_t firstJudged, std::string& problem);

    bool readSlice(int32_t z, SliceValues& slice) override;


private:
    const float* values_ = nullptr;
    std::array<int64_t, 4> strides_{};
};

}  // namespace ldi
