// Scans over a batch of a run's volumes as they are read (each `voxels`
// values, one after the other): the sums of the run's mean image and the
// flags of which voxels are usable. They touch every value of a run, on the
// thread that takes the volumes from the inflating one, so they run in the
// widest vectors the processor has (AVX-512, AVX2, else the baseline),
// chosen once. Each voxel's values are taken in the same order by every
// kind, so the results are the same bit for bit on any processor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ldi {

// sums[v] += every finite value of voxel v in `count` volumes, in order
// (a value that is not finite adds 0).
void addFiniteValues(double* sums, const float* volumes, std::size_t voxels, int32_t count);

// The same into `sums`, and every such value's square into `squares` (the
// temporal SNR's sums).
void addFiniteSquares(double* sums, double* squares, const float* volumes, std::size_t voxels, int32_t count);

// Over voxels [v0, v1) of one volume: finite[v] cleared where the value is
// not finite, varies[v] set where it differs from firsts[v].
void judgeValues(const float* volume, std::size_t v0, std::size_t v1, const float* firsts, uint8_t* finite,
                 uint8_t* varies);

// One instruction set's scans.
struct VolumeScans {
    const char* kind;  // "avx512", "avx2" or "baseline"
    void (*addFiniteValues)(double* sums, const float* volumes, std::size_t voxels, int32_t count);
    void (*addFiniteSquares)(double* sums, double* squares, const float* volumes, std::size_t voxels, int32_t count);
    void (*judgeValues)(const float* volume, std::size_t v0, std::size_t v1, const float* firsts, uint8_t* finite,
                        uint8_t* varies);
};

// Every kind this processor runs, the widest first (the baseline last).
std::vector<VolumeScans> runnableVolumeScans();

// The widest, which the functions above use.
const VolumeScans& bestVolumeScans();

}  // namespace ldi
