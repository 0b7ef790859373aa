// The simulated data set and the demonstration: the planted effects show up
// in the maps of a real run through the plug-in, and nothing else does.
//
// Bounds (checked with many seeds): every planted region passes its map's FDR
// threshold at q = 0.05 in at least half of its voxels (seen: 73 % or more);
// at most 2 % of the background passes on any map (seen: 0.5 % or less); a
// lagged effect in the condition where it is not planted reaches at most half
// of its region (seen: 27 % or less).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "data/voi_time_course.h"
#include "data/vtc_file.h"
#include "simulation/demo.h"
#include "formats/nifti_image.h"
#include "host/plugin_loader.h"
#include "formats/ldi_file.h"
#include "simulation/simulate.h"
#include "formats/voi_file.h"
#include "support/host_test_support.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

LdiFile readMaps(const std::string& path) {
    Parsed<LdiFile> parsed = decodeLdi(readWholeFile(path));
    EXPECT_TRUE(parsed.ok) << path << ": " << parsed.message;
    return parsed.value;
}

// Share of the voxels with `letter` whose value passes the map's q = 0.05
// threshold, worked out here from the file alone.
double passingShare(const LdiFile& maps, const GroundTruth& truth, const std::string& mapName, char letter) {
    std::size_t level = maps.levelLabels.size();
    for (std::size_t t = 0; t < maps.levelLabels.size(); ++t)
        if (maps.levelLabels[t] == "thres q=0.050") level = t;
    for (const LdiMap& map : maps.maps) {
        if (map.name != mapName) continue;
        EXPECT_LT(level, map.fdrThresholds.size());
        if (level >= map.fdrThresholds.size()) return -1.0;
        const float threshold = map.fdrThresholds[level];
        int total = 0;
        int passing = 0;
        for (std::size_t v = 0; v < truth.grid.size(); ++v) {
            if (truth.grid[v] != letter) continue;
            ++total;
            // The difference maps count negative values too, the measures' maps do not.
            const bool isSigned = map.negativeColourLow != 0 || map.negativeColourHigh != 0;
            const float value = isSigned ? std::fabs(map.voxels[v]) : map.voxels[v];
            if (value != 0.0f && value >= threshold) ++passing;
        }
        return total > 0 ? double(passing) / total : -1.0;
    }
    ADD_FAILURE() << "no map " << mapName;
    return -1.0;
}

}  // namespace

