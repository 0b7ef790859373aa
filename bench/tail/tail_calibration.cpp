// The calibration of the permutation null's fitted tail: pooled null values
// drawn from laws whose tails are known (light: chi-square with 1 degree of
// freedom; heavy: F(1, 8); mixed: half of each), the tail fitted as the maps'
// p-values fit it, and its p at the values whose true p is 1e-5 .. 1e-8
// compared with the truth. Prints, per law and number of null values, the
// fit's acceptance, exceedances and shape, and per target p the median and
// the 10th and 90th percentiles of fitted / true p (below 1: too small, a
// false discovery made likelier), and the same with the fit's p held at or
// above floor / D for bounds D, the floor being 1 / (1 + null values).
//
//   ldi_tail_calibration [replications]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "stats/tail_fit.h"

using namespace ldi;

namespace {

enum class Law { light, heavy, mixed };

const char* lawName(Law law) {
    switch (law) {
    case Law::light: return "light (chi-square 1)";
    case Law::heavy: return "heavy (F(1, 8))";
    case Law::mixed: return "mixed (half each)";
    }
    return "";
}

// P(T > t) of Student's t with 8 degrees of freedom (t >= 0), by the finite
// sum of even degrees of freedom.
double studentT8Survival(double t) {
    const double nu = 8.0;
    const double c = nu / (nu + t * t);
    double term = 1.0, sum = 0.0;
    for (int j = 0; j < 4; ++j) {
        sum += term;
        term *= c * (2.0 * j + 1.0) / (2.0 * j + 2.0);
    }
    return 0.5 - 0.5 * t / std::sqrt(nu + t * t) * sum;
}

double survival(Law law, double x) {
    const double light = std::erfc(std::sqrt(x / 2.0));
    const double heavy = 2.0 * studentT8Survival(std::sqrt(x));
    if (law == Law::light) return light;
    if (law == Law::heavy) return heavy;
    return 0.5 * (light + heavy);
}

// The x whose survival is p (bisection in log x).
double quantile(Law law, double p) {
    double lo = 1e-3, hi = 1e6;
    for (int i = 0; i < 200; ++i) {
        const double mid = std::sqrt(lo * hi);
        (survival(law, mid) > p ? lo : hi) = mid;
    }
    return std::sqrt(lo * hi);
}

std::vector<float> sample(Law law, std::size_t m, std::mt19937_64& generator) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::chi_squared_distribution<double> chi8(8.0);
    std::vector<float> values(m);
    for (std::size_t i = 0; i < m; ++i) {
        const double z = normal(generator);
        const bool heavy = law == Law::heavy || (law == Law::mixed && (i % 2) == 1);
        values[i] = static_cast<float>(heavy ? z * z / (chi8(generator) / 8.0) : z * z);
    }
    std::sort(values.begin(), values.end());
    return values;
}

double percentile(std::vector<double> v, double share) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(share * static_cast<double>(v.size() - 1) + 0.5);
    return v[i];
}

}  // namespace

int main(int argc, char** argv) {
    const int replications = argc > 1 ? std::atoi(argv[1]) : 200;
    const double targets[] = {1e-5, 1e-6, 1e-7, 1e-8};
    const double bounds[] = {1e300, 100.0, 30.0, 10.0, 3.0};
    std::printf("| law | null values | floor | accepted | exceedances (median) | shape (median) | A^2 (median) | "
                "p | floor / p | fitted / true: median (10 %%, 90 %%) | share below 0.5, by bound D: none, 100, 30, "
                "10, 3 |\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Law law : {Law::light, Law::heavy, Law::mixed}) {
        for (const std::size_t m : {std::size_t{40000}, std::size_t{400000}}) {
            std::mt19937_64 generator(1234 + m + static_cast<unsigned>(law));
            const double floor = 1.0 / (1.0 + static_cast<double>(m));
            std::vector<double> exceedances, shapes, statistics;
            std::vector<std::vector<double>> ratios(4);
            std::vector<std::vector<std::vector<double>>> bounded(4, std::vector<std::vector<double>>(5));
            std::vector<double> atLowest;  // fitted / true at the rule's lowest p
            int accepted = 0;
            for (int r = 0; r < replications; ++r) {
                const std::vector<float> null = sample(law, m, generator);
                const TailFit fit = fitParetoTail(null.data(), null.size());
                statistics.push_back(fit.andersonDarling);
                if (!fit.usable) continue;
                ++accepted;
                exceedances.push_back(static_cast<double>(fit.exceedances));
                shapes.push_back(fit.shape);
                for (int t = 0; t < 4; ++t) {
                    const double x = quantile(law, targets[t]);
                    const double fitted = std::exp(tailLogSurvival(fit, x));
                    ratios[t].push_back(fitted / targets[t]);
                    for (int b = 0; b < 5; ++b)
                        bounded[t][b].push_back(std::max(fitted, floor / bounds[b]) / targets[t]);
                }
                const double lowest = floor / tailReach(fit);
                atLowest.push_back(std::exp(tailLogSurvival(fit, quantile(law, lowest))) / lowest);
            }
            for (int t = 0; t < 4; ++t) {
                std::string shares;
                for (int b = 0; b < 5; ++b) {
                    const auto& v = bounded[t][b];
                    const double below = v.empty() ? NAN
                                                   : static_cast<double>(std::count_if(v.begin(), v.end(),
                                                                                       [](double x) { return x < 0.5; })) /
                                                         static_cast<double>(v.size());
                    char cell[32];
                    std::snprintf(cell, sizeof cell, "%s%.2f", b == 0 ? "" : ", ", below);
                    shares += cell;
                }
                std::printf("| %s | %zu | %.1e | %.2f | %.0f | %.2f | %.2f | %.0e | %.0f | %.2f (%.2f, %.2f) | %s |\n",
                            lawName(law), m, floor, static_cast<double>(accepted) / replications,
                            percentile(exceedances, 0.5), percentile(shapes, 0.5), percentile(statistics, 0.5),
                            targets[t], floor / targets[t], percentile(ratios[t], 0.5), percentile(ratios[t], 0.1),
                            percentile(ratios[t], 0.9), shares.c_str());
            }
            std::printf("| %s | %zu | at the lowest p the rule allows (floor / %.0f): fitted / true %.2f (%.2f, %.2f), "
                        "share below 0.5 %.2f |\n",
                        lawName(law), m, std::max(1.0, percentile(exceedances, 0.5) / 100.0),
                        percentile(atLowest, 0.5), percentile(atLowest, 0.1), percentile(atLowest, 0.9),
                        atLowest.empty() ? NAN
                                         : static_cast<double>(std::count_if(atLowest.begin(), atLowest.end(),
                                                                             [](double x) { return x < 0.5; })) /
                                               static_cast<double>(atLowest.size()));
            std::fflush(stdout);
        }
    }
    return 0;
}
