// The radix sort against std::sort: the very same arrays, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "stats/sorting.h"

using namespace ldi;

namespace {

std::vector<uint32_t> bitsOf(const std::vector<float>& values) {
    std::vector<uint32_t> bits(values.size());
    if (!values.empty()) std::memcpy(bits.data(), values.data(), values.size() * sizeof(float));
    return bits;
}

// A linear congruential stream: the same values on every platform.
struct Stream {
    uint32_t state;
    uint32_t operator()() { return state = state * 1664525u + 1013904223u; }
};

// Magnitudes of influence measures, repeated values, tiny, huge, negative
// and infinite ones; runs of close values within one of the counter's
// table entries; -0 only when asked (the counter counts it below +0).
float mixedValue(uint32_t r, bool negativeZero) {
    switch (r % 6) {
    case 0: return static_cast<float>(r % 97) * 0.01f;
    case 1: return std::ldexp(static_cast<float>(r >> 8) / 16777216.0f, static_cast<int>(r % 60) - 30);
    case 2: return -static_cast<float>((r >> 9) + (negativeZero ? 0u : 1u)) / 1000.0f;
    case 3: return std::numeric_limits<float>::denorm_min() * static_cast<float>(r % 5 + 1);
    case 4: return 1.0f + static_cast<float>(r % 1000) * 1e-7f;
    default: return (r & 1) != 0 ? std::numeric_limits<float>::infinity() : -3.5f;
    }
}

TEST(SortAscending, EqualsStdSortForMagnitudesAndSignedValues) {
    Stream next{7u};
    for (std::size_t count : {0u, 1u, 2u, 3u, 1000u, 56000u}) {
        std::vector<float> values(count);
        for (float& v : values) v = mixedValue(next(), true);
        std::vector<float> expected = values;
        std::sort(expected.begin(), expected.end());
        sortAscending(values);
        EXPECT_EQ(bitsOf(values), bitsOf(expected)) << count << " values";
    }
}

TEST(SortAscending, NegativeZeroComesBeforePositiveZero) {
    std::vector<float> values = {0.0f, 1.0f, -0.0f, -1.0f};
    sortAscending(values);
    EXPECT_EQ(values[0], -1.0f);
    EXPECT_TRUE(std::signbit(values[1]));
    EXPECT_FALSE(std::signbit(values[2]));
    EXPECT_EQ(values[3], 1.0f);
}

TEST(AtOrAboveCounter, CountsAsABinarySearchOverTheWholeArrayDoes) {
    Stream next{11u};
    for (std::size_t count : {0u, 1u, 7u, 5000u, 200000u}) {
        std::vector<float> values(count);
        for (float& v : values) v = mixedValue(next(), false);
        sortAscending(values);
        const AtOrAboveCounter counter(values);
        std::vector<float> queries(values.begin(), values.end());
        for (int k = 0; k < 2000; ++k) {
            const uint32_t r = next();
            queries.push_back(std::ldexp(static_cast<float>((r >> 8) + 1) / 16777216.0f, static_cast<int>(r % 80) - 40) *
                              ((r & 1) != 0 ? 1.0f : -1.0f));
        }
        for (float q : {0.0f, 1.0f, std::numeric_limits<float>::max(), std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::denorm_min()})
            queries.push_back(q);
        for (float q : queries) {
            const auto expected =
                static_cast<std::size_t>(values.end() - std::lower_bound(values.begin(), values.end(), q));
            ASSERT_EQ(counter.atOrAbove(q), expected) << q << " among " << count;
        }
    }
}

}  // namespace
