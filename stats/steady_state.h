// Volumes at the start of a run recorded before the magnetisation reached its
// steady state: brighter or darker than the rest, they dominate any lagged
// measure that includes them. Found as the leading outliers of the run's
// global signal by the modified z score (0.6745 |x - median| / MAD > 3.5,
// Iglewicz and Hoaglin), the rule fMRIPrep's detector applies to the first
// 50 volumes.
#pragma once

#include <cstdint>
#include <vector>

namespace ldi {

// The number of volumes from the first on whose modified z score exceeds
// `threshold`: 0 when the first is no outlier or the signal is constant.
int32_t leadingOutliers(const std::vector<double>& globalSignal, double threshold = 3.5);

}  // namespace ldi
