#include "stats/sign_flip.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "stats/fdr.h"
#include "stats/parallel.h"

namespace ldi {

namespace {

// t squared (one division, no root: the permutation loop runs it for every
// voxel and pattern; comparisons of t squared are comparisons of |t|). A voxel
// whose subjects' values are all equal has no variance: its t is infinite
// when they are not zero; a large finite value keeps the files sound.
constexpr double kHugeT = 1e30;

double squaredT(double sum, double squares, int32_t n, double varianceFloor) {
    const double mean = sum / n;
    const double variance = (squares - sum * mean) / (n - 1) + varianceFloor;
    if (varianceFloor > 0.0) return mean * mean * n / variance;
    if (!(variance > 1e-12 * squares / n)) return mean == 0.0 ? 0.0 : kHugeT * kHugeT;
    return std::min(mean * mean * n / variance, kHugeT * kHugeT);
}

// At most this many pooled null statistics are kept (80 MB of floats).
constexpr std::size_t kPooledNullSize = std::size_t{20} << 20;

double medianMeanSquare(const std::vector<double>& squares, int32_t subjects) {
    std::vector<double> meanSquares(squares);
    for (double& value : meanSquares) value /= subjects;
    if (meanSquares.empty()) return 1.0;
    const auto middle = meanSquares.begin() + static_cast<std::ptrdiff_t>(meanSquares.size() / 2);
    std::nth_element(meanSquares.begin(), middle, meanSquares.end());
    // A grid of mostly zeros still needs a positive floor.
    return *middle > 0.0 ? *middle : 1.0;
}

// Every voxel's p against the pooled null of squared statistics (each
// worker's sample; the samples' order does not matter once sorted).
std::vector<double> pooledPValues(std::vector<std::vector<float>>& samples, const std::vector<double>& observed) {
    std::vector<float> all;
    for (std::vector<float>& sample : samples) {
        all.insert(all.end(), sample.begin(), sample.end());
        std::vector<float>().swap(sample);
    }
    std::sort(all.begin(), all.end());
    const auto m = static_cast<double>(all.size());
    std::vector<double> p(observed.size());
    for (std::size_t v = 0; v < observed.size(); ++v) {
        // The sample is float: compare in float so that a voxel meets its own values.
        const auto at = std::lower_bound(all.begin(), all.end(), static_cast<float>(observed[v]));
        p[v] = (1.0 + static_cast<double>(all.end() - at)) / (1.0 + m);
    }
    return p;
}

}  // namespace

double subjectSkewness(const std::vector<float>& data, int32_t subjects, int64_t voxels) {
    std::vector<double> skewness;
    if (subjects < 3 || voxels <= 0 || data.size() < static_cast<std::size_t>(subjects) * static_cast<std::size_t>(voxels))
        return 0.0;
    skewness.reserve(static_cast<std::size_t>(voxels));
    const auto n = static_cast<double>(subjects);
    for (int64_t v = 0; v < voxels; ++v) {
        double mean = 0.0;
        for (int32_t i = 0; i < subjects; ++i) mean += data[static_cast<std::size_t>(i * voxels + v)];
        mean /= n;
        double m2 = 0.0, m3 = 0.0;
        for (int32_t i = 0; i < subjects; ++i) {
            const double d = data[static_cast<std::size_t>(i * voxels + v)] - mean;
            m2 += d * d;
            m3 += d * d * d;
        }
        m2 /= n;
        m3 /= n;
        // A spread at rounding level of the values has no shape to measure.
        if (m2 > 1e-12 * (mean * mean + 1e-30)) skewness.push_back(m3 / (m2 * std::sqrt(m2)));
    }
    if (skewness.empty()) return 0.0;
    const std::size_t middle = skewness.size() / 2;
    std::nth_element(skewness.begin(), skewness.begin() + static_cast<std::ptrdiff_t>(middle), skewness.end());
    double median = skewness[middle];
    if (skewness.size() % 2 == 0) {
        const double below = *std::max_element(skewness.begin(), skewness.begin() + static_cast<std::ptrdiff_t>(middle));
        median = 0.5 * (median + below);
    }
    return median;
}

double smallestSignFlipP(int32_t subjects, int64_t permutations) {
    const bool exhaustive = subjects < 62 && (int64_t{1} << subjects) <= permutations;
    if (exhaustive) return 2.0 / static_cast<double>(int64_t{1} << subjects);
    return 1.0 / static_cast<double>(std::max<int64_t>(1, permutations));
}

namespace {

// Patterns made at once: their signs (4 bytes a subject) stay small beside the
// voxels' values whatever the number of permutations.
constexpr std::size_t kPatternBlock = 4096;

// The signs of patterns [first, last) in order, one row of `n` each: pattern
// 0 leaves every sign; exhaustive tests take the pattern's number as its bits,
// random ones draw 64 subjects' bits at a time.
void nextSignPatterns(std::size_t first, std::size_t last, std::size_t n, bool exhaustive, std::mt19937_64& random,
                      std::vector<float>& signs) {
    signs.assign((last - first) * n, 1.0f);
    for (std::size_t p = std::max<std::size_t>(first, 1); p < last; ++p) {
        uint64_t bits = exhaustive ? p : 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!exhaustive && i % 64 == 0) bits = random();
            if ((bits >> (i % 64)) & 1u) signs[(p - first) * n + i] = -1.0f;
        }
    }
}

}  // namespace

