// Single-precision matrices, volumes and the kernels the statistics are written in.
//
// Index bases
// -----------
// Every matrix carries its own first row index (`rowBase`) and first column index
// (`colBase`); elements are always addressed with ABSOLUTE indices. A matrix of
// 2 x 400 with bases 1/1 has rows 1..2 and columns 1..400, so `m(1, 1)` is its first
// element and `m.row(r)[c]` is element (r, c) for c in [colBase, colEnd). Ranges are
// half-open: [rowBase, rowEnd), [colBase, colEnd).
//
// Conventions in use: the work matrices of the AR fit have bases 0/0 (index = series,
// 0 = reference, 1 = voxel); time-course matrices have bases 1/1 (a column index is a
// 1-based volume number).
//
// Kernels take explicit sub-blocks (row range, column range, and for a second operand
// the top-left corner of the same-sized block) and never check them: callers pass
// ranges that lie inside the matrices. Products that "match element by element" pair
// elements by their offset from each matrix's own first row and column.
//
// Arithmetic is float32 throughout, including every running sum; sums are formed one
// product at a time into the running value in the stated (ascending) order, so the
// same input gives the same bits on every build. No kernel allocates.
//
// Each Matrix kernel is a thin wrapper over a pointer-based core in matrix_core.h,
// which callers with raw float arrays (row pointer + row stride) can use directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "stats/large_buffer.h"
#include "stats/matrix_core.h"

namespace ldi {

struct RandomState;

// Dense float32 matrix, row-major, rows contiguous, addressed by absolute indices.
// Owns its storage: copying is a deep copy of shape, bases and values; moving leaves
// the source as an empty 0 x 0 matrix. Treat the shape fields as read-only.
//
// Pointers are worked out from the storage on every access, from indices rather than
// remembered addresses, so that a copy or a move can never point into the block it
// came from and the member-wise copy is right.
struct Matrix {
    int32_t rowCount = 0;
    int32_t colCount = 0;
    int32_t rowBase = 0;
    int32_t colBase = 0;
    int32_t rowEnd = 0;  // rowBase + rowCount, exclusive
    int32_t colEnd = 0;  // colBase + colCount, exclusive

    Matrix() = default;
    // Elements are zero rather than undefined: the cost is nil at the sizes in use.
    Matrix(int32_t rows, int32_t cols, int32_t rowBase_, int32_t colBase_);
    Matrix(int32_t rows, int32_t cols, int32_t rowBase_, int32_t colBase_, float fill);
    Matrix(const Matrix&) = default;
    Matrix& operator=(const Matrix&) = default;
    Matrix(Matrix&& other) noexcept : Matrix() { swap(other); }
    Matrix& operator=(Matrix&& other) noexcept {
        Matrix(std::move(other)).swap(*this);
        return *this;
    }
    ~Matrix() = default;

    // Pointer p such that p[c] is element (r, c) for absolute c.
    float* row(int32_t r) { return storage_.data() + rowIndex(r); }
    const float* row(int32_t r) const { return storage_.data() + rowIndex(r); }
    float& operator()(int32_t r, int32_t c) { return row(r)[c]; }
    float operator()(int32_t r, int32_t c) const { return row(r)[c]; }

    // First element (rowBase, colBase) and the distance between rows, for the cores.
    float* data() { return storage_.data() + first_; }
    const float* data() const { return storage_.data() + first_; }
    // Pointer to element (r, c), for the cores.
    float* at(int32_t r, int32_t c) { return row(r) + c; }
    const float* at(int32_t r, int32_t c) const { return row(r) + c; }
    ptrdiff_t stride() const { return colCount; }
    bool empty() const { return storage_.empty(); }

private:
    // Index in storage_ of row(r), formed before it is added to the storage address so
    // that no intermediate pointer leaves the allocation.
    ptrdiff_t rowIndex(int32_t r) const { return rowZero_ + static_cast<ptrdiff_t>(r) * colCount; }
    void swap(Matrix& other) noexcept;

