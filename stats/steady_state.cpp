#include "stats/steady_state.h"

#include <algorithm>
#include <cmath>

namespace ldi {

namespace {

double median(std::vector<double> values) {
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) return upper;
    return 0.5 * (upper + *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle)));
}

}  // namespace

int32_t leadingOutliers(const std::vector<double>& globalSignal, double threshold) {
    if (globalSignal.size() < 3) return 0;
    const double centre = median(globalSignal);
    std::vector<double> deviations;
    deviations.reserve(globalSignal.size());
    for (const double value : globalSignal) deviations.push_back(std::fabs(value - centre));
    const double mad = median(deviations);
    if (!(mad > 0.0)) return 0;
    int32_t count = 0;
    for (const double deviation : deviations) {
        if (!(0.6745 * deviation / mad > threshold)) break;
        ++count;
    }
    // Every volume an outlier is a signal without a steady part to measure
    // against, not a run to skip entirely.
    return count == static_cast<int32_t>(globalSignal.size()) ? 0 : count;
}

std::vector<std::size_t> extremeValues(const std::vector<double>& values, std::size_t first, double deviations) {
    std::vector<double> finite;
    for (std::size_t i = first; i < values.size(); ++i)
        if (std::isfinite(values[i])) finite.push_back(values[i]);
    std::vector<std::size_t> extreme;
    if (finite.size() < 3) return extreme;
    const double centre = median(finite);
    std::vector<double> distances;
    distances.reserve(finite.size());
    for (const double value : finite) distances.push_back(std::fabs(value - centre));
    const double scale = std::max(median(distances), 1e-6 * std::fabs(centre));
    for (std::size_t i = first; i < values.size(); ++i)
        if (!std::isfinite(values[i]) || std::fabs(values[i] - centre) > deviations * scale) extreme.push_back(i);
    return extreme;
}

}  // namespace ldi
