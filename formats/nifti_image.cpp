#include "formats/nifti_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include <nifti1.h>
#include <nifti2.h>
#include <zlib.h>

#include "formats/gzip_output.h"

namespace ldi {

namespace {

constexpr std::size_t kNifti1HeaderBytes = 348;
constexpr std::size_t kNifti2HeaderBytes = 540;
// The largest expansion of deflate (a 258-byte match in about two bits), and
// room for the gzip headers of a file of several members.
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr uint64_t kGzipOverheadBytes = 4096;

// Fields read at their byte offset, in the file's byte order.
class FieldReader {
public:
    FieldReader(const unsigned char* bytes, bool swapped) : bytes_(bytes), swapped_(swapped) {}

    template <typename T>
    T at(std::size_t offset) const {
        unsigned char copy[sizeof(T)];
        std::memcpy(copy, bytes_ + offset, sizeof(T));
        if (swapped_) std::reverse(copy, copy + sizeof(T));
        T value;
        std::memcpy(&value, copy, sizeof(T));
        return value;
    }

private:
    const unsigned char* bytes_;
    bool swapped_;
};

int32_t swappedInt32(int32_t value) {
    unsigned char bytes[4];
    std::memcpy(bytes, &value, 4);
    std::reverse(bytes, bytes + 4);
    std::memcpy(&value, bytes, 4);
    return value;
}

void decodeVersion1(const FieldReader& f, NiftiHeader& h) {
    h.rank = f.at<int16_t>(40);
    for (int i = 1; i < 8; ++i) h.dim[static_cast<std::size_t>(i)] = f.at<int16_t>(40 + 2 * static_cast<std::size_t>(i));
    h.intentCode = f.at<int16_t>(68);
    h.intentP1 = f.at<float>(56);
    h.datatype = f.at<int16_t>(70);
    for (int i = 0; i < 8; ++i) h.pixdim[static_cast<std::size_t>(i)] = f.at<float>(76 + 4 * static_cast<std::size_t>(i));
    const float offset = f.at<float>(108);
    h.voxOffset = std::isfinite(offset) && offset >= 0.0f && offset < 1e9f ? static_cast<int64_t>(offset) : -1;
    h.sclSlope = f.at<float>(112);
    h.sclInter = f.at<float>(116);
    h.sliceCode = f.at<unsigned char>(122);
    h.xyztUnits = f.at<unsigned char>(123);
    h.dimInfo = f.at<unsigned char>(39);
    h.qformCode = f.at<int16_t>(252);
    h.sformCode = f.at<int16_t>(254);
    for (std::size_t i = 0; i < 3; ++i) {
        h.quatern[i] = f.at<float>(256 + 4 * i);
        h.qoffset[i] = f.at<float>(268 + 4 * i);
        for (std::size_t j = 0; j < 4; ++j) h.srow[i][j] = f.at<float>(280 + 16 * i + 4 * j);
    }
}

void decodeVersion2(const FieldReader& f, NiftiHeader& h) {
    h.datatype = f.at<int16_t>(12);
    h.rank = static_cast<int32_t>(std::clamp<int64_t>(f.at<int64_t>(16), -1, 100));
    for (int i = 1; i < 8; ++i) h.dim[static_cast<std::size_t>(i)] = f.at<int64_t>(16 + 8 * static_cast<std::size_t>(i));
    for (int i = 0; i < 8; ++i) h.pixdim[static_cast<std::size_t>(i)] = f.at<double>(104 + 8 * static_cast<std::size_t>(i));
    h.voxOffset = f.at<int64_t>(168);
    h.sclSlope = f.at<double>(176);
    h.sclInter = f.at<double>(184);
    h.qformCode = f.at<int32_t>(344);
    h.sformCode = f.at<int32_t>(348);
    for (std::size_t i = 0; i < 3; ++i) {
        h.quatern[i] = f.at<double>(352 + 8 * i);
        h.qoffset[i] = f.at<double>(376 + 8 * i);
        for (std::size_t j = 0; j < 4; ++j) h.srow[i][j] = f.at<double>(400 + 32 * i + 8 * j);
    }
    h.sliceCode = f.at<int32_t>(496);
    h.xyztUnits = f.at<int32_t>(500);
    h.intentCode = f.at<int32_t>(504);
    h.intentP1 = f.at<double>(80);
    h.dimInfo = f.at<unsigned char>(524);
}

template <typename T>
void convertValues(const unsigned char* raw, std::size_t count, bool swapped, float* out) {
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, raw + i * sizeof(T), sizeof(T));
        if (swapped) std::reverse(bytes, bytes + sizeof(T));
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        out[i] = static_cast<float>(value);
    }
}

