// runAnalysis on small runs made here: which voxels are analysed across runs
// and masks, which voxels a seed keeps and its reference time course against
// means computed here, conditions given as intervals against the same ones
// from events, and inputs refused before anything is left on the disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>

#include "analysis/analysis.h"
#include "analysis/non_steady_state.h"
#include "analysis/parameters.h"
#include "analysis_test_support.h"
#include "formats/gzip_output.h"

using namespace ldi;
using namespace analysis_test;

namespace {

RunRequest runAt(const fs::path& path, const std::string& events = std::string()) {
    RunRequest run;
    run.path = path.string();
    run.events = events;
    return run;
}

SeedRequest flagSeed(const std::string& name, const std::vector<int>& voxels) {
    SeedRequest seed;
    seed.name = name;
    seed.shape = SeedRequest::Shape::maskFlags;
    seed.maskFlags.assign(VOXELS, 0);
    for (int v : voxels) seed.maskFlags[static_cast<std::size_t>(v)] = 1;
    return seed;
}

// Runs the request, keeping every seed's maps.
AnalysisResults analyse(const AnalysisRequest& request, std::vector<SeedResults>& maps) {
    AnalysisResults results;
    runAnalysis(request, [&maps](const MapRunRecord&, const SeedResults& seed, std::string&) {
        maps.push_back(seed);
        return true;
    }, results);
    return results;
}

bool mentions(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

}  // namespace

TEST(AnalysedVoxels, AVoxelUnusableInAnyOneRunIsLeftOutOfEveryMapAndSeed) {
    TestFolder folder;
    const NiftiHeader grid = testGrid();
    std::vector<std::vector<float>> first = coupledRun(1), second = coupledRun(2);
    const int nanInFirst = voxelIndex(0, 1, 1), constantInFirst = voxelIndex(4, 2, 2), constantInSecond = voxelIndex(5, 0, 3);
    first[10][nanInFirst] = std::numeric_limits<float>::quiet_NaN();
    for (auto& volume : first) volume[constantInFirst] = 7.0f;
    for (auto& volume : second) volume[constantInSecond] = 7.0f;
    writeRun(folder / "sub-01_task-x_run-1_bold.nii", grid, first);
    writeRun(folder / "sub-01_task-x_run-2_bold.nii", grid, second);

    AnalysisRequest request = smallRequest(folder);
    request.runs = {runAt(folder / "sub-01_task-x_run-1_bold.nii"), runAt(folder / "sub-01_task-x_run-2_bold.nii")};
    request.seeds = {flagSeed("S", {voxelIndex(0, 0, 1), nanInFirst, voxelIndex(1, 1, 1)})};
    std::vector<SeedResults> maps;
    const AnalysisResults results = analyse(request, maps);
    ASSERT_EQ(results.status, AnalysisStatus::done) << results.problem;

    for (int v = 0; v < VOXELS; ++v) {
        const bool usable = v != nanInFirst && v != constantInFirst && v != constantInSecond;
        EXPECT_EQ(results.analysed[static_cast<std::size_t>(v)], usable ? 1 : 0) << "voxel " << v;
    }
    EXPECT_EQ(results.analysedCount, VOXELS - 3);
    EXPECT_EQ(results.seeds[0].voxels, (std::vector<int64_t>{voxelIndex(0, 0, 1), voxelIndex(1, 1, 1)}));
    EXPECT_TRUE(mentions(results.warnings, "seed 'S': 1 of its 3 voxels lie outside the analysed voxels"));
    ASSERT_EQ(maps.size(), 1u);
    ASSERT_FALSE(maps[0].maps.empty());
    int nonzero = 0;
    for (const std::vector<float>& map : maps[0].maps) {
        for (const int v : {nanInFirst, constantInFirst, constantInSecond}) EXPECT_EQ(map[static_cast<std::size_t>(v)], 0.0f);
        nonzero += static_cast<int>(std::count_if(map.begin(), map.end(), [](float x) { return x != 0.0f; }));
    }
    EXPECT_GT(nonzero, VOXELS);  // the maps hold values elsewhere
    EXPECT_EQ(results.record.entityPrefix, "sub-01_task-x");
    ASSERT_EQ(results.record.inputs.size(), 2u);
    EXPECT_EQ(results.conditionNames, std::vector<std::string>{"x"});
}

TEST(AnalysedVoxels, TheBrainMaskChoosesTheVoxelsAndTheSeedsKeepOnlyUsableOnesInside) {
    TestFolder folder;
    const NiftiHeader grid = testGrid();
    std::vector<std::vector<float>> data = coupledRun(5);
    const int brokenInSeed = voxelIndex(1, 3, 2);
    data[4][brokenInSeed] = std::numeric_limits<float>::infinity();
    writeRun(folder / "run_bold.nii", grid, data);
    std::vector<float> brain(VOXELS, 1.0f);
    for (int z = 0; z < NZ; ++z)
        for (int y = 0; y < NY; ++y) brain[static_cast<std::size_t>(voxelIndex(0, y, z))] = 0.0f;  // x = 0 outside
    writeMask(folder / "brain.nii.gz", grid, brain);

    AnalysisRequest request = smallRequest(folder);
    request.runs = {runAt(folder / "run_bold.nii")};
    request.brainMasks = {(folder / "brain.nii.gz").string()};
    // Two seeds: the columns x < 2 of slice z = 2 as flags, and a sphere of
    // 3 mm (the six neighbours) around voxel (1, 2, 1).
    std::vector<int> columns;
    for (int y = 0; y < NY; ++y)
        for (int x = 0; x < 2; ++x) columns.push_back(voxelIndex(x, y, 2));
    SeedRequest sphere;
    sphere.name = "Ball";
    sphere.shape = SeedRequest::Shape::sphere;
    sphere.sphere = {-9.0 + 3.0, -6.0 + 6.0, -3.0 + 3.0, 3.0};
    request.seeds = {flagSeed("Columns", columns), sphere};
    std::vector<SeedResults> maps;
    const AnalysisResults results = analyse(request, maps);
    ASSERT_EQ(results.status, AnalysisStatus::done) << results.problem;

    for (int v = 0; v < VOXELS; ++v) EXPECT_EQ(results.analysed[static_cast<std::size_t>(v)], brain[static_cast<std::size_t>(v)] != 0.0f ? 1 : 0);
    std::vector<int64_t> expectedColumns, expectedBall;
    for (int y = 0; y < NY; ++y)
        if (voxelIndex(1, y, 2) != brokenInSeed) expectedColumns.push_back(voxelIndex(1, y, 2));
    expectedBall = {voxelIndex(1, 2, 0), voxelIndex(1, 1, 1), voxelIndex(1, 2, 1), voxelIndex(2, 2, 1),
                    voxelIndex(1, 3, 1), voxelIndex(1, 2, 2)};  // (0, 2, 1) lies outside the brain
    ASSERT_EQ(results.seeds.size(), 2u);
    EXPECT_EQ(results.seeds[0].voxels, expectedColumns);
    EXPECT_EQ(results.seeds[1].voxels, expectedBall);

    // The references: plain means of the kept voxels at every volume.
    const std::vector<int64_t>* kept[] = {&expectedColumns, &expectedBall};
    for (std::size_t s = 0; s < 2; ++s) {
        const std::vector<float>& mean = results.seeds[s].meanTimeCourses.at(0);
        ASSERT_EQ(mean.size(), data.size());
        for (std::size_t t = 0; t < data.size(); ++t) {
            double sum = 0.0;
            for (const int64_t v : *kept[s]) sum += data[t][static_cast<std::size_t>(v)];
            EXPECT_NEAR(mean[t], sum / static_cast<double>(kept[s]->size()), 2e-4) << "seed " << s << " volume " << t;
        }
    }
    for (const SeedResults& seed : maps)
        for (const std::vector<float>& map : seed.maps)
            for (int v = 0; v < VOXELS; ++v)
                if (brain[static_cast<std::size_t>(v)] == 0.0f) {
                    EXPECT_EQ(map[static_cast<std::size_t>(v)], 0.0f);
                }
    ASSERT_EQ(results.record.inputs.size(), 2u);
    EXPECT_EQ(results.record.inputs[1].path, (folder / "brain.nii.gz").string());
}

TEST(Conditions, IntervalsGivenAsVolumesGiveTheMapsOfTheSameIntervalsFromEvents) {
    TestFolder folder;
    writeRun(folder / "run_bold.nii", testGrid(), coupledRun(9));
    // TR 2 s: events at 0-40 s and 100-140 s are volumes 1-20 and 51-70, 40-100 s volumes 21-50.
    std::ofstream(folder / "events.tsv") << "onset\tduration\ttrial_type\n0\t40\tA\n40\t60\tB\n100\t40\tA\n";
    AnalysisRequest fromEvents = smallRequest(folder);
    fromEvents.runs = {runAt(folder / "run_bold.nii", (folder / "events.tsv").string())};
    fromEvents.seeds = {flagSeed("S", {voxelIndex(0, 0, 0), voxelIndex(1, 0, 0)})};
    fromEvents.outputFolder = (folder / "events").string();
    AnalysisRequest fromIntervals = fromEvents;
    fromIntervals.runs[0].events.clear();
    fromIntervals.intervalConditions = {{"A", {{Interval{1, 20}, Interval{51, 70}}}}, {"B", {{Interval{21, 50}}}}};
    fromIntervals.outputFolder = (folder / "intervals").string();

    std::vector<SeedResults> a, b;
    const AnalysisResults first = analyse(fromEvents, a), second = analyse(fromIntervals, b);
    ASSERT_EQ(first.status, AnalysisStatus::done) << first.problem;
    ASSERT_EQ(second.status, AnalysisStatus::done) << second.problem;
    EXPECT_EQ(first.conditionNames, second.conditionNames);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a[0].maps, b[0].maps);
    for (std::size_t m = 0; m < a[0].thresholds.size(); ++m) EXPECT_EQ(a[0].thresholds[m].thresholds, b[0].thresholds[m].thresholds);
    // The run log names the same intervals.
    EXPECT_EQ(a[0].runLog, b[0].runLog);
}

