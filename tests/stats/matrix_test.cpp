// Storage, index bases and kernels of the float32 matrices and volumes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "stats/matrix.h"

using namespace ldi;

namespace {

// A matrix with bases 1/1 whose element (r, c) is 10r + c, so that a misplaced index
// shows up as a wrong value.
Matrix numbered(int32_t rows, int32_t cols, int32_t rowBase, int32_t colBase) {
    Matrix m(rows, cols, rowBase, colBase);
    for (int32_t r = m.rowBase; r < m.rowEnd; ++r)
        for (int32_t c = m.colBase; c < m.colEnd; ++c) m(r, c) = static_cast<float>(10 * r + c);
    return m;
}

}  // namespace

TEST(MatrixStorage, AbsoluteIndicesRowPointersAndDeepCopies) {
    Matrix m = numbered(2, 3, 1, 1);
    EXPECT_EQ(m.rowEnd, 3);
    EXPECT_EQ(m.colEnd, 4);
    EXPECT_EQ(m.data()[0], 11.0f);     // first element is (1, 1)
    EXPECT_EQ(m.row(2)[3], 23.0f);     // row pointer takes the absolute column
    EXPECT_EQ(m.data()[m.stride()], 21.0f);

    Matrix copy = m;
    copy(1, 1) = -1.0f;
    EXPECT_EQ(m(1, 1), 11.0f);
    EXPECT_EQ(copy(2, 3), 23.0f);

    Matrix moved = std::move(copy);
    EXPECT_EQ(moved(1, 1), -1.0f);
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(copy.rowCount, 0);

    Matrix filled(2, 2, -1, 0, 2.5f);
    EXPECT_EQ(filled(-1, 0), 2.5f);
    EXPECT_EQ(filled(0, 1), 2.5f);
    EXPECT_TRUE(Matrix(0, 5, 1, 1).empty());
}

// Assignments and the moves of a growing vector, with bases that put the spare elements
// before and after the block: every result must address its own storage.
TEST(MatrixStorage, AssignedAndRelocatedMatricesAddressTheirOwnBlocks) {
    Matrix m = numbered(2, 3, 3, -2);
    Matrix target(1, 1, 0, 0);
    target = m;
    m(4, 0) = -1.0f;
    EXPECT_EQ(target(4, 0), 40.0f);
    EXPECT_EQ(target.row(3)[-2], 28.0f);
    EXPECT_EQ(target.data()[target.stride()], 38.0f);

    Matrix& alias = target;
    target = std::move(alias);
    EXPECT_EQ(target(3, -1), 29.0f);
    m = std::move(target);
    EXPECT_EQ(m(4, 0), 40.0f);
    EXPECT_TRUE(target.empty());
    EXPECT_EQ(target.colBase, 0);

    std::vector<Matrix> grown;
    for (int32_t k = 0; k < 9; ++k) grown.push_back(numbered(1, 2, k, 1 - k));
    for (int32_t k = 0; k < 9; ++k) EXPECT_EQ(grown[k](k, 2 - k), 10.0f * k + 2 - k) << k;

    TriangularMatrix t(2, 0, -1, 5.0f), u;
    u = t;
    t(1, 0) = 0.0f;
    EXPECT_EQ(u(1, 0), 5.0f);
    t = std::move(u);
    EXPECT_EQ(t(1, -1), 5.0f);
    EXPECT_EQ(u.order, 0);
}

TEST(MatrixStorage, ListsAndBlockArraysHoldIndependentCopies) {
    MatrixList list(3, 1, Matrix(2, 2, 0, 0, 1.0f));
    EXPECT_EQ(list.indexEnd, 4);
    list[3](1, 1) = 7.0f;
    EXPECT_EQ(list[1](1, 1), 1.0f);

    BlockTriangularMatrix blocks(3, 2, 1, Matrix(1, 1, 0, 0, 0.0f));
    EXPECT_EQ(blocks.blocks.size(), 6u);
    // Rows 2..4, row i holds columns 1..i-1: write each block its own label.
    for (int32_t i = 2; i <= 4; ++i)
        for (int32_t j = 1; j <= i - 1; ++j) blocks(i, j)(0, 0) = static_cast<float>(10 * i + j);
    for (int32_t i = 2; i <= 4; ++i)
        for (int32_t j = 1; j <= i - 1; ++j) EXPECT_EQ(blocks(i, j)(0, 0), 10.0f * i + j);
    EXPECT_TRUE(BlockTriangularMatrix(0, 2, 1, Matrix(2, 2, 0, 0)).blocks.empty());

    TriangularMatrix t(3, 1, 1, 0.0f);
    t(3, 1) = 31.0f;
    t(3, 3) = 33.0f;
    t(2, 2) = 22.0f;
    EXPECT_EQ(t.data()[3 + 0], 31.0f);  // packed: row 3 starts after 1 + 2 elements
    EXPECT_EQ(t.data()[5], 33.0f);
    TriangularMatrix tc = t;
    tc(2, 2) = 0.0f;
    EXPECT_EQ(t(2, 2), 22.0f);
}