SignFlipOutcome signFlipTest(const std::vector<float>& data, int32_t subjects, int64_t voxels, int64_t permutations,
                             uint64_t seed, int threads, GroupStatistic statistic) {
    SignFlipOutcome outcome;
    const auto n = static_cast<std::size_t>(subjects);
    const auto count = static_cast<std::size_t>(voxels);
    outcome.exhaustive = subjects < 62 && (int64_t{1} << subjects) <= permutations;
    outcome.permutations = outcome.exhaustive ? (int64_t{1} << subjects) : permutations;
    const auto patterns = static_cast<std::size_t>(outcome.permutations);

    // Signs as +-1 per pattern and subject, made a block of patterns at a time
    // as the test reaches them: a table of every pattern would grow with the
    // permutations asked for (10 million of 40 subjects: 1.6 GB).
    std::mt19937_64 random(seed);
    // Voxel-major copy: a voxel's subjects side by side for the dot products.
    std::vector<float> values(count * n);
    std::vector<double> squares(count, 0.0);
    outcome.mean.assign(count, 0.0f);
    outcome.t.assign(count, 0.0f);
    for (std::size_t v = 0; v < count; ++v) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const float x = data[i * count + v];
            values[v * n + i] = x;
            sum += x;
            squares[v] += static_cast<double>(x) * x;
        }
        outcome.mean[v] = static_cast<float>(sum / subjects);
        outcome.t[v] = sum < 0.0 ? -1.0f : 1.0f;  // the sign; the size comes from the test below
    }

    if (statistic == GroupStatistic::flooredT) outcome.varianceFloor = medianMeanSquare(squares, subjects);
    const double floorOfVariance = outcome.varianceFloor;
    // Every stride-th voxel's statistic under every pattern goes into the pooled null.
    const std::size_t stride =
        statistic == GroupStatistic::flooredT ? std::max<std::size_t>(1, count * patterns / kPooledNullSize + 1) : 0;

    // The sum of squares does not change with the signs, so each pattern
    // costs one dot product a voxel. Voxels go out in blocks that stay in the
    // cache while every pattern passes over them; each block's largest |t|
    // per pattern is merged by maximum, which does not depend on the order.
    std::vector<int64_t> atLeast(count, 0);
    std::vector<double> observed(count, 0.0);
    const int workers = std::max(1, threadCountFor(threads));
    std::vector<std::vector<double>> maxima(static_cast<std::size_t>(workers), std::vector<double>(patterns, 0.0));
    std::vector<std::vector<float>> pooled(static_cast<std::size_t>(workers));
    std::vector<float> signs;
    for (std::size_t first = 0; first < patterns; first += kPatternBlock) {
        const std::size_t last = std::min(patterns, first + kPatternBlock);
        nextSignPatterns(first, last, n, outcome.exhaustive, random, signs);
        shareWork(workers, voxels, 512, [&](int64_t begin, int64_t end, int worker) {
            std::vector<double>& largest = maxima[static_cast<std::size_t>(worker)];
            std::vector<float>& sample = pooled[static_cast<std::size_t>(worker)];
            for (std::size_t p = first; p < last; ++p) {
                const float* s = signs.data() + (p - first) * n;
                double top = largest[p];
                for (auto v = static_cast<std::size_t>(begin); v < static_cast<std::size_t>(end); ++v) {
                    const float* x = values.data() + v * n;
                    float dot = 0.0f;
                    for (std::size_t i = 0; i < n; ++i) dot += s[i] * x[i];
                    const double t = squaredT(dot, squares[v], subjects, floorOfVariance);
                    if (p == 0) observed[v] = t;
                    if (stride > 0 && v % stride == 0) sample.push_back(static_cast<float>(t));
                    if (t >= observed[v]) ++atLeast[v];
                    top = std::max(top, t);
                }
                largest[p] = top;
            }
        });
    }
    std::vector<double> largestSquared(patterns, 0.0);
    for (const auto& largest : maxima)
        for (std::size_t p = 0; p < patterns; ++p) largestSquared[p] = std::max(largestSquared[p], largest[p]);
    std::sort(largestSquared.begin(), largestSquared.end());
    outcome.p.resize(count);
    outcome.pFwe.resize(count);
    for (std::size_t v = 0; v < count; ++v) {
        outcome.p[v] = static_cast<double>(atLeast[v]) / static_cast<double>(patterns);
        const auto below = std::lower_bound(largestSquared.begin(), largestSquared.end(), observed[v]);
        outcome.pFwe[v] = static_cast<double>(largestSquared.end() - below) / static_cast<double>(patterns);
        // The t map as the test saw it, so that it and the p maps agree.
        outcome.t[v] = std::copysign(static_cast<float>(std::sqrt(observed[v])), outcome.t[v]);
    }
    if (stride > 0) outcome.pPooled = pooledPValues(pooled, observed);
    outcome.maxima.resize(patterns);
    for (std::size_t p = 0; p < patterns; ++p) outcome.maxima[p] = static_cast<float>(std::sqrt(largestSquared[p]));
    return outcome;
}