TEST(Conditions, EventsWithoutTrialTypeAreOneConditionNamedAfterTheTask) {
    TestFolder folder;
    writeRun(folder / "sub-01_task-rest_bold.nii", testGrid(), coupledRun(9));
    // trial_type is optional in BIDS: these events are those of type "rest" below.
    std::ofstream(folder / "untyped.tsv") << "onset\tduration\n0\t40\n100\t40\n";
    std::ofstream(folder / "typed.tsv") << "onset\tduration\ttrial_type\n0\t40\trest\n40\t60\tB\n100\t40\trest\n";
    AnalysisRequest untyped = smallRequest(folder);
    untyped.runs = {runAt(folder / "sub-01_task-rest_bold.nii", (folder / "untyped.tsv").string())};
    untyped.seeds = {flagSeed("S", {voxelIndex(0, 0, 0), voxelIndex(1, 0, 0)})};
    untyped.outputFolder = (folder / "untyped").string();
    AnalysisRequest typed = untyped;
    typed.runs[0].events = (folder / "typed.tsv").string();
    typed.conditions = {"rest"};
    typed.outputFolder = (folder / "typed").string();

    std::vector<SeedResults> a, b;
    const AnalysisResults first = analyse(untyped, a), second = analyse(typed, b);
    ASSERT_EQ(first.status, AnalysisStatus::done) << first.problem;
    ASSERT_EQ(second.status, AnalysisStatus::done) << second.problem;
    EXPECT_EQ(first.conditionNames, std::vector<std::string>{"rest"});
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a[0].maps, b[0].maps);
    // The run log names the NIfTI run as a run (a VTC is the plug-in's file).
    EXPECT_NE(a[0].runLog.find("\trun: " + (folder / "sub-01_task-rest_bold.nii").string() + "\n"), std::string::npos)
        << a[0].runLog;
    EXPECT_EQ(a[0].runLog.find("VTC"), std::string::npos) << a[0].runLog;
}

