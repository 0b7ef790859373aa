#include "support/vtc_writer.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <unistd.h>

namespace ldi {

namespace {

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

float rawValue(const VtcWriterOptions& o, int x, int y, int z, int t) {
    if (!o.values.empty()) {
        const long long index =
            ((static_cast<long long>(z) * testVtcDimY(o) + y) * testVtcDimX(o) + x) * storedInt16(o.numVolumes) + t;
        return index >= 0 && index < static_cast<long long>(o.values.size()) ? o.values[index] : 0.0f;
    }
    return o.value ? o.value(x, y, z, t) : 0.0f;
}

}  // namespace

VtcWriterOptions::VtcWriterOptions() {
    sourceName = "synthetic.fmr";
    protocolName = "synthetic.prt";
    numVolumes = 10;
    xEnd = 6;
    yEnd = 6;
    zEnd = 6;
}

bool testVtcIsFloat(const VtcWriterOptions& options) {
    return vtcFieldsHoldFloats(options);
}

long long testVtcHeaderSize(const VtcWriterOptions& options) {
    return static_cast<long long>(vtcHeaderBytes(options).size());
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
    return testVtcIsFloat(options) ? value : static_cast<float>(vtcStoredUint16(value));
}

// Built whole in memory, so that it can be cut anywhere.
bool writeTestVtc(const std::string& path, const VtcWriterOptions& options) {
    std::string bytes = vtcHeaderBytes(options);
    const bool isFloat = testVtcIsFloat(options);
    if (!options.values.empty()) {
        for (float value : options.values) {
            appendVtcValue(bytes, value, isFloat);
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
                        appendVtcValue(bytes, rawValue(options, x, y, z, t), isFloat);
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

}  // namespace ldi
