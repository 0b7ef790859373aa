// The group level's statistics against computations of their own: the
// Benjamini-Hochberg step-up against its definition by counts, and the
// sign-flip test against every sign pattern enumerated here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "stats/fdr.h"
#include "stats/sign_flip.h"

using namespace ldi;

namespace {

// Benjamini-Hochberg by its counting form, without sorting: the largest k
// with at least k p-values at or below k q / (m c); those at or below the
// largest of them pass.
StepUpCutoff referenceStepUp(const std::vector<double>& p, double q, double c = 1.0) {
    const auto m = static_cast<double>(p.size());
    StepUpCutoff result;
    for (std::size_t k = p.size(); k >= 1; --k) {
        const double bound = static_cast<double>(k) * q / (m * c);
        std::size_t atOrBelow = 0;
        double largest = -1.0;
        for (double value : p)
            if (value <= bound) {
                ++atOrBelow;
                largest = std::max(largest, value);
            }
        if (atOrBelow >= k) {
            result.cutoff = largest;
            for (double value : p) result.passing += value <= largest ? 1 : 0;
            return result;
        }
    }
    return result;
}

// p-values with ties (from a coarse grid) and without, in random order.
std::vector<double> randomPValues(std::mt19937_64& random, std::size_t count, bool ties) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::uniform_int_distribution<int> grid(1, 40);
    std::vector<double> p(count);
    for (double& value : p) {
        // A share of small values, so that something passes at common q.
        const double u = uniform(random) < 0.3 ? uniform(random) * 0.01 : uniform(random);
        value = ties ? grid(random) / 400.0 : u;
    }
    return p;
}

TEST(BenjaminiHochberg, AgreesWithTheCountingDefinitionOnRandomPValues) {
    std::mt19937_64 random(11);
    int somethingPassed = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t count = 1 + static_cast<std::size_t>(trial % 97);
        const std::vector<double> p = randomPValues(random, count, trial % 2 == 0);
        for (double q : {0.01, 0.05, 0.1, 0.25}) {
            for (double c : {1.0, 2.5}) {
                const StepUpCutoff expected = referenceStepUp(p, q, c);
                const StepUpCutoff actual = benjaminiHochbergCutoff(p, q, c);
                ASSERT_EQ(actual.passing, expected.passing) << "trial " << trial << ", q " << q << ", c " << c;
                ASSERT_EQ(actual.cutoff, expected.cutoff) << "trial " << trial << ", q " << q << ", c " << c;
                somethingPassed += expected.passing > 0 ? 1 : 0;
            }
        }
    }
    EXPECT_GT(somethingPassed, 1000);  // the comparisons were not all of empty sets
}

TEST(BenjaminiHochberg, PropertiesOfTheStepUp) {
    std::mt19937_64 random(5);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> p = randomPValues(random, 1 + static_cast<std::size_t>(trial), trial % 3 == 0);
        // q = 1 declares every p-value (all are at most 1).
        EXPECT_EQ(benjaminiHochbergCutoff(p, 1.0).passing, static_cast<int64_t>(p.size()));
        // More passes at a larger q, fewer under the dependence factor.
        int64_t before = 0;
        for (double q : {0.001, 0.01, 0.05, 0.1, 0.2, 0.5}) {
            const StepUpCutoff step = benjaminiHochbergCutoff(p, q);
            EXPECT_GE(step.passing, before);
            EXPECT_LE(benjaminiHochbergCutoff(p, q, 3.0).passing, step.passing);
            before = step.passing;
            // Exactly the p-values at or below the cutoff pass, and the cutoff meets its bound.
            const auto below = std::count_if(p.begin(), p.end(), [&](double v) { return v <= step.cutoff; });
            EXPECT_EQ(step.passing, below);
            if (step.passing > 0) {
                EXPECT_LE(step.cutoff, q * static_cast<double>(step.passing) / static_cast<double>(p.size()));
            }
        }
        // The order of the p-values does not matter.
        const StepUpCutoff sorted = benjaminiHochbergCutoff(p, 0.05);
        std::shuffle(p.begin(), p.end(), random);
        EXPECT_EQ(benjaminiHochbergCutoff(p, 0.05).passing, sorted.passing);
    }
    EXPECT_EQ(benjaminiHochbergCutoff({}, 0.05).passing, 0);
    EXPECT_EQ(benjaminiHochbergCutoff({}, 0.05).cutoff, -1.0);
    // The smallest rank alone: 0.01 <= 1 * 0.05 / 4 fails, 0.02 <= 2 * 0.05 / 4 holds.
    const StepUpCutoff two = benjaminiHochbergCutoff({0.3, 0.01, 0.9, 0.02}, 0.05);
    EXPECT_EQ(two.passing, 2);
    EXPECT_EQ(two.cutoff, 0.02);
}

