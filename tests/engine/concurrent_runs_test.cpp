// Runs of the engine side by side in one process: each keeps its seed,
// generator, threads and voxel loop to itself, so a run on one thread gives bit
// for bit what it gives alone while another run goes on beside it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "support/whole_run.h"
#include "stats/parallel.h"
#include "support/synthetic_run.h"

using namespace ldi;

namespace {

std::vector<uint32_t> bitsOf(const float* values, std::size_t count) {
    std::vector<uint32_t> bits(count);
    if (count > 0) std::memcpy(bits.data(), values, count * sizeof(float));  // an empty map may have no storage
    return bits;
}

// Everything a run hands out or leaves behind, as bits.
struct RunRecord {
    int status = 0;
    std::vector<std::vector<uint32_t>> maps;
    std::vector<std::vector<uint32_t>> thresholds;
    std::vector<std::string> progress;
    std::string runLog;
    std::vector<uint32_t> lastNulls;  // the last condition's null ref2vox volume
    uint32_t generatorAfter = 0;
};

bool operator==(const RunRecord& a, const RunRecord& b) {
    return a.status == b.status && a.maps == b.maps && a.thresholds == b.thresholds && a.progress == b.progress &&
           a.runLog == b.runLog && a.lastNulls == b.lastNulls && a.generatorAfter == b.generatorAfter;
}

class RecordingListener : public EngineListener {
public:
    RecordingListener(RunRecord& record, std::size_t voxels) : record_(record), voxels_(voxels) {}
    void progress(const EngineProgress& event) override {
        std::ostringstream line;
        line << static_cast<int>(event.stage) << ' ' << event.seed << ' ' << event.condition << ' '
             << event.fraction << ' ' << event.text;
        record_.progress.push_back(line.str());
    }
    int beginSeed(int32_t) override { return 1; }
    float* mapBuffer(int32_t, int32_t, int32_t, std::ostream&) override {
        buffers_.emplace_back(voxels_, -1.0f);
        return buffers_.back().data();
    }
    int mapFinished(int32_t, int32_t, int32_t, const MapThresholds& map, std::ostream&) override {
        record_.maps.push_back(bitsOf(buffers_.back().data(), voxels_));
        record_.thresholds.push_back(bitsOf(map.thresholds.data(), map.thresholds.size()));
        return 1;
    }
    int endSeed(int32_t) override { return 1; }

private:
    RunRecord& record_;
    std::size_t voxels_;
    std::vector<std::vector<float>> buffers_;
};

// One run's own files, reference records, work objects and input.
struct PreparedRun {
    AnalysisContext context;
    EngineInput input;
};

class ConcurrentRunsTest : public SyntheticRunTest {
protected:
    // 9 x 7 x 5 voxels, two VOIs, two conditions, verbose (so that the progress
    // events are compared too) and an overlap warning.
    void SetUp() override {
        SyntheticRunTest::SetUp();
        setup.parameters.showVerboseProgressLog = true;
        setup.parameters.numSurrogateSimulations = 20;
        VtcWriterOptions options;
        options.dataType = 2;
        options.numVolumes = 40;
        options.xEnd = 27;
        options.yEnd = 21;
        options.zEnd = 15;
        options.value = [](int x, int y, int z, int t) {
            const float wave = 30.0f * std::sin(0.3f * static_cast<float>(t) + 0.2f * static_cast<float>(x));
            return 1000.0f + wave + 60.0f * testNoise(x, y, z, t, 5);
        };
        const std::string a = writeVtc("a.vtc", options);
        addEntry(addCondition(setup, "A"), a, a, {{2, 20}, {18, 40}});
        addEntry(addCondition(setup, "B"), a, a, {{5, 35}});
        addVoi("V1", 0, {{1, 1, 1}, {2, 2, 1}});
        addVoi("V2", 1, {{6, 5, 3}});
    }

    // Each run opens the files and builds the references of its own: the engine
    // writes its models and surrogates into them. The input is made at once, while
    // the set-up's entries link to this run's files.
    std::unique_ptr<PreparedRun> prepareRun(uint32_t rngSeed, VoxelPassMethod method) {
        auto run = std::make_unique<PreparedRun>();
        run->context.rngSeed = rngSeed;
        run->context.options.threads = 2;
        run->context.options.passMethod = method;
        run->context.work.workers = std::make_unique<WorkerTeam>(1);
        EXPECT_EQ(prepareReferenceTimeCourses(run->context, setup, errors), 1) << errors.str();
        run->input = engineInputOf(run->context, setup);
        return run;
    }

    static RunRecord runOnce(PreparedRun& run) {
        RunRecord record;
        const GridSize& grid = run.input.grid;
        const auto voxels = static_cast<std::size_t>(grid.dimX) * grid.dimY * grid.dimZ;
        RecordingListener listener(record, voxels);
        std::ostringstream runLog;
        std::ostringstream failures;
        record.status = runEngine(run.input, run.context.work, listener, runLog, failures);
        record.runLog = runLog.str() + failures.str();
        const FloatVolume& nulls = run.context.work.nullMeasures->ref2vox;
        record.lastNulls = bitsOf(nulls.data(), nulls.size());
        record.generatorAfter = run.context.work.random.next;
        return record;
    }

    static void runTogether(PreparedRun& first, PreparedRun& second, RunRecord& firstRecord,
                            RunRecord& secondRecord) {
        std::thread one([&] { firstRecord = runOnce(first); });
        std::thread two([&] { secondRecord = runOnce(second); });
        one.join();
        two.join();
    }
};

TEST_F(ConcurrentRunsTest, TwoSeedsAtOnceEachGiveWhatTheyGiveAlone) {
    const std::unique_ptr<PreparedRun> first = prepareRun(11u, VoxelPassMethod::fast);
    const std::unique_ptr<PreparedRun> second = prepareRun(0xfffffff0u, VoxelPassMethod::fast);
    const RunRecord firstAlone = runOnce(*first);
    const RunRecord secondAlone = runOnce(*second);
    ASSERT_EQ(firstAlone.status, 1) << firstAlone.runLog;
    ASSERT_EQ(secondAlone.status, 1) << secondAlone.runLog;
    ASSERT_EQ(firstAlone.maps.size(), 2u * 2u * setup.parameters.mapTypesComputed.size());
    // The seed must matter, or equal records would prove nothing.
    EXPECT_NE(firstAlone.lastNulls, secondAlone.lastNulls);
    EXPECT_NE(firstAlone.generatorAfter, secondAlone.generatorAfter);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        RunRecord firstTogether;
        RunRecord secondTogether;
        runTogether(*first, *second, firstTogether, secondTogether);
        EXPECT_TRUE(firstTogether == firstAlone);
        EXPECT_TRUE(secondTogether == secondAlone);
    }
}

TEST_F(ConcurrentRunsTest, FastAndSequentialLoopsAtOnceGiveTheSameRun) {
    const std::unique_ptr<PreparedRun> fast = prepareRun(kSyntheticRunSeed, VoxelPassMethod::fast);
    const std::unique_ptr<PreparedRun> sequential = prepareRun(kSyntheticRunSeed, VoxelPassMethod::sequential);
    RunRecord fastRecord;
    RunRecord sequentialRecord;
    runTogether(*fast, *sequential, fastRecord, sequentialRecord);
    ASSERT_EQ(sequentialRecord.status, 1) << sequentialRecord.runLog;
    EXPECT_FALSE(sequentialRecord.progress.empty());
    EXPECT_TRUE(fastRecord == sequentialRecord);
    EXPECT_TRUE(runOnce(*sequential) == sequentialRecord) << "alone, the sequential run gives the same";
}

}  // namespace
