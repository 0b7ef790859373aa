// The confounds tables of fMRIPrep (motion, CompCor, ...): the columns chosen
// by name or pattern, n/a values filled. The regression itself is in
// stats/confound_regression.h; the seeds' references are means of regressed
// voxels, so they come out regressed the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ldi {

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

// fMRIPrep marks each volume it found before the steady state by a column
// non_steady_state_outlierNN holding 1 in that volume's row: the number of
// leading volumes so marked, 0 when the table has no such column. False
// with a message when the table cannot be read.
bool nonSteadyStateColumns(const std::string& path, int32_t& leading, std::string& problem);

}  // namespace ldi
