// The leading outliers of a run's global signal: the volumes before the
// steady state, and no more.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "stats/steady_state.h"

namespace ldi {
namespace {

std::vector<double> noise(unsigned seed, std::size_t n) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(1000.0, 2.0);
    std::vector<double> signal(n);
    for (double& x : signal) x = normal(random);
    return signal;
}

TEST(SteadyState, DarkOrBrightLeadingVolumesAreCountedAndNoOthers) {
    std::vector<double> signal = noise(1, 50);
    signal[0] = 1300.0;  // before the steady state: far brighter
    signal[1] = 1100.0;
    EXPECT_EQ(leadingOutliers(signal), 2);
    signal[1] = 1000.0;
    EXPECT_EQ(leadingOutliers(signal), 1);
    signal[0] = 800.0;  // darker counts as well
    EXPECT_EQ(leadingOutliers(signal), 1);
    // An outlier later in the run (a spike) is not a steady-state matter.
    signal[0] = 1000.0;
    signal[7] = 1300.0;
    EXPECT_EQ(leadingOutliers(signal), 0);
    // Nothing to judge by: constant, too short, every volume apart.
    EXPECT_EQ(leadingOutliers(std::vector<double>(20, 5.0)), 0);
    EXPECT_EQ(leadingOutliers({1.0, 100.0}), 0);
}

TEST(SteadyState, StationaryNoiseRarelyLosesAVolume) {
    // The modified z of 3.5 on Gaussian noise: about 1 in 2000 first volumes.
    int skipped = 0;
    for (unsigned seed = 0; seed < 2000; ++seed) skipped += leadingOutliers(noise(seed, 50)) > 0 ? 1 : 0;
    EXPECT_LE(skipped, 6);
}

// Values far beyond any spike of a sound run (1000 median deviations), and
// values that are not finite, are named from the first one looked at on; the
// median and deviation come from those values alone.
TEST(SteadyState, ExtremeValuesAreNamedFromTheFirstLookedAtOn) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        std::vector<double> values;
        std::size_t first;
        std::vector<std::size_t> extreme;
    };
    const Case cases[] = {
        {"sound noise", {100, 101, 99, 100.5, 99.5, 100, 102}, 0, {}},
        {"a spike of 1e10", {100, 101, 99, 1e10, 99.5, 100, 102}, 0, {3}},
        {"a spike below", {100, 101, 99, -1e6, 99.5, 100, 102}, 0, {3}},
        {"a flat series with a spike", {5, 5, 5, 5, 6, 5}, 0, {4}},
        {"a flat series", {5, 5, 5, 5, 5}, 0, {}},
        {"not finite", {100, 101, nan, 99, 100}, 0, {2}},
        {"a spike before the first looked at", {1e10, 100, 101, 99, 100}, 1, {}},
        {"a spike after it", {100, 100, 101, 99, 1e10}, 1, {4}},
        {"too few values", {100, 1e10}, 0, {}},
        {"100 deviations is no spike", {100, 101, 99, 200, 99.5, 100, 102}, 0, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(extremeValues(c.values, c.first, 1000.0), c.extreme) << c.what;
}

}  // namespace
}  // namespace ldi
