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

// Longest source or protocol name kept; longer names are cut to this length
// while the rest of the name is still consumed, so the data offset stays right.
constexpr std::size_t VTC_MAX_NAME_LENGTH = 260;

// Value of `dataType` for float32 data; any other value means unsigned 16-bit.
constexpr int32_t VTC_DATA_TYPE_FLOAT = 2;

struct VtcHeader {
    // File position after the header, where the data section begins. 64 bits
    // so that files of 2 GiB and more are addressed correctly.
    int64_t dataOffset = 0;
    int32_t numVolumes = 0;
    int32_t tr = 0;  // repetition time, rounded to an integer (half up)
    int32_t xStart = 0;
    int32_t xEnd = 0;
    int32_t yStart = 0;
    int32_t yEnd = 0;
    int32_t zStart = 0;
    int32_t zEnd = 0;
    int32_t resolution = 0;
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

// Byte offset of the first value of grid voxel (x, y, z), computed in 64 bits.
int64_t vtcVoxelOffset(const VtcHeader& header, int32_t x, int32_t y, int32_t z);
