// AR fits and influence measures: the worked examples, and fits of order 2 and 3 against
// a direct double-precision solution of the same normal equations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "stats/ar_model.h"

using namespace ldi;

namespace {

using Interval = std::pair<int32_t, int32_t>;  // columns [first, end)

// The voxel pass's sequence for one set of intervals of the rows [0, n) of x.
void accumulate(CovarianceAccumulator& acc, const Matrix& x, const std::vector<Interval>& intervals) {
    clearAccumulator(acc);
    for (const Interval& iv : intervals) {
        for (int32_t k = 0; k <= acc.order; ++k)
            crossProduct(x, 0, acc.seriesCount, iv.first + k, iv.second, x, 0, acc.seriesCount,
                         iv.first, acc.lagProducts[k], 0, 0);
        accumulateInterval(acc, x, 0, acc.seriesCount, iv.first, iv.second);
    }
    scaleAccumulator(acc, 1.0f / static_cast<float>(intervals.size()));
}

Matrix seriesMatrix(const std::vector<std::vector<float>>& rows) {
    Matrix x(static_cast<int32_t>(rows.size()), static_cast<int32_t>(rows[0].size()), 0, 0);
    for (size_t r = 0; r < rows.size(); ++r)
        for (size_t c = 0; c < rows[r].size(); ++c)
            x(static_cast<int32_t>(r), static_cast<int32_t>(c)) = rows[r][c];
    return x;
}

// ---- Double-precision reference ------------------------------------------------------

using Dense = std::vector<std::vector<double>>;

Dense dense(size_t rows, size_t cols) { return Dense(rows, std::vector<double>(cols, 0.0)); }

struct ReferenceFit {
    std::vector<Dense> coefficients;  // A(1..p) at [0..p-1]
    Dense sigma;
};

// Least-squares AR(p) of the listed series of x: R(k) and Gamma(i, j) straight from their
// definitions (mean over intervals of 1/N sums), then A G = [R(1) .. R(p)] solved by
// Gaussian elimination, and Sigma = R(0) - sum A_k R(k)^T.
ReferenceFit referenceFit(const Matrix& x, const std::vector<int32_t>& series, int p,
                          const std::vector<Interval>& intervals) {
    const size_t n = series.size();
    std::vector<Dense> lag(static_cast<size_t>(p) + 1, dense(n, n));
    std::vector<std::vector<Dense>> gamma(static_cast<size_t>(p) + 1,
                                          std::vector<Dense>(static_cast<size_t>(p) + 1, dense(n, n)));
    const double intervalWeight = 1.0 / static_cast<double>(intervals.size());
    for (const Interval& iv : intervals) {
        const int32_t len = iv.second - iv.first;
        auto v = [&](size_t r, int32_t t) {
            return static_cast<double>(x(series[r], iv.first + t));
        };
        for (int k = 0; k <= p; ++k)
            for (size_t r = 0; r < n; ++r)
                for (size_t s = 0; s < n; ++s) {
                    double sum = 0;
                    for (int32_t t = k; t < len; ++t) sum += v(r, t) * v(s, t - k);
                    lag[k][r][s] += intervalWeight * sum / len;
                }
        for (int i = 1; i <= p; ++i)
            for (int j = 1; j <= p; ++j)
                for (size_t r = 0; r < n; ++r)
                    for (size_t s = 0; s < n; ++s) {
                        double sum = 0;
                        for (int32_t t = std::max(i, j); t < len; ++t) sum += v(r, t - i) * v(s, t - j);
                        gamma[i][j][r][s] += intervalWeight * sum / len;
                    }
    }
    // G is symmetric (block (k, i) = Gamma(k, i)), so A G = Rcat is G A^T = Rcat^T.
    const size_t m = n * static_cast<size_t>(p);
    Dense aug = dense(m, m + n);
    for (int k = 1; k <= p; ++k)
        for (int i = 1; i <= p; ++i)
            for (size_t r = 0; r < n; ++r)
                for (size_t s = 0; s < n; ++s)
                    aug[(k - 1) * n + r][(i - 1) * n + s] = gamma[k][i][r][s];
    for (int i = 1; i <= p; ++i)
        for (size_t r = 0; r < n; ++r)
            for (size_t s = 0; s < n; ++s) aug[(i - 1) * n + s][m + r] = lag[i][r][s];
    for (size_t col = 0; col < m; ++col) {
        size_t pivot = col;
        for (size_t r = col + 1; r < m; ++r)
            if (std::fabs(aug[r][col]) > std::fabs(aug[pivot][col])) pivot = r;
        std::swap(aug[col], aug[pivot]);
        for (size_t r = 0; r < m; ++r) {
            if (r == col) continue;
            const double f = aug[r][col] / aug[col][col];
            for (size_t c = col; c < m + n; ++c) aug[r][c] -= f * aug[col][c];
        }
    }
    ReferenceFit fit;
    fit.coefficients.assign(static_cast<size_t>(p), dense(n, n));
    for (int k = 1; k <= p; ++k)
        for (size_t r = 0; r < n; ++r)
            for (size_t c = 0; c < n; ++c)
                fit.coefficients[k - 1][r][c] = aug[(k - 1) * n + c][m + r] / aug[(k - 1) * n + c][(k - 1) * n + c];
    fit.sigma = lag[0];
    for (int k = 1; k <= p; ++k)
        for (size_t r = 0; r < n; ++r)
            for (size_t c = 0; c < n; ++c)
                for (size_t q = 0; q < n; ++q)
                    fit.sigma[r][c] -= fit.coefficients[k - 1][r][q] * lag[k][c][q];
    return fit;
}

double logDet2(const Dense& s) { return std::log(s[0][0] * s[1][1] - s[0][1] * s[1][0]); }

// Two coupled series from a stable VAR(2) driven by a small LCG, so the test has no
// dependence on the program's own generator.
Matrix coupledSeries(int32_t length) {
    uint32_t state = 12345u;
    auto noise = [&state]() {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0 - 0.5;
    };
    Matrix x(2, length, 0, 0);
    double a1 = 0, a2 = 0, b1 = 0, b2 = 0;
    for (int32_t t = -50; t < length; ++t) {
        const double a = 0.5 * a1 - 0.2 * a2 + noise();
        const double b = 0.6 * a1 + 0.3 * b1 - 0.1 * b2 + 0.5 * a + noise();
        a2 = a1; a1 = a;
        b2 = b1; b1 = b;
        if (t >= 0) {
            x(0, t) = static_cast<float>(a);
            x(1, t) = static_cast<float>(b);
        }
    }
    return x;
}

}  // namespace

