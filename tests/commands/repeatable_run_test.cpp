// Repeatable runs and truthful thresholds as a user meets them: the same
// --rng-seed gives the same files, the seed is shown and recorded, and a map
// where nothing passes is drawn without colour.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "pictures/montage.h"
#include "formats/ldi_file.h"
#include "support/host_test_support.h"

using namespace ldi;

namespace {

class RepeatableRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writeAnalysisVtc(dir.path("run1.vtc")));
        writeWholeFile(dir.path("regions.voi"), analysisVoiText());
        std::filesystem::create_directory(dir.path("out"));
    }
    ProcessResult run(const std::string& out, const std::string& seed) {
        return runLdi({"run", "--vtc", "run1.vtc", "--voi", "regions.voi", "--plugins-dir", dir.root(), "--select-voi",
                       "1", "--condition", "Rest", "--data", "run1.vtc", "--interval", "5-100", "--rng-seed", seed,
                       "--out", out},
                      dir.root());
    }
    TestTempDir dir;
};

TEST_F(RepeatableRun, TheSameSeedGivesTheSameFiles) {
    ProcessResult first = run("out/A", "12345");
    ASSERT_EQ(first.status, 0) << first.err;
    ProcessResult second = run("out/B", "12345");
    ASSERT_EQ(second.status, 0) << second.err;
    ProcessResult other = run("out/C", "999");
    ASSERT_EQ(other.status, 0) << other.err;
    EXPECT_NE(first.out.find("Random seed of the surrogates: 12345"), std::string::npos) << first.out;
    EXPECT_EQ(readWholeFile(dir.path("out/A_Motor.ldi")), readWholeFile(dir.path("out/B_Motor.ldi")));
    EXPECT_EQ(readWholeFile(dir.path("out/A_Motor.log")), readWholeFile(dir.path("out/B_Motor.log")));
    const nlohmann::json index = nlohmann::json::parse(readWholeFile(dir.path("out/A_Motor.json")));
    EXPECT_EQ(index["rngSeed"], 12345);
    for (const auto& map : index["maps"]) {
        const std::string name = map["displayName"];
        if (name.size() >= 7 && name.compare(name.size() - 7, 7, "dLDI RC") == 0) {
            EXPECT_TRUE(map["fdrThresholds"].empty()) << name;  // no thresholds, not zeros
            continue;
        }
        for (const auto& level : map["fdrThresholds"]) {
            ASSERT_TRUE(level["passingVoxels"].is_number_integer()) << name;
            EXPECT_EQ(level["nonePasses"], level["passingVoxels"] == 0);
        }
    }
}

TEST(NonePasses, TheMontageColoursNothing) {
    ldi::LdiFile file;
    file.levelLabels = {"thres q=0.050"};
    ldi::LdiMap map;
    map.name = "Rest: Vox2Ref";
    map.voxels = {0.0f, 1.0f, 2.0f, 4.0f};
    map.fdrThresholds = {4.0f};  // the largest value: the top alone, or nothing
    map.passingVoxels = {0};
    file.maps.push_back(map);
    ldi::MapDisplay display;
    std::string problem, notice;
    ASSERT_TRUE(ldi::chooseDisplay(file, 0, true, 0.05, display, problem, notice));
    EXPECT_TRUE(display.nonePasses);
    EXPECT_EQ(display.shownVoxels, 0);
    EXPECT_NE(display.title.find("no voxel passes at q = 0.05"), std::string::npos) << display.title;
    EXPECT_FALSE(ldi::isShown(display, 4.0f));

    file.maps[0].passingVoxels = {1};  // the same threshold, the top voxel passing
    ASSERT_TRUE(ldi::chooseDisplay(file, 0, true, 0.05, display, problem, notice));
    EXPECT_FALSE(display.nonePasses);
    EXPECT_EQ(display.shownVoxels, 1);
}

}  // namespace
