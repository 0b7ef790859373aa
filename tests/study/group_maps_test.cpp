// The group level on subjects' maps written here: each map kind is tested on
// the statistic that can scatter about 0 (the z maps of Ref2Vox, Vox2Ref and
// Inst, whose values are never negative; the values of the differences), and
// the group mean is that of the subjects' maps it names, computed here.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "formats/bids_inputs.h"
#include "formats/nifti_image.h"
#include "formats/statmap_names.h"
#include "study/group_maps.h"
#include "support/ldi_process.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

constexpr int VOXELS = 3 * 2 * 2;

NiftiHeader smallGrid() {
    NiftiHeader grid;
    grid.version = 1;
    grid.rank = 3;
    grid.dim = {3, 3, 2, 2, 1, 1, 1, 1};
    grid.pixdim = {1.0, 2.0, 2.0, 2.0, 0, 0, 0, 0};
    grid.xyztUnits = 2;
    grid.sformCode = 4;
    grid.srow = {{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}}};
    return grid;
}

void writeMap(const fs::path& path, const std::vector<float>& values) {
    std::string problem;
    const std::string image = encodeNiftiMap(smallGrid(), values, "map", problem);
    ASSERT_FALSE(image.empty()) << problem;
    writeWholeFile(path.string(), image);
}

// The value of a subject's map of one kind and statistic at a voxel: the
// effects of the measures all positive, their z values and the differences
// scattered about 0 from subject to subject.
float subjectValue(int subject, const std::string& kind, const std::string& statistic, int voxel) {
    const float sign = subject % 2 == 0 ? 1.0f : -1.0f;
    const float spread = 0.5f + 0.25f * static_cast<float>(subject) + 0.01f * static_cast<float>(voxel);
    const bool measure = kind == "ref2vox" || kind == "vox2ref" || kind == "inst";
    if (measure && statistic == kStatEffect) return 3.0f + spread;
    return sign * spread + (kind == "dldi" ? 0.1f : 0.0f);
}