TEST(ArFit, OneSeriesWorkedExample) {
    Matrix x = seriesMatrix({{1, 2, 3, 4}});
    CovarianceAccumulator acc(1, 1);
    accumulate(acc, x, {{0, 4}});
    EXPECT_FLOAT_EQ(acc.lagCovariances[0](0, 0), 7.5f);
    EXPECT_FLOAT_EQ(acc.lagCovariances[1](0, 0), 5.0f);
    EXPECT_FLOAT_EQ(acc.blockCovariances(1, 1)(0, 0), 3.5f);
    // Scaling leaves the raw lag products alone; clearing zeroes them.
    EXPECT_EQ(acc.lagProducts[0](0, 0), 30.0f);
    EXPECT_EQ(acc.lagProducts[1](0, 0), 20.0f);

    ArModelWorkspace ws(1, 1);
    EXPECT_TRUE(ws.offDiagonalFactors.blocks.empty());
    ASSERT_TRUE(fitArModel(acc, 0, ws));
    Matrix sigma(1, 1, 1, 1);  // any bases
    residualCovarianceOf(acc, 0, ws, sigma);
    EXPECT_NEAR(sigma(1, 1), 7.5f - 25.0f / 3.5f, 1e-5f);
    MatrixList a(1, 1, Matrix(1, 1, 1, 1));
    arCoefficientsOf(ws, a);
    EXPECT_NEAR(a[1](1, 1), 5.0f / 3.5f, 1e-5f);

    clearAccumulator(acc);
    EXPECT_EQ(acc.lagProducts[1](0, 0), 0.0f);
    EXPECT_EQ(acc.lagCovariances[0](0, 0), 0.0f);
}

