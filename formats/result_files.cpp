#include "formats/result_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <thread>

#include <zlib.h>
#if !defined(_WIN32)
// Debian has no Windows build of these: the Windows ldi writes no NIfTI files.
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <nifti1_io.h>
#endif

#include "base/text.h"
#include "formats/temporary_files.h"
#include "stats/parallel.h"

namespace ldi_host {

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

// ---- numbers in JSON -----------------------------------------------------------

// A float32 as the shortest decimal that reads back as the same float, so
// that 0.05f appears as 0.05 and not as 0.05000000074505806.
// The float32 value's exact double widening, which the JSON writer prints with
// up to 17 significant digits: a reader that parses it as a double and
// compares map voxels widened the same way finds every voxel at a threshold.
nlohmann::ordered_json jsonFloat(float value) {
    if (!std::isfinite(value)) return nullptr;
    return static_cast<double>(value);
}

// ---- temporary files in the destination folder --------------------------------

std::string errnoText(int error) {
    return std::strerror(error);
}

#if defined(_WIN32)
// The system calls of the temporary files as Windows's C library names them:
// there is no mkstemps, fsync is _commit, descriptors must be binary, and
// rename refuses to replace a file (MoveFileEx does it in one step).
int createUniqueFile(const std::string& folder, const std::string& suffix, std::string& path) {
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char tag[40];
        std::snprintf(tag, sizeof tag, "%llx-%x", static_cast<unsigned long long>(GetTickCount64()),
                      serial.fetch_add(1));
        path = folder + "/" + temporaryPrefix() + tag + suffix;
        const int fd = ::_open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

int writeSome(int fd, const char* data, std::size_t count) {
    const std::size_t chunk = std::size_t{1} << 30;
    return ::_write(fd, data, static_cast<unsigned>(count < chunk ? count : chunk));
}
#endif

// Gives a file another name, replacing a file of that name in one step.
bool moveReplacing(const std::string& from, const std::string& to, std::string& reason) {
#if defined(_WIN32)
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    reason = "Windows error " + std::to_string(GetLastError());
    return false;
#else
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    reason = errnoText(errno);
    return false;
#endif
}

// A file created under a unique temporary name; removed again unless it was
// renamed to its final name.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty() && !committed_) std::remove(path_.c_str());
        if (registered_ >= 0) unregisterTemporaryFile(registered_);
    }

    bool create(const std::string& folder, const std::string& suffix, std::string& problem) {
#if defined(_WIN32)
        std::string name;
        fd_ = createUniqueFile(folder, suffix, name);
#else
        std::string pattern = folder + "/" + temporaryPrefix() + "XXXXXX" + suffix;
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        fd_ = ::mkstemps(buffer.data(), static_cast<int>(suffix.size()));
        const std::string name = buffer.data();
#endif
        if (fd_ < 0) {
            problem = "cannot create a file in the folder " + folder + ": " + errnoText(errno);
            return false;
        }
        path_ = name;
        registered_ = registerTemporaryFile(path_);
        return true;
    }

    const std::string& path() const { return path_; }

    // Writes the pieces one after the other; finish() then brings the file to
    // the disk.
    bool writeAll(const std::vector<std::string_view>& pieces, const std::string& finalPath, std::string& problem) {
        for (std::string_view piece : pieces) {
            const char* data = piece.data();
            std::size_t left = piece.size();
            while (left > 0) {
#if defined(_WIN32)
                const int written = writeSome(fd_, data, left);
#else
                const ssize_t written = ::write(fd_, data, left);
#endif
                if (written < 0 && errno == EINTR) continue;
                if (written <= 0) {
                    problem = "cannot write " + finalPath + ": " + errnoText(written < 0 ? errno : ENOSPC);
                    return false;
                }
                data += written;
                left -= static_cast<std::size_t>(written);
            }
        }
#if defined(__linux__)
        // Start writing it out now, so that finish() mostly waits for the
        // file system's commit rather than for the data.
        ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
        return true;
    }

    // Flushes the file to the disk and closes it.
    bool finish(const std::string& finalPath, std::string& problem) { return syncAndClose(finalPath, problem); }

