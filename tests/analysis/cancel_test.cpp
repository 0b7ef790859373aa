// An analysis stopped by its cancel flag: it ends within a slice of the voxel
// pass, says so, hands no seed to its outputs and leaves the output folder as
// it found it (a new folder gone, an earlier run's files untouched).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/analysis_test_support.h"

using namespace ldi;
using namespace analysis_test;

namespace {

// Every file under `folder` with its bytes (empty when there is no folder).
std::map<std::string, std::string> folderContents(const fs::path& folder) {
    std::map<std::string, std::string> contents;
    std::error_code error;
    if (!fs::exists(folder, error)) return contents;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        contents[fs::relative(entry.path(), folder).string()] =
            entry.is_regular_file() ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())
                                    : std::string("(folder)");
    }
    return contents;
}

AnalysisRequest requestFor(const TestFolder& folder, int threads) {
    AnalysisRequest request = smallRequest(folder);
    request.threads = threads;
    request.parameters.showVerboseProgressLog = true;  // the slices' progress lines
    request.runs.resize(1);
    request.runs[0].path = (folder / "run_bold.nii").string();
    SeedRequest seed;
    seed.name = "S";
    seed.shape = SeedRequest::Shape::maskFlags;
    seed.maskFlags.assign(VOXELS, 0);
    seed.maskFlags[static_cast<std::size_t>(voxelIndex(0, 0, 0))] = 1;
    seed.maskFlags[static_cast<std::size_t>(voxelIndex(1, 0, 0))] = 1;
    request.seeds = {seed};
    return request;
}

}  // namespace

TEST(CancelledAnalysis, StopsWithinASliceAndLeavesTheOutputFolderAsItWas) {
    TestFolder folder;
    writeRun(folder / "run_bold.nii", testGrid(), coupledRun(4));
    struct Case {
        const char* what;
        int threads;
        const char* stopAt;  // the progress line on which the flag is set
        bool earlierRun;     // the output folder holds a finished run's files
        bool withinPass;     // the pass must not reach its end
    };
    const Case cases[] = {
        // One thread reports the pass's start, then looks at the flag before its first slice.
        {"as the voxel pass starts, one thread", 1, "0%...", false, true},
        {"as the voxel pass starts, two threads", 2, "0%...", false, false},
        {"before the seed's conditions", 1, "seed S", false, false},
        {"over an earlier run's results", 1, "0%...", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder / "out");
        AnalysisRequest request = requestFor(folder, c.threads);
        if (c.earlierRun) {
            AnalysisResults earlier;
            runAnalysis(request, seedFileWriter(request.outputFolder), earlier);
            ASSERT_EQ(earlier.status, AnalysisStatus::done) << earlier.problem;
        }
        const std::map<std::string, std::string> before = folderContents(folder / "out");
        ASSERT_EQ(before.empty(), !c.earlierRun);

        std::atomic<bool> cancel{false};
        request.cancel = &cancel;
        std::vector<std::string> afterStop;
        request.progress = [&](const std::string& line) {
            if (cancel.load()) afterStop.push_back(line);
            if (line == c.stopAt) cancel.store(true);
        };
        int handedOver = 0;
        const SeedSink files = seedFileWriter(request.outputFolder);
        AnalysisResults results;
        runAnalysis(request, [&](const MapRunRecord& run, const SeedResults& seed, std::string& why) {
            ++handedOver;
            return files(run, seed, why);
        }, results);

        ASSERT_TRUE(cancel.load()) << "the progress line '" << c.stopAt << "' never came";
        EXPECT_EQ(results.status, AnalysisStatus::cancelled) << results.problem;
        EXPECT_EQ(results.problem.rfind("stopped: ", 0), 0u) << results.problem;
        EXPECT_EQ(handedOver, 0);
        if (c.withinPass)
            for (const std::string& line : afterStop) {
                EXPECT_NE(line, "100%...") << "the pass ran to its end after the stop";
                EXPECT_EQ(line.find("Computing maps"), std::string::npos) << line;
            }
        EXPECT_EQ(folderContents(folder / "out"), before) << "files added, changed or removed";
    }
}