TEST(SphereSeeds, OnAnImageWithoutWorldCoordinatesWarn) {
    TestFolder folder;
    NiftiHeader bare = testGrid();
    bare.sformCode = 0;
    writeRun(folder / "bare_bold.nii", bare, coupledRun(5));
    writeRun(folder / "placed_bold.nii", testGrid(), coupledRun(5));
    const std::string said = "has neither an sform nor a qform";
    for (const char* run : {"bare_bold.nii", "placed_bold.nii"}) {
        AnalysisRequest request = smallRequest(folder);
        request.runs = {runAt(folder / run)};
        SeedRequest sphere;
        sphere.name = "Ball";
        sphere.shape = SeedRequest::Shape::sphere;
        sphere.sphere = {3, 3, 3, 4};
        request.seeds = {sphere, flagSeed("Flags", {voxelIndex(0, 0, 0)})};
        request.outputFolder = (folder / (std::string(run) + ".out")).string();
        std::vector<SeedResults> maps;
        const AnalysisResults results = analyse(request, maps);
        ASSERT_EQ(results.status, AnalysisStatus::done) << results.problem;
        const auto warned = std::count_if(results.warnings.begin(), results.warnings.end(),
                                          [&](const std::string& w) { return w.find(said) != std::string::npos; });
        // The bare image warns once, for the sphere only; the placed one not at all.
        EXPECT_EQ(warned, std::string(run) == "bare_bold.nii" ? 1 : 0) << run;
        if (warned == 1) {
            EXPECT_TRUE(mentions(results.warnings, "seed 'Ball': ")) << run;
        }
    }
}