    bool commit(const std::string& finalPath, std::string& problem) {
        std::string reason;
        if (!moveReplacing(path_, finalPath, reason)) {
            problem = "cannot rename the finished file to " + finalPath + ": " + reason;
            return false;
        }
        committed_ = true;
        return true;
    }

private:
    bool syncAndClose(const std::string& finalPath, std::string& problem) {
#if defined(_WIN32)
        bool ok = ::_commit(fd_) == 0;
#else
        // Permissions as for any new file of the user (mkstemps gives 0600).
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd_, 0666 & ~mask);
        bool ok = ::fsync(fd_) == 0;
#endif
        int error = errno;
        ok = (::close(fd_) == 0) && ok;
        fd_ = -1;
        if (!ok) {
            problem = "cannot write " + finalPath + ": " + errnoText(error);
            return false;
        }
        return true;
    }

    int fd_ = -1;
    std::string path_;
    bool committed_ = false;
    int registered_ = -1;
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

// ---- .json ---------------------------------------------------------------------

bool mapHasNoFdrThresholds(const LdiMap& map) {
    const std::string suffix = "dLDI RC";
    return map.name.size() >= suffix.size() &&
           map.name.compare(map.name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int64_t passingFromThreshold(const LdiMap& map, float threshold) {
    int64_t present = 0, atOrAbove = 0;
    float largest = 0.0f;
    for (float v : map.voxels) {
        if (v == 0.0f || !std::isfinite(v)) continue;
        const float magnitude = std::fabs(v);
        ++present;
        if (magnitude >= threshold) ++atOrAbove;
        largest = std::max(largest, magnitude);
    }
    if (threshold == 0.0f) return present;
    if (threshold == largest) return -1;
    return atOrAbove;
}

bool passingFromIndex(const std::string& jsonText, LdiFile& file) {
    const nlohmann::json index = nlohmann::json::parse(jsonText, nullptr, false);
    if (!index.is_object() || !index.contains("maps") || !index["maps"].is_array() ||
        index["maps"].size() != file.maps.size())
        return false;
    for (std::size_t m = 0; m < file.maps.size(); ++m) {
        const nlohmann::json& entry = index["maps"][m];
        if (!entry.is_object() || !entry.contains("displayName") || entry["displayName"] != file.maps[m].name)
            return false;
    }
    for (std::size_t m = 0; m < file.maps.size(); ++m) {
        LdiMap& map = file.maps[m];
        const nlohmann::json& levels = index["maps"][m]["fdrThresholds"];
        map.passingVoxels.assign(map.fdrThresholds.size(), -1);
        if (!levels.is_array()) continue;
        for (std::size_t t = 0; t < levels.size() && t < map.passingVoxels.size(); ++t)
            if (levels[t].is_object() && levels[t].contains("passingVoxels") &&
                levels[t]["passingVoxels"].is_number_integer())
                map.passingVoxels[t] = levels[t]["passingVoxels"].get<int64_t>();
    }
    return true;
}

nlohmann::ordered_json resultJson(const LdiFile& file, const ResultIdentity& identity,
                                  const std::string& mapFileName,
                                  const std::vector<std::string>& niftiFileNames,
                                  const std::vector<std::string>& warnings, long long rngSeed) {
    using nlohmann::ordered_json;
    const LdiGeometry& g = file.geometry;
    ordered_json document;
    document["formatVersion"] = 1;
    document["plugin"] = {{"name", identity.pluginName}, {"version", identity.pluginVersion}};
    document["mapFile"] = mapFileName;
    if (rngSeed >= 0) document["rngSeed"] = rngSeed;
    ordered_json box;
    box["xStart"] = g.xStart;
    box["xEnd"] = g.xEnd;
    box["yStart"] = g.yStart;
    box["yEnd"] = g.yEnd;
    box["zStart"] = g.zStart;
    box["zEnd"] = g.zEnd;
    ordered_json geometry;
    geometry["box"] = box;
    geometry["resolution"] = g.resolution;
    geometry["dimX"] = g.dimX;
    geometry["dimY"] = g.dimY;
    geometry["dimZ"] = g.dimZ;
    document["geometry"] = geometry;
    document["levels"] = file.levelLabels;
    ordered_json maps = ordered_json::array();
    for (std::size_t i = 0; i < file.maps.size(); ++i) {
        const LdiMap& map = file.maps[i];
        ordered_json entry;
        entry["index"] = i;
        entry["displayName"] = map.name;
        entry["niftiFile"] = i < niftiFileNames.size() ? niftiFileNames[i] : std::string();
        entry["mapKind"] = map.mapKind;
        entry["lowerThreshold"] = jsonFloat(map.lowerThreshold);
        entry["upperThreshold"] = jsonFloat(map.upperThreshold);
        ordered_json colours;
        colours["positiveLow"] = map.positiveColourLow;
        colours["positiveHigh"] = map.positiveColourHigh;
        colours["negativeLow"] = map.negativeColourLow;
        colours["negativeHigh"] = map.negativeColourHigh;
        colours["useNegativeColours"] = map.useNegativeColours;
        entry["colours"] = colours;
        ordered_json thresholds = ordered_json::array();
        // dLDI RC has no FDR thresholds: its zero slots are not listed as thresholds.
        const std::size_t levelCount = mapHasNoFdrThresholds(map) ? 0 : map.fdrThresholds.size();
        for (std::size_t t = 0; t < levelCount; ++t) {
            ordered_json level;
            const std::string label = t < file.levelLabels.size() ? file.levelLabels[t] : std::string();
            double q = 0.0;
            level["label"] = label;
            level["q"] = qFromLabel(label, q) ? ordered_json(q) : ordered_json(nullptr);
            level["threshold"] = jsonFloat(map.fdrThresholds[t]);
            const int64_t passing = t < map.passingVoxels.size() ? map.passingVoxels[t] : -1;
            level["passingVoxels"] = passing >= 0 ? ordered_json(passing) : ordered_json(nullptr);
            level["nonePasses"] = passing >= 0 ? ordered_json(passing == 0) : ordered_json(nullptr);
            thresholds.push_back(level);
        }
        entry["fdrThresholds"] = thresholds;
        maps.push_back(entry);
    }
    document["maps"] = maps;
    document["warnings"] = warnings;
    return document;
}

// ---- NIfTI ---------------------------------------------------------------------

#if defined(_WIN32)
bool encodeNiftiMap(const LdiGeometry&, const LdiMap&, ByteBuffer&, std::string& problem) {
    problem = "this build of ldi writes no NIfTI files";
    return false;
}
#else
namespace {

// The grid's axes in the host's internal coordinates run along the anatomy
// as: a Talairach point (x, y, z) lies at internal (128 - y, 128 - z, 128 - x).
// Voxel (i, j, k) of the grid, whose centre is at internal (xStart + i r,
// yStart + j r, zStart + k r), is therefore at Talairach (RAS, mm)
// x = 128 - zStart - k r, y = 128 - xStart - i r, z = 128 - yStart - j r.
mat44 talairachFromGrid(const LdiGeometry& g) {
    const float r = static_cast<float>(g.resolution);
    mat44 m{};
    m.m[0][2] = -r;
    m.m[0][3] = 128.0f - static_cast<float>(g.zStart);
    m.m[1][0] = -r;
    m.m[1][3] = 128.0f - static_cast<float>(g.xStart);
    m.m[2][1] = -r;
    m.m[2][3] = 128.0f - static_cast<float>(g.yStart);
    m.m[3][3] = 1.0f;
    return m;
}

}  // namespace

bool encodeNiftiMap(const LdiGeometry& geometry, const LdiMap& map, ByteBuffer& encoded, std::string& problem) {
    const int64_t voxelCount = geometry.voxelCount();
    if (geometry.dimX <= 0 || geometry.dimY <= 0 || geometry.dimZ <= 0 ||
        map.voxels.size() != static_cast<std::size_t>(voxelCount)) {
        problem = "the map's size does not match its grid";
        return false;
    }
    nifti_image nim{};
    nim.ndim = nim.dim[0] = 3;
    nim.nx = nim.dim[1] = geometry.dimX;
    nim.ny = nim.dim[2] = geometry.dimY;
    nim.nz = nim.dim[3] = geometry.dimZ;
    nim.nt = nim.nu = nim.nv = nim.nw = 1;
    for (int d = 4; d < 8; ++d) nim.dim[d] = 1;
    nim.nvox = static_cast<std::size_t>(voxelCount);
    nim.datatype = NIFTI_TYPE_FLOAT32;
    nim.nbyper = 4;
    nim.scl_slope = 1.0f;
    nim.xyz_units = NIFTI_UNITS_MM;
    nim.sto_xyz = talairachFromGrid(geometry);
    nim.sto_ijk = nifti_mat44_inverse(nim.sto_xyz);
    nim.sform_code = NIFTI_XFORM_TALAIRACH;
    nim.qform_code = NIFTI_XFORM_TALAIRACH;
    nifti_mat44_to_quatern(nim.sto_xyz, &nim.quatern_b, &nim.quatern_c, &nim.quatern_d, &nim.qoffset_x,
                           &nim.qoffset_y, &nim.qoffset_z, &nim.dx, &nim.dy, &nim.dz, &nim.qfac);
    nim.qto_xyz = nim.sto_xyz;
    nim.qto_ijk = nim.sto_ijk;
    nim.pixdim[0] = nim.qfac;
    nim.pixdim[1] = nim.dx;
    nim.pixdim[2] = nim.dy;
    nim.pixdim[3] = nim.dz;
    nim.intent_code = NIFTI_INTENT_ESTIMATE;
    std::snprintf(nim.intent_name, sizeof nim.intent_name, "%s", "LDI map");
    std::snprintf(nim.descrip, sizeof nim.descrip, "%s", map.name.c_str());
    nim.nifti_type = NIFTI_FTYPE_NIFTI1_1;
    nifti_1_header header = nifti_convert_nim2nhdr(&nim);
    header.vox_offset = 352.0f;
    std::memcpy(header.magic, "n+1\0", 4);

    // Header, an empty extension flag, then the voxels ([z][y][x], x fastest),
    // compressed from where they lie.
    char head[sizeof header + 4] = {};
    std::memcpy(head, &header, sizeof header);
    const std::string_view pieces[] = {
        std::string_view(head, sizeof head),
        std::string_view(reinterpret_cast<const char*>(map.voxels.data()), map.voxels.size() * sizeof(float))};
    const std::size_t imageBytes = pieces[0].size() + pieces[1].size();

    // isa-l's igzip at level 1: the maps are half runs of zeros and half noise,
    // which every level shrinks alike (to about 45 %), and igzip does it about
    // four times faster than libdeflate's fastest level (zlib is slower still).
    // Its buffers are working memory: nothing needs them zeroed beforehand.
    const LargeArray<uint8_t> levelBuffer = makeLargeArray<uint8_t>(ISAL_DEF_LVL1_DEFAULT);
    isal_zstream stream;
    isal_deflate_init(&stream);
    stream.gzip_flag = IGZIP_GZIP;
    stream.level = 1;
    stream.level_buf = levelBuffer.get();
    stream.level_buf_size = ISAL_DEF_LVL1_DEFAULT;
    stream.flush = NO_FLUSH;
    // Incompressible data grow by a few bytes per 64 KiB block, plus the gzip framing.
    const std::size_t capacity = imageBytes + imageBytes / 1024 + 1024;
    if (capacity > UINT32_MAX) {
        problem = "the image is too large to compress";
        return false;
    }
    encoded.bytes = makeLargeArray<char>(capacity);
    stream.next_out = reinterpret_cast<uint8_t*>(encoded.bytes.get());
    stream.avail_out = static_cast<uint32_t>(capacity);
    for (std::size_t p = 0; p < 2; ++p) {
        stream.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(pieces[p].data()));
        stream.avail_in = static_cast<uint32_t>(pieces[p].size());
        stream.end_of_stream = p == 1 ? 1 : 0;
        // Until the piece is taken in (and, at the end, the stream finished),
        // as long as each call makes progress.
        while (stream.avail_in > 0 || (p == 1 && stream.internal_state.state != ZSTATE_END)) {
            const uint32_t before = stream.avail_in + stream.avail_out;
            if (isal_deflate(&stream) != COMP_OK || stream.avail_in + stream.avail_out == before) {
                problem = "the image could not be compressed";
                return false;
            }
        }
    }
    encoded.size = stream.total_out;
    return true;
}

#endif

bool writeNiftiMap(const std::string& path, const LdiGeometry& geometry, const LdiMap& map,
                   std::string& problem) {
    ByteBuffer encoded;
    if (!encodeNiftiMap(geometry, map, encoded, problem)) {
        problem = "cannot write " + path + ": " + problem;
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        problem = "cannot write " + path + ": " + errnoText(errno);
        return false;
    }
    bool ok = std::fwrite(encoded.bytes.get(), 1, encoded.size, file) == encoded.size;
    const int error = errno;
    ok = (std::fclose(file) == 0) && ok;
    if (!ok) problem = "cannot write " + path + ": " + errnoText(error != 0 ? error : ENOSPC);
    return ok;
}

// ---- the whole save ------------------------------------------------------------

namespace {

// The longest file name the common file systems take, in bytes.
constexpr std::size_t kMaxFileNameBytes = 255;

// Threads that only wait for the disk, at most, in one step of a save.
constexpr int64_t kMostWaitingThreads = 64;

// A NIfTI label cut to `room` bytes: the start of the condition and the end,
// where the map kind is, so that cut names still tell the kinds apart.
// Labels are ASCII (fileLabel), so any byte is a place to cut.
std::string fitLabel(const std::string& label, std::size_t room) {
    constexpr std::size_t kTail = 16;
    if (label.size() <= room) return label;
    if (room <= kTail + 2) return label.substr(label.size() - std::min(room, label.size()));
    return label.substr(0, room - kTail - 1) + "_" + label.substr(label.size() - kTail);
}

// The names a JSON index of an earlier save in this folder lists as its own
// files (plain file names only: a damaged or hostile index names nothing else).
std::vector<std::string> filesOfEarlierIndex(const std::string& jsonPath) {
    std::vector<std::string> names;
    struct stat info {};
    // Only a regular file of a sane size can be an index; anything else names nothing.
    if (::stat(jsonPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > (int64_t{64} << 20))
        return names;
    std::string text;
    try {
        std::ifstream in(jsonPath, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        return names;
    }
    const nlohmann::json index = nlohmann::json::parse(text, nullptr, false);
    if (!index.is_object()) return names;
    const auto plain = [](const nlohmann::json& value) {
        if (!value.is_string()) return std::string();
        const std::string name = value.get<std::string>();
        const bool safe = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
                          name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
        return safe ? name : std::string();
    };
    if (index.contains("mapFile")) names.push_back(plain(index["mapFile"]));
    if (index.contains("maps") && index["maps"].is_array())
        for (const nlohmann::json& map : index["maps"])
            if (map.is_object() && map.contains("niftiFile")) names.push_back(plain(map["niftiFile"]));
    names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
    return names;
}

// One file of a save on its way to its final name. An existing file of that
// name is kept aside (as a second link, or moved) until the whole save has
// succeeded, and put back should any later step fail.
struct Commit {
    TempFile* temp = nullptr;
    std::string finalPath;
    std::string keptPath;  // the earlier file, kept aside ("" when there was none)
    bool keptByLink = false;
    bool done = false;
};

bool keepEarlierFile(Commit& step, const std::string& folder, std::string& problem) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(step.finalPath, error);
    if (error || !std::filesystem::exists(status)) return true;  // nothing to keep
    if (std::filesystem::is_directory(status)) {
        problem = "cannot replace " + step.finalPath + ": a folder has that name";
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string kept = folder + "/" + temporaryPrefix() + "kept-" + std::to_string(attempt) + "-" +
                           std::to_string(static_cast<unsigned long>(std::rand()));
        if (std::filesystem::exists(kept, error)) continue;
#if !defined(_WIN32)
        // A second link keeps the earlier file where it is until the new one replaces it.
        if (::link(step.finalPath.c_str(), kept.c_str()) == 0) {
            step.keptPath = kept;
            step.keptByLink = true;
            return true;
        }
        if (errno == EEXIST) continue;
#endif
        // Without hard links the earlier file is moved aside.
        std::string reason;
        if (moveReplacing(step.finalPath, kept, reason)) {
            step.keptPath = kept;
            return true;
        }
        problem = "cannot keep the earlier " + step.finalPath + " aside: " + reason;
        return false;
    }
    problem = "cannot keep the earlier " + step.finalPath + " aside: no free name";
    return false;
}

// Puts back what the failed save had replaced or moved aside.
void undoCommits(std::vector<Commit>& steps) {
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        if (step->keptPath.empty()) {
            if (step->done) std::remove(step->finalPath.c_str());
            continue;
        }
        std::string reason;
        if (step->done || !step->keptByLink)
            moveReplacing(step->keptPath, step->finalPath, reason);
        else
            std::remove(step->keptPath.c_str());
    }
}

}  // namespace

bool saveResultFiles(const std::string& mapFilePath, const LdiFile& file,
                     const ResultIdentity& identity, std::string& problem, const SaveRecord& record) {
    namespace fs = std::filesystem;
    const std::string where = "cannot save the maps to " + mapFilePath + ": ";
    if (mapFilePath.empty()) {
        problem = "cannot save the maps: no file name was given";
        return false;
    }
    std::string base = mapFilePath;
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".ldi") == 0) base.resize(base.size() - 4);
    const fs::path basePath(base);
    std::string folder = basePath.parent_path().string();
    if (folder.empty()) folder = ".";
    const std::string baseName = basePath.filename().string();
    if (baseName.empty()) {
        problem = where + "the name is a folder, not a file name";
        return false;
    }

    // Every name first: within the file system's limit, and none that this
    // save or an earlier save of the same run has already written.
    std::set<std::string> taken;
    if (record.namesInRun != nullptr) taken = *record.namesInRun;
    const std::string mapFileName = fs::path(mapFilePath).filename().string();
    const std::string jsonName = baseName + ".json";
    taken.insert(foldAsciiCase(folder + "/" + mapFileName));
    taken.insert(foldAsciiCase(folder + "/" + jsonName));
    std::vector<std::string> niftiNames;
