// A voxel mask given with the engine's input decides alone which voxels are
// analysed: it must reproduce the intensity test exactly when it equals it,
// and the fast loop must match the sequential one bit for bit under it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine/fast_pass.h"
#include "engine/voxel_lanes.h"
#include "engine/voxel_pass.h"
#include "stats/parallel.h"
#include "support/synthetic_run.h"

using namespace ldi;

namespace {

struct MaskedPass {
    int status = 0;
    std::vector<uint32_t> bits;  // the six volumes, one after the other
    std::string runLog;
    std::string errors;
    uint32_t generatorAfter = 0;
};

class VoxelMaskTest : public SyntheticRunTest {
protected:

    // 9 x 7 x 4 voxels around `level`; column x = 8 starts low (below the
    // inclusion threshold when level is well above it).
    VtcWriterOptions grid(float level) {
        VtcWriterOptions options;
        options.dataType = 2;
        options.numVolumes = 40;
        options.xEnd = 27;
        options.yEnd = 21;
        options.zEnd = 12;
        options.value = [level](int x, int y, int z, int t) {
            if (t == 0 && x == 8) return level - 950.0f;
            const float wave = 30.0f * std::sin(0.3f * static_cast<float>(t) + 0.2f * static_cast<float>(x));
            return level + wave + 60.0f * testNoise(x, y, z, t, 3);
        };
        return options;
    }

    MaskedPass run(const std::vector<uint8_t>* mask, VoxelPassMethod method, int threads) {
        context.options.passMethod = method;
        context.options.threads = threads;
        seedRandom(context.work.random, 777u);
        EngineInput input = engineInputOf(context, setup);
        input.voxelMask = mask;
        std::ostringstream log;
        std::ostringstream failures;
        MaskedPass pass;
        pass.status = computeConditionMeasures(input, 0, 0, context.work, progressToHost(), log, failures);
        for (const MeasureVolumes* volumes : {context.work.realMeasures.get(), context.work.nullMeasures.get()}) {
            for (const FloatVolume* v : {&volumes->ref2vox, &volumes->vox2ref, &volumes->inst}) {
                for (std::size_t i = 0; i < v->size(); ++i) {
                    uint32_t bits = 0;
                    std::memcpy(&bits, v->data() + i, sizeof bits);
                    pass.bits.push_back(bits);
                }
            }
        }
        pass.runLog = log.str();
        pass.errors = failures.str();
        pass.generatorAfter = context.work.random.next;
        return pass;
    }

    void prepareRun(float level) {
        const std::string file = writeVtc("a.vtc", grid(level));
        addEntry(addCondition(setup, "A"), file, file, {{2, 20}, {24, 40}});
        addVoi("V", 0, {{1, 1, 1}, {2, 3, 2}});
        prepare();
    }

    static void expectSame(const MaskedPass& expected, const MaskedPass& actual) {
        EXPECT_EQ(actual.status, expected.status);
        EXPECT_TRUE(actual.bits == expected.bits);
        EXPECT_EQ(actual.runLog, expected.runLog);
        EXPECT_EQ(actual.errors, expected.errors);
        EXPECT_EQ(actual.generatorAfter, expected.generatorAfter);
    }
};

TEST_F(VoxelMaskTest, MaskEqualToTheIntensityTestChangesNothing) {
    prepareRun(1000.0f);
    std::vector<uint8_t> mask(9 * 7 * 4, 1);
    for (std::size_t i = 8; i < mask.size(); i += 9) mask[i] = 0;  // column x = 8
    const MaskedPass expected = run(nullptr, VoxelPassMethod::sequential, 1);
    ASSERT_EQ(expected.status, 1) << expected.errors;
    EXPECT_NE(expected.runLog.find("\tVoxels skipped: 28\t"), std::string::npos) << expected.runLog;
    expectSame(expected, run(&mask, VoxelPassMethod::sequential, 1));
    expectSame(expected, run(&mask, VoxelPassMethod::fast, 2));
}

TEST_F(VoxelMaskTest, MaskReplacesTheIntensityTestInBothLoops) {
    // Mean-centred data: every first value lies below the threshold, so
    // without a mask nothing at all would be analysed.
    prepareRun(0.0f);
    EXPECT_NE(run(nullptr, VoxelPassMethod::sequential, 1).runLog.find("\tVoxels skipped: 252\t"),
              std::string::npos);
    std::vector<uint8_t> mask(9 * 7 * 4, 0);
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = (i % 5 != 0 && i < 240) ? 1 : 0;
    const MaskedPass expected = run(&mask, VoxelPassMethod::sequential, 1);
    ASSERT_EQ(expected.status, 1) << expected.errors;
    EXPECT_NE(expected.runLog.find("\tVoxels skipped: 60\t"), std::string::npos) << expected.runLog;
    for (const LaneKernel& kernel : availableLaneKernels()) {
        context.options.laneKernel = &kernel;
        for (int threads : {1, 3}) {
            SCOPED_TRACE(std::string(kernel.name) + ", threads " + std::to_string(threads));
            expectSame(expected, run(&mask, VoxelPassMethod::fast, threads));
        }
    }
    // A mask of another grid's size is refused, not read past its end.
    std::vector<uint8_t> shortMask(10, 1);
    EXPECT_EQ(run(&shortMask, VoxelPassMethod::fast, 1).status, 3);
}

}  // namespace