TEST(RefusedInputs, StopBeforeAnythingIsComputedAndLeaveNoFolder) {
    TestFolder folder;
    writeRun(folder / "run_bold.nii", testGrid(), coupledRun(4));
    std::vector<float> brain(VOXELS, 0.0f);
    brain[static_cast<std::size_t>(voxelIndex(5, 4, 3))] = 1.0f;
    writeMask(folder / "corner.nii.gz", testGrid(), brain);
    struct Case {
        const char* what;
        std::function<void(AnalysisRequest&)> change;
        AnalysisStatus status;
        const char* message;
    };
    const Case cases[] = {
        {"a sphere off the grid", [](AnalysisRequest& r) { r.seeds[0].shape = SeedRequest::Shape::sphere; r.seeds[0].sphere = {400, 0, 0, 5}; },
         AnalysisStatus::badInput, "outside the grid"},
        {"a seed outside the brain mask", [&](AnalysisRequest& r) { r.brainMasks = {(folder / "corner.nii.gz").string()}; },
         AnalysisStatus::badInput, "none of its 1 voxels lies inside the analysed voxels of the mask"},
        {"a condition from no events", [](AnalysisRequest& r) { r.conditions = {"A"}; }, AnalysisStatus::badInput,
         "conditions choose among the trial types"},
        {"too much skipped", [](AnalysisRequest& r) { r.skip = 80; }, AnalysisStatus::badInput, "leaves none of its 80 volumes"},
        {"p-values of the plug-in's rule", [](AnalysisRequest& r) { r.statistics.fdr = FdrMethod::plugin; r.statistics.writeP = "p"; },
         AnalysisStatus::badInput, "write p p: the plug-in's rule gives no p-values"},
        {"more null draws than allowed", [](AnalysisRequest& r) { r.statistics.nullDraws = 2000000000; },
         AnalysisStatus::badInput, "null draws 2000000000: give 1 to 1000"},
        {"a sphere of negative radius", [](AnalysisRequest& r) { r.seeds[0].shape = SeedRequest::Shape::sphere; r.seeds[0].sphere = {0, 0, 0, -1}; },
         AnalysisStatus::badInput, "the sphere's radius -1 is not a positive number of mm"},
        {"negative threads", [](AnalysisRequest& r) { r.threads = -1; }, AnalysisStatus::badInput, "threads -1: give 1 to 4096"},
        // Names go into every report and index: checked before anything is computed.
        {"a seed name that is no UTF-8", [](AnalysisRequest& r) { r.seeds[0].name = "S\xE9" "ed"; },
         AnalysisStatus::badInput, "the seed name is not UTF-8 text (byte 0xE9 at 2)"},
        {"a seed name of 100 kB", [](AnalysisRequest& r) { r.seeds[0].name = std::string(100000, '-'); },
         AnalysisStatus::badInput, "...' is 100000 bytes long"},
        {"a seed name with a control byte", [](AnalysisRequest& r) { r.seeds[0].name = "S\x1b[2J"; },
         AnalysisStatus::badInput, "the seed name holds the control byte 0x1B"},
        {"a trial type that is no UTF-8", [&](AnalysisRequest& r) {
             std::ofstream(folder / "latin1.tsv") << "onset\tduration\ttrial_type\n0\t40\tpr\xE9\n";
             r.runs[0].events = (folder / "latin1.tsv").string();
         }, AnalysisStatus::badInput, "latin1.tsv:2: the trial_type is not UTF-8 text"},
        {"a run of 2 volumes", [&](AnalysisRequest& r) {
             writeRun(folder / "short_bold.nii", testGrid(), coupledRun(4, 2));
             r.runs[0].path = (folder / "short_bold.nii").string();
         }, AnalysisStatus::badInput, "leaves 1 time points to fit models of order"},
    };
    for (const Case& c : cases) {
        AnalysisRequest request = smallRequest(folder);
        request.runs = {runAt(folder / "run_bold.nii")};
        request.seeds = {flagSeed("S", {voxelIndex(0, 0, 0)})};
        c.change(request);
        std::vector<SeedResults> maps;
        const AnalysisResults results = analyse(request, maps);
        EXPECT_EQ(results.status, c.status) << c.what;
        EXPECT_NE(results.problem.find(c.message), std::string::npos) << c.what << ": " << results.problem;
        EXPECT_TRUE(maps.empty()) << c.what;
        EXPECT_FALSE(fs::exists(request.outputFolder)) << c.what;
    }
}