TEST(ArFit, TwoSeriesWorkedExampleAndItsMeasures) {
    Matrix x = seriesMatrix({{1, -1, 2, 0, -2, 1, -1, 0}, {1, 0, -2, 3, 0, -1, 2, -3}});
    CovarianceAccumulator acc(2, 1);
    accumulate(acc, x, {{0, 8}});
    const float r0[2][2] = {{1.5f, -0.75f}, {-0.75f, 3.5f}};
    const float r1[2][2] = {{-0.75f, -0.75f}, {1.875f, -1.75f}};
    const float g11[2][2] = {{1.5f, -0.75f}, {-0.75f, 2.375f}};
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) {
            EXPECT_FLOAT_EQ(acc.lagCovariances[0](r, c), r0[r][c]);
            EXPECT_FLOAT_EQ(acc.lagCovariances[1](r, c), r1[r][c]);
            EXPECT_FLOAT_EQ(acc.blockCovariances(1, 1)(r, c), g11[r][c]);
        }

    ArModelWorkspace joint(2, 1), reference(1, 1), voxel(1, 1);
    InfluenceValues f;
    ASSERT_TRUE(influenceMeasures(acc, 0, 1, joint, reference, voxel, f));
    const Matrix& sj = joint.residualCovariance;
    EXPECT_NEAR(sj(0, 0), 0.4922f, 1e-4f);
    EXPECT_NEAR(sj(0, 1), -0.2695f, 1e-4f);
    EXPECT_NEAR(sj(1, 0), -0.2695f, 1e-4f);
    EXPECT_NEAR(sj(1, 1), 0.8262f, 1e-4f);
    EXPECT_NEAR(reference.residualCovariance(0, 0), 1.125f, 1e-5f);
    EXPECT_NEAR(voxel.residualCovariance(0, 0), 2.2105f, 1e-4f);
    EXPECT_NEAR(f.aToB, 0.984f, 1e-3f);
    EXPECT_NEAR(f.bToA, 0.827f, 1e-3f);
    EXPECT_NEAR(f.instantaneous, 0.197f, 1e-3f);

    // Swapping the roles swaps the directed measures and keeps the instantaneous one.
    InfluenceValues g;
    ASSERT_TRUE(influenceMeasures(acc, 1, 0, joint, voxel, reference, g));
    EXPECT_FLOAT_EQ(g.aToB, f.bToA);
    EXPECT_FLOAT_EQ(g.bToA, f.aToB);
    EXPECT_FLOAT_EQ(g.instantaneous, f.instantaneous);
}