// The group level of the subjects in `out`, 100 permutations, seed 1.
::testing::AssertionResult groupLevelRuns(const fs::path& out) {
    GroupRequest request;
    request.outputDir = out.string();
    request.permutations = 100;
    request.rngSeed = 1;
    request.quiet = true;
    std::ostringstream said, errors;
    if (runGroupLevel(request, said, errors) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << errors.str();
}

TEST(GroupMaps, EachKindIsTestedOnItsOwnStatisticAndTheMeanIsTheSubjects) {
    const fs::path root = fs::temp_directory_path() / ("ldi_group_kinds_" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path out = root / "out";
    const std::vector<std::string> kinds = {"ref2vox", "vox2ref", "inst", "dldi", "dldiit", "dldirc"};
    const int subjects = 5;
    for (int s = 1; s <= subjects; ++s) {
        const std::string label = "0" + std::to_string(s);
        const fs::path func = out / ("sub-" + label) / "func";
        fs::create_directories(func);
        for (const std::string& kind : kinds)
            for (const char* statistic : {kStatEffect, kStatZ}) {
                std::vector<float> values(VOXELS);
                for (int v = 0; v < VOXELS; ++v) values[static_cast<std::size_t>(v)] = subjectValue(s, kind, statistic, v);
                writeMap(func / (statMapStem("sub-" + label + "_task-t", "S", "A", kind, statistic) +
                                 "_statmap.nii.gz"),
                         values);
            }
        writeWholeFile((out / ("sub-" + label) / ("sub-" + label + "_participant.json")).string(),
                       "{\"Subject\": \"" + label + "\", \"Analyses\": [{\"Maps\": [{\"Seed\": \"S\", "
                       "\"Conditions\": [\"A\"]}]}]}\n");
    }
    ASSERT_TRUE(groupLevelRuns(out));

    // Every sidecar of the group folder, by its kind and statistic.
    std::map<std::string, nlohmann::json> sidecars;
    for (const auto& entry : fs::directory_iterator(out / "group")) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json" || name == "group.json") continue;
        nlohmann::json sidecar;
        std::string problem;
        ASSERT_TRUE(readJsonSidecar(entry.path().string(), sidecar, problem)) << problem;
        if (!sidecar.contains("MapKind")) continue;
        sidecars[sidecar["MapKind"].get<std::string>() + "/" + sidecar["Statistic"].get<std::string>()] = sidecar;
    }
    struct Case {
        const char* kind;
        const char* input;
    };
    const Case cases[] = {{"ref2vox", "z"},  {"vox2ref", "z"},     {"inst", "z"},
                          {"dldi", "effect"}, {"dldiit", "effect"}, {"dldirc", "effect"}};
    for (const Case& c : cases) {
        bool seen = false;
        for (const auto& [key, sidecar] : sidecars) {
            if (key.rfind(std::string(c.kind) + "/", 0) != 0) continue;
            seen = true;
            EXPECT_EQ(sidecar.value("InputStatistic", ""), c.input) << key;
            ASSERT_TRUE(sidecar["Inputs"].is_array()) << key;
            EXPECT_EQ(sidecar["Inputs"].size(), static_cast<std::size_t>(subjects)) << key;
            for (const auto& input : sidecar["Inputs"])
                EXPECT_NE(input.dump().find(std::string("contrast-") + c.kind + "_stat-" + c.input), std::string::npos)
                    << key << ": " << input.dump();
        }
        EXPECT_TRUE(seen) << c.kind << ": no group map";
    }
    // The group mean of Inst is the mean of the subjects' z maps, not of their values.
    NiftiHeader header;
    std::vector<float> mean;
    std::string problem;
    const fs::path meanPath =
        out / "group" / (statMapStem("task-t", "S", "A", "inst", kStatEffect) + "_statmap.nii.gz");
    ASSERT_TRUE(readNiftiVolume(meanPath.string(), header, mean, true, problem)) << problem;
    ASSERT_EQ(mean.size(), static_cast<std::size_t>(VOXELS));
    for (int v = 0; v < VOXELS; ++v) {
        double sum = 0.0;
        for (int s = 1; s <= subjects; ++s) sum += subjectValue(s, "inst", kStatZ, v);
        EXPECT_NEAR(mean[static_cast<std::size_t>(v)], sum / subjects, 1e-5) << "voxel " << v;
    }
    if (!::testing::Test::HasFailure()) fs::remove_all(root);
}

// A subject whose summary names one run (its rng seed, its run generation)
// while a map's sidecar names another holds maps of two runs: it is left out
// of that map's test, with the reason, and kept where its maps agree with its
// summary. Two runs with the same rng seed are told apart by the generation.
TEST(GroupMaps, ASubjectWhoseMapComesFromAnotherRunIsLeftOutOfIt) {
    const fs::path root = fs::temp_directory_path() / ("ldi_group_runs_" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path out = root / "out";
    struct Case {
        const char* subject;
        int64_t inst;  // the rng seed in the sidecar of the subject's inst z map
        const char* generation;  // the run generation in that sidecar
        const char* reason;      // why it is left out of the inst test, or nullptr
    };
    const Case cases[] = {{"01", 7, "aa", nullptr},
                          {"02", 7, "aa", nullptr},
                          {"03", 7, "aa", nullptr},
                          {"04", 9, "aa", "another run (rng seed 9)"},
                          {"05", 7, "bb", "another run (run generation bb)"}};
    for (const Case& c : cases) {
        const std::string label = c.subject;
        const fs::path func = out / ("sub-" + label) / "func";
        fs::create_directories(func);
        for (const std::string& kind : {std::string("inst"), std::string("dldi")}) {
            const char* statistic = kind == "inst" ? kStatZ : kStatEffect;
            std::vector<float> values(VOXELS);
            for (int v = 0; v < VOXELS; ++v)
                values[static_cast<std::size_t>(v)] = subjectValue(std::stoi(label), kind, statistic, v);
            const std::string stem = statMapStem("sub-" + label + "_task-t", "S", "A", kind, statistic) + "_statmap";
            writeMap(func / (stem + ".nii.gz"), values);
            writeWholeFile((func / (stem + ".json")).string(),
                           "{\"RngSeed\": " + std::to_string(kind == "inst" ? c.inst : 7) +
                               ", \"RunGeneration\": \"" + (kind == "inst" ? c.generation : "aa") + "\"}\n");
        }
        writeWholeFile((out / ("sub-" + label) / ("sub-" + label + "_participant.json")).string(),
                       "{\"Subject\": \"" + label + "\", \"Analyses\": [{\"RngSeed\": 7, \"RunGeneration\": \"aa\", \"Maps\": [{\"Seed\": "
                       "\"S\", \"Conditions\": [\"A\"]}]}]}\n");
    }
    ASSERT_TRUE(groupLevelRuns(out));
    for (const std::string& kind : {std::string("inst"), std::string("dldi")}) {
        const std::string stem = statMapStem("task-t", "S", "A", kind, kStatT) + "_statmap.json";
        nlohmann::json sidecar;
        std::string problem;
        ASSERT_TRUE(readJsonSidecar((out / "group" / stem).string(), sidecar, problem)) << problem;
        const std::string subjects = sidecar["Subjects"].dump(), leftOut = sidecar["LeftOut"].dump();
        for (const Case& c : cases) {
            const bool excluded = c.reason != nullptr && kind == "inst";
            EXPECT_EQ(subjects.find(c.subject) == std::string::npos, excluded) << kind << ": " << subjects;
            if (c.reason != nullptr) {
                EXPECT_EQ(leftOut.find(c.reason) != std::string::npos, excluded) << kind << ": " << leftOut;
            }
        }
    }
    if (!::testing::Test::HasFailure()) fs::remove_all(root);
}

}  // namespace
