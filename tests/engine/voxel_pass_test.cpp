// The per-condition voxel pass on small VTC files written by the tests.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "engine/voxel_pass.h"
#include "support/synthetic_run.h"
#include "stats/ar_model.h"
#include "stats/matrix.h"

using namespace ldi;

namespace {

// Noisy data well above the inclusion threshold, different in every voxel.
float busy(int x, int y, int z, int t) { return 1000.0f + 50.0f * testNoise(x, y, z, t); }

class VoxelPassTest : public SyntheticRunTest {
protected:
    // A grid of 2 x 2 x 3 voxels with `volumes` volumes.
    VtcWriterOptions gridOptions(int dataType, int volumes = 20) {
        VtcWriterOptions options;
        options.dataType = dataType;
        options.numVolumes = volumes;
        options.zEnd = 9;
        options.value = busy;
        return options;
    }

    int run(const Condition& condition) {
        return computeConditionMeasures(context, voi, condition, setup, runLog, errors);
    }

    static std::vector<float> values(const FloatVolume& v) { return std::vector<float>(v.data(), v.data() + v.size()); }

    // The six values of voxel (x, y, z).
    std::vector<float> voxel(int x, int y, int z) const {
        const MeasureVolumes& r = *context.work.realMeasures;
        const MeasureVolumes& n = *context.work.nullMeasures;
        return {r.ref2vox(z, y, x), r.vox2ref(z, y, x), r.inst(z, y, x),
                n.ref2vox(z, y, x), n.vox2ref(z, y, x), n.inst(z, y, x)};
    }

