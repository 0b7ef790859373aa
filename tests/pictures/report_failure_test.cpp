// The report is the last file of a run: when it cannot be written (a full
// disk, here a file size limit), the run fails, and neither then nor when the
// run stops after its first maps does the report of an earlier run stay
// beside the new maps as if it described them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

#include "../analysis/analysis_test_support.h"
#include "pictures/report.h"
#include "support/ldi_process.h"

using namespace ldi;
using namespace ldi::analysis_test;

namespace {

// The process's file size limit for the life of the object (files that would
// grow past it stop with EFBIG rather than a signal).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &before_);
        previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = before_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &before_);
        ::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit before_{};
    sighandler_t previousHandler_ = SIG_DFL;
};

TEST(RunReport, OneThatCannotBeWrittenFailsTheRunAndTakesTheEarlierOneAlong) {
    TestFolder folder;
    writeRun(folder / "sub-01_task-rest_bold.nii", testGrid(), coupledRun(5));
    AnalysisRequest request = smallRequest(folder);
    request.runs.emplace_back();
    request.runs[0].path = (folder / "sub-01_task-rest_bold.nii").string();
    request.seeds.emplace_back();
    request.seeds[0].name = "S";
    request.seeds[0].shape = SeedRequest::Shape::maskFlags;
    request.seeds[0].maskFlags.assign(VOXELS, 0);
    request.seeds[0].maskFlags[0] = request.seeds[0].maskFlags[1] = 1;
    const std::string report = (folder / "out" / reportFileName("sub-01_task-rest")).string();

    struct Case {
        const char* what;
        bool diskFull;  // from the moment the maps are written
        bool stopped;   // the run stops after its first seed's maps (killed, a full disk)
    };
    const Case cases[] = {{"room for the report", false, false},
                          {"a full disk at the report", true, false},
                          {"stopped after the first seed's maps", false, true}};
    for (const Case& c : cases) {
        if (c.diskFull || c.stopped) writeWholeFile(report, "the report of an earlier run");
        std::unique_ptr<FileSizeLimit> full;
        const SeedSink files = [&](const MapRunRecord& run, const SeedResults& seed, std::string& problem) {
            if (!seedFileWriter(request.outputFolder)(run, seed, problem)) return false;
            if (c.diskFull) full = std::make_unique<FileSizeLimit>(512);
            return !c.stopped;
        };
        AnalysisResults results;
        HtmlReport html(ReportContext{"ldi map"});
        runAnalysis(request, AnalysisOutputs{files, &html}, results);
        full.reset();
        if (!c.diskFull && !c.stopped) {
            ASSERT_EQ(results.status, AnalysisStatus::done) << c.what << ": " << results.problem;
            EXPECT_NE(readWholeFile(report).find("<html"), std::string::npos) << c.what;
            continue;
        }
        EXPECT_EQ(results.status, AnalysisStatus::failed) << c.what;
        if (c.diskFull) {
            EXPECT_NE(results.problem.find("the report could not be written"), std::string::npos) << results.problem;
            EXPECT_NE(results.problem.find("written without it"), std::string::npos) << results.problem;
        }
        // No report vouches for a folder whose maps this run did not finish.
        EXPECT_FALSE(fs::exists(report)) << c.what;
    }
}

}  // namespace
