// Seeds on a grid: the voxel centres of a sphere in world millimetres against
// lists made here from the affine, the boundary included; the seed texts of
// the command line; masks on another grid refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "analysis/seeds.h"
#include "analysis_test_support.h"

using namespace ldi;
using namespace analysis_test;

namespace {

// Voxels 2 x 3 x 4 mm, x running towards the left (a negative axis), an origin off the corner.
NiftiHeader anisotropicGrid() {
    NiftiHeader grid = testGrid();
    grid.pixdim = {1.0, 2.0, 3.0, 4.0, 0, 0, 0, 0};
    grid.srow = {{{-2.0, 0, 0, 7}, {0, 3.0, 0, -6}, {0, 0, 4.0, -8}}};
    return grid;
}

std::array<double, 3> worldOf(const NiftiHeader& grid, int i, int j, int k) {
    std::array<double, 3> world{};
    for (std::size_t r = 0; r < 3; ++r) world[r] = grid.srow[r][0] * i + grid.srow[r][1] * j + grid.srow[r][2] * k + grid.srow[r][3];
    return world;
}

}  // namespace

TEST(SphereSeeds, TheBoundaryIsInsideAndTheListMatchesTheAffine) {
    const NiftiHeader grid = anisotropicGrid();
    // Centred on voxel (2, 2, 1) with a radius of 3 mm: the neighbours along x
    // (2 mm) and along y (exactly 3 mm) are inside, those along z (4 mm) and
    // the diagonal ones (sqrt(13) mm) are not.
    const std::array<double, 3> centre = worldOf(grid, 2, 2, 1);
    std::vector<int64_t> voxels;
    std::string problem;
    ASSERT_TRUE(sphereVoxels(grid, {centre[0], centre[1], centre[2], 3.0}, "S", "run.nii", voxels, problem)) << problem;
    std::vector<int64_t> expected = {voxelIndex(2, 2, 1), voxelIndex(1, 2, 1), voxelIndex(3, 2, 1),
                                     voxelIndex(2, 1, 1), voxelIndex(2, 3, 1)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(voxels, expected);

    // Off-centre spheres of several radii against the distances computed here.
    for (const double radius : {2.5, 4.0, 5.0, 7.3}) {
        const std::array<double, 4> sphere = {1.5, 0.7, 2.2, radius};
        ASSERT_TRUE(sphereVoxels(grid, sphere, "S", "run.nii", voxels, problem)) << problem;
        std::vector<int64_t> near;
        for (int k = 0; k < NZ; ++k)
            for (int j = 0; j < NY; ++j)
                for (int i = 0; i < NX; ++i) {
                    const auto w = worldOf(grid, i, j, k);
                    const double d2 = (w[0] - sphere[0]) * (w[0] - sphere[0]) + (w[1] - sphere[1]) * (w[1] - sphere[1]) +
                                      (w[2] - sphere[2]) * (w[2] - sphere[2]);
                    if (d2 <= radius * radius + 1e-9) near.push_back(voxelIndex(i, j, k));
                }
        EXPECT_EQ(voxels, near) << "radius " << radius;
    }
}

TEST(SphereSeeds, CentresOffTheGridAndEmptySpheresAreRefused) {
    const NiftiHeader grid = anisotropicGrid();
    std::vector<int64_t> voxels;
    std::string problem;
    EXPECT_FALSE(sphereVoxels(grid, {500.0, 0.0, 0.0, 3.0}, "Far", "run.nii", voxels, problem));
    EXPECT_NE(problem.find("seed 'Far': the sphere's centre"), std::string::npos) << problem;
    EXPECT_NE(problem.find("outside the grid"), std::string::npos) << problem;
    // Between voxel centres, with a radius that reaches none of them.
    const auto a = worldOf(grid, 2, 2, 1);
    EXPECT_FALSE(sphereVoxels(grid, {a[0] - 1.0, a[1] + 1.5, a[2] + 2.0, 0.5}, "Small", "run.nii", voxels, problem));
    EXPECT_NE(problem.find("holds no voxel centre"), std::string::npos) << problem;
}

TEST(SeedTexts, SpheresMasksAndMistakes) {
    SeedRequest seed;
    std::string problem;
    ASSERT_TRUE(parseSeedText("PCC=0,-52,26,6", seed, problem)) << problem;
    EXPECT_EQ(seed.name, "PCC");
    EXPECT_EQ(seed.shape, SeedRequest::Shape::sphere);
    EXPECT_EQ(seed.sphere, (std::array<double, 4>{0.0, -52.0, 26.0, 6.0}));
    ASSERT_TRUE(parseSeedText("M1=masks/m1,left.nii.gz", seed, problem)) << problem;
    EXPECT_EQ(seed.shape, SeedRequest::Shape::maskFile);
    EXPECT_EQ(seed.maskPath, "masks/m1,left.nii.gz");
    for (const char* bad : {"PCC", "=1,2,3,4", "PCC=", "A=1,2,3", "A=1,2,3,4,5"}) {
        problem.clear();
        EXPECT_FALSE(parseSeedText(bad, seed, problem)) << bad;
        EXPECT_NE(problem.find("--seed"), std::string::npos) << problem;
    }
    // A radius that is no length is the library's to refuse, as for every door's spheres.
    ASSERT_TRUE(parseSeedText("A=1,2,3,-2", seed, problem)) << problem;
    EXPECT_EQ(seed.sphere[3], -2.0);
}

TEST(MaskSeeds, FlagsAndFilesGiveTheirNonzeroVoxelsOnTheRunsGridOnly) {
    TestFolder folder;
    const NiftiHeader grid = testGrid();
    std::vector<float> values(VOXELS, 0.0f);
    values[3] = 1.0f;
    values[17] = -2.0f;
    values[40] = std::nanf("");
    writeMask(folder / "mask.nii.gz", grid, values);
    SeedRequest seed;
    seed.name = "M";
    seed.maskPath = (folder / "mask.nii.gz").string();
    std::vector<int64_t> voxels;
    std::string problem;
    ASSERT_TRUE(seedVoxels(seed, grid, "run.nii", voxels, problem)) << problem;
    EXPECT_EQ(voxels, (std::vector<int64_t>{3, 17}));

    seed.shape = SeedRequest::Shape::maskFlags;
    seed.maskFlags.assign(VOXELS, 0);
    seed.maskFlags[50] = seed.maskFlags[8] = 1;
    ASSERT_TRUE(seedVoxels(seed, grid, "run.nii", voxels, problem)) << problem;
    EXPECT_EQ(voxels, (std::vector<int64_t>{8, 50}));
    seed.maskFlags.pop_back();
    EXPECT_FALSE(seedVoxels(seed, grid, "run.nii", voxels, problem));

    seed.shape = SeedRequest::Shape::maskFile;
    EXPECT_FALSE(seedVoxels(seed, testGrid(2.0), "run.nii", voxels, problem));
    EXPECT_NE(problem.find("is on another grid"), std::string::npos) << problem;
    writeMask(folder / "empty.nii.gz", grid, std::vector<float>(VOXELS, 0.0f));
    seed.maskPath = (folder / "empty.nii.gz").string();
    EXPECT_FALSE(seedVoxels(seed, grid, "run.nii", voxels, problem));
    EXPECT_NE(problem.find("holds no voxel"), std::string::npos) << problem;
}