// float64 data and scaled integers are scaled in double precision, then
// rounded once to float32.
template <typename T>
void convertScaled(const unsigned char* raw, std::size_t count, bool swapped, double slope, double inter,
                   float* out) {
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, raw + i * sizeof(T), sizeof(T));
        if (swapped) std::reverse(bytes, bytes + sizeof(T));
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        out[i] = static_cast<float>(static_cast<double>(value) * slope + inter);
    }
}

// Whether the stored values are scaled: a slope of 0 (or not finite) means none.
bool scaledValues(const NiftiHeader& h) {
    return h.sclSlope != 0.0 && std::isfinite(h.sclSlope) && !(h.sclSlope == 1.0 && h.sclInter == 0.0);
}

template <typename T>
void convertVolume(const unsigned char* raw, std::size_t count, const NiftiHeader& h, float* out) {
    if (scaledValues(h)) {
        const double inter = std::isfinite(h.sclInter) ? h.sclInter : 0.0;
        convertScaled<T>(raw, count, h.swapped, h.sclSlope, inter, out);
    } else {
        convertValues<T>(raw, count, h.swapped, out);
    }
}

bool multiplyFits(int64_t a, int64_t b, int64_t limit, int64_t& product) {
    if (a <= 0 || b <= 0 || a > limit / b) return false;
    product = a * b;
    return true;
}

}  // namespace

int niftiElementSize(int32_t datatype) {
    switch (datatype) {
    case NIFTI_TYPE_UINT8:
    case NIFTI_TYPE_INT8: return 1;
    case NIFTI_TYPE_INT16:
    case NIFTI_TYPE_UINT16: return 2;
    case NIFTI_TYPE_INT32:
    case NIFTI_TYPE_UINT32:
    case NIFTI_TYPE_FLOAT32: return 4;
    case NIFTI_TYPE_FLOAT64: return 8;
    default: return 0;
    }
}

std::string niftiTypeName(int32_t datatype) {
    switch (datatype) {
    case NIFTI_TYPE_UINT8: return "uint8";
    case NIFTI_TYPE_INT8: return "int8";
    case NIFTI_TYPE_INT16: return "int16";
    case NIFTI_TYPE_UINT16: return "uint16";
    case NIFTI_TYPE_INT32: return "int32";
    case NIFTI_TYPE_UINT32: return "uint32";
    case NIFTI_TYPE_FLOAT32: return "float32";
    case NIFTI_TYPE_FLOAT64: return "float64";
    default: return "type " + std::to_string(datatype);
    }
}

