#include "stats/ar_model.h"

#include <cmath>

namespace ldi {

// The operations are written once as templates over the series count N, and instantiated
// for N = 1 and N = 2 (the only counts the program uses, so the compiler can unroll the
// tiny block products) and for N = 0, which reads n at run time. All instances perform
// the same operations in the same order.

namespace {

Matrix zeroBlock(int32_t n) { return Matrix(n, n, 0, 0, 0.0f); }

void zeroWhole(Matrix& m) { fillBlock(m, m.rowBase, m.rowEnd, m.colBase, m.colEnd, 0.0f); }

void scaleWhole(Matrix& m, float factor) {
    scaleBlock(m, m.rowBase, m.rowEnd, m.colBase, m.colEnd, factor);
}

// Every work matrix is n x n with bases 0/0, so its rows are n apart.
template <int N>
int32_t seriesOf(int32_t runtime) {
    return N > 0 ? N : runtime;
}

template <int N>
void accumulateIntervalT(CovarianceAccumulator& acc, const Matrix& x, int32_t s0, int32_t s1,
                         int32_t c0, int32_t c1) {
    const int32_t n = seriesOf<N>(acc.seriesCount);
    const int32_t rows = s1 - s0;
    const float h = 1.0f / static_cast<float>(c1 - c0);
    float* edge = acc.edgeProduct.data();
    float* scratch = acc.scratch.data();
    for (int32_t i = 1; i <= acc.order; ++i) {
        for (int32_t j = 1; j <= i; ++j) {
            // Pairs of E(i - j) whose earlier member lies among the last i columns: they
            // have no partner at lag i inside the interval.
            core::crossProduct(x.at(s0, c1 - i), x.stride(), rows, x.at(s0, c1 - j), x.stride(),
                               rows, j, edge, n);
            const float* e = acc.lagProducts[i - j].data();
            float* gamma = acc.blockCovariances(i, j).data();
            for (int32_t r = 0; r < n; ++r)
                for (int32_t c = 0; c < n; ++c) {
                    float v = e[c * n + r];  // transposed
                    v = v - edge[r * n + c];
                    v = v * h;
                    scratch[r * n + c] = v;
                    gamma[r * n + c] = gamma[r * n + c] + v;
                }
        }
    }
    for (int32_t k = 0; k <= acc.order; ++k) {
        const float* e = acc.lagProducts[k].data();
        float* lag = acc.lagCovariances[k].data();
        for (int32_t r = 0; r < n * n; ++r) {
            const float v = e[r] * h;
            scratch[r] = v;
            lag[r] = lag[r] + v;
        }
    }
}

template <int N>
bool fitArModelT(const CovarianceAccumulator& acc, int32_t first, ArModelWorkspace& ws) {
    const int32_t n = seriesOf<N>(ws.seriesCount);
    const int32_t p = ws.order;
    const ptrdiff_t la = acc.lagCovariances[0].stride();
    float* diag = ws.diagonalBlock.data();
    float* factor = ws.choleskyFactor.data();
    BlockTriangularMatrix& v = ws.offDiagonalFactors;
    for (int32_t i = 1; i <= p; ++i) {
        for (int32_t j = 1; j < i; ++j) {
            float* vij = v(i, j).data();
            core::copy(vij, n, acc.blockCovariances(i, j).at(first, first), la, n, n);
            for (int32_t m = 1; m < j; ++m)
                core::subtractProductTransposed(vij, n, v(i, m).data(), n, v(j, m).data(), n, n);
            core::multiplyByTriangularTransposed(vij, n, ws.inverseDiagonalFactors[j].data(), diag,
                                                 n, n);
        }
        core::copy(diag, n, acc.blockCovariances(i, i).at(first, first), la, n, n);
        for (int32_t m = 1; m < i; ++m) {
            const float* vim = v(i, m).data();
            core::subtractProductTransposed(diag, n, vim, n, vim, n, n);
        }
        if (!core::cholesky(diag, n, n, factor)) return false;
        float* inverse = ws.inverseDiagonalFactors[i].data();
        core::invertTriangular(factor, inverse, n);
        float* k = ws.gainBlocks[i].data();
        core::copy(k, n, acc.lagCovariances[i].at(first, first), la, n, n);
        for (int32_t m = 1; m < i; ++m)
            core::subtractProductTransposed(k, n, ws.gainBlocks[m].data(), n, v(i, m).data(), n, n);
        core::multiplyByTriangularTransposed(k, n, inverse, diag, n, n);
    }
    return true;
}

template <int N>
void residualCovarianceOfT(const CovarianceAccumulator& acc, int32_t first, ArModelWorkspace& ws,
                           Matrix& sigma) {
    const int32_t n = seriesOf<N>(ws.seriesCount);
    float* s = sigma.data();
    const ptrdiff_t ls = sigma.stride();
    core::copy(s, ls, acc.lagCovariances[0].at(first, first), acc.lagCovariances[0].stride(), n,
               n);
    for (int32_t k = 1; k <= ws.order; ++k) {
        float* u = ws.inverseBlocks[k].data();
        const float* g = ws.gainBlocks[k].data();
        core::fill(u, n, n, n, 0.0f);
        core::addProductTransposed(u, n, g, n, g, n, n);
        core::subtract(s, ls, u, n, n, n);
    }
}

template <int N>
void arCoefficientsOfT(ArModelWorkspace& ws, MatrixList& coefficients) {
    const int32_t n = seriesOf<N>(ws.seriesCount);
    const int32_t p = ws.order;
    float* w = ws.diagonalBlock.data();
    float* scratch = ws.scratch.data();
    MatrixList& u = ws.inverseBlocks;
    for (int32_t i = 1; i <= p; ++i) {
        // Column i of V^-1, block by block: U(j) such that L(j)^-1 U(j) is block (j, i).
        setIdentity(u[i]);
        for (int32_t j = i + 1; j <= p; ++j) {
            float* uj = u[j].data();
            core::fill(uj, n, n, n, 0.0f);
            for (int32_t m = i; m < j; ++m) {
                core::copy(w, n, ws.offDiagonalFactors(j, m).data(), n, n, n);
                core::multiplyByTriangular(w, n, ws.inverseDiagonalFactors[m].data(), scratch, n,
                                           n);
                core::multiplyInPlace(w, n, u[m].data(), n, scratch, n, n);
                core::subtract(uj, n, w, n, n, n);
            }
        }
        Matrix& a = coefficients[i];
        float* ai = a.data();
        const ptrdiff_t lai = a.stride();
        core::fill(ai, lai, n, n, 0.0f);
        for (int32_t j = i; j <= p; ++j) {
            core::copy(w, n, ws.gainBlocks[j].data(), n, n, n);
            core::multiplyByTriangular(w, n, ws.inverseDiagonalFactors[j].data(), scratch, n, n);
            core::multiplyInPlace(w, n, u[j].data(), n, scratch, n, n);
            core::add(ai, lai, w, n, n, n);
        }
    }
}

bool fitDispatch(const CovarianceAccumulator& acc, int32_t first, ArModelWorkspace& ws) {
    switch (ws.seriesCount) {
        case 1: return fitArModelT<1>(acc, first, ws);
        case 2: return fitArModelT<2>(acc, first, ws);
        default: return fitArModelT<0>(acc, first, ws);
    }
}

void residualDispatch(const CovarianceAccumulator& acc, int32_t first, ArModelWorkspace& ws,
                      Matrix& sigma) {
    switch (ws.seriesCount) {
        case 1: residualCovarianceOfT<1>(acc, first, ws, sigma); break;
        case 2: residualCovarianceOfT<2>(acc, first, ws, sigma); break;
        default: residualCovarianceOfT<0>(acc, first, ws, sigma); break;
    }
}

// d := sqrt(det) of the diagonal block [lo, lo + n) of sigma, through the factor l; false
// when the block is not positive definite.
bool factorDiagonal(const Matrix& sigma, int32_t lo, int32_t n, TriangularMatrix& l, float& d) {
    if (!cholesky(sigma, lo, lo + n, l)) return false;
    d = choleskyDiagonalProduct(l, l.rowBase, l.rowBase + n);
    return true;
}

}  // namespace

CovarianceAccumulator::CovarianceAccumulator(int32_t seriesCount_, int32_t order_)
    : seriesCount(seriesCount_),
      order(order_),
      lagProducts(order_ + 1, 0, zeroBlock(seriesCount_)),
      lagCovariances(order_ + 1, 0, zeroBlock(seriesCount_)),
      blockCovariances(order_, 1, 1, zeroBlock(seriesCount_)),
      edgeProduct(zeroBlock(seriesCount_)),
      scratch(zeroBlock(seriesCount_)) {}

ArModelWorkspace::ArModelWorkspace(int32_t seriesCount_, int32_t order_)
    : seriesCount(seriesCount_),
      order(order_),
      gainBlocks(order_, 1, zeroBlock(seriesCount_)),
      inverseDiagonalFactors(order_, 1, TriangularMatrix(seriesCount_, 0, 0, 0.0f)),
      offDiagonalFactors(order_ - 1, 2, 1, zeroBlock(seriesCount_)),
      diagonalBlock(zeroBlock(seriesCount_)),
      scratch(zeroBlock(seriesCount_)),
      choleskyFactor(seriesCount_, 0, 0, 0.0f),
      residualCovariance(zeroBlock(seriesCount_)),
      inverseBlocks(order_, 1, zeroBlock(seriesCount_)) {}

void clearAccumulator(CovarianceAccumulator& acc) {
    for (Matrix& m : acc.lagProducts.elements) zeroWhole(m);
    for (Matrix& m : acc.lagCovariances.elements) zeroWhole(m);
    for (Matrix& m : acc.blockCovariances.blocks) zeroWhole(m);
    zeroWhole(acc.edgeProduct);
    zeroWhole(acc.scratch);
}

void scaleAccumulator(CovarianceAccumulator& acc, float factor) {
    for (Matrix& m : acc.lagCovariances.elements) scaleWhole(m, factor);
    for (Matrix& m : acc.blockCovariances.blocks) scaleWhole(m, factor);
}

void computeLagProducts(CovarianceAccumulator& acc, const Matrix& x, int32_t s0, int32_t s1,
                        int32_t c0, int32_t c1) {
    constexpr int32_t kMaxFused = 32;
    if (acc.seriesCount == 2 && s1 - s0 == 2 && acc.order < kMaxFused) {
        float sums[4 * kMaxFused];
        core::lagProducts2(x.at(s0, c0), x.at(s0 + 1, c0), c1 - c0, acc.order, sums);
        for (int32_t k = 0; k <= acc.order; ++k)
            core::copy(acc.lagProducts[k].data(), 2, sums + 4 * k, 2, 2, 2);
        return;
    }
    for (int32_t k = 0; k <= acc.order; ++k)
        crossProduct(x, s0, s1, c0 + k, c1, x, s0, s1, c0, acc.lagProducts[k], 0, 0);
}

void accumulateInterval(CovarianceAccumulator& acc, const Matrix& x, int32_t s0, int32_t s1,
                        int32_t c0, int32_t c1) {
    switch (acc.seriesCount) {
        case 1: accumulateIntervalT<1>(acc, x, s0, s1, c0, c1); break;
        case 2: accumulateIntervalT<2>(acc, x, s0, s1, c0, c1); break;
        default: accumulateIntervalT<0>(acc, x, s0, s1, c0, c1); break;
    }
}

bool fitArModel(const CovarianceAccumulator& acc, int32_t first, ArModelWorkspace& ws) {
    return fitDispatch(acc, first, ws);
}

void residualCovarianceOf(const CovarianceAccumulator& acc, int32_t first, ArModelWorkspace& ws,
                          Matrix& sigma) {
    residualDispatch(acc, first, ws, sigma);
}

void arCoefficientsOf(ArModelWorkspace& ws, MatrixList& coefficients) {
    switch (ws.seriesCount) {
        case 1: arCoefficientsOfT<1>(ws, coefficients); break;
        case 2: arCoefficientsOfT<2>(ws, coefficients); break;
        default: arCoefficientsOfT<0>(ws, coefficients); break;
    }
}

bool influenceMeasures(const CovarianceAccumulator& acc, int32_t a, int32_t b,
                       ArModelWorkspace& joint, ArModelWorkspace& aModel,
                       ArModelWorkspace& bModel, InfluenceValues& out) {
    const int32_t base = acc.lagCovariances[0].rowBase;
    Matrix& sigmaJ = joint.residualCovariance;
    Matrix& sigmaA = aModel.residualCovariance;
    Matrix& sigmaB = bModel.residualCovariance;
    if (!fitDispatch(acc, base, joint)) return false;
    residualDispatch(acc, base, joint, sigmaJ);
    if (!fitDispatch(acc, a, aModel)) return false;
    residualDispatch(acc, a, aModel, sigmaA);
    if (!fitDispatch(acc, b, bModel)) return false;
    residualDispatch(acc, b, bModel, sigmaB);

    // Each factor's diagonal product is taken before the factor is reused.
    float dJ, dA, dB, dJA, dJB;
    if (!factorDiagonal(sigmaJ, sigmaJ.rowBase, joint.seriesCount, joint.choleskyFactor, dJ))
        return false;
    if (!factorDiagonal(sigmaA, sigmaA.rowBase, aModel.seriesCount, aModel.choleskyFactor, dA))
        return false;
    if (!factorDiagonal(sigmaB, sigmaB.rowBase, bModel.seriesCount, bModel.choleskyFactor, dB))
        return false;
    if (!factorDiagonal(sigmaJ, a, aModel.seriesCount, aModel.choleskyFactor, dJA)) return false;
    if (!factorDiagonal(sigmaJ, b, bModel.seriesCount, bModel.choleskyFactor, dJB)) return false;

    out.aToB = std::log((dB * dB) / (dJB * dJB));
    out.bToA = std::log((dA * dA) / (dJA * dJA));
    out.instantaneous = std::log((dJB * dJB) * (dJA * dJA) / (dJ * dJ));
    return true;
}

}  // namespace ldi
