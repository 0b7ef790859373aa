#include "stats/sorting.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace ldi {

namespace {

constexpr int kDigitBits = 11;
constexpr uint32_t kBuckets = 1u << kDigitBits;
constexpr uint32_t kDigitMask = kBuckets - 1;
constexpr int kPasses = 3;  // 3 x 11 bits cover the 32 bits of a key

// A key whose unsigned order is the numeric order of the float: negative values
// have all bits flipped, the others only their sign bit.
inline uint32_t keyOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

}  // namespace

void sortAscending(float* values, std::size_t count, float* scratch) {
    if (count < 2) return;
    // The counts of all passes in one sweep.
    uint32_t histogram[kPasses][kBuckets];
    std::memset(histogram, 0, sizeof histogram);
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t key = keyOf(values[i]);
        for (int pass = 0; pass < kPasses; ++pass) ++histogram[pass][(key >> (pass * kDigitBits)) & kDigitMask];
    }
    float* from = values;
    float* to = scratch;
    for (int pass = 0; pass < kPasses; ++pass) {
        uint32_t* offsets = histogram[pass];
        uint32_t sum = 0;
        for (uint32_t b = 0; b < kBuckets; ++b) {
            const uint32_t n = offsets[b];
            offsets[b] = sum;
            sum += n;
        }
        // Stable, so the earlier (lower) digits keep their order.
        const int shift = pass * kDigitBits;
        for (std::size_t i = 0; i < count; ++i) {
            const uint32_t digit = (keyOf(from[i]) >> shift) & kDigitMask;
            to[offsets[digit]++] = from[i];
        }
        std::swap(from, to);
    }
    if (from != values) std::memcpy(values, from, count * sizeof(float));
}

void sortAscending(std::vector<float>& values) {
    std::vector<float> scratch(values.size());
    sortAscending(values.data(), values.size(), scratch.data());
}

namespace {

constexpr int kTableShift = 16;
constexpr std::size_t kTableSize = (std::size_t{1} << (32 - kTableShift)) + 1;

}  // namespace

AtOrAboveCounter::AtOrAboveCounter(const std::vector<float>& sorted) : sorted_(sorted), starts_(kTableSize) {
    std::size_t i = 0;
    for (std::size_t b = 0; b + 1 < kTableSize; ++b) {
        starts_[b] = i;
        while (i < sorted.size() && (keyOf(sorted[i]) >> kTableShift) == b) ++i;
    }
    starts_[kTableSize - 1] = sorted.size();
}

std::size_t AtOrAboveCounter::atOrAbove(float value) const {
    const std::size_t b = keyOf(value) >> kTableShift;
    const auto first = sorted_.begin() + static_cast<std::ptrdiff_t>(starts_[b]);
    const auto last = sorted_.begin() + static_cast<std::ptrdiff_t>(starts_[b + 1]);
    const auto at = std::lower_bound(first, last, value, [](float x, float y) { return keyOf(x) < keyOf(y); });
    return sorted_.size() - static_cast<std::size_t>(at - sorted_.begin());
}

}  // namespace ldi
