// Upper-tail approximation of an empirical null distribution: a generalized
// Pareto distribution fitted to the largest null values (peaks over a
// threshold), so that a value beyond every null value gets a p-value from the
// tail's shape instead of the floor 1 / (1 + null values). This is the tail
// approximation used for permutation tests in neuroimaging (Winkler et al.
// 2016); the fit is checked with the Anderson-Darling statistic, and where no
// threshold gives an acceptable fit the caller keeps the empirical p-value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ldi {

struct TailFit {
    bool usable = false;        // a fit passed the check
    double threshold = 0.0;     // u: the largest null value below the exceedances
    double scale = 0.0;         // sigma of the excesses over u
    double shape = 0.0;         // xi, never negative (see fitParetoTail)
    int64_t exceedances = 0;    // k: null values above u
    int64_t total = 0;          // m: every null value
    double andersonDarling = 0.0;  // A^2 of the accepted fit (of the last tried when none)
};

// Fits the tail of the null values sorted[0 .. count), ascending. The first
// try uses the largest 1 % (at least 50, at most 5,000) values; while the fit
// fails the check, the threshold is raised (30 % fewer exceedances) down to 50
// exceedances. Fewer than 1,000 null values: no fit.
TailFit fitParetoTail(const float* sorted, std::size_t count);

// log P(X >= x) for x at or above the fit's threshold:
// log(k / m) + log S(x - u), S the fitted survival function.
double tailLogSurvival(const TailFit& fit, double x);

// How far below the empirical floor 1 / (1 + m) the fitted tail is trusted:
// its p goes down to floor / D, D = exceedances / 100 (at least 1: a fit of
// fewer than 100 exceedances does not go below the floor). Fitted to the
// largest 1 % of 4e4 or 4e5 null values of known laws (light, heavy F(1, 8),
// mixed; bench/tail/tail_calibration.cpp), the fit's p spreads the more the
// further it reaches and the fewer its exceedances: with 400 of them a
// heavy tail's p at 25 floors below is under half the truth in 38 % of
// fits, with 4,000 in 14 %. docs/statistics.md has the table.
double tailReach(const TailFit& fit);

// ln p of a value beyond every null value: the fitted tail's (the fit
// accepted), the floor when that is smaller, and at least ln(floor /
// tailReach); `held` says whether the bound raised it.
double boundedTailLogP(const TailFit& fit, double x, bool& held);

// The generalized Pareto fit and its Anderson-Darling statistic for excesses
// y[0 .. k), ascending and non-negative: probability-weighted moments (Hosking
// & Wallis 1987), with the shape held at 0 (exponential excesses, scale their
// mean) where the estimate is negative.
void fitExcesses(const double* y, std::size_t k, double& scale, double& shape, double& andersonDarling);

}  // namespace ldi
