// Any byte sequence given as a VTC file: the header reader must accept or
// reject it without reading out of bounds, and an accepted header must
// describe a grid the data readers can walk safely.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "data/vtc_file.h"
#include "fuzz_check.h"

using namespace ldi;

namespace {

// Keeps the slice and voxel reads of a single input small: the header may
// promise gigabytes, which the reader allocates only when the run starts.
constexpr int32_t largestSliceRead = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "rb");
    if (file == nullptr) return 0;
    VtcHandle handle(file);

    VtcHeader header;
    if (!readVtcHeader(file, header)) return 0;

    FUZZ_CHECK(header.sourceName.size() <= VTC_MAX_NAME_LENGTH);
    FUZZ_CHECK(header.protocolName.size() <= VTC_MAX_NAME_LENGTH);
    FUZZ_CHECK(header.dataOffset > 0 && header.dataOffset <= static_cast<int64_t>(size));
    FUZZ_CHECK(header.numVolumes > 0 && header.resolution > 0);
    const int32_t dimX = vtcDimX(header);
    const int32_t dimY = vtcDimY(header);
    const int32_t dimZ = vtcDimZ(header);
    FUZZ_CHECK(dimX > 0 && dimY > 0 && dimZ > 0);
    const int32_t sliceValues = vtcSliceValueCount(header);
    FUZZ_CHECK(sliceValues > 0);
    FUZZ_CHECK(static_cast<int64_t>(sliceValues) ==
               static_cast<int64_t>(dimX) * dimY * header.numVolumes);
    FUZZ_CHECK(vtcVoxelOffset(header, dimX - 1, dimY - 1, dimZ - 1) > header.dataOffset ||
               (dimX == 1 && dimY == 1 && dimZ == 1));

    // Voxel reads: the first and the last voxel, and one outside the grid.
    VtcValues values;
    allocateVtcValues(values, header, header.numVolumes);
    readVtcVoxel(file, header, 0, 0, 0, values);
    readVtcVoxel(file, header, dimX - 1, dimY - 1, dimZ - 1, values);
    FUZZ_CHECK(!readVtcVoxel(file, header, dimX, 0, 0, values));

    // Slice reads through the opened-file object, as the voxel pass does them.
    if (sliceValues <= largestSliceRead) {
        std::unique_ptr<VtcFile> vtc = makeVtcFile("fuzz.vtc", header, std::move(handle));
        VtcValues slice;
        allocateVtcValues(slice, vtc->header, vtc->sliceValueCount);
        for (int32_t z = 0; z < dimZ && readVtcSlice(*vtc, z, slice); ++z) {
            // The buffer holds the whole slice, up to the last voxel's last value.
            FUZZ_CHECK(slice.capacity >= sliceValues);
            volatile float lastValue = vtc->isFloat() ? slice.floats[sliceValues - 1]
                                                      : static_cast<float>(slice.shorts[sliceValues - 1]);
            (void)lastValue;
        }
    }
    return 0;
}
