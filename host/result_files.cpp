#include "host/result_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include <atomic>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include <zlib.h>
#if !defined(_WIN32)
#include <nifti1_io.h>
#endif

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

uint32_t crc32Of(std::string_view bytes) {
    return static_cast<uint32_t>(
        crc32_z(crc32_z(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
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
nlohmann::ordered_json jsonFloat(float value) {
    if (!std::isfinite(value)) return nullptr;
    char buffer[32];
    for (int precision = 6; precision <= 9; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, static_cast<double>(value));
        if (std::strtof(buffer, nullptr) == value) break;
    }
    return std::strtod(buffer, nullptr);
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
        std::snprintf(tag, sizeof tag, "%lx-%llx-%x", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned long long>(GetTickCount64()), serial.fetch_add(1));
        path = folder + "/.ldi-save-" + tag + suffix;
        const int fd = ::_open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

int writeSome(int fd, const char* data, std::size_t count) {
    const std::size_t chunk = std::size_t{1} << 30;
    return ::_write(fd, data, static_cast<unsigned>(count < chunk ? count : chunk));
}

bool replaceWith(const std::string& from, const std::string& to, std::string& reason) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    reason = "Windows error " + std::to_string(GetLastError());
    return false;
}
#endif

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
    }

    bool create(const std::string& folder, const std::string& suffix, std::string& problem) {
#if defined(_WIN32)
        std::string name;
        fd_ = createUniqueFile(folder, suffix, name);
#else
        std::string pattern = folder + "/.ldi-save-XXXXXX" + suffix;
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
        return true;
    }

    const std::string& path() const { return path_; }

    // Writes the whole content, flushes it to the disk and closes the file.
    bool writeAll(std::string_view content, const std::string& finalPath, std::string& problem) {
        const char* data = content.data();
        std::size_t left = content.size();
        while (left > 0) {
#if defined(_WIN32)
            const int written = writeSome(fd_, data, left);
#else
            ssize_t written = ::write(fd_, data, left);
#endif
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                problem = "cannot write " + finalPath + ": " + errnoText(written < 0 ? errno : ENOSPC);
                return false;
            }
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        return syncAndClose(finalPath, problem);
    }

#if !defined(_WIN32)
    // For files written by a library through their own handle: closes ours,
    // then flushes what the library wrote.
    bool syncWrittenFile(const std::string& finalPath, std::string& problem) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = ::open(path_.c_str(), O_RDONLY);
        if (fd_ < 0) {
            problem = "cannot reopen the file written for " + finalPath + ": " + errnoText(errno);
            return false;
        }
        return syncAndClose(finalPath, problem);
    }
#endif

    void closeHandle() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool commit(const std::string& finalPath, std::string& problem) {
#if defined(_WIN32)
        std::string reason;
        if (!replaceWith(path_, finalPath, reason)) {
            problem = "cannot rename the finished file to " + finalPath + ": " + reason;
            return false;
        }
#else
        if (::rename(path_.c_str(), finalPath.c_str()) != 0) {
            problem = "cannot rename the finished file to " + finalPath + ": " + errnoText(errno);
            return false;
        }
#endif
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
};

#if !defined(_WIN32)
struct NiftiImageDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImagePtr = std::unique_ptr<nifti_image, NiftiImageDeleter>;
#endif

}  // namespace

// ---- .ldi ------------------------------------------------------------------------

