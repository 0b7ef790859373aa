// The memory budget of the runs: sizes as users write them, the machine's
// memory to spare from /proc/meminfo's text, and runs held or spilled by it
// (sharing it across the runs of one analysis) with the same maps either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/memory_budget.h"
#include "analysis/run_set.h"
#include "analysis_test_support.h"

using namespace ldi;
using namespace analysis_test;

namespace {

constexpr int64_t MIB = int64_t{1} << 20, GIB = int64_t{1} << 30;

TEST(MemorySize, UnitsAreBinaryAndFractionsNeedOne) {
    const std::vector<std::pair<std::string, int64_t>> sizes = {
        {"0", 0},           {"1048576", MIB},  {"1024B", 1024},     {"800M", 800 * MIB}, {"800m", 800 * MIB},
        {"4G", 4 * GIB},    {"4GB", 4 * GIB},  {"4GiB", 4 * GIB},   {"1.5G", 3 * GIB / 2}, {"2T", 2048 * GIB},
        {"64k", 64 * 1024},
    };
    for (const auto& [text, expected] : sizes) {
        int64_t bytes = -1;
        std::string problem;
        EXPECT_TRUE(parseMemorySize(text, bytes, problem)) << text << ": " << problem;
        EXPECT_EQ(bytes, expected) << text;
    }
}

TEST(MemorySize, BadSizesAreRefusedWithTheTextAndWhatToGive) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"", "not a size"},        {"G", "not a size"},          {"-1G", "not a size"},
        {".5G", "not a size"},     {"4.G", "not a size"},        {"4X", "unknown unit \"X\""},
        {"4 G", "unknown unit"},   {"4GG", "unknown unit"},      {"1e9", "unknown unit"},
        {"1.5", "a fraction of a byte"}, {"99999999T", "larger than an exbibyte"},
    };
    for (const auto& [text, why] : refused) {
        int64_t bytes = 7;
        std::string problem;
        EXPECT_FALSE(parseMemorySize(text, bytes, problem)) << text;
        EXPECT_EQ(bytes, 7) << text;
        EXPECT_NE(problem.find("\"" + text + "\": " + why), std::string::npos) << problem;
        EXPECT_NE(problem.find("800M, 4G"), std::string::npos) << problem;
    }
}

std::string meminfo(int64_t availableKb) {
    return "MemTotal:       24683772 kB\nMemFree:         1000000 kB\nMemAvailable:   " + std::to_string(availableKb) +
           " kB\nBuffers:          100 kB\n";
}

TEST(MemoryToSpare, AvailableLessAQuarterAndAtLeastHalfAGibibyte) {
    EXPECT_EQ(memoryToSpare(meminfo(8 * 1024 * 1024)), 6 * GIB);
    EXPECT_EQ(memoryToSpare(meminfo(1024 * 1024)), 512 * MIB);  // the floor of what is kept back
    EXPECT_EQ(memoryToSpare(meminfo(300 * 1024)), 0);
    EXPECT_EQ(memoryToSpare("MemTotal: 1000 kB\nMemFree: 900 kB\n"), -1);
    EXPECT_EQ(memoryToSpare(""), -1);
    // MemFree is not MemAvailable, though it is a prefix of neither.
    EXPECT_EQ(memoryToSpare("MemAvailableX: 5 kB\n"), -1);
}

TEST(MemoryToSpare, ACgroupLimitCountsWhenItLeavesLess) {
    const std::string machine = meminfo(16 * 1024 * 1024);
    EXPECT_EQ(memoryToSpare(machine, std::to_string(4 * GIB) + "\n", std::to_string(GIB) + "\n"), 3 * GIB - 768 * MIB);
    EXPECT_EQ(memoryToSpare(machine, "max\n", std::to_string(GIB) + "\n"), 12 * GIB);
    EXPECT_EQ(memoryToSpare(machine, std::to_string(64 * GIB), "0"), 12 * GIB);
    EXPECT_EQ(memoryToSpare(machine, std::to_string(GIB), std::to_string(2 * GIB)), 0);  // over it already
}

TEST(MemoryToSpare, TheAutomaticBudgetIsResolvedAndAGivenOneKept) {
    EXPECT_GE(resolvedBudgets(SourceBudgets{}).inMemory, 0);
    EXPECT_EQ(resolvedBudgets(SourceBudgets{123, 456}).inMemory, 123);
    EXPECT_EQ(resolvedBudgets(SourceBudgets{123, 456}).block, 456);
}

