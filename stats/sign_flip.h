// A one-sample sign-flip permutation test against zero, voxel by voxel: it
// needs no normality of the subjects' values, only their symmetry about zero
// under the null hypothesis. The maximum statistic over the voxels gives p
// values corrected for the family-wise error; Benjamini-Hochberg on the
// uncorrected permutation p values gives the FDR thresholds.
#pragma once

#include <cstdint>
#include <vector>

namespace ldi {

struct SignFlipOutcome {
    std::vector<float> mean;   // per voxel tested
    std::vector<float> t;      // one-sample t
    std::vector<double> p;     // uncorrected, two-sided: share of sign patterns with |t| at least as large
    std::vector<double> pFwe;  // share of sign patterns whose largest |t| over the voxels is at least as large
    std::vector<float> maxima;  // the largest |t| of each sign pattern, ascending
    int64_t permutations = 0;   // sign patterns used, the unflipped one among them
    bool exhaustive = false;    // every one of the 2^subjects patterns
    // Uncorrected p from the statistics of every voxel under every pattern
    // pooled (a sample of them on large grids): (1 + pooled values at or
    // above the voxel's) / (1 + pooled values). A voxel's own patterns give
    // p no smaller than 2 / 2^subjects, which Benjamini-Hochberg over
    // thousands of voxels can never pass with ten subjects; the pooled null
    // resolves p down to 1 / (patterns x voxels), assuming the voxels share
    // one null distribution (subjects' z maps do). Empty for the plain t,
    // whose null is not pooled.
    std::vector<double> pPooled;
    double varianceFloor = 0.0;  // the s0^2 the floored t used
};

// The statistic of the test.
// - t: the one-sample t, mean / sqrt(s^2 / n). With few subjects its null has
//   heavy tails (t with n - 1 degrees of freedom, and chance-small variances
//   at some of thousands of voxels), so the maximum over the voxels is large
//   and an effect in most but not all subjects, whose variance the missing
//   subjects inflate, stays below it; equal values give no variance at all.
// - flooredT: mean / sqrt((s^2 + s0^2) / n), s0^2 the median over the voxels
//   of the subjects' mean square (invariant under sign flips, so every
//   pattern sees the same floor; about 1 on z maps, the null variance of one
//   subject's z). Its null is close to normal, its maximum over the voxels
//   moderate, and it is finite where every subject has the same value.
enum class GroupStatistic { t, flooredT };

// `data` holds subjects x voxels values, subject after subject. With 2^subjects
// no more than `permutations`, every sign pattern is used (the test is then
// exact); else `permutations` patterns: the unflipped one and random ones from
// `seed`. The result does not depend on `threads`.
SignFlipOutcome signFlipTest(const std::vector<float>& data, int32_t subjects, int64_t voxels, int64_t permutations,
                             uint64_t seed, int threads, GroupStatistic statistic = GroupStatistic::t);

// The smallest uncorrected per-voxel or FWE p a sign-flip test of `subjects`
// can give with `permutations` patterns: 2 / 2^subjects when exhaustive (a
// pattern and its mirror give the same |t|), else 1 / permutations.
double smallestSignFlipP(int32_t subjects, int64_t permutations);

// The |t| above which the Benjamini-Hochberg procedure at `q` declares voxels
// (on pPooled where the outcome has it, else on p), and how many it
// declares; an infinite threshold when none.
struct FdrLevel {
    double q = 0.0;
    double threshold = 0.0;
    int64_t passing = 0;
};
FdrLevel fdrLevel(const SignFlipOutcome& outcome, double q);

// The skewness of the subjects' maps: the median over the voxels of the
// sample skewness m3 / m2^(3/2) of the subjects' values (m_k the k-th
// central moment; voxels where every subject has the same value left out;
// 0 without any other). The median is robust to the few voxels of an effect
// and to heavy symmetric tails; it is biased towards 0 with few subjects
// (Exp(1) - 1: 0.54 at 5 subjects, 0.93 at 10, 1.24 at 20).
double subjectSkewness(const std::vector<float>& data, int32_t subjects, int64_t voxels);

// The magnitude of subjectSkewness above which the plain t's sign flips are
// not trusted. Symmetric maps give 0 +- 0.02 (one standard deviation, 2,000
// voxels, normal or t(3) values, 5-20 subjects); a gamma of skewness 0.5
// gives 0.24 at 10 subjects, Exp(1) - 1 0.93, where the plain t's
// family-wise error was 0.88-0.93 instead of 0.05. The floored t held it.
constexpr double kLargestSymmetricSkewness = 0.2;

// The |t| a voxel must reach for pFwe <= alpha.
double fweCriticalT(const SignFlipOutcome& outcome, double alpha);

}  // namespace ldi
