#include "formats/ldi_file.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>

#include <zlib.h>
#if !defined(_WIN32)
// Debian has no Windows build of isa-l: zlib computes the checksum there.
#include <isa-l/crc.h>
#endif

namespace ldi {

namespace {

// ---- little-endian byte image ------------------------------------------------

void putU32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xffu);
}

void putI32(std::string& out, int32_t value) {
    putU32(out, static_cast<uint32_t>(value));
}

void putF32(std::string& out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    putU32(out, bits);
}

void putText(std::string& out, const std::string& text) {
    putU32(out, static_cast<uint32_t>(text.size()));
    out += text;
}

bool hostIsLittleEndian() {
    const uint32_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

// zlib's CRC-32 continued over `bytes` (0 to begin), computed with isa-l's
// much faster routine where there is one.
uint32_t crc32Of(std::string_view bytes, uint32_t crc = 0) {
#if defined(_WIN32)
    return static_cast<uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
#else
    // In pieces: the routine takes 64-bit lengths on some versions, 32-bit on others.
    for (std::size_t at = 0; at < bytes.size(); at += std::size_t{1} << 30) {
        const std::size_t piece = std::min(bytes.size() - at, std::size_t{1} << 30);
        crc = crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(bytes.data() + at), piece);
    }
    return crc;
#endif
}

class ByteReader {
public:
    explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

    std::size_t remaining() const { return bytes_.size() - position_; }
    std::size_t position() const { return position_; }

    bool u32(uint32_t& value) {
        if (remaining() < 4) return false;
        value = 0;
        for (int i = 0; i < 4; ++i)
            value |= uint32_t(static_cast<unsigned char>(bytes_[position_ + i])) << (8 * i);
        position_ += 4;
        return true;
    }
    bool i32(int32_t& value) {
        uint32_t bits;
        if (!u32(bits)) return false;
        value = static_cast<int32_t>(bits);
        return true;
    }
    bool f32(float& value) {
        uint32_t bits;
        if (!u32(bits)) return false;
        std::memcpy(&value, &bits, sizeof value);
        return true;
    }
    bool text(std::string& value) {
        uint32_t length;
        if (!u32(length) || length > remaining()) return false;
        value.assign(bytes_.data() + position_, length);
        position_ += length;
        return true;
    }
    bool raw(std::size_t count, std::string_view& value) {
        if (count > remaining()) return false;
        value = bytes_.substr(position_, count);
        position_ += count;
        return true;
    }

private:
    std::string_view bytes_;
    std::size_t position_ = 0;
};

}  // namespace

// ---- .ldi ------------------------------------------------------------------------

void layOutLdi(const LdiFile& file, LdiPieces& out) {
    const LdiGeometry& g = file.geometry;
    const std::size_t levels = file.levelLabels.size();
    std::string& head = out.head;
    head.clear();
    head.append(LDI_MAGIC, sizeof LDI_MAGIC);
    putU32(head, LDI_FORMAT_VERSION);
    for (int32_t value : {g.xStart, g.xEnd, g.yStart, g.yEnd, g.zStart, g.zEnd, g.resolution, g.dimX,
                          g.dimY, g.dimZ})
        putI32(head, value);
    putI32(head, static_cast<int32_t>(levels));
    putI32(head, static_cast<int32_t>(file.maps.size()));
    for (const std::string& label : file.levelLabels) putText(head, label);
    for (const LdiMap& map : file.maps) {
        putText(head, map.name);
        putI32(head, map.mapKind);
        putF32(head, map.lowerThreshold);
        putF32(head, map.upperThreshold);
        for (int32_t value : {map.positiveColourLow, map.positiveColourHigh, map.negativeColourLow,
                              map.negativeColourHigh, map.useNegativeColours})
            putI32(head, value);
        for (std::size_t t = 0; t < levels; ++t)
            putF32(head, t < map.fdrThresholds.size() ? map.fdrThresholds[t] : 0.0f);
    }
    const std::size_t voxelCount = static_cast<std::size_t>(g.voxelCount() > 0 ? g.voxelCount() : 0);
    out.pieces.assign(1, head);
    const bool inPlace = hostIsLittleEndian() &&
                         std::all_of(file.maps.begin(), file.maps.end(),
                                     [voxelCount](const LdiMap& map) { return map.voxels.size() == voxelCount; });
    out.converted.clear();
    if (inPlace) {
        // Already the file's byte order: each map is written from where it lies.
        for (const LdiMap& map : file.maps)
            out.pieces.emplace_back(reinterpret_cast<const char*>(map.voxels.data()), voxelCount * 4);
    } else {
        out.converted.reserve(file.maps.size() * voxelCount * 4);
        for (const LdiMap& map : file.maps) {
            const std::size_t stored = std::min(voxelCount, map.voxels.size());
            for (std::size_t v = 0; v < stored; ++v) putF32(out.converted, map.voxels[v]);
            out.converted.append((voxelCount - stored) * 4, '\0');  // a short map is filled with zeros (0.0f)
        }
        out.pieces.emplace_back(out.converted);
    }
    uint32_t crc = 0;
    for (std::string_view piece : out.pieces) crc = crc32Of(piece, crc);
    for (int i = 0; i < 4; ++i) out.checksum[i] = static_cast<char>((crc >> (8 * i)) & 0xffu);
    out.pieces.emplace_back(out.checksum, 4);
}