TEST(MatrixKernels, ElementWiseBlocksTouchOnlyTheirRange) {
    Matrix dst(3, 3, 1, 1, 0.0f);
    Matrix src = numbered(2, 2, 0, 0);  // 0, 1 / 10, 11

    copyBlock(dst, 2, 4, 1, 3, src, 0, 0);
    EXPECT_EQ(dst(2, 1), 0.0f);
    EXPECT_EQ(dst(2, 2), 1.0f);
    EXPECT_EQ(dst(3, 1), 10.0f);
    EXPECT_EQ(dst(3, 2), 11.0f);
    EXPECT_EQ(dst(1, 1), 0.0f);
    EXPECT_EQ(dst(3, 3), 0.0f);

    scaleBlock(dst, 2, 4, 2, 3, 0.5f);
    EXPECT_EQ(dst(2, 2), 0.5f);
    EXPECT_EQ(dst(3, 2), 5.5f);
    EXPECT_EQ(dst(3, 1), 10.0f);
    fillBlock(dst, 1, 2, 1, 4, 4.0f);
    EXPECT_EQ(dst(1, 3), 4.0f);
    EXPECT_EQ(dst(2, 1), 0.0f);

    Matrix wide(2, 3, 0, 0, 9.0f);
    setIdentity(wide);
    const float expected[2][3] = {{1, 0, 0}, {0, 1, 0}};
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(wide(r, c), expected[r][c]) << r << "," << c;
}

TEST(MatrixKernels, CrossProductOverLagsAndEmptyRanges) {
    // Two series over columns 1..6 of a 1/1-based matrix.
    Matrix x(2, 6, 1, 1);
    const float s0[6] = {1, -2, 3, 0.5f, -1, 2};
    const float s1[6] = {0, 1, -1, 2, 4, -3};
    for (int c = 0; c < 6; ++c) {
        x(1, c + 1) = s0[c];
        x(2, c + 1) = s1[c];
    }
    Matrix p(2, 2, 0, 0, 99.0f);
    const int lag = 2;
    crossProduct(x, 1, 3, 1 + lag, 7, x, 1, 3, 1, p, 0, 0);
    const float* rows[2] = {s0, s1};
    for (int r = 0; r < 2; ++r)
        for (int s = 0; s < 2; ++s) {
            float expected = 0.0f;
            for (int t = lag; t < 6; ++t) expected = expected + rows[r][t] * rows[s][t - lag];
            EXPECT_EQ(p(r, s), expected) << r << "," << s;
        }

    // One-row operands go through the general path, into an offset target.
    Matrix q(3, 3, 0, 0, 5.0f);
    crossProduct(x, 2, 3, 1, 7, x, 1, 2, 1, q, 1, 2);
    float expected = 0.0f;
    for (int t = 0; t < 6; ++t) expected = expected + s1[t] * s0[t];
    EXPECT_EQ(q(1, 2), expected);
    EXPECT_EQ(q(1, 1), 5.0f);

    fillBlock(p, 0, 2, 0, 2, 99.0f);
    crossProduct(x, 1, 3, 4, 4, x, 1, 3, 1, p, 0, 0);
    for (int r = 0; r < 2; ++r)
        for (int s = 0; s < 2; ++s) EXPECT_EQ(p(r, s), 0.0f);
}

