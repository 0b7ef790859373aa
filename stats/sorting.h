// Sorting float32 values in ascending order by their bit patterns (a radix sort):
// the same array as std::sort with operator< for values that are not NaN, in a
// few passes over the data instead of n log n comparisons. The one difference:
// -0 comes before +0, where std::sort may put equal zeros in either order.
#pragma once

#include <cstddef>
#include <vector>

namespace ldi {

// Sorts values[0..count) using scratch[0..count) as working room.
void sortAscending(float* values, std::size_t count, float* scratch);

// The same with working room of its own.
void sortAscending(std::vector<float>& values);

}  // namespace ldi