namespace {

// `from` gzipped into `to`.
void gzipFile(const fs::path& from, const fs::path& to) {
    std::ifstream plain(from, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(plain)), std::istreambuf_iterator<char>());
    ByteBuffer packed;
    std::string problem;
    const std::string_view whole(bytes);
    ASSERT_TRUE(gzipPieces(&whole, 1, "the run", packed, problem)) << problem;
    std::ofstream(to, std::ios::binary).write(packed.bytes.get(), static_cast<std::streamsize>(packed.size));
}

}  // namespace

TEST(NonSteadyState, ADarkFirstVolumeIsSkippedAsAnExplicitSkipWouldAndRecorded) {
    TestFolder folder;
    std::vector<std::vector<float>> run = coupledRun(4);
    for (float& value : run[0]) value -= 40.0f;  // before the steady state: darker everywhere
    // Compressed and longer than the 50 volumes the detection reads: the
    // load goes on from where the detection's reader stands.
    writeRun(folder / "plain.nii", testGrid(), run);
    gzipFile(folder / "plain.nii", folder / "sub-01_task-x_bold.nii.gz");
    AnalysisRequest request = smallRequest(folder);
    request.runs = {runAt(folder / "sub-01_task-x_bold.nii.gz")};
    request.seeds = {flagSeed("S", {voxelIndex(0, 0, 1), voxelIndex(1, 1, 1)})};

    request.detectNonSteadyState = true;
    std::vector<SeedResults> detected;
    const AnalysisResults found = analyse(request, detected);
    ASSERT_EQ(found.status, AnalysisStatus::done) << found.problem;
    ASSERT_EQ(found.record.runs.size(), 1u);
    EXPECT_EQ(found.record.runs[0].skipped, 1);
    EXPECT_EQ(found.record.runs[0].skipSource, "detected");
    EXPECT_TRUE(mentions(found.warnings, "its first 1 volume is an outlier of the global signal"));

    // The same maps as the volume left out by hand.
    request.detectNonSteadyState = false;
    request.skip = 1;
    std::vector<SeedResults> given;
    const AnalysisResults skipped = analyse(request, given);
    ASSERT_EQ(skipped.status, AnalysisStatus::done) << skipped.problem;
    EXPECT_EQ(skipped.record.runs[0].skipSource, "option");
    ASSERT_EQ(detected.size(), given.size());
    ASSERT_EQ(detected[0].maps.size(), given[0].maps.size());
    for (std::size_t m = 0; m < given[0].maps.size(); ++m) EXPECT_EQ(detected[0].maps[m], given[0].maps[m]) << m;
    ASSERT_TRUE(found.record.firstRunMean && skipped.record.firstRunMean);
    EXPECT_EQ(*found.record.firstRunMean, *skipped.record.firstRunMean);

    // Looked for and none found: the record says the detection decided.
    request.detectNonSteadyState = true;
    std::vector<SeedResults> clean;
    std::vector<std::vector<float>> steady = coupledRun(4);
    writeRun(folder / "plain.nii", testGrid(), steady);
    gzipFile(folder / "plain.nii", folder / "sub-01_task-x_bold.nii.gz");
    const AnalysisResults looked = analyse(request, clean);
    ASSERT_EQ(looked.status, AnalysisStatus::done) << looked.problem;
    EXPECT_EQ(looked.record.runs[0].skipped, 1);  // the skip given stands
    request.skip = 0;
    const AnalysisResults nothing = analyse(request, clean);
    EXPECT_EQ(nothing.record.runs[0].skipped, 0);
    EXPECT_EQ(nothing.record.runs[0].skipSource, "detected");

    // Asked for no skip, none is made.
    request.detectNonSteadyState = false;
    request.skip = 0;
    std::vector<SeedResults> kept;
    const AnalysisResults none = analyse(request, kept);
    EXPECT_EQ(none.record.runs[0].skipped, 0);
    EXPECT_FALSE(mentions(none.warnings, "outlier of the global signal"));
}


