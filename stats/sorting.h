// Sorting float32 values in ascending order by their bit patterns (a radix sort):
// the same array as std::sort with operator< for values that are not NaN, in a
// few passes over the data instead of n log n comparisons. The one difference:
// -0 comes before +0, where std::sort may put equal zeros in either order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ldi {

// Sorts values[0..count) using scratch[0..count) as working room.
void sortAscending(float* values, std::size_t count, float* scratch);

// The same with working room of its own.
void sortAscending(std::vector<float>& values);

// How many values of an ascending array are at or above a value, as
// std::lower_bound finds it, through a table of where the values sharing
// their top 16 bits start: a binary search over millions of values misses
// the cache at nearly every step, one within such a run does not. For values
// that are not NaN, and with -0 counted below +0 (the order sortAscending gives).
class AtOrAboveCounter {
public:
    // `sorted` (ascending, as sortAscending leaves it) must outlive the counter.
    explicit AtOrAboveCounter(const std::vector<float>& sorted);
    std::size_t atOrAbove(float value) const;

private:
    const std::vector<float>& sorted_;
    std::vector<std::size_t> starts_;  // per top 16 bits of the key, the first index at or above
};

}  // namespace ldi
