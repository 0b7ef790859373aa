// Nuisance regression of a run before the analysis: the chosen columns of an
// fMRIPrep confounds table (motion, CompCor, ...) fitted by least squares to
// every voxel's time course together with a constant, and the fit removed,
// each voxel keeping its own mean. The seeds' references are means of voxels,
// so they come out regressed the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ldi_host {

struct ConfoundTable {
    std::vector<std::string> names;            // in the table's order
    std::vector<std::vector<double>> columns;  // per name, one value a volume
    std::vector<int32_t> missing;              // per name: n/a values that were filled
};

// Reads the columns of a tab-separated table with a header row that the
// patterns choose: a column name, or a shell pattern ("a_comp_cor_*", "trans_?").
// A pattern that matches nothing is an error naming the columns there are.
// n/a values (fMRIPrep leaves the first row of derivatives and of
// framewise_displacement empty) are filled after `first` rows are dropped:
// with the mean of the column's other values from `first` on, so that they
// pull the fit neither way. False with a message naming the file and line.
bool readConfounds(const std::string& path, const std::vector<std::string>& patterns, int32_t first,
                   ConfoundTable& table, std::string& problem);

// The least-squares fit of a constant and the confounds over the volumes
// [first, volumes), as an orthonormal basis of their span.
class ConfoundFit {
public:
    // False with a message when the table has another length than the run, or
    // a column is constant or a combination of the others over those volumes.
    bool build(const ConfoundTable& table, int32_t volumes, int32_t first, std::string& problem);
    // The residual of one time course (volumes values) plus its mean; the
    // volumes before `first` are left as they are.
    void clean(double* values) const;

    int32_t first() const { return first_; }
    int32_t volumes() const { return volumes_; }
    int32_t basisSize() const { return static_cast<int32_t>(basis_.size()); }
    // Basis vector j at volume t (t from `first`).
    double basis(int32_t j, int32_t t) const { return basis_[static_cast<std::size_t>(j)][static_cast<std::size_t>(t - first_)]; }

private:
    int32_t first_ = 0;
    int32_t volumes_ = 0;
    std::vector<std::vector<double>> basis_;  // the constant's first
};

// Writes the regressed run of `boldPath` to `outPath` (an uncompressed NIfTI
// file created exclusively, float32, repetition time `tr` in its header),
// reading the run twice so that memory holds one volume and the fitted
// coefficients, not the run. False with a message naming the file.
bool writeRegressedRun(const std::string& boldPath, const ConfoundTable& table, int32_t first, double tr,
                       const std::string& outPath, std::string& problem);

}  // namespace ldi_host
