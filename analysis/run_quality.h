// What a run's data-quality figures need, gathered while the run is read (its
// volumes go by once, on their way into the slice source): per voxel the sums
// of the temporal SNR, and the values of a bounded sample of voxels in every
// volume for the carpet plot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ldi {

struct RunQuality {
    int32_t volumes = 0;  // the run's length as given
    int32_t skipped = 0;  // leading volumes left out of the temporal SNR (the analysis's skip)
    // Per voxel over the volumes from `skipped` on (a value that is not finite
    // adds 0); released by finishRunQuality, which leaves `tsnr`.
    std::vector<double> sum, sumSquares;
    std::vector<float> tsnr;            // per voxel: mean / SD over time; 0 where that is undefined
    std::vector<int64_t> carpetVoxels;  // the voxels sampled for the carpet, ascending
    std::vector<float> carpet;          // [row * volumes + volume]: their values as read
    // A value a volume from the run's confounds table, when it has the column;
    // else empty.
    std::vector<float> framewiseDisplacement;
};

// The carpet's voxels: those of `first` (a seed's, kept whole) and then
// voxels evenly spaced among those flagged in `inside` (every voxel when it
// is empty), at most `limit` in all; ascending, each once.
std::vector<int64_t> carpetSample(int64_t voxels, const std::vector<uint8_t>& inside,
                                  const std::vector<int64_t>& first, std::size_t limit);

// Ready for a run of `volumes` volumes of `voxels` voxels; the carpet's
// voxels are those already in `quality.carpetVoxels`.
void startRunQuality(RunQuality& quality, int64_t voxels, int32_t volumes, int32_t skipped);

// Volumes first .. first + count - 1, each `voxels` values, one after the other.
void addRunQuality(RunQuality& quality, const float* volumes, std::size_t voxels, int32_t first, int32_t count);

// The temporal SNR from the sums (mean over the standard deviation with
// n - 1; 0 with fewer than two volumes, a mean that is not positive or no
// variation), the sums released.
void finishRunQuality(RunQuality& quality);

// The median of the values whose flag is set (all when `flags` is empty);
// 0 when there are none.
double medianOf(const std::vector<float>& values, const std::vector<uint8_t>& flags);

}  // namespace ldi
