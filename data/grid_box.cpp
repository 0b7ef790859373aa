#include "data/grid_box.h"

namespace ldi {

namespace {

int32_t extent(int32_t start, int32_t end, int32_t resolution) {
    return static_cast<int32_t>((static_cast<int64_t>(end) - start) / resolution);
}

}  // namespace

GridSize gridSizeOf(const GridBox& box) {
    if (box.resolution <= 0) return GridSize{};
    return GridSize{extent(box.xStart, box.xEnd, box.resolution), extent(box.yStart, box.yEnd, box.resolution),
                    extent(box.zStart, box.zEnd, box.resolution)};
}

}  // namespace ldi
