#include "formats/nifti_map.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "formats/gzip_output.h"

#if !defined(_WIN32)
// Debian has no Windows build of these: the Windows ldi writes no NIfTI files.
#include <nifti1_io.h>
#endif

namespace ldi {

// Voxel (i, j, k) of the grid, whose centre is at internal (xStart + i r,
// yStart + j r, zStart + k r), is at Talairach x = 128 - zStart - k r,
// y = 128 - xStart - i r, z = 128 - yStart - j r.
Affine worldFromLdiGrid(const LdiGeometry& g) {
    const double r = g.resolution;
    Affine m{};
    m[0][2] = -r;
    m[0][3] = 128.0 - g.zStart;
    m[1][0] = -r;
    m[1][3] = 128.0 - g.xStart;
    m[2][1] = -r;
    m[2][3] = 128.0 - g.yStart;
    return m;
}

// ---- NIfTI ---------------------------------------------------------------------

#if defined(_WIN32)
bool encodeNiftiMap(const LdiGeometry&, const LdiMap&, ByteBuffer&, std::string& problem) {
    problem = "this build of ldi writes no NIfTI files";
    return false;
}
#else
namespace {

mat44 talairachFromGrid(const LdiGeometry& g) {
    const Affine world = worldFromLdiGrid(g);
    mat44 m{};
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column) m.m[row][column] = static_cast<float>(world[row][column]);
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

    return gzipPieces(pieces, 2, "the image", encoded, problem);
}

bool encodeNiftiMap(const NiftiHeader& grid, const std::vector<float>& voxels, const std::string& description,
                    ByteBuffer& encoded, std::string& problem, const MapIntent& intent) {
    const std::string head = encodeNiftiMapHeader(grid, description, intent);
    const std::string_view pieces[] = {
        head, std::string_view(reinterpret_cast<const char*>(voxels.data()), voxels.size() * sizeof(float))};
    return gzipPieces(pieces, 2, "a map", encoded, problem);
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
