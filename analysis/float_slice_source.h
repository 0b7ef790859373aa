// What the slice sources of NIfTI runs (read from a file, or held by the
// caller as an array) share: float32 values, the run's shape within the
// engine's 32-bit counts, and the voxels usable in the maps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/slice_source.h"
#include "formats/nifti_image.h"

namespace ldi {

class FloatSliceSource : public SliceSource {
public:
    const std::string& name() const override { return name_; }
    int32_t numVolumes() const override { return volumes_; }
    bool holdsFloats() const override { return true; }
    int32_t sliceValueCount() const override { return sliceValues_; }
    int64_t sliceBytes() const override { return static_cast<int64_t>(sliceValues_) * 4; }
    void allocateSlice(SliceValues& slice) const override;

    // Per voxel of the grid ([z][y][x]): 1 when its values from the judged
    // volume on are all finite and not all equal.
    const std::vector<uint8_t>& usable() const { return usable_; }

protected:
    // Takes the run's name and shape; false with a message naming the run
    // when a slice's values or a volume's voxels overflow the engine's 32-bit
    // counts.
    bool setShape(const std::string& name, const NiftiHeader& header, std::string& problem);

    std::string name_;
    int64_t dimX_ = 0, dimY_ = 0, dimZ_ = 0;
    int32_t volumes_ = 0;
    int32_t sliceValues_ = 0;
    std::vector<uint8_t> usable_;
};

}  // namespace ldi
