#include "analysis/extreme_volumes.h"

#include <algorithm>

#include "stats/steady_state.h"

namespace ldi {

namespace {

std::string volumeList(const std::vector<int32_t>& volumes) {
    std::string text;
    for (std::size_t i = 0; i < volumes.size() && i < 10; ++i)
        text += (i == 0 ? "" : ", ") + std::to_string(volumes[i]);
    if (volumes.size() > 10) text += " and " + std::to_string(volumes.size() - 10) + " more";
    return text;
}

}  // namespace

std::vector<int32_t> extremeVolumes(const std::vector<float>& values, int32_t skip) {
    const std::vector<double> series(values.begin(), values.end());
    std::vector<int32_t> volumes;
    for (const std::size_t t : extremeValues(series, static_cast<std::size_t>(std::max(skip, 0)), EXTREME_DEVIATIONS))
        volumes.push_back(static_cast<int32_t>(t + 1));
    return volumes;
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
