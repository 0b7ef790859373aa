// A source of voxel time courses: a grid read one z-slice at a time, each
// slice holding the time courses of its voxels one after the other (x fastest,
// then y), in float32 or in unsigned 16-bit values. The VTC file is one such
// source; any other format only has to present its slices the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "data/vtc_file.h"

namespace ldi {

// The values of one slice in the source's own element type (see VtcValues).
using SliceValues = VtcValues;

class SliceSource {
public:
    virtual ~SliceSource() = default;
    // How the source is named in messages and logs (a path).
    virtual const std::string& name() const = 0;
    virtual int32_t numVolumes() const = 0;
    // float32 values; otherwise unsigned 16-bit ones.
    virtual bool holdsFloats() const = 0;
    // Values in one slice: dimX * dimY * numVolumes.
    virtual int32_t sliceValueCount() const = 0;
    // Bytes of one slice as the source stores it.
    virtual int64_t sliceBytes() const = 0;
    // Room for one slice in the source's element type.
    virtual void allocateSlice(SliceValues& slice) const = 0;
    // Reads slice z into `slice`; false when it is not complete. Threads may
    // read different slices at once.
    virtual bool readSlice(int32_t z, SliceValues& slice) = 0;
    // The values of one voxel (its index in the grid, x fastest, then y, then
    // z) as float32, numVolumes() of them; false when they cannot be read.
    // By default through its whole slice; a source that holds the run in
    // memory reads the voxel alone (a seed's few voxels need not cost a
    // slice's room and copy each).
    virtual bool readTimeCourse(int64_t voxel, float* out);
};

// An opened VTC file as a source. Reads are positional where the system offers
// them; elsewhere the readers take turns at the file's position.
class VtcSliceSource : public SliceSource {
public:
    explicit VtcSliceSource(VtcFile& file) : file_(file) {}
    const std::string& name() const override { return file_.path; }
    int32_t numVolumes() const override { return file_.header.numVolumes; }
    bool holdsFloats() const override { return file_.isFloat(); }
    int32_t sliceValueCount() const override { return file_.sliceValueCount; }
    int64_t sliceBytes() const override;
    void allocateSlice(SliceValues& slice) const override;
    bool readSlice(int32_t z, SliceValues& slice) override;
    VtcFile& file() const { return file_; }

private:
    VtcFile& file_;
    std::mutex turns_;
};

}  // namespace ldi
