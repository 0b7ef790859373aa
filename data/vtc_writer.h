// Writing VTC files: the header from its fields, and the data section from
// values in file order (voxel-major, time fastest, x then y then z), as
// docs/vtc_format.md describes the format the reader of vtc_file.h takes.
//
// Values are given as float or double and stored in the header's element
// type: float32, or unsigned 16-bit rounded to the nearest integer and
// clamped to 0..65535 (see vtcStoredUint16). A whole file can be built in
// memory (vtcHeaderBytes, appendVtcValue) or streamed with VtcWriter, which
// never holds more than the values of one write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "data/grid_box.h"
#include "data/vtc_file.h"

namespace ldi {

// The grid box fields (xStart .. resolution) come from GridBox.
struct VtcHeaderFields : GridBox {
    VtcHeaderFields() { resolution = 3; }

    int32_t version = 3;  // 2 writes the version 2 layout, 3 and above the version 3 layout
    std::string sourceName;
    int32_t linkedProtocols = 1;  // written from version 3 on
    std::string protocolName;
    int32_t currentProtocol = 0;  // written from version 3 on
    int32_t dataType = VTC_DATA_TYPE_FLOAT;  // written from version 3 on; version 2 data is uint16
    int32_t numVolumes = 0;
    float tr = 2000.0f;
    // False leaves out a name's closing NUL, so that the fields after it run
    // into the name: for making damaged files that the reader must refuse.
    bool terminateSourceName = true;
    bool terminateProtocolName = true;
};

// The header's bytes. Every integer field is stored as an int16, as the
// format has it: a value outside that range keeps its low 16 bits (65535 is
// stored as 0xFFFF and reads back as -1).
std::string vtcHeaderBytes(const VtcHeaderFields& fields);

// True when the header describes float32 data (version 3 and above with data
// type 2 as stored); otherwise the data are unsigned 16-bit.
bool vtcFieldsHoldFloats(const VtcHeaderFields& fields);

// A value as unsigned 16-bit data stores it: rounded to the nearest integer
// (halves away from zero), 0 for anything not above 0 (NaN included), 65535
// for anything from 65535 on.
uint16_t vtcStoredUint16(double value);

// Appends one value, little-endian, as float32 or as vtcStoredUint16 gives it.
void appendVtcValue(std::string& bytes, float value, bool floatData);
void appendVtcValue(std::string& bytes, double value, bool floatData);

// Writes a VTC file piece by piece: open writes the header, each write
// appends values in file order (one z-slice at a time keeps memory small and
// hands the system large writes), close finishes the file. Every failure
// gives a message naming the path; after one, the file is incomplete.
class VtcWriter {
public:
    VtcWriter() = default;
    ~VtcWriter();
    VtcWriter(const VtcWriter&) = delete;
    VtcWriter& operator=(const VtcWriter&) = delete;

    // Creates the file (replacing one of the same name) and writes the header.
    bool open(const std::string& path, const VtcHeaderFields& fields, std::string& problem);
    bool write(const float* values, std::size_t count, std::string& problem);
    bool write(const double* values, std::size_t count, std::string& problem);
    bool close(std::string& problem);

private:
    template <typename Value>
    bool writeValues(const Value* values, std::size_t count, std::string& problem);
    bool writeBuffer(std::string& problem);
    bool failed(std::string& problem);

    std::FILE* file_ = nullptr;
    std::string path_;
    bool floatData_ = true;
    std::string buffer_;
};

}  // namespace ldi
