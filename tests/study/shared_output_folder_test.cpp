// The participant level's top folder shared by jobs on several nodes or in
// several containers: its files are written under the folder's lock (a job
// that finds it held waits and says for whom), and of the temporaries in it
// only those proved dead go; a live one from another PID namespace stays.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/temporary_files.h"
#include "study/participant_level.h"
#include "support/ldi_process.h"
#include "support/vtc_writer.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

bool saidSomething(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines)
        if (line.find(part) != std::string::npos) return true;
    return false;
}

TEST(SharedOutputFolder, TheTopFolderIsWrittenUnderItsLockAndOnlyProvedDeadTemporariesGo) {
    TestTempDir dir;
    const fs::path data = fs::path(dir.root()) / "data", out = fs::path(dir.root()) / "out";
    fs::create_directories(data / "sub-01" / "func");
    fs::create_directories(out);
    writeWholeFile((data / "dataset_description.json").string(), "{\"Name\": \"t\", \"BIDSVersion\": \"1.8.0\"}\n");
    writeWholeFile((data / "sub-01" / "func" / "sub-01_task-rest_bold.nii").string(), "");

    const ProcessPlace here = currentProcessPlace();
    ProcessPlace container = here;
    container.pidNamespace = "1";
    const long live = static_cast<long>(::getpid());
    const std::string dead = ".ldi-save-" + processTag(999999999, here) + "-dataset_description.json.tmp";
    const std::string foreignLive = ".ldi-save-" + processTag(live, container) + "-a.json.tmp";
    const std::string foreignOld = ".ldi-save-" + processTag(999999999, container) + "-b.json.tmp";
    for (const std::string& name : {dead, foreignLive, foreignOld}) writeWholeFile((out / name).string(), "x");
    fs::last_write_time(out / foreignOld, fs::file_time_type::clock::now() - std::chrono::hours(50));

    // Another job holds the folder until this one says it waits.
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        FolderLock lock;
        lock.hold(out.string(), {});
        char byte = 1;
        if (::write(ready[1], &byte, 1) != 1 || ::read(release[0], &byte, 1) != 1) ::_exit(1);
        ::_exit(0);
    }
    ASSERT_GT(holder, 0);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    ParticipantRequest request;
    request.dataset.bidsDir = data.string();
    request.outputDir = out.string();
    request.seeds.emplace_back();
    std::vector<std::string> said;
    request.progress = [&said, &release](const std::string& line) {
        said.push_back(line);
        char go = 1;
        if (line.rfind("waiting for", 0) == 0) {
            EXPECT_EQ(::write(release[1], &go, 1), 1);
        }
    };
    request.analyse = [](const AnalysisRequest&, const AnalysisOutputs&, AnalysisResults& results) {
        results.status = AnalysisStatus::done;
    };
    std::vector<SubjectOutcome> outcomes;
    std::string problem;
    ASSERT_TRUE(runParticipantLevel(request, nullptr, outcomes, problem)) << problem;
    // The level waited for the other job before it wrote the top folder.
    EXPECT_TRUE(saidSomething(said, "waiting for ldi process " + std::to_string(holder)));
    int status = 0;
    EXPECT_EQ(::waitpid(holder, &status, 0), holder);
    EXPECT_TRUE(fs::exists(out / "dataset_description.json"));
    EXPECT_FALSE(fs::exists(out / dead));
    EXPECT_TRUE(fs::exists(out / foreignLive));
    EXPECT_TRUE(fs::exists(out / foreignOld));
    EXPECT_TRUE(saidSomething(said, "kept " + (out / foreignOld).string()));
    EXPECT_FALSE(saidSomething(said, foreignLive)) << "a fresh one is another job's, nothing to tell";
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

}  // namespace