#if defined(_WIN32)
    const std::vector<std::string> labels;  // no NIfTI files there (see encodeNiftiMap)
#else
    const std::vector<std::string> labels = niftiLabels(file.maps);
#endif
    for (const std::string& label : labels) {
        const std::size_t fixed = baseName.size() + 1 + std::strlen(".nii.gz");
        const std::size_t room = fixed < kMaxFileNameBytes ? kMaxFileNameBytes - fixed : 0;
        std::string fitted = fitLabel(label, room);
        std::string name = baseName + "_" + fitted + ".nii.gz";
        for (int extra = 2; taken.count(foldAsciiCase(folder + "/" + name)) > 0; ++extra) {
            const std::string count = "_" + std::to_string(extra);
            name = baseName + "_" + fitLabel(label, room > count.size() ? room - count.size() : 0) + count + ".nii.gz";
        }
        taken.insert(foldAsciiCase(folder + "/" + name));
        niftiNames.push_back(name);
    }
    for (const std::string& name : {mapFileName, jsonName}) {
        if (name.size() > kMaxFileNameBytes) {
            problem = where + "the file name " + name + " is " + std::to_string(name.size()) +
                      " bytes long, more than the " + std::to_string(kMaxFileNameBytes) +
                      " a file name may have; choose a shorter output prefix or VOI name";
            return false;
        }
    }
    const std::string jsonPath = folder + "/" + jsonName;
    removeStaleTemporaryFiles(folder);
    const std::vector<std::string> earlierFiles = filesOfEarlierIndex(jsonPath);

    // Every file is made, written and flushed to the disk by whichever thread
    // takes it, each alone (so the files do not depend on the split): the map
    // set, one NIfTI file per map and the JSON index. Writing and flushing
    // them side by side also lets the file system commit them together.
    const std::string json =
        resultJson(file, identity, mapFileName, niftiNames, record.warnings, record.rngSeed)
            .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
        "\n";
    struct Job {
        std::string finalPath;
        const char* suffix;
        std::ptrdiff_t map;  // index of the map of a NIfTI file; -1 the map set, -2 the JSON index
    };
    std::vector<Job> jobs;
    jobs.push_back(Job{mapFilePath, ".ldi", -1});  // the largest first
    for (std::size_t i = 0; i < niftiNames.size(); ++i)
        jobs.push_back(Job{folder + "/" + niftiNames[i], ".nii.gz", static_cast<std::ptrdiff_t>(i)});
    jobs.push_back(Job{jsonPath, ".json", -2});
    std::vector<std::unique_ptr<TempFile>> temps(jobs.size());
    std::vector<std::string> problems(jobs.size());
    std::vector<char> done(jobs.size(), 0);
    const auto failed = [&] {
        for (std::size_t j = 0; j < jobs.size(); ++j) {
            if (!done[j]) {
                problem = where + problems[j];
                return true;
            }
        }
        return false;
    };
    const auto jobCount = static_cast<int64_t>(jobs.size());
    // More workers than cores: while one waits for the disk another computes.
    const int workers = static_cast<int>(std::min<int64_t>(jobCount, 2 * std::max(1u, std::thread::hardware_concurrency())));
    shareWork(workers, jobCount, 1, [&](int64_t first, int64_t, int) {
        const auto j = static_cast<std::size_t>(first);
        const Job& job = jobs[j];
        // The maps' values are written from where they lie, not copied first.
        LdiPieces mapSet;
        ByteBuffer compressed;
        std::vector<std::string_view> pieces;
        std::string reason;
        if (job.map == -1) {
            layOutLdi(file, mapSet);
            pieces = mapSet.pieces;
        } else if (job.map >= 0) {
            if (!encodeNiftiMap(file.geometry, file.maps[static_cast<std::size_t>(job.map)], compressed, reason)) {
                problems[j] = "cannot write " + job.finalPath + ": " + reason;
                return;
            }
            pieces.push_back(compressed.view());
        } else {
            pieces.push_back(json);
        }
        temps[j] = std::make_unique<TempFile>();
        if (!temps[j]->create(folder, job.suffix, reason) || !temps[j]->writeAll(pieces, job.finalPath, reason)) {
            problems[j] = reason;
            return;
        }
        done[j] = 1;
    });
    if (failed()) return false;
    // Then every file to the disk, all at once: the file system commits them
    // together instead of one journal flush after the other. A thread each
    // (up to a bound), since they only wait; a second round would wait for a
    // second commit.
    shareWork(static_cast<int>(std::min<int64_t>(jobCount, kMostWaitingThreads)), jobCount, 1,
              [&](int64_t first, int64_t, int) {
        const auto j = static_cast<std::size_t>(first);
        done[j] = temps[j]->finish(jobs[j].finalPath, problems[j]) ? 1 : 0;
    });
    if (failed()) return false;

    std::vector<Commit> steps;
    const auto addStep = [&steps](TempFile* temp, const std::string& finalPath) {
        Commit step;
        step.temp = temp;
        step.finalPath = finalPath;
        steps.push_back(step);
    };
    // The NIfTI files, the JSON index, the map set last.
    for (std::size_t j = 1; j < jobs.size(); ++j) addStep(temps[j].get(), jobs[j].finalPath);
    addStep(temps[0].get(), jobs[0].finalPath);
    std::string detail;

    // Everything is on the disk: give the files their names, the map file
    // last. An earlier run's file of the same name is kept aside until all
    // are in place, so that a failure leaves the earlier results as they were.
    for (Commit& step : steps) {
        if (!keepEarlierFile(step, folder, detail) || !step.temp->commit(step.finalPath, detail)) {
            undoCommits(steps);
            problem = where + detail;
            return false;
        }
        step.done = true;
    }

    // What is left to remove: the earlier files kept aside, and the files the
    // earlier index of this name listed and this save did not write (they
    // belong to results that no longer exist).
    std::vector<std::string> removals;
    for (const Commit& step : steps)
        if (!step.keptPath.empty()) removals.push_back(step.keptPath);
    std::set<std::string> written(niftiNames.begin(), niftiNames.end());
    written.insert(mapFileName);
    for (const std::string& name : earlierFiles) {
        const std::string path = folder + "/" + name;
        const bool ownedByRun = record.namesInRun != nullptr && record.namesInRun->count(foldAsciiCase(path)) > 0;
        if (written.count(name) == 0 && !ownedByRun) removals.push_back(path);
    }
    // Removing a file frees its blocks, which takes the file system a while
    // for each: they are removed side by side, while the folder's new names
    // are brought to the disk (job 0).
    const auto removalCount = static_cast<int64_t>(removals.size());
    shareWork(static_cast<int>(std::min<int64_t>(removalCount + 1, kMostWaitingThreads)), removalCount + 1, 1,
              [&](int64_t first, int64_t, int) {
        if (first > 0) {
            std::remove(removals[static_cast<std::size_t>(first - 1)].c_str());
            return;
        }
#if !defined(_WIN32)  // MOVEFILE_WRITE_THROUGH has already made the names durable there
        int folderHandle = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (folderHandle >= 0) {
            ::fsync(folderHandle);
            ::close(folderHandle);
        }
#endif
    });
    if (record.namesInRun != nullptr)
        for (const Commit& step : steps) record.namesInRun->insert(foldAsciiCase(step.finalPath));
    return true;
}

}  // namespace ldi_host
