// The box a functional grid covers in anatomical coordinates, and the grid's
// size. Voxel x of the grid covers [xStart + x * resolution, xStart + (x + 1) *
// resolution), and likewise along y and z.
#pragma once

#include <cstdint>

namespace ldi {

struct GridBox {
    int32_t xStart = 0;
    int32_t xEnd = 0;
    int32_t yStart = 0;
    int32_t yEnd = 0;
    int32_t zStart = 0;
    int32_t zEnd = 0;
    int32_t resolution = 0;
};

struct GridSize {
    int32_t dimX = 0;
    int32_t dimY = 0;
    int32_t dimZ = 0;
};

// Voxels along each axis: (end - start) / resolution, rounded towards zero and
// formed in 64 bits, then kept in 32 (the callers accept only boxes whose
// sizes fit). All zero when the resolution is not positive.
GridSize gridSizeOf(const GridBox& box);

}  // namespace ldi
