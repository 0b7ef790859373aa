#include "stats/simulation.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace ldi {

bool simulateArSeries(Matrix& y, int32_t rb, int32_t re, int32_t cb, int32_t ce,
                      const MatrixList& coefficients, const Matrix& sigma, uint32_t seed, RandomState& generator) {
    // Runs once per simulated series, so the factor and the column vector are allocated
    // here rather than kept in a work object.
    TriangularMatrix l(sigma.rowCount, rb, rb);
    if (!cholesky(sigma, sigma.rowBase, sigma.rowEnd, l)) return false;

    fillStandardNormal(y, rb, re, cb, ce, seed, generator);

    constexpr int32_t kMaxDirectOrder = 32;
    if (re - rb == 1 && coefficients.count <= kMaxDirectOrder) {
        // One series (the only case the program simulates): the same operations as
        // below, on the row itself rather than element by element through the matrix.
        float* row = y.row(rb);
        const float factor = l.row(rb)[rb];
        for (int32_t t = cb; t < ce; ++t) row[t] = 0.0f + row[t] * factor;
        const int32_t p = coefficients.count;
        float a[kMaxDirectOrder];
        for (int32_t k = 1; k <= p; ++k) {
            const Matrix& coefficient = coefficients[coefficients.indexBase + k - 1];
            a[k - 1] = coefficient(coefficient.rowBase, coefficient.colBase);
        }
        for (int32_t t = cb + p; t < ce; ++t) {
            float x = row[t];
            for (int32_t k = 1; k <= p; ++k) x = x + row[t - k] * a[k - 1];
            row[t] = x;
        }
        return true;
    }

    // Correlate the innovations: column t := L e.
    std::vector<float> e(static_cast<size_t>(re > rb ? re - rb : 0));
    for (int32_t t = cb; t < ce; ++t) {
        for (int32_t r = rb; r < re; ++r) {
            e[static_cast<size_t>(r - rb)] = y(r, t);
            float x = 0.0f;
            const float* lr = l.row(r);
            for (int32_t k = rb; k <= r; ++k) x = x + e[static_cast<size_t>(k - rb)] * lr[k];
            y(r, t) = x;
        }
    }

    // The recursion reads only finished earlier columns; the first p stay innovations.
    const int32_t p = coefficients.count;
    const int32_t firstLag = coefficients.indexBase;
    for (int32_t t = cb + p; t < ce; ++t) {
        for (int32_t r = rb; r < re; ++r) {
            float x = y(r, t);
            for (int32_t k = 1; k <= p; ++k) {
                const Matrix& a = coefficients[firstLag + k - 1];
                const float* ar = a.row(a.rowBase + (r - rb)) + (a.colBase - rb);
                for (int32_t c = rb; c < re; ++c) x = x + y(c, t - k) * ar[c];
            }
            y(r, t) = x;
        }
    }
    return true;
}

std::vector<float> arResiduals(const float* course, int32_t length, const float* coefficients, int32_t order) {
    std::vector<float> residuals;
    if (length <= order) return residuals;
    residuals.reserve(static_cast<std::size_t>(length - order));
    double sum = 0.0;
    for (int32_t t = order; t < length; ++t) {
        float e = course[t];
        for (int32_t k = 1; k <= order; ++k) e = e - coefficients[k - 1] * course[t - k];
        residuals.push_back(e);
        sum += e;
    }
    const auto mean = static_cast<float>(sum / static_cast<double>(residuals.size()));
    for (float& e : residuals) e = e - mean;
    return residuals;
}

namespace {

// A uniform index below n from two 15-bit draws (30 bits; the modulo's bias
// is below n / 2^30).
uint32_t drawIndex(RandomState& generator, uint32_t n) {
    const auto high = static_cast<uint32_t>(nextRandom(generator));
    const auto low = static_cast<uint32_t>(nextRandom(generator));
    return ((high << 15) | low) % n;
}

}  // namespace