// What the detection read of a run is kept for the load, which goes on from
// the reader where the detection left it, when it fits the room given; a run
// that is regressed or held by the caller keeps nothing.
TEST(NonSteadyState, TheDetectionKeepsWhatItReadForTheLoadWithinItsRoom) {
    TestFolder folder;
    const std::vector<std::vector<float>> run = coupledRun(6, 60);
    writeRun(folder / "plain_bold.nii", testGrid(), run);
    gzipFile(folder / "plain_bold.nii", folder / "sub-01_task-x_bold.nii.gz");
    std::string problem;
    AnalysisRequest request = smallRequest(folder);
    request.runs = {runAt(folder / "sub-01_task-x_bold.nii.gz"), runAt(folder / "plain_bold.nii")};
    const int64_t fifty = int64_t{50} * VOXELS * static_cast<int64_t>(sizeof(float));

    std::vector<RunStart> starts;
    EXPECT_EQ(nonSteadyStateVolumes(request, &starts, 2 * fifty), nonSteadyStateVolumes(request));
    ASSERT_EQ(starts.size(), 2u);
    for (RunStart& start : starts) {
        ASSERT_EQ(start.count, 50);
        ASSERT_EQ(start.volumes.size(), 50u * VOXELS);
        for (int t = 0; t < 50; ++t)
            EXPECT_TRUE(std::equal(run[t].begin(), run[t].end(), start.volumes.begin() + t * VOXELS)) << t;
        std::vector<float> volume(VOXELS);
        for (int t = 50; t < 60; ++t) {
            ASSERT_TRUE(start.reader.readVolume(volume.data(), problem)) << problem;
            EXPECT_EQ(volume, run[t]) << t;
        }
        EXPECT_TRUE(start.reader.finish(problem)) << problem;
    }

    // Room for one run's: the first keeps, the second does not.
    nonSteadyStateVolumes(request, &starts, 2 * fifty - 1);
    EXPECT_EQ(starts[0].count, 50);
    EXPECT_EQ(starts[1].count, 0);
    EXPECT_TRUE(starts[1].volumes.empty());

    // A regressed run is read from its start by a loader of its own.
    request.runs[0].confounds = ConfoundTable();
    nonSteadyStateVolumes(request, &starts, 2 * fifty);
    EXPECT_EQ(starts[0].count, 0);
    EXPECT_EQ(starts[1].count, 50);
}

