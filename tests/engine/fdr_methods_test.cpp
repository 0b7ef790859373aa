// The FDR methods' properties: p-values uniform where there is no effect, a
// map where nothing passes reported as such, and the plug-in's walk telling
// "only the top voxel" from "none" although both give the same threshold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/fdr_methods.h"
#include "engine/map_values.h"
#include "stats/distributions.h"
#include "stats/parallel.h"
#include "stats/matrix.h"

using namespace ldi;

namespace {

// The largest distance between the empirical distribution of `p` and the uniform one.
double uniformDistance(std::vector<float> p) {
    std::sort(p.begin(), p.end());
    double worst = 0.0;
    const auto n = static_cast<double>(p.size());
    for (std::size_t i = 0; i < p.size(); ++i) {
        worst = std::max(worst, std::fabs(static_cast<double>(p[i]) - static_cast<double>(i) / n));
        worst = std::max(worst, std::fabs(static_cast<double>(p[i]) - static_cast<double>(i + 1) / n));
    }
    return worst;
}

GlobalParameters oneKind(MapType type) {
    GlobalParameters parameters;
    parameters.mapTypesComputed = {type};
    parameters.qThresholdsForFDR = {0.01f, 0.05f, 0.1f};
    return parameters;
}

constexpr int32_t kSide = 30;  // 27,000 voxels
// The Kolmogorov-Smirnov distance that uniform samples of this size exceed
// with probability about 1e-4.
const double kTolerance = 2.15 / std::sqrt(static_cast<double>(kSide * kSide * kSide));

TEST(FdrMethods, PermutationPValuesAreUniformWithoutEffect) {
    std::mt19937 generator(11);
    std::exponential_distribution<float> draw(1.0f);
    MeasureVolumes real(kSide, kSide, kSide);
    MeasureVolumes null1(kSide, kSide, kSide), null2(kSide, kSide, kSide);
    for (MeasureVolumes* volumes : {&real, &null1, &null2})
        for (std::size_t i = 0; i < volumes->ref2vox.size(); ++i) volumes->ref2vox.data()[i] = draw(generator);
    FdrChoice choice;
    choice.method = FdrMethod::permutation;
    choice.keepPValues = true;
    const std::vector<MapThresholds> maps =
        findMapThresholdsBy(choice, real, {&null1, &null2}, oneKind(REF2VOX), 100.0, nullptr);
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_LT(uniformDistance(maps[0].pValues), kTolerance);
    // Nothing to find: at most a handful pass at any q.
    for (int64_t passing : maps[0].passing) EXPECT_LE(passing, 5);
}

TEST(FdrMethods, ParametricPValuesAreUniformForChiSquareMeasures) {
    // n_adj * value / 100 chi-square with 1 degree of freedom: the instantaneous measure.
    std::mt19937 generator(12);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double adjusted = 380.0;
    MeasureVolumes real(kSide, kSide, kSide);
    for (std::size_t i = 0; i < real.inst.size(); ++i) {
        const double z = normal(generator);
        real.inst.data()[i] = static_cast<float>(z * z / adjusted);  // scaled by 100 into the map
    }
    FdrChoice choice;
    choice.method = FdrMethod::parametric;
    choice.keepPValues = true;
    const std::vector<MapThresholds> maps = findMapThresholdsBy(choice, real, {&real}, oneKind(INST), adjusted, nullptr);
    EXPECT_EQ(maps[0].method, "parametric");
    EXPECT_LT(uniformDistance(maps[0].pValues), kTolerance);
}

TEST(FdrMethods, ChiSquareAndNormalTails) {
    EXPECT_NEAR(chiSquareSurvival(3.841458820694124, 1.0), 0.05, 1e-9);
    EXPECT_NEAR(chiSquareSurvival(5.991464547107979, 2.0), 0.05, 1e-9);
    EXPECT_NEAR(chiSquareSurvival(40.0, 8.0), 3.2e-6, 1e-7);
    EXPECT_NEAR(normalUpperQuantile(0.025), 1.959963984540054, 1e-9);
    EXPECT_NEAR(normalUpperQuantile(1e-10), 6.361340902404056, 1e-7);
}

TEST(FdrMethods, NothingPassingIsReportedAsSuch) {
    // Map values all below a null that lies above them: no voxel passes, and the
    // threshold lies above every value, so "at or above" selects nothing.
    GlobalParameters parameters = oneKind(VOX2REF);
    MeasureVolumes real(1, 1, 4), null(1, 1, 4);
    const float mapValues[] = {0.01f, 0.02f, 0.03f, 0.04f};
    const float nullValues[] = {0.5f, 0.6f, 0.7f, 0.8f};
    for (int i = 0; i < 4; ++i) {
        real.vox2ref.data()[i] = mapValues[i];
        null.vox2ref.data()[i] = nullValues[i];
    }
    for (FdrMethod method : {FdrMethod::permutation, FdrMethod::parametric}) {
        FdrChoice choice;
        choice.method = method;
        const std::vector<MapThresholds> maps = findMapThresholdsBy(choice, real, {&null}, parameters, 10.0, nullptr);
        for (std::size_t t = 0; t < 3; ++t) {
            EXPECT_EQ(maps[0].passing[t], 0);
            EXPECT_GT(maps[0].thresholds[t], 4.0f);  // above the largest scaled value
        }
    }
    // The plug-in's rule: its threshold is the largest value both when the top
    // fails and when only the top passes; the count tells them apart.
    std::ostringstream errors;
    std::vector<float> thresholds(1, 0.0f);
    std::vector<int64_t> passing;
    const float none[] = {4.5f, 5.0f};
    const float top[] = {0.5f, 1.5f, 2.5f, 3.5f};
    const float a[] = {1.0f, 2.0f, 3.0f, 4.0f};
    ASSERT_TRUE(findFdrThresholds({0.5f}, a, 4, none, 2, 1, thresholds, errors, &passing));
    EXPECT_EQ(thresholds[0], 4.0f);
    EXPECT_EQ(passing[0], 0);
    thresholds.assign(1, 0.0f);
    ASSERT_TRUE(findFdrThresholds({0.1f}, a, 4, top, 4, 1, thresholds, errors, &passing));
    EXPECT_EQ(thresholds[0], 4.0f);
    EXPECT_EQ(passing[0], 1);
}

TEST(FdrMethods, StepUpAndDependenceFactor) {
    double cutoff = 0.0;
    // Ranks 1..4 against 0.05 * k / 4: 0.001 and 0.02 pass (0.02 <= 0.025), 0.04 > 0.0375, 0.3 > 0.05.
    EXPECT_EQ(stepUpCount({0.3, 0.001, 0.04, 0.02}, 0.05, 1.0, cutoff), 2);
    EXPECT_DOUBLE_EQ(cutoff, 0.02);
    // With sum 1/i = 2.0833 only the first stays.
    EXPECT_EQ(stepUpCount({0.3, 0.001, 0.04, 0.02}, 0.05, 1.0 + 0.5 + 1.0 / 3.0 + 0.25, cutoff), 1);
    EXPECT_EQ(stepUpCount({0.9, 0.8}, 0.05, 1.0, cutoff), 0);
    EXPECT_LT(cutoff, 0.0);
}

}  // namespace

