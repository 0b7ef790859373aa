// The comparison that judges the Windows build's results against the Linux
// build's: it must let last-bit differences through and catch everything else.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "compare_results.h"

using namespace ldi;

using ldi::LdiFile;
using ldi::LdiMap;
using ldi_windows_check::closeEnough;
using ldi_windows_check::compareResults;

namespace {

LdiFile twoMaps() {
    LdiFile file;
    file.geometry.dimX = 2;
    file.geometry.dimY = 2;
    file.geometry.dimZ = 1;
    file.geometry.resolution = 3;
    file.levelLabels = {"thres q=0.010", "thres q=0.050"};
    for (int m = 0; m < 2; ++m) {
        LdiMap map;
        map.name = m == 0 ? "Task: Ref2Vox" : "Task: dLDI";
        map.mapKind = 101;
        map.lowerThreshold = 2.0f;
        map.upperThreshold = 6.0f;
        map.fdrThresholds = {3.0f, 2.0f};
        map.voxels = {0.0f, 1.5f, 2.5f, m == 0 ? 3.5f : -3.5f};
        file.maps.push_back(map);
    }
    return file;
}

float nextUp(float value) { return std::nextafter(value, std::numeric_limits<float>::infinity()); }

}  // namespace

TEST(CompareResults, IdenticalSetsAgreeBitForBit) {
    const auto result = compareResults(twoMaps(), twoMaps(), 1e-6);
    EXPECT_TRUE(result.agree);
    EXPECT_EQ(result.numbersNotIdentical, 0);
    EXPECT_EQ(result.numbersCompared, 2 * (2 + 2 + 4));
}

TEST(CompareResults, LastBitDifferencesAgreeAndAreCounted) {
    LdiFile actual = twoMaps();
    actual.maps[0].voxels[1] = nextUp(actual.maps[0].voxels[1]);
    actual.maps[1].fdrThresholds[1] = nextUp(actual.maps[1].fdrThresholds[1]);
    const auto result = compareResults(twoMaps(), actual, 1e-6);
    EXPECT_TRUE(result.agree);
    EXPECT_EQ(result.numbersNotIdentical, 2);
    EXPECT_GT(result.largestRelative, 0.0);
    EXPECT_LT(result.largestRelative, 1e-6);
}

TEST(CompareResults, AVoxelBeyondTheToleranceDiffers) {
    LdiFile actual = twoMaps();
    actual.maps[1].voxels[2] = 2.5f * (1.0f + 4e-6f);
    const auto result = compareResults(twoMaps(), actual, 1e-6);
    EXPECT_FALSE(result.agree);
    ASSERT_FALSE(result.problems.empty());
    EXPECT_NE(result.problems[0].find("voxel 2"), std::string::npos) << result.problems[0];
}

TEST(CompareResults, AThresholdBeyondTheToleranceDiffers) {
    LdiFile actual = twoMaps();
    actual.maps[0].upperThreshold = 6.001f;
    EXPECT_FALSE(compareResults(twoMaps(), actual, 1e-6).agree);
}

TEST(CompareResults, AVoxelThatCrossesItsThresholdChangesTheCount) {
    // Within the tolerance as a number, but one voxel more passes q = 0.01.
    LdiFile actual = twoMaps();
    actual.maps[0].fdrThresholds[0] = 3.5f;
    actual.maps[0].voxels[3] = std::nextafter(3.5f, 0.0f);
    LdiFile expected = twoMaps();
    expected.maps[0].fdrThresholds[0] = 3.5f;
    const auto result = compareResults(expected, actual, 1e-6);
    EXPECT_FALSE(result.agree);
    ASSERT_FALSE(result.problems.empty());
    EXPECT_NE(result.problems[0].find("voxels passing"), std::string::npos) << result.problems[0];
}

TEST(CompareResults, NamesLevelsAndGridMustMatchExactly) {
    LdiFile renamed = twoMaps();
    renamed.maps[1].name = "Task: dLDI RC";
    EXPECT_FALSE(compareResults(twoMaps(), renamed, 1e-6).agree);
    LdiFile relabelled = twoMaps();
    relabelled.levelLabels[0] = "thres q=0.020";
    EXPECT_FALSE(compareResults(twoMaps(), relabelled, 1e-6).agree);
    LdiFile moved = twoMaps();
    moved.geometry.xStart = 3;
    EXPECT_FALSE(compareResults(twoMaps(), moved, 1e-6).agree);
    LdiFile fewer = twoMaps();
    fewer.maps.pop_back();
    EXPECT_FALSE(compareResults(twoMaps(), fewer, 1e-6).agree);
}

TEST(CompareResults, NotANumberAgreesOnlyWithItself) {
    double relative = 0.0;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(closeEnough(nan, nan, 1e-6, relative));
    EXPECT_FALSE(closeEnough(nan, 1.0f, 1e-6, relative));
    EXPECT_FALSE(closeEnough(1.0f, nan, 1e-6, relative));
    EXPECT_TRUE(closeEnough(0.0f, -0.0f, 1e-6, relative));
    EXPECT_FALSE(closeEnough(0.0f, 1e-30f, 1e-6, relative));
}

TEST(CompareResults, ADifferenceMapIsJudgedAgainstItsLargestValue) {
    // dLDI near 0 is the difference of two close measures: their last-bit
    // rounding is large relative to it, but not relative to the map.
    LdiFile expected = twoMaps();
    expected.maps[1].voxels = {0.0f, 1e-4f, 2.5f, -3.5f};
    LdiFile actual = expected;
    actual.maps[1].voxels[1] = 1.000001e-4f + 3.0e-7f;  // 3e-3 relative to itself, 1e-7 to 3.5
    const auto result = compareResults(expected, actual, 1e-6);
    EXPECT_TRUE(result.agree) << (result.problems.empty() ? "" : result.problems[0]);
    actual.maps[1].voxels[1] = 1e-4f + 1e-5f;  // 3e-6 relative to 3.5
    EXPECT_FALSE(compareResults(expected, actual, 1e-6).agree);
}
