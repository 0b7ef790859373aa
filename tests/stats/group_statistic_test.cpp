// The floored t of the group test against a computation of its own, its
// pooled p-values under the null, and the reason for it side by side with
// the plain t: an effect in 8 of 10 subjects, equal values in every subject.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "stats/sign_flip.h"

using namespace ldi;

namespace {

constexpr int32_t kSubjects = 10;
constexpr int64_t kVoxels = 2000;

// subjects x voxels of standard normal z values, subject after subject.
std::vector<float> nullZ(unsigned seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> data(static_cast<std::size_t>(kSubjects * kVoxels));
    for (float& v : data) v = normal(generator);
    return data;
}

float& at(std::vector<float>& data, int32_t subject, int64_t voxel) {
    return data[static_cast<std::size_t>(subject * kVoxels + voxel)];
}

}  // namespace

TEST(GroupStatistic, FlooredTIsTheMeanOverTheFlooredStandardError) {
    std::vector<float> data = nullZ(1);
    const SignFlipOutcome outcome = signFlipTest(data, kSubjects, kVoxels, 1024, 1, 2, GroupStatistic::flooredT);
    // The floor: the median over the voxels of the subjects' mean square.
    std::vector<double> meanSquares;
    for (int64_t v = 0; v < kVoxels; ++v) {
        double s = 0.0;
        for (int32_t i = 0; i < kSubjects; ++i) s += static_cast<double>(at(data, i, v)) * at(data, i, v);
        meanSquares.push_back(s / kSubjects);
    }
    std::nth_element(meanSquares.begin(), meanSquares.begin() + kVoxels / 2, meanSquares.end());
    EXPECT_NEAR(outcome.varianceFloor, meanSquares[kVoxels / 2], 1e-9);
    EXPECT_NEAR(outcome.varianceFloor, 1.0, 0.1);  // z maps: the null variance of one subject
    for (int64_t v = 0; v < kVoxels; v += 97) {
        double sum = 0.0, squares = 0.0;
        for (int32_t i = 0; i < kSubjects; ++i) {
            sum += at(data, i, v);
            squares += static_cast<double>(at(data, i, v)) * at(data, i, v);
        }
        const double mean = sum / kSubjects;
        const double variance = (squares - kSubjects * mean * mean) / (kSubjects - 1);
        const double t = mean / std::sqrt((variance + outcome.varianceFloor) / kSubjects);
        EXPECT_NEAR(outcome.t[static_cast<std::size_t>(v)], t, 1e-4 * (1.0 + std::fabs(t)));
    }
}

TEST(GroupStatistic, PooledPValuesAreUniformWithoutEffectAndGoBelowTheSignPatterns) {
    const std::vector<float> data = nullZ(2);
    const SignFlipOutcome outcome = signFlipTest(data, kSubjects, kVoxels, 1024, 2, 2, GroupStatistic::flooredT);
    ASSERT_EQ(outcome.pPooled.size(), static_cast<std::size_t>(kVoxels));
    std::vector<double> p = outcome.pPooled;
    std::sort(p.begin(), p.end());
    double worst = 0.0;
    for (std::size_t i = 0; i < p.size(); ++i)
        worst = std::max(worst, std::fabs(p[i] - (static_cast<double>(i) + 0.5) / static_cast<double>(p.size())));
    EXPECT_LT(worst, 0.05);  // Kolmogorov-Smirnov at 2,000 values: 0.036 at alpha 0.05
    EXPECT_LT(p.front(), smallestSignFlipP(kSubjects, 1024));
    EXPECT_DOUBLE_EQ(smallestSignFlipP(kSubjects, 1024), 2.0 / 1024.0);
    EXPECT_DOUBLE_EQ(smallestSignFlipP(20, 5000), 1.0 / 5000.0);
    EXPECT_TRUE(signFlipTest(data, kSubjects, kVoxels, 1024, 2, 2).pPooled.empty());
}

