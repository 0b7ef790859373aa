// The engine driven the way a front end other than the plug-in drives it: its
// own source of slices held in memory and its own listener, checked against
// the plug-in's whole run through the host on the same data.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/slice_source.h"
#include "support/whole_run.h"
#include "stats/parallel.h"
#include "support/synthetic_run.h"

using namespace ldi;

namespace {

// A driven region and background noise, different in every voxel.
float drivenData(int x, int y, int z, int t) {
    const float drive = (x == 1 && y == 1) ? 40.0f * testNoise(0, 0, 0, t - 1, 7) : 0.0f;
    return 1000.0f + 50.0f * testNoise(x, y, z, t) + drive;
}

// Float32 slices computed on demand, in the order a VTC stores them.
class MemorySource : public SliceSource {
public:
    MemorySource(std::string name, GridSize grid, int32_t volumes) : name_(std::move(name)), grid_(grid), volumes_(volumes) {}
    const std::string& name() const override { return name_; }
    int32_t numVolumes() const override { return volumes_; }
    bool holdsFloats() const override { return true; }
    int32_t sliceValueCount() const override { return grid_.dimX * grid_.dimY * volumes_; }
    int64_t sliceBytes() const override { return int64_t{4} * sliceValueCount(); }
    void allocateSlice(SliceValues& slice) const override {
        slice.floats = makeLargeArray<float>(static_cast<std::size_t>(sliceValueCount()));
        slice.capacity = sliceValueCount();
    }
    bool readSlice(int32_t z, SliceValues& slice) override {
        std::size_t at = 0;
        for (int32_t y = 0; y < grid_.dimY; ++y)
            for (int32_t x = 0; x < grid_.dimX; ++x)
                for (int32_t t = 0; t < volumes_; ++t) slice.floats[at++] = drivenData(x, y, z, t);
        return true;
    }

private:
    std::string name_;
    GridSize grid_;
    int32_t volumes_;
};

// Keeps every map and its thresholds, which threads called, and how many
// references held surrogates while each map was written.
class CollectingListener : public EngineListener {
public:
    explicit CollectingListener(std::size_t voxels, const EngineInput* input = nullptr)
        : voxels_(voxels), input_(input) {}
    void progress(const EngineProgress&) override { callers.push_back(std::this_thread::get_id()); }
    int beginSeed(int32_t) override {
        callers.push_back(std::this_thread::get_id());
        return 1;
    }
    float* mapBuffer(int32_t, int32_t, int32_t, std::ostream&) override {
        callers.push_back(std::this_thread::get_id());
        if (input_ != nullptr) {
            int holding = 0;
            for (const EngineSeed& seed : input_->seeds)
                for (const VoiTimeCourse* record : seed.references)
                    if (record != nullptr && record->surrogates.rowCount > 0) ++holding;
            referencesHoldingSurrogates.push_back(holding);
        }
        maps.emplace_back(voxels_, -1.0f);
        return maps.back().data();
    }
    int mapFinished(int32_t, int32_t, int32_t, const MapThresholds& map, std::ostream&) override {
        callers.push_back(std::this_thread::get_id());
        thresholds.push_back(map.thresholds);
        return 1;
    }
    int endSeed(int32_t) override {
        callers.push_back(std::this_thread::get_id());
        return 1;
    }

    std::vector<std::vector<float>> maps;
    std::vector<std::vector<float>> thresholds;
    std::vector<std::thread::id> callers;
    std::vector<int> referencesHoldingSurrogates;

private:
    std::size_t voxels_;
    const EngineInput* input_;
};

class EngineTest : public SyntheticRunTest {};

TEST_F(EngineTest, AnotherSourceAndListenerGetThePlugInsMapsAndThresholdsOnTheCallingThread) {
    VtcWriterOptions options;
    options.numVolumes = 60;
    options.xEnd = 9;  // 3 x 2 x 3 voxels
    options.zEnd = 9;
    options.value = drivenData;
    const std::string vtc = writeVtc("run.vtc", options);
    addVoi("R", 0, {{1, 1, 0}, {1, 1, 1}, {1, 1, 2}});
    Condition& condition = addCondition(setup, "A");
    addEntry(condition, vtc, vtc, {{3, 30}, {32, 60}});
    setup.parameters.numSurrogateSimulations = 50;

    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        requestThreadCount(threads);
        context.options.threads = threads;
        // The plug-in's own run, through the host.
        host().saves.clear();
        AnalysisContext pluginContext;
        ASSERT_EQ(runAnalysis(pluginContext, setup, errors), 1) << errors.str();
        ASSERT_EQ(host().saves.size(), 1u);
        const std::vector<FakeMap> hostMaps = host().saves[0].maps;

        // The same computation with the slices from memory and maps kept here.
        releaseAnalysisContext(context);
        context.work.workers = std::make_unique<WorkerTeam>(threads - 1);
        ASSERT_EQ(prepareReferenceTimeCourses(context, setup, errors), 1) << errors.str();
        EngineInput input = engineInputOf(context, setup);
        MemorySource memory("memory", input.grid, options.numVolumes);
        for (SliceSource*& source : input.sources) source = &memory;
        CollectingListener listener(static_cast<std::size_t>(input.grid.dimX * input.grid.dimY * input.grid.dimZ));
        std::ostringstream log;
        ASSERT_EQ(runEngine(input, context.work, listener, log, errors), 1) << errors.str();

        ASSERT_EQ(listener.maps.size(), hostMaps.size());
        for (std::size_t k = 0; k < hostMaps.size(); ++k) {
            EXPECT_EQ(listener.maps[k], hostMaps[k].voxels) << "map " << k;
            if (!listener.thresholds[k].empty()) {
                EXPECT_EQ(listener.thresholds[k], hostMaps[k].fdrThresholds) << "map " << k;
            }
        }
        for (const std::thread::id& caller : listener.callers) EXPECT_EQ(caller, std::this_thread::get_id());
    }
}

// The surrogates, series x volumes for every reference, are held for one seed
// at a time, whatever the number of seeds.
TEST_F(EngineTest, SurrogatesAreHeldForOneSeedAtATime) {
    VtcWriterOptions options;
    options.numVolumes = 40;
    options.xEnd = options.yEnd = options.zEnd = 6;
    options.value = drivenData;
    const std::string vtc = writeVtc("run.vtc", options);
    addEntry(addCondition(setup, "A"), vtc, vtc, {{3, 40}});
    addVoi("R1", 0, {{1, 1, 0}});
    addVoi("R2", 1, {{0, 1, 1}});
    addVoi("R3", 2, {{1, 0, 1}});
    context.work.workers = std::make_unique<WorkerTeam>(1);
    ASSERT_EQ(prepareReferenceTimeCourses(context, setup, errors), 1) << errors.str();
    const EngineInput input = engineInputOf(context, setup);
    CollectingListener listener(8, &input);
    std::ostringstream log;
    ASSERT_EQ(runEngine(input, context.work, listener, log, errors), 1) << errors.str();
    EXPECT_EQ(listener.referencesHoldingSurrogates, std::vector<int>(18, 1));
}

}  // namespace