TEST(Simulate, WritesAConsistentDataSetThatRunsFromAnyFolder) {
    TestTempDir dir;
    ProcessResult result = runLdi({"simulate", "sim", "--seed", "4"}, dir.root());
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string sim = dir.path("sim");
    for (const char* name : {SIM_VTC_FILE, SIM_VOI_FILE, SIM_PROTOCOL_FILE, SIM_ANSWERS_FILE, SIM_SETTINGS_FILE,
                             SIM_TRUTH_FILE})
        EXPECT_TRUE(std::filesystem::is_regular_file(sim + "/" + name)) << name;

    GroundTruth truth;
    std::string problem;
    ASSERT_TRUE(readGroundTruth(sim + "/" + SIM_TRUTH_FILE, truth, problem)) << problem;
    ASSERT_EQ(truth.regions.size(), 4u);
    for (const TruthRegion& region : truth.regions) EXPECT_GT(region.voxelCount, 20) << region.name;

    // The VTC: float32, the truth's grid; outside the brain 0 in every
    // volume, inside well above the inclusion threshold of the first volume.
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen((sim + "/" + SIM_VTC_FILE).c_str(), "rb"));
    ASSERT_TRUE(file);
    VtcHeader header;
    ASSERT_TRUE(readVtcHeader(file.get(), header));
    EXPECT_EQ(header.dataType, VTC_DATA_TYPE_FLOAT);
    EXPECT_EQ(vtcDimX(header), truth.dimX);
    EXPECT_EQ(vtcDimY(header), truth.dimY);
    EXPECT_EQ(vtcDimZ(header), truth.dimZ);
    EXPECT_EQ(header.numVolumes, truth.numVolumes);
    EXPECT_EQ(std::filesystem::file_size(sim + "/" + SIM_VTC_FILE),
              std::uintmax_t(header.dataOffset) + truth.grid.size() * std::size_t(header.numVolumes) * 4);
    VtcValues values;
    allocateVtcValues(values, header, header.numVolumes);
    int outside = 0;
    for (int32_t z = 0; z < truth.dimZ; ++z)
        for (int32_t y = 0; y < truth.dimY; ++y)
            for (int32_t x = 0; x < truth.dimX; ++x) {
                ASSERT_TRUE(readVtcVoxel(file.get(), header, x, y, z, values));
                if (truth.at(x, y, z) == TRUTH_OUTSIDE) {
                    ++outside;
                    for (int32_t t = 0; t < header.numVolumes; ++t) ASSERT_EQ(values.floats[t], 0.0f);
                } else {
                    ASSERT_GT(values.floats[0], 500.0f) << x << " " << y << " " << z;
                    ASSERT_LT(values.floats[0], 1500.0f);
                }
            }
    EXPECT_GT(outside, 0);

    // The VOI holds exactly the reference region's voxels.
    Parsed<VoiList> vois = parseVoiList(readWholeFile(sim + "/" + SIM_VOI_FILE));
    ASSERT_TRUE(vois.ok) << vois.message;
    ASSERT_EQ(vois.value.vois.size(), 1u);
    EXPECT_EQ(vois.value.vois[0].name, SIM_VOI_NAME);
    std::string voiGrid(truth.grid.size(), '.');
    const std::vector<int32_t>& v = vois.value.vois[0].voxels;
    for (std::size_t i = 0; i + 2 < v.size(); i += 3) {
        const int32_t x = toVtcIndex(v[i], header.xStart, header.resolution);
        const int32_t y = toVtcIndex(v[i + 1], header.yStart, header.resolution);
        const int32_t z = toVtcIndex(v[i + 2], header.zStart, header.resolution);
        ASSERT_TRUE(x >= 0 && x < truth.dimX && y >= 0 && y < truth.dimY && z >= 0 && z < truth.dimZ);
        voiGrid[(std::size_t(z) * truth.dimY + y) * truth.dimX + x] = 'R';
    }
    for (std::size_t i = 0; i < truth.grid.size(); ++i)
        ASSERT_EQ(voiGrid[i] == 'R', truth.grid[i] == 'R') << "voxel " << i;

    // The answers hold absolute paths: the run works from another folder.
    std::filesystem::create_directory(dir.path("elsewhere"));
    result = runLdi({"run", "--vtc", sim + "/" + SIM_VTC_FILE, "--voi", sim + "/" + SIM_VOI_FILE, "--plugins-dir",
                     sim, "--answers", sim + "/" + SIM_ANSWERS_FILE, "--quiet"},
                    dir.path("elsewhere"));
    ASSERT_EQ(result.status, 0) << result.err;
    const LdiFile maps = readMaps(sim + "/results/sim_Reference.ldi");
    ASSERT_EQ(maps.maps.size(), 12u);
    EXPECT_EQ(maps.maps[0].name, "Task: Ref2Vox");
    EXPECT_EQ(maps.maps[6].name, "Rest: Ref2Vox");

    // The same seed gives the same data; another seed other data.
    const std::string first = readWholeFile(sim + "/" + SIM_VTC_FILE);
    ASSERT_EQ(runLdi({"simulate", "again", "--seed", "4"}, dir.root()).status, 0);
    EXPECT_TRUE(readWholeFile(dir.path("again/") + SIM_VTC_FILE) == first);
    ASSERT_EQ(runLdi({"simulate", "other", "--seed", "5"}, dir.root()).status, 0);
    EXPECT_FALSE(readWholeFile(dir.path("other/") + SIM_VTC_FILE) == first);
}

TEST(Simulate, RefusesWhatItCannotDo) {
    TestTempDir dir;
    writeWholeFile(dir.path("file"), "x");
    ProcessResult result = runLdi({"simulate", "file/sub"}, dir.root());
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("file/sub"), std::string::npos) << result.err;
    result = runLdi({"simulate", "sim", "--preset", "huge"}, dir.root());
    EXPECT_EQ(result.status, 2);
    // A folder so deep that its paths no longer fit the plug-in's file dialogs.
    const std::string deep = std::string(120, 'a') + "/" + std::string(120, 'b');
    result = runLdi({"simulate", deep}, dir.root());
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("shorter path"), std::string::npos) << result.err;
}

