#include "data/vtc_writer.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace ldi {

namespace {

void putInt16(std::string& bytes, int32_t value) {
    const auto raw = static_cast<uint16_t>(value);
    bytes.push_back(static_cast<char>(raw & 0xFF));
    bytes.push_back(static_cast<char>(raw >> 8));
}

void putFloat32(std::string& bytes, float value) {
    uint32_t raw = 0;
    std::memcpy(&raw, &value, sizeof raw);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((raw >> shift) & 0xFF));
}

void putName(std::string& bytes, const std::string& name, bool terminate) {
    bytes += name;
    if (terminate) bytes.push_back('\0');
}

}  // namespace

std::string vtcHeaderBytes(const VtcHeaderFields& f) {
    std::string bytes;
    const bool layout3 = f.version >= 3;
    putInt16(bytes, f.version);
    putName(bytes, f.sourceName, f.terminateSourceName);
    if (layout3) putInt16(bytes, f.linkedProtocols);
    putName(bytes, f.protocolName, f.terminateProtocolName);
    if (layout3) {
        putInt16(bytes, f.currentProtocol);
        putInt16(bytes, f.dataType);
    }
    for (int32_t field : {f.numVolumes, f.resolution, f.xStart, f.xEnd, f.yStart, f.yEnd, f.zStart, f.zEnd})
        putInt16(bytes, field);
    putInt16(bytes, 0);  // two single bytes (version 3) or an int16 (version 2), both unused
    putFloat32(bytes, f.tr);
    if (!layout3) {  // two float32 and two int16, unused
        putFloat32(bytes, 0.0f);
        putFloat32(bytes, 0.0f);
        putInt16(bytes, 0);
        putInt16(bytes, 0);
    }
    return bytes;
}

bool vtcFieldsHoldFloats(const VtcHeaderFields& fields) {
    return fields.version >= 3 && static_cast<int16_t>(static_cast<uint16_t>(fields.dataType)) ==
                                      VTC_DATA_TYPE_FLOAT;
}

uint16_t vtcStoredUint16(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 65535.0) return 65535;
    return static_cast<uint16_t>(std::lround(value));
}

void appendVtcValue(std::string& bytes, float value, bool floatData) {
    if (floatData)
        putFloat32(bytes, value);
    else
        putInt16(bytes, vtcStoredUint16(value));
}

void appendVtcValue(std::string& bytes, double value, bool floatData) {
    if (floatData)
        putFloat32(bytes, static_cast<float>(value));
    else
        putInt16(bytes, vtcStoredUint16(value));
}

VtcWriter::~VtcWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

bool VtcWriter::failed(std::string& problem) {
    problem = "cannot write " + path_ + ": " + std::strerror(errno);
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    return false;
}

bool VtcWriter::open(const std::string& path, const VtcHeaderFields& fields, std::string& problem) {
    if (file_ != nullptr) std::fclose(file_);
    path_ = path;
    floatData_ = vtcFieldsHoldFloats(fields);
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) return failed(problem);
    buffer_ = vtcHeaderBytes(fields);
    return writeBuffer(problem);
}

bool VtcWriter::writeBuffer(std::string& problem) {
    if (file_ == nullptr) {
        errno = EBADF;
        return failed(problem);
    }
    if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
        return failed(problem);
    buffer_.clear();
    return true;
}

template <typename Value>
bool VtcWriter::writeValues(const Value* values, std::size_t count, std::string& problem) {
    buffer_.clear();
    buffer_.reserve(count * (floatData_ ? 4 : 2));
    for (std::size_t i = 0; i < count; ++i) appendVtcValue(buffer_, values[i], floatData_);
    return writeBuffer(problem);
}

bool VtcWriter::write(const float* values, std::size_t count, std::string& problem) {
    return writeValues(values, count, problem);
}

bool VtcWriter::write(const double* values, std::size_t count, std::string& problem) {
    return writeValues(values, count, problem);
}

bool VtcWriter::close(std::string& problem) {
    if (file_ == nullptr) {
        errno = EBADF;
        return failed(problem);
    }
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) return failed(problem);
    return true;
}

}  // namespace ldi