    SelectedVoi voi;
};

const std::vector<float> sixZeros(6, 0.0f);

TEST_F(VoxelPassTest, VoxelAtTheThresholdIsSkippedForBothDataTypes) {
    for (int dataType : {2, 1}) {
        SCOPED_TRACE(dataType == 2 ? "float32" : "uint16");
        AnalysisSetup fresh;
        setup = fresh;
        SetUp();
        setup.vois.clear();
        VtcWriterOptions options = gridOptions(dataType);
        options.value = [](int x, int y, int z, int t) {
            if (t == 0 && y == 0 && z == 0) return x == 0 ? 100.0f : 101.0f;
            return busy(x, y, z, t);
        };
        const std::string a = writeVtc(dataType == 2 ? "f.vtc" : "s.vtc", options);
        addEntry(addCondition(setup, "A"), a, a, {{2, 20}});
        voi = addVoi("V", 0, {{1, 1, 2}});
        prepare();
        runLog.str("");
        ASSERT_EQ(run(setup.conditions[0]), 1) << errors.str();
        EXPECT_EQ(voxel(0, 0, 0), sixZeros);
        EXPECT_NE(voxel(1, 0, 0)[0], 0.0f);
        EXPECT_NE(runLog.str().find("\tVoxels skipped: 1\t(8.33333%)\n"), std::string::npos) << runLog.str();
        releaseAnalysisContext(context);
    }
}

TEST_F(VoxelPassTest, ZeroThresholdSkipsZeroFirstValuesOf16BitData) {
    setup.parameters.firstTimePointInclusionThres = 0;
    VtcWriterOptions options = gridOptions(1);
    options.value = [](int x, int y, int z, int t) { return t == 0 && x == 1 ? 0.0f : busy(x, y, z, t); };
    const std::string a = writeVtc("a.vtc", options);
    addEntry(addCondition(setup, "A"), a, a, {{2, 20}});
    voi = addVoi("V", 0, {{0, 0, 0}});
    prepare();
    ASSERT_EQ(run(setup.conditions[0]), 1) << errors.str();
    EXPECT_NE(runLog.str().find("\tVoxels skipped: 6\t(50%)\n"), std::string::npos) << runLog.str();
}

TEST_F(VoxelPassTest, SkipThroughTheSecondEntryStillAdvancesEveryCursor) {
    // Two conditions over the same data, except that in the first the second
    // entry's file fails the intensity test at voxel (0, 0, 0). Volume 1 lies
    // outside the intervals, so every other voxel must get the same measures.
    const std::string a = writeVtc("a.vtc", gridOptions(2));
    VtcWriterOptions failing = gridOptions(2);
    failing.value = [](int x, int y, int z, int t) {
        return t == 0 && x == 0 && y == 0 && z == 0 ? 50.0f : busy(x, y, z, t) + 7.0f * testNoise(x, y, z, t, 1);
    };
    const std::string b = writeVtc("b.vtc", failing);
    VtcWriterOptions passing = failing;
    passing.value = [](int x, int y, int z, int t) { return busy(x, y, z, t) + 7.0f * testNoise(x, y, z, t, 1); };
    const std::string c = writeVtc("c.vtc", passing);
    Condition& first = addCondition(setup, "First");
    addEntry(first, a, a, {{2, 20}});
    addEntry(first, b, b, {{3, 18}});
    Condition& second = addCondition(setup, "Second");
    addEntry(second, a, a, {{2, 20}});
    addEntry(second, c, c, {{3, 18}});
    voi = addVoi("V", 0, {{1, 1, 1}});
    prepare();

    ASSERT_EQ(run(setup.conditions[0]), 1) << errors.str();
    EXPECT_EQ(voxel(0, 0, 0), sixZeros);
    const std::vector<float> skipRun = values(context.work.realMeasures->ref2vox);
    const std::vector<float> skipRunInst = values(context.work.realMeasures->inst);
    ASSERT_EQ(run(setup.conditions[1]), 1) << errors.str();
    const std::vector<float> fullRun = values(context.work.realMeasures->ref2vox);
    const std::vector<float> fullRunInst = values(context.work.realMeasures->inst);
    for (std::size_t i = 1; i < fullRun.size(); ++i) {
        EXPECT_EQ(skipRun[i], fullRun[i]) << "voxel " << i;
        EXPECT_EQ(skipRunInst[i], fullRunInst[i]) << "voxel " << i;
    }
    EXPECT_NE(fullRun[0], 0.0f);
}

TEST_F(VoxelPassTest, MeasuresEqualADirectFitOverTheIntervals) {
    VtcWriterOptions options = gridOptions(1, 30);
    const std::string a = writeVtc("a.vtc", options);
    addEntry(addCondition(setup, "A"), a, a, {{2, 14}, {16, 30}});
    voi = addVoi("V", 0, {{0, 0, 0}, {1, 1, 0}});
    prepare();
    const RandomState before = context.work.random;
    ASSERT_EQ(run(setup.conditions[0]), 1) << errors.str();

    // Voxel (1, 0, 0) is the second voxel of the pass: its draws are the 3rd and 4th.
    RandomState replay = before;
    std::vector<uint32_t> draws;
    for (int i = 0; i < 4; ++i) draws.push_back(static_cast<uint32_t>(nextRandom(replay)) % 10u);

    const VoiTimeCourse& record = *context.voiTimeCourses[0];
    Matrix row(1, 30, 1, 1);
    for (int t = 0; t < 30; ++t) row(1, t + 1) = testVtcStoredValue(options, 1, 0, 0, t);
    CovarianceAccumulator real(2, 1);
    CovarianceAccumulator null(2, 1);
    Matrix data(2, 30, 0, 0);
    const Interval intervals[2] = {{2, 14}, {16, 30}};
    for (int k = 0; k < 2; ++k) {
        const Interval& iv = intervals[k];
        const int32_t length = iv.last - iv.first + 1;
        detrendRows(record.meanTimeCourse, 1, 2, iv.first, iv.last + 1, data, 0, 0);
        detrendRows(row, 1, 2, iv.first, iv.last + 1, data, 1, 0);
        computeLagProducts(real, data, 0, 2, 0, length);
        accumulateInterval(real, data, 0, 2, 0, length);
        const int32_t s = 1 + static_cast<int32_t>(draws[2 + static_cast<std::size_t>(k)]);
        detrendRows(record.surrogates, s, s + 1, iv.first, iv.last + 1, data, 0, 0);
        computeLagProducts(null, data, 0, 2, 0, length);
        accumulateInterval(null, data, 0, 2, 0, length);
    }
    scaleAccumulator(real, 0.5f);
    scaleAccumulator(null, 0.5f);
    ArModelWorkspace joint(2, 1), single0(1, 1), single1(1, 1);
    InfluenceValues expectedReal, expectedNull;
    ASSERT_TRUE(influenceMeasures(real, 0, 1, joint, single0, single1, expectedReal));
    ASSERT_TRUE(influenceMeasures(null, 0, 1, joint, single0, single1, expectedNull));
    EXPECT_EQ(voxel(1, 0, 0), (std::vector<float>{expectedReal.aToB, expectedReal.bToA, expectedReal.instantaneous,
                                                  expectedNull.aToB, expectedNull.bToA, expectedNull.instantaneous}));
}

TEST_F(VoxelPassTest, ConstantAndNonFiniteVoxelsAreIllDefined) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    VtcWriterOptions options = gridOptions(2);
    options.value = [nan, inf](int x, int y, int z, int t) {
        if (z == 1 && y == 0 && x == 0) return 500.0f;             // constant
        if (z == 1 && y == 0 && x == 1 && t == 5) return nan;      // NaN inside the interval
        if (z == 1 && y == 1 && x == 0 && t == 7) return inf;      // infinity inside the interval
        if (z == 1 && y == 1 && x == 1 && t == 0) return nan;      // passes the test, outside the interval
        return busy(x, y, z, t);
    };
    const std::string a = writeVtc("a.vtc", options);
    VtcWriterOptions shorts = gridOptions(1);
    shorts.value = [](int x, int y, int z, int t) { return x == 1 && y == 1 && z == 2 ? 500.0f : busy(x, y, z, t); };
    const std::string b = writeVtc("b.vtc", shorts);
    addEntry(addCondition(setup, "A"), a, a, {{2, 20}});
    addEntry(addCondition(setup, "B"), b, b, {{2, 20}});
    // Two voxels, so that no voxel's series equals the reference.
    voi = addVoi("V", 0, {{0, 0, 0}, {1, 1, 0}});
    prepare();

