// Pointer-based cores of the matrix kernels, for callers that hold raw float arrays.
//
// A block is given by a pointer to its top-left element and the distance between its
// rows (`ld`, in elements). Every core performs exactly the operations of the matching
// Matrix kernel in stats/matrix.h, in the same order, so results are bit-identical
// whichever entry point is used. Nothing here allocates.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace ldi {

namespace core {

inline void fill(float* p, ptrdiff_t ld, int32_t rows, int32_t cols, float value) {
    for (int32_t r = 0; r < rows; ++r, p += ld)
        for (int32_t c = 0; c < cols; ++c) p[c] = value;
}

inline void scale(float* p, ptrdiff_t ld, int32_t rows, int32_t cols, float factor) {
    for (int32_t r = 0; r < rows; ++r, p += ld)
        for (int32_t c = 0; c < cols; ++c) p[c] = p[c] * factor;
}

inline void copy(float* dst, ptrdiff_t ldd, const float* src, ptrdiff_t lds, int32_t rows,
                 int32_t cols) {
    for (int32_t r = 0; r < rows; ++r, dst += ldd, src += lds)
        for (int32_t c = 0; c < cols; ++c) dst[c] = src[c];
}

inline void add(float* dst, ptrdiff_t ldd, const float* src, ptrdiff_t lds, int32_t rows,
                int32_t cols) {
    for (int32_t r = 0; r < rows; ++r, dst += ldd, src += lds)
        for (int32_t c = 0; c < cols; ++c) dst[c] = dst[c] + src[c];
}

inline void subtract(float* dst, ptrdiff_t ldd, const float* src, ptrdiff_t lds, int32_t rows,
                     int32_t cols) {
    for (int32_t r = 0; r < rows; ++r, dst += ldd, src += lds)
        for (int32_t c = 0; c < cols; ++c) dst[c] = dst[c] - src[c];
}

// Ascending float32 sum of n values.
inline float sum(const float* y, int32_t n) {
    float s = 0.0f;
    for (int32_t k = 0; k < n; ++k) s = s + y[k];
    return s;
}

inline float mean(const float* y, int32_t n) { return sum(y, n) / static_cast<float>(n); }

// One sum of products, a[0]*b[0] + a[1]*b[1] + ..., from 0 in ascending order.
inline float dot(const float* a, const float* b, int32_t n) {
    float s = 0.0f;
    for (int32_t k = 0; k < n; ++k) s = s + a[k] * b[k];
    return s;
}

// p[r][s] := dot(a row r, b row s, len) for r < aRows, s < bRows. Two-row operands (the
// reference and voxel series) run their four sums in one pass over the data; each sum
// keeps its own ascending order, so the result equals the general loop bit for bit.
inline void crossProduct(const float* a, ptrdiff_t lda, int32_t aRows, const float* b,
                         ptrdiff_t ldb, int32_t bRows, int32_t len, float* p, ptrdiff_t ldp) {
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

// The lag products of two series over one interval of len values:
// out[4k .. 4k+3] := E(k) = sum over t = k..len-1 of x_t x_(t-k)^T, row-major
// ((0,0), (0,1), (1,0), (1,1)), for k = 0..maxLag. Equal bit for bit to crossProduct
// with bk0 = k0 - k for each k; several lags share one pass over the data so that their
// independent sums overlap instead of waiting on each other.
void lagProducts2(const float* x0, const float* x1, int32_t len, int32_t maxLag, float* out);

// Least-squares straight line removed from y[0..n), written to d[0..n) (d may be y).
// The regressor t_k = k / (n - 1) - 0.5 runs from -0.5 to +0.5.
void detrendRow(const float* y, int32_t n, float* d);

// detrendRow of two rows of the same length at once (equal results, the two rows'
// running sums overlap in time).
void detrendRowPair(const float* y0, const float* y1, int32_t n, float* d0, float* d1);

// The regressor detrendRow uses for n >= 2 values: t[k] = k / (n - 1) - 0.5 for k < n, and
// stt = the ascending sum of t[k] * t[k]. For callers that detrend many series of one
// length in their own way and must match detrendRow bit for bit.
void detrendRegressors(int32_t n, float* t, float& stt);

// Products of small square n x n blocks (row stride ld each), one product at a time into
// the running value, ascending k.
inline void addProductTransposed(float* p, ptrdiff_t ldp, const float* a, ptrdiff_t lda,
                                 const float* b, ptrdiff_t ldb, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j) {
            float x = p[i * ldp + j];
            for (int32_t k = 0; k < n; ++k) x = x + a[i * lda + k] * b[j * ldb + k];
            p[i * ldp + j] = x;
        }
}

inline void subtractProductTransposed(float* p, ptrdiff_t ldp, const float* a, ptrdiff_t lda,
                                      const float* b, ptrdiff_t ldb, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j) {
            float x = p[i * ldp + j];
            for (int32_t k = 0; k < n; ++k) x = x - a[i * lda + k] * b[j * ldb + k];
            p[i * ldp + j] = x;
        }
}

// Packed lower-triangular storage: element (i, k), k <= i, is l[i(i+1)/2 + k].
inline ptrdiff_t packedRow(int32_t i) { return static_cast<ptrdiff_t>(i) * (i + 1) / 2; }

// p := p * l^T through scratch (both n x n).
inline void multiplyByTriangularTransposed(float* p, ptrdiff_t ldp, const float* l,
                                           float* scratch, ptrdiff_t lds, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j) {
            const float* lj = l + packedRow(j);
            float x = 0.0f;
            for (int32_t k = 0; k <= j; ++k) x = x + p[i * ldp + k] * lj[k];
            scratch[i * lds + j] = x;
        }
    copy(p, ldp, scratch, lds, n, n);
}

// p := p * l through scratch.
inline void multiplyByTriangular(float* p, ptrdiff_t ldp, const float* l, float* scratch,
                                 ptrdiff_t lds, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j) {
            float x = 0.0f;
            for (int32_t k = j; k < n; ++k) x = x + p[i * ldp + k] * l[packedRow(k) + j];
            scratch[i * lds + j] = x;
        }
    copy(p, ldp, scratch, lds, n, n);
}

// p := p * b through scratch: row i of the result gathers the rows of b weighted by
// p[i][j], j ascending.
inline void multiplyInPlace(float* p, ptrdiff_t ldp, const float* b, ptrdiff_t ldb,
                            float* scratch, ptrdiff_t lds, int32_t n) {
    fill(scratch, lds, n, n, 0.0f);
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < n; ++j) {
            const float w = p[i * ldp + j];
            for (int32_t c = 0; c < n; ++c)
                scratch[i * lds + c] = scratch[i * lds + c] + b[j * ldb + c] * w;
        }
    copy(p, ldp, scratch, lds, n, n);
}

// A pivot is usable when it is a positive finite number; NaN and infinity fail so that
// a non-finite series ends up counted as ill-defined rather than as a NaN measure.
inline bool usablePivot(float x) { return x > 0.0f && x <= 3.40282347e+38f; }

// Cholesky factor of the n x n symmetric block a (reading only j >= i) into packed l.
inline bool cholesky(const float* a, ptrdiff_t lda, int32_t n, float* l) {
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

// inv := l^-1, both packed of order n.
inline void invertTriangular(const float* l, float* inv, int32_t n) {
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

}  // namespace ldi
