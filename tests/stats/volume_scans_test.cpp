// The scans of every volume a run reads, in every instruction set this
// processor runs: the same sums and flags, bit for bit, as a plain loop
// written here, for values that are not finite, zeros of both signs, tiny
// and huge values, and voxel counts that leave part of a vector or a tile.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "stats/volume_scans.h"

using namespace ldi;

namespace {

std::vector<float> awkwardVolumes(std::size_t voxels, int count, uint32_t seed) {
    std::mt19937 random(seed);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), -0.0f, 0.0f,
                              std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(),
                              -std::numeric_limits<float>::max()};
    std::normal_distribution<float> normal(100.0f, 30.0f);
    std::vector<float> values(voxels * static_cast<std::size_t>(count));
    for (float& x : values) x = random() % 11 == 0 ? specials[random() % 8] : normal(random);
    // Some voxels constant over every volume (and one constant NaN).
    for (std::size_t v = 0; v < voxels; v += 13)
        for (int k = 0; k < count; ++k) values[k * voxels + v] = v % 26 == 0 ? 7.5f : std::nanf("");
    return values;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(VolumeScans, EveryKindSumsTheFiniteValuesAndSquaresInOrderAsAPlainLoop) {
    const std::vector<VolumeScans> kinds = runnableVolumeScans();
    ASSERT_FALSE(kinds.empty());
    EXPECT_STREQ(kinds.back().kind, "baseline");
    EXPECT_STREQ(bestVolumeScans().kind, kinds.front().kind);
    for (const std::size_t voxels : {std::size_t{1}, std::size_t{7}, std::size_t{2047}, std::size_t{2049},
                                     std::size_t{5000}})
        for (const int count : {1, 3, 16}) {
            const std::vector<float> volumes = awkwardVolumes(voxels, count, uint32_t(voxels * 7 + count));
            std::vector<double> expected(voxels, 0.25), expectedSquares(voxels, 0.5);  // sums already under way
            for (std::size_t v = 0; v < voxels; ++v)
                for (int k = 0; k < count; ++k) {
                    const float x = volumes[k * voxels + v];
                    if (!std::isfinite(x)) continue;
                    expected[v] += static_cast<double>(x);
                    expectedSquares[v] += static_cast<double>(x) * static_cast<double>(x);
                }
            for (const VolumeScans& scans : kinds) {
                std::vector<double> sums(voxels, 0.25), withSquares(voxels, 0.25), squares(voxels, 0.5);
                scans.addFiniteValues(sums.data(), volumes.data(), voxels, count);
                scans.addFiniteSquares(withSquares.data(), squares.data(), volumes.data(), voxels, count);
                for (std::size_t v = 0; v < voxels; ++v) {
                    ASSERT_TRUE(sameBits(sums[v], expected[v]) && sameBits(withSquares[v], expected[v]))
                        << scans.kind << ": voxel " << v << " of " << voxels << ", " << count << " volumes: "
                        << sums[v] << ", " << withSquares[v] << " against " << expected[v];
                    ASSERT_TRUE(sameBits(squares[v], expectedSquares[v]))
                        << scans.kind << ": square sum of voxel " << v << ": " << squares[v] << " against "
                        << expectedSquares[v];
                }
            }
        }
}

TEST(VolumeScans, EveryKindJudgesFiniteAndVaryingAsAPlainLoop) {
    for (const std::size_t voxels : {std::size_t{1}, std::size_t{31}, std::size_t{1024}, std::size_t{1100}}) {
        const int count = 5;
        const std::vector<float> volumes = awkwardVolumes(voxels, count, uint32_t(voxels));
        // A range that starts and ends inside a vector.
        const std::size_t v0 = voxels > 10 ? 3 : 0, v1 = voxels > 10 ? voxels - 2 : voxels;
        const std::vector<float> firsts(volumes.begin(), volumes.begin() + static_cast<std::ptrdiff_t>(voxels));
        std::vector<uint8_t> finite(voxels, 1), varies(voxels, 0);
        for (int k = 1; k < count; ++k)
            for (std::size_t v = v0; v < v1; ++v) {
                const float x = volumes[k * voxels + v];
                finite[v] = finite[v] && std::isfinite(x);
                varies[v] = varies[v] || !(x == firsts[v]);  // a NaN differs from everything
            }
        for (const VolumeScans& scans : runnableVolumeScans()) {
            std::vector<uint8_t> gotFinite(voxels, 1), gotVaries(voxels, 0);
            for (int k = 1; k < count; ++k)
                scans.judgeValues(volumes.data() + k * voxels, v0, v1, firsts.data(), gotFinite.data(),
                                  gotVaries.data());
            EXPECT_EQ(gotFinite, finite) << scans.kind << ", " << voxels << " voxels";
            EXPECT_EQ(gotVaries, varies) << scans.kind << ", " << voxels << " voxels";
        }
    }
}