bool simulateArBootstrap(float* out, int32_t length, const float* coefficients, int32_t order,
                         const std::vector<float>& residuals, uint32_t seed, RandomState& generator) {
    if (residuals.empty()) return false;
    seedRandom(generator, seed);
    // The modulo's bias is far under anything a null distribution shows.
    const auto n = static_cast<uint32_t>(residuals.size());
    for (int32_t t = 0; t < length; ++t) {
        float x = residuals[drawIndex(generator, n)];
        if (t >= order)
            for (int32_t k = 1; k <= order; ++k) x = x + coefficients[k - 1] * out[t - k];
        out[t] = x;
    }
    return true;
}

bool simulateArPermuted(float* out, int32_t length, const float* coefficients, int32_t order,
                        const std::vector<float>& residuals, const std::vector<int32_t>& strata, uint32_t seed,
                        RandomState& generator) {
    const auto n = static_cast<int32_t>(residuals.size());
    if (n == 0 || strata.size() != residuals.size() || length < n) return false;
    seedRandom(generator, seed);
    // Fisher-Yates within each stratum: the positions of a stratum, in time
    // order, receive its residuals shuffled.
    std::vector<int32_t> positions(static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i) positions[static_cast<std::size_t>(i)] = i;
    std::stable_sort(positions.begin(), positions.end(),
                     [&strata](int32_t a, int32_t b) { return strata[a] < strata[b]; });
    std::vector<int32_t> shuffled(positions);
    for (std::size_t begin = 0; begin < shuffled.size();) {
        std::size_t end = begin + 1;
        while (end < shuffled.size() && strata[shuffled[end]] == strata[shuffled[begin]]) ++end;
        for (std::size_t i = end - 1; i > begin; --i)
            std::swap(shuffled[i], shuffled[begin + drawIndex(generator, static_cast<uint32_t>(i - begin + 1))]);
        begin = end;
    }
    std::vector<int32_t> source(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < positions.size(); ++i) source[static_cast<std::size_t>(positions[i])] = shuffled[i];
    const int32_t warmUp = length - n;
    for (int32_t t = 0; t < length; ++t) {
        float x = t < warmUp ? residuals[drawIndex(generator, static_cast<uint32_t>(n))]
                             : residuals[static_cast<std::size_t>(source[static_cast<std::size_t>(t - warmUp)])];
        if (t >= order)
            for (int32_t k = 1; k <= order; ++k) x = x + coefficients[k - 1] * out[t - k];
        out[t] = x;
    }
    return true;
}

std::vector<float> autoregressionByAic(const float* course, int32_t length, int32_t maxOrder, int32_t minOrder) {
    const int32_t top = std::max<int32_t>(0, std::min(maxOrder, length - 1));
    double mean = 0.0;
    for (int32_t t = 0; t < length; ++t) mean += course[t];
    mean /= std::max<int32_t>(1, length);
    std::vector<double> gamma(static_cast<std::size_t>(top) + 1, 0.0);
    for (int32_t k = 0; k <= top; ++k)
        for (int32_t t = k; t < length; ++t) gamma[k] += (course[t] - mean) * (course[t - k] - mean);
    std::vector<float> best;
    if (length < 2 || !(gamma[0] > 0.0)) return best;
    std::vector<double> a, previous;
    double variance = gamma[0];
    double bestScore = length * std::log(variance);
    for (int32_t p = 1; p <= top; ++p) {
        double acc = gamma[static_cast<std::size_t>(p)];
        for (int32_t k = 1; k < p; ++k) acc -= a[k - 1] * gamma[static_cast<std::size_t>(p - k)];
        const double reflection = acc / variance;
        if (!(std::fabs(reflection) < 1.0)) break;
        previous = a;
        a.assign(static_cast<std::size_t>(p), 0.0);
        for (int32_t k = 1; k < p; ++k) a[k - 1] = previous[k - 1] - reflection * previous[p - k - 1];
        a[p - 1] = reflection;
        variance *= 1.0 - reflection * reflection;
        const double score = length * std::log(variance) + 2.0 * p;
        if (p <= minOrder || score < bestScore) {
            bestScore = score;
            best.assign(a.begin(), a.end());
        }
    }
    return best;
}
}  // namespace ldi
