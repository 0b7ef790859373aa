// Where ldi bids finds the BIDS validator (PATH first, then the node_modules
// of the source tree's install folders, never a file it cannot run) and how
// a long report is cut for the terminal.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "study/bids_validator.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

fs::path program(const fs::path& path, bool executable = true) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    ::chmod(path.c_str(), executable ? 0755 : 0644);
    return path;
}

TEST(BidsValidator, FoundOnPathFirstThenInTheInstallFoldersAndNeverAFileThatCannotRun) {
    const fs::path root = fs::temp_directory_path() / ("ldi_validator_" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path tree = root / "tree";
    const fs::path bin = fs::path("node_modules") / ".bin" / "bids-validator";
    EXPECT_EQ(findBidsValidator("", {tree.string()}), "");

    program(root / "notrun" / "bids-validator", false);
    const fs::path installed = program(tree / "tools" / "bids-validator" / bin);
    program(tree / "tools" / "bids-validator" / "node_modules" / "x" / bin);  // a package's own: never looked at
    EXPECT_EQ(findBidsValidator((root / "notrun").string(), {tree.string()}), installed.string());
    EXPECT_EQ(findBidsValidator("", {"", tree.string()}), installed.string());
    // Two levels below the tree's top at most, the nearer first.
    const fs::path nearer = program(tree / "zz" / bin);
    EXPECT_EQ(findBidsValidator("", {tree.string()}), nearer.string());

    const fs::path onPath = program(root / "bin" / "bids-validator");
    EXPECT_EQ(findBidsValidator("/nonexistent::" + (root / "bin").string(), {tree.string()}), onPath.string());
    if (!::testing::Test::HasFailure()) fs::remove_all(root);
}

TEST(BidsValidator, ItsExitStatusAndOutputAreItsVerdict) {
    const fs::path root = fs::temp_directory_path() / ("ldi_validator_run_" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    const fs::path failing = root / "failing";
    std::ofstream(failing) << "#!/bin/sh\necho \"checked $1\"\necho '1: [ERR] broken' >&2\nexit 1\n";
    ::chmod(failing.c_str(), 0755);
    const ValidationOutcome outcome = validateDataset(failing.string(), "/data/study");
    EXPECT_TRUE(outcome.ran);
    EXPECT_FALSE(outcome.valid);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.report.find("checked /data/study"), std::string::npos) << outcome.report;
    EXPECT_NE(outcome.report.find("1: [ERR] broken"), std::string::npos) << outcome.report;

    const ValidationOutcome missing = validateDataset((root / "absent").string(), "/data/study");
    EXPECT_FALSE(missing.ran);
    EXPECT_FALSE(missing.valid);
    EXPECT_NE(missing.report.find("cannot be started"), std::string::npos) << missing.report;
    if (!::testing::Test::HasFailure()) fs::remove_all(root);
}

TEST(BidsValidator, ALongReportKeepsItsFirstErrorsAndItsSummary) {
    std::string report;
    for (int line = 1; line <= 100; ++line) report += "line " + std::to_string(line) + "\n";
    const std::string cut = shortReport(report, 3, 2);
    EXPECT_EQ(cut, "line 1\nline 2\nline 3\n... (95 lines more)\nline 99\nline 100\n");
    EXPECT_EQ(shortReport("a\nb\n", 3, 2), "a\nb\n");
}

}  // namespace