std::string encodeLdi(const LdiFile& file) {
    const LdiGeometry& g = file.geometry;
    const std::size_t levels = file.levelLabels.size();
    std::string out;
    out.append(LDI_MAGIC, sizeof LDI_MAGIC);
    putU32(out, LDI_FORMAT_VERSION);
    for (int32_t value : {g.xStart, g.xEnd, g.yStart, g.yEnd, g.zStart, g.zEnd, g.resolution, g.dimX,
                          g.dimY, g.dimZ})
        putI32(out, value);
    putI32(out, static_cast<int32_t>(levels));
    putI32(out, static_cast<int32_t>(file.maps.size()));
    for (const std::string& label : file.levelLabels) putText(out, label);
    for (const LdiMap& map : file.maps) {
        putText(out, map.name);
        putI32(out, map.mapKind);
        putF32(out, map.lowerThreshold);
        putF32(out, map.upperThreshold);
        for (int32_t value : {map.positiveColourLow, map.positiveColourHigh, map.negativeColourLow,
                              map.negativeColourHigh, map.useNegativeColours})
            putI32(out, value);
        for (std::size_t t = 0; t < levels; ++t)
            putF32(out, t < map.fdrThresholds.size() ? map.fdrThresholds[t] : 0.0f);
    }
    const std::size_t voxelCount = static_cast<std::size_t>(g.voxelCount() > 0 ? g.voxelCount() : 0);
    for (const LdiMap& map : file.maps) {
        for (std::size_t v = 0; v < voxelCount; ++v)
            putF32(out, v < map.voxels.size() ? map.voxels[v] : 0.0f);
    }
    putU32(out, crc32Of(out));
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

nlohmann::ordered_json resultJson(const LdiFile& file, const ResultIdentity& identity,
                                  const std::string& mapFileName,
                                  const std::vector<std::string>& niftiFileNames) {
    using nlohmann::ordered_json;
    const LdiGeometry& g = file.geometry;
    ordered_json document;
    document["formatVersion"] = 1;
    document["plugin"] = {{"name", identity.pluginName}, {"version", identity.pluginVersion}};
    document["mapFile"] = mapFileName;
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
        for (std::size_t t = 0; t < map.fdrThresholds.size(); ++t) {
            ordered_json level;
            const std::string label = t < file.levelLabels.size() ? file.levelLabels[t] : std::string();
            double q = 0.0;
            level["label"] = label;
            level["q"] = qFromLabel(label, q) ? ordered_json(q) : ordered_json(nullptr);
            level["threshold"] = jsonFloat(map.fdrThresholds[t]);
            thresholds.push_back(level);
        }
        entry["fdrThresholds"] = thresholds;
        maps.push_back(entry);
    }
    document["maps"] = maps;
    return document;
}

// ---- NIfTI ---------------------------------------------------------------------

#if defined(_WIN32)
bool writeNiftiMap(const std::string& path, const LdiGeometry&, const LdiMap&, std::string& problem) {
    problem = "cannot write " + path + ": this build of ldi writes no NIfTI files";
    return false;
}
#else
bool writeNiftiMap(const std::string& path, const LdiGeometry& geometry, const LdiMap& map,
                   std::string& problem) {
    nifti_set_debug_level(0);  // failures are reported by the caller, with the path
    const int64_t voxelCount = geometry.voxelCount();
    if (geometry.dimX <= 0 || geometry.dimY <= 0 || geometry.dimZ <= 0 ||
        map.voxels.size() != static_cast<std::size_t>(voxelCount)) {
        problem = "cannot write " + path + ": the map's size does not match its grid";
        return false;
    }
    const int dims[8] = {3, geometry.dimX, geometry.dimY, geometry.dimZ, 1, 1, 1, 1};
    NiftiImagePtr image(nifti_make_new_nim(dims, NIFTI_TYPE_FLOAT32, 1));
    if (!image) {
        problem = "cannot write " + path + ": no memory for the image";
        return false;
    }
    nifti_image& nim = *image;
    std::memcpy(nim.data, map.voxels.data(), map.voxels.size() * sizeof(float));

    const float resolution = static_cast<float>(geometry.resolution);
    nim.dx = nim.dy = nim.dz = resolution;
    nim.pixdim[1] = nim.pixdim[2] = nim.pixdim[3] = resolution;
    nim.xyz_units = NIFTI_UNITS_MM;
    // Index i along each axis lies at start + i * resolution, axes unrotated.
    nim.qform_code = NIFTI_XFORM_SCANNER_ANAT;
    nim.sform_code = NIFTI_XFORM_SCANNER_ANAT;
    nim.quatern_b = nim.quatern_c = nim.quatern_d = 0.0f;
    nim.qfac = 1.0f;
    nim.qoffset_x = static_cast<float>(geometry.xStart);
    nim.qoffset_y = static_cast<float>(geometry.yStart);
    nim.qoffset_z = static_cast<float>(geometry.zStart);
    nim.qto_xyz = nifti_quatern_to_mat44(0.0f, 0.0f, 0.0f, nim.qoffset_x, nim.qoffset_y, nim.qoffset_z,
                                         resolution, resolution, resolution, 1.0f);
    nim.qto_ijk = nifti_mat44_inverse(nim.qto_xyz);
    std::memset(&nim.sto_xyz, 0, sizeof nim.sto_xyz);
    nim.sto_xyz.m[0][0] = resolution;
    nim.sto_xyz.m[1][1] = resolution;
    nim.sto_xyz.m[2][2] = resolution;
    nim.sto_xyz.m[0][3] = nim.qoffset_x;
    nim.sto_xyz.m[1][3] = nim.qoffset_y;
    nim.sto_xyz.m[2][3] = nim.qoffset_z;
    nim.sto_xyz.m[3][3] = 1.0f;
    nim.sto_ijk = nifti_mat44_inverse(nim.sto_xyz);
    nim.intent_code = NIFTI_INTENT_ESTIMATE;
    std::snprintf(nim.intent_name, sizeof nim.intent_name, "%s", "LDI map");
    std::snprintf(nim.descrip, sizeof nim.descrip, "%s", map.name.c_str());
    nim.nifti_type = NIFTI_FTYPE_NIFTI1_1;
    if (nifti_set_filenames(&nim, path.c_str(), 0, 1) != 0) {
        problem = "cannot write " + path + ": not a NIfTI file name";
        return false;
    }
    // The library's writer reports nothing, so the file is read back and compared.
    nifti_image_write(&nim);
    NiftiImagePtr check(nifti_image_read(path.c_str(), 1));
    if (!check || check->nx != geometry.dimX || check->ny != geometry.dimY ||
        check->nz != geometry.dimZ || check->datatype != NIFTI_TYPE_FLOAT32 || check->data == nullptr ||
        check->nvox != static_cast<std::size_t>(voxelCount) ||
        std::memcmp(check->data, map.voxels.data(), map.voxels.size() * sizeof(float)) != 0) {
        problem = "cannot write " + path + ": the file could not be written completely (is the disk full?)";
        return false;
    }
    return true;
}
#endif

