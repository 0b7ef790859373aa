// A small synthetic run for the tests of the computation: VTC files written
// into a temporary folder, VOIs held in memory the way the host holds them,
// and a set-up and context prepared as the driver prepares them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/voi_time_course.h"
#include "plugin/analysis_context.h"
#include "plugin/run_seed.h"
#include "setup/analysis_setup.h"
#include "stats/matrix.h"
#include "stats/random.h"
#include "support/run_steps.h"
#include "support/fake_host.h"
#include "support/vtc_writer.h"

namespace ldi {

// Deterministic noise in [-1, 1) from a voxel and a volume: every voxel gets
// its own irregular series, the same in every run.
inline float testNoise(int x, int y, int z, int t, int salt = 0) {
    uint32_t h = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u ^
                 static_cast<uint32_t>(z) * 83492791u ^ static_cast<uint32_t>(t) * 2654435761u ^
                 static_cast<uint32_t>(salt) * 40503u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return static_cast<float>(h % 20000u) / 10000.0f - 1.0f;
}

// A volume's values as bit patterns, for comparisons to the bit.
inline std::vector<uint32_t> bitsOf(const FloatVolume& volume) {
    std::vector<uint32_t> bits(volume.size());
    std::memcpy(bits.data(), volume.data(), volume.size() * sizeof(float));
    return bits;
}

// The random seed of every synthetic run.
constexpr uint32_t kSyntheticRunSeed = 1700000000u;

// The fixture of a synthetic run: a fake host, a fixed random seed (for the
// steps and for whole runs of the driver), a temporary folder, a set-up with
// quiet defaults and a context.
class SyntheticRunTest : public FakeHostTest {
protected:
    void SetUp() override {
        FakeHostTest::SetUp();
        requestRunSeed(kSyntheticRunSeed);
        context.rngSeed = kSyntheticRunSeed;
        setup.parameters.autoRegressionOrder = 1;
        setup.parameters.numSurrogateSimulations = 10;
        setup.parameters.numDiscardedSimulatedTimePoints = 10;
        setup.parameters.showVerboseProgressLog = false;
        setup.outputPrefix = dir.path("P");
    }
    void TearDown() override {
        requestRunSeed(-1);
        requestThreadCount(0);
    }

    // Writes a VTC and takes its geometry into the set-up, as the dialogs do.
    std::string writeVtc(const std::string& name, const VtcWriterOptions& options) {
        const std::string file = dir.path(name);
        EXPECT_TRUE(writeTestVtc(file, options));
        setup.xStart = options.xStart;
        setup.xEnd = options.xEnd;
        setup.yStart = options.yStart;
        setup.yEnd = options.yEnd;
        setup.zStart = options.zStart;
        setup.zEnd = options.zEnd;
        setup.resolution = options.resolution;
        setup.maxVolumes = std::max(setup.maxVolumes, options.numVolumes);
        return file;
    }

    // A VOI made of the given grid voxels (resolution 3, box starting at 0:
    // anatomical coordinate 3 * index falls into grid index `index`).
    SelectedVoi addVoi(const std::string& name, int32_t hostIndex,
                       const std::vector<std::vector<int32_t>>& gridVoxels) {
        voxelStore.emplace_back();
        for (const auto& v : gridVoxels)
            for (int32_t c : v) voxelStore.back().push_back(3 * c);
        SelectedVoi voi;
        voi.name = name;
        voi.hostIndex = hostIndex;
        voi.voxelCount = static_cast<int32_t>(gridVoxels.size());
        voi.voxels = voxelStore.back().data();
        setup.vois.push_back(voi);
        return voi;
    }

    VtcEntry& addEntry(Condition& condition, const std::string& source, const std::string& target,
                       std::vector<Interval> intervals) {
        VtcEntry& entry = addVtcEntry(condition, source, target);
        entry.intervals = std::move(intervals);
        return entry;
    }

    // Preparation and surrogates, as the driver runs them first.
    void prepare() {
        ASSERT_EQ(prepareReferenceTimeCourses(context, setup, errors), 1) << errors.str();
        ASSERT_EQ(generateSurrogates(context, setup, errors), 1) << errors.str();
    }

    TestTempDir dir;
    AnalysisSetup setup;
    AnalysisContext context;
    std::ostringstream errors;
    std::ostringstream runLog;
    std::deque<std::vector<int32_t>> voxelStore;
};

}  // namespace ldi
