#include "stats/matrix_core.h"

#include <cmath>

namespace core {

void crossProduct(const float* a, ptrdiff_t lda, int32_t aRows, const float* b, ptrdiff_t ldb,
                  int32_t bRows, int32_t len, float* p, ptrdiff_t ldp) {
    if (aRows == 2 && bRows == 2) {
        const float* a0 = a;
        const float* a1 = a + lda;
        const float* b0 = b;
        const float* b1 = b + ldb;
        float s00 = 0.0f, s01 = 0.0f, s10 = 0.0f, s11 = 0.0f;
        for (int32_t k = 0; k < len; ++k) {
            s00 = s00 + a0[k] * b0[k];
            s01 = s01 + a0[k] * b1[k];
            s10 = s10 + a1[k] * b0[k];
            s11 = s11 + a1[k] * b1[k];
        }
        p[0] = s00;
        p[1] = s01;
        p[ldp] = s10;
        p[ldp + 1] = s11;
        return;
    }
    for (int32_t r = 0; r < aRows; ++r)
        for (int32_t s = 0; s < bRows; ++s)
            p[r * ldp + s] = len > 0 ? dot(a + r * lda, b + s * ldb, len) : 0.0f;
}

void detrendRow(const float* y, int32_t n, float* d) {
    if (n <= 0) return;
    const float m = mean(y, n);
    if (n == 1) {
        // A single value has no slope; without this the regressor would divide 0 by 0.
        d[0] = y[0] - m;
        return;
    }
    const float span = static_cast<float>(n) - 1.0f;
    float stt = 0.0f;
    float sty = 0.0f;
    for (int32_t k = 0; k < n; ++k) {
        const float dk = y[k] - m;
        d[k] = dk;
        const float t = static_cast<float>(k) / span - 0.5f;
        stt = stt + t * t;
        sty = sty + t * dk;
    }
    const float slope = sty / stt;
    for (int32_t k = 0; k < n; ++k) {
        const float t = static_cast<float>(k) / span - 0.5f;
        d[k] = d[k] - t * slope;
    }
}

bool cholesky(const float* a, ptrdiff_t lda, int32_t n, float* l) {
    for (int32_t i = 0; i < n; ++i) {
        float* li = l + packedRow(i);
        for (int32_t j = i; j < n; ++j) {
            float* lj = l + packedRow(j);
            float x = a[i * lda + j];
            for (int32_t k = i - 1; k >= 0; --k) x = x - li[k] * lj[k];
            if (j == i) {
                if (!usablePivot(x)) return false;
                li[i] = std::sqrt(x);
            } else {
                lj[i] = x / li[i];
            }
        }
    }
    return true;
}

void invertTriangular(const float* l, float* inv, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        inv[packedRow(i) + i] = 1.0f / l[packedRow(i) + i];
        for (int32_t j = i + 1; j < n; ++j) {
            float s = 0.0f;
            for (int32_t k = i; k < j; ++k) s = s - l[packedRow(j) + k] * inv[packedRow(k) + i];
            inv[packedRow(j) + i] = s / l[packedRow(j) + j];
        }
    }
}

}  // namespace core
