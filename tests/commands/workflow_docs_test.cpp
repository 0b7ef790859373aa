// docs/workflow.md's commands for the simulated study run as written: taken
// from the page, with the page's own lines that put `ldi` on the PATH and go to
// the study's folder, they start in a folder laid out as the source folder (its
// `workflow` and `build`) and end with the group's maps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/host_test_support.h"
#include "support/vtc_writer.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

// The command lines in the code blocks (lines indented by four spaces) of the
// section headed `heading`, continuation lines joined.
std::vector<std::string> sectionCommands(const std::string& page, const std::string& heading) {
    std::istringstream in(page);
    std::vector<std::string> commands;
    bool inside = false;
    bool continued = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#", 0) == 0) {
            if (inside) break;
            inside = line == heading;
            continue;
        }
        if (!inside || line.rfind("    ", 0) != 0) continue;
        line = line.substr(line.find_first_not_of(' '));
        if (continued) commands.back() += " " + line;
        else commands.push_back(line);
        continued = !line.empty() && line.back() == '\\';
        if (continued) commands.back().pop_back();
    }
    return commands;
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

TEST(WorkflowDocs, TheSimulatedStudysCommandsRunAsWritten) {
    if (std::system("snakemake --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "snakemake is not installed";
    const std::string page = readWholeFile(std::string(LDI_SOURCE_DIR) + "/docs/workflow.md");
    // The page's first lines, in the source folder, put ldi on the PATH from the build folder,
    // name the workflow and go to the study's folder in the home folder.
    const std::vector<std::string> setup =
        sectionCommands(page, "# Many subjects: the BIDS App and the Snakemake workflow");
    ASSERT_EQ(setup.size(), 2u);
    EXPECT_EQ(setup[0].rfind("export PATH=", 0), 0u) << setup[0];
    // ldi simulate, both levels of ldi bids, and the same through Snakemake.
    const std::vector<std::string> commands = sectionCommands(page, "## A simulated study");
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[0].rfind("ldi simulate --bids study", 0), 0u) << commands[0];
    EXPECT_EQ(commands[3].rfind("snakemake -s \"$LDI_WORKFLOW/Snakefile\"", 0), 0u) << commands[3];

    // A folder laid out as the source folder (its workflow, and the build folder that holds
    // ldi) and a home folder.
    TestTempDir dir;
    fs::create_directories(dir.path("source"));
    fs::create_directories(dir.path("home"));
    fs::create_directory_symlink(std::string(LDI_SOURCE_DIR) + "/workflow", dir.path("source/workflow"));
    fs::create_directory_symlink(fs::path(LDI_HOST_PATH).parent_path(), dir.path("source/build"));
    ASSERT_TRUE(fs::exists(dir.path("source/build/ldi")));
    std::ofstream script(dir.path("commands.sh"));
    script << "set -eu\n";
    for (const std::string& command : setup) script << command << "\n";
    for (const std::string& command : commands) script << command << "\n";
    script.close();
    const std::string log = dir.path("commands.txt");
    const std::string line = "cd " + quoted(dir.path("source")) + " && HOME=" + quoted(dir.path("home")) +
                             " bash ../commands.sh > ../commands.txt 2>&1";
    ASSERT_EQ(std::system(line.c_str()), 0) << readWholeFile(log);
    EXPECT_TRUE(fs::exists(dir.path("home/ldi-study/study/derivatives/ldi/group/group.json")));
    EXPECT_TRUE(fs::exists(dir.path("home/ldi-study/study/derivatives/ldi/sub-06/sub-06_participant.json")));
    // Snakemake kept its records in the study's folder, not in the source folder.
    EXPECT_TRUE(fs::exists(dir.path("home/ldi-study/.snakemake")));
    EXPECT_FALSE(fs::exists(dir.path("source/.snakemake")));
}
