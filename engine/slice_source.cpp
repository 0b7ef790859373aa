#include "engine/slice_source.h"

namespace ldi {

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
