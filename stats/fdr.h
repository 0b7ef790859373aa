// The Benjamini-Hochberg step-up procedure, shared by every front end that
// turns p-values into a false-discovery-rate threshold (the engine's FDR
// methods, the group level's sign-flip test), so that they agree to the bit.
#pragma once

#include <cstdint>
#include <vector>

namespace ldi {

struct StepUpCutoff {
    int64_t passing = 0;  // p-values at or below the cutoff
    double cutoff = -1.0; // the largest p-value that passes; -1 when none does
};

// Benjamini-Hochberg at level q on p-values in any order: the largest rank k
// (from 1) whose sorted p-value is at most k q / (m c), with m the count of
// p-values and c the dependence factor (1, or sum 1/i for arbitrary
// dependence, Benjamini-Yekutieli). Ties with the cutoff pass with it.
StepUpCutoff benjaminiHochbergCutoff(std::vector<double> pValues, double q, double dependenceFactor = 1.0);

// The same on p-values already in ascending order: several q values on one sort.
StepUpCutoff benjaminiHochbergCutoffSorted(const std::vector<double>& sorted, double q,
                                           double dependenceFactor = 1.0);

}  // namespace ldi