std::string encodeLdi(const LdiFile& file) {
    LdiPieces laidOut;
    layOutLdi(file, laidOut);
    std::size_t size = 0;
    for (std::string_view piece : laidOut.pieces) size += piece.size();
    std::string out;
    out.reserve(size);
    for (std::string_view piece : laidOut.pieces) out.append(piece);
    return out;
}

Parsed<LdiFile> decodeLdi(std::string_view bytes) {
    Parsed<LdiFile> result;
    LdiFile& file = result.value;
    LdiGeometry& g = file.geometry;
    ByteReader in(bytes);
    auto fail = [&](const std::string& message) {
        return parseFailure<LdiFile>(0, message + " (at byte " + std::to_string(in.position()) + ")");
    };

    std::string_view magic;
    if (!in.raw(sizeof LDI_MAGIC, magic) || magic != std::string_view(LDI_MAGIC, sizeof LDI_MAGIC))
        return parseFailure<LdiFile>(0, "not an LDI map file: it does not start with \"LDIMAPS\"");
    uint32_t version = 0;
    if (!in.u32(version)) return fail("the file ends inside the format version");
    if (version != LDI_FORMAT_VERSION)
        return fail("unsupported format version " + std::to_string(version) + " (this program reads " +
                    std::to_string(LDI_FORMAT_VERSION) + ")");
    int32_t* geometryFields[] = {&g.xStart, &g.xEnd,      &g.yStart, &g.yEnd, &g.zStart,
                                 &g.zEnd,   &g.resolution, &g.dimX,   &g.dimY, &g.dimZ};
    for (int32_t* field : geometryFields)
        if (!in.i32(*field)) return fail("the file ends inside the geometry");
    if (g.dimX <= 0 || g.dimY <= 0 || g.dimZ <= 0)
        return fail("invalid grid size " + std::to_string(g.dimX) + " x " + std::to_string(g.dimY) +
                    " x " + std::to_string(g.dimZ));
    int32_t levelCount = 0;
    int32_t mapCount = 0;
    if (!in.i32(levelCount) || !in.i32(mapCount)) return fail("the file ends inside the counts");
    if (levelCount < 0 || mapCount < 0)
        return fail("invalid counts: " + std::to_string(levelCount) + " levels, " +
                    std::to_string(mapCount) + " maps");
    // Every label and map header takes at least 4 bytes, so the counts can
    // be checked against the size before anything is allocated for them.
    if (static_cast<uint64_t>(levelCount) > in.remaining() / 4 ||
        static_cast<uint64_t>(mapCount) > in.remaining() / 4)
        return fail("the counts (" + std::to_string(levelCount) + " levels, " + std::to_string(mapCount) +
                    " maps) do not fit the file's size");
    for (int32_t i = 0; i < levelCount; ++i) {
        std::string label;
        if (!in.text(label)) return fail("the file ends inside level label " + std::to_string(i));
        file.levelLabels.push_back(std::move(label));
    }
    for (int32_t m = 0; m < mapCount; ++m) {
        LdiMap map;
        const std::string where = " of map " + std::to_string(m);
        if (!in.text(map.name)) return fail("the file ends inside the name" + where);
        bool ok = in.i32(map.mapKind) && in.f32(map.lowerThreshold) && in.f32(map.upperThreshold) &&
                  in.i32(map.positiveColourLow) && in.i32(map.positiveColourHigh) &&
                  in.i32(map.negativeColourLow) && in.i32(map.negativeColourHigh) &&
                  in.i32(map.useNegativeColours);
        if (!ok) return fail("the file ends inside the header" + where);
        if (static_cast<uint64_t>(levelCount) > in.remaining() / 4)
            return fail("the file ends inside the FDR thresholds" + where);
        map.fdrThresholds.resize(static_cast<std::size_t>(levelCount));
        for (float& threshold : map.fdrThresholds) in.f32(threshold);
        file.maps.push_back(std::move(map));
    }
    // Voxels: mapCount * dimX * dimY * dimZ float32 values, then the checksum.
    uint64_t voxelBytes = 4;
    for (uint64_t factor : {uint64_t(g.dimX), uint64_t(g.dimY), uint64_t(g.dimZ)}) {
        if (voxelBytes > in.remaining() / factor) return fail("the file is shorter than its grid needs");
        voxelBytes *= factor;
    }
    if (mapCount > 0 && voxelBytes > in.remaining() / static_cast<uint64_t>(mapCount))
        return fail("the file is shorter than its maps need");
    if (in.remaining() != voxelBytes * static_cast<uint64_t>(mapCount) + 4)
        return fail(in.remaining() < voxelBytes * static_cast<uint64_t>(mapCount) + 4
                        ? "the file is shorter than its maps need"
                        : "the file holds " +
                              std::to_string(in.remaining() - voxelBytes * uint64_t(mapCount) - 4) +
                              " bytes more than its maps need");
    const std::size_t voxelCount = static_cast<std::size_t>(voxelBytes / 4);
    for (LdiMap& map : file.maps) {
        map.voxels.resize(voxelCount);
        for (float& value : map.voxels) in.f32(value);
    }
    const std::size_t checked = in.position();
    uint32_t stored = 0;
    in.u32(stored);
    if (stored != crc32Of(bytes.substr(0, checked)))
        return fail("the file is damaged: its checksum does not match its content");
    result.ok = true;
    return result;
}

