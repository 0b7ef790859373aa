// NIfTI-1 and NIfTI-2 images (.nii, .nii.gz) as ldi map reads and writes
// them: the header decoded in either byte order, the data streamed one volume
// at a time as float32 with the scaling applied, and 3D float32 maps written
// on the grid and with the orientation of the image they were computed from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/compressed_input.h"

namespace ldi {

struct NiftiHeader {
    int version = 1;  // 1 or 2
    bool swapped = false;
    int32_t rank = 0;
    std::array<int64_t, 8> dim{};  // dim[1..rank]; entries beyond the rank are 1
    std::array<double, 8> pixdim{};
    int32_t datatype = 0;
    int64_t voxOffset = 0;
    double sclSlope = 0.0;
    double sclInter = 0.0;
    int32_t xyztUnits = 0;
    int32_t intentCode = 0;
    double intentP1 = 0.0;
    int32_t qformCode = 0;
    int32_t sformCode = 0;
    std::array<double, 3> quatern{};  // b, c, d
    std::array<double, 3> qoffset{};
    std::array<std::array<double, 4>, 3> srow{};
    int32_t sliceCode = 0;
    int32_t dimInfo = 0;

    int64_t nx() const { return dim[1]; }
    int64_t ny() const { return dim[2]; }
    int64_t nz() const { return dim[3]; }
    int64_t volumes() const { return dim[4]; }
    int64_t voxelsPerVolume() const { return dim[1] * dim[2] * dim[3]; }
};

// Bytes of one value of a NIfTI data type that ldi reads; 0 for the others.
int niftiElementSize(int32_t datatype);
// "float32", "int16", ... or "type N".
std::string niftiTypeName(int32_t datatype);

// Decodes a header from its first bytes (348 for NIfTI-1, 540 for NIfTI-2).
// `needed` is set to the header size the first four bytes announce, so that a
// caller holding only 348 bytes can read the rest of a NIfTI-2 header first.
// False with a message (without the file name) for anything that is not a
// single-file NIfTI image ldi can read: unknown type, rank outside 1..7,
// nonpositive or overflowing dimensions, data before the end of the header.
bool decodeNiftiHeader(const unsigned char* bytes, std::size_t size, NiftiHeader& header, std::size_t& needed,
                       std::string& problem);

// Voxel (i, j, k) to world millimetres: the sform when its code is set, else
// the qform when set, else the voxel sizes alone.
using Affine = std::array<std::array<double, 4>, 3>;
Affine voxelToWorld(const NiftiHeader& header);
// The world-to-voxel inverse of an affine; false when it is singular.
bool invertAffine(const Affine& affine, Affine& inverse);
// Orientation letters of the voxel axes (for example "RAS", "LPI").
std::string orientationCode(const Affine& affine);
// pixdim[4] in seconds by the header's time unit; 0 when unset.
double headerRepetitionTime(const NiftiHeader& header);

// An image read front to back once: header, then volume after volume.
class NiftiReader {
public:
    bool open(const std::string& path, std::string& problem);
    const NiftiHeader& header() const { return header_; }
    const std::string& path() const { return path_; }
    uint64_t storedSize() const { return input_.storedSize(); }
    bool compressed() const { return input_.compressed(); }
    // The next volume as float32 (voxelsPerVolume values, x fastest), scaled
    // by scl_slope / scl_inter when the slope is set.
    bool readVolume(float* out, std::string& problem);
    // After the last volume: the compressed data end soundly.
    bool finish(std::string& problem) { return input_.finish(problem); }
    // Reads the data not read yet to their end, without keeping them: false
    // when they end early or their gzip checksum or length is wrong.
    bool checkData(std::string& problem);

private:
    CompressedInput input_;
    NiftiHeader header_;
    std::string path_;
    std::vector<unsigned char> raw_;
    uint64_t dataLeft_ = 0;  // bytes of image data not read yet
};

// The same voxel grid: equal dimensions and voxel-to-world affines no more
// than 0.001 mm apart.
bool sameGrid(const NiftiHeader& a, const NiftiHeader& b);
// "NX x NY x NZ".
std::string gridText(const NiftiHeader& header);

// Reads a whole 3D image (or the first volume of a longer one, when
// `firstVolumeOfMore` allows it) into `values`.
bool readNiftiVolume(const std::string& path, NiftiHeader& header, std::vector<float>& values,
                     bool firstVolumeOfMore, std::string& problem);

// The NIfTI version ldi writes an image of the grid's size and `volumes`
// volumes in: 1, unless a dimension is too large for NIfTI-1's 16-bit fields.
int niftiVersionFor(const NiftiHeader& grid, int64_t volumes);

// What a map's voxels are, as its NIfTI intent tells viewers: a value of the
// measure (ESTIMATE), a z score (ZSCORE), a p-value (PVAL) or a t statistic
// with its degrees of freedom (TTEST), so that a viewer's threshold of a z or
// t map means what it says.
struct MapIntent {
    int32_t code = 1001;  // NIFTI_INTENT_ESTIMATE
    double p1 = 0.0;      // TTEST: the degrees of freedom
    const char* name = "LDI map";
};
MapIntent zIntent();
MapIntent pIntent();
MapIntent tIntent(double degreesOfFreedom);

// The header and the empty extension block of a NIfTI file holding one 3D
// float32 map on the grid of `grid` with its orientation (sform and qform with
// their codes, voxel sizes, units), in the version niftiVersionFor chooses
// (whatever the version of the file the grid came from): the voxels follow it
// directly.
std::string encodeNiftiMapHeader(const NiftiHeader& grid, const std::string& description,
                                 const MapIntent& intent = MapIntent{});

// The byte image of that gzipped NIfTI file, compressed with zlib's default
// level: the simulated data sets (whose sizes the maps' provenance records)
// and the reports' embedded maps keep the bytes they always had. The maps of
// `ldi map` and `ldi bids` are compressed faster (formats/nifti_map.h).
std::string encodeNiftiMap(const NiftiHeader& grid, const std::vector<float>& voxels, const std::string& description,
                           std::string& problem, const MapIntent& intent = MapIntent{});

// `bytes` as one gzip member at zlib's `level` (-1 its default); false with a
// message naming `what` ("a map").
bool gzipBytes(const std::string& bytes, int level, const std::string& what, std::string& packed,
               std::string& problem);

// The header (and the empty extension block) of an uncompressed 4D float32
// image on the grid of `grid`, `volumes` volumes of `tr` seconds, in the
// version niftiVersionFor chooses: the float data, volume after volume,
// follow it directly.
std::string encodeNiftiRunHeader(const NiftiHeader& grid, int64_t volumes, double tr, const std::string& description);

}  // namespace ldi
