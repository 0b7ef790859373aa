#include "stats/matrix_core.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define LDI_HAVE_SSE2 1
#endif

namespace ldi {

namespace core {

namespace {

#if defined(LDI_HAVE_SSE2)

// Packed single-precision multiply and add round each lane exactly like the scalar
// instructions, so one vector lane is one of the scalar running sums, term for term.

// [x0(t), x1(t), x0(t), x1(t)]: the earlier member of the pairs.
inline __m128 earlierPair(const float* x0, const float* x1, int32_t t) {
    const __m128 v = _mm_unpacklo_ps(_mm_load_ss(x0 + t), _mm_load_ss(x1 + t));
    return _mm_movelh_ps(v, v);
}

// [x0(t), x0(t), x1(t), x1(t)] from [x0(t), x1(t), x0(t), x1(t)]: the later member.
inline __m128 laterFromEarlier(__m128 pair) { return _mm_shuffle_ps(pair, pair, 0x50); }

// Lags k0 .. k0 + G - 1 in one pass: lane (r, s) of sums[g] accumulates x_r(t) x_s(t - k)
// for k = k0 + g, in ascending t from t = k. The pairs of the last G times live in a ring
// whose slots are fixed at compile time inside each unrolled block, so no register is
// copied: the pair of time u sits in slot (u - k0) mod G.
template <int G>
void lagGroup(const float* x0, const float* x1, int32_t len, int32_t k0, float* out) {
    __m128 sums[G];
    __m128 ring[G];
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) {
        sums[g] = _mm_setzero_ps();
        ring[g] = _mm_setzero_ps();
    }
    // One block covers G consecutive times t = start + s with (start - k0) mod G = 0.
    // `active` limits the lags that have begun (start-up) and `steps` the times left.
    auto block = [&](int32_t start, int32_t steps, bool startUp) {
#pragma GCC unroll 8
        for (int s = 0; s < G; ++s) {
            if (s >= steps) break;
            const int32_t t = start + s;
            const __m128 earlier = earlierPair(x0, x1, t - k0);
            ring[s] = earlier;
            const __m128 now = k0 == 0 ? laterFromEarlier(earlier)
                                       : laterFromEarlier(earlierPair(x0, x1, t));
#pragma GCC unroll 8
            for (int g = 0; g < G; ++g) {
                if (startUp && g > s) continue;  // lag k0 + g begins at t = k0 + g
                sums[g] = _mm_add_ps(sums[g], _mm_mul_ps(now, ring[(s - g + G) % G]));
            }
        }
    };
    int32_t t = k0;
    if (t < len) {
        block(t, len - t, true);
        t += G;
    }
    for (; t + G <= len; t += G) block(t, G, false);
    if (t < len) block(t, len - t, false);
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) _mm_storeu_ps(out + 4 * (k0 + g), sums[g]);
}

#endif

}  // namespace

void lagProducts2(const float* x0, const float* x1, int32_t len, int32_t maxLag, float* out) {
#if defined(LDI_HAVE_SSE2)
    // Six sums in flight keep the two adders busy for the whole add latency.
    int32_t k = 0;
    for (; maxLag + 1 - k >= 6; k += 6) lagGroup<6>(x0, x1, len, k, out);
    switch (maxLag + 1 - k) {
        case 5: lagGroup<5>(x0, x1, len, k, out); break;
        case 4: lagGroup<4>(x0, x1, len, k, out); break;
        case 3: lagGroup<3>(x0, x1, len, k, out); break;
        case 2: lagGroup<2>(x0, x1, len, k, out); break;
        case 1: lagGroup<1>(x0, x1, len, k, out); break;
        default: break;
    }
#else
    const float* rows[2] = {x0, x1};
    for (int32_t k = 0; k <= maxLag; ++k) {
        const int32_t n = len > k ? len - k : 0;
        float* e = out + 4 * k;
        for (int r = 0; r < 2; ++r)
            for (int s = 0; s < 2; ++s) e[2 * r + s] = dot(rows[r] + k, rows[s], n);
    }
#endif
}

// The sums of the detrending are serial chains (their order is fixed), but everything
// feeding them is element-wise. Each block of values is therefore prepared first in a
// loop the compiler can vectorise (deviation and product, each rounded exactly as in a
// plain loop), then added in ascending order.
//
// The regressor t_k = k / (n - 1) - 0.5 and its sum of squares depend on n alone, and the
// voxel pass detrends every voxel over the same intervals: they are computed once per
// length and kept per thread (a fixed table, so nothing is allocated). The cached values
// are the very floats the formula gives, so the results do not change.
constexpr int32_t kDetrendBlock = 32;
constexpr int32_t kCachedLength = 4096;

inline float regressor(int32_t k, float span) { return static_cast<float>(k) / span - 0.5f; }

