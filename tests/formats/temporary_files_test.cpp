// Temporary files and folder locks shared between hosts and PID namespaces: a
// run removes only what it can prove dead, keeps (and reports, once old) what
// processes elsewhere left, and a folder lock excludes other processes and
// other holders in the same process alike.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "formats/temporary_files.h"
#include "support/vtc_writer.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

// A process id that no process has: above the kernel's highest (pid_max is at most 2^22).
constexpr long kNoProcess = 999999999;

ProcessPlace otherHost(ProcessPlace place) {
    place.host += "x";
    return place;
}
ProcessPlace otherBoot(ProcessPlace place) {
    place.boot = "ffffffff";
    return place;
}
ProcessPlace otherNamespace(ProcessPlace place) {
    place.pidNamespace = "1";
    return place;
}

TEST(TemporaryFiles, NamesTellWhoseAndWhereTheirProcessIs) {
    const ProcessPlace here = currentProcessPlace();
    const std::string tag = processTag(123, here);
    struct Row {
        std::string name;
        TemporaryKind kind;
        long pid;
    };
    const std::vector<Row> rows = {
        {".ldi-save-" + tag + "-7-seed.json.tmp", TemporaryKind::here, 123},
        {"P_V.log.partial-" + tag + "-0-1", TemporaryKind::here, 123},
        {".ldi-save-" + processTag(123, otherHost(here)) + "-x.nii.gz", TemporaryKind::elsewhere, 123},
        {".ldi-save-" + processTag(123, otherBoot(here)) + "-x.nii.gz", TemporaryKind::elsewhere, 123},
        {".ldi-save-" + processTag(123, otherNamespace(here)) + "-x.nii.gz", TemporaryKind::elsewhere, 123},
        {"P_V.log.partial-" + processTag(5, otherNamespace(here)) + "-0-0", TemporaryKind::elsewhere, 5},
        // Older versions' names: a process id alone, or none, or a tag cut short.
        {".ldi-save-123-x.nii.gz", TemporaryKind::unplaced, 123},
        {".ldi-save-abcdef.nii.gz", TemporaryKind::unplaced, 0},
        {".ldi-save-123@host@boot-x", TemporaryKind::unplaced, 0},
        {".ldi-save-123@@0@0-x", TemporaryKind::unplaced, 0},
        {"P_V.log.partial-123-0-0", TemporaryKind::unplaced, 123},
        // Not ldi's temporaries at all.
        {"P_V.log.partial", TemporaryKind::notTemporary, 0},
        {"P_V.log.partial-x", TemporaryKind::notTemporary, 0},
        {"notes.txt", TemporaryKind::notTemporary, 0},
        {"ldi-save-123-x", TemporaryKind::notTemporary, 0},
    };
    for (const Row& row : rows) {
        const TemporaryOwner owner = temporaryOwner(row.name, here);
        EXPECT_EQ(owner.kind, row.kind) << row.name;
        if (owner.kind != TemporaryKind::notTemporary) {
            EXPECT_EQ(owner.pid, row.pid) << row.name;
        }
    }
    // This process's own prefix names it here.
    const TemporaryOwner mine = temporaryOwner(temporaryPrefix() + "x", here);
    EXPECT_EQ(mine.kind, TemporaryKind::here);
    EXPECT_EQ(mine.pid, static_cast<long>(::getpid()));
}

TEST(TemporaryFiles, OnlyTemporariesProvedDeadAreRemovedAndOldForeignOnesReported) {
    const ProcessPlace here = currentProcessPlace();
    const long live = static_cast<long>(::getpid());
    struct Row {
        std::string name;
        int hoursOld;
        bool kept;
        bool reported;
    };
    const std::vector<Row> rows = {
        {".ldi-save-" + processTag(kNoProcess, here) + "-dead", 0, false, false},
        {"P_V.log.partial-" + processTag(kNoProcess, here) + "-0-0", 0, false, false},
        {".ldi-save-" + processTag(live, here) + "-live", 100, true, false},
        // A live run in another container or on another node: its process id means nothing here.
        {".ldi-save-" + processTag(kNoProcess, otherNamespace(here)) + "-container", 0, true, false},
        {".ldi-save-" + processTag(kNoProcess, otherHost(here)) + "-node", 1, true, false},
        {"P_V.log.partial-" + processTag(kNoProcess, otherBoot(here)) + "-0-0", 0, true, false},
        {".ldi-save-" + processTag(kNoProcess, otherHost(here)) + "-oldnode", 30, true, true},
        {".ldi-save-" + processTag(live, otherNamespace(here)) + "-oldcontainer", 72, true, true},
        {".ldi-save-" + std::to_string(kNoProcess) + "-older-version", 1, true, false},
        {".ldi-save-" + std::to_string(kNoProcess) + "-older-version-old", 30, false, false},
        {".ldi-save-nopid", 30, false, false},
        {"notes.txt", 1000, true, false},
    };
    TestTempDir dir;
    const auto now = fs::file_time_type::clock::now();
    for (const Row& row : rows) {
        std::ofstream(dir.path(row.name)) << "x";
        fs::last_write_time(dir.path(row.name), now - std::chrono::hours(row.hoursOld));
    }
    std::vector<std::string> reports;
    removeStaleTemporaryFiles(dir.root(), [&reports](const std::string& line) { reports.push_back(line); });
    std::size_t reportedRows = 0;
    for (const Row& row : rows) {
        EXPECT_EQ(fs::exists(dir.path(row.name)), row.kept) << row.name;
        bool reported = false;
        for (const std::string& line : reports) reported = reported || line.find(row.name) != std::string::npos;
        EXPECT_EQ(reported, row.reported) << row.name;
        reportedRows += row.reported;
    }
    ASSERT_EQ(reports.size(), reportedRows);
    // The report says whose it is and what to do.
    EXPECT_NE(reports[0].find("on host " + here.host), std::string::npos) << reports[0];
    EXPECT_NE(reports[0].find("remove it when no ldi run"), std::string::npos) << reports[0];
}

// Waits in `hold` until the holder lets go, and names the holder while it waits.
TEST(TemporaryFiles, AFolderLockExcludesOtherProcessesAndOtherHoldersInOneProcess) {
    TestTempDir dir;
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        // Holds the folder until the other process says it waits.
        FolderLock lock;
        lock.hold(dir.root(), {});
        char byte = 1;
        if (::write(ready[1], &byte, 1) != 1 || ::read(release[0], &byte, 1) != 1) ::_exit(1);
        ::_exit(0);
    }
    ASSERT_GT(holder, 0);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    std::vector<std::string> told;
    std::future<void> second;
    {
        FolderLock lock;
        lock.hold(dir.root(), [&told, &release](const std::string& line) {
            told.push_back(line);
            char go = 1;
            EXPECT_EQ(::write(release[1], &go, 1), 1);
        });
        ASSERT_EQ(told.size(), 1u) << "held at once although another process held it";
        EXPECT_NE(told[0].find("waiting for ldi process " + std::to_string(holder)), std::string::npos) << told[0];
        EXPECT_NE(told[0].find(dir.root()), std::string::npos) << told[0];

        // A second holder in this process waits too.
        second = std::async(std::launch::async, [&dir] {
            FolderLock other;
            other.hold(dir.root(), {});
        });
        EXPECT_EQ(second.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    }
    EXPECT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "held once let go";
    second.get();
    // Nothing of the lock is left in the folder.
    EXPECT_TRUE(fs::is_empty(dir.root()));
    int status = 0;
    EXPECT_EQ(::waitpid(holder, &status, 0), holder);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

}  // namespace