    ASSERT_EQ(run(setup.conditions[0]), 1) << errors.str();
    EXPECT_EQ(voxel(0, 0, 1), sixZeros);
    EXPECT_EQ(voxel(1, 0, 1), sixZeros);
    EXPECT_EQ(voxel(0, 1, 1), sixZeros);
    EXPECT_NE(voxel(1, 1, 1)[0], 0.0f);
    EXPECT_NE(runLog.str().find("\tVoxels skipped: 0\t(0%)\n\tVoxels ill-defined: 3\t(25%)\n"),
              std::string::npos)
        << runLog.str();
    for (const FloatVolume* v : {&context.work.realMeasures->ref2vox, &context.work.realMeasures->vox2ref,
                                 &context.work.realMeasures->inst, &context.work.nullMeasures->ref2vox,
                                 &context.work.nullMeasures->vox2ref, &context.work.nullMeasures->inst})
        for (float value : values(*v)) EXPECT_TRUE(std::isfinite(value));

    runLog.str("");
    ASSERT_EQ(run(setup.conditions[1]), 1) << errors.str();
    EXPECT_EQ(voxel(1, 1, 2), sixZeros);
    EXPECT_NE(runLog.str().find("\tVoxels ill-defined: 1\t(8.33333%)\n"), std::string::npos) << runLog.str();
}

TEST_F(VoxelPassTest, IntervalsOutsideTheFileOrTooShortAreRefused) {
    const std::string a = writeVtc("a.vtc", gridOptions(2));
    VtcWriterOptions shorter = gridOptions(2, 15);
    const std::string t = writeVtc("t.vtc", shorter);
    Condition& condition = addCondition(setup, "A");
    VtcEntry& entry = addEntry(condition, a, a, {{2, 20}});
    Condition& pair = addCondition(setup, "Pair");
    VtcEntry& pairEntry = addEntry(pair, a, t, {{2, 15}});
    voi = addVoi("V", 0, {{0, 0, 0}});
    prepare();
    context.work.realMeasures->ref2vox.data()[0] = 7.0f;

    const std::string intro = "An interval (";
    const std::string tail = " volumes, in condition 'A' was wrongly specified (N.B. last-first+1 must be "
                             "greater than AR-order(1))";
    struct Case {
        Interval interval;
        std::string message;
    };
    const Case refused[] = {
        {{0, 10}, intro + "0, 10) for vtc '" + a + "', 20" + tail},
        {{1, 21}, intro + "1, 21) for vtc '" + a + "', 20" + tail},
        {{5, 5}, intro + "5, 5) for vtc '" + a + "', 20" + tail},
        {{9, 4}, intro + "9, 4) for vtc '" + a + "', 20" + tail},
    };
    for (const Case& c : refused) {
        entry.intervals = {{2, 10}, c.interval};
        errors.str("");
        runLog.str("");
        EXPECT_EQ(run(condition), 2);
        EXPECT_EQ(errors.str(), c.message);
        EXPECT_EQ(context.work.realMeasures->ref2vox.data()[0], 7.0f) << "no voxel written";
        EXPECT_EQ(runLog.str(), "\tVTC: " + a + "\n\tintv(s):\n\t\t2\t-\t10\n\t\t" +
                                    std::to_string(c.interval.first) + "\t-\t" + std::to_string(c.interval.last) +
                                    "\n");
    }

    entry.intervals = {{5, 6}};
    runLog.str("");
    EXPECT_EQ(run(condition), 1) << errors.str();
    EXPECT_NE(runLog.str().find("\tTotal nr. time-points: 2\n\tEffective nr. time-points: 1\n"), std::string::npos);

    // The voxel series come from the target: an interval beyond its end is refused too.
    setup.parameters.separateSourceTargetVTCs = true;
    pairEntry.intervals = {{2, 16}};
    errors.str("");
    runLog.str("");
    EXPECT_EQ(run(pair), 2);
    EXPECT_EQ(errors.str(), "An interval (2, 16) in condition 'Pair' ends after the last volume of vtc '" + t +
                                "', which has 15 volumes; the voxel time courses are read from it, so the "
                                "interval must end within them");
    EXPECT_EQ(runLog.str().substr(0, runLog.str().find("\tintv")),
              "\tSrc VTC: " + a + "\n\tTrg VTC: " + t + "\n");
    pairEntry.intervals = {{2, 15}};
    EXPECT_EQ(run(pair), 1) << errors.str();

    // A condition with no interval at all (a protocol condition without any)
    // has nothing to compute.
    pairEntry.intervals.clear();
    errors.str("");
    EXPECT_EQ(run(pair), 2);
    EXPECT_NE(errors.str().find("Condition 'Pair' has no time point to analyse"), std::string::npos) << errors.str();
}

