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

TEST(SortAscending, EqualsStdSortForMagnitudesAndSignedValues) {
    Stream next{7u};
    for (std::size_t count : {0u, 1u, 2u, 3u, 1000u, 56000u}) {
        std::vector<float> values(count);
        for (float& v : values) {
            const uint32_t r = next();
            // Magnitudes of influence measures, repeated values, tiny and huge ones.
            switch (r % 5) {
            case 0: v = static_cast<float>(r % 97) * 0.01f; break;
            case 1: v = std::ldexp(static_cast<float>(r >> 8) / 16777216.0f, static_cast<int>(r % 60) - 30); break;
            case 2: v = -static_cast<float>(r >> 9) / 1000.0f; break;
            case 3: v = std::numeric_limits<float>::denorm_min() * static_cast<float>(r % 5 + 1); break;
            default: v = (r & 1) != 0 ? std::numeric_limits<float>::infinity() : -3.5f; break;
            }
        }
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
        for (float& v : values) {
            const uint32_t r = next();
            // Repeated values, runs within one table entry, tiny, huge, negative and infinite ones.
            switch (r % 6) {
            case 0: v = static_cast<float>(r % 97) * 0.01f; break;
            case 1: v = std::ldexp(static_cast<float>(r >> 8) / 16777216.0f, static_cast<int>(r % 60) - 30); break;
            case 2: v = -static_cast<float>((r >> 9) + 1) / 1000.0f; break;  // no -0: it counts below +0
            case 3: v = std::numeric_limits<float>::denorm_min() * static_cast<float>(r % 5 + 1); break;
            case 4: v = 1.0f + static_cast<float>(r % 1000) * 1e-7f; break;
            default: v = (r & 1) != 0 ? std::numeric_limits<float>::infinity() : 0.0f; break;
            }
        }
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
