#include "analysis/extreme_volumes.h"

#include <algorithm>
#include <cmath>

namespace ldi {

namespace {

double medianOf(std::vector<double> values) {
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) return upper;
    return 0.5 * (upper + *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle)));
}

std::string volumeList(const std::vector<int32_t>& volumes) {
    std::string text;
    for (std::size_t i = 0; i < volumes.size() && i < 10; ++i)
        text += (i == 0 ? "" : ", ") + std::to_string(volumes[i]);
    if (volumes.size() > 10) text += " and " + std::to_string(volumes.size() - 10) + " more";
    return text;
}

}  // namespace

std::vector<int32_t> extremeVolumes(const std::vector<float>& values, int32_t skip) {
    std::vector<double> finite;
    const auto first = static_cast<std::size_t>(std::max(skip, 0));
    for (std::size_t t = first; t < values.size(); ++t)
        if (std::isfinite(values[t])) finite.push_back(values[t]);
    std::vector<int32_t> extreme;
    if (finite.size() < 3) return extreme;
    const double median = medianOf(finite);
    std::vector<double> deviations;
    for (const double value : finite) deviations.push_back(std::fabs(value - median));
    const double scale = std::max(medianOf(deviations), 1e-6 * std::fabs(median));
    for (std::size_t t = first; t < values.size(); ++t) {
        const double value = values[t];
        if (!std::isfinite(value) || std::fabs(value - median) > EXTREME_DEVIATIONS * scale)
            extreme.push_back(static_cast<int32_t>(t + 1));
    }
    return extreme;
}

void warnOfExtremeVolumes(const std::vector<SeedOutcome>& seeds, const std::vector<std::string>& runPaths,
                          int32_t skip, std::vector<std::string>& warnings) {
    for (std::size_t r = 0; r < runPaths.size(); ++r)
        for (const SeedOutcome& seed : seeds) {
            if (r >= seed.meanTimeCourses.size()) continue;
            const std::vector<int32_t> volumes = extremeVolumes(seed.meanTimeCourses[r], skip);
            if (volumes.empty()) continue;
            warnings.push_back(runPaths[r] + ": at volume" + (volumes.size() == 1 ? " " : "s ") + volumeList(volumes) +
                               " the mean time course of seed '" + seed.name + "' lies more than " +
                               std::to_string(static_cast<int>(EXTREME_DEVIATIONS)) +
                               " median deviations from the run's other volumes; such volumes can leave most voxels "
                               "ill-defined: check them, or leave them out (--skip, or intervals without them)");
            break;  // one seed names the run's volumes
        }
}

}  // namespace ldi