TEST(ArFit, HigherOrdersMatchADirectDoubleSolve) {
    const Matrix x = coupledSeries(300);
    // Two intervals of different lengths, so normalisation and averaging both matter.
    const std::vector<Interval> intervals = {{0, 130}, {140, 300}};
    for (int p : {2, 3}) {
        SCOPED_TRACE(p);
        CovarianceAccumulator acc(2, p);
        accumulate(acc, x, intervals);

        ArModelWorkspace joint(2, p);
        ASSERT_TRUE(fitArModel(acc, 0, joint));
        Matrix sigma(2, 2, 0, 0);
        residualCovarianceOf(acc, 0, joint, sigma);
        MatrixList a(p, 1, Matrix(2, 2, 1, 1));
        arCoefficientsOf(joint, a);
        const ReferenceFit ref = referenceFit(x, {0, 1}, p, intervals);
        for (int r = 0; r < 2; ++r)
            for (int c = 0; c < 2; ++c) {
                EXPECT_NEAR(sigma(r, c), ref.sigma[r][c], 1e-4) << r << c;
                for (int k = 1; k <= p; ++k)
                    EXPECT_NEAR(a[k](r + 1, c + 1), ref.coefficients[k - 1][r][c], 1e-4) << k << r << c;
            }

        // The single-series model of series 1 reads the (1, 1) elements of the same sums.
        ArModelWorkspace single(1, p);
        ASSERT_TRUE(fitArModel(acc, 1, single));
        Matrix s1(1, 1, 0, 0);
        residualCovarianceOf(acc, 1, single, s1);
        MatrixList a1(p, 1, Matrix(1, 1, 0, 0));
        arCoefficientsOf(single, a1);
        const ReferenceFit ref1 = referenceFit(x, {1}, p, intervals);
        EXPECT_NEAR(s1(0, 0), ref1.sigma[0][0], 1e-4);
        for (int k = 1; k <= p; ++k) EXPECT_NEAR(a1[k](0, 0), ref1.coefficients[k - 1][0][0], 1e-4);

        ArModelWorkspace ref0(1, p), vox(1, p);
        InfluenceValues f;
        ASSERT_TRUE(influenceMeasures(acc, 0, 1, joint, ref0, vox, f));
        const ReferenceFit refA = referenceFit(x, {0}, p, intervals);
        EXPECT_NEAR(f.aToB, std::log(ref1.sigma[0][0] / ref.sigma[1][1]), 1e-4);
        EXPECT_NEAR(f.bToA, std::log(refA.sigma[0][0] / ref.sigma[0][0]), 1e-4);
        EXPECT_NEAR(f.instantaneous,
                    std::log(ref.sigma[0][0] * ref.sigma[1][1]) - logDet2(ref.sigma), 1e-4);
        EXPECT_GT(f.aToB, 0.1f);  // the voxel series really depends on the reference's past
    }
}

TEST(ArFit, SeriesThatIsZeroInEveryIntervalIsIllDefined) {
    Matrix x = coupledSeries(60);
    for (int32_t c = 0; c < 60; ++c) x(1, c) = 0.0f;
    const std::vector<Interval> intervals = {{0, 25}, {30, 60}};
    for (int p : {1, 3}) {
        CovarianceAccumulator acc(2, p);
        accumulate(acc, x, intervals);
        ArModelWorkspace joint(2, p), reference(1, p), voxel(1, p);
        EXPECT_TRUE(fitArModel(acc, 0, reference));
        EXPECT_FALSE(fitArModel(acc, 1, voxel));
        EXPECT_FALSE(fitArModel(acc, 0, joint));
        InfluenceValues f;
        f.aToB = f.bToA = f.instantaneous = -9.0f;
        EXPECT_FALSE(influenceMeasures(acc, 0, 1, joint, reference, voxel, f));
        EXPECT_EQ(f.aToB, -9.0f);
        EXPECT_EQ(f.instantaneous, -9.0f);
    }
}

TEST(ArFit, NonFiniteDataIsIllDefinedRatherThanNaNMeasures) {
    Matrix x = coupledSeries(40);
    x(1, 10) = std::nanf("");
    CovarianceAccumulator acc(2, 1);
    accumulate(acc, x, {{0, 40}});
    ArModelWorkspace joint(2, 1), reference(1, 1), voxel(1, 1);
    InfluenceValues f;
    EXPECT_FALSE(influenceMeasures(acc, 0, 1, joint, reference, voxel, f));
}

TEST(ArFit, RefittingTheSameWorkspaceGivesTheSameBits) {
    const Matrix x = coupledSeries(120);
    CovarianceAccumulator acc(2, 3);
    ArModelWorkspace joint(2, 3), reference(1, 3), voxel(1, 3);
    InfluenceValues first, second;
    accumulate(acc, x, {{0, 120}});
    ASSERT_TRUE(influenceMeasures(acc, 0, 1, joint, reference, voxel, first));
    // A different voxel in between must leave no trace.
    Matrix other = coupledSeries(50);
    accumulate(acc, other, {{5, 45}});
    ASSERT_TRUE(influenceMeasures(acc, 0, 1, joint, reference, voxel, second));
    accumulate(acc, x, {{0, 120}});
    ASSERT_TRUE(influenceMeasures(acc, 0, 1, joint, reference, voxel, second));
    EXPECT_EQ(first.aToB, second.aToB);
    EXPECT_EQ(first.bToA, second.bToA);
    EXPECT_EQ(first.instantaneous, second.instantaneous);
}
