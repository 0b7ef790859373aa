// The VOI list text format read by `ldi run --voi FILE`.
//
//   # comment lines and blank lines are ignored
//   Coordinates: internal        (or "tal"; optional, before the first VOI)
//   VOI: Left motor cortex
//   10 20 30                     (one "x y z" line of integers per voxel)
//   11 20 30
//   VOI: ...
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "formats/text_util.h"

namespace ldi {

struct VoiDefinition {
    std::string name;
    std::vector<int32_t> voxels;  // x, y, z of each voxel in turn

    int32_t voxelCount() const { return static_cast<int32_t>(voxels.size() / 3); }
};

struct VoiList {
    int32_t coordsConvention = 0;  // 0: internal, 1: Talairach
    std::vector<VoiDefinition> vois;
};

// Parses the whole content of a VOI file. Any byte sequence gives either a
// list or a message with the line number.
Parsed<VoiList> parseVoiList(std::string_view text);

}  // namespace ldi