bool decodeNiftiHeader(const unsigned char* bytes, std::size_t size, NiftiHeader& header, std::size_t& needed,
                       std::string& problem) {
    header = NiftiHeader{};
    needed = kNifti1HeaderBytes;
    if (size < 4) {
        problem = "not a NIfTI file (too short for a header)";
        return false;
    }
    int32_t sizeField = 0;
    std::memcpy(&sizeField, bytes, 4);
    bool swapped = false;
    if (sizeField != 348 && sizeField != 540) {
        sizeField = swappedInt32(sizeField);
        swapped = true;
    }
    if (sizeField != 348 && sizeField != 540) {
        problem = "not a NIfTI file (its first four bytes give no NIfTI header size)";
        return false;
    }
    needed = static_cast<std::size_t>(sizeField);
    if (size < needed) {
        problem = "not a NIfTI file (the header is cut short)";
        return false;
    }
    header.swapped = swapped;
    const FieldReader fields(bytes, swapped);
    if (sizeField == 348) {
        header.version = 1;
        if (std::memcmp(bytes + 344, "ni1\0", 4) == 0) {
            problem = "a NIfTI header of a .hdr/.img pair; ldi reads single .nii or .nii.gz files";
            return false;
        }
        if (std::memcmp(bytes + 344, "n+1\0", 4) != 0) {
            problem = "not a NIfTI file (no NIfTI-1 magic \"n+1\")";
            return false;
        }
        decodeVersion1(fields, header);
    } else {
        header.version = 2;
        if (std::memcmp(bytes + 4, "n+2\0\r\n\032\n", 8) != 0) {
            problem = std::memcmp(bytes + 4, "ni2\0", 4) == 0
                          ? "a NIfTI header of a .hdr/.img pair; ldi reads single .nii or .nii.gz files"
                          : "not a NIfTI file (no NIfTI-2 magic \"n+2\")";
            return false;
        }
        decodeVersion2(fields, header);
    }
    if (header.rank < 1 || header.rank > 7) {
        problem = "the header gives " + std::to_string(header.rank) + " dimensions (1 to 7 are possible)";
        return false;
    }
    for (int i = 1; i < 8; ++i) {
        auto& d = header.dim[static_cast<std::size_t>(i)];
        if (i > header.rank) {
            d = 1;
        } else if (d <= 0) {
            problem = "dimension " + std::to_string(i) + " of the header is " + std::to_string(d);
            return false;
        }
    }
    // The whole image's bytes must be countable: a damaged header can promise
    // more voxels than any disk holds.
    int64_t voxels = 1;
    for (int i = 1; i <= header.rank; ++i) {
        if (!multiplyFits(voxels, header.dim[static_cast<std::size_t>(i)], std::numeric_limits<int64_t>::max() / 16,
                          voxels)) {
            problem = "the header's dimensions overflow (their product is too large for any image)";
            return false;
        }
    }
    const int element = niftiElementSize(header.datatype);
    if (element == 0) {
        problem = "data of " + niftiTypeName(header.datatype) +
                  " are not read (int8, uint8, int16, uint16, int32, uint32, float32 and float64 are)";
        return false;
    }
    if (header.voxOffset < static_cast<int64_t>(needed)) {
        problem = "the header puts the data at byte " + std::to_string(header.voxOffset) + ", inside the header";
        return false;
    }
    return true;
}

Affine voxelToWorld(const NiftiHeader& h) {
    Affine m{};
    if (h.sformCode > 0) return h.srow;
    auto size = [&h](std::size_t i) { return h.pixdim[i] > 0.0 ? h.pixdim[i] : 1.0; };
    if (h.qformCode > 0) {
        double b = h.quatern[0], c = h.quatern[1], d = h.quatern[2];
        double a = 1.0 - (b * b + c * c + d * d);
        if (a < 1.0e-7) {
            a = 1.0 / std::sqrt(b * b + c * c + d * d);
            b *= a;
            c *= a;
            d *= a;
            a = 0.0;
        } else {
            a = std::sqrt(a);
        }
        const double qfac = h.pixdim[0] < 0.0 ? -1.0 : 1.0;
        const double r[3][3] = {{a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)},
                                {2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)},
                                {2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - c * c - b * b}};
        for (std::size_t i = 0; i < 3; ++i) {
            m[i][0] = r[i][0] * size(1);
            m[i][1] = r[i][1] * size(2);
            m[i][2] = r[i][2] * size(3) * qfac;
            m[i][3] = h.qoffset[i];
        }
        return m;
    }
    for (std::size_t i = 0; i < 3; ++i) m[i][i] = size(i + 1);
    return m;
}

