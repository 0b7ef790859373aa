// One map of a map set as a gzipped NIfTI-1 file, NAME_LABEL.nii.gz: the
// form other neuroimaging programs read the maps in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "formats/ldi_file.h"
#include "stats/large_buffer.h"

namespace ldi {

// One map as a gzip-compressed 3D float32 NIfTI-1 file: the voxels in the
// map's [z][y][x] order, sform and qform (Talairach) placing voxel (i, j, k)
// at the anatomy's coordinates (see docs/formats.md). False with a reason
// when the map does not fit its grid.
// The compressed bytes go to a buffer that is not zero-filled first.
struct ByteBuffer {
    LargeArray<char> bytes;
    std::size_t size = 0;
    std::string_view view() const { return {bytes.get(), size}; }
};
bool encodeNiftiMap(const LdiGeometry& geometry, const LdiMap& map, ByteBuffer& encoded, std::string& problem);

// Writes one map as encodeNiftiMap makes it (the path should end in ".nii.gz").
bool writeNiftiMap(const std::string& path, const LdiGeometry& geometry, const LdiMap& map,
                   std::string& problem);

}  // namespace ldi
