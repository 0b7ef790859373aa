// The lane kernel for processors with AVX-512: 16 voxels per vector.
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

LDI_TARGET_PUSH("avx512f")

#define LDI_LANES_NAMESPACE lanesAvx512
#define LDI_LANE_WIDTH 16
#define LDI_LANE_GROUPS 2
// (The masked form: the plain one trips a false uninitialised-value warning.)
#define LDI_LANE_SQRT(x) _mm512_maskz_sqrt_ps(static_cast<__mmask16>(0xFFFF), x)
#include "engine/voxel_lanes_x86.inc"
#include "engine/voxel_lanes.inc"

LDI_TARGET_POP

LaneKernel laneKernelAvx512(bool& available) {
    available = true;
    LaneKernel kernel;
    kernel.name = "avx512";
    kernel.blockLanes = lanesAvx512::L;
    kernel.scratchFloats = lanesAvx512::scratchFloats;
    kernel.processBlock = lanesAvx512::processBlock;
    return kernel;
}

#else

LaneKernel laneKernelAvx512(bool& available) {
    available = false;
    return LaneKernel{};
}

#endif

}  // namespace ldi
