// The statistics of a block of voxels at once, one voxel per SIMD lane.
//
// Every lane carries its voxel through exactly the floating-point operations of
// the sequential pass (processVoxel), in the same order: the detrending of the
// voxel series, the lag products with the detrended reference and with the drawn
// surrogate, the per-interval accumulation, the scaling by the interval count and
// the three model fits of each accumulator. Packed single-precision add, subtract,
// multiply, divide and square root round every lane exactly as the scalar
// instructions do, nothing is reassociated and nothing is fused into FMA, so the
// results are bit for bit those of the sequential pass. The logarithms are taken
// lane by lane with the same std::log.
//
// What is the same for every voxel of an interval comes in precomputed: the
// detrended reference and its own lag products, the regressor of the detrending,
// and the detrended surrogate rows with their own lag products.
//
// A block may carry several surrogate draws per voxel (LanePass::draws): the
// voxel's detrending, its real lag products, the real fits and the voxel's own
// fit are done once, and only what involves the surrogate is done per draw.
// Every sum is its own ascending chain, whichever sweep forms it, so draw d
// gives the bits a block of that one draw gives. The kernels
// allocate nothing: the caller hands them a scratch block of scratchFloats(pass)
// floats aligned to kLaneScratchAlignment bytes.
//
// The kernel is compiled once per instruction set (AVX-512, AVX2, and the
// baseline of the build) and chosen at run time from what the processor offers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ldi {

constexpr std::size_t kLaneScratchAlignment = 64;
constexpr int32_t kMaxBlockLanes = 64;

// One interval of the pass (intervals are listed in entry order, then in the
// entry's interval order).
struct LaneInterval {
    int32_t entry = 0;     // the entry whose voxel series it cuts
    int32_t start = 0;     // first value, counted from the entry's block start
    int32_t length = 0;    // values (>= 1)
    float reciprocal = 0;  // 1 / (float)length
    const float* regressor = nullptr;  // detrending regressor of this length
    float regressorSquares = 0;        // its ascending sum of squares
    const float* reference = nullptr;  // the detrended reference, length values
    const float* referenceLags = nullptr;  // sum over t >= k of r(t) r(t - k), k = 0..p
};

// One entry: which part of each voxel's time course the kernel reads.
struct LaneEntry {
    int32_t blockLength = 0;  // values read per voxel (0 for an entry without intervals)
    bool isFloat = true;      // float32 values, else unsigned 16-bit
};

struct LanePass {
    int32_t order = 1;  // AR order p
    int32_t entryCount = 0;
    const LaneEntry* entries = nullptr;
    int32_t intervalCount = 0;
    const LaneInterval* intervals = nullptr;
    int32_t longestInterval = 1;
    int32_t draws = 1;  // surrogate draws per voxel (>= 1); the scratch grows with it
};

// The voxels of one block. Lanes past `lanes` must still point at valid data
// (repeat a voxel); their results are not used.
struct LaneBlock {
    int32_t lanes = 0;
    // [entry * blockLanes + lane]: the voxel's values from the entry's block
    // start, float32 or uint16 as the entry says.
    const void* const* rows = nullptr;
    // [(draw * intervalCount + interval) * blockLanes + lane]: the detrended
    // surrogate row the voxel drew for the interval in that draw (length values)
    // and its own lag products (p + 1 values).
    const float* const* surrogates = nullptr;
    const float* const* surrogateLags = nullptr;
};

enum class LaneOutcome : int8_t { measured = 0, illDefined = 1, surrogateIllDefined = 2 };

// One per draw: every draw's results repeat the real values.
struct LaneResults {
    // ref2vox, vox2ref, inst of the real reference, then of the surrogate; 0
    // where the voxel (or its surrogate) is ill-defined.
    float values[6][kMaxBlockLanes];
    LaneOutcome outcome[kMaxBlockLanes];
};

struct LaneKernel {
    const char* name = nullptr;
    int32_t blockLanes = 0;  // voxels per call
    std::size_t (*scratchFloats)(const LanePass& pass) = nullptr;
    // results: pass.draws of them, in draw order.
    void (*processBlock)(const LanePass& pass, const LaneBlock& block, float* scratch, LaneResults* results) = nullptr;
};

// The kernels built into this library; `available` is false for an instruction
// set the processor lacks (or the build cannot target).
LaneKernel laneKernelBaseline();
LaneKernel laneKernelAvx2(bool& available);
LaneKernel laneKernelAvx512(bool& available);

// The fastest kernel the processor can run (chosen once).
const LaneKernel& bestLaneKernel();

// Every kernel this processor can run, fastest first.
std::vector<LaneKernel> availableLaneKernels();

// The voxel pass uses bestLaneKernel() unless the run's options name another
// (EngineOptions::laneKernel: tests and benchmarks compare them).

}  // namespace ldi
