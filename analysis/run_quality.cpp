#include "analysis/run_quality.h"

#include "stats/volume_scans.h"

#include <algorithm>
#include <cmath>

namespace ldi {

std::vector<int64_t> carpetSample(int64_t voxels, const std::vector<uint8_t>& inside,
                                  const std::vector<int64_t>& first, std::size_t limit) {
    std::vector<int64_t> chosen;
    for (int64_t v : first)
        if (v >= 0 && v < voxels && chosen.size() < limit) chosen.push_back(v);
    const bool all = inside.size() != static_cast<std::size_t>(voxels);
    int64_t candidates = 0;
    for (int64_t v = 0; v < voxels; ++v) candidates += all || inside[static_cast<std::size_t>(v)] != 0 ? 1 : 0;
    const std::size_t room = limit - chosen.size();
    if (candidates > 0 && room > 0) {
        // Candidate c is taken when it crosses the next of `room` even steps.
        const auto wanted = static_cast<int64_t>(std::min<std::size_t>(room, static_cast<std::size_t>(candidates)));
        int64_t c = 0;
        for (int64_t v = 0; v < voxels; ++v) {
            if (!all && inside[static_cast<std::size_t>(v)] == 0) continue;
            if ((c * wanted) / candidates != ((c + 1) * wanted) / candidates) chosen.push_back(v);
            ++c;
        }
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    return chosen;
}

void startRunQuality(RunQuality& quality, int64_t voxels, int32_t volumes, int32_t skipped) {
    quality.volumes = volumes;
    quality.skipped = std::clamp(skipped, 0, volumes);
    quality.sum.assign(static_cast<std::size_t>(voxels), 0.0);
    quality.sumSquares.assign(static_cast<std::size_t>(voxels), 0.0);
    quality.tsnr.clear();
    quality.carpet.assign(quality.carpetVoxels.size() * static_cast<std::size_t>(volumes), 0.0f);
}

void addRunQuality(RunQuality& quality, const float* volumes, std::size_t voxels, int32_t first, int32_t count) {
    if (quality.sum.size() != voxels) return;
    const auto length = static_cast<std::size_t>(quality.volumes);
    for (int32_t k = 0; k < count; ++k) {
        const int32_t t = first + k;
        if (t < 0 || t >= quality.volumes) continue;
        const float* volume = volumes + static_cast<std::size_t>(k) * voxels;
        for (std::size_t row = 0; row < quality.carpetVoxels.size(); ++row)
            quality.carpet[row * length + static_cast<std::size_t>(t)] =
                volume[static_cast<std::size_t>(quality.carpetVoxels[row])];
        // The sums go through the widest vectors the processor has: they touch
        // every value of the run, on the thread that takes it from the inflater.
        if (t >= quality.skipped) addFiniteSquares(quality.sum.data(), quality.sumSquares.data(), volume, voxels, 1);
    }
}

void finishRunQuality(RunQuality& quality) {
    const double n = static_cast<double>(quality.volumes - quality.skipped);
    quality.tsnr.assign(quality.sum.size(), 0.0f);
    for (std::size_t v = 0; n >= 2.0 && v < quality.sum.size(); ++v) {
        const double mean = quality.sum[v] / n;
        const double variance = (quality.sumSquares[v] - n * mean * mean) / (n - 1.0);
        // Rounding leaves a constant voxel a variance of a few ulps of its square.
        if (mean > 0.0 && variance > 1e-10 * mean * mean) quality.tsnr[v] = static_cast<float>(mean / std::sqrt(variance));
    }
    std::vector<double>().swap(quality.sum);
    std::vector<double>().swap(quality.sumSquares);
}

double medianOf(const std::vector<float>& values, const std::vector<uint8_t>& flags) {
    std::vector<float> kept;
    for (std::size_t v = 0; v < values.size(); ++v)
        if ((flags.empty() || (v < flags.size() && flags[v] != 0)) && std::isfinite(values[v])) kept.push_back(values[v]);
    if (kept.empty()) return 0.0;
    const auto middle = kept.begin() + static_cast<std::ptrdiff_t>(kept.size() / 2);
    std::nth_element(kept.begin(), middle, kept.end());
    if (kept.size() % 2 == 1) return *middle;
    const float below = *std::max_element(kept.begin(), middle);
    return 0.5 * (static_cast<double>(below) + static_cast<double>(*middle));
}

}  // namespace ldi
