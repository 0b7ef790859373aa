// Float VTC data holding NaN, infinities and values whose squares overflow,
// in the voxels and in the reference VOIs: every map and threshold handed to
// the host stays finite.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/synthetic_run.h"
#include "plugin/analysis_driver.h"

using namespace ldi;

namespace {

const float nan = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

float busy(int x, int y, int z, int t) { return 1000.0f + 50.0f * testNoise(x, y, z, t); }

// Hostile values scattered over a 4 x 4 x 3 grid; the voxels (0, 0, 0) and
// (1, 0, 0) stay clean for the reference VOI.
float hostile(int x, int y, int z, int t) {
    const int voxel = (z * 4 + y) * 4 + x;
    if (voxel < 2) return busy(x, y, z, t);
    switch (voxel % 9) {
        case 0: return t == 3 ? nan : busy(x, y, z, t);                 // one NaN
        case 1: return t == 0 ? 2000.0f : nan;                           // NaN after a valid first value
        case 2: return t % 5 == 0 ? inf : busy(x, y, z, t);              // recurring +inf
        case 3: return t == 11 ? -inf : busy(x, y, z, t);                // one -inf
        case 4: return 3.0e38f * (t % 2 == 0 ? 1.0f : -1.0f);            // squares overflow
        case 5: return 1.0e20f + 1.0e18f * testNoise(x, y, z, t);        // lag products overflow
        case 6: return t == 0 ? 1000.0f : 1.0e-40f * float(t % 3);       // subnormal after a jump
        default: return busy(x, y, z, t);
    }
}

class NonFiniteData : public SyntheticRunTest {
protected:
    void SetUp() override {
        SyntheticRunTest::SetUp();
        VtcWriterOptions options;
        options.numVolumes = 30;
        options.xEnd = options.yEnd = 12;
        options.zEnd = 9;
        options.value = hostile;
        file = writeVtc("hostile.vtc", options);
        addEntry(addCondition(setup, "A"), file, file, {{2, 30}});
        addEntry(addCondition(setup, "B"), file, file, {{1, 12}, {15, 30}});
    }

    void expectEverySavedValueFinite() {
        ASSERT_FALSE(host().saves.empty());
        for (const FakeSavedMapSet& saved : host().saves) {
            for (const FakeMap& map : saved.maps) {
                SCOPED_TRACE(saved.fileName + " " + map.header.name);
                for (float value : map.voxels) ASSERT_TRUE(std::isfinite(value));
                for (float threshold : map.fdrThresholds) ASSERT_TRUE(std::isfinite(threshold));
                EXPECT_TRUE(std::isfinite(map.header.lowerThreshold));
                EXPECT_TRUE(std::isfinite(map.header.upperThreshold));
            }
        }
    }

    std::string file;
};

TEST_F(NonFiniteData, HostileVoxelsLeaveEveryMapFinite) {
    addVoi("Clean", 0, {{0, 0, 0}, {1, 0, 0}});
    ASSERT_EQ(runAnalysis(context, setup, errors), 1) << errors.str();
    ASSERT_EQ(host().saves.size(), 1u);
    EXPECT_EQ(host().saves[0].maps.size(), 12u);
    expectEverySavedValueFinite();
}

TEST_F(NonFiniteData, ReferenceVoisOverHostileVoxelsStillGiveFiniteMaps) {
    // Each VOI takes in one hostile voxel beside a clean one, so its
    // reference time course carries that voxel's values.
    const std::vector<std::vector<int32_t>> hostileVoxels = {{1, 2, 0}, {2, 2, 0}, {3, 2, 0}, {0, 3, 0},
                                                             {1, 3, 0}, {2, 3, 0}, {3, 3, 0}};
    int32_t index = 0;
    for (const auto& voxel : hostileVoxels) {
        addVoi("V" + std::to_string(index), index, {{0, 0, 0}, voxel});
        ++index;
    }
    ASSERT_EQ(runAnalysis(context, setup, errors), 1) << errors.str();
    EXPECT_EQ(host().saves.size(), hostileVoxels.size());
    expectEverySavedValueFinite();
}

}  // namespace
