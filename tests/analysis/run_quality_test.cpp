// A run's data-quality figures as its reading gathers them: the temporal SNR
// from volumes handed over a few at a time equals a two-pass computation over
// the whole run, whatever the batches; the carpet holds the sampled voxels'
// values as read; the sample keeps the seeds' voxels and spreads the rest.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/run_quality.h"

using namespace ldi;

namespace {

// A run of `voxels` x `volumes` values: voxel v varies around 100 + v with
// its own noise; voxel 0 is constant, voxel 1 has a negative mean, voxel 2
// holds a NaN in an analysed volume.
std::vector<float> sampleRun(std::size_t voxels, int32_t volumes) {
    std::vector<float> values(voxels * static_cast<std::size_t>(volumes));
    uint32_t state = 12345;
    for (int32_t t = 0; t < volumes; ++t)
        for (std::size_t v = 0; v < voxels; ++v) {
            state = state * 1664525u + 1013904223u;
            const double noise = (state >> 8) / double(1 << 24) - 0.5;
            values[std::size_t(t) * voxels + v] = static_cast<float>(100.0 + double(v) + (1.0 + double(v % 5)) * noise);
        }
    for (int32_t t = 0; t < volumes; ++t) {
        values[std::size_t(t) * voxels + 0] = 50.0f;
        values[std::size_t(t) * voxels + 1] -= 400.0f;
    }
    values[std::size_t(volumes - 2) * voxels + 2] = std::nanf("");
    return values;
}

// Mean over SD (n - 1) of voxel v from `skip` on, two passes; 0 where undefined.
double directTsnr(const std::vector<float>& run, std::size_t voxels, int32_t volumes, int32_t skip, std::size_t v) {
    double sum = 0.0;
    const double n = volumes - skip;
    auto at = [&](int32_t t) {
        const float x = run[std::size_t(t) * voxels + v];
        return std::isfinite(x) ? double(x) : 0.0;
    };
    for (int32_t t = skip; t < volumes; ++t) sum += at(t);
    const double mean = sum / n;
    double squares = 0.0;
    for (int32_t t = skip; t < volumes; ++t) squares += (at(t) - mean) * (at(t) - mean);
    const double sd = std::sqrt(squares / (n - 1.0));
    return mean > 0.0 && sd > 1e-5 * mean ? mean / sd : 0.0;
}

}  // namespace

TEST(RunQuality, TemporalSnrAndCarpetWhateverTheBatches) {
    struct Case {
        const char* what;
        int32_t batch;
        int32_t skip;
    };
    const std::vector<Case> cases = {
        {"one volume at a time", 1, 0}, {"four at a time, three skipped", 4, 3}, {"seven at a time", 7, 5},
        {"the whole run at once", 40, 2}, {"all but two skipped", 3, 38},
    };
    const std::size_t voxels = 23;
    const int32_t volumes = 40;
    const std::vector<float> run = sampleRun(voxels, volumes);
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        RunQuality quality;
        quality.carpetVoxels = {2, 7, 22};
        startRunQuality(quality, int64_t(voxels), volumes, row.skip);
        for (int32_t t = 0; t < volumes; t += row.batch)
            addRunQuality(quality, run.data() + std::size_t(t) * voxels, voxels, t, std::min(row.batch, volumes - t));
        finishRunQuality(quality);
        ASSERT_EQ(quality.tsnr.size(), voxels);
        EXPECT_TRUE(quality.sum.empty() && quality.sumSquares.empty()) << "the sums are released";
        EXPECT_EQ(quality.tsnr[0], 0.0f) << "a constant voxel";
        EXPECT_EQ(quality.tsnr[1], 0.0f) << "a negative mean";
        for (std::size_t v = 0; v < voxels; ++v) {
            const double expected = directTsnr(run, voxels, volumes, row.skip, v);
            EXPECT_NEAR(quality.tsnr[v], expected, 1e-4 * expected + 1e-6) << "voxel " << v;
        }
        for (std::size_t r = 0; r < quality.carpetVoxels.size(); ++r)
            for (int32_t t = 0; t < volumes; ++t) {
                const float read = run[std::size_t(t) * voxels + std::size_t(quality.carpetVoxels[r])];
                const float kept = quality.carpet[r * std::size_t(volumes) + std::size_t(t)];
                EXPECT_TRUE(kept == read || (std::isnan(kept) && std::isnan(read))) << "row " << r << ", volume " << t;
            }
    }
}

TEST(RunQuality, CarpetSampleAndMedian) {
    struct Case {
        const char* what;
        int64_t voxels;
        std::vector<uint8_t> inside;
        std::vector<int64_t> first;
        std::size_t limit;
        std::vector<int64_t> expected;
    };
    std::vector<uint8_t> evens(20, 0);
    for (std::size_t v = 0; v < evens.size(); v += 2) evens[v] = 1;
    const std::vector<Case> cases = {
        {"ten of a hundred, evenly", 100, {}, {}, 10, {9, 19, 29, 39, 49, 59, 69, 79, 89, 99}},
        {"fewer voxels than the limit", 4, {}, {}, 10, {0, 1, 2, 3}},
        {"inside a mask only", 20, evens, {}, 5, {2, 6, 10, 14, 18}},
        {"the seed's first, the rest spread", 20, evens, {5, 3}, 4, {3, 5, 8, 18}},
        {"a seed beyond the grid is dropped", 10, {}, {-1, 10, 4}, 2, {4, 9}},
        {"the seed fills the limit", 10, {}, {1, 2, 3}, 2, {1, 2}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(carpetSample(row.voxels, row.inside, row.first, row.limit), row.expected);
    }

    struct MedianCase {
        const char* what;
        std::vector<float> values;
        std::vector<uint8_t> flags;
        double expected;
    };
    const std::vector<MedianCase> medians = {
        {"odd count", {5, 1, 3}, {}, 3.0},
        {"even count", {4, 1, 3, 2}, {}, 2.5},
        {"flagged only", {100, 1, 3, 2}, {0, 1, 1, 1}, 2.0},
        {"none flagged", {1, 2}, {0, 0}, 0.0},
        {"NaN left out", {std::nanf(""), 7, 9}, {}, 8.0},
    };
    for (const MedianCase& row : medians) {
        SCOPED_TRACE(row.what);
        EXPECT_DOUBLE_EQ(medianOf(row.values, row.flags), row.expected);
    }
}
