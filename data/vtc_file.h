// VTC files: the header reader, the opened-file object of a run and the
// readers of its data section.
//
// A VTC file is a variable-length header followed by one time course per voxel
// of a box-shaped grid (voxel-major, time fastest, x then y then z). The format
// as this reader understands it is described in docs/vtc_format.md.
//
// The header reader works on any byte sequence: it never reads past what a
// field needs, never allocates from a header value, and rejects every header
// whose grid cannot be described (so a grid derived from an accepted header
// always has positive dimensions whose sizes fit the integer types used below).
#pragma once

#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "data/grid_box.h"
#include "stats/large_buffer.h"

namespace ldi {

// Longest source or protocol name kept; longer names are cut to this length
// while the rest of the name is still consumed, so the data offset stays right.
constexpr std::size_t VTC_MAX_NAME_LENGTH = 260;

// Value of `dataType` for float32 data; any other value means unsigned 16-bit.
constexpr int32_t VTC_DATA_TYPE_FLOAT = 2;

// The grid box fields (xStart .. resolution) come from GridBox.
struct VtcHeader : GridBox {
    // File position after the header, where the data section begins. 64 bits
    // so that files of 2 GiB and more are addressed correctly.
    int64_t dataOffset = 0;
    int32_t numVolumes = 0;
    int32_t tr = 0;  // repetition time, rounded to an integer (half up)
    int32_t dataType = 1;       // 2 = float32 values, anything else = uint16 values
    std::string protocolName;   // at most VTC_MAX_NAME_LENGTH bytes
    std::string sourceName;     // at most VTC_MAX_NAME_LENGTH bytes
};

// Reads the header of a file opened for binary reading and positioned at its
// start. On true the header is filled and the file is positioned at the first
// data value. On false the header was rejected (version below 2, more than one
// linked protocol, a grid that cannot be described, or a file that ends inside
// the header); the header's contents and the file position are then
// unspecified. Never closes the file.
bool readVtcHeader(std::FILE* file, VtcHeader& header);

// Grid size derived from a header (integer division of the box by the
// resolution). Only meaningful for a header that readVtcHeader accepted.
int32_t vtcDimX(const VtcHeader& header);
int32_t vtcDimY(const VtcHeader& header);
int32_t vtcDimZ(const VtcHeader& header);

// Bytes per stored value: 4 for float32 data, 2 for uint16 data.
int32_t vtcElementSize(const VtcHeader& header);

// Number of values in one z-slice: dimX * dimY * numVolumes. An accepted
// header guarantees that this fits in int32.
int32_t vtcSliceValueCount(const VtcHeader& header);

// Bytes of the data section an accepted header describes: dimX * dimY *
// dimZ * numVolumes values. An accepted header guarantees it fits in int64.
int64_t vtcDataSize(const VtcHeader& header);

// Byte offset of the first value of grid voxel (x, y, z), computed in 64 bits.
int64_t vtcVoxelOffset(const VtcHeader& header, int32_t x, int32_t y, int32_t z);

// Values of a VTC data section in the file's own element type: `floats` is
// used when the file holds float32 values, `shorts` when it holds uint16
// values; the other stays empty. Not zero-filled: every value is read from the
// file before it is used.
struct VtcValues {
    LargeArray<float> floats;
    LargeArray<uint16_t> shorts;
    int32_t capacity = 0;  // values
};

// Allocates room for `count` values of the header's element type.
void allocateVtcValues(VtcValues& values, const VtcHeader& header, int32_t count);

struct VtcFileCloser {
    void operator()(std::FILE* file) const;
};
using VtcHandle = std::unique_ptr<std::FILE, VtcFileCloser>;

// One opened VTC file of a run. It stays open until the run's tear-down. Its
// readers read at offsets (readVtcValuesAt), so none relies on where another
// left the file.
struct VtcFile {
    std::string path;  // as named by the set-up, compared byte for byte
    VtcHeader header;
    VtcHandle handle;
    int32_t sliceValueCount = 0;  // dimX * dimY * numVolumes of this file

    bool isFloat() const { return header.dataType == VTC_DATA_TYPE_FLOAT; }
};

// Makes a VtcFile that takes over `file` (already past its header) and
// computes its slice size.
std::unique_ptr<VtcFile> makeVtcFile(const std::string& path, const VtcHeader& header, VtcHandle file);

// Positions the file at an absolute byte offset (64-bit). False on failure.
bool seekVtc(std::FILE* file, int64_t offset);

// Reads `count` consecutive values of the header's element type at the current
// position into `values` (which must hold at least `count`). False when fewer
// values arrive.
bool readVtcValues(std::FILE* file, const VtcHeader& header, int32_t count, VtcValues& values);

// Reads `count` consecutive values starting at byte `offset`. Where the system
// offers positional reads (vtcReadsArePositional) this neither uses nor moves
// the stream's position, so threads may read one file at once; elsewhere it
// seeks and reads, which threads sharing the stream must take turns at.
bool readVtcValuesAt(std::FILE* file, const VtcHeader& header, int64_t offset, int32_t count, VtcValues& values);
bool vtcReadsArePositional(std::FILE* file);

// Reads z-slice z (sliceValueCount values) into `slice` with readVtcValuesAt.
// False when the slice is not complete (a short file, a read error, or z
// outside the grid); `slice` is then not usable.
bool readVtcSlice(const VtcFile& file, int32_t z, VtcValues& slice);

// Reads the whole time course of grid voxel (x, y, z) into `values` (at least
// numVolumes values) with readVtcValuesAt: one positional read where the system
// has them. False when the voxel lies outside the grid, the seek fails or the
// file ends early.
bool readVtcVoxel(std::FILE* file, const VtcHeader& header, int32_t x, int32_t y, int32_t z, VtcValues& values);

// True when the file holds at least the data section its header describes;
// leaves the file at the start of the data. `fileSize` receives the size found
// (0 when it could not be found).
bool vtcDataSectionIsComplete(std::FILE* file, const VtcHeader& header, int64_t& fileSize);

}  // namespace ldi
