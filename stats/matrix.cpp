#include "stats/matrix.h"

#include <algorithm>

#include <cmath>
#include <utility>

#include "stats/random.h"

namespace ldi {

namespace {

// Spare elements before the block (positive column base) or after it (negative base),
// so that a row pointer, the row's first element minus colBase, stays inside the
// allocation.
size_t frontPad(int32_t colBase) { return colBase > 0 ? static_cast<size_t>(colBase) : 0; }
size_t backPad(int32_t colBase) {
    return colBase < 0 ? static_cast<size_t>(-static_cast<int64_t>(colBase)) : 0;
}

size_t elementCount(int32_t rows, int32_t cols) {
    if (rows <= 0 || cols <= 0) return 0;
    return static_cast<size_t>(rows) * static_cast<size_t>(cols);
}

size_t packedCount(int32_t order) {
    if (order <= 0) return 0;
    return static_cast<size_t>(order) * static_cast<size_t>(order + 1) / 2;
}

// Gives `storage` n values equal to `fill` between the spare elements of the column base
// (which are zero), and the indices of the first value and of the first row's pointer.
// With n = 0 nothing is allocated and both indices stay 0.
template <typename Storage>
void placeBlock(Storage& storage, size_t n, int32_t colBase, float fill, ptrdiff_t& first,
                ptrdiff_t& firstRow) {
    if (n == 0) return;
    const size_t front = frontPad(colBase);
    storage.assign(front + n + backPad(colBase), 0.0f);
    for (size_t i = 0; i < n; ++i) storage[front + i] = fill;
    first = static_cast<ptrdiff_t>(front);
    firstRow = static_cast<ptrdiff_t>(backPad(colBase));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Matrix

Matrix::Matrix(int32_t rows, int32_t cols, int32_t rowBase_, int32_t colBase_)
    : Matrix(rows, cols, rowBase_, colBase_, 0.0f) {}

Matrix::Matrix(int32_t rows, int32_t cols, int32_t rowBase_, int32_t colBase_, float fill)
    : rowCount(rows),
      colCount(cols),
      rowBase(rowBase_),
      colBase(colBase_),
      rowEnd(rowBase_ + rows),
      colEnd(colBase_ + cols) {
    placeBlock(storage_, elementCount(rows, cols), colBase, fill, first_, rowZero_);
    rowZero_ -= static_cast<ptrdiff_t>(rowBase) * colCount;
}

void Matrix::swap(Matrix& other) noexcept {
    std::swap(rowCount, other.rowCount);
    std::swap(colCount, other.colCount);
    std::swap(rowBase, other.rowBase);
    std::swap(colBase, other.colBase);
    std::swap(rowEnd, other.rowEnd);
    std::swap(colEnd, other.colEnd);
    storage_.swap(other.storage_);
    std::swap(first_, other.first_);
    std::swap(rowZero_, other.rowZero_);
}

// ---------------------------------------------------------------------------------------
// TriangularMatrix

TriangularMatrix::TriangularMatrix(int32_t order_, int32_t rowBase_, int32_t colBase_)
    : TriangularMatrix(order_, rowBase_, colBase_, 0.0f) {}

TriangularMatrix::TriangularMatrix(int32_t order_, int32_t rowBase_, int32_t colBase_,
                                   float fill)
    : order(order_), rowBase(rowBase_), colBase(colBase_), rowEnd(rowBase_ + order_) {
    placeBlock(storage_, packedCount(order_), colBase, fill, first_, origin_);
}

void TriangularMatrix::swap(TriangularMatrix& other) noexcept {
    std::swap(order, other.order);
    std::swap(rowBase, other.rowBase);
    std::swap(colBase, other.colBase);
    std::swap(rowEnd, other.rowEnd);
    storage_.swap(other.storage_);
    std::swap(first_, other.first_);
    std::swap(origin_, other.origin_);
}

// ---------------------------------------------------------------------------------------
// Lists and block arrays

MatrixList::MatrixList(int32_t count_, int32_t indexBase_, const Matrix& prototype)
    : count(count_ > 0 ? count_ : 0),
      indexBase(indexBase_),
      indexEnd(indexBase_ + (count_ > 0 ? count_ : 0)),
      elements(static_cast<size_t>(count_ > 0 ? count_ : 0), prototype) {}

TriangularMatrixList::TriangularMatrixList(int32_t count_, int32_t indexBase_,
                                           const TriangularMatrix& prototype)
    : count(count_ > 0 ? count_ : 0),
      indexBase(indexBase_),
      indexEnd(indexBase_ + (count_ > 0 ? count_ : 0)),
      elements(static_cast<size_t>(count_ > 0 ? count_ : 0), prototype) {}

BlockTriangularMatrix::BlockTriangularMatrix(int32_t rowCount_, int32_t rowBase_,
                                             int32_t colBase_, const Matrix& prototype)
    : rowCount(rowCount_ > 0 ? rowCount_ : 0),
      rowBase(rowBase_),
      colBase(colBase_),
      rowEnd(rowBase_ + (rowCount_ > 0 ? rowCount_ : 0)),
      blocks(packedCount(rowCount_), prototype) {}

// ---------------------------------------------------------------------------------------
// FloatVolume

FloatVolume::FloatVolume(int32_t dimZ_, int32_t dimY_, int32_t dimX_)
    : dimZ(dimZ_ > 0 ? dimZ_ : 0), dimY(dimY_ > 0 ? dimY_ : 0), dimX(dimX_ > 0 ? dimX_ : 0) {
    storage_.assign(size(), 0.0f);
}

FloatVolume FloatVolume::view(float* block, int32_t dimZ_, int32_t dimY_, int32_t dimX_) {
    FloatVolume v;
    v.dimZ = dimZ_ > 0 ? dimZ_ : 0;
    v.dimY = dimY_ > 0 ? dimY_ : 0;
    v.dimX = dimX_ > 0 ? dimX_ : 0;
    v.ownsStorage = false;
    v.borrowed_ = block;
    return v;
}

MeasureVolumes::MeasureVolumes(int32_t dimZ, int32_t dimY, int32_t dimX) {
    const FloatVolume shape = FloatVolume::view(nullptr, dimZ, dimY, dimX);
    const std::size_t count = shape.size();
    // Zero as it comes: the pass backs the pages of the voxels it writes, on its threads.
    block_ = makeZeroedLargeArray<float>(3 * count);
    ref2vox = FloatVolume::view(block_.get(), dimZ, dimY, dimX);
    vox2ref = FloatVolume::view(block_.get() + count, dimZ, dimY, dimX);
    inst = FloatVolume::view(block_.get() + 2 * count, dimZ, dimY, dimX);
}

void FloatVolume::swap(FloatVolume& other) noexcept {
    std::swap(dimZ, other.dimZ);
    std::swap(dimY, other.dimY);
    std::swap(dimX, other.dimX);
    std::swap(ownsStorage, other.ownsStorage);
    storage_.swap(other.storage_);
    std::swap(borrowed_, other.borrowed_);
}

// ---------------------------------------------------------------------------------------
// Element-wise kernels

void fillBlock(Matrix& m, int32_t r0, int32_t r1, int32_t c0, int32_t c1, float value) {
    if (r1 <= r0 || c1 <= c0) return;
    core::fill(m.at(r0, c0), m.stride(), r1 - r0, c1 - c0, value);
}

void scaleBlock(Matrix& m, int32_t r0, int32_t r1, int32_t c0, int32_t c1, float factor) {
    if (r1 <= r0 || c1 <= c0) return;
    core::scale(m.at(r0, c0), m.stride(), r1 - r0, c1 - c0, factor);
}

void copyBlock(Matrix& dst, int32_t r0, int32_t r1, int32_t c0, int32_t c1, const Matrix& src,
               int32_t R0, int32_t C0) {
    if (r1 <= r0 || c1 <= c0) return;
    core::copy(dst.at(r0, c0), dst.stride(), src.at(R0, C0), src.stride(), r1 - r0, c1 - c0);
}

void setIdentity(Matrix& m) {
    if (m.empty()) return;
    fillBlock(m, m.rowBase, m.rowEnd, m.colBase, m.colEnd, 0.0f);
    const int32_t n = m.rowCount < m.colCount ? m.rowCount : m.colCount;
    for (int32_t i = 0; i < n; ++i) m(m.rowBase + i, m.colBase + i) = 1.0f;
}

// ---------------------------------------------------------------------------------------
// Product kernels

void crossProduct(const Matrix& a, int32_t a0, int32_t a1, int32_t k0, int32_t k1,
                  const Matrix& b, int32_t b0, int32_t b1, int32_t bk0, Matrix& p, int32_t R0,
                  int32_t C0) {
    if (a1 <= a0 || b1 <= b0) return;
    const int32_t len = k1 > k0 ? k1 - k0 : 0;
    // With an empty k range the operands are not read at all (their pointers may lie
    // outside the matrices).
    const float* pa = len > 0 ? a.at(a0, k0) : nullptr;
    const float* pb = len > 0 ? b.at(b0, bk0) : nullptr;
    core::crossProduct(pa, a.stride(), a1 - a0, pb, b.stride(), b1 - b0, len, p.at(R0, C0),
                       p.stride());
}

void addProductTransposed(Matrix& p, const Matrix& a, const Matrix& b) {
    core::addProductTransposed(p.data(), p.stride(), a.data(), a.stride(), b.data(), b.stride(),
                               p.rowCount);
}

void subtractProductTransposed(Matrix& p, const Matrix& a, const Matrix& b) {
    core::subtractProductTransposed(p.data(), p.stride(), a.data(), a.stride(), b.data(),
                                    b.stride(), p.rowCount);
}

void multiplyByTriangularTransposed(Matrix& p, const TriangularMatrix& l, Matrix& scratch) {
    core::multiplyByTriangularTransposed(p.data(), p.stride(), l.data(), scratch.data(),
                                         scratch.stride(), l.order);
}

void multiplyByTriangular(Matrix& p, const TriangularMatrix& l, Matrix& scratch) {
    core::multiplyByTriangular(p.data(), p.stride(), l.data(), scratch.data(), scratch.stride(),
                               l.order);
}

void multiplyInPlace(Matrix& p, const Matrix& b, Matrix& scratch) {
    core::multiplyInPlace(p.data(), p.stride(), b.data(), b.stride(), scratch.data(),
                          scratch.stride(), p.rowCount);
}

// ---------------------------------------------------------------------------------------
// Factorisation kernels

bool cholesky(const Matrix& a, int32_t lo, int32_t hi, TriangularMatrix& l) {
    if (hi <= lo) return true;
    // Row i of the source pairs with column i + (colBase - rowBase).
    return core::cholesky(a.at(lo, lo + (a.colBase - a.rowBase)), a.stride(), hi - lo,
                          l.data());
}

void invertTriangular(const TriangularMatrix& l, TriangularMatrix& inv) {
    core::invertTriangular(l.data(), inv.data(), l.order);
}

float choleskyDiagonalProduct(const TriangularMatrix& l, int32_t lo, int32_t hi) {
    float d = 1.0f;
    for (int32_t i = lo; i < hi; ++i) d = d * l(i, l.colBase + (i - l.rowBase));
    return d;
}

// ---------------------------------------------------------------------------------------
// Series kernels

void detrendRows(const Matrix& a, int32_t r0, int32_t r1, int32_t c0, int32_t c1, Matrix& d,
                 int32_t R0, int32_t C0) {
    int32_t r = r0;
    // Rows go in pairs when the destination is another matrix; in place they go one by
    // one, so that a row is never read after another row's result overwrote it.
    if (&d != &a) {
        for (; r + 1 < r1; r += 2)
            core::detrendRowPair(a.at(r, c0), a.at(r + 1, c0), c1 - c0,
                                 d.at(R0 + (r - r0), C0), d.at(R0 + (r + 1 - r0), C0));
    }
    for (; r < r1; ++r) core::detrendRow(a.at(r, c0), c1 - c0, d.at(R0 + (r - r0), C0));
}

void fillStandardNormal(Matrix& m, int32_t r0, int32_t r1, int32_t c0, int32_t c1, uint32_t seed,
                        RandomState& rng) {
    seedRandom(rng, seed);
    for (int32_t r = r0; r < r1; ++r) {
        float* row = m.row(r);
        for (int32_t c = c0; c < c1; c += 2) {
            float u1, u2, s2;
            do {
                u1 = static_cast<float>(nextRandom(rng)) / 32767.0f * 2.0f - 1.0f;
                u2 = static_cast<float>(nextRandom(rng)) / 32767.0f * 2.0f - 1.0f;
                s2 = u2 * u2 + u1 * u1;
            } while (s2 >= 1.0f || s2 == 0.0f);
            const float f = std::sqrt(std::log(s2) * -2.0f / s2);
            row[c] = f * u1;
            if (c + 1 < c1) row[c + 1] = f * u2;
        }
    }
}

}  // namespace ldi
