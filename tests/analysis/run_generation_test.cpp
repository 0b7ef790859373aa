// A rerun into a folder replaces the earlier run's files seed by seed: one
// stopped midway (killed, a full disk) leaves seed A of the new run beside
// seed B of the old. Every file a run writes carries its generation and the
// folder's run record says which run finished, so that the mixture is refused
// and a finished rerun (or one of some seeds only) is taken.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/analysis.h"
#include "analysis_test_support.h"
#include "analysis/map_outputs.h"
#include "formats/bids_inputs.h"

using namespace ldi;
using namespace ldi::analysis_test;

namespace {

SeedRequest twoVoxelSeed(const char* name, int first) {
    SeedRequest seed;
    seed.name = name;
    seed.shape = SeedRequest::Shape::maskFlags;
    seed.maskFlags.assign(VOXELS, 0);
    seed.maskFlags[static_cast<std::size_t>(first)] = seed.maskFlags[static_cast<std::size_t>(first + 1)] = 1;
    return seed;
}

std::string generationIn(const fs::path& path, const char* key) {
    nlohmann::json document;
    std::string problem;
    EXPECT_TRUE(readJsonSidecar(path.string(), document, problem)) << problem;
    return document.value(key, std::string());
}

TEST(RunGeneration, AFolderMixingTwoRunsIsRefusedAndAFinishedRerunTaken) {
    TestFolder folder;
    writeRun(folder / "sub-01_task-rest_bold.nii", testGrid(), coupledRun(5));
    const fs::path out = folder / "out";
    const std::string prefix = "sub-01_task-rest";
    struct Case {
        const char* what;
        std::vector<const char*> seeds;  // the run's seeds
        int stopAfter;                   // seeds written before the run stops; -1: it finishes
        bool accepted;                   // the folder's seeds pass as one finished run each
    };
    const Case cases[] = {
        {"a first run", {"A", "B"}, -1, true},
        {"a rerun stopped after its first seed", {"A", "B"}, 1, false},
        {"the rerun finished", {"A", "B"}, -1, true},
        {"a later run of seed A alone", {"A"}, -1, true},
        {"a run of seed B alone stopped before its index", {"B"}, 0, false},
    };
    std::string previous;  // the generation of the run before
    for (const Case& c : cases) {
        AnalysisRequest request = smallRequest(folder);
        request.runs.emplace_back();
        request.runs[0].path = (folder / "sub-01_task-rest_bold.nii").string();
        for (std::size_t s = 0; s < c.seeds.size(); ++s)
            request.seeds.push_back(twoVoxelSeed(c.seeds[s], static_cast<int>(2 * s)));
        int written = 0;
        const SeedSink files = [&](const MapRunRecord& run, const SeedResults& seed, std::string& problem) {
            if (c.stopAfter >= 0 && written == c.stopAfter) {
                // Killed after the sidecars of this seed were replaced, before its index.
                EXPECT_TRUE(noteRunRecord(out.string(), run, "", problem)) << problem;
                problem = "stopped";
                return false;
            }
            ++written;
            return seedFileWriter(request.outputFolder)(run, seed, problem);
        };
        AnalysisResults results;
        runAnalysis(request, files, results);
        EXPECT_EQ(results.status == AnalysisStatus::done, c.stopAfter < 0) << c.what << ": " << results.problem;
        const std::string generation = results.record.generation;
        EXPECT_EQ(generation.size(), 32u) << c.what;
        EXPECT_NE(generation, previous) << c.what << ": a run draws its own generation";
        previous = generation;
        // The seeds this run wrote carry its generation, index and sidecars alike.
        for (int s = 0; s < written; ++s) {
            const std::string stem = prefix + "_seed-" + c.seeds[static_cast<std::size_t>(s)];
            EXPECT_EQ(generationIn(out / (stem + "_ldi.json"), "runGeneration"), generation) << c.what;
        }
        std::string problem;
        EXPECT_EQ(checkRunGenerations(out.string(), problem), c.accepted) << c.what << ": " << problem;
        if (!c.accepted) {
            EXPECT_NE(problem.find(prefix + "_run_ldi.json"), std::string::npos) << c.what << ": " << problem;
            EXPECT_NE(problem.find("run ldi map again"), std::string::npos) << c.what << ": " << problem;
        }
    }
}

// A sidecar beside a map records the generation of the run that wrote the
// map, as the seed's index does.
TEST(RunGeneration, EveryMapSidecarCarriesItsRunsGeneration) {
    TestFolder folder;
    writeRun(folder / "sub-01_task-rest_bold.nii", testGrid(), coupledRun(5));
    AnalysisRequest request = smallRequest(folder);
    request.runs.emplace_back();
    request.runs[0].path = (folder / "sub-01_task-rest_bold.nii").string();
    request.seeds.push_back(twoVoxelSeed("A", 0));
    AnalysisResults results;
    runAnalysis(request, seedFileWriter(request.outputFolder), results);
    ASSERT_EQ(results.status, AnalysisStatus::done) << results.problem;
    int sidecars = 0;
    for (const auto& entry : fs::directory_iterator(folder / "out")) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 13 || name.compare(name.size() - 13, 13, "_statmap.json") != 0) continue;
        ++sidecars;
        EXPECT_EQ(generationIn(entry.path(), "RunGeneration"), results.record.generation) << name;
    }
    EXPECT_GT(sidecars, 0);
}

}  // namespace
