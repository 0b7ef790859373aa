// The fast paths (fused lag products, paired and table-driven detrending) must give the
// very bits of the plain one-product-at-a-time loops, whatever the length and order.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "stats/ar_model.h"
#include "stats/matrix.h"
#include "stats/matrix_core.h"

using namespace ldi;

namespace {

Matrix noiseSeries(int32_t rows, int32_t cols, uint32_t seed, float offset) {
    Matrix x(rows, cols, 0, 0);
    for (int32_t r = 0; r < rows; ++r)
        for (int32_t c = 0; c < cols; ++c) {
            seed = seed * 1664525u + 1013904223u;
            x(r, c) = offset + static_cast<float>(seed >> 8) / 16777216.0f - 0.5f +
                      0.003f * static_cast<float>(c);
        }
    return x;
}

// The detrending written as plainly as possible.
std::vector<float> plainDetrend(const float* y, int32_t n) {
    float sum = 0.0f;
    for (int32_t k = 0; k < n; ++k) sum = sum + y[k];
    const float m = sum / static_cast<float>(n);
    std::vector<float> d(static_cast<size_t>(n));
    float stt = 0.0f, sty = 0.0f;
    for (int32_t k = 0; k < n; ++k) {
        d[k] = y[k] - m;
        const float t = static_cast<float>(k) / (static_cast<float>(n) - 1.0f) - 0.5f;
        stt = stt + t * t;
        sty = sty + t * d[k];
    }
    const float b = sty / stt;
    for (int32_t k = 0; k < n; ++k) {
        const float t = static_cast<float>(k) / (static_cast<float>(n) - 1.0f) - 0.5f;
        d[k] = d[k] - t * b;
    }
    return d;
}

}  // namespace

TEST(Exactness, FusedLagProductsEqualOneCrossProductPerLag) {
    const Matrix x = noiseSeries(2, 64, 7u, 0.0f);
    // Orders spanning every group size and several groups; short intervals leave the
    // longer lags empty.
    for (int32_t p = 0; p <= 13; ++p) {
        for (int32_t len : {3, 7, 8, 13, 64}) {
            CovarianceAccumulator fused(2, p);
            computeLagProducts(fused, x, 0, 2, 0, len);
            Matrix plain(2, 2, 0, 0);
            for (int32_t k = 0; k <= p; ++k) {
                crossProduct(x, 0, 2, k, len, x, 0, 2, 0, plain, 0, 0);
                for (int32_t r = 0; r < 2; ++r)
                    for (int32_t s = 0; s < 2; ++s) {
                        float expected = 0.0f;
                        for (int32_t t = k; t < len; ++t)
                            expected = expected + x(r, t) * x(s, t - k);
                        ASSERT_EQ(plain(r, s), expected) << p << " " << len << " " << k;
                        ASSERT_EQ(fused.lagProducts[k](r, s), expected)
                            << "p " << p << " len " << len << " lag " << k;
                    }
            }
        }
    }
}

TEST(Exactness, DetrendingEqualsThePlainLoopForEveryPath) {
    // Lengths alternate so that the per-length regressor table must be refreshed, and one
    // length is beyond the table.
    for (int32_t n : {2, 3, 400, 33, 400, 5000, 31, 2}) {
        const Matrix x = noiseSeries(2, n, static_cast<uint32_t>(n), 700.0f);
        const std::vector<float> e0 = plainDetrend(x.row(0), n);
        const std::vector<float> e1 = plainDetrend(x.row(1), n);

        Matrix pair(2, n, 0, 0), single(1, n, 0, 0);
        detrendRows(x, 0, 2, 0, n, pair, 0, 0);  // rows in pairs
        detrendRows(x, 1, 2, 0, n, single, 0, 0);
        Matrix inPlace = x;
        detrendRows(inPlace, 0, 2, 0, n, inPlace, 0, 0);  // rows one by one
        for (int32_t k = 0; k < n; ++k) {
            ASSERT_EQ(pair(0, k), e0[k]) << n << " " << k;
            ASSERT_EQ(pair(1, k), e1[k]) << n << " " << k;
            ASSERT_EQ(single(0, k), e1[k]) << n << " " << k;
            ASSERT_EQ(inPlace(0, k), e0[k]) << n << " " << k;
            ASSERT_EQ(inPlace(1, k), e1[k]) << n << " " << k;
        }
    }
}
