// The program's generator, the normal deviates and the AR simulation, all from
// a fixed run seed so that every run draws the same numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "stats/matrix.h"
#include "stats/random.h"
#include "stats/simulation.h"

using namespace ldi;

namespace {

constexpr uint32_t kRunSeed = 1700000000u;

// One polar-method pair drawn from a copy of the generator, as the kernel must draw it.
struct Pair {
    float first, second;
};
Pair drawPair(RandomState& rng) {
    for (;;) {
        const float u1 = static_cast<float>(nextRandom(rng)) / 32767.0f * 2.0f - 1.0f;
        const float u2 = static_cast<float>(nextRandom(rng)) / 32767.0f * 2.0f - 1.0f;
        const float s2 = u2 * u2 + u1 * u1;
        if (s2 >= 1.0f || s2 == 0.0f) continue;
        const float f = std::sqrt(std::log(s2) * -2.0f / s2);
        return {f * u1, f * u2};
    }
}

}  // namespace

TEST(Generator, ClassicSequenceRangeAndSeeding) {
    RandomState rng;
    seedRandom(rng, 1);
    // The first values of the portable rand() of the C standard's example.
    const int32_t expected[5] = {16838, 5758, 10113, 17515, 31051};
    for (int32_t e : expected) EXPECT_EQ(nextRandom(rng), e);

    seedRandom(rng, 0xdeadbeefu);
    int32_t lowest = kRandomMax, highest = 0;
    for (int i = 0; i < 200000; ++i) {
        const int32_t v = nextRandom(rng);
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
    }
    EXPECT_EQ(lowest, 0);
    EXPECT_EQ(highest, kRandomMax);
}

TEST(Generator, SkippingEqualsDrawing) {
    for (uint64_t count : {0ull, 1ull, 2ull, 3ull, 17ull, 1000ull, 65537ull, 1234567ull}) {
        RandomState drawn;
        RandomState skipped;
        seedRandom(drawn, 0x9e3779b9u);
        skipped = drawn;
        for (uint64_t i = 0; i < count; ++i) nextRandom(drawn);
        skipRandom(skipped, count);
        EXPECT_EQ(skipped.next, drawn.next) << count;
    }
}

TEST(Simulation, SeedIsOffsetPlusRunSeedWithWrapAround) {
    EXPECT_EQ(seriesSeed(kRunSeed, 5), 1700000005u);
    EXPECT_EQ(seriesSeed(0xfffffffeu, 3), 1u);
    EXPECT_EQ(seriesSeed(0xfffffffeu, -2), 0xfffffffcu);
}

TEST(Simulation, NormalFillDrawsPairsAndStoresAnOddTail) {
    Matrix m(2, 4, 1, 1, 100.0f);
    RandomState filled;
    fillStandardNormal(m, 1, 3, 1, 4, seriesSeed(kRunSeed, 11), filled);  // three columns of two rows

    RandomState rng;
    seedRandom(rng, seriesSeed(kRunSeed, 11));
    for (int32_t r = 1; r <= 2; ++r) {
        const Pair a = drawPair(rng);
        const Pair b = drawPair(rng);  // second pair: only its first value is stored
        EXPECT_EQ(m(r, 1), a.first);
        EXPECT_EQ(m(r, 2), a.second);
        EXPECT_EQ(m(r, 3), b.first);
        EXPECT_EQ(m(r, 4), 100.0f);
    }
    // The generator continues exactly after the drawn pairs.
    EXPECT_EQ(nextRandom(filled), nextRandom(rng));

    // The same seed: the same deviates, whatever the generator drew before; another: others.
    Matrix again(2, 4, 1, 1, 100.0f), other(2, 4, 1, 1, 100.0f);
    fillStandardNormal(again, 1, 3, 1, 4, seriesSeed(kRunSeed, 11), filled);
    fillStandardNormal(other, 1, 3, 1, 4, seriesSeed(kRunSeed, 12), filled);
    EXPECT_EQ(again(2, 3), m(2, 3));
    EXPECT_NE(other(1, 1), m(1, 1));
}

TEST(Simulation, NormalDeviatesHaveUnitVariance) {
    Matrix m(1, 100000, 0, 0);
    RandomState rng;
    fillStandardNormal(m, 0, 1, 0, 100000, kRunSeed, rng);
    double sum = 0, squares = 0;
    for (int32_t c = 0; c < 100000; ++c) {
        sum += m(0, c);
        squares += static_cast<double>(m(0, c)) * m(0, c);
    }
    EXPECT_NEAR(sum / 100000, 0.0, 0.02);
    EXPECT_NEAR(squares / 100000, 1.0, 0.03);
}

