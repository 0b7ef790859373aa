// The lane kernel for processors with AVX2: 8 voxels per vector.
#include "engine/voxel_lanes.h"

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "stats/instruction_sets.h"

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ldi {

#if defined(__GNUC__) && defined(__x86_64__)

LDI_TARGET_PUSH("avx2")

#define LDI_LANES_NAMESPACE lanesAvx2
#define LDI_LANE_WIDTH 8
#define LDI_LANE_GROUPS 4
#define LDI_LANE_SQRT(x) _mm256_sqrt_ps(x)
#include "engine/voxel_lanes_x86.inc"
#include "engine/voxel_lanes.inc"

LDI_TARGET_POP

LaneKernel laneKernelAvx2(bool& available) {
    available = true;
    LaneKernel kernel;
    kernel.name = "avx2";
    kernel.blockLanes = lanesAvx2::L;
    kernel.scratchFloats = lanesAvx2::scratchFloats;
    kernel.processBlock = lanesAvx2::processBlock;
    return kernel;
}

#else

LaneKernel laneKernelAvx2(bool& available) {
    available = false;
    return LaneKernel{};
}

#endif

}  // namespace ldi