// The report's underlay is the first run's mean image, taken while the run is
// read rather than by reading it again: the mean of its volumes (a value not
// finite counting as 0), whichever way the run is read (held, spilled,
// regressed, which keeps every voxel's mean, or held by the caller), against
// the mean computed here, and never the second run's.
TEST(MeanImage, IsTheFirstRunsMeanAsGivenHeldSpilledRegressedOrInMemory) {
    TestFolder folder;
    const NiftiHeader grid = testGrid();
    std::vector<std::vector<float>> first = coupledRun(5, 40), second = coupledRun(6, 40);
    const int nanVoxel = voxelIndex(2, 2, 2);
    first[7][nanVoxel] = std::numeric_limits<float>::quiet_NaN();
    for (auto& volume : second)
        for (float& value : volume) value += 1000.0f;  // a second run's mean would be far off
    writeRun(folder / "sub-01_task-x_run-1_bold.nii", grid, first);
    writeRun(folder / "sub-01_task-x_run-2_bold.nii", grid, second);
    std::vector<double> expected(VOXELS, 0.0);
    for (const auto& volume : first)
        for (int v = 0; v < VOXELS; ++v)
            if (std::isfinite(volume[static_cast<std::size_t>(v)])) expected[static_cast<std::size_t>(v)] += volume[static_cast<std::size_t>(v)];
    for (double& value : expected) value /= static_cast<double>(first.size());

    ConfoundTable confounds;
    confounds.names = {"drift"};
    confounds.columns = {std::vector<double>(first.size())};
    for (std::size_t t = 0; t < first.size(); ++t) confounds.columns[0][t] = std::sin(0.4 * static_cast<double>(t));
    std::vector<float> inMemory;
    for (int t = 0; t < static_cast<int>(first.size()); ++t)
        inMemory.insert(inMemory.end(), first[static_cast<std::size_t>(t)].begin(), first[static_cast<std::size_t>(t)].end());
    NiftiHeader runGrid = grid;
    runGrid.rank = 4;
    runGrid.dim[0] = 4;
    runGrid.dim[4] = static_cast<int64_t>(first.size());
    runGrid.pixdim[4] = 2.0;

    struct Way {
        const char* name;
        bool spilled, regressed, array;
    };
    for (const Way way : {Way{"held", false, false, false}, Way{"spilled", true, false, false},
                          Way{"regressed", false, true, false}, Way{"regressed and spilled", true, true, false},
                          Way{"in memory", false, false, true}, Way{"in memory, regressed", false, true, true}}) {
        SCOPED_TRACE(way.name);
        AnalysisRequest request = smallRequest(folder);
        request.outputFolder = (folder / way.name).string();
        request.runs = {runAt(folder / "sub-01_task-x_run-1_bold.nii"), runAt(folder / "sub-01_task-x_run-2_bold.nii")};
        if (way.array) {
            RunArray array;
            array.values = inMemory.data();
            array.header = runGrid;
            array.strides = volumeOrderStrides(runGrid);
            request.runs[0].array = array;
        }
        if (way.regressed) request.runs[0].confounds = confounds;
        if (way.spilled) request.budgets.inMemory = 0;
        request.seeds = {flagSeed("S", {voxelIndex(0, 0, 1), voxelIndex(1, 1, 1)})};
        std::shared_ptr<const std::vector<float>> mean;
        AnalysisResults results;
        runAnalysis(request, [&mean](const MapRunRecord& run, const SeedResults&, std::string&) {
            mean = run.firstRunMean;
            return true;
        }, results);
        ASSERT_EQ(results.status, AnalysisStatus::done) << results.problem;
        ASSERT_TRUE(mean);
        ASSERT_EQ(mean->size(), expected.size());
        for (std::size_t v = 0; v < expected.size(); ++v)
            ASSERT_EQ((*mean)[v], static_cast<float>(expected[v])) << "voxel " << v;
    }
}