// A voxel beyond every null value gets a p below the draws' floor
// 1 / (1 + m) from the fitted tail, falling further with the value, and a
// z from ln p that agrees with the z of p where p is representable.
TEST(FdrMethods, PermutationPValuesBeyondTheDrawsFollowTheTailAsFarAsItReaches) {
    std::mt19937 generator(21);
    std::exponential_distribution<float> draw(1.0f);
    MeasureVolumes real(kSide, kSide, kSide), null(kSide, kSide, kSide);
    for (std::size_t i = 0; i < null.inst.size(); ++i) {
        null.inst.data()[i] = draw(generator) / 100.0f;
        real.inst.data()[i] = draw(generator) / 100.0f;
    }
    // Far beyond the largest of 27,000 null values (about 10 / 100) and
    // beyond the tail's reach (true p e^-20 and less; the reach is a few
    // floors): every one gets the lowest p the fit may give, not its own.
    const float planted[] = {0.2f, 0.3f, 0.5f, 1.0f, 5.0f, 20.0f};
    constexpr std::size_t kPlanted = 6;
    for (std::size_t k = 0; k < kPlanted; ++k) real.inst.data()[k] = planted[k];
    FdrChoice choice;
    choice.method = FdrMethod::permutation;
    choice.keepPValues = true;
    const std::vector<MapThresholds> maps = findMapThresholdsBy(choice, real, {&null}, oneKind(INST), 100.0, nullptr);
    const MapThresholds& map = maps[0];
    const double floor = 1.0 / (1.0 + static_cast<double>(kSide * kSide * kSide));
    // The record: an accepted fit of the largest 1 %, reaching floor / (k / 100).
    ASSERT_TRUE(map.tail.tried);
    ASSERT_TRUE(map.tail.accepted);
    EXPECT_EQ(map.tail.nullValues, kSide * kSide * kSide);
    EXPECT_NEAR(map.tail.floorP, floor, 1e-12);
    EXPECT_NEAR(map.tail.lowestP, floor / std::max(1.0, map.tail.exceedances / 100.0), 1e-12);
    EXPECT_GE(map.tail.beyondDraws, static_cast<int64_t>(kPlanted));
    EXPECT_GE(map.tail.heldAtLowest, static_cast<int64_t>(kPlanted));
    EXPECT_LT(map.tail.lowestP, floor);
    for (std::size_t k = 0; k < kPlanted; ++k) {
        EXPECT_NEAR(map.pValues[k], map.tail.lowestP, 1e-6 * map.tail.lowestP) << planted[k];
        EXPECT_NEAR(map.zValues[k], normalUpperQuantile(map.pValues[k]), 1e-3);
    }
    // Six voxels at floor / D pass q = 0.01 only where 6 x 0.01 / 27,000 >= floor / D.
    const bool reachable = 6.0 * 0.01 / (kSide * kSide * kSide) >= map.tail.lowestP;
    EXPECT_EQ(map.passing[0] >= 6, reachable);
}

