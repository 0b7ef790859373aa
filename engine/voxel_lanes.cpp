// The lane kernel for the baseline of the build (4 voxels per vector), and the
// choice of the fastest kernel the processor runs.
#include "engine/voxel_lanes.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__GNUC__) && defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ldi {

#if defined(__GNUC__)

#if defined(__SSE2__)
#define LDI_LANE_SQRT(x) _mm_sqrt_ps(x)

namespace {

// Transposition of voxel rows into lanes, 4 voxels x 4 volumes at a time (pure
// data movement; uint16 values are widened exactly).
inline __m128 loadFour(const float* p) { return _mm_loadu_ps(p); }

inline __m128 loadFour(const uint16_t* p) {
    __m128i shorts;
    std::memcpy(&shorts, p, 8);
    return _mm_cvtepi32_ps(_mm_unpacklo_epi16(shorts, _mm_setzero_si128()));
}

template <int lanes, class Value>
void transposeRows(const void* const* rows, int n, float* out) {
    for (int group = 0; group < lanes; group += 4) {
        const Value* src[4];
        for (int i = 0; i < 4; ++i) src[i] = static_cast<const Value*>(rows[group + i]);
        int t = 0;
        for (; t + 4 <= n; t += 4) {
            __m128 r0 = loadFour(src[0] + t);
            __m128 r1 = loadFour(src[1] + t);
            __m128 r2 = loadFour(src[2] + t);
            __m128 r3 = loadFour(src[3] + t);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            _mm_storeu_ps(out + (t + 0) * lanes + group, r0);
            _mm_storeu_ps(out + (t + 1) * lanes + group, r1);
            _mm_storeu_ps(out + (t + 2) * lanes + group, r2);
            _mm_storeu_ps(out + (t + 3) * lanes + group, r3);
        }
        for (; t < n; ++t)
            for (int i = 0; i < 4; ++i) out[t * lanes + group + i] = static_cast<float>(src[i][t]);
    }
}

}  // namespace

#define LDI_LANE_TRANSPOSE_FLOAT(rows, n, out) transposeRows<L, float>(rows, n, out)
#define LDI_LANE_TRANSPOSE_SHORT(rows, n, out) transposeRows<L, uint16_t>(rows, n, out)
#else
// Elsewhere the square root goes lane by lane (still correctly rounded).
#define LDI_LANE_SQRT(x) laneByLaneSqrt(x)
#endif

#define LDI_LANES_NAMESPACE lanesBaseline
#define LDI_LANE_WIDTH 4
#define LDI_LANE_GROUPS 4

namespace lanesBaseline {
typedef float SqrtVector __attribute__((vector_size(16)));
inline SqrtVector laneByLaneSqrt(SqrtVector x) {
    for (int i = 0; i < 4; ++i) x[i] = std::sqrt(x[i]);
    return x;
}
}  // namespace lanesBaseline

#include "engine/voxel_lanes.inc"

LaneKernel laneKernelBaseline() {
    LaneKernel kernel;
    kernel.name = "baseline";
    kernel.blockLanes = lanesBaseline::L;
    kernel.scratchFloats = lanesBaseline::scratchFloats;
    kernel.processBlock = lanesBaseline::processBlock;
    return kernel;
}

#else

// Without vector extensions there is no lane kernel; the pass then runs the
// sequential code on every thread.
LaneKernel laneKernelBaseline() { return LaneKernel{}; }

#endif

namespace {

std::vector<LaneKernel> runnableKernels() {
    std::vector<LaneKernel> kernels;
#if defined(__GNUC__) && defined(__x86_64__)
    __builtin_cpu_init();
    bool available = false;
    if (__builtin_cpu_supports("avx512f")) {
        LaneKernel kernel = laneKernelAvx512(available);
        if (available) kernels.push_back(kernel);
    }
    if (__builtin_cpu_supports("avx2")) {
        LaneKernel kernel = laneKernelAvx2(available);
        if (available) kernels.push_back(kernel);
    }
#endif
    const LaneKernel baseline = laneKernelBaseline();
    if (baseline.processBlock != nullptr) kernels.push_back(baseline);
    return kernels;
}

}  // namespace

const LaneKernel& bestLaneKernel() {
    static const LaneKernel kernel = [] {
        const std::vector<LaneKernel> kernels = runnableKernels();
        return kernels.empty() ? LaneKernel{} : kernels.front();
    }();
    return kernel;
}

std::vector<LaneKernel> availableLaneKernels() { return runnableKernels(); }

}  // namespace ldi