    // The block is preceded (positive column base) or followed (negative base) by as many
    // spare elements as the base reaches outside it, so that every row pointer, which is
    // the row's first element minus colBase, stays inside the allocation.
    std::vector<float, LargeBufferAllocator<float>> storage_;
    // Both indices follow from the shape. With the row base folded into the second,
    // data() and at() cost no more than with a stored pointer, which matters because
    // the AR fits call them on 2 x 2 blocks all the time.
    ptrdiff_t first_ = 0;    // index of element (rowBase, colBase)
    ptrdiff_t rowZero_ = 0;  // index of row(0), which may lie outside the storage
};

// Lower-triangular float32 matrix of order n: row r holds the columns colBase ..
// colBase + (r - rowBase), stored row after row (n(n+1)/2 values). Deep copy; moving
// leaves the source of order 0. Pointers are derived as in Matrix, with the same
// spare elements around the block.
struct TriangularMatrix {
    int32_t order = 0;
    int32_t rowBase = 0;
    int32_t colBase = 0;
    int32_t rowEnd = 0;  // rowBase + order, exclusive

    TriangularMatrix() = default;
    TriangularMatrix(int32_t order_, int32_t rowBase_, int32_t colBase_);
    TriangularMatrix(int32_t order_, int32_t rowBase_, int32_t colBase_, float fill);
    TriangularMatrix(const TriangularMatrix&) = default;
    TriangularMatrix& operator=(const TriangularMatrix&) = default;
    TriangularMatrix(TriangularMatrix&& other) noexcept : TriangularMatrix() { swap(other); }
    TriangularMatrix& operator=(TriangularMatrix&& other) noexcept {
        TriangularMatrix(std::move(other)).swap(*this);
        return *this;
    }
    ~TriangularMatrix() = default;

    // Pointer p such that p[c] is element (r, c) for absolute c <= colBase + (r - rowBase).
    float* row(int32_t r) { return storage_.data() + rowIndex(r); }
    const float* row(int32_t r) const { return storage_.data() + rowIndex(r); }
    float& operator()(int32_t r, int32_t c) { return row(r)[c]; }
    float operator()(int32_t r, int32_t c) const { return row(r)[c]; }
    // Packed storage: element (rowBase + i, colBase + k) is data()[i(i+1)/2 + k].
    float* data() { return storage_.data() + first_; }
    const float* data() const { return storage_.data() + first_; }

private:
    ptrdiff_t rowIndex(int32_t r) const {
        const ptrdiff_t i = r - rowBase;
        return origin_ + i * (i + 1) / 2;
    }
    void swap(TriangularMatrix& other) noexcept;

    std::vector<float> storage_;
    ptrdiff_t first_ = 0;   // index of element (rowBase, colBase)
    ptrdiff_t origin_ = 0;  // index of row(rowBase)
};

// Indexed list of matrices; element k (absolute, indexBase <= k < indexEnd).
struct MatrixList {
    int32_t count = 0;
    int32_t indexBase = 0;
    int32_t indexEnd = 0;
    std::vector<Matrix> elements;

    MatrixList() = default;
    // Every element is a deep copy of the prototype.
    MatrixList(int32_t count_, int32_t indexBase_, const Matrix& prototype);

    Matrix& operator[](int32_t k) { return elements[static_cast<size_t>(k - indexBase)]; }
    const Matrix& operator[](int32_t k) const { return elements[static_cast<size_t>(k - indexBase)]; }
};

struct TriangularMatrixList {
    int32_t count = 0;
    int32_t indexBase = 0;
    int32_t indexEnd = 0;
    std::vector<TriangularMatrix> elements;

    TriangularMatrixList() = default;
    TriangularMatrixList(int32_t count_, int32_t indexBase_, const TriangularMatrix& prototype);