// Within the draws a voxel's p is the count of null values at or above it,
// (1 + count) / (1 + m), counted here, and never the fitted tail's: the
// smaller of the two estimates would be biased low just where
// Benjamini-Hochberg decides. Beyond every draw it is at most the floor, so p
// never rises with the value across the switch.
TEST(FdrMethods, PermutationPValuesWithinTheDrawsAreTheCountsAndFallWithTheValue) {
    std::mt19937 generator(31);
    std::exponential_distribution<float> draw(1.0f);
    MeasureVolumes real(kSide, kSide, kSide), null1(kSide, kSide, kSide), null2(kSide, kSide, kSide);
    for (MeasureVolumes* volumes : {&real, &null1, &null2})
        for (std::size_t i = 0; i < volumes->vox2ref.size(); ++i) volumes->vox2ref.data()[i] = draw(generator) + 0.01f;
    // The real map's tail a little heavier, so that many voxels lie among the last null values and beyond.
    for (std::size_t i = 0; i < 300; ++i) real.vox2ref.data()[i] = 7.0f + 0.02f * static_cast<float>(i);
    FdrChoice choice;
    choice.method = FdrMethod::permutation;
    choice.keepPValues = true;
    const std::vector<MapThresholds> maps =
        findMapThresholdsBy(choice, real, {&null1, &null2}, oneKind(VOX2REF), 100.0, nullptr);
    const MapThresholds& map = maps[0];

    std::vector<float> pooled(null1.vox2ref.data(), null1.vox2ref.data() + null1.vox2ref.size());
    pooled.insert(pooled.end(), null2.vox2ref.data(), null2.vox2ref.data() + null2.vox2ref.size());
    std::sort(pooled.begin(), pooled.end());
    const auto m = static_cast<double>(pooled.size());
    int withinTheLastTen = 0, beyond = 0;
    std::vector<std::pair<float, float>> byValue;
    for (std::size_t i = 0; i < real.vox2ref.size(); ++i) {
        const float value = real.vox2ref.data()[i];
        const auto count = static_cast<double>(pooled.end() - std::lower_bound(pooled.begin(), pooled.end(), value));
        if (count > 0.0) {
            ASSERT_NEAR(map.pValues[i], (1.0 + count) / (1.0 + m), 1e-6 * (1.0 + count) / (1.0 + m)) << value;
            withinTheLastTen += count < 10.0 ? 1 : 0;
        } else {
            ASSERT_LE(map.pValues[i], (1.0 + 1e-6) / (1.0 + m)) << value;
            ++beyond;
        }
        byValue.emplace_back(value, map.pValues[i]);
    }
    EXPECT_GT(withinTheLastTen, 20);  // the case that matters is there
    EXPECT_GT(beyond, 20);
    std::sort(byValue.begin(), byValue.end());
    for (std::size_t k = 1; k < byValue.size(); ++k)
        ASSERT_LE(byValue[k].second, byValue[k - 1].second) << byValue[k].first;
}

