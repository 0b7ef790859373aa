// Small NIfTI runs and masks for the analysis tests, on grids with affines
// chosen here, and a folder of their own for each test.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/analysis_request.h"
#include "analysis/parameters.h"
#include "formats/nifti_image.h"

namespace ldi {

namespace analysis_test {

namespace fs = std::filesystem;

constexpr int NX = 6, NY = 5, NZ = 4, VOXELS = NX * NY * NZ;

// A grid of `voxel` mm voxels whose world origin lies off the grid's corner.
inline ldi::NiftiHeader testGrid(double voxel = 3.0) {
    ldi::NiftiHeader grid;
    grid.version = 1;
    grid.rank = 3;
    grid.dim = {3, NX, NY, NZ, 1, 1, 1, 1};
    grid.pixdim = {1.0, voxel, voxel, voxel, 0, 0, 0, 0};
    grid.xyztUnits = 2;  // mm
    grid.sformCode = 4;
    grid.srow = {{{voxel, 0, 0, -9}, {0, voxel, 0, -6}, {0, 0, voxel, -3}}};
    return grid;
}

inline int voxelIndex(int x, int y, int z) { return (z * NY + y) * NX + x; }

// An uncompressed float32 run: data[t][voxel].
inline void writeRun(const fs::path& path, const ldi::NiftiHeader& grid,
                     const std::vector<std::vector<float>>& data, double tr = 2.0) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << ldi::encodeNiftiRunHeader(grid, static_cast<int64_t>(data.size()), tr, "test run");
    for (const auto& volume : data) out.write(reinterpret_cast<const char*>(volume.data()), volume.size() * 4);
}

inline void writeMask(const fs::path& path, const ldi::NiftiHeader& grid, const std::vector<float>& values) {
    std::string problem;
    const std::string image = ldi::encodeNiftiMap(grid, values, "mask", problem);
    ASSERT_FALSE(image.empty()) << problem;
    std::ofstream(path, std::ios::binary) << image;
}

// Noise about 100 in every voxel, a driver shared by the voxels x < 2 that
// the voxels x = 3 follow one volume later.
inline std::vector<std::vector<float>> coupledRun(unsigned seed, int volumes = 80) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal;
    std::vector<double> driver(static_cast<std::size_t>(volumes));
    double previous = 0.0;
    for (double& d : driver) d = previous = 0.5 * previous + normal(random);
    std::vector<std::vector<float>> data(static_cast<std::size_t>(volumes), std::vector<float>(VOXELS));
    for (int t = 0; t < volumes; ++t)
        for (int v = 0; v < VOXELS; ++v) {
            double value = 100.0 + normal(random);
            if (v % NX < 2) value += 2.0 * driver[static_cast<std::size_t>(t)];
            if (v % NX == 3 && t > 0) value += 2.0 * driver[static_cast<std::size_t>(t - 1)];
            data[static_cast<std::size_t>(t)][static_cast<std::size_t>(v)] = static_cast<float>(value);
        }
    return data;
}

// A folder removed after a test that passed.
class TestFolder {
public:
    TestFolder() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() /
                ("ldi_analysis_" + std::string(test->test_suite_name()) + "_" + test->name() + "_" +
                 std::to_string(::getpid()));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TestFolder() {
        if (!::testing::Test::HasFailure()) fs::remove_all(path_);
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A request with 20 surrogates, seed 3 and two threads, its maps going to
// the folder's "out".
inline ldi::AnalysisRequest smallRequest(const TestFolder& folder) {
    ldi::AnalysisRequest request;
    ldi::ParameterOptions options;
    options.surrogates = 20;
    std::string problem;
    EXPECT_TRUE(ldi::readAnalysisParameters(options, request.parameters, request.order, problem)) << problem;
    request.rngSeed = 3;
    request.threads = 2;
    request.outputFolder = (folder / "out").string();
    return request;
}

}  // namespace analysis_test

}  // namespace ldi
