// The repetition time used against the one the NIfTI header states: a
// disagreement is a warning naming both and where each came from, the value
// used stays the one given (--tr, the dataset's sidecar, the run's sidecar),
// and a header without a usable repetition time (pixdim[4] 0, the 1 tools
// write when they do not know it, or a unit that is no time) says nothing.
// And where large runs spill.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "analysis/run_set.h"
#include "analysis_test_support.h"

using namespace ldi;
using namespace ldi::analysis_test;

namespace {

// A run whose header holds pixdim[4] = `pixdim4` in the time unit `timeUnit`
// (xyzt_units' time bits: 0 none, 8 s, 16 ms, 32 Hz), patched into the bytes
// of whichever NIfTI version the run writer gives.
void writeTimedRun(const fs::path& path, double pixdim4, int timeUnit) {
    writeRun(path, testGrid(), coupledRun(1, 20), 0.0);
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    int32_t headerSize = 0;
    file.read(reinterpret_cast<char*>(&headerSize), 4);
    const int32_t units = 2 | timeUnit;  // mm and the time unit
    if (headerSize == 348) {
        const float value = static_cast<float>(pixdim4);
        file.seekp(76 + 4 * 4);
        file.write(reinterpret_cast<const char*>(&value), 4);
        const char unitsByte = static_cast<char>(units);
        file.seekp(123);
        file.write(&unitsByte, 1);
    } else {
        ASSERT_EQ(headerSize, 540);
        file.seekp(104 + 8 * 4);
        file.write(reinterpret_cast<const char*>(&pixdim4), 8);
        file.seekp(500);
        file.write(reinterpret_cast<const char*>(&units), 4);
    }
}

// One run, with the request's repetition time `tr` (0: none given).
AnalysisRequest oneRun(const fs::path& run, double tr) {
    AnalysisRequest request;
    request.runs.push_back(RunRequest{});
    request.runs[0].path = run.string();
    request.tr = tr;
    return request;
}

struct Opened {
    double tr = 0.0;
    std::vector<std::string> warnings;
};

Opened openOne(const AnalysisRequest& request) {
    std::vector<std::unique_ptr<OpenedRun>> runs;
    Opened opened;
    std::string problem;
    EXPECT_TRUE(openRuns(request, runs, opened.warnings, problem)) << problem;
    if (!runs.empty()) opened.tr = runs.front()->tr;
    return opened;
}

TEST(RepetitionTime, AHeaderThatDisagreesIsWarnedOfAndTheGivenValueIsKept) {
    TestFolder folder;
    const fs::path run = folder / "sub-01_task-rest_bold.nii";
    writeTimedRun(run, 1.35, 8);

    AnalysisRequest byOption = oneRun(run, 2.0);
    byOption.trSource = "--tr";
    Opened opened = openOne(byOption);
    EXPECT_EQ(opened.tr, 2.0);
    ASSERT_EQ(opened.warnings.size(), 1u);
    const std::string& warning = opened.warnings[0];
    EXPECT_NE(warning.find(run.string()), std::string::npos) << warning;
    EXPECT_NE(warning.find("2 s from --tr is used"), std::string::npos) << warning;
    EXPECT_NE(warning.find("pixdim[4] says 1.35 s"), std::string::npos) << warning;

    // ldi bids: the value the dataset's inherited sidecar gave, named.
    AnalysisRequest byDataset = oneRun(run, 0.0);
    byDataset.runs[0].tr = 2.0;
    byDataset.runs[0].trSource = "the sidecar /data/task-rest_bold.json";
    opened = openOne(byDataset);
    EXPECT_EQ(opened.tr, 2.0);
    ASSERT_EQ(opened.warnings.size(), 1u);
    EXPECT_NE(opened.warnings[0].find("2 s from the sidecar /data/task-rest_bold.json is used"), std::string::npos)
        << opened.warnings[0];

    // The sidecar beside the run (ldi map without --tr) is named by its path.
    std::ofstream(folder / "sub-01_task-rest_bold.json") << "{\"RepetitionTime\": 2.0}\n";
    opened = openOne(oneRun(run, 0.0));
    EXPECT_EQ(opened.tr, 2.0);
    ASSERT_EQ(opened.warnings.size(), 1u);
    EXPECT_NE(opened.warnings[0].find("from the sidecar " + (folder / "sub-01_task-rest_bold.json").string()),
              std::string::npos)
        << opened.warnings[0];
}

TEST(RepetitionTime, HeadersThatAgreeOrStateNoneAreQuiet) {
    TestFolder folder;
    struct Case {
        const char* what;
        double pixdim4;
        int unit;
    };
    const Case cases[] = {
        {"the same in seconds", 2.0f, 8},
        {"the same in milliseconds", 2000.0f, 16},
        {"the same without a unit", 2.0f, 0},
        {"pixdim[4] 0", 0.0f, 8},
        {"the placeholder 1 without a unit", 1.0f, 0},
        {"a unit that is no time", 100.0f, 32},
    };
    for (const Case& c : cases) {
        const fs::path run = folder / "run.nii";
        writeTimedRun(run, c.pixdim4, c.unit);
        const Opened opened = openOne(oneRun(run, 2.0));
        EXPECT_EQ(opened.tr, 2.0) << c.what;
        EXPECT_TRUE(opened.warnings.empty()) << c.what << ": " << (opened.warnings.empty() ? "" : opened.warnings[0]);
    }
    // In milliseconds a real disagreement is still one: 1350 ms against 2 s.
    const fs::path run = folder / "run.nii";
    writeTimedRun(run, 1350.0, 16);
    const Opened opened = openOne(oneRun(run, 2.0));
    ASSERT_EQ(opened.warnings.size(), 1u);
    EXPECT_NE(opened.warnings[0].find("says 1.35 s"), std::string::npos) << opened.warnings[0];
}

// Events in seconds are placed with the repetition time: a header that
// states none (0, the placeholder 1 without a unit, a unit that is no time)
// is no ground to place them on, so without --tr or a sidecar the run is
// refused, naming the file, the header's values and the option.
TEST(RepetitionTime, EventsArePlacedOnlyWithOneTheHeaderOrTheUserStates) {
    TestFolder folder;
    std::ofstream(folder / "events.tsv") << "onset\tduration\ttrial_type\n0\t10\tA\n";
    struct Case {
        const char* what;
        double pixdim4;
        int unit;
        double given;  // --tr, 0 for none
        double used;   // 0: refused
    };
    const Case cases[] = {
        {"seconds", 2.0, 8, 0.0, 2.0},
        {"milliseconds", 2000.0, 16, 0.0, 2.0},
        {"no unit but not the placeholder", 2.0, 0, 0.0, 2.0},
        {"the placeholder 1 without a unit", 1.0, 0, 0.0, 0.0},
        {"pixdim[4] 0", 0.0, 8, 0.0, 0.0},
        {"a unit that is no time", 2.0, 32, 0.0, 0.0},
        {"the placeholder with --tr", 1.0, 0, 2.5, 2.5},
    };
    for (const Case& c : cases) {
        const fs::path run = folder / "run.nii";
        writeTimedRun(run, c.pixdim4, c.unit);
        AnalysisRequest request = oneRun(run, c.given);
        request.runs[0].events = (folder / "events.tsv").string();
        std::vector<std::unique_ptr<OpenedRun>> runs;
        std::vector<std::string> warnings;
        std::string problem;
        const bool opened = openRuns(request, runs, warnings, problem);
        EXPECT_EQ(opened, c.used > 0.0) << c.what << ": " << problem;
        if (opened) {
            EXPECT_DOUBLE_EQ(runs.front()->tr, c.used) << c.what;
            continue;
        }
        for (const std::string& part : {run.string(), std::string("pixdim[4]"), std::string("give --tr")})
            EXPECT_NE(problem.find(part), std::string::npos) << c.what << ": " << problem;
    }
}

}  // namespace

namespace {

// Large runs spill into the work folder when one is given, not into the output folder.
TEST(WorkFolder, LargeRunsSpillIntoIt) {
    TestFolder folder;
    const fs::path run = folder / "run.nii";
    writeRun(run, testGrid(), coupledRun(1, 20));
    AnalysisRequest request = oneRun(run, 0.0);
    request.outputFolder = (folder / "out").string();
    request.workFolder = (folder / "missing").string();
    request.budgets = SourceBudgets{0, int64_t{2} * VOXELS * 4};  // held in blocks of two volumes
    std::vector<std::unique_ptr<OpenedRun>> runs;
    std::vector<std::string> warnings;
    std::string problem;
    ASSERT_TRUE(openRuns(request, runs, warnings, problem)) << problem;
    EXPECT_FALSE(loadRuns(request, runs, {}, problem));
    EXPECT_NE(problem.find("cannot create a temporary file in " + request.workFolder), std::string::npos) << problem;

    fs::create_directories(request.workFolder);
    ASSERT_TRUE(openRuns(request, runs, warnings, problem)) << problem;
    ASSERT_TRUE(loadRuns(request, runs, {}, problem)) << problem;
    EXPECT_EQ(runs.front()->source->numVolumes(), 20);
}

}  // namespace
