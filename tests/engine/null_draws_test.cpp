// Several null draws per voxel, all computed in the fast loop's one read of each
// slice, against the reference: the sequential loop with the whole pass
// repeated once per draw. The real volumes, every draw's null volumes, the log,
// the progress lines and the generator after the pass must match bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/voxel_lanes.h"
#include "engine/voxel_pass.h"
#include "support/synthetic_run.h"

using namespace ldi;

namespace {

// Everything a pass with its draws leaves behind.
struct DrawsRecord {
    int status = 0;
    std::vector<std::vector<uint32_t>> volumes;  // real ref2vox, vox2ref, inst, then the three null ones per draw
    std::string runLog;
    std::string errors;
    std::vector<std::string> hostLog;
    uint32_t generatorAfter = 0;
};

void fillVolumes(MeasureVolumes& volumes, float value) {
    for (FloatVolume* v : {&volumes.ref2vox, &volumes.vox2ref, &volumes.inst}) std::fill(v->data(), v->data() + v->size(), value);
}

void appendBits(const MeasureVolumes& volumes, std::vector<std::vector<uint32_t>>& out) {
    for (const FloatVolume* v : {&volumes.ref2vox, &volumes.vox2ref, &volumes.inst}) out.push_back(bitsOf(*v));
}

// `volumeCount` volumes compared (after a failure only the real and the first draw's count).
void expectSameDraws(const DrawsRecord& expected, const DrawsRecord& actual, std::size_t volumeCount) {
    EXPECT_EQ(actual.status, expected.status);
    EXPECT_EQ(actual.errors, expected.errors);
    EXPECT_EQ(actual.runLog, expected.runLog);
    EXPECT_EQ(actual.hostLog, expected.hostLog);
    EXPECT_EQ(actual.generatorAfter, expected.generatorAfter) << "the generator ends elsewhere";
    ASSERT_GE(actual.volumes.size(), volumeCount);
    ASSERT_GE(expected.volumes.size(), volumeCount);
    for (std::size_t k = 0; k < volumeCount; ++k) {
        const std::vector<uint32_t>& want = expected.volumes[k];
        const std::vector<uint32_t>& got = actual.volumes[k];
        ASSERT_EQ(got.size(), want.size());
        const auto first = std::mismatch(want.begin(), want.end(), got.begin());
        EXPECT_TRUE(first.first == want.end())
            << (k < 3 ? "real" : "null of draw " + std::to_string(k / 3 - 1)) << " volume " << k % 3
            << ", first difference at voxel " << (first.first - want.begin());
    }
}

class NullDrawsTest : public SyntheticRunTest {
protected:
    // 9 x 7 voxels per slice (two blocks of the widest kernel, the second partial),
    // 5 slices. Column x = 8 starts below the inclusion threshold (skipped); voxel
    // (0, 0, 1) is constant (ill-defined); voxel (3, 2, 2) holds a NaN.
    VtcWriterOptions grid(int dataType, int volumes, int salt) {
        VtcWriterOptions options;
        options.dataType = dataType;
        options.numVolumes = volumes;
        options.xEnd = 27;
        options.yEnd = 21;
        options.zEnd = 15;
        options.value = [salt](int x, int y, int z, int t) {
            if (x == 0 && y == 0 && z == 1) return 700.0f;
            if (x == 3 && y == 2 && z == 2 && t == 9) return std::numeric_limits<float>::quiet_NaN();
            if (t == 0 && x == 8) return 40.0f;
            const float wave = 30.0f * std::sin(0.3f * static_cast<float>(t) + 0.2f * static_cast<float>(x));
            return 1000.0f + wave + 60.0f * testNoise(x, y, z, t, salt) + 0.5f * static_cast<float>(t * (y - 3));
        };
        return options;
    }

