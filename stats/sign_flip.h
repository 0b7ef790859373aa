// A one-sample sign-flip permutation test against zero, voxel by voxel: it
// needs no normality of the subjects' values, only their symmetry about zero
// under the null hypothesis. The maximum statistic over the voxels gives p
// values corrected for the family-wise error; Benjamini-Hochberg on the
// uncorrected permutation p values gives the FDR thresholds.
#pragma once

#include <cstdint>
#include <vector>

struct SignFlipOutcome {
    std::vector<float> mean;   // per voxel tested
    std::vector<float> t;      // one-sample t
    std::vector<double> p;     // uncorrected, two-sided: share of sign patterns with |t| at least as large
    std::vector<double> pFwe;  // share of sign patterns whose largest |t| over the voxels is at least as large
    std::vector<float> maxima;  // the largest |t| of each sign pattern, ascending
    int64_t permutations = 0;   // sign patterns used, the unflipped one among them
    bool exhaustive = false;    // every one of the 2^subjects patterns
};

// `data` holds subjects x voxels values, subject after subject. With 2^subjects
// no more than `permutations`, every sign pattern is used (the test is then
// exact); else `permutations` patterns: the unflipped one and random ones from
// `seed`. The result does not depend on `threads`.
SignFlipOutcome signFlipTest(const std::vector<float>& data, int32_t subjects, int64_t voxels, int64_t permutations,
                             uint64_t seed, int threads);

// The |t| above which the Benjamini-Hochberg procedure at `q` declares voxels,
// and how many it declares; an infinite threshold when none.
struct FdrLevel {
    double q = 0.0;
    double threshold = 0.0;
    int64_t passing = 0;
};
FdrLevel fdrLevel(const SignFlipOutcome& outcome, double q);

// The |t| a voxel must reach for pFwe <= alpha.
double fweCriticalT(const SignFlipOutcome& outcome, double alpha);