// A condition's models need twice the order of lagged values and ten time
// points beyond them: one fewer is refused with the numbers, before the maps
// (a 2-volume run gave Inst values over 1600 from models with no residual).
TEST(Conditions, AConditionNeedsTwiceTheOrderAndTenTimePointsBeyondIt) {
    TestFolder folder;
    writeRun(folder / "run_bold.nii", testGrid(), coupledRun(9));
    struct Case {
        int order;
        std::vector<Interval> intervals;
        bool accepted;
    };
    // Each interval gives its length less the order.
    const Case cases[] = {
        {1, {Interval{1, 13}}, true},                     // 12 = 2 x 1 + 10
        {1, {Interval{1, 12}}, false},                    // 11
        {2, {Interval{1, 16}}, true},                     // 14 = 2 x 2 + 10
        {2, {Interval{1, 15}}, false},                    // 13
        {2, {Interval{1, 8}, Interval{21, 29}}, false},   // 6 + 7
        {2, {Interval{1, 9}, Interval{21, 29}}, true},    // 7 + 7
    };
    for (const Case& c : cases) {
        AnalysisRequest request = smallRequest(folder);
        request.parameters.autoRegressionOrder = c.order;
        request.runs = {runAt(folder / "run_bold.nii")};
        request.seeds = {flagSeed("S", {voxelIndex(0, 0, 0)})};
        request.intervalConditions = {{"A", {c.intervals}}};
        request.outputFolder.clear();
        request.describeDataset = false;
        std::vector<SeedResults> maps;
        const AnalysisResults results = analyse(request, maps);
        const std::string what = "order " + std::to_string(c.order) + ", " + std::to_string(c.intervals.size()) +
                                 " intervals ending at " + std::to_string(c.intervals.back().last);
        EXPECT_EQ(results.status == AnalysisStatus::done, c.accepted) << what << ": " << results.problem;
        if (!c.accepted) {
            EXPECT_NE(results.problem.find("fewer than the " + std::to_string(2 * c.order + 10)), std::string::npos)
                << what << ": " << results.problem;
        }
    }
}

// A volume of extreme values leaves most voxels' models singular: the run
// still gives its maps, but the warnings (stderr and the report) say how
// many voxels were lost and name the volume, and a sound run says nothing.
TEST(AnalysedVoxels, AVolumeOfExtremeValuesIsNamedAndItsIllDefinedVoxelsCounted) {
    TestFolder folder;
    struct Case {
        const char* what;
        int spiked;  // 1-based volume set to `value` in every voxel, 0 for none
        float value;
        bool warned;
    };
    const Case cases[] = {
        {"a sound run", 0, 0.0f, false},
        {"a spike of 1e10 at volume 40", 40, 1e10f, true},
        {"a spike of 1e10 at volume 3", 3, 1e10f, true},
        {"a spike of twice the mean", 40, 200.0f, false},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<float>> data = coupledRun(6);
        if (c.spiked > 0) std::fill(data[static_cast<std::size_t>(c.spiked - 1)].begin(),
                                    data[static_cast<std::size_t>(c.spiked - 1)].end(), c.value);
        const fs::path run = folder / "run_bold.nii";
        writeRun(run, testGrid(), data);
        AnalysisRequest request = smallRequest(folder);
        request.runs = {runAt(run)};
        request.seeds = {flagSeed("S", {voxelIndex(0, 0, 0), voxelIndex(1, 0, 0)})};
        request.outputFolder.clear();
        request.describeDataset = false;
        std::vector<SeedResults> maps;
        const AnalysisResults results = analyse(request, maps);
        ASSERT_EQ(results.status, AnalysisStatus::done) << c.what << ": " << results.problem;
        EXPECT_EQ(mentions(results.warnings, "ill-defined"), c.warned) << c.what;
        EXPECT_EQ(mentions(results.warnings, run.string() + ": at volume " + std::to_string(c.spiked) + " the mean time course of seed 'S'"),
                  c.warned)
            << c.what;
    }
}
