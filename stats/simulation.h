// Simulation of a vector autoregressive series from a fitted model.
#pragma once

#include <cstdint>

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

}  // namespace ldi
