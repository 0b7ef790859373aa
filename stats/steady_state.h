// Volumes at the start of a run recorded before the magnetisation reached its
// steady state: brighter or darker than the rest, they dominate any lagged
// measure that includes them. Found as the leading outliers of the run's
// global signal by the modified z score (0.6745 |x - median| / MAD > 3.5,
// Iglewicz and Hoaglin), the rule fMRIPrep's detector applies to the first
// 50 volumes.
#pragma once

#include <cstdint>
#include <cstddef>
#include <vector>

namespace ldi {

// The number of volumes from the first on whose modified z score exceeds
// `threshold`: 0 when the first is no outlier or the signal is constant.
int32_t leadingOutliers(const std::vector<double>& globalSignal, double threshold = 3.5);

// The indices, from `first` on, of the values that lie more than
// `deviations` median absolute deviations from the median of the finite
// values from `first` on, and of those that are not finite. The deviation
// taken is at least a millionth of the median's size, so that a flat series
// with one spike names the spike. None with fewer than 3 finite values.
std::vector<std::size_t> extremeValues(const std::vector<double>& values, std::size_t first, double deviations);

}  // namespace ldi