    TriangularMatrix& operator[](int32_t k) { return elements[static_cast<size_t>(k - indexBase)]; }
    const TriangularMatrix& operator[](int32_t k) const {
        return elements[static_cast<size_t>(k - indexBase)];
    }
};

// Lower block-triangular array of matrix blocks: row i (rowBase <= i < rowEnd) holds the
// blocks with column index j from colBase to colBase + (i - rowBase). m(m+1)/2 blocks,
// each a deep copy of the prototype. A row count of 0 gives an empty array.
struct BlockTriangularMatrix {
    int32_t rowCount = 0;
    int32_t rowBase = 0;
    int32_t colBase = 0;
    int32_t rowEnd = 0;
    std::vector<Matrix> blocks;

    BlockTriangularMatrix() = default;
    BlockTriangularMatrix(int32_t rowCount_, int32_t rowBase_, int32_t colBase_,
                          const Matrix& prototype);

    Matrix& operator()(int32_t i, int32_t j) { return blocks[index(i, j)]; }
    const Matrix& operator()(int32_t i, int32_t j) const { return blocks[index(i, j)]; }

private:
    size_t index(int32_t i, int32_t j) const {
        const size_t r = static_cast<size_t>(i - rowBase);
        return r * (r + 1) / 2 + static_cast<size_t>(j - colBase);
    }
};

// Three-dimensional float32 array indexed [z][y][x], x fastest: voxel (x, y, z) is value
// (z * dimY + y) * dimX + x of one contiguous block (the voxel order of a VTC data
// section and of a host map buffer). An owning volume allocates (zero-filled) and frees
// its block; a view indexes a block someone else owns and never frees it. Copying an
// owning volume copies the values; copying a view gives another view of the same block.
// Moving leaves the source an empty owning volume.
struct FloatVolume {
    int32_t dimZ = 0;
    int32_t dimY = 0;
    int32_t dimX = 0;
    bool ownsStorage = true;

    FloatVolume() = default;
    FloatVolume(int32_t dimZ_, int32_t dimY_, int32_t dimX_);
    // A view over a borrowed block of dimZ * dimY * dimX values.
    static FloatVolume view(float* block, int32_t dimZ_, int32_t dimY_, int32_t dimX_);

    FloatVolume(const FloatVolume&) = default;
    FloatVolume& operator=(const FloatVolume&) = default;
    FloatVolume(FloatVolume&& other) noexcept : FloatVolume() { swap(other); }
    FloatVolume& operator=(FloatVolume&& other) noexcept {
        FloatVolume(std::move(other)).swap(*this);
        return *this;
    }
    ~FloatVolume() = default;

    size_t size() const {
        return static_cast<size_t>(dimZ) * static_cast<size_t>(dimY) * static_cast<size_t>(dimX);
    }
    // The owned block is looked up on every access, never remembered, so that a copy
    // does not go on writing to its original's block.
    float* data() { return ownsStorage ? storage_.data() : borrowed_; }
    const float* data() const { return ownsStorage ? storage_.data() : borrowed_; }
    float& operator()(int32_t z, int32_t y, int32_t x) { return data()[offset(z, y, x)]; }
    float operator()(int32_t z, int32_t y, int32_t x) const { return data()[offset(z, y, x)]; }
    size_t offset(int32_t z, int32_t y, int32_t x) const {
        return (static_cast<size_t>(z) * static_cast<size_t>(dimY) + static_cast<size_t>(y)) *
                   static_cast<size_t>(dimX) +
               static_cast<size_t>(x);
    }
    bool sameShape(const FloatVolume& other) const {
        return dimZ == other.dimZ && dimY == other.dimY && dimX == other.dimX;
    }

private:
    void swap(FloatVolume& other) noexcept;

    std::vector<float, LargeBufferAllocator<float>> storage_;  // an owning volume's block
    float* borrowed_ = nullptr;                                // a view's block
};

// The three per-voxel influence measures of one pass, all of the VTC grid size,
// zero at creation. The three are views into one block (one allocation that is
// large enough for large pages); not copyable, since copies would share it.
struct MeasureVolumes {
    FloatVolume ref2vox;
    FloatVolume vox2ref;
    FloatVolume inst;