constexpr int VOLUMES = 40;
constexpr int64_t RUN_BYTES = int64_t{VOXELS} * VOLUMES * 4;

AnalysisRequest twoRuns(const TestFolder& folder) {
    writeRun(folder / "sub-01_task-x_run-1_bold.nii", testGrid(), coupledRun(1, VOLUMES));
    writeRun(folder / "sub-01_task-x_run-2_bold.nii", testGrid(), coupledRun(2, VOLUMES));
    AnalysisRequest request = smallRequest(folder);
    for (const char* name : {"sub-01_task-x_run-1_bold.nii", "sub-01_task-x_run-2_bold.nii"}) {
        RunRequest run;
        run.path = (folder / name).string();
        request.runs.push_back(run);
    }
    SeedRequest seed;
    seed.name = "S";
    seed.shape = SeedRequest::Shape::maskFlags;
    seed.maskFlags.assign(VOXELS, 0);
    seed.maskFlags[static_cast<std::size_t>(voxelIndex(0, 1, 1))] = 1;
    seed.maskFlags[static_cast<std::size_t>(voxelIndex(1, 2, 2))] = 1;
    request.seeds = {seed};
    return request;
}

// Per run: whether it spilled.
std::vector<bool> spills(const AnalysisRequest& request) {
    std::vector<std::unique_ptr<OpenedRun>> runs;
    std::vector<std::string> warnings;
    std::string problem;
    std::vector<bool> spilled;
    EXPECT_TRUE(openRuns(request, runs, warnings, problem)) << problem;
    EXPECT_TRUE(loadRuns(request, runs, {}, problem)) << problem;
    for (const auto& run : runs) {
        const auto* source = dynamic_cast<const NiftiSliceSource*>(run->source.get());
        EXPECT_NE(source, nullptr);
        spilled.push_back(source == nullptr || source->spilled());
        EXPECT_EQ(run->heldBytes, spilled.back() ? 0 : RUN_BYTES);
    }
    return spilled;
}