TEST(GroupStatistic, FindsAnEffectInMostSubjectsWhereThePlainTDoesNot) {
    // 100 region voxels with z about 4 in 8 of 10 subjects, null elsewhere.
    std::vector<float> data = nullZ(3);
    std::mt19937 generator(9);
    std::normal_distribution<float> normal(4.0f, 1.0f);
    for (int64_t v = 0; v < 100; ++v)
        for (int32_t i = 0; i < 8; ++i) at(data, i, v) = normal(generator);
    const SignFlipOutcome plain = signFlipTest(data, kSubjects, kVoxels, 1024, 3, 2, GroupStatistic::t);
    const SignFlipOutcome floored = signFlipTest(data, kSubjects, kVoxels, 1024, 3, 2, GroupStatistic::flooredT);
    int plainFound = 0, flooredFound = 0, flooredFalse = 0;
    for (int64_t v = 0; v < kVoxels; ++v) {
        const auto k = static_cast<std::size_t>(v);
        if (v < 100) {
            plainFound += plain.pFwe[k] <= 0.05 ? 1 : 0;
            flooredFound += floored.pFwe[k] <= 0.05 ? 1 : 0;
        } else {
            flooredFalse += floored.pFwe[k] <= 0.05 ? 1 : 0;
        }
    }
    EXPECT_GE(flooredFound, 80);
    EXPECT_GT(flooredFound, plainFound);
    EXPECT_LE(flooredFalse, 2);
    // The FDR thresholds can pass: the pooled p goes below 2 / 2^10.
    EXPECT_GE(fdrLevel(floored, 0.05).passing, 80);
}

TEST(GroupStatistic, EqualValuesInEverySubjectGiveAFiniteT) {
    std::vector<float> data = nullZ(4);
    for (int32_t i = 0; i < kSubjects; ++i) at(data, i, 0) = 4.0f;  // a capped map
    const SignFlipOutcome floored = signFlipTest(data, kSubjects, kVoxels, 1024, 4, 2, GroupStatistic::flooredT);
    EXPECT_TRUE(std::isfinite(floored.t[0]));
    EXPECT_LT(floored.t[0], 100.0f);
    EXPECT_GT(floored.t[0], 10.0f);
    EXPECT_TRUE(std::isfinite(fweCriticalT(floored, 0.05)));
    EXPECT_LT(fweCriticalT(floored, 0.05), 100.0);
}

TEST(GroupStatistic, SkewnessOfTheSubjectsMapsTellsSkewedFromSymmetricMaps) {
    // Each row: the subjects' values at every voxel drawn from one law, and
    // whether the plain t must be warned of (|median skewness| above the bound).
    struct Case {
        const char* law;
        bool skewed;
    };
    const Case cases[] = {{"normal", false}, {"t3", false}, {"exp", true}, {"minus-exp", true}, {"gamma4", true},
                          {"normal-with-effect", false}};
    for (const Case& c : cases) {
        std::mt19937 generator(11);
        std::normal_distribution<float> normal(0.0f, 1.0f);
        std::student_t_distribution<float> heavy(3.0f);
        std::exponential_distribution<float> exponential(1.0f);
        std::gamma_distribution<float> gamma(4.0f, 0.5f);
        const std::string law = c.law;
        std::vector<float> data(static_cast<std::size_t>(kSubjects * kVoxels));
        for (int32_t i = 0; i < kSubjects; ++i)
            for (int64_t v = 0; v < kVoxels; ++v) {
                float value = normal(generator);
                if (law == "t3") value = heavy(generator);
                if (law == "exp") value = exponential(generator) - 1.0f;
                if (law == "minus-exp") value = 1.0f - exponential(generator);
                if (law == "gamma4") value = gamma(generator) - 2.0f;
                // A strong effect in 8 of 10 subjects at one voxel in twenty.
                if (law == "normal-with-effect" && v % 20 == 0 && i < 8) value += 4.0f;
                at(data, i, v) = value;
            }
        const double skewness = subjectSkewness(data, kSubjects, kVoxels);
        EXPECT_EQ(std::fabs(skewness) > kLargestSymmetricSkewness, c.skewed) << law << " " << skewness;
        if (law == "exp") {
            EXPECT_NEAR(skewness, 0.93, 0.1);
        }
        if (law == "minus-exp") {
            EXPECT_LT(skewness, -0.8);
        }
    }
    // Against a computation of its own on three voxels of five subjects: the
    // middle of the three voxels' skewness; a constant voxel is left out.
    const std::vector<float> small{1, 0, 5, 2, 0, 7, 3, 0, 1, 4, 0, 2, 10, 0, 3};
    auto skewnessOf = [](std::vector<double> x) {
        double mean = 0.0, m2 = 0.0, m3 = 0.0;
        for (double v : x) mean += v / x.size();
        for (double v : x) m2 += (v - mean) * (v - mean) / x.size(), m3 += std::pow(v - mean, 3) / x.size();
        return m3 / std::pow(m2, 1.5);
    };
    const double first = skewnessOf({1, 2, 3, 4, 10}), third = skewnessOf({5, 7, 1, 2, 3});
    EXPECT_NEAR(subjectSkewness(small, 5, 3), 0.5 * (first + third), 1e-6);
}
