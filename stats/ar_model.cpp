#include "stats/ar_model.h"

#include <cmath>

namespace {

Matrix zeroBlock(int32_t n) { return Matrix(n, n, 0, 0, 0.0f); }

void zeroWhole(Matrix& m) { fillBlock(m, m.rowBase, m.rowEnd, m.colBase, m.colEnd, 0.0f); }

void scaleWhole(Matrix& m, float factor) {
    scaleBlock(m, m.rowBase, m.rowEnd, m.colBase, m.colEnd, factor);
}

// target := the n x n sub-block of source whose top-left element is (first, first).
void copySubBlock(Matrix& target, const Matrix& source, int32_t first) {
    copyBlock(target, target.rowBase, target.rowEnd, target.colBase, target.colEnd, source,
              first, first);
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
    for (int32_t k = 0; k <= acc.order; ++k)
        crossProduct(x, s0, s1, c0 + k, c1, x, s0, s1, c0, acc.lagProducts[k], 0, 0);
}

void accumulateInterval(CovarianceAccumulator& acc, const Matrix& x, int32_t s0, int32_t s1,
                        int32_t c0, int32_t c1) {
    const int32_t n = acc.seriesCount;
    const float h = 1.0f / static_cast<float>(c1 - c0);
    Matrix& edge = acc.edgeProduct;
    Matrix& scratch = acc.scratch;
    for (int32_t i = 1; i <= acc.order; ++i) {
        for (int32_t j = 1; j <= i; ++j) {
            // Pairs of E(i - j) whose earlier member lies among the last i columns: they
            // have no partner at lag i inside the interval.
            crossProduct(x, s0, s1, c1 - i, c1 - i + j, x, s0, s1, c1 - j, edge, 0, 0);
            const Matrix& e = acc.lagProducts[i - j];
            for (int32_t r = 0; r < n; ++r)
                for (int32_t c = 0; c < n; ++c) scratch(r, c) = e(c, r);
            subtractBlock(scratch, 0, n, 0, n, edge, 0, 0);
            scaleWhole(scratch, h);
            addBlock(acc.blockCovariances(i, j), 0, n, 0, n, scratch, 0, 0);
        }
    }
    for (int32_t k = 0; k <= acc.order; ++k) {
        copyBlock(scratch, 0, n, 0, n, acc.lagProducts[k], 0, 0);
        scaleWhole(scratch, h);
        addBlock(acc.lagCovariances[k], 0, n, 0, n, scratch, 0, 0);
    }
}

bool fitArModel(const CovarianceAccumulator& acc, int32_t first, ArModelWorkspace& ws) {
    const int32_t p = ws.order;
    const int32_t n = ws.seriesCount;
    Matrix& diag = ws.diagonalBlock;
    for (int32_t i = 1; i <= p; ++i) {
        for (int32_t j = 1; j < i; ++j) {
            Matrix& v = ws.offDiagonalFactors(i, j);
            copySubBlock(v, acc.blockCovariances(i, j), first);
            for (int32_t m = 1; m < j; ++m)
                subtractProductTransposed(v, ws.offDiagonalFactors(i, m),
                                          ws.offDiagonalFactors(j, m));
            multiplyByTriangularTransposed(v, ws.inverseDiagonalFactors[j], diag);
        }
        copySubBlock(diag, acc.blockCovariances(i, i), first);
        for (int32_t m = 1; m < i; ++m)
            subtractProductTransposed(diag, ws.offDiagonalFactors(i, m),
                                      ws.offDiagonalFactors(i, m));
        if (!cholesky(diag, 0, n, ws.choleskyFactor)) return false;
        invertTriangular(ws.choleskyFactor, ws.inverseDiagonalFactors[i]);
        Matrix& k = ws.gainBlocks[i];
        copySubBlock(k, acc.lagCovariances[i], first);
        for (int32_t m = 1; m < i; ++m)
            subtractProductTransposed(k, ws.gainBlocks[m], ws.offDiagonalFactors(i, m));
        multiplyByTriangularTransposed(k, ws.inverseDiagonalFactors[i], diag);
    }
    return true;
}

void residualCovarianceOf(const CovarianceAccumulator& acc, int32_t first, ArModelWorkspace& ws,
                          Matrix& sigma) {
    copyBlock(sigma, sigma.rowBase, sigma.rowEnd, sigma.colBase, sigma.colEnd,
              acc.lagCovariances[0], first, first);
    for (int32_t k = 1; k <= ws.order; ++k) {
        Matrix& u = ws.inverseBlocks[k];
        zeroWhole(u);
        addProductTransposed(u, ws.gainBlocks[k], ws.gainBlocks[k]);
        subtractBlock(sigma, sigma.rowBase, sigma.rowEnd, sigma.colBase, sigma.colEnd, u,
                      u.rowBase, u.colBase);
    }
}

void arCoefficientsOf(ArModelWorkspace& ws, MatrixList& coefficients) {
    const int32_t p = ws.order;
    Matrix& w = ws.diagonalBlock;
    Matrix& scratch = ws.scratch;
    MatrixList& u = ws.inverseBlocks;
    for (int32_t i = 1; i <= p; ++i) {
        // Column i of V^-1, block by block: U(j) such that L(j)^-1 U(j) is block (j, i).
        setIdentity(u[i]);
        for (int32_t j = i + 1; j <= p; ++j) {
            zeroWhole(u[j]);
            for (int32_t m = i; m < j; ++m) {
                copyBlock(w, w.rowBase, w.rowEnd, w.colBase, w.colEnd, ws.offDiagonalFactors(j, m),
                          ws.offDiagonalFactors(j, m).rowBase, ws.offDiagonalFactors(j, m).colBase);
                multiplyByTriangular(w, ws.inverseDiagonalFactors[m], scratch);
                multiplyInPlace(w, u[m], scratch);
                subtractBlock(u[j], u[j].rowBase, u[j].rowEnd, u[j].colBase, u[j].colEnd, w,
                              w.rowBase, w.colBase);
            }
        }
        Matrix& a = coefficients[i];
        zeroWhole(a);
        for (int32_t j = i; j <= p; ++j) {
            copyBlock(w, w.rowBase, w.rowEnd, w.colBase, w.colEnd, ws.gainBlocks[j],
                      ws.gainBlocks[j].rowBase, ws.gainBlocks[j].colBase);
            multiplyByTriangular(w, ws.inverseDiagonalFactors[j], scratch);
            multiplyInPlace(w, u[j], scratch);
            addBlock(a, a.rowBase, a.rowEnd, a.colBase, a.colEnd, w, w.rowBase, w.colBase);
        }
    }
}

bool influenceMeasures(const CovarianceAccumulator& acc, int32_t a, int32_t b,
                       ArModelWorkspace& joint, ArModelWorkspace& aModel,
                       ArModelWorkspace& bModel, InfluenceValues& out) {
    const int32_t base = acc.lagCovariances[0].rowBase;
    if (!fitArModel(acc, base, joint)) return false;
    Matrix& sigmaJ = joint.residualCovariance;
    residualCovarianceOf(acc, base, joint, sigmaJ);
    if (!fitArModel(acc, a, aModel)) return false;
    Matrix& sigmaA = aModel.residualCovariance;
    residualCovarianceOf(acc, a, aModel, sigmaA);
    if (!fitArModel(acc, b, bModel)) return false;
    Matrix& sigmaB = bModel.residualCovariance;
    residualCovarianceOf(acc, b, bModel, sigmaB);

    // Each factor's diagonal product is taken before the factor is reused.
    TriangularMatrix& lJ = joint.choleskyFactor;
    TriangularMatrix& lA = aModel.choleskyFactor;
    TriangularMatrix& lB = bModel.choleskyFactor;
    if (!cholesky(sigmaJ, sigmaJ.rowBase, sigmaJ.rowEnd, lJ)) return false;
    const float dJ = choleskyDiagonalProduct(lJ, lJ.rowBase, lJ.rowEnd);
    if (!cholesky(sigmaA, sigmaA.rowBase, sigmaA.rowEnd, lA)) return false;
    const float dA = choleskyDiagonalProduct(lA, lA.rowBase, lA.rowEnd);
    if (!cholesky(sigmaB, sigmaB.rowBase, sigmaB.rowEnd, lB)) return false;
    const float dB = choleskyDiagonalProduct(lB, lB.rowBase, lB.rowEnd);
    if (!cholesky(sigmaJ, a, a + aModel.seriesCount, lA)) return false;
    const float dJA = choleskyDiagonalProduct(lA, lA.rowBase, lA.rowEnd);
    if (!cholesky(sigmaJ, b, b + bModel.seriesCount, lB)) return false;
    const float dJB = choleskyDiagonalProduct(lB, lB.rowBase, lB.rowEnd);

    out.aToB = std::log((dB * dB) / (dJB * dJB));
    out.bToA = std::log((dA * dA) / (dJA * dJA));
    out.instantaneous = std::log((dJB * dJB) * (dJA * dJA) / (dJ * dJ));
    return true;
}
