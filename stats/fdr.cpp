#include "stats/fdr.h"

#include <algorithm>

namespace ldi {

StepUpCutoff benjaminiHochbergCutoff(std::vector<double> pValues, double q, double dependenceFactor) {
    std::sort(pValues.begin(), pValues.end());
    return benjaminiHochbergCutoffSorted(pValues, q, dependenceFactor);
}

StepUpCutoff benjaminiHochbergCutoffSorted(const std::vector<double>& pValues, double q, double dependenceFactor) {
    const auto n = static_cast<double>(pValues.size());
    StepUpCutoff result;
    for (std::size_t k = pValues.size(); k-- > 0;) {
        if (pValues[k] <= static_cast<double>(k + 1) * q / (n * dependenceFactor)) {
            result.cutoff = pValues[k];
            result.passing = static_cast<int64_t>(k + 1);
            // Ties with the cutoff pass with it.
            while (static_cast<std::size_t>(result.passing) < pValues.size() &&
                   pValues[static_cast<std::size_t>(result.passing)] <= result.cutoff)
                ++result.passing;
            break;
        }
    }
    return result;
}

}  // namespace ldi