// The runs held take no more than the budget together: a run is held while
// it fits what the runs before it left, to the byte.
TEST(RunBudget, RunsAreHeldWhileTheyFitWhatIsLeftAndSpilledBeyond) {
    TestFolder folder;
    AnalysisRequest request = twoRuns(folder);
    std::filesystem::create_directories(request.outputFolder);
    const std::vector<std::pair<int64_t, std::vector<bool>>> cases = {
        {0, {true, true}},
        {RUN_BYTES - 1, {true, true}},
        {RUN_BYTES, {false, true}},
        {2 * RUN_BYTES - 1, {false, true}},
        {2 * RUN_BYTES, {false, false}},
        {SourceBudgets::automatic, {false, false}},  // a few kB: any machine spares them
    };
    for (const auto& [budget, expected] : cases) {
        request.budgets = SourceBudgets{budget, int64_t{3} * VOXELS * 4};  // blocks of three volumes
        EXPECT_EQ(spills(request), expected) << "budget " << budget;
    }
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    // Empty vectors may hold no storage at all: memcmp takes no null pointer.
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// The one seed's results of the request run with the runs' budget `budget`
// (blocks of three volumes when spilled).
SeedResults seedResultsWithin(AnalysisRequest request, int64_t budget) {
    request.budgets = SourceBudgets{budget, int64_t{3} * VOXELS * 4};
    std::vector<SeedResults> maps;
    AnalysisResults results;
    runAnalysis(request, [&maps](const MapRunRecord&, const SeedResults& seed, std::string&) {
        maps.push_back(seed);
        return true;
    }, results);
    EXPECT_EQ(results.status, AnalysisStatus::done) << results.problem;
    EXPECT_EQ(maps.size(), 1u);
    return maps.empty() ? SeedResults() : maps.front();
}

void expectSameResults(const SeedResults& held, const SeedResults& other, const std::string& what) {
    ASSERT_EQ(held.maps.size(), other.maps.size()) << what;
    for (std::size_t m = 0; m < held.maps.size(); ++m) {
        EXPECT_TRUE(sameBits(held.maps[m], other.maps[m])) << "map " << m << ", " << what;
        EXPECT_TRUE(sameBits(held.thresholds[m].thresholds, other.thresholds[m].thresholds)) << "map " << m;
        EXPECT_TRUE(sameBits(held.thresholds[m].pValues, other.thresholds[m].pValues)) << "map " << m;
        EXPECT_EQ(held.thresholds[m].passing, other.thresholds[m].passing) << "map " << m;
    }
    EXPECT_EQ(held.runLog, other.runLog) << what;
}

// Held or spilled (in blocks that do not divide the run), the maps,
// thresholds and run logs are the same to the bit.
TEST(RunBudget, MapsAreTheSameHeldOrSpilled) {
    TestFolder folder;
    const AnalysisRequest request = twoRuns(folder);
    const SeedResults held = seedResultsWithin(request, 2 * RUN_BYTES);
    expectSameResults(held, seedResultsWithin(request, RUN_BYTES), "the second run spilled");
    expectSameResults(held, seedResultsWithin(request, 0), "both spilled");
}

// With a brain mask a held run keeps only the mask's voxels: the budget
// counts those alone, every slice reads back the run's values there and zeros
// elsewhere, and the maps are those of the run spilled whole.
TEST(RunBudget, WithABrainMaskOnlyItsVoxelsAreHeldAndTheMapsAreTheSame) {
    TestFolder folder;
    AnalysisRequest request = twoRuns(folder);
    std::vector<uint8_t> brain(VOXELS, 0);
    int inside = 0;
    for (int v = 0; v < VOXELS; ++v)
        if (v % NX < 4 && v % 7 != 3) {
            brain[static_cast<std::size_t>(v)] = 1;
            ++inside;
        }
    const int64_t heldBytes = int64_t{inside} * VOLUMES * 4;
    std::filesystem::create_directories(request.outputFolder);  // where a run spills

    // The budget and what a slice reads, against the run as written.
    const std::vector<std::vector<float>> data = coupledRun(1, VOLUMES);
    for (const int64_t budget : {heldBytes, heldBytes - 1}) {
        request.budgets = SourceBudgets{budget, int64_t{3} * VOXELS * 4};
        std::vector<std::unique_ptr<OpenedRun>> runs;
        std::vector<std::string> warnings;
        std::string problem;
        ASSERT_TRUE(openRuns(request, runs, warnings, problem)) << problem;
        ASSERT_TRUE(loadRuns(request, runs, brain, problem)) << problem;
        auto* source = dynamic_cast<NiftiSliceSource*>(runs[0]->source.get());
        ASSERT_NE(source, nullptr);
        EXPECT_EQ(source->spilled(), budget < heldBytes) << budget;
        EXPECT_EQ(runs[0]->heldBytes, budget < heldBytes ? 0 : heldBytes);
        SliceValues slice;
        source->allocateSlice(slice);
        for (int z = 0; z < NZ; ++z) {
            ASSERT_TRUE(source->readSlice(z, slice));
            for (int v = z * NX * NY; v < (z + 1) * NX * NY; ++v)
                for (int t = 0; t < VOLUMES; ++t) {
                    const float read = slice.floats.get()[(v - z * NX * NY) * VOLUMES + t];
                    const bool kept = brain[static_cast<std::size_t>(v)] != 0 || budget < heldBytes;
                    ASSERT_EQ(read, kept ? data[static_cast<std::size_t>(t)][static_cast<std::size_t>(v)] : 0.0f)
                        << "voxel " << v << ", volume " << t << ", budget " << budget;
                }
        }
        // One voxel's values alone (a seed's), gathered from the held blocks: as its slice reads.
        std::vector<float> course(VOLUMES);
        for (int v = 0; v < VOXELS; ++v) {
            ASSERT_TRUE(source->readTimeCourse(v, course.data()));
            const int z = v / (NX * NY);
            ASSERT_TRUE(source->readSlice(z, slice));
            const float* row = slice.floats.get() + (v - z * NX * NY) * VOLUMES;
            ASSERT_TRUE(std::equal(course.begin(), course.end(), row)) << "voxel " << v << ", budget " << budget;
        }
        EXPECT_FALSE(source->readTimeCourse(VOXELS, course.data()));
    }

    request.brainMaskFlags = brain;
    expectSameResults(seedResultsWithin(request, 2 * heldBytes), seedResultsWithin(request, 0),
                      "the mask's voxels held, or every voxel spilled");
}

}  // namespace