struct RegressorTable {
    int32_t n = 0;
    float stt = 0.0f;
    float t[kCachedLength];
};

// t_k for k < n (2 <= n <= kCachedLength) and stt = the ascending sum of t_k * t_k.
const float* regressorTable(int32_t n, float& stt) {
    thread_local RegressorTable table;
    if (table.n != n) {
        const float span = static_cast<float>(n) - 1.0f;
        float sum = 0.0f;
        for (int32_t k = 0; k < n; ++k) {
            const float t = regressor(k, span);
            table.t[k] = t;
            sum = sum + t * t;
        }
        table.stt = sum;
        table.n = n;
    }
    stt = table.stt;
    return table.t;
}

// sum over k of t_k * (y_k - m) in ascending k, with d_k := y_k - m written out.
inline float centreAndProject(const float* y, float m, const float* t, int32_t n, float* d) {
    float sty = 0.0f;
    float ty[kDetrendBlock];
    for (int32_t k0 = 0; k0 < n; k0 += kDetrendBlock) {
        const int32_t len = n - k0 < kDetrendBlock ? n - k0 : kDetrendBlock;
        for (int32_t i = 0; i < len; ++i) {
            const float dk = y[k0 + i] - m;
            d[k0 + i] = dk;
            ty[i] = t[k0 + i] * dk;
        }
        for (int32_t i = 0; i < len; ++i) sty = sty + ty[i];
    }
    return sty;
}

// Lengths beyond the table: the regressor straight from its formula.
void detrendLongRow(const float* y, int32_t n, float m, float* d) {
    const float span = static_cast<float>(n) - 1.0f;
    float stt = 0.0f;
    float sty = 0.0f;
    for (int32_t k = 0; k < n; ++k) {
        const float dk = y[k] - m;
        d[k] = dk;
        const float t = regressor(k, span);
        stt = stt + t * t;
        sty = sty + t * dk;
    }
    const float slope = sty / stt;
    for (int32_t k = 0; k < n; ++k) d[k] = d[k] - regressor(k, span) * slope;
}

void detrendRegressors(int32_t n, float* t, float& stt) {
    const float span = static_cast<float>(n) - 1.0f;
    float sum = 0.0f;
    for (int32_t k = 0; k < n; ++k) {
        t[k] = regressor(k, span);
        sum = sum + t[k] * t[k];
    }
    stt = sum;
}

void detrendRow(const float* y, int32_t n, float* d) {
    if (n <= 0) return;
    const float m = mean(y, n);
    if (n == 1) {
        // A single value has no slope; without this the regressor would divide 0 by 0.
        d[0] = y[0] - m;
        return;
    }
    if (n > kCachedLength) {
        detrendLongRow(y, n, m, d);
        return;
    }
    float stt;
    const float* t = regressorTable(n, stt);
    const float slope = centreAndProject(y, m, t, n, d) / stt;
    for (int32_t k = 0; k < n; ++k) d[k] = d[k] - t[k] * slope;
}

void detrendRowPair(const float* y0, const float* y1, int32_t n, float* d0, float* d1) {
    if (n < 2 || n > kCachedLength) {
        detrendRow(y0, n, d0);
        detrendRow(y1, n, d1);
        return;
    }
    float s0 = 0.0f, s1 = 0.0f;
    for (int32_t k = 0; k < n; ++k) {
        s0 = s0 + y0[k];
        s1 = s1 + y1[k];
    }
    const float m0 = s0 / static_cast<float>(n);
    const float m1 = s1 / static_cast<float>(n);
    float stt;
    const float* t = regressorTable(n, stt);
    float sty0 = 0.0f, sty1 = 0.0f;
    float ty0[kDetrendBlock], ty1[kDetrendBlock];
    for (int32_t k0 = 0; k0 < n; k0 += kDetrendBlock) {
        const int32_t len = n - k0 < kDetrendBlock ? n - k0 : kDetrendBlock;
        for (int32_t i = 0; i < len; ++i) {
            const float e0 = y0[k0 + i] - m0;
            const float e1 = y1[k0 + i] - m1;
            d0[k0 + i] = e0;
            d1[k0 + i] = e1;
            ty0[i] = t[k0 + i] * e0;
            ty1[i] = t[k0 + i] * e1;
        }
        for (int32_t i = 0; i < len; ++i) {
            sty0 = sty0 + ty0[i];
            sty1 = sty1 + ty1[i];
        }
    }
    const float b0 = sty0 / stt;
    const float b1 = sty1 / stt;
    for (int32_t k = 0; k < n; ++k) {
        d0[k] = d0[k] - t[k] * b0;
        d1[k] = d1[k] - t[k] * b1;
    }
}

}  // namespace core

}  // namespace ldi