    // Two files (float32 and uint16), three entries, five intervals.
    void prepareEntries() {
        setup.parameters.showVerboseProgressLog = true;
        const std::string a = writeVtc("a.vtc", grid(2, 40, 1));
        const std::string b = writeVtc("b.vtc", grid(1, 36, 2));
        Condition& condition = addCondition(setup, "A");
        addEntry(condition, a, a, {{2, 15}, {18, 40}});
        addEntry(condition, b, b, {{5, 30}});
        addEntry(condition, b, b, {{3, 8}, {30, 36}});
        addVoi("V", 0, {{1, 1, 1}, {4, 3, 2}});
    }

    // Surrogate rows 0..6 become zeros: voxels whose draws fall there in one draw
    // have a null model that cannot be fitted in that draw only.
    void zeroMostSurrogates() {
        for (const auto& record : context.voiTimeCourses) {
            Matrix& rows = record->surrogates;
            fillBlock(rows, rows.rowBase, rows.rowBase + 7, rows.colBase, rows.colEnd, 0.0f);
        }
    }

    DrawsRecord run(int32_t draws, VoxelPassMethod method, NullDrawMethod drawMethod, int threads,
                    const std::vector<uint8_t>* mask = nullptr) {
        context.options.passMethod = method;
        context.options.nullDrawMethod = drawMethod;
        context.options.threads = threads;
        seedRandom(context.work.random, 20240607u);
        // -123 shows what a pass leaves unwritten.
        fillVolumes(*context.work.realMeasures, -123.0f);
        fillVolumes(*context.work.nullMeasures, -123.0f);
        const GridSize size = engineInputOf(context, setup).grid;
        context.work.extraNulls.resize(static_cast<std::size_t>(draws - 1));
        for (auto& further : context.work.extraNulls) {
            if (!further) further = std::make_unique<MeasureVolumes>(size.dimZ, size.dimY, size.dimX);
            fillVolumes(*further, -123.0f);
        }
        EngineInput input = engineInputOf(context, setup);
        input.nullDraws = draws;
        input.voxelMask = mask;
        std::ostringstream log;
        std::ostringstream failures;
        host().logTexts.clear();
        DrawsRecord record;
        record.status = computeConditionDraws(input, 0, 0, context.work, progressToHost(), log, failures);
        appendBits(*context.work.realMeasures, record.volumes);
        appendBits(*context.work.nullMeasures, record.volumes);
        for (const auto& further : context.work.extraNulls) appendBits(*further, record.volumes);
        record.runLog = log.str();
        record.errors = failures.str();
        record.hostLog = host().logTexts;
        record.generatorAfter = context.work.random.next;
        return record;
    }