TEST(Demo, FindsEveryPlantedEffectAndDrawsEveryMap) {
    TestTempDir dir;
    ProcessResult result = runLdi({"demo", "demo", "--seed", "7"}, dir.root());
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("Every planted effect was found"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Pictures: " + dir.path("demo/pictures") + "/"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Follower     33      Ref2Vox"), std::string::npos) << result.out;
    EXPECT_EQ(folderContents(dir.path("demo/pictures")).size(), 12u);

    // The ground truth, checked from the files alone.
    GroundTruth truth;
    std::string problem;
    ASSERT_TRUE(readGroundTruth(dir.path("demo/") + SIM_TRUTH_FILE, truth, problem)) << problem;
    const LdiFile maps = readMaps(dir.path("demo/results/sim_Reference.ldi"));
    for (const TruthCondition& condition : truth.conditions) {
        for (const TruthRegion& region : truth.regions) {
            const double share = passingShare(maps, truth, condition.name + ": " + region.mapKind, region.letter);
            const bool planted = std::find(region.plantedIn.begin(), region.plantedIn.end(), condition.name) !=
                                 region.plantedIn.end();
            if (planted)
                EXPECT_GE(share, 0.5) << region.name << " in " << condition.name;
            else
                EXPECT_LE(share, 0.5) << region.name << " in " << condition.name;
        }
        for (const char* kind : {"Ref2Vox", "Vox2Ref", "Inst", "dLDI"})
            EXPECT_LE(passingShare(maps, truth, condition.name + ": " + kind, TRUTH_BACKGROUND), 0.02)
                << kind << " in " << condition.name;
    }
}

// The NIfTI form holds the VTC's values on its grid, voxel for voxel, and the
// demo's analysis of it through ldi map finds the same effects.
TEST(Demo, TheNiftiFormHoldsTheVtcValuesAndLdiMapFindsTheEffects) {
    TestTempDir dir;
    ProcessResult result = runLdi({"demo", "demo", "--seed", "3"}, dir.root());
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("ldi map finds every planted effect too"), std::string::npos) << result.out;

    const std::string vtc = readWholeFile(dir.path("demo/simulated.vtc"));
    NiftiReader run;
    std::string problem;
    ASSERT_TRUE(run.open(dir.path("demo/" + simulatedNiftiFile("bold.nii.gz")), problem)) << problem;
    const NiftiHeader& header = run.header();
    const PresetSpec shape = specOf(SimulationPreset::Small);
    ASSERT_EQ(header.nx(), shape.dimX);
    ASSERT_EQ(header.ny(), shape.dimY);
    ASSERT_EQ(header.nz(), shape.dimZ);
    ASSERT_EQ(header.volumes(), shape.numVolumes);
    EXPECT_EQ(orientationCode(voxelToWorld(header)), "PIL");  // the axes of ldi run's maps
    const auto voxels = static_cast<std::size_t>(header.voxelsPerVolume());
    const auto volumes = static_cast<std::size_t>(shape.numVolumes);
    const std::size_t dataStart = vtc.size() - voxels * volumes * sizeof(float);
    std::vector<float> volume(voxels);
    std::size_t differing = 0;
    for (std::size_t t = 0; t < volumes; ++t) {
        ASSERT_TRUE(run.readVolume(volume.data(), problem)) << problem;
        for (std::size_t v = 0; v < voxels; ++v) {
            float stored;
            std::memcpy(&stored, vtc.data() + dataStart + (v * volumes + t) * sizeof(float), sizeof stored);
            differing += stored != volume[v];
        }
    }
    EXPECT_EQ(differing, 0u);
    // The events cover the protocol's blocks in seconds.
    const std::string events = readWholeFile(dir.path("demo/" + simulatedNiftiFile("events.tsv")));
    EXPECT_EQ(events.rfind("onset\tduration\ttrial_type\n0\t40\tTask\n40\t40\tRest\n80\t40\tTask\n", 0), 0u)
        << events;
    // The seed mask is the reference region.
    NiftiHeader maskHeader;
    std::vector<float> mask;
    ASSERT_TRUE(readNiftiVolume(dir.path("demo/") + SIM_SEED_MASK_FILE, maskHeader, mask, false, problem))
        << problem;
    GroundTruth truth;
    ASSERT_TRUE(readGroundTruth(dir.path("demo/") + SIM_TRUTH_FILE, truth, problem)) << problem;
    for (std::size_t v = 0; v < mask.size(); ++v) EXPECT_EQ(mask[v] != 0.0f, truth.grid[v] == 'R') << v;
}