// Subject after subject, `voxels` values each: noise, with an effect in the
// first voxels.
std::vector<float> groupData(std::mt19937_64& random, int subjects, int voxels, int effectVoxels) {
    std::normal_distribution<double> normal;
    std::vector<float> data(static_cast<std::size_t>(subjects * voxels));
    for (int s = 0; s < subjects; ++s)
        for (int v = 0; v < voxels; ++v)
            data[static_cast<std::size_t>(s * voxels + v)] = static_cast<float>(normal(random) + (v < effectVoxels ? 1.5 : 0.0));
    return data;
}

// |t| of one voxel under one sign pattern (bit i set: subject i flipped), in double.
double patternAbsT(const std::vector<float>& data, int subjects, int voxels, int v, uint64_t pattern) {
    double sum = 0.0, squares = 0.0;
    for (int s = 0; s < subjects; ++s) {
        const double x = data[static_cast<std::size_t>(s * voxels + v)] * (((pattern >> s) & 1u) ? -1.0 : 1.0);
        sum += x;
        squares += x * x;
    }
    const double mean = sum / subjects;
    const double variance = (squares - sum * mean) / (subjects - 1);
    return std::fabs(mean) / std::sqrt(variance / subjects);
}

TEST(SignFlipTest, ExhaustivePValuesEqualAnEnumerationOfEverySignPattern) {
    std::mt19937_64 random(3);
    for (int subjects : {4, 6, 9}) {
        const int voxels = 40;
        const std::vector<float> data = groupData(random, subjects, voxels, 5);
        const SignFlipOutcome outcome = signFlipTest(data, subjects, voxels, 5000, 1, 2);
        const uint64_t patterns = uint64_t{1} << subjects;
        ASSERT_TRUE(outcome.exhaustive);
        ASSERT_EQ(outcome.permutations, static_cast<int64_t>(patterns));

        // Every pattern's |t| per voxel, and its largest over the voxels.
        std::vector<double> largest(patterns, 0.0);
        std::vector<std::vector<double>> absT(static_cast<std::size_t>(voxels), std::vector<double>(patterns));
        for (int v = 0; v < voxels; ++v)
            for (uint64_t pattern = 0; pattern < patterns; ++pattern) {
                absT[v][pattern] = patternAbsT(data, subjects, voxels, v, pattern);
                largest[pattern] = std::max(largest[pattern], absT[v][pattern]);
            }
        for (int v = 0; v < voxels; ++v) {
            // Relative slack for the float sums of the test; patterns this close are ties.
            const double observed = absT[v][0] * (1.0 - 1e-5);
            const auto atLeast = std::count_if(absT[v].begin(), absT[v].end(), [&](double t) { return t >= observed; });
            const auto maxAtLeast = std::count_if(largest.begin(), largest.end(), [&](double t) { return t >= observed; });
            EXPECT_DOUBLE_EQ(outcome.p[v], static_cast<double>(atLeast) / patterns) << subjects << " subjects, voxel " << v;
            EXPECT_DOUBLE_EQ(outcome.pFwe[v], static_cast<double>(maxAtLeast) / patterns) << subjects << " subjects, voxel " << v;
            EXPECT_NEAR(std::fabs(outcome.t[v]), absT[v][0], 1e-4 * absT[v][0]);
            double mean = 0.0;
            for (int s = 0; s < subjects; ++s) mean += data[static_cast<std::size_t>(s * voxels + v)];
            mean /= subjects;
            EXPECT_NEAR(outcome.mean[v], mean, 1e-5);
            EXPECT_EQ(outcome.t[v] < 0.0f, mean < 0.0);
        }
        std::sort(largest.begin(), largest.end());
        for (uint64_t pattern = 0; pattern < patterns; ++pattern)
            EXPECT_NEAR(outcome.maxima[pattern], largest[pattern], 1e-4 * largest[pattern]);
    }
}