    MeasureVolumes() = default;
    MeasureVolumes(int32_t dimZ, int32_t dimY, int32_t dimX);
    MeasureVolumes(const MeasureVolumes&) = delete;
    MeasureVolumes& operator=(const MeasureVolumes&) = delete;
    MeasureVolumes(MeasureVolumes&&) = default;
    MeasureVolumes& operator=(MeasureVolumes&&) = default;

private:
    ZeroedLargeArray<float> block_;
};

// ---------------------------------------------------------------------------------------
// Element-wise kernels on the block rows [r0, r1), columns [c0, c1) of the target; a
// source block starts at (R0, C0) and has the same size.
void fillBlock(Matrix& m, int32_t r0, int32_t r1, int32_t c0, int32_t c1, float value);
void scaleBlock(Matrix& m, int32_t r0, int32_t r1, int32_t c0, int32_t c1, float factor);
void copyBlock(Matrix& dst, int32_t r0, int32_t r1, int32_t c0, int32_t c1, const Matrix& src,
               int32_t R0, int32_t C0);
// Zero the whole matrix, then put 1 on the leading diagonal (min(rows, cols) elements).
void setIdentity(Matrix& m);

// Product kernels.
// P[R0 + r - a0][C0 + s - b0] := sum over k in [k0, k1) of A[r][k] * B[s][k + (bk0 - k0)]
// for r in [a0, a1), s in [b0, b1). The target is overwritten (an empty k range gives 0).
// With bk0 = k0 - L this is the lag-L cross-product of two multi-row series.
void crossProduct(const Matrix& a, int32_t a0, int32_t a1, int32_t k0, int32_t k1,
                  const Matrix& b, int32_t b0, int32_t b1, int32_t bk0, Matrix& p, int32_t R0,
                  int32_t C0);
// For square n x n matrices (n = P's row count), each over its own bases:
// P := P + A * B^T and P := P - A * B^T, one product at a time into P's element.
void addProductTransposed(Matrix& p, const Matrix& a, const Matrix& b);
void subtractProductTransposed(Matrix& p, const Matrix& a, const Matrix& b);
// In-place products through a caller's scratch matrix of P's size:
// P := P * L^T, P := P * L (L lower-triangular of order n), P := P * B (B square).
void multiplyByTriangularTransposed(Matrix& p, const TriangularMatrix& l, Matrix& scratch);
void multiplyByTriangular(Matrix& p, const TriangularMatrix& l, Matrix& scratch);
void multiplyInPlace(Matrix& p, const Matrix& b, Matrix& scratch);

// Factorisation kernels.
// A = L * L^T over the rows and columns [lo, hi) of the symmetric A, reading only the
// diagonal and the part above it; the factor fills L from its own first row and column.
// False when a pivot is not a positive finite number (L then partly written).
bool cholesky(const Matrix& a, int32_t lo, int32_t hi, TriangularMatrix& l);
// inv := L^-1 (same order).
void invertTriangular(const TriangularMatrix& l, TriangularMatrix& inv);
// Product of L's diagonal over its rows [lo, hi), from 1 in ascending order: for
// L = cholesky(A) the square root of det(A).
float choleskyDiagonalProduct(const TriangularMatrix& l, int32_t lo, int32_t hi);

// Series kernels.
// Each row of A over [c0, c1) with its least-squares straight line removed, written to
// row R0 + r - r0 of D from column C0 on. A is not changed (D may be A itself).
void detrendRows(const Matrix& a, int32_t r0, int32_t r1, int32_t c0, int32_t c1, Matrix& d,
                 int32_t R0, int32_t C0);
// Fills the block with independent standard normal deviates, drawn from `generator`
// after seeding it with `seed` (it is left where the fill ends), so that several series
// can be drawn at once, each on a generator of its own.
void fillStandardNormal(Matrix& m, int32_t r0, int32_t r1, int32_t c0, int32_t c1, uint32_t seed,
                        RandomState& generator);

}  // namespace ldi