FdrLevel fdrLevel(const SignFlipOutcome& outcome, double q) {
    FdrLevel level;
    level.q = q;
    level.threshold = std::numeric_limits<double>::infinity();
    const std::vector<double>& p = outcome.pPooled.empty() ? outcome.p : outcome.pPooled;
    const StepUpCutoff step = benjaminiHochbergCutoff(p, q);
    if (step.passing == 0) return level;
    for (std::size_t v = 0; v < p.size(); ++v)
        if (p[v] <= step.cutoff) {
            ++level.passing;
            level.threshold = std::min(level.threshold, static_cast<double>(std::fabs(outcome.t[v])));
        }
    return level;
}

double fweCriticalT(const SignFlipOutcome& outcome, double alpha) {
    // pFwe <= alpha when at most alpha * P patterns reach the voxel's |t|:
    // above the maximum of rank P - floor(alpha * P) (from 1).
    const auto patterns = static_cast<int64_t>(outcome.maxima.size());
    const auto allowed = static_cast<int64_t>(std::floor(alpha * static_cast<double>(patterns) + 1e-9));
    if (allowed < 1) return std::numeric_limits<double>::infinity();
    const double below = outcome.maxima[static_cast<std::size_t>(patterns - allowed - 1 < 0 ? 0 : patterns - allowed - 1)];
    return std::nextafter(below, std::numeric_limits<double>::infinity());
}

}  // namespace ldi