// ---- the whole save ------------------------------------------------------------

bool saveResultFiles(const std::string& mapFilePath, const LdiFile& file,
                     const ResultIdentity& identity, std::string& problem) {
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

    const std::vector<std::string> labels = niftiLabels(file.maps);
    std::vector<std::string> niftiNames;
#if !defined(_WIN32)  // no NIfTI files there (see writeNiftiMap)
    for (const std::string& label : labels) niftiNames.push_back(baseName + "_" + label + ".nii.gz");
#endif
    const std::string jsonPath = base + ".json";

    TempFile mapTemp;
    std::string detail;
    if (!mapTemp.create(folder, ".ldi", detail) || !mapTemp.writeAll(encodeLdi(file), mapFilePath, detail)) {
        problem = where + detail;
        return false;
    }
    std::vector<std::unique_ptr<TempFile>> niftiTemps;
    for (std::size_t i = 0; i < niftiNames.size(); ++i) {
        const std::string finalPath = folder + "/" + niftiNames[i];
        niftiTemps.push_back(std::make_unique<TempFile>());
        TempFile& temp = *niftiTemps.back();
        if (!temp.create(folder, ".nii.gz", detail)) {
            problem = where + detail;
            return false;
        }
        temp.closeHandle();
        if (!writeNiftiMap(temp.path(), file.geometry, file.maps[i], detail)) {
            problem = where + "cannot write " + finalPath + " (" + detail + ")";
            return false;
        }
#if !defined(_WIN32)
        if (!temp.syncWrittenFile(finalPath, detail)) {
            problem = where + detail;
            return false;
        }
#endif
    }
    const std::string mapFileName = fs::path(mapFilePath).filename().string();
    std::string json = resultJson(file, identity, mapFileName, niftiNames)
                           .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    json += '\n';
    TempFile jsonTemp;
    if (!jsonTemp.create(folder, ".json", detail) || !jsonTemp.writeAll(json, jsonPath, detail)) {
        problem = where + detail;
        return false;
    }

    // Everything is on the disk: give the files their names, the map file
    // last. Should a rename fail, the files already renamed by this save are
    // removed again, so that no incomplete set of results is left.
    std::vector<std::string> renamed;
    auto commit = [&](TempFile& temp, const std::string& finalPath) {
        if (!temp.commit(finalPath, detail)) {
            for (const std::string& path : renamed) std::remove(path.c_str());
            problem = where + detail;
            return false;
        }
        renamed.push_back(finalPath);
        return true;
    };
    for (std::size_t i = 0; i < niftiTemps.size(); ++i) {
        if (!commit(*niftiTemps[i], folder + "/" + niftiNames[i])) return false;
    }
    if (!commit(jsonTemp, jsonPath) || !commit(mapTemp, mapFilePath)) return false;
#if !defined(_WIN32)  // MOVEFILE_WRITE_THROUGH has already made the names durable there
    int folderHandle = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (folderHandle >= 0) {
        ::fsync(folderHandle);
        ::close(folderHandle);
    }
#endif
    return true;
}

}  // namespace ldi_host