// Overlapping intervals are computed as given, with one warning per condition
// in the log pane (whether progress is shown or not); touching ones are not.
TEST_F(VoxelPassTest, OverlappingIntervalsBringOneWarning) {
    const std::string a = writeVtc("a.vtc", gridOptions(2));
    Condition& condition = addCondition(setup, "A");
    VtcEntry& entry = addEntry(condition, a, a, {{2, 10}, {11, 20}});
    voi = addVoi("V", 0, {{0, 0, 0}});
    prepare();
    const auto warnings = [this] {
        int count = 0;
        for (const std::string& text : host().logTexts) count += text.find("WARNING") != std::string::npos ? 1 : 0;
        return count;
    };
    ASSERT_EQ(run(condition), 1) << errors.str();
    EXPECT_EQ(warnings(), 0);
    entry.intervals = {{2, 10}, {2, 10}, {5, 20}, {3, 4}};
    ASSERT_EQ(run(condition), 1) << errors.str();
    EXPECT_EQ(warnings(), 1);
    EXPECT_NE(host().logTexts.back().find("Intervals of condition 'A' overlap (2-10 and 2-10 of vtc '" + a + "')"),
              std::string::npos)
        << host().logTexts.back();
}

TEST_F(VoxelPassTest, ProgressPrintsEachTenthOnce) {
    EXPECT_EQ(progressValue(0, 3), 0);
    EXPECT_EQ(progressValue(1, 3), 50);
    EXPECT_EQ(progressValue(2, 3), 100);
    EXPECT_EQ(progressValue(0, 1), 0) << "a single slice must not divide by zero";

    setup.parameters.showVerboseProgressLog = true;
    for (int slices : {1, 3, 21}) {
        SCOPED_TRACE(slices);
        host().reset();
        releaseAnalysisContext(context);
        setup.conditions.clear();
        setup.vois.clear();
        VtcWriterOptions options = gridOptions(2, 12);
        options.xEnd = 3;
        options.yEnd = 3;
        options.zEnd = 3 * slices;
        const std::string a = writeVtc("p" + std::to_string(slices) + ".vtc", options);
        addEntry(addCondition(setup, "A"), a, a, {{2, 12}});
        voi = addVoi("V", 0, {{0, 0, 0}});
        prepare();
        host().logTexts.clear();
        ASSERT_EQ(run(setup.conditions[0]), 1) << errors.str();

        std::vector<std::string> expected;
        const int steps = slices == 1 ? 0 : (slices == 3 ? 2 : 10);
        for (int i = 0; i <= steps; ++i)
            expected.push_back("// LDI>\t" + std::to_string(steps == 0 ? 0 : i * 100 / steps) + "%...");
        ASSERT_EQ(host().logTexts.size(), expected.size() + 1);
        host().logTexts.pop_back();  // the summary
        EXPECT_EQ(host().logTexts, expected);
    }
}