bool invertAffine(const Affine& a, Affine& inverse) {
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    if (!std::isfinite(det) || std::fabs(det) < 1e-12) return false;
    double r[3][3];
    r[0][0] = (a[1][1] * a[2][2] - a[1][2] * a[2][1]) / det;
    r[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
    r[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
    r[1][0] = (a[1][2] * a[2][0] - a[1][0] * a[2][2]) / det;
    r[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
    r[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
    r[2][0] = (a[1][0] * a[2][1] - a[1][1] * a[2][0]) / det;
    r[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
    r[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) inverse[i][j] = r[i][j];
        inverse[i][3] = -(r[i][0] * a[0][3] + r[i][1] * a[1][3] + r[i][2] * a[2][3]);
    }
    return true;
}

std::string orientationCode(const Affine& a) {
    const char positive[3] = {'R', 'A', 'S'};
    const char negative[3] = {'L', 'P', 'I'};
    std::string code;
    for (std::size_t j = 0; j < 3; ++j) {
        std::size_t axis = 0;
        for (std::size_t i = 1; i < 3; ++i)
            if (std::fabs(a[i][j]) > std::fabs(a[axis][j])) axis = i;
        code += a[axis][j] >= 0.0 ? positive[axis] : negative[axis];
    }
    return code;
}

double headerRepetitionTime(const NiftiHeader& h) {
    const double value = h.pixdim[4];
    if (!(value > 0.0) || !std::isfinite(value)) return 0.0;
    switch (XYZT_TO_TIME(h.xyztUnits)) {
    case NIFTI_UNITS_MSEC: return value / 1000.0;
    case NIFTI_UNITS_USEC: return value / 1.0e6;
    default: return value;  // seconds, or no unit (scanners write seconds)
    }
}

bool NiftiReader::open(const std::string& path, std::string& problem) {
    path_ = path;
    if (!input_.open(path, problem)) return false;
    unsigned char bytes[kNifti2HeaderBytes];
    std::string detail;
    if (!input_.read(bytes, kNifti1HeaderBytes, detail)) {
        // A gzip stream cut or damaged inside the header is said as such.
        problem = input_.compressed() ? detail + ", inside the NIfTI header"
                                      : path + ": not a NIfTI file (shorter than a NIfTI header)";
        return false;
    }
    std::size_t needed = kNifti1HeaderBytes;
    if (!decodeNiftiHeader(bytes, kNifti1HeaderBytes, header_, needed, detail)) {
        if (needed == kNifti2HeaderBytes) {
            if (!input_.read(bytes + kNifti1HeaderBytes, kNifti2HeaderBytes - kNifti1HeaderBytes, detail)) {
                problem = input_.compressed() ? detail + ", inside the NIfTI header"
                                              : path + ": not a NIfTI file (the header is cut short)";
                return false;
            }
            if (!decodeNiftiHeader(bytes, kNifti2HeaderBytes, header_, needed, detail)) {
                problem = path + ": " + detail;
                return false;
            }
        } else {
            problem = path + ": " + detail;
            return false;
        }
    }
    const auto element = static_cast<int64_t>(niftiElementSize(header_.datatype));
    int64_t dataBytes = element;
    for (int i = 1; i <= header_.rank; ++i) dataBytes *= header_.dim[static_cast<std::size_t>(i)];
    const uint64_t expected = static_cast<uint64_t>(header_.voxOffset) + static_cast<uint64_t>(dataBytes);
    dataLeft_ = static_cast<uint64_t>(dataBytes);
    if (!input_.compressed()) {
        // An uncompressed file's size is known: a short file is reported before
        // anything is read or allocated for its data.
        if (expected > input_.storedSize()) {
            problem = path + ": the file ends early (truncated: its header needs " + std::to_string(expected) +
                      " bytes, the file holds " + std::to_string(input_.storedSize()) + ")";
            return false;
        }
    } else if (expected / kMaxDeflateRatio > input_.storedSize() + kGzipOverheadBytes) {
        // Deflate cannot expand a byte into more than about 1032: a header that
        // claims more data than that is refused before its volumes are allocated.
        problem = path + ": the file ends early (truncated: its header claims " + std::to_string(expected) +
                  " bytes of image, more than " + std::to_string(input_.storedSize()) +
                  " compressed bytes can hold)";
        return false;
    }
    if (!input_.skip(static_cast<uint64_t>(header_.voxOffset) - needed, problem)) return false;
    raw_.resize(static_cast<std::size_t>(header_.voxelsPerVolume() * element));
    return true;
}

bool NiftiReader::readVolume(float* out, std::string& problem) {
    if (header_.datatype == NIFTI_TYPE_FLOAT32 && !header_.swapped && !scaledValues(header_)) {
        // Floats stored as they are wanted are inflated where they go: a copy
        // less on the thread that inflates, the slowest part of reading a run.
        if (!input_.read(out, raw_.size(), problem)) return false;
        dataLeft_ -= std::min<uint64_t>(dataLeft_, raw_.size());
        return true;
    }
    if (!input_.read(raw_.data(), raw_.size(), problem)) return false;
    dataLeft_ -= std::min<uint64_t>(dataLeft_, raw_.size());
    const auto count = static_cast<std::size_t>(header_.voxelsPerVolume());
    const unsigned char* raw = raw_.data();
    switch (header_.datatype) {
    case NIFTI_TYPE_UINT8: convertVolume<uint8_t>(raw, count, header_, out); break;
    case NIFTI_TYPE_INT8: convertVolume<int8_t>(raw, count, header_, out); break;
    case NIFTI_TYPE_INT16: convertVolume<int16_t>(raw, count, header_, out); break;
    case NIFTI_TYPE_UINT16: convertVolume<uint16_t>(raw, count, header_, out); break;
    case NIFTI_TYPE_INT32: convertVolume<int32_t>(raw, count, header_, out); break;
    case NIFTI_TYPE_UINT32: convertVolume<uint32_t>(raw, count, header_, out); break;
    case NIFTI_TYPE_FLOAT32: convertVolume<float>(raw, count, header_, out); break;
    case NIFTI_TYPE_FLOAT64: convertVolume<double>(raw, count, header_, out); break;
    default: problem = path_ + ": unreadable data type"; return false;
    }
    return true;
}

bool NiftiReader::checkData(std::string& problem) {
    if (!input_.skip(dataLeft_, problem)) return false;
    dataLeft_ = 0;
    return input_.finish(problem);
}

bool sameGrid(const NiftiHeader& a, const NiftiHeader& b) {
    const double tolerance = 1e-3;  // mm
    for (std::size_t i = 1; i <= 3; ++i)
        if (a.dim[i] != b.dim[i]) return false;
    const Affine x = voxelToWorld(a);
    const Affine y = voxelToWorld(b);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 4; ++j)
            if (!(std::fabs(x[i][j] - y[i][j]) <= tolerance)) return false;
    return true;
}

std::string gridText(const NiftiHeader& h) {
    return std::to_string(h.nx()) + " x " + std::to_string(h.ny()) + " x " + std::to_string(h.nz());
}

bool readNiftiVolume(const std::string& path, NiftiHeader& header, std::vector<float>& values,
                     bool firstVolumeOfMore, std::string& problem) {
    NiftiReader reader;
    if (!reader.open(path, problem)) return false;
    header = reader.header();
    int64_t beyond = 1;
    for (std::size_t i = 4; i < 8; ++i) beyond *= header.dim[i];
    if (beyond > 1 && !firstVolumeOfMore) {
        problem = path + ": a 3D image is needed; this one has " + std::to_string(header.rank) + " dimensions (" +
                  std::to_string(beyond) + " volumes)";
        return false;
    }
    values.resize(static_cast<std::size_t>(header.voxelsPerVolume()));
    return reader.readVolume(values.data(), problem) && (beyond > 1 || reader.finish(problem));
}

namespace {

// The fields both header versions share, by the same names; each value is
// converted to the version's own field type.
template <typename Header>
void fillMapHeader(Header& h, const NiftiHeader& grid, const std::string& description,
                   const MapIntent& intent = MapIntent{}) {
    using Dim = std::remove_reference_t<decltype(h.dim[0])>;
    using Real = std::remove_reference_t<decltype(h.pixdim[0])>;
    h.datatype = NIFTI_TYPE_FLOAT32;
    h.bitpix = 32;
    h.dim[0] = 3;
    for (std::size_t i = 1; i < 8; ++i) h.dim[i] = static_cast<Dim>(i <= 3 ? grid.dim[i] : 1);
    for (std::size_t i = 0; i < 4; ++i) h.pixdim[i] = static_cast<Real>(grid.pixdim[i]);
    h.scl_slope = 1;
    h.xyzt_units = static_cast<decltype(h.xyzt_units)>(XYZT_TO_SPACE(grid.xyztUnits));
    h.dim_info = static_cast<char>(grid.dimInfo);
    h.intent_code = static_cast<decltype(h.intent_code)>(intent.code);
    h.intent_p1 = static_cast<decltype(h.intent_p1)>(intent.p1);
    std::snprintf(h.intent_name, sizeof h.intent_name, "%s", intent.name);
    std::snprintf(h.descrip, sizeof h.descrip, "%s", description.c_str());
    h.qform_code = static_cast<decltype(h.qform_code)>(grid.qformCode);
    h.sform_code = static_cast<decltype(h.sform_code)>(grid.sformCode);
    h.quatern_b = static_cast<Real>(grid.quatern[0]);
    h.quatern_c = static_cast<Real>(grid.quatern[1]);
    h.quatern_d = static_cast<Real>(grid.quatern[2]);
    h.qoffset_x = static_cast<Real>(grid.qoffset[0]);
    h.qoffset_y = static_cast<Real>(grid.qoffset[1]);
    h.qoffset_z = static_cast<Real>(grid.qoffset[2]);
    for (std::size_t j = 0; j < 4; ++j) {
        h.srow_x[j] = static_cast<Real>(grid.srow[0][j]);
        h.srow_y[j] = static_cast<Real>(grid.srow[1][j]);
        h.srow_z[j] = static_cast<Real>(grid.srow[2][j]);
    }
}

template <typename Header>
Header mapHeader(const NiftiHeader& grid, const std::string& description, const MapIntent& intent, const char* magic,
                 std::size_t magicSize) {
    Header h;
    std::memset(&h, 0, sizeof h);
    h.sizeof_hdr = sizeof h;
    h.vox_offset = sizeof h + 4;
    std::memcpy(h.magic, magic, magicSize);
    fillMapHeader(h, grid, description, intent);
    return h;
}

// The header and the empty extension block that follows it.
template <typename Header>
std::string headerBytes(const Header& h) {
    std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
    bytes.append(4, '\0');
    return bytes;
}

template <typename Header>
std::string runHeaderBytes(const NiftiHeader& grid, int64_t volumes, double tr, const std::string& description,
                           const char* magic, std::size_t magicSize) {
    Header h = mapHeader<Header>(grid, description, MapIntent{}, magic, magicSize);
    using Dim = std::remove_reference_t<decltype(h.dim[0])>;
    using Real = std::remove_reference_t<decltype(h.pixdim[0])>;
    h.intent_code = NIFTI_INTENT_NONE;
    std::memset(h.intent_name, 0, sizeof h.intent_name);
    h.dim[0] = 4;
    h.dim[4] = static_cast<Dim>(volumes);
    h.pixdim[4] = static_cast<Real>(tr);
    h.xyzt_units = static_cast<decltype(h.xyzt_units)>(XYZT_TO_SPACE(grid.xyztUnits) | NIFTI_UNITS_SEC);
    return headerBytes(h);
}

constexpr char NIFTI1_MAGIC[] = "n+1\0";
constexpr char NIFTI2_MAGIC[] = "n+2\0\r\n\032\n";

}  // namespace

int niftiVersionFor(const NiftiHeader& grid, int64_t volumes) {
    // NIfTI-1 keeps each dimension in a signed 16-bit field; many readers
    // (the BIDS validator among them) take NIfTI-1 only.
    const int64_t largest = std::max({grid.nx(), grid.ny(), grid.nz(), volumes});
    return largest <= std::numeric_limits<int16_t>::max() ? 1 : 2;
}

std::string encodeNiftiRunHeader(const NiftiHeader& grid, int64_t volumes, double tr, const std::string& description) {
    return niftiVersionFor(grid, volumes) == 1
               ? runHeaderBytes<nifti_1_header>(grid, volumes, tr, description, NIFTI1_MAGIC, 4)
               : runHeaderBytes<nifti_2_header>(grid, volumes, tr, description, NIFTI2_MAGIC, 8);
}

MapIntent zIntent() { return MapIntent{NIFTI_INTENT_ZSCORE, 0.0, "z"}; }
MapIntent pIntent() { return MapIntent{NIFTI_INTENT_PVAL, 0.0, "p"}; }
MapIntent tIntent(double degreesOfFreedom) { return MapIntent{NIFTI_INTENT_TTEST, degreesOfFreedom, "t"}; }

std::string encodeNiftiMapHeader(const NiftiHeader& grid, const std::string& description, const MapIntent& intent) {
    return niftiVersionFor(grid, 1) == 1
               ? headerBytes(mapHeader<nifti_1_header>(grid, description, intent, NIFTI1_MAGIC, 4))
               : headerBytes(mapHeader<nifti_2_header>(grid, description, intent, NIFTI2_MAGIC, 8));
}

std::string encodeNiftiMap(const NiftiHeader& grid, const std::vector<float>& voxels, const std::string& description,
                           std::string& problem, const MapIntent& intent) {
    // igzip's level as for the map files: zlib's default level took a report
    // longer to pack its viewer's maps than to compute them.
    const std::string header = encodeNiftiMapHeader(grid, description, intent);
    const std::string_view pieces[] = {
        header, std::string_view(reinterpret_cast<const char*>(voxels.data()), voxels.size() * sizeof(float))};
    ByteBuffer packed;
    if (!gzipPieces(pieces, 2, "a map", packed, problem)) return std::string();
    return std::string(packed.view());
}

bool gzipBytes(const std::string& bytes, int level, const std::string& what, std::string& packed,
               std::string& problem) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        problem = "no memory to compress " + what;
        return false;
    }
    packed.assign(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = static_cast<uInt>(packed.size());
    const int result = deflate(&stream, Z_FINISH);
    packed.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        problem = what + " could not be compressed";
        return false;
    }
    return true;
}

}  // namespace ldi
