// Vector autoregressive fits of order p to one or two series, and the three directed
// influence measures (Granger decomposition) derived from their residual covariances.
//
// Model: x_t = A_1 x_(t-1) + ... + A_p x_(t-p) + e_t for a column x_t of n series, with
// lag covariances R(k) and lagged-regressor covariances Gamma(i, j) (1 <= j <= i <= p).
// The normal equations are solved by a block Cholesky factorisation Gamma = V V^T with
// diagonal blocks L(i); the gains K solve K V^T = [R(1) .. R(p)], so that the residual
// covariance is R(0) - sum_k K(k) K(k)^T and the coefficients are A = K V^-1.
//
// Every matrix below has bases 0/0, so a row or column index is a series index
// (0 = reference, 1 = voxel). Nothing here allocates after construction.
//
// Calling order for one voxel: clearAccumulator; per interval the lag products
// (computeLagProducts, or crossProduct for k = 0..p into lagProducts[k]) and
// accumulateInterval; scaleAccumulator by 1 / (number of intervals); influenceMeasures.
#pragma once

#include <cstdint>

#include "stats/matrix.h"

namespace ldi {

struct CovarianceAccumulator {
    int32_t seriesCount = 0;  // n
    int32_t order = 0;        // p
    MatrixList lagProducts;           // indices 0..p, n x n: E(k) of the current interval (raw sums)
    MatrixList lagCovariances;        // indices 0..p, n x n: R(k), accumulated
    BlockTriangularMatrix blockCovariances;  // (i, j), 1 <= j <= i <= p, n x n: Gamma(i, j)
    Matrix edgeProduct;  // n x n scratch for the edge terms
    Matrix scratch;      // n x n scratch

    CovarianceAccumulator() = default;
    // Every matrix starts as zeros.
    CovarianceAccumulator(int32_t seriesCount_, int32_t order_);
};

struct ArModelWorkspace {
    int32_t seriesCount = 0;  // n
    int32_t order = 0;        // p
    MatrixList gainBlocks;                       // indices 1..p, n x n: K(i)
    TriangularMatrixList inverseDiagonalFactors;  // indices 1..p, order n: L(i)^-1
    BlockTriangularMatrix offDiagonalFactors;    // (i, j), 2 <= i <= p, 1 <= j < i: V(i, j)
    Matrix diagonalBlock;                        // n x n scratch
    Matrix scratch;                              // n x n scratch
    TriangularMatrix choleskyFactor;             // order n: last factor computed
    Matrix residualCovariance;                   // n x n: Sigma after residualCovarianceOf
    MatrixList inverseBlocks;                    // indices 1..p, n x n scratch

    ArModelWorkspace() = default;
    ArModelWorkspace(int32_t seriesCount_, int32_t order_);
};

// The three measures of influenceMeasures, in the order the voxel pass stores them.
struct InfluenceValues {
    float aToB = 0.0f;           // F(a->b): a's past on b (reference to voxel for a = 0, b = 1)
    float bToA = 0.0f;           // F(b->a)
    float instantaneous = 0.0f;  // F(a.b)
};

// Every element of lagProducts, lagCovariances, blockCovariances, edgeProduct, scratch := 0.
void clearAccumulator(CovarianceAccumulator& acc);
// lagCovariances and blockCovariances := element * factor (lagProducts untouched).
void scaleAccumulator(CovarianceAccumulator& acc, float factor);

// lagProducts[k] := sum over t = k..N-1 of x_t x_(t-k)^T for k = 0..p, over the series
// rows [s0, s1) and the interval's columns [c0, c1) of x (N = c1 - c0): the same sums as
// crossProduct(x, s0, s1, c0 + k, c1, x, s0, s1, c0, lagProducts[k], 0, 0).
void computeLagProducts(CovarianceAccumulator& acc, const Matrix& x, int32_t s0, int32_t s1,
                        int32_t c0, int32_t c1);

// Adds the interval's normalised R(k) and Gamma(i, j) (each scaled by 1/N) into the
// accumulator, using lagProducts of the same interval and its short edge products.
void accumulateInterval(CovarianceAccumulator& acc, const Matrix& x, int32_t s0, int32_t s1,
                        int32_t c0, int32_t c1);

// Fits the model of the series first .. first + n - 1 (n = ws.seriesCount) from the
// accumulator. False when the lagged-regressor covariance is not positive definite
// (blocks after the failing one keep their earlier contents).
bool fitArModel(const CovarianceAccumulator& acc, int32_t first, ArModelWorkspace& ws);

// sigma (n x n, any bases) := R(0) of the series first.. minus sum_k K(k) K(k)^T.
void residualCovarianceOf(const CovarianceAccumulator& acc, int32_t first, ArModelWorkspace& ws,
                          Matrix& sigma);

// coefficients[i] := A(i), i = 1..p (n x n each, any bases), from the factors of the
// immediately preceding fitArModel on the same workspace.
void arCoefficientsOf(ArModelWorkspace& ws, MatrixList& coefficients);

// Joint model of the accumulator's series (joint.seriesCount of them, from 0) and the
// single models of a and b; on true, out holds F(a->b), F(b->a), F(a.b). On false out is
// untouched (a fit or a residual covariance was not positive definite).
bool influenceMeasures(const CovarianceAccumulator& acc, int32_t a, int32_t b,
                       ArModelWorkspace& joint, ArModelWorkspace& aModel,
                       ArModelWorkspace& bModel, InfluenceValues& out);

}  // namespace ldi
