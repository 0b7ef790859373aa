#include "data/vtc_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>


#include <sys/types.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace ldi {

namespace {

// Byte offsets in a VTC file. Windows's C library keeps off_t at 32 bits and
// has its own 64-bit seek and tell.
#if defined(_WIN32)
using FileOffset = int64_t;
int seekFile(std::FILE* file, FileOffset offset, int origin) { return _fseeki64(file, offset, origin); }
FileOffset tellFile(std::FILE* file) { return _ftelli64(file); }
#else
using FileOffset = off_t;
int seekFile(std::FILE* file, FileOffset offset, int origin) { return fseeko(file, offset, origin); }
FileOffset tellFile(std::FILE* file) { return ftello(file); }
#endif
static_assert(sizeof(FileOffset) >= 8, "VTC files of 2 GiB and more need 64-bit file offsets");

bool readBytes(std::FILE* file, unsigned char* bytes, std::size_t count) {
    return std::fread(bytes, 1, count, file) == count;
}

// Little-endian signed 16-bit value, widened with its sign.
bool readInt16(std::FILE* file, int32_t& value) {
    unsigned char bytes[2];
    if (!readBytes(file, bytes, 2)) {
        return false;
    }
    const uint16_t raw = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    value = static_cast<int16_t>(raw);
    return true;
}

bool readFloat32(std::FILE* file, float& value) {
    unsigned char bytes[4];
    if (!readBytes(file, bytes, 4)) {
        return false;
    }
    const uint32_t raw = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    std::memcpy(&value, &raw, sizeof value);
    return true;
}

// A NUL-terminated name. Bytes beyond VTC_MAX_NAME_LENGTH are consumed but not
// kept, so that a long name neither overruns the field nor shifts the data
// offset. A file that ends before the NUL is a truncated header.
bool readName(std::FILE* file, std::string& name) {
    name.clear();
    for (;;) {
        const int c = std::fgetc(file);
        if (c == EOF) {
            return false;
        }
        if (c == 0) {
            return true;
        }
        if (name.size() < VTC_MAX_NAME_LENGTH) {
            name.push_back(static_cast<char>(c));
        }
    }
}

// trunc(tr + 0.5) in float32; false when the result has no int32 value
// (NaN, infinity or out of range), which would make the conversion undefined.
bool roundTr(float tr, int32_t& rounded) {
    const float value = std::trunc(tr + 0.5f);
    if (!std::isfinite(value) || value < -2147483648.0f || value >= 2147483648.0f) {
        return false;
    }
    rounded = static_cast<int32_t>(value);
    return true;
}

// The grid must have at least one voxel along every axis, at least one volume,
// and sizes that the readers can address: a slice count that fits int32 and a
// data section whose end fits a 64-bit file offset.
bool describesUsableGrid(const VtcHeader& h) {
    if (h.resolution <= 0 || h.numVolumes <= 0) {
        return false;
    }
    if (h.xEnd < h.xStart || h.yEnd < h.yStart || h.zEnd < h.zStart) {
        return false;
    }
    // int16 inputs: every difference and quotient below fits comfortably in 64 bits.
    const int64_t dimX = (static_cast<int64_t>(h.xEnd) - h.xStart) / h.resolution;
    const int64_t dimY = (static_cast<int64_t>(h.yEnd) - h.yStart) / h.resolution;
    const int64_t dimZ = (static_cast<int64_t>(h.zEnd) - h.zStart) / h.resolution;
    if (dimX <= 0 || dimY <= 0 || dimZ <= 0) {
        return false;
    }
    const int64_t sliceValues = dimX * dimY * h.numVolumes;
    if (sliceValues > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    const int64_t elementSize = h.dataType == VTC_DATA_TYPE_FLOAT ? 4 : 2;
    const int64_t maxOffset = std::numeric_limits<int64_t>::max();
    if (sliceValues * elementSize > (maxOffset - h.dataOffset) / dimZ) {
        return false;
    }
    return true;
}

}  // namespace

bool readVtcHeader(std::FILE* file, VtcHeader& header) {
    if (file == nullptr) {
        return false;
    }
    int32_t version = 0;
    if (!readInt16(file, version) || version < 2) {
        return false;
    }
    const bool layout3 = version >= 3;
    if (!readName(file, header.sourceName)) {
        return false;
    }
    if (layout3) {
        int32_t linkedProtocols = 0;
        if (!readInt16(file, linkedProtocols) || linkedProtocols > 1) {
            return false;
        }
    }
    // Exactly one protocol name follows, whatever the count above says.
    if (!readName(file, header.protocolName)) {
        return false;
    }
    if (layout3) {
        int32_t currentProtocol = 0;
        if (!readInt16(file, currentProtocol) || !readInt16(file, header.dataType)) {
            return false;
        }
    } else {
        header.dataType = 1;
    }
    int32_t* const gridFields[] = {&header.numVolumes, &header.resolution, &header.xStart, &header.xEnd,
                                   &header.yStart,     &header.yEnd,       &header.zStart, &header.zEnd};
    for (int32_t* field : gridFields) {
        if (!readInt16(file, *field)) {
            return false;
        }
    }
    unsigned char ignored[12];
    if (!readBytes(file, ignored, 2)) {  // two bytes (version 3) or one int16 (version 2)
        return false;
    }
    float tr = 0.0f;
    if (!readFloat32(file, tr) || !roundTr(tr, header.tr)) {
        return false;
    }
    if (!layout3 && !readBytes(file, ignored, 12)) {  // two float32 and two int16
        return false;
    }
    const FileOffset position = tellFile(file);
    if (position < 0) {
        return false;
    }
    header.dataOffset = static_cast<int64_t>(position);
    return describesUsableGrid(header);
}

int32_t vtcDimX(const VtcHeader& header) { return gridSizeOf(header).dimX; }

int32_t vtcDimY(const VtcHeader& header) { return gridSizeOf(header).dimY; }

int32_t vtcDimZ(const VtcHeader& header) { return gridSizeOf(header).dimZ; }

int32_t vtcElementSize(const VtcHeader& header) {
    return header.dataType == VTC_DATA_TYPE_FLOAT ? 4 : 2;
}

int32_t vtcSliceValueCount(const VtcHeader& header) {
    return vtcDimY(header) * vtcDimX(header) * header.numVolumes;
}

int64_t vtcDataSize(const VtcHeader& header) {
    return static_cast<int64_t>(vtcSliceValueCount(header)) * vtcDimZ(header) * vtcElementSize(header);
}

int64_t vtcVoxelOffset(const VtcHeader& header, int32_t x, int32_t y, int32_t z) {
    const int64_t voxel = (static_cast<int64_t>(z) * vtcDimY(header) + y) * vtcDimX(header) + x;
    return header.dataOffset + voxel * vtcElementSize(header) * header.numVolumes;
}

void allocateVtcValues(VtcValues& values, const VtcHeader& header, int32_t count) {
    values.floats.reset();
    values.shorts.reset();
    values.capacity = 0;
    const std::size_t size = count > 0 ? static_cast<std::size_t>(count) : 0;
    // Left uninitialised on purpose: a header that promises a large grid in a
    // short file then costs address space only until the first short read.
    if (header.dataType == VTC_DATA_TYPE_FLOAT) {
        values.floats = makeLargeArray<float>(size);
    } else {
        values.shorts = makeLargeArray<uint16_t>(size);
    }
    values.capacity = count > 0 ? count : 0;
}

void VtcFileCloser::operator()(std::FILE* file) const {
    if (file != nullptr) {
        std::fclose(file);
    }
}

std::unique_ptr<VtcFile> makeVtcFile(const std::string& path, const VtcHeader& header, VtcHandle file) {
    auto vtc = std::make_unique<VtcFile>();
    vtc->path = path;
    vtc->header = header;
    vtc->handle = std::move(file);
    vtc->sliceValueCount = vtcSliceValueCount(header);
    return vtc;
}

bool seekVtc(std::FILE* file, int64_t offset) {
    if (file == nullptr || offset < 0 || offset > std::numeric_limits<FileOffset>::max()) {
        return false;
    }
    return seekFile(file, static_cast<FileOffset>(offset), SEEK_SET) == 0;
}

namespace {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool hostIsBigEndian = true;
#else
constexpr bool hostIsBigEndian = false;
#endif

// VTC values are little-endian; on a big-endian host they are swapped in place.
void toHostOrder(uint16_t* values, int32_t count) {
    if (hostIsBigEndian) {
        for (int32_t i = 0; i < count; ++i) {
            values[i] = static_cast<uint16_t>((values[i] >> 8) | (values[i] << 8));
        }
    }
}

void toHostOrder(float* values, int32_t count) {
    if (hostIsBigEndian) {
        for (int32_t i = 0; i < count; ++i) {
            uint32_t raw = 0;
            std::memcpy(&raw, &values[i], sizeof raw);
            raw = (raw >> 24) | ((raw >> 8) & 0xFF00u) | ((raw << 8) & 0xFF0000u) | (raw << 24);
            std::memcpy(&values[i], &raw, sizeof raw);
        }
    }
}

}  // namespace

bool readVtcValues(std::FILE* file, const VtcHeader& header, int32_t count, VtcValues& values) {
    if (file == nullptr || count < 0 || count > values.capacity) {
        return false;
    }
    const std::size_t size = static_cast<std::size_t>(count);
    if (header.dataType == VTC_DATA_TYPE_FLOAT) {
        if (!values.floats || std::fread(values.floats.get(), sizeof(float), size, file) != size) {
            return false;
        }
        toHostOrder(values.floats.get(), count);
    } else {
        if (!values.shorts || std::fread(values.shorts.get(), sizeof(uint16_t), size, file) != size) {
            return false;
        }
        toHostOrder(values.shorts.get(), count);
    }
    return true;
}

bool vtcReadsArePositional(std::FILE* file) {
#if defined(_WIN32)
    // A read at an offset there (ReadFile with an OVERLAPPED offset) moves the
    // handle's position under the C library's buffer: readers take turns and
    // seek instead.
    (void)file;
    return false;
#else
    return file != nullptr && fileno(file) >= 0;
#endif
}

bool readVtcValuesAt(std::FILE* file, const VtcHeader& header, int64_t offset, int32_t count, VtcValues& values) {
    if (file == nullptr || offset < 0 || count < 0 || count > values.capacity) return false;
#if !defined(_WIN32)
    if (vtcReadsArePositional(file)) {
        const bool isFloat = header.dataType == VTC_DATA_TYPE_FLOAT;
        unsigned char* target = isFloat ? reinterpret_cast<unsigned char*>(values.floats.get())
                                        : reinterpret_cast<unsigned char*>(values.shorts.get());
        if (target == nullptr) return false;
        const int64_t bytes = static_cast<int64_t>(count) * (isFloat ? 4 : 2);
        if (offset > std::numeric_limits<off_t>::max() - bytes) return false;
        const int descriptor = fileno(file);
        int64_t done = 0;
        while (done < bytes) {
            const ssize_t got = pread(descriptor, target + done, static_cast<std::size_t>(bytes - done),
                                      static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += got;
        }
        if (isFloat) {
            toHostOrder(values.floats.get(), count);
        } else {
            toHostOrder(values.shorts.get(), count);
        }
        return true;
    }
#endif
    return seekVtc(file, offset) && readVtcValues(file, header, count, values);
}

bool readVtcSlice(const VtcFile& file, int32_t z, VtcValues& slice) {
    if (z < 0 || z >= vtcDimZ(file.header)) return false;
    const int64_t sliceBytes = static_cast<int64_t>(file.sliceValueCount) * vtcElementSize(file.header);
    return readVtcValuesAt(file.handle.get(), file.header, file.header.dataOffset + z * sliceBytes,
                           file.sliceValueCount, slice);
}

bool readVtcVoxel(std::FILE* file, const VtcHeader& header, int32_t x, int32_t y, int32_t z, VtcValues& values) {
    if (x < 0 || y < 0 || z < 0 || x >= vtcDimX(header) || y >= vtcDimY(header) || z >= vtcDimZ(header)) {
        return false;
    }
    return readVtcValuesAt(file, header, vtcVoxelOffset(header, x, y, z), header.numVolumes, values);
}

bool vtcDataSectionIsComplete(std::FILE* file, const VtcHeader& header, int64_t& fileSize) {
    fileSize = 0;
    if (seekFile(file, 0, SEEK_END) != 0) {
        return false;
    }
    const FileOffset end = tellFile(file);
    if (end < 0 || !seekVtc(file, header.dataOffset)) {
        return false;
    }
    fileSize = static_cast<int64_t>(end);
    return fileSize - header.dataOffset >= vtcDataSize(header);
}

}  // namespace ldi
