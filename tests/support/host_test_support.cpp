#include "support/host_test_support.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/vtc_writer.h"

namespace ldi {

bool writeAnalysisVtc(const std::string& path, int volumes, unsigned seed) {
    VtcWriterOptions options;
    options.numVolumes = volumes;
    options.resolution = 3;
    options.xStart = 0;
    options.xEnd = 12;
    options.yStart = 0;
    options.yEnd = 9;
    options.zStart = 0;
    options.zEnd = 6;
    options.value = [seed](int x, int y, int z, int t) {
        // A deterministic hash of the position gives noise in [-1, 1).
        uint32_t h = seed * 2654435761u ^ uint32_t(x * 73856093) ^ uint32_t(y * 19349663) ^
                     uint32_t(z * 83492791) ^ uint32_t(t * 2246822519u);
        h ^= h >> 15;
        h *= 2246822519u;
        h ^= h >> 13;
        const float noise = float(h % 20000u) / 10000.0f - 1.0f;
        return 1000.0f + 10.0f * noise + float((x + y + z) % 3) * float(t % 7);
    };
    return writeTestVtc(path, options);
}

std::string analysisVoiText() {
    return "# two reference regions\n"
           "Coordinates: internal\n"
           "VOI: Motor\n"
           "0 0 0\n"
           "3 0 0\n"
           "\n"
           "VOI: Visual\n"
           "6 3 3\n";
}

int countOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

}  // namespace ldi
