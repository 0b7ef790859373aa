// Confound regression as a run is read: every voxel's cleaned time course
// against the normal equations solved here, n/a values filled with the
// column's mean, and the confounds that cannot be fitted refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

#include "analysis/run_set.h"
#include "analysis_test_support.h"
#include "formats/confounds.h"
#include "stats/confound_regression.h"

using namespace ldi;
using namespace analysis_test;

TEST(ConfoundRegression, MatchesTheNormalEquationsAndFillsNaWithTheColumnMean) {
    TestFolder folder;
    const int T = 40, first = 3, voxels = NX * NY * NZ;
    std::mt19937 random(11);
    std::normal_distribution<double> normal;
    std::vector<std::vector<double>> columns(2, std::vector<double>(T));
    for (int t = 0; t < T; ++t) {
        columns[0][static_cast<std::size_t>(t)] = std::sin(0.3 * t) + 0.2 * normal(random);
        columns[1][static_cast<std::size_t>(t)] = 0.05 * t + 0.3 * normal(random);
    }
    std::string table = "a\tb\tunused\n";
    for (int t = 0; t < T; ++t)
        table += (t == first ? std::string("n/a") : std::to_string(columns[0][static_cast<std::size_t>(t)])) + "\t" +
                 std::to_string(columns[1][static_cast<std::size_t>(t)]) + "\t7\n";
    std::ofstream(folder / "confounds.tsv", std::ios::binary) << table;
    std::vector<std::vector<float>> run(T, std::vector<float>(static_cast<std::size_t>(voxels)));
    for (int t = 0; t < T; ++t)
        for (int v = 0; v < voxels; ++v)
            run[static_cast<std::size_t>(t)][static_cast<std::size_t>(v)] = static_cast<float>(
                50.0 + v + (v % 3) * columns[0][static_cast<std::size_t>(t)] - 2.0 * columns[1][static_cast<std::size_t>(t)] +
                normal(random));
    const NiftiHeader grid = testGrid();
    writeRun(folder / "run.nii", grid, run);

    ConfoundTable confounds;
    std::string problem;
    ASSERT_TRUE(readConfounds((folder / "confounds.tsv").string(), {"a", "b"}, first, confounds, problem)) << problem;
    ASSERT_EQ(confounds.names, (std::vector<std::string>{"a", "b"}));
    // The table's text, as read: the n/a filled with the mean of the rest from `first` on.
    std::vector<std::vector<double>> read(2, std::vector<double>(T));
    {
        std::istringstream in(table);
        std::string line;
        std::getline(in, line);
        for (int t = 0; std::getline(in, line); ++t) {
            std::istringstream fields(line);
            std::string a, b;
            std::getline(fields, a, '\t');
            std::getline(fields, b, '\t');
            read[0][static_cast<std::size_t>(t)] = a == "n/a" ? std::nan("") : std::stod(a);
            read[1][static_cast<std::size_t>(t)] = std::stod(b);
        }
        double sum = 0.0;
        for (int t = first; t < T; ++t)
            if (t != first) sum += read[0][static_cast<std::size_t>(t)];
        read[0][first] = sum / (T - first - 1);
    }
    EXPECT_NEAR(confounds.columns[0][first], read[0][first], 1e-9);
    // Regressed as it is read, with a budget that sends it to the temporary
    // file (read twice), and with one that holds it (kept from the fit's
    // reading for the load): the same values.
    std::vector<std::vector<float>> result;
    for (const bool spill : {true, false}) {
        NiftiReader reader;
        ASSERT_TRUE(reader.open((folder / "run.nii").string(), problem)) << problem;
        NiftiSliceSource cleaned;
        const SourceBudgets budgets{spill ? 0 : int64_t{64} << 20, 1 << 12};
        ASSERT_TRUE(loadRegressedRun(reader, confounds, first, folder.path().string(), budgets, 2, nullptr, cleaned,
                                     problem))
            << problem;
        EXPECT_EQ(cleaned.spilled(), spill);
        ASSERT_EQ(cleaned.numVolumes(), T);
        std::vector<std::vector<float>> values(T, std::vector<float>(static_cast<std::size_t>(voxels)));
        SliceValues slice;
        cleaned.allocateSlice(slice);
        for (int z = 0; z < NZ; ++z) {
            ASSERT_TRUE(cleaned.readSlice(z, slice));
            for (int v = 0; v < NX * NY; ++v)
                for (int t = 0; t < T; ++t)
                    values[static_cast<std::size_t>(t)][static_cast<std::size_t>(z * NX * NY + v)] =
                        slice.floats[v * T + t];
        }
        // Every voxel keeps a varying time course.
        EXPECT_EQ(std::count(cleaned.usable().begin(), cleaned.usable().end(), uint8_t{1}), voxels);
        if (spill) result = values;
        else EXPECT_EQ(values, result) << "held and kept, not as spilled";
    }

    // Independently: X = [1 a b] over the volumes from `first` on, beta from
    // X'X beta = X'y by Gaussian elimination, residual plus the mean of y.
    const int n = T - first;
    for (int v = 0; v < voxels; v += 7) {
        double xtx[3][4] = {};
        for (int t = first; t < T; ++t) {
            const double x[3] = {1.0, read[0][static_cast<std::size_t>(t)], read[1][static_cast<std::size_t>(t)]};
            const double y = run[static_cast<std::size_t>(t)][static_cast<std::size_t>(v)];
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) xtx[i][j] += x[i] * x[j];
                xtx[i][3] += x[i] * y;
            }
        }
        for (int i = 0; i < 3; ++i)
            for (int k = i + 1; k < 3; ++k) {
                const double factor = xtx[k][i] / xtx[i][i];
                for (int j = i; j < 4; ++j) xtx[k][j] -= factor * xtx[i][j];
            }
        double beta[3];
        for (int i = 2; i >= 0; --i) {
            double rest = xtx[i][3];
            for (int j = i + 1; j < 3; ++j) rest -= xtx[i][j] * beta[j];
            beta[i] = rest / xtx[i][i];
        }
        double mean = 0.0;
        for (int t = first; t < T; ++t) mean += run[static_cast<std::size_t>(t)][static_cast<std::size_t>(v)];
        mean /= n;
        for (int t = 0; t < T; ++t) {
            const double y = run[static_cast<std::size_t>(t)][static_cast<std::size_t>(v)];
            const double expected = t < first ? y
                                              : y - beta[0] - beta[1] * read[0][static_cast<std::size_t>(t)] -
                                                    beta[2] * read[1][static_cast<std::size_t>(t)] + mean;
            EXPECT_NEAR(result[static_cast<std::size_t>(t)][static_cast<std::size_t>(v)], expected, 2e-4)
                << "voxel " << v << " volume " << t;
        }
    }

    // A pattern matching nothing, and a column that repeats another, refused.
    EXPECT_FALSE(readConfounds((folder / "confounds.tsv").string(), {"rot_*"}, 0, confounds, problem));
    EXPECT_NE(problem.find("no column matches --confounds rot_* (the columns: a, b, unused)"), std::string::npos)
        << problem;
    ASSERT_TRUE(readConfounds((folder / "confounds.tsv").string(), {"unused", "a"}, 0, confounds, problem));
    ConfoundBasis basis;
    EXPECT_FALSE(buildConfoundBasis(confounds.columns, confounds.names, T, 0, basis, problem));
    EXPECT_NE(problem.find("the confound unused is constant"), std::string::npos) << problem;
    ASSERT_TRUE(readConfounds((folder / "confounds.tsv").string(), {"a", "b"}, 0, confounds, problem));
    EXPECT_FALSE(buildConfoundBasis(confounds.columns, confounds.names, T + 1, 0, basis, problem));
    EXPECT_NE(problem.find("the confounds table has 40 rows, the run 41 volumes"), std::string::npos) << problem;
}

