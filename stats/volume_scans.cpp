#include "stats/volume_scans.h"

#include <algorithm>
#include <cstring>

#include "stats/instruction_sets.h"

namespace ldi {
namespace {

// The sums a tile at a time over every volume: the tile stays in cache.
constexpr std::size_t SUM_TILE = 2048;

#define LDI_SCANS_NAMESPACE baseline
#include "stats/volume_scans.inc"
#undef LDI_SCANS_NAMESPACE

#if defined(__GNUC__) && defined(__x86_64__)
LDI_TARGET_PUSH("avx2")
#define LDI_SCANS_NAMESPACE avx2
#include "stats/volume_scans.inc"
#undef LDI_SCANS_NAMESPACE
LDI_TARGET_POP

LDI_TARGET_PUSH("avx512f,avx512bw,avx512vl")
#define LDI_SCANS_NAMESPACE avx512
#include "stats/volume_scans.inc"
#undef LDI_SCANS_NAMESPACE
LDI_TARGET_POP
#endif

}  // namespace

std::vector<VolumeScans> runnableVolumeScans() {
    std::vector<VolumeScans> scans;
#if defined(__GNUC__) && defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl"))
        scans.push_back(VolumeScans{"avx512", avx512::addFiniteValues, avx512::addFiniteSquares, avx512::judgeValues});
    if (__builtin_cpu_supports("avx2")) scans.push_back(VolumeScans{"avx2", avx2::addFiniteValues, avx2::addFiniteSquares, avx2::judgeValues});
#endif
    scans.push_back(VolumeScans{"baseline", baseline::addFiniteValues, baseline::addFiniteSquares, baseline::judgeValues});
    return scans;
}

// Chosen on first use and never changed: the processor does not change.
const VolumeScans& bestVolumeScans() {
    static const VolumeScans best = runnableVolumeScans().front();
    return best;
}

void addFiniteValues(double* sums, const float* volumes, std::size_t voxels, int32_t count) {
    bestVolumeScans().addFiniteValues(sums, volumes, voxels, count);
}

void addFiniteSquares(double* sums, double* squares, const float* volumes, std::size_t voxels, int32_t count) {
    bestVolumeScans().addFiniteSquares(sums, squares, volumes, voxels, count);
}

void judgeValues(const float* volume, std::size_t v0, std::size_t v1, const float* firsts, uint8_t* finite,
                 uint8_t* varies) {
    bestVolumeScans().judgeValues(volume, v0, v1, firsts, finite, varies);
}

}  // namespace ldi