TEST(MatrixKernels, SmallProductsMatchTheirDefinitions) {
    // Operands of different bases are matched from their first row and column.
    Matrix a(2, 2, 0, 0), b(2, 2, 1, 1), p(2, 2, 5, 5);
    a(0, 0) = 1; a(0, 1) = 2; a(1, 0) = -3; a(1, 1) = 0.5f;
    b(1, 1) = 4; b(1, 2) = -1; b(2, 1) = 2; b(2, 2) = 3;
    p(5, 5) = 1; p(5, 6) = 1; p(6, 5) = 1; p(6, 6) = 1;
    addProductTransposed(p, a, b);  // P + A B^T
    EXPECT_EQ(p(5, 5), 1 + 1 * 4 + 2 * -1.0f);
    EXPECT_EQ(p(5, 6), 1 + 1 * 2 + 2 * 3.0f);
    EXPECT_EQ(p(6, 5), 1 + -3 * 4 + 0.5f * -1);
    EXPECT_EQ(p(6, 6), 1 + -3 * 2 + 0.5f * 3);
    subtractProductTransposed(p, a, b);
    for (int r = 5; r < 7; ++r)
        for (int c = 5; c < 7; ++c) EXPECT_EQ(p(r, c), 1.0f);

    TriangularMatrix l(2, 0, 0);
    l(0, 0) = 2; l(1, 0) = -1; l(1, 1) = 3;
    Matrix scratch(2, 2, 0, 0);
    Matrix m = a;
    multiplyByTriangularTransposed(m, l, scratch);  // A L^T
    EXPECT_EQ(m(0, 0), 2.0f);
    EXPECT_EQ(m(0, 1), 1 * -1 + 2 * 3.0f);
    EXPECT_EQ(m(1, 0), -6.0f);
    EXPECT_EQ(m(1, 1), -3 * -1 + 0.5f * 3);
    m = a;
    multiplyByTriangular(m, l, scratch);  // A L
    EXPECT_EQ(m(0, 0), 1 * 2 + 2 * -1.0f);
    EXPECT_EQ(m(0, 1), 6.0f);
    EXPECT_EQ(m(1, 0), -3 * 2 + 0.5f * -1);
    EXPECT_EQ(m(1, 1), 1.5f);
    m = a;
    multiplyInPlace(m, b, scratch);  // A B
    EXPECT_EQ(m(0, 0), 1 * 4 + 2 * 2.0f);
    EXPECT_EQ(m(0, 1), 1 * -1 + 2 * 3.0f);
    EXPECT_EQ(m(1, 0), -3 * 4 + 0.5f * 2);
    EXPECT_EQ(m(1, 1), -3 * -1 + 0.5f * 3);
}

TEST(MatrixKernels, CholeskyPivots) {
    Matrix one(1, 1, 0, 0);
    TriangularMatrix l(1, 0, 0);
    one(0, 0) = 9.0f;
    EXPECT_TRUE(cholesky(one, 0, 1, l));
    EXPECT_EQ(l(0, 0), 3.0f);
    for (float bad : {0.0f, -4.0f, std::numeric_limits<float>::quiet_NaN(),
                      std::numeric_limits<float>::infinity()}) {
        one(0, 0) = bad;
        EXPECT_FALSE(cholesky(one, 0, 1, l)) << bad;
    }

    // Only the diagonal and the part above it are read.
    Matrix a(2, 2, 0, 0);
    a(0, 0) = 4; a(0, 1) = 2; a(1, 0) = 1000; a(1, 1) = 10;
    TriangularMatrix f(2, 0, 0);
    ASSERT_TRUE(cholesky(a, 0, 2, f));
    EXPECT_EQ(f(0, 0), 2.0f);
    EXPECT_EQ(f(1, 0), 1.0f);
    EXPECT_EQ(f(1, 1), 3.0f);
    a(1, 1) = 1.0f;  // second pivot 1 - 1 = 0
    EXPECT_FALSE(cholesky(a, 0, 2, f));
}

