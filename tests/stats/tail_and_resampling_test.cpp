// The pieces of the permutation null that go beyond the draws: the Pareto
// tail fit against distributions whose tails are known, the log-space tail
// probabilities against independent formulas, and the resampled AR series
// against their defining recursion.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "stats/distributions.h"
#include "stats/random.h"
#include "stats/simulation.h"
#include "stats/tail_fit.h"

using namespace ldi;

namespace {

std::vector<float> sortedSample(std::size_t n, unsigned seed, double shape) {
    std::mt19937_64 generator(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<float> values(n);
    for (float& v : values) {
        const double u = 1.0 - uniform(generator);
        v = static_cast<float>(shape == 0.0 ? -std::log(u) : (std::pow(u, -shape) - 1.0) / shape);
    }
    std::sort(values.begin(), values.end());
    return values;
}

// ln P(Z >= z) by the asymptotic series, with more terms than the code uses.
double normalLogTail(double z) {
    const double w = 1.0 / (z * z);
    return -0.5 * z * z - std::log(z) - 0.5 * std::log(2.0 * M_PI) +
           std::log(1.0 - w + 3.0 * w * w - 15.0 * w * w * w + 105.0 * w * w * w * w);
}

}  // namespace

TEST(TailFit, ExtrapolatesKnownTailsFarBeyondTheSample) {
    // 200,000 null values resolve p down to 5e-6; the fit must reach 1e-9
    // within a factor of 3 for exponential (shape 0) and Pareto (0.3) tails.
    for (const double shape : {0.0, 0.3}) {
        const std::vector<float> null = sortedSample(200000, 5, shape);
        const TailFit fit = fitParetoTail(null.data(), null.size());
        ASSERT_TRUE(fit.usable) << "shape " << shape << " A2 " << fit.andersonDarling;
        EXPECT_NEAR(fit.shape, shape, 0.1);
        for (const double p : {1e-6, 1e-9}) {
            const double x = shape == 0.0 ? -std::log(p) : (std::pow(p, -shape) - 1.0) / shape;
            EXPECT_NEAR(tailLogSurvival(fit, x), std::log(p), std::log(3.0)) << "shape " << shape << " p " << p;
        }
    }
}

TEST(TailFit, NeverGivesABoundedTailOrAFitFromTooFewValues) {
    // Uniform values have a finite end (shape -1): the fit holds the shape at 0,
    // so p keeps falling beyond the largest value instead of reaching 0.
    std::vector<float> uniform(50000);
    for (std::size_t i = 0; i < uniform.size(); ++i) uniform[i] = static_cast<float>(i + 1) / 50000.0f;
    const TailFit fit = fitParetoTail(uniform.data(), uniform.size());
    if (fit.usable) {
        EXPECT_GE(fit.shape, 0.0);
        double previous = 0.0;
        for (double x = 1.0; x < 3.0; x += 0.25) {
            const double logP = tailLogSurvival(fit, x);
            EXPECT_TRUE(std::isfinite(logP));
            EXPECT_LT(logP, previous);
            previous = logP;
        }
    }
    const std::vector<float> few = sortedSample(500, 3, 0.0);
    EXPECT_FALSE(fitParetoTail(few.data(), few.size()).usable);
}

TEST(Distributions, LogTailsAgreeWithDirectFormulasAndGoOnBeyondDoubleRange) {
    // Where the probability is representable: the log of the direct value.
    for (const double degrees : {1.0, 2.0, 5.0})
        for (const double x : {0.5, 4.0, 40.0, 400.0})
            EXPECT_NEAR(chiSquareLogSurvival(x, degrees), std::log(chiSquareSurvival(x, degrees)), 1e-9)
                << degrees << " " << x;
    // One degree of freedom: P(X >= x) = P(|Z| >= sqrt x) = 2 P(Z >= sqrt x), far below 1e-308.
    for (const double x : {2000.0, 20000.0})
        EXPECT_NEAR(chiSquareLogSurvival(x, 1.0), std::log(2.0) + normalLogTail(std::sqrt(x)), 1e-6 * x);
    // The inverse: the z whose tail is the given one, through the switch at ln p = -700.
    for (const double z : {1.0, 5.0, 30.0, 37.0, 38.0, 100.0, 1000.0}) {
        const double logTail = z < 37.5 ? std::log(0.5 * std::erfc(z / std::sqrt(2.0))) : normalLogTail(z);
        EXPECT_NEAR(normalUpperQuantileFromLog(logTail), z, 1e-6 * z) << z;
    }
}

TEST(ResampledSeries, FollowTheRecursionWithInnovationsFromTheResiduals) {
    const std::vector<float> residuals{-2.0f, -0.5f, 0.25f, 1.0f, 1.25f};
    const float a[2] = {0.5f, -0.25f};
    std::vector<float> series(300), again(300);
    RandomState generator, other;
    ASSERT_TRUE(simulateArBootstrap(series.data(), 300, a, 2, residuals, 77u, generator));
    ASSERT_TRUE(simulateArBootstrap(again.data(), 300, a, 2, residuals, 77u, other));
    EXPECT_EQ(series, again);  // the series follows from its seed alone
    std::vector<int> used(residuals.size(), 0);
    for (int t = 0; t < 300; ++t) {
        float e = series[t];
        if (t >= 2) e = e - (a[0] * series[t - 1] + a[1] * series[t - 2]);
        const auto hit = std::find_if(residuals.begin(), residuals.end(),
                                      [&](float r) { return std::fabs(r - e) < 1e-4f; });
        ASSERT_NE(hit, residuals.end()) << "innovation " << e << " at " << t;
        ++used[static_cast<std::size_t>(hit - residuals.begin())];
    }
    for (int count : used) EXPECT_GT(count, 30);  // every residual drawn, about evenly
    EXPECT_FALSE(simulateArBootstrap(series.data(), 300, a, 2, {}, 77u, generator));
}

TEST(ResampledSeries, ModelOrderByAicFindsAnAr2AndItsResidualsAreCentred) {
    std::mt19937 generator(4);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> x(4000, 0.0f);
    for (std::size_t t = 2; t < x.size(); ++t) x[t] = 1.3f * x[t - 1] - 0.6f * x[t - 2] + normal(generator);
    const std::vector<float> a = autoregressionByAic(x.data(), 4000, 8);
    ASSERT_GE(a.size(), 2u);
    EXPECT_NEAR(a[0], 1.3, 0.05);
    EXPECT_NEAR(a[1], -0.6, 0.05);
    for (std::size_t k = 2; k < a.size(); ++k) EXPECT_LT(std::fabs(a[k]), 0.06);
    const std::vector<float> e = arResiduals(x.data(), 4000, a.data(), static_cast<int32_t>(a.size()));
    double sum = 0.0, lag = 0.0, square = 0.0;
    for (std::size_t t = 0; t < e.size(); ++t) {
        sum += e[t];
        square += static_cast<double>(e[t]) * e[t];
        if (t > 0) lag += static_cast<double>(e[t]) * e[t - 1];
    }
    EXPECT_NEAR(sum / static_cast<double>(e.size()), 0.0, 1e-5);
    EXPECT_LT(std::fabs(lag / square), 0.06);  // white: the order took the autocorrelation
    // White noise: no order, or coefficients that are noise.
    std::vector<float> white(4000);
    for (float& v : white) v = normal(generator);
    for (float c : autoregressionByAic(white.data(), 4000, 8)) EXPECT_LT(std::fabs(c), 0.06f);
}

TEST(ResampledSeries, PermutedInnovationsAreTheResidualsOnceEachWithinTheirStratum) {
    // Residuals with distinct values, so that each innovation names its residual.
    std::vector<float> residuals(40);
    std::vector<int32_t> strata(40);
    for (int i = 0; i < 40; ++i) {
        residuals[i] = 0.25f * static_cast<float>(i) - 5.0f;
        strata[i] = i < 10 ? 0 : (i < 25 ? 1 : (i < 30 ? -1 : 0));
    }
    const float a[1] = {0.5f};
    struct Case {
        int32_t length;
        uint32_t seed;
    };
    for (const Case c : {Case{40, 1u}, Case{60, 2u}, Case{100, 3u}}) {
        std::vector<float> out(static_cast<std::size_t>(c.length));
        RandomState generator;
        ASSERT_TRUE(simulateArPermuted(out.data(), c.length, a, 1, residuals, strata, c.seed, generator));
        const int32_t warmUp = c.length - 40;
        std::vector<int> used(40, 0);
        bool moved = false;
        for (int32_t t = 0; t < c.length; ++t) {
            const float e = t >= 1 ? out[t] - a[0] * out[t - 1] : out[t];
            const auto hit = std::find_if(residuals.begin(), residuals.end(),
                                          [&](float r) { return std::fabs(r - e) < 1e-3f; });
            ASSERT_NE(hit, residuals.end()) << "innovation " << e << " at " << t;
            if (t < warmUp) continue;
            const auto i = static_cast<std::size_t>(hit - residuals.begin());
            ++used[i];
            EXPECT_EQ(strata[i], strata[static_cast<std::size_t>(t - warmUp)]) << "time " << t;
            moved = moved || i != static_cast<std::size_t>(t - warmUp);
        }
        for (int count : used) EXPECT_EQ(count, 1);
        EXPECT_TRUE(moved);
    }
    std::vector<float> out(40);
    RandomState generator;
    EXPECT_FALSE(simulateArPermuted(out.data(), 39, a, 1, residuals, strata, 1u, generator));
    EXPECT_FALSE(simulateArPermuted(out.data(), 40, a, 1, residuals, {0, 1}, 1u, generator));
    EXPECT_FALSE(simulateArPermuted(out.data(), 40, a, 1, {}, {}, 1u, generator));
}

TEST(ResampledSeries, ModelOrderByAicIsNeverBelowTheLowestAllowed) {
    // White noise, where AIC chooses order 0 or close to it: the lowest
    // allowed order is kept, and above it the choice is free.
    std::mt19937 generator(9);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> white(2000);
    for (float& v : white) v = normal(generator);
    for (const int32_t lowest : {0, 1, 2, 5}) {
        const std::vector<float> a = autoregressionByAic(white.data(), 2000, 8, lowest);
        EXPECT_GE(static_cast<int32_t>(a.size()), lowest);
        EXPECT_LE(static_cast<int32_t>(a.size()), 8);
        for (float c : a) EXPECT_LT(std::fabs(c), 0.08f);
    }
    EXPECT_LE(autoregressionByAic(white.data(), 2000, 8, 0).size(), 2u);
}

TEST(TailFit, ReachesBelowTheFloorOnlyAsFarAsItsExceedancesAllow) {
    // 40,000 exponential null values: the largest 1 % (400) are fitted, so
    // the fit's p goes down to floor / 4 and no further.
    const std::vector<float> null = sortedSample(40000, 8, 0.0);
    const TailFit fit = fitParetoTail(null.data(), null.size());
    ASSERT_TRUE(fit.usable);
    EXPECT_NEAR(tailReach(fit), static_cast<double>(fit.exceedances) / 100.0, 1e-12);
    const double floorLogP = -std::log1p(40000.0);
    const double lowest = floorLogP - std::log(tailReach(fit));
    struct Case {
        double x;          // a magnitude
        double expected;   // ln p
        bool held;
    };
    const double largest = null.back();
    // Where the fitted tail gives half the floor (it falls with x).
    double lo = fit.threshold, hi = largest + 100.0;
    for (int i = 0; i < 200; ++i) {
        const double mid = 0.5 * (lo + hi);
        (tailLogSurvival(fit, mid) > floorLogP - std::log(2.0) ? lo : hi) = mid;
    }
    const Case cases[] = {
        {fit.threshold - 1.0, floorLogP, false},       // not beyond the fit's threshold: the floor
        {lo, floorLogP - std::log(2.0), false},        // within reach: the fit's own p
        {largest + 30.0, lowest, true},                // far beyond: held at floor / D
    };
    for (const Case& c : cases) {
        bool held = false;
        const double logP = boundedTailLogP(fit, c.x, held);
        EXPECT_NEAR(logP, c.expected, 1e-6) << c.x;
        EXPECT_EQ(held, c.held) << c.x;
        EXPECT_GE(logP, lowest - 1e-12);
        EXPECT_LE(logP, floorLogP + 1e-12);
    }
    // A refused fit, or one of fewer than 100 exceedances, gives the floor beyond the draws.
    TailFit refused = fit;
    refused.usable = false;
    TailFit small = fit;
    small.exceedances = 60;
    for (const TailFit& f : {refused, small}) {
        bool held = false;
        EXPECT_NEAR(boundedTailLogP(f, largest + 30.0, held), floorLogP, 1e-9);
    }
}