TEST(SignFlipTest, FdrLevelIsBenjaminiHochbergOnThePermutationPValues) {
    std::mt19937_64 random(8);
    int levelsWithPasses = 0;
    for (int trial = 0; trial < 20; ++trial) {
        const int subjects = 7 + trial % 5, voxels = 150;
        const std::vector<float> data = groupData(random, subjects, voxels, 10 + trial);
        const SignFlipOutcome outcome = signFlipTest(data, subjects, voxels, trial % 2 ? 500 : 5000, 40 + trial, 1);
        for (double q : {0.01, 0.05, 0.1, 0.3}) {
            const StepUpCutoff expected = referenceStepUp(outcome.p, q);
            const FdrLevel level = fdrLevel(outcome, q);
            EXPECT_EQ(level.q, q);
            ASSERT_EQ(level.passing, expected.passing) << "trial " << trial << ", q " << q;
            if (expected.passing == 0) {
                EXPECT_TRUE(std::isinf(level.threshold));
                continue;
            }
            ++levelsWithPasses;
            // The threshold is the smallest |t| among the declared voxels, and
            // every voxel above it is declared.
            double smallest = INFINITY;
            for (int v = 0; v < voxels; ++v)
                if (outcome.p[v] <= expected.cutoff) smallest = std::min(smallest, double(std::fabs(outcome.t[v])));
            EXPECT_EQ(level.threshold, smallest);
        }
    }
    EXPECT_GT(levelsWithPasses, 40);
}

TEST(SignFlipTest, RandomPatternsKeepTheUnflippedOneAndTheFweThresholdSeparates) {
    std::mt19937_64 random(17);
    const int subjects = 14, voxels = 120;
    const std::vector<float> data = groupData(random, subjects, voxels, 15);
    const SignFlipOutcome outcome = signFlipTest(data, subjects, voxels, 300, 99, 2);
    EXPECT_FALSE(outcome.exhaustive);
    EXPECT_EQ(outcome.permutations, 300);
    EXPECT_TRUE(std::is_sorted(outcome.maxima.begin(), outcome.maxima.end()));
    for (int v = 0; v < voxels; ++v) {
        EXPECT_GE(outcome.p[v], 1.0 / 300);  // the unflipped pattern counts itself
        EXPECT_GE(outcome.pFwe[v], outcome.p[v]);
    }
    EXPECT_EQ(signFlipTest(data, subjects, voxels, 300, 99, 1).p, outcome.p);  // threads change nothing
    for (double alpha : {0.01, 0.05, 0.2}) {
        const double critical = fweCriticalT(outcome, alpha);
        for (int v = 0; v < voxels; ++v)
            EXPECT_EQ(std::fabs(outcome.t[v]) >= critical, outcome.pFwe[v] <= alpha) << v << " at " << alpha;
    }
    EXPECT_TRUE(std::isinf(fweCriticalT(outcome, 0.001)));  // fewer than one pattern allowed
}

}  // namespace

// Random patterns are made a block at a time as the test reaches them: the
// patterns and so every p must be those of one stream of draws, across the
// blocks' boundaries and with more subjects than one 64-bit draw covers.
TEST(SignFlipTest, RandomPatternsAcrossBlocksAreOneStreamOfDraws) {
    std::mt19937_64 random(29);
    const int subjects = 70;
    const int voxels = 3;
    const int64_t permutations = 9000;  // more than two blocks of patterns
    const std::vector<float> data = groupData(random, subjects, voxels, 1);
    const uint64_t seed = 4242;
    const SignFlipOutcome outcome = signFlipTest(data, subjects, voxels, permutations, seed, 2, GroupStatistic::t);
    ASSERT_FALSE(outcome.exhaustive);
    ASSERT_EQ(outcome.permutations, permutations);

    // The same patterns drawn here in one pass: 64 subjects' bits a draw.
    std::mt19937_64 draws(seed);
    std::vector<int64_t> atLeast(voxels, 0);
    std::vector<double> observed(voxels, 0.0);
    for (int64_t p = 0; p < permutations; ++p) {
        uint64_t bits[2] = {0, 0};
        if (p > 0) {
            bits[0] = draws();
            bits[1] = draws();
        }
        for (int v = 0; v < voxels; ++v) {
            float dot = 0.0f;
            double squares = 0.0;
            for (int i = 0; i < subjects; ++i) {
                const float x = data[static_cast<std::size_t>(i * voxels + v)];
                const bool flipped = ((bits[i / 64] >> (i % 64)) & 1u) != 0;
                dot += (flipped ? -1.0f : 1.0f) * x;
                squares += static_cast<double>(x) * x;
            }
            const double mean = static_cast<double>(dot) / subjects;
            const double t2 = mean * mean * subjects / ((squares - dot * mean) / (subjects - 1));
            if (p == 0) observed[static_cast<std::size_t>(v)] = t2;
            if (t2 >= observed[static_cast<std::size_t>(v)] * (1.0 - 1e-9)) ++atLeast[static_cast<std::size_t>(v)];
        }
    }
    for (int v = 0; v < voxels; ++v)
        EXPECT_NEAR(outcome.p[static_cast<std::size_t>(v)],
                    static_cast<double>(atLeast[static_cast<std::size_t>(v)]) / static_cast<double>(permutations),
                    0.5 / static_cast<double>(permutations))
            << "voxel " << v;
}