TEST(Simulation, UnivariateArOneHasTheExpectedAutocorrelation) {
    const int32_t length = 200000;
    Matrix y(1, length, 1, 1);
    MatrixList a(1, 1, Matrix(1, 1, 1, 1, 0.5f));
    Matrix sigma(1, 1, 1, 1, 1.0f);
    RandomState rng;
    ASSERT_TRUE(simulateArSeries(y, 1, 2, 1, length + 1, a, sigma, seriesSeed(kRunSeed, 3), rng));

    const int32_t warmUp = 100;
    double mean = 0;
    for (int32_t t = 1 + warmUp; t <= length; ++t) mean += y(1, t);
    mean /= length - warmUp;
    double var = 0, lag1 = 0;
    for (int32_t t = 1 + warmUp; t <= length; ++t) {
        const double d = y(1, t) - mean;
        var += d * d;
        if (t > 1 + warmUp) lag1 += d * (y(1, t - 1) - mean);
    }
    EXPECT_NEAR(lag1 / var, 0.5, 0.02);
    EXPECT_NEAR(var / (length - warmUp), 4.0 / 3.0, 0.05);
}

TEST(Simulation, FirstColumnsAreScaledInnovationsThenTheRecursion) {
    const int32_t length = 6;
    Matrix y(1, length, 1, 1);
    MatrixList a(2, 1, Matrix(1, 1, 1, 1));
    a[1](1, 1) = 0.25f;
    a[2](1, 1) = -0.5f;
    Matrix sigma(1, 1, 1, 1, 4.0f);  // sigma = 2
    RandomState rng;
    ASSERT_TRUE(simulateArSeries(y, 1, 2, 1, length + 1, a, sigma, seriesSeed(kRunSeed, 9), rng));

    Matrix z(1, length, 1, 1);
    fillStandardNormal(z, 1, 2, 1, length + 1, seriesSeed(kRunSeed, 9), rng);
    EXPECT_EQ(y(1, 1), z(1, 1) * 2.0f);
    EXPECT_EQ(y(1, 2), z(1, 2) * 2.0f);
    for (int32_t t = 3; t <= length; ++t) {
        float x = z(1, t) * 2.0f;
        x = x + y(1, t - 1) * 0.25f;
        x = x + y(1, t - 2) * -0.5f;
        EXPECT_EQ(y(1, t), x) << t;
    }
}

TEST(Simulation, TwoSeriesInnovationsCarryTheResidualCovariance) {
    const int32_t length = 100000;
    Matrix y(2, length, 1, 1);
    MatrixList a(1, 1, Matrix(2, 2, 1, 1, 0.0f));
    Matrix sigma(2, 2, 0, 0);
    sigma(0, 0) = 1.0f; sigma(0, 1) = 0.6f; sigma(1, 0) = 0.6f; sigma(1, 1) = 2.0f;
    RandomState rng;
    ASSERT_TRUE(simulateArSeries(y, 1, 3, 1, length + 1, a, sigma, kRunSeed, rng));
    double s00 = 0, s01 = 0, s11 = 0;
    for (int32_t t = 1; t <= length; ++t) {
        s00 += static_cast<double>(y(1, t)) * y(1, t);
        s01 += static_cast<double>(y(1, t)) * y(2, t);
        s11 += static_cast<double>(y(2, t)) * y(2, t);
    }
    EXPECT_NEAR(s00 / length, 1.0, 0.03);
    EXPECT_NEAR(s01 / length, 0.6, 0.03);
    EXPECT_NEAR(s11 / length, 2.0, 0.06);
}

TEST(Simulation, ResidualVarianceNotPositiveLeavesTheBufferUntouched) {
    Matrix y(1, 10, 1, 1, 7.0f);
    MatrixList a(1, 1, Matrix(1, 1, 1, 1, 0.5f));
    for (float bad : {0.0f, -1.0f}) {
        Matrix sigma(1, 1, 1, 1, bad);
        RandomState rng;
        EXPECT_FALSE(simulateArSeries(y, 1, 2, 1, 11, a, sigma, kRunSeed, rng));
        for (int32_t t = 1; t <= 10; ++t) EXPECT_EQ(y(1, t), 7.0f);
    }
}
