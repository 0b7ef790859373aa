#include "support/vtc_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <unistd.h>

namespace {

void putInt16(std::vector<unsigned char>& out, int value) {
    const auto raw = static_cast<uint16_t>(value);
    out.push_back(static_cast<unsigned char>(raw & 0xFF));
    out.push_back(static_cast<unsigned char>(raw >> 8));
}

void putUint16(std::vector<unsigned char>& out, uint16_t raw) {
    out.push_back(static_cast<unsigned char>(raw & 0xFF));
    out.push_back(static_cast<unsigned char>(raw >> 8));
}

void putFloat32(std::vector<unsigned char>& out, float value) {
    uint32_t raw = 0;
    std::memcpy(&raw, &value, sizeof raw);
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<unsigned char>((raw >> shift) & 0xFF));
    }
}

void putName(std::vector<unsigned char>& out, const std::string& name, bool terminate) {
    out.insert(out.end(), name.begin(), name.end());
    if (terminate) {
        out.push_back(0);
    }
}

std::vector<unsigned char> headerBytes(const VtcWriterOptions& o) {
    std::vector<unsigned char> out;
    const bool layout3 = o.version >= 3;
    putInt16(out, o.version);
    putName(out, o.sourceName, o.terminateSourceName);
    if (layout3) {
        putInt16(out, o.linkedProtocols);
    }
    putName(out, o.protocolName, o.terminateProtocolName);
    if (layout3) {
        putInt16(out, o.currentProtocol);
        putInt16(out, o.dataType);
    }
    for (int field : {o.numVolumes, o.resolution, o.xStart, o.xEnd, o.yStart, o.yEnd, o.zStart, o.zEnd}) {
        putInt16(out, field);
    }
    if (layout3) {
        out.push_back(0);
        out.push_back(0);
    } else {
        putInt16(out, 0);
    }
    putFloat32(out, o.tr);
    if (!layout3) {
        putFloat32(out, 0.0f);
        putFloat32(out, 0.0f);
        putInt16(out, 0);
        putInt16(out, 0);
    }
    return out;
}

// The header stores every grid field as int16; the grid follows the stored values.
int storedInt16(int value) {
    return static_cast<int16_t>(static_cast<uint16_t>(value));
}

int dimension(int start, int end, int resolution) {
    const int s = storedInt16(start);
    const int e = storedInt16(end);
    const int r = storedInt16(resolution);
    if (r <= 0 || e < s) {
        return 0;
    }
    return (e - s) / r;
}

uint16_t toUint16(float value) {
    if (!(value > 0.0f)) {
        return 0;
    }
    if (value >= 65535.0f) {
        return 65535;
    }
    return static_cast<uint16_t>(std::lround(value));
}

float rawValue(const VtcWriterOptions& o, int x, int y, int z, int t) {
    if (!o.values.empty()) {
        const long long index =
            ((static_cast<long long>(z) * testVtcDimY(o) + y) * testVtcDimX(o) + x) * storedInt16(o.numVolumes) + t;
        return index >= 0 && index < static_cast<long long>(o.values.size()) ? o.values[index] : 0.0f;
    }
    return o.value ? o.value(x, y, z, t) : 0.0f;
}

}  // namespace

bool testVtcIsFloat(const VtcWriterOptions& options) {
    return options.version >= 3 && storedInt16(options.dataType) == 2;
}

long long testVtcHeaderSize(const VtcWriterOptions& options) {
    return static_cast<long long>(headerBytes(options).size());
}

int testVtcDimX(const VtcWriterOptions& options) {
    return dimension(options.xStart, options.xEnd, options.resolution);
}

int testVtcDimY(const VtcWriterOptions& options) {
    return dimension(options.yStart, options.yEnd, options.resolution);
}

int testVtcDimZ(const VtcWriterOptions& options) {
    return dimension(options.zStart, options.zEnd, options.resolution);
}

float testVtcStoredValue(const VtcWriterOptions& options, int x, int y, int z, int t) {
    const float value = rawValue(options, x, y, z, t);
    return testVtcIsFloat(options) ? value : static_cast<float>(toUint16(value));
}

bool writeTestVtc(const std::string& path, const VtcWriterOptions& options) {
    std::vector<unsigned char> bytes = headerBytes(options);
    const bool isFloat = testVtcIsFloat(options);
    if (!options.values.empty()) {
        for (float value : options.values) {
            if (isFloat) {
                putFloat32(bytes, value);
            } else {
                putUint16(bytes, toUint16(value));
            }
        }
    } else {
        const int volumes = storedInt16(options.numVolumes);
        const int dimX = testVtcDimX(options);
        const int dimY = testVtcDimY(options);
        const int dimZ = testVtcDimZ(options);
        for (int z = 0; z < dimZ; ++z) {
            for (int y = 0; y < dimY; ++y) {
                for (int x = 0; x < dimX; ++x) {
                    for (int t = 0; t < volumes; ++t) {
                        const float value = rawValue(options, x, y, z, t);
                        if (isFloat) {
                            putFloat32(bytes, value);
                        } else {
                            putUint16(bytes, toUint16(value));
                        }
                    }
                }
            }
        }
    }
    if (options.truncateAt >= 0 && options.truncateAt < static_cast<long long>(bytes.size())) {
        bytes.resize(static_cast<std::size_t>(options.truncateAt));
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

TestTempDir::TestTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ldi-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("could not create a temporary folder from " + pattern);
    }
    root_ = buffer.data();
}

TestTempDir::~TestTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string TestTempDir::path(const std::string& name) const {
    return root_ + "/" + name;
}