TEST(MatrixKernels, CholeskyOfADiagonalSubBlockAndItsInverse) {
    // A 3 x 3 with bases 1/1; factorise rows/columns 2..3 into a factor with bases 0/0.
    Matrix a(3, 3, 1, 1, -77.0f);
    a(1, 1) = 1;
    a(2, 2) = 9; a(2, 3) = 3;
    a(3, 3) = 5;
    TriangularMatrix l(2, 0, 0);
    ASSERT_TRUE(cholesky(a, 2, 4, l));
    EXPECT_EQ(l(0, 0), 3.0f);
    EXPECT_EQ(l(1, 0), 1.0f);
    EXPECT_EQ(l(1, 1), 2.0f);
    EXPECT_EQ(choleskyDiagonalProduct(l, 0, 2), 6.0f);  // sqrt(det) = sqrt(45 - 9)
    EXPECT_EQ(choleskyDiagonalProduct(l, 1, 1), 1.0f);

    TriangularMatrix inv(2, 3, 3);
    invertTriangular(l, inv);
    EXPECT_FLOAT_EQ(inv(3, 3), 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(inv(4, 4), 0.5f);
    // L inv = I: row 1 of L times column 0 of inv.
    EXPECT_NEAR(l(1, 0) * inv(3, 3) + l(1, 1) * inv(4, 3), 0.0f, 1e-7f);
}

TEST(MatrixKernels, DetrendRemovesMeanAndSlope) {
    Matrix a(3, 5, 1, 1, 0.0f);
    const float rowA[3] = {1, 2, 3};
    const float rowB[3] = {1, 0, 1};
    for (int c = 0; c < 3; ++c) {
        a(1, c + 2) = rowA[c];
        a(2, c + 2) = rowB[c];
        a(3, c + 2) = 7.0f;
    }
    Matrix d(4, 4, 0, 0, 42.0f);
    detrendRows(a, 1, 4, 2, 5, d, 1, 1);
    for (int c = 1; c < 4; ++c) {
        EXPECT_NEAR(d(1, c), 0.0f, 1e-6f);
        EXPECT_EQ(d(3, c), 0.0f);  // a constant of integers detrends exactly to zero
    }
    EXPECT_NEAR(d(2, 1), 1.0f / 3.0f, 1e-6f);
    EXPECT_NEAR(d(2, 2), -2.0f / 3.0f, 1e-6f);
    EXPECT_NEAR(d(2, 3), 1.0f / 3.0f, 1e-6f);
    EXPECT_EQ(d(0, 0), 42.0f);
    EXPECT_EQ(d(1, 0), 42.0f);
    EXPECT_EQ(a(2, 3), 0.0f);  // the source is unchanged

    // A single value detrends to 0 instead of dividing by a zero span.
    detrendRows(a, 1, 2, 4, 5, d, 0, 0);
    EXPECT_EQ(d(0, 0), 0.0f);
}

TEST(MatrixKernels, DetrendInPlaceEqualsDetrendIntoAnotherMatrix) {
    Matrix a(1, 50, 1, 1);
    for (int c = 1; c <= 50; ++c) a(1, c) = std::sin(0.3f * c) + 0.1f * c;
    Matrix d(1, 50, 0, 0);
    detrendRows(a, 1, 2, 1, 51, d, 0, 0);
    detrendRows(a, 1, 2, 1, 51, a, 1, 1);
    for (int c = 0; c < 50; ++c) EXPECT_EQ(a(1, c + 1), d(0, c));
}

TEST(FloatVolumes, LayoutViewsAndCopies) {
    FloatVolume v(2, 3, 4);
    EXPECT_EQ(v.size(), 24u);
    v(1, 2, 3) = 5.0f;
    EXPECT_EQ(v.data()[(1 * 3 + 2) * 4 + 3], 5.0f);
    EXPECT_EQ(v(0, 0, 0), 0.0f);

    std::vector<float> borrowed(24, 1.0f);
    {
        FloatVolume view = FloatVolume::view(borrowed.data(), 2, 3, 4);
        EXPECT_FALSE(view.ownsStorage);
        FloatVolume another = view;  // still the same block
        another(0, 1, 2) = -3.0f;
        EXPECT_EQ(borrowed[6], -3.0f);
        view(1, 2, 3) = 10.0f;
    }
    // The views are gone, the block and what they wrote to it remain.
    EXPECT_EQ(borrowed[(1 * 3 + 2) * 4 + 3], 10.0f);
    EXPECT_EQ(borrowed[6], -3.0f);

    FloatVolume w = v;  // deep copy
    w(1, 2, 3) = 1.0f;
    EXPECT_EQ(v(1, 2, 3), 5.0f);
    w = v;
    v(1, 2, 3) = 2.0f;
    EXPECT_EQ(w(1, 2, 3), 5.0f);
    FloatVolume moved = std::move(w);
    EXPECT_EQ(moved(1, 2, 3), 5.0f);
    EXPECT_EQ(w.size(), 0u);
    EXPECT_TRUE(w.ownsStorage);
    moved = FloatVolume::view(borrowed.data(), 2, 3, 4);
    EXPECT_EQ(moved.data(), borrowed.data());

    MeasureVolumes measures(2, 3, 4);
    EXPECT_EQ(measures.inst.size(), 24u);
    EXPECT_EQ(measures.ref2vox.dimX, 4);
}