// ---- names ---------------------------------------------------------------------

std::vector<std::string> niftiLabels(const std::vector<LdiMap>& maps) {
    std::vector<std::string> labels;
    for (const LdiMap& map : maps) labels.push_back(fileLabel(map.name));
    for (std::size_t round = 0; round <= maps.size(); ++round) {
        std::map<std::string, int> uses;
        for (const std::string& label : labels) ++uses[label];
        bool clash = false;
        for (std::size_t i = 0; i < labels.size(); ++i) {
            if (uses[labels[i]] > 1) {
                clash = true;
                labels[i] += "_" + std::to_string(i);
            }
        }
        if (!clash) return labels;
    }
    // Not reached with real names; numbered labels are unique by construction.
    for (std::size_t i = 0; i < labels.size(); ++i) labels[i] = "map-" + std::to_string(i);
    return labels;
}

bool qFromLabel(std::string_view label, double& q) {
    std::size_t at = label.rfind("q=");
    if (at == std::string_view::npos) return false;
    std::string number(trim(label.substr(at + 2)));
    if (number.empty()) return false;
    char* end = nullptr;
    double value = std::strtod(number.c_str(), &end);
    if (end == number.c_str() || !std::isfinite(value)) return false;
    q = value;
    return true;
}

std::string versionFromPluginName(std::string_view name) {
    std::size_t at = name.rfind('v');
    while (at != std::string_view::npos) {
        bool wordStart = at == 0 || name[at - 1] == ' ';
        if (wordStart && at + 1 < name.size() && name[at + 1] >= '0' && name[at + 1] <= '9') {
            std::size_t end = at + 1;
            while (end < name.size() && name[end] != ' ') ++end;
            return std::string(name.substr(at + 1, end - at - 1));
        }
        if (at == 0) break;
        at = name.rfind('v', at - 1);
    }
    return std::string();
}

bool mapHasNoFdrThresholds(const LdiMap& map) {
    const std::string suffix = "dLDI RC";
    return map.name.size() >= suffix.size() &&
           map.name.compare(map.name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace ldi
