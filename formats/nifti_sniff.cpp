#include "formats/nifti_sniff.h"

#include <zlib.h>

#include <cstdint>
#include <cstring>

namespace ldi {

namespace {

// Header sizes and magic texts of the two versions, in either byte order.
bool headerSizeIs(const unsigned char* bytes, uint32_t size) {
    const uint32_t little = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                            uint32_t(bytes[3]) << 24;
    const uint32_t big = uint32_t(bytes[3]) | uint32_t(bytes[2]) << 8 | uint32_t(bytes[1]) << 16 |
                         uint32_t(bytes[0]) << 24;
    return little == size || big == size;
}

}  // namespace

std::string niftiKind(const std::string& path) {
    // gzread reads a plain file as it stands and a gzip file decompressed.
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) return std::string();
    unsigned char header[348] = {};
    const int got = gzread(file, header, sizeof header);
    gzclose(file);
    if (got >= 348 && headerSizeIs(header, 348) &&
        (std::memcmp(header + 344, "n+1", 4) == 0 || std::memcmp(header + 344, "ni1", 4) == 0))
        return "NIfTI-1";
    if (got >= 12 && headerSizeIs(header, 540) &&
        (std::memcmp(header + 4, "n+2", 3) == 0 || std::memcmp(header + 4, "ni2", 3) == 0))
        return "NIfTI-2";
    return std::string();
}

std::string niftiMisplacedMessage(const std::string& option, const std::string& path) {
    const std::string kind = niftiKind(path);
    if (kind.empty()) return std::string();
    const bool regions = option == "--voi";
    return option + " " + path + ": this is a " + kind + " image, not a " +
           (regions ? "VOI file" : "VTC file") + "; `ldi run` reads " +
           (regions ? "VOI text files" : "VTC files") + ", and `ldi map` reads NIfTI " +
           (regions ? "masks (--seed NAME=" + path + ")" : "data (--bold " + path + ")");
}

}  // namespace ldi
