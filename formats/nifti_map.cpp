#include "formats/nifti_map.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if !defined(_WIN32)
// Debian has no Windows build of these: the Windows ldi writes no NIfTI files.
#include <isa-l/igzip_lib.h>
#include <nifti1_io.h>
#endif

namespace ldi {

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
        problem = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(encoded.bytes.get(), 1, encoded.size, file) == encoded.size;
    const int error = errno;
    ok = (std::fclose(file) == 0) && ok;
    if (!ok) problem = "cannot write " + path + ": " + std::strerror(error != 0 ? error : ENOSPC);
    return ok;
}
}  // namespace ldi
