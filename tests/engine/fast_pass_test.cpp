// The fast voxel loop (lanes, threads) against the sequential loop it must
// match bit for bit: volumes, counts, run log, host log, generator state, and
// the whole run's maps and thresholds.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "base/status.h"
#include "engine/fast_pass.h"
#include "engine/voxel_lanes.h"
#include "engine/voxel_pass.h"
#include "stats/parallel.h"
#include "support/synthetic_run.h"
#include "support/whole_run.h"
#include "stats/simulation.h"

using namespace ldi;

namespace {

// Everything a pass leaves behind that the fast loop must reproduce.
struct PassRecord {
    int status = 0;
    std::vector<uint32_t> bits[6];
    std::string runLog;
    std::string errors;
    std::vector<std::string> hostLog;
    uint32_t generatorAfter = 0;
};

void expectSamePass(const PassRecord& expected, const PassRecord& actual) {
    EXPECT_EQ(actual.status, expected.status);
    EXPECT_EQ(actual.errors, expected.errors);
    EXPECT_EQ(actual.runLog, expected.runLog);
    EXPECT_EQ(actual.hostLog, expected.hostLog);
    EXPECT_EQ(actual.generatorAfter, expected.generatorAfter) << "the surrogate draws differ";
    const char* names[6] = {"real ref2vox", "real vox2ref", "real inst", "null ref2vox", "null vox2ref", "null inst"};
    for (int k = 0; k < 6; ++k) {
        ASSERT_EQ(actual.bits[k].size(), expected.bits[k].size());
        std::size_t differing = 0;
        std::size_t first = 0;
        for (std::size_t i = 0; i < expected.bits[k].size(); ++i)
            if (actual.bits[k][i] != expected.bits[k][i] && differing++ == 0) first = i;
        EXPECT_EQ(differing, 0u) << names[k] << ", first at voxel " << first;
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FastPassTest : public SyntheticRunTest {
protected:

    // A grid of 9 x 7 voxels per slice (two blocks of the widest kernel, the second
    // partial) and 5 slices. The first value of column x = 8 lies below the
    // inclusion threshold in `masked` files, so those voxels are skipped; voxel
    // (0, 0, 1) is constant in every file and voxel (3, 2, 2) holds a NaN inside the
    // intervals, so both are ill-defined.
    VtcWriterOptions grid(int dataType, int volumes, int salt, bool masked) {
        VtcWriterOptions options;
        options.dataType = dataType;
        options.numVolumes = volumes;
        options.xEnd = 27;
        options.yEnd = 21;
        options.zEnd = 15;
        options.value = [salt, masked](int x, int y, int z, int t) {
            if (x == 0 && y == 0 && z == 1) return 700.0f;
            if (x == 3 && y == 2 && z == 2 && t == 9) return std::numeric_limits<float>::quiet_NaN();
            if (masked && t == 0 && x == 8) return 40.0f;
            // A shared slow wave plus the voxel's own noise and drift.
            const float wave = 30.0f * std::sin(0.3f * static_cast<float>(t) + 0.2f * static_cast<float>(x));
            return 1000.0f + wave + 60.0f * testNoise(x, y, z, t, salt) + 0.5f * static_cast<float>(t * (y - 3));
        };
        return options;
    }

    // Surrogate rows 0..6 of every record become zeros: a voxel whose draws all fall
    // there has a null model that cannot be fitted.
    void zeroMostSurrogates() {
        for (const auto& record : context.voiTimeCourses) {
            Matrix& rows = record->surrogates;
            fillBlock(rows, rows.rowBase, rows.rowBase + 7, rows.colBase, rows.colEnd, 0.0f);
        }
    }

    PassRecord runPass(const Condition& condition, VoxelPassMethod method, int threads) {
        context.options.passMethod = method;
        context.options.threads = threads;
        seedRandom(context.work.random, 20240607u);
        for (MeasureVolumes* volumes : {context.work.realMeasures.get(), context.work.nullMeasures.get()})
            for (FloatVolume* v : {&volumes->ref2vox, &volumes->vox2ref, &volumes->inst})
                std::fill(v->data(), v->data() + v->size(), -123.0f);  // shows what a pass leaves unwritten
        runLog.str("");
        errors.str("");
        host().logTexts.clear();
        PassRecord record;
        record.status = computeConditionMeasures(context, voi, condition, setup, runLog, errors);
        const FloatVolume* volumes[6] = {&context.work.realMeasures->ref2vox, &context.work.realMeasures->vox2ref,
                                         &context.work.realMeasures->inst,    &context.work.nullMeasures->ref2vox,
                                         &context.work.nullMeasures->vox2ref, &context.work.nullMeasures->inst};
        for (int k = 0; k < 6; ++k) record.bits[k] = bitsOf(*volumes[k]);
        record.runLog = runLog.str();
        record.errors = errors.str();
        record.hostLog = host().logTexts;
        record.generatorAfter = context.work.random.next;
        return record;
    }

    // The sequential loop, then the fast loop with every kernel and 1, 2 and 3 threads.
    void expectFastEqualsSequential(const Condition& condition) {
        const PassRecord expected = runPass(condition, VoxelPassMethod::sequential, 1);
        ASSERT_EQ(expected.status, 1) << expected.errors;
        const std::vector<LaneKernel> kernels = availableLaneKernels();
        ASSERT_FALSE(kernels.empty());
        for (const LaneKernel& kernel : kernels) {
            context.options.laneKernel = &kernel;
            for (int threads : {1, 2, 3}) {
                SCOPED_TRACE(std::string(kernel.name) + ", threads " + std::to_string(threads));
                expectSamePass(expected, runPass(condition, VoxelPassMethod::fast, threads));
            }
        }
        context.options.laneKernel = nullptr;
        // Without room for the detrended surrogates every block detrends its own.
        context.options.surrogateCacheLimit = 0;
        SCOPED_TRACE("surrogates detrended per block");
        expectSamePass(expected, runPass(condition, VoxelPassMethod::fast, 2));
        context.options.surrogateCacheLimit = EngineOptions{}.surrogateCacheLimit;
    }

    SelectedVoi voi;
};

TEST_F(FastPassTest, EqualsSequentialForSeveralEntriesIntervalsAndOrders) {
    setup.parameters.showVerboseProgressLog = true;
    const std::string a = writeVtc("a.vtc", grid(2, 40, 1, true));
    const std::string b = writeVtc("b.vtc", grid(1, 36, 2, false));
    Condition& condition = addCondition(setup, "A");
    addEntry(condition, a, a, {{2, 15}, {18, 40}});
    addEntry(condition, b, b, {{5, 30}});
    addEntry(condition, a, a, {});  // no intervals, shares a's slices
    addEntry(condition, b, b, {{3, 8}, {30, 36}, {10, 14}});
    voi = addVoi("V", 0, {{1, 1, 1}, {2, 1, 1}, {4, 3, 2}});
    for (int order : {1, 3, 4}) {
        SCOPED_TRACE("order " + std::to_string(order));
        setup.parameters.autoRegressionOrder = order;
        releaseAnalysisContext(context);
        prepare();
        zeroMostSurrogates();
        expectFastEqualsSequential(setup.conditions[0]);
    }
    // The data above must reach every outcome, or the comparison proves little.
    const std::string log = runPass(setup.conditions[0], VoxelPassMethod::sequential, 1).runLog;
    EXPECT_NE(log.find("\tVoxels skipped: 35\t"), std::string::npos) << log;
    EXPECT_EQ(log.find("\tVoxels ill-defined: 0\t"), std::string::npos) << log;
    EXPECT_EQ(log.find("\tSurrogates ill-defined: 0\t"), std::string::npos) << log;
}

TEST_F(FastPassTest, EqualsSequentialForEachDataTypeAlone) {
    for (int dataType : {2, 1}) {
        SCOPED_TRACE(dataType == 2 ? "float32" : "uint16");
        setup.conditions.clear();
        setup.vois.clear();
        releaseAnalysisContext(context);
        const std::string a = writeVtc(dataType == 2 ? "f.vtc" : "s.vtc", grid(dataType, 30, 3, true));
        addEntry(addCondition(setup, "A"), a, a, {{4, 28}});
        voi = addVoi("V", 0, {{2, 2, 2}, {5, 4, 3}});
        prepare();
        expectFastEqualsSequential(setup.conditions[0]);
    }
}

TEST_F(FastPassTest, SourceAndTargetPairsAndAnIntervalOfPPlusOneValues) {
    setup.parameters.separateSourceTargetVTCs = true;
    setup.parameters.autoRegressionOrder = 2;
    const std::string s = writeVtc("s.vtc", grid(2, 32, 4, false));
    const std::string t = writeVtc("t.vtc", grid(1, 32, 5, true));
    Condition& condition = addCondition(setup, "Pair");
    addEntry(condition, s, t, {{1, 32}, {7, 9}});
    addEntry(condition, t, s, {{2, 31}});
    voi = addVoi("V", 0, {{3, 3, 3}});
    prepare();
    expectFastEqualsSequential(setup.conditions[0]);
}

TEST_F(FastPassTest, UnreadableSliceStopsAtTheSameSliceWithTheSameLogAndDraws) {
    setup.parameters.showVerboseProgressLog = true;
    setup.parameters.separateSourceTargetVTCs = true;
    const std::string s = writeVtc("s.vtc", grid(2, 20, 6, false));
    const VtcWriterOptions options = grid(2, 20, 7, true);
    const std::string t = writeVtc("t.vtc", options);
    addEntry(addCondition(setup, "A"), s, t, {{2, 20}});
    voi = addVoi("V", 0, {{1, 1, 1}});
    prepare();
    // Cut inside the fourth slice once the run has checked and opened the file.
    std::filesystem::resize_file(t, static_cast<uintmax_t>(testVtcHeaderSize(options) + 3 * 63 * 20 * 4 + 100));
    const PassRecord expected = runPass(setup.conditions[0], VoxelPassMethod::sequential, 1);
    ASSERT_EQ(expected.status, 3);
    ASSERT_EQ(expected.hostLog.size(), 4u) << "progress up to the failing slice";
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        expectSamePass(expected, runPass(setup.conditions[0], VoxelPassMethod::fast, threads));
    }
}

TEST_F(FastPassTest, ACancelledPassStopsBeforeItsNextSliceInEitherLoop) {
    const std::string a = writeVtc("a.vtc", grid(2, 20, 9, false));
    addEntry(addCondition(setup, "A"), a, a, {{2, 20}});
    voi = addVoi("V", 0, {{1, 1, 1}});
    prepare();
    std::atomic<bool> cancel{true};
    context.options.cancel = &cancel;
    struct Case {
        VoxelPassMethod method;
        int threads;
    };
    for (const Case& c : {Case{VoxelPassMethod::sequential, 1}, Case{VoxelPassMethod::fast, 1},
                          Case{VoxelPassMethod::fast, 3}}) {
        SCOPED_TRACE(std::to_string(c.threads) + (c.method == VoxelPassMethod::fast ? " fast" : " sequential"));
        const PassRecord record = runPass(setup.conditions[0], c.method, c.threads);
        EXPECT_EQ(record.status, statusCancelled) << record.errors;
        EXPECT_EQ(record.errors.rfind("stopped: ", 0), 0u) << record.errors;
        // Every value is still the mark runPass put there: no slice was computed.
        const float markValue = -123.0f;
        uint32_t mark = 0;
        std::memcpy(&mark, &markValue, sizeof mark);
        for (const std::vector<uint32_t>& bits : record.bits)
            for (uint32_t value : bits) ASSERT_EQ(value, mark);
    }
    cancel = false;
    EXPECT_EQ(runPass(setup.conditions[0], VoxelPassMethod::fast, 2).status, statusSuccess);
}

TEST_F(FastPassTest, WholeRunGivesTheSameMapsThresholdsAndLogs) {
    setup.parameters.showVerboseProgressLog = true;
    const std::string a = writeVtc("a.vtc", grid(2, 40, 8, true));
    addEntry(addCondition(setup, "A"), a, a, {{2, 20}, {22, 40}});
    addEntry(addCondition(setup, "B"), a, a, {{5, 35}});
    addVoi("V1", 0, {{1, 1, 1}, {2, 2, 1}});
    addVoi("V2", 1, {{6, 5, 3}});

    struct Run {
        std::vector<std::string> hostLog;
        std::vector<FakeSavedMapSet> saves;
        std::string logs;
    };
    auto run = [&](VoxelPassMethod method, int threads) {
        context.options.passMethod = method;
        setThreadCount(threads);  // the plug-in's export: the driver takes it into the run
        host().reset();
        errors.str("");
        EXPECT_EQ(runAnalysis(context, setup, errors), 1) << errors.str();
        Run result;
        result.hostLog = host().logTexts;
        result.saves = host().saves;
        result.logs = readFile(dir.path("P_V1.log")) + readFile(dir.path("P_V2.log"));
        return result;
    };
    const Run expected = run(VoxelPassMethod::sequential, 1);
    ASSERT_EQ(expected.saves.size(), 2u);
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        const Run actual = run(VoxelPassMethod::fast, threads);
        EXPECT_EQ(actual.hostLog, expected.hostLog);
        EXPECT_EQ(actual.logs, expected.logs);
        ASSERT_EQ(actual.saves.size(), expected.saves.size());
        for (std::size_t s = 0; s < expected.saves.size(); ++s) {
            ASSERT_EQ(actual.saves[s].maps.size(), expected.saves[s].maps.size());
            EXPECT_EQ(actual.saves[s].levelLabels.size(), expected.saves[s].levelLabels.size());
            for (std::size_t m = 0; m < expected.saves[s].maps.size(); ++m) {
                const FakeMap& want = expected.saves[s].maps[m];
                const FakeMap& got = actual.saves[s].maps[m];
                ASSERT_EQ(got.voxels.size(), want.voxels.size());
                EXPECT_EQ(std::memcmp(got.voxels.data(), want.voxels.data(), want.voxels.size() * sizeof(float)), 0)
                    << "map " << m << " of save " << s;
                ASSERT_EQ(got.fdrThresholds.size(), want.fdrThresholds.size());
                EXPECT_EQ(std::memcmp(got.fdrThresholds.data(), want.fdrThresholds.data(),
                                      want.fdrThresholds.size() * sizeof(float)),
                          0)
                    << "thresholds of map " << m;
            }
        }
    }
}

// A condition without a time point has nothing to compute: both loops refuse
// it alike, before a voxel is written.
TEST_F(FastPassTest, ConditionsWithoutIntervalsOrEntriesAreRefusedAlike) {
    const std::string a = writeVtc("a.vtc", grid(1, 20, 11, true));
    addEntry(addCondition(setup, "A"), a, a, {{2, 20}});
    addEntry(addCondition(setup, "NoIntervals"), a, a, {});
    addCondition(setup, "NoEntries");
    voi = addVoi("V", 0, {{2, 2, 2}});
    prepare();
    for (std::size_t c : {1u, 2u}) {
        SCOPED_TRACE(setup.conditions[c].name);
        for (VoxelPassMethod method : {VoxelPassMethod::sequential, VoxelPassMethod::fast}) {
            const PassRecord record = runPass(setup.conditions[c], method, 2);
            EXPECT_EQ(record.status, 2);
            EXPECT_NE(record.errors.find("has no time point to analyse"), std::string::npos) << record.errors;
            const float untouched = -123.0f;
            uint32_t untouchedBits = 0;
            std::memcpy(&untouchedBits, &untouched, sizeof untouchedBits);
            EXPECT_EQ(record.bits[0].front(), untouchedBits) << "no voxel written";
        }
    }
    expectFastEqualsSequential(setup.conditions[0]);
}

TEST_F(FastPassTest, SurrogatesDrawnOnThreadsEqualThoseDrawnInTurn) {
    setup.parameters.autoRegressionOrder = 2;
    setup.parameters.numSurrogateSimulations = 150;
    const std::string a = writeVtc("a.vtc", grid(2, 40, 9, false));
    const std::string b = writeVtc("b.vtc", grid(2, 30, 10, false));
    addEntry(addCondition(setup, "A"), a, a, {{2, 40}});
    addEntry(addCondition(setup, "B"), b, b, {{2, 30}});
    voi = addVoi("V", 0, {{1, 1, 1}, {4, 2, 3}});
    context.options.threads = 1;
    prepare();

    // The series as drawn one after the other from one generator.
    std::vector<Matrix> expected;
    RandomState drawn;
    for (const auto& record : context.voiTimeCourses) {
        const int32_t volumes = record->meanTimeCourse.colCount;
        Matrix simulation(1, setup.maxVolumes + 10, 1, 1);
        Matrix rows(record->surrogates.rowCount, volumes, 1, 1);
        for (int32_t s = 0; s < rows.rowCount; ++s) {
            ASSERT_TRUE(simulateArSeries(simulation, 1, 2, 1, simulation.colEnd, record->arCoefficients,
                                         record->residualCovariance, seriesSeed(kSyntheticRunSeed, s), drawn));
            copyBlock(rows, 1 + s, 2 + s, 1, volumes + 1, simulation, 1, simulation.colEnd - volumes);
        }
        expected.push_back(rows);
    }
    const uint32_t generatorAfter = drawn.next;
    EXPECT_EQ(context.work.random.next, generatorAfter);

    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        context.options.threads = threads;
        seedRandom(context.work.random, 1u);  // whatever the work held before, the surrogates start afresh
        ASSERT_EQ(generateSurrogates(context, setup, errors), 1) << errors.str();
        EXPECT_EQ(context.work.random.next, generatorAfter);
        for (std::size_t r = 0; r < expected.size(); ++r) {
            const Matrix& got = context.voiTimeCourses[r]->surrogates;
            ASSERT_EQ(got.rowCount, expected[r].rowCount);
            EXPECT_EQ(std::memcmp(got.data(), expected[r].data(),
                                  sizeof(float) * static_cast<std::size_t>(got.rowCount) * got.colCount),
                      0)
                << "record " << r;
        }
    }
}

TEST_F(FastPassTest, ThreadCountFollowsTheSetting) {
    setThreadCount(3);  // the plug-in's export
    EXPECT_EQ(requestedThreadCount(), 3);
    EXPECT_EQ(threadCountFor(requestedThreadCount()), 3);
    setThreadCount(-4);
    EXPECT_EQ(requestedThreadCount(), 0);
    EXPECT_EQ(threadCountFor(0), availableCoreCount());
    EXPECT_EQ(threadCountFor(-4), availableCoreCount());
    EXPECT_GE(availableCoreCount(), 1);
}

}  // namespace
