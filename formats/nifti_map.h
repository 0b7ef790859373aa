// One map of a map set as a gzipped NIfTI-1 file, NAME_LABEL.nii.gz: the
// form other neuroimaging programs read the maps in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "formats/ldi_file.h"
#include "formats/nifti_image.h"
#include "formats/gzip_output.h"

namespace ldi {

// One map as a gzip-compressed 3D float32 NIfTI-1 file: the voxels in the
// map's [z][y][x] order, sform and qform (Talairach) placing voxel (i, j, k)
// at the anatomy's coordinates (see docs/formats.md). False with a reason
// when the map does not fit its grid.
// The compressed bytes go to a buffer that is not zero-filled first.
bool encodeNiftiMap(const LdiGeometry& geometry, const LdiMap& map, ByteBuffer& encoded, std::string& problem);

// One map on the grid of a NIfTI run as a gzipped NIfTI file (the header as
// encodeNiftiMapHeader makes it, then the voxels), compressed with isa-l's
// igzip from where the voxels lie: the maps of `ldi map` and `ldi bids`.
bool encodeNiftiMap(const NiftiHeader& grid, const std::vector<float>& voxels, const std::string& description,
                    ByteBuffer& encoded, std::string& problem, const MapIntent& intent = MapIntent{});

// Writes one map as encodeNiftiMap makes it (the path should end in ".nii.gz").
// Where a map set's voxel (i, j, k) lies in Talairach millimetres (RAS): the
// grid's axes run along the anatomy as the host's internal coordinates do, a
// Talairach point (x, y, z) lying at internal (128 - y, 128 - z, 128 - x).
// The NIfTI maps of a set carry this affine; pictures place .ldi sets by it.
Affine worldFromLdiGrid(const LdiGeometry& geometry);

bool writeNiftiMap(const std::string& path, const LdiGeometry& geometry, const LdiMap& map,
                   std::string& problem);

}  // namespace ldi
