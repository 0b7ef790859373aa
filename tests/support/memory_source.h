// A slice source held in memory: float32 values given in the engine's slice
// order, for tests that feed the engine data without a file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/slice_source.h"

namespace ldi {

class MemorySliceSource : public SliceSource {
public:
    // `values`: slice after slice, in each slice voxel after voxel (x fastest,
    // then y), each voxel's `volumes` values together.
    MemorySliceSource(std::string name, int32_t dimX, int32_t dimY, int32_t volumes, std::vector<float> values)
        : name_(std::move(name)), sliceValues_(dimX * dimY * volumes), volumes_(volumes), values_(std::move(values)) {}

    const std::string& name() const override { return name_; }
    int32_t numVolumes() const override { return volumes_; }
    bool holdsFloats() const override { return true; }
    int32_t sliceValueCount() const override { return sliceValues_; }
    int64_t sliceBytes() const override { return int64_t{4} * sliceValues_; }
    void allocateSlice(SliceValues& slice) const override {
        slice.floats = makeLargeArray<float>(static_cast<std::size_t>(sliceValues_));
        slice.capacity = sliceValues_;
    }
    bool readSlice(int32_t z, SliceValues& slice) override {
        const std::size_t first = static_cast<std::size_t>(z) * static_cast<std::size_t>(sliceValues_);
        if (z < 0 || first + static_cast<std::size_t>(sliceValues_) > values_.size() || slice.capacity < sliceValues_)
            return false;
        std::copy(values_.begin() + static_cast<std::ptrdiff_t>(first),
                  values_.begin() + static_cast<std::ptrdiff_t>(first) + sliceValues_, slice.floats.get());
        return true;
    }

private:
    std::string name_;
    int32_t sliceValues_;
    int32_t volumes_;
    std::vector<float> values_;
};

}  // namespace ldi