TEST(Demo, ScoresAndVerdicts) {
    // A 3 x 1 x 1 grid: one reference voxel, one follower, one background.
    GroundTruth truth;
    truth.dimX = 3;
    truth.dimY = truth.dimZ = 1;
    truth.grid = "RF#";
    truth.conditions = {TruthCondition{"Task", {}}, TruthCondition{"Rest", {}}};
    truth.regions = {TruthRegion{"Reference", 'R', "", "Inst", {"Task", "Rest"}, 1},
                     TruthRegion{"Follower", 'F', "", "Ref2Vox", {"Task"}, 1}};
    LdiFile maps;
    maps.geometry.dimX = 3;
    maps.geometry.dimY = maps.geometry.dimZ = 1;
    maps.levelLabels = {"thres q=0.010", "thres q=0.050"};
    auto add = [&](const std::string& name, std::vector<float> voxels, float at01, float at05) {
        LdiMap map;
        map.name = name;
        map.fdrThresholds = {at01, at05};
        map.voxels.assign(voxels.begin(), voxels.end());
        maps.maps.push_back(map);
    };
    add("Task: Inst", {5.0f, 0.0f, 1.0f}, 6.0f, 5.0f);      // at the threshold passes
    add("Task: Ref2Vox", {0.0f, -9.0f, 0.5f}, 0.0f, 0.0f);  // threshold 0: every nonzero positive value
    add("Rest: Inst", {4.9f, 0.0f, 0.0f}, 1.0f, 5.0f);
    add("Rest: Ref2Vox", {0.0f, 2.0f, 3.0f}, 2.0f, 2.0f);
    std::vector<RegionScore> scores;
    std::string problem;
    ASSERT_TRUE(scoreGroundTruth(truth, maps, 0.05, scores, problem)) << problem;
    // Per condition: the two regions, then the background on Inst and Ref2Vox.
    ASSERT_EQ(scores.size(), 8u);
    auto passing = [&](std::size_t i) { return scores[i].passing; };
    EXPECT_EQ(scores[0].mapName, "Task: Inst");
    EXPECT_EQ(passing(0), 1);
    EXPECT_EQ(passing(1), 0);  // a negative value on an unsigned map does not count
    EXPECT_EQ(scores[2].region, "Background");
    EXPECT_EQ(passing(2), 0);
    EXPECT_EQ(passing(3), 1);
    EXPECT_EQ(passing(4), 0);  // 4.9 below 5
    EXPECT_FALSE(scores[5].planted);
    EXPECT_EQ(passing(5), 1);
    EXPECT_EQ(passing(7), 1);

    // Failures: the effects missing where they are planted and the background
    // passing on two maps; the follower in Rest is not planted there.
    const std::vector<std::string> failures = demoFailures(scores);
    ASSERT_EQ(failures.size(), 4u);
    EXPECT_EQ(failures[0].find("the Follower region's effect was not found on \"Task: Ref2Vox\": only 0 of its 1"),
              0u)
        << failures[0];
    EXPECT_EQ(failures[1].find("too many background voxels pass on \"Task: Ref2Vox\": 1 of 1"), 0u) << failures[1];
    EXPECT_EQ(failures[2].find("the Reference region's effect was not found on \"Rest: Inst\""), 0u) << failures[2];
    EXPECT_EQ(failures[3].find("too many background voxels pass on \"Rest: Ref2Vox\""), 0u) << failures[3];

    // The q level must exist, and every map must be there.
    EXPECT_FALSE(scoreGroundTruth(truth, maps, 0.1, scores, problem));
    EXPECT_NE(problem.find("levels are q = 0.01, 0.05"), std::string::npos) << problem;
    maps.maps.pop_back();
    EXPECT_FALSE(scoreGroundTruth(truth, maps, 0.05, scores, problem));
    EXPECT_NE(problem.find("Rest: Ref2Vox"), std::string::npos) << problem;
}

TEST(RunThreads, PassedToThePluginOrIgnoredWithANotice) {
    TestTempDir dir;
    ASSERT_EQ(runLdi({"simulate", "sim", "--seed", "2"}, dir.root()).status, 0);
    const std::vector<std::string> run = {"run", "--vtc", "sim/simulated.vtc", "--voi", "sim/reference.voi",
                                          "--plugins-dir", "sim", "--answers", "sim/run.answers", "--quiet"};
    std::vector<std::string> withThreads = run;
    withThreads.insert(withThreads.end(), {"--threads", "2"});
    ProcessResult result = runLdi(withThreads, dir.root());
    ASSERT_EQ(result.status, 0) << result.err;
    PluginLibrary plugin;
    std::string problem;
    ASSERT_TRUE(plugin.load(LDI_PLUGIN_PATH, problem)) << problem;
    if (plugin.findExport(SET_THREAD_COUNT_EXPORT) != nullptr)
        EXPECT_EQ(result.err, "");
    else
        EXPECT_NE(result.err.find("does not export setThreadCount; --threads 2 is ignored"), std::string::npos)
            << result.err;

    withThreads.back() = "0";
    result = runLdi(withThreads, dir.root());
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--threads"), std::string::npos) << result.err;
}