TEST_F(VoxelPassTest, SummaryPercentagesInHostLogAndRunLog) {
    setup.parameters.showVerboseProgressLog = true;
    VtcWriterOptions options = gridOptions(2, 8);
    options.xEnd = options.yEnd = options.zEnd = 30;
    options.value = [](int x, int y, int z, int t) {
        return t == 0 && z * 100 + y * 10 + x < 250 ? 0.0f : busy(x, y, z, t);
    };
    const std::string a = writeVtc("a.vtc", options);
    addEntry(addCondition(setup, "A"), a, a, {{2, 8}});
    voi = addVoi("V", 0, {{5, 5, 5}});
    prepare();
    host().logTexts.clear();
    ASSERT_EQ(run(setup.conditions[0]), 1) << errors.str();
    const std::string summary = host().logTexts.back();
    EXPECT_EQ(summary.substr(0, summary.find('\n')), "// LDI>\tVoxels skipped: 250\t(25.0%)");
    EXPECT_NE(summary.find("\n// LDI>\tVoxels ill-defined: "), std::string::npos);
    EXPECT_NE(summary.find("\n// LDI>\tSurrogates ill-defined: "), std::string::npos);
    EXPECT_NE(runLog.str().find("\n\tVoxels skipped: 250\t(25%)\n"), std::string::npos) << runLog.str();
}

TEST_F(VoxelPassTest, EntriesSharingATargetFileEachSeeTheRightVoxel) {
    // Source/target pairs (s1, t) and (s2, t) against (s1, t) and (s2, t2), where t2 is
    // a copy of t: reading t once per slice, with a cursor per entry, gives both
    // conditions the very same measures.
    setup.parameters.separateSourceTargetVTCs = true;
    VtcWriterOptions options = gridOptions(2);
    const std::string t = writeVtc("t.vtc", options);
    const std::string t2 = writeVtc("t2.vtc", options);
    options.value = [](int x, int y, int z, int tt) { return 900.0f + 40.0f * testNoise(x, y, z, tt, 3); };
    const std::string s1 = writeVtc("s1.vtc", options);
    options.value = [](int x, int y, int z, int tt) { return 800.0f + 30.0f * testNoise(x, y, z, tt, 4); };
    const std::string s2 = writeVtc("s2.vtc", options);
    Condition& shared = addCondition(setup, "Shared");
    addEntry(shared, s1, t, {{2, 20}});
    addEntry(shared, s2, t, {{3, 19}});
    Condition& copied = addCondition(setup, "Copied");
    addEntry(copied, s1, t, {{2, 20}});
    addEntry(copied, s2, t2, {{3, 19}});
    voi = addVoi("V", 0, {{0, 1, 0}});
    prepare();

    seedRandom(context.work.random, 4242);
    ASSERT_EQ(run(shared), 1) << errors.str();
    const std::vector<float> real = values(context.work.realMeasures->ref2vox);
    const std::vector<float> null = values(context.work.nullMeasures->inst);
    seedRandom(context.work.random, 4242);
    ASSERT_EQ(run(copied), 1) << errors.str();
    EXPECT_EQ(values(context.work.realMeasures->ref2vox), real);
    EXPECT_EQ(values(context.work.nullMeasures->inst), null);
}

TEST_F(VoxelPassTest, ShortTargetFileFailsTheRead) {
    setup.parameters.separateSourceTargetVTCs = true;
    const std::string s = writeVtc("s.vtc", gridOptions(2));
    VtcWriterOptions cut = gridOptions(2);
    const std::string t = writeVtc("t.vtc", cut);
    addEntry(addCondition(setup, "A"), s, t, {{2, 20}});
    voi = addVoi("V", 0, {{0, 0, 0}});
    prepare();
    // Cut after it was opened: two slices of three are left.
    std::filesystem::resize_file(t, static_cast<std::uintmax_t>(testVtcHeaderSize(cut) + 2 * 4 * 20 * 4));
    EXPECT_EQ(run(setup.conditions[0]), 3);
    EXPECT_EQ(errors.str(), "Could not read data from vtc '" + t +
                                "'\nThe file was corrupted (not of expected size) or made inaccessible");
    EXPECT_NE(voxel(1, 1, 1)[0], 0.0f) << "the slices before it were computed";
}

}  // namespace