    // The reference, then the fast loop repeating the pass, then the one pass
    // with every kernel, 1 to 3 threads, and without the surrogate cache.
    void expectOnePassEqualsRepeated(int32_t draws, const std::vector<uint8_t>* mask = nullptr) {
        SCOPED_TRACE(std::to_string(draws) + " draws" + (mask != nullptr ? ", masked" : ""));
        const DrawsRecord expected = run(draws, VoxelPassMethod::sequential, NullDrawMethod::repeatedPasses, 1, mask);
        ASSERT_EQ(expected.status, 1) << expected.errors;
        const std::size_t volumes = 3 * (1 + static_cast<std::size_t>(draws));
        ASSERT_EQ(expected.volumes.size(), volumes);
        // Every draw its own: the comparison would prove little if they were alike.
        for (std::size_t k = 6; k < volumes; k += 3) EXPECT_NE(expected.volumes[k], expected.volumes[k - 3]);
        // The one-pass choice means nothing to the sequential loop.
        expectSameDraws(expected, run(draws, VoxelPassMethod::sequential, NullDrawMethod::onePass, 1, mask), volumes);
        expectSameDraws(expected, run(draws, VoxelPassMethod::fast, NullDrawMethod::repeatedPasses, 2, mask), volumes);
        for (const LaneKernel& kernel : availableLaneKernels()) {
            context.options.laneKernel = &kernel;
            for (int threads : {1, 2, 3}) {
                SCOPED_TRACE(std::string(kernel.name) + ", threads " + std::to_string(threads));
                expectSameDraws(expected, run(draws, VoxelPassMethod::fast, NullDrawMethod::onePass, threads, mask),
                                volumes);
            }
        }
        context.options.laneKernel = nullptr;
        context.options.surrogateCacheLimit = 0;
        SCOPED_TRACE("surrogates detrended per block");
        expectSameDraws(expected, run(draws, VoxelPassMethod::fast, NullDrawMethod::onePass, 2, mask), volumes);
        context.options.surrogateCacheLimit = EngineOptions{}.surrogateCacheLimit;
    }
};

TEST_F(NullDrawsTest, OnePassEqualsRepeatedPassesForSeveralDrawsAndOrders) {
    prepareEntries();
    for (int order : {1, 3}) {
        SCOPED_TRACE("order " + std::to_string(order));
        setup.parameters.autoRegressionOrder = order;
        releaseAnalysisContext(context);
        prepare();
        zeroMostSurrogates();
        for (int32_t draws : {1, 2, 10}) expectOnePassEqualsRepeated(draws);
    }
    // The data must reach every outcome, or the comparison proves little.
    const std::string log = run(2, VoxelPassMethod::sequential, NullDrawMethod::repeatedPasses, 1).runLog;
    EXPECT_NE(log.find("\tVoxels skipped: 35\t"), std::string::npos) << log;
    EXPECT_EQ(log.find("\tVoxels ill-defined: 0\t"), std::string::npos) << log;
    EXPECT_EQ(log.find("\tSurrogates ill-defined: 0\t"), std::string::npos) << log;
}

TEST_F(NullDrawsTest, OnePassEqualsRepeatedPassesUnderAMask) {
    prepareEntries();
    prepare();
    // Every third voxel and the last slice left out; column x = 8 kept although
    // its first value is low (the mask alone decides).
    std::vector<uint8_t> mask(9 * 7 * 5, 0);
    for (std::size_t i = 0; i < 9 * 7 * 4; ++i) mask[i] = i % 3 != 0 ? 1 : 0;
    for (int32_t draws : {2, 10}) expectOnePassEqualsRepeated(draws, &mask);
}

TEST_F(NullDrawsTest, UnreadableSliceFailsAsTheFirstOfTheRepeatedPasses) {
    setup.parameters.showVerboseProgressLog = true;
    const VtcWriterOptions options = grid(2, 20, 7);
    const std::string a = writeVtc("a.vtc", options);
    addEntry(addCondition(setup, "A"), a, a, {{2, 10}, {12, 20}});
    addVoi("V", 0, {{1, 1, 1}});
    prepare();
    // Cut inside the fourth slice once the run has checked and opened the file.
    std::filesystem::resize_file(a, static_cast<uintmax_t>(testVtcHeaderSize(options) + 3 * 63 * 20 * 4 + 100));
    std::vector<uint8_t> mask(9 * 7 * 5, 1);
    for (const std::vector<uint8_t>* voxels : {static_cast<const std::vector<uint8_t>*>(nullptr), static_cast<const std::vector<uint8_t>*>(&mask)}) {
        SCOPED_TRACE(voxels != nullptr ? "masked" : "intensity test");
        for (int32_t draws : {2, 10}) {
            SCOPED_TRACE(draws);
            const DrawsRecord expected =
                run(draws, VoxelPassMethod::sequential, NullDrawMethod::repeatedPasses, 1, voxels);
            ASSERT_EQ(expected.status, 3);
            ASSERT_EQ(expected.hostLog.size(), 4u) << "progress up to the failing slice";
            for (int threads : {1, 2, 3}) {
                SCOPED_TRACE(threads);
                expectSameDraws(expected, run(draws, VoxelPassMethod::fast, NullDrawMethod::onePass, threads, voxels),
                                6);
            }
        }
    }
}

}  // namespace
