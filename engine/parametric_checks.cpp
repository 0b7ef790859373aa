#include "engine/parametric_checks.h"

#include <cmath>

#include "data/voi_time_course.h"

namespace ldi {

namespace {

// Excess kurtosis of residuals above which the Gaussian null is not trusted:
// t with 5 degrees of freedom has 6, a normal sample of 400 stays within
// about 0.5 of 0 in 95 % of runs.
constexpr double kLargestExcessKurtosis = 1.0;
// A seed whose AR coefficients sum to more than this is close to a unit
// root: a drift that the per-interval detrending leaves partly in place.
constexpr double kLargestCoefficientSum = 0.9;
// Further AR coefficients (beyond the analysis's order, in absolute value)
// that the seed's model may need before the order counts as too low.
constexpr double kLargestFurtherCoefficients = 0.2;

double excessKurtosis(const std::vector<float>& residuals) {
    if (residuals.size() < 8) return 0.0;
    double m2 = 0.0, m4 = 0.0;
    for (float e : residuals) {
        const double s = static_cast<double>(e) * e;
        m2 += s;
        m4 += s * s;
    }
    const auto n = static_cast<double>(residuals.size());
    m2 /= n;
    m4 /= n;
    return m2 > 0.0 ? m4 / (m2 * m2) - 3.0 : 0.0;
}

void addOnce(std::vector<std::string>& list, const std::string& text) {
    for (const std::string& known : list)
        if (known == text) return;
    list.push_back(text);
}

}  // namespace

std::vector<std::string> parametricCautions(const EngineInput& input, const SurrogateModels& models) {
    std::vector<std::string> cautions;
    const int32_t order = input.parameters->autoRegressionOrder;
    for (const EngineCondition& condition : input.conditions)
        for (const EngineEntry& entry : condition.entries)
            for (const Interval& interval : entry.intervals)
                if (interval.last - interval.first + 1 < kShortestParametricInterval)
                    addOnce(cautions, "condition " + condition.name + " has intervals shorter than " +
                                          std::to_string(kShortestParametricInterval) +
                                          " volumes, where the chi-square null runs above q");
    for (const EngineSeed& seed : input.seeds)
        for (const VoiTimeCourse* record : seed.references) {
            if (record == nullptr) continue;
            const auto model = models.coefficients.find(record);
            const auto residuals = models.residuals.find(record);
            if (model == models.coefficients.end() || residuals == models.residuals.end()) continue;
            double sum = 0.0, beyond = 0.0;
            for (std::size_t k = 0; k < model->second.size(); ++k) {
                sum += model->second[k];
                if (static_cast<int32_t>(k) >= order) beyond += std::fabs(model->second[k]);
            }
            // A reference averaged from noisy voxels is never exactly AR(p)
            // and AIC often adds an order for it; only sizeable further
            // coefficients change the null.
            if (beyond > kLargestFurtherCoefficients)
                addOnce(cautions, "seed " + seed.name + " needs AR order " + std::to_string(model->second.size()) +
                                      " by AIC, more than the analysis's " + std::to_string(order) + " (--order auto chooses)");
            if (sum > kLargestCoefficientSum)
                addOnce(cautions, "seed " + seed.name + " drifts (AR coefficients sum to " +
                                      std::to_string(sum).substr(0, 4) + ")");
            if (excessKurtosis(residuals->second) > kLargestExcessKurtosis)
                addOnce(cautions, "seed " + seed.name + " has heavy-tailed innovations (excess kurtosis " +
                                      std::to_string(excessKurtosis(residuals->second)).substr(0, 4) + ")");
        }
    return cautions;
}

}  // namespace ldi
