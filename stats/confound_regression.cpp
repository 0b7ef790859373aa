#include "stats/confound_regression.h"

#include <algorithm>
#include <cmath>

namespace ldi {

bool buildConfoundBasis(const std::vector<std::vector<double>>& columns, const std::vector<std::string>& names,
                        int32_t volumes, int32_t first, ConfoundBasis& basis, std::string& problem) {
    basis = ConfoundBasis();
    basis.first = first;
    basis.volumes = volumes;
    const std::size_t length = static_cast<std::size_t>(volumes - first);
    for (const std::vector<double>& column : columns)
        if (column.size() != static_cast<std::size_t>(volumes)) {
            problem = "the confounds table has " + std::to_string(column.size()) + " rows, the run " +
                      std::to_string(volumes) + " volumes";
            return false;
        }
    if (columns.size() + 2 > length) {
        problem = std::to_string(columns.size()) + " confounds leave no degrees of freedom in " +
                  std::to_string(length) + " volumes";
        return false;
    }
    // Modified Gram-Schmidt, twice over for accuracy: the constant, then each
    // column in turn. A column that keeps almost nothing of its own length is
    // constant or a combination of the ones before it.
    for (std::size_t k = 0; k <= columns.size(); ++k) {
        std::vector<double> v(length);
        for (std::size_t t = 0; t < length; ++t) v[t] = k == 0 ? 1.0 : columns[k - 1][t + static_cast<std::size_t>(first)];
        double original = 0.0;
        for (const double x : v) original += x * x;
        for (int pass = 0; pass < 2; ++pass)
            for (const auto& q : basis.vectors) {
                double dot = 0.0;
                for (std::size_t t = 0; t < length; ++t) dot += q[t] * v[t];
                for (std::size_t t = 0; t < length; ++t) v[t] -= dot * q[t];
            }
        double norm = 0.0;
        for (const double x : v) norm += x * x;
        if (!(norm > 1e-10 * original) || !(original > 0.0)) {
            const std::string name = k - 1 < names.size() ? names[k - 1] : "column " + std::to_string(k);
            problem = "the confound " + name +
                      " is constant or a combination of the other confounds over the volumes analysed";
            return false;
        }
        norm = std::sqrt(norm);
        for (double& x : v) x /= norm;
        basis.vectors.push_back(std::move(v));
    }
    return true;
}

void addToConfoundCoefficients(const ConfoundBasis& basis, int32_t t, const float* volume, std::size_t voxels,
                               std::vector<double>& coefficients) {
    if (t < basis.first) return;
    coefficients.resize(basis.vectors.size() * voxels, 0.0);
    for (std::size_t j = 0; j < basis.vectors.size(); ++j) {
        const double q = basis.vectors[j][static_cast<std::size_t>(t - basis.first)];
        double* c = coefficients.data() + j * voxels;
        for (std::size_t v = 0; v < voxels; ++v) c[v] += q * static_cast<double>(volume[v]);
    }
}

void removeConfounds(const ConfoundBasis& basis, int32_t t, const std::vector<double>& coefficients, float* volume,
                     std::size_t voxels) {
    if (t < basis.first) return;
    // From the first confound on: the constant's share is the voxel's mean,
    // which it keeps. The residuals are taken a tile of voxels at a time,
    // confound after confound as before, without a copy of the volume made
    // on the heap for every volume of the run.
    constexpr std::size_t kTile = 512;
    const std::size_t row = static_cast<std::size_t>(t - basis.first);
    const std::size_t count = basis.vectors.size();
    double residual[kTile];
    for (std::size_t start = 0; start < voxels; start += kTile) {
        const std::size_t n = std::min(kTile, voxels - start);
        for (std::size_t v = 0; v < n; ++v) residual[v] = volume[start + v];
        for (std::size_t j = 1; j < count; ++j) {
            const double q = basis.vectors[j][row];
            const double* c = coefficients.data() + j * voxels + start;
            for (std::size_t v = 0; v < n; ++v) residual[v] -= q * c[v];
        }
        for (std::size_t v = 0; v < n; ++v) volume[start + v] = static_cast<float>(residual[v]);
    }
}

}  // namespace ldi