// The kinds of map are thresholded side by side on a team's workers: the
// thresholds, counts, p-values and z scores are those found one kind after
// the other, bit for bit, for every method, whatever the team's size.
TEST(FdrMethods, ATeamFindsEveryKindsThresholdsAsOneThreadDoes) {
    constexpr int32_t side = 20;
    std::mt19937 generator(5);
    std::exponential_distribution<float> draw(1.0f);
    std::bernoulli_distribution effect(0.05);
    MeasureVolumes real(side, side, side), null1(side, side, side), null2(side, side, side);
    for (MeasureVolumes* volumes : {&real, &null1, &null2})
        for (FloatVolume* measure : {&volumes->ref2vox, &volumes->vox2ref, &volumes->inst})
            for (std::size_t i = 0; i < measure->size(); ++i)
                measure->data()[i] = draw(generator) * (volumes == &real && effect(generator) ? 8.0f : 1.0f);
    GlobalParameters parameters;  // every kind of map
    parameters.qThresholdsForFDR = {0.01f, 0.05f, 0.1f};
    for (FdrMethod method : {FdrMethod::permutation, FdrMethod::parametric}) {
        FdrChoice choice;
        choice.method = method;
        choice.keepPValues = true;
        const std::vector<MapThresholds> alone =
            findMapThresholdsBy(choice, real, {&null1, &null2}, parameters, 50.0, nullptr);
        ASSERT_EQ(alone.size(), static_cast<std::size_t>(mapTypeCount));
        for (int helpers : {1, 2}) {
            WorkerTeam team(helpers);
            const std::vector<MapThresholds> shared =
                findMapThresholdsBy(choice, real, {&null1, &null2}, parameters, 50.0, &team);
            ASSERT_EQ(shared.size(), alone.size());
            for (std::size_t k = 0; k < alone.size(); ++k) {
                SCOPED_TRACE(std::to_string(helpers) + " helpers, kind " + std::to_string(k));
                EXPECT_EQ(shared[k].type, alone[k].type);
                EXPECT_EQ(shared[k].searched, alone[k].searched);
                EXPECT_EQ(shared[k].method, alone[k].method);
                EXPECT_EQ(shared[k].thresholds, alone[k].thresholds);
                EXPECT_EQ(shared[k].passing, alone[k].passing);
                EXPECT_EQ(shared[k].pValues, alone[k].pValues);
                EXPECT_EQ(shared[k].zValues, alone[k].zValues);
            }
        }
        // Something to find: the test would not tell a kind's thresholds from another's otherwise.
        EXPECT_GT(alone[REF2VOX].passing[1], 0);
        EXPECT_NE(alone[REF2VOX].thresholds, alone[INST].thresholds);
    }
}
