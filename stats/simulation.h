// Simulation of a vector autoregressive series from a fitted model.
#pragma once

#include <cstdint>
#include <vector>

#include "stats/matrix.h"
#include "stats/random.h"

namespace ldi {

// Fills the rows [rb, re) and columns [cb, ce) of y with a new series of the model
// x_t = A(1) x_(t-1) + ... + A(p) x_(t-p) + e_t, Cov(e_t) = sigma: standard normal deviates
// (from `generator`, seeded with `seed`) correlated by the Cholesky factor of
// sigma, then the recursion from column cb + p on (the first p columns stay pure
// innovations). coefficients holds A(1..p), each n x n indexed like y's rows (n = re - rb);
// sigma is n x n. False, with y untouched, when sigma is not positive definite.
bool simulateArSeries(Matrix& y, int32_t rb, int32_t re, int32_t cb, int32_t ce,
                      const MatrixList& coefficients, const Matrix& sigma, uint32_t seed, RandomState& generator);

// The residuals e_t = x_t - a_1 x_(t-1) - ... - a_p x_(t-p) of a univariate AR
// model on course[0 .. length), for t = p .. length - 1, less their mean (the
// course is detrended, so the mean is rounding and a fitted constant's worth).
std::vector<float> arResiduals(const float* course, int32_t length, const float* coefficients, int32_t order);

// A series of the univariate AR model with coefficients a_1 .. a_p driven by
// innovations drawn with replacement from `residuals` (an i.i.d. bootstrap:
// the series keeps the innovations' distribution, heavy tails included, where
// simulateArSeries would make them Gaussian). out[0 .. length) is filled; the
// first p values are pure innovations, so callers discard a warm-up. The
// generator is seeded with `seed`; an index takes two draws of it. False, out
// untouched, without residuals.
bool simulateArBootstrap(float* out, int32_t length, const float* coefficients, int32_t order,
                         const std::vector<float>& residuals, uint32_t seed, RandomState& generator);

// A series of the same model whose last residuals.size() values take the
// residuals themselves, each exactly once, in a random order that keeps every
// residual among the time points of its own stratum (strata[i] is residual
// i's label; the caller's conditions, say); the values before them, the
// warm-up, take residuals drawn with replacement. Under the null of i.i.d.
// innovations every such order is as likely as the observed one, so the
// series share the course's own innovations, their largest ones included,
// where a draw with replacement leaves a third of the surrogates without the
// largest and gives a quarter of them two. False, out untouched, without
// residuals, with strata of another length than the residuals, or with
// length below the residuals' number.
bool simulateArPermuted(float* out, int32_t length, const float* coefficients, int32_t order,
                        const std::vector<float>& residuals, const std::vector<int32_t>& strata, uint32_t seed,
                        RandomState& generator);

// The univariate autoregressive model of course[0 .. length) (mean removed)
// of the order from minOrder to maxOrder with the lowest Akaike criterion,
// length x ln(innovation variance) + 2 x order, its coefficients a_1 .. a_p
// found by the Levinson-Durbin recursion on the sample autocovariances
// (Yule-Walker; always a stationary model). Surrogates must carry the
// seed's whole autocorrelation: an order-p fit to a seed of higher order
// leaves autocorrelated residuals, and resampling them one by one would give
// the null a whiter seed than the real one.
// Orders below minOrder are not chosen (fewer when the recursion stops
// before it: a course that a lower order already predicts exactly).
std::vector<float> autoregressionByAic(const float* course, int32_t length, int32_t maxOrder, int32_t minOrder = 0);
}  // namespace ldi
