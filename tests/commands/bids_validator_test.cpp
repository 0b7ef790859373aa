// The dataset of `ldi simulate --bids` as other tools read it: the BIDS
// validator (1.x, the node one, which scripts/bootstrap installs from
// tests/bids-validator/package-lock.json) finds no error in it, and
// nifti_tool's header check (Debian's nifti-bin) passes every image in it.
// Without the tool a test is skipped on a developer's machine; in CI (CI set)
// it fails, so that a missing install step cannot pass unnoticed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/host_test_support.h"
#include "support/vtc_writer.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

bool runningInCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0';
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

const std::string kValidator = std::string(LDI_SOURCE_DIR) + "/tests/bids-validator/node_modules/bids-validator/bin/bids-validator";

class SimulatedBids : public ::testing::Test {
protected:
    void SetUp() override {
        const ProcessResult made = runLdi({"simulate", "--bids", "study", "--subjects", "2"}, dir.root());
        ASSERT_EQ(made.status, 0) << made.all();
    }
    std::string study() const { return dir.path("study"); }
    TestTempDir dir;
};

}  // namespace

TEST_F(SimulatedBids, TheBidsValidatorFindsNoError) {
    if (!fs::exists(kValidator) || std::system("node --version > /dev/null 2>&1") != 0) {
        if (runningInCi()) FAIL() << kValidator << " (or node) is missing: scripts/bootstrap installs it with npm ci";
        GTEST_SKIP() << "the BIDS validator is not installed (scripts/bootstrap installs it)";
    }
    const std::string report = dir.path("validator.json");
    const std::string command = "cd " + quoted(dir.root()) + " && node " + quoted(kValidator) + " --json " +
                                quoted(study()) + " > " + quoted(report) + " 2> " + quoted(dir.path("validator.err"));
    const int status = std::system(command.c_str());
    const std::string text = readWholeFile(report);
    const nlohmann::json result = nlohmann::json::parse(text, nullptr, false);
    ASSERT_TRUE(result.is_object()) << "not the validator's JSON report:\n" << text << readWholeFile(dir.path("validator.err"));
    // Each error with the files it names, so that a failure says what to fix.
    for (const nlohmann::json& error : result["issues"]["errors"]) {
        std::string files;
        for (const nlohmann::json& file : error.value("files", nlohmann::json::array()))
            if (file.contains("file") && file["file"].is_object())
                files += "\n  " + file["file"].value("relativePath", std::string("?"));
        ADD_FAILURE() << error.value("key", std::string("?")) << ": " << error.value("reason", std::string()) << files;
    }
    EXPECT_EQ(status, 0) << text;
    // The validator saw the runs, not an empty folder.
    EXPECT_EQ(result["summary"]["subjects"].size(), 2u) << text;
}

TEST_F(SimulatedBids, NiftiToolChecksEveryHeader) {
    if (std::system("nifti_tool -help > /dev/null 2>&1") != 0) {
        if (runningInCi()) FAIL() << "nifti_tool is missing: scripts/bootstrap installs it (Debian's nifti-bin)";
        GTEST_SKIP() << "nifti_tool is not installed (Debian's nifti-bin)";
    }
    std::vector<std::string> images;
    for (const auto& entry : fs::recursive_directory_iterator(study()))
        if (entry.path().string().size() > 7 && entry.path().string().substr(entry.path().string().size() - 7) == ".nii.gz")
            images.push_back(entry.path().string());
    // Raw and preprocessed runs of two subjects, their brain masks, the reference mask.
    ASSERT_EQ(images.size(), 7u);
    for (const std::string& image : images) {
        const std::string log = dir.path("check.txt");
        const std::string command = "nifti_tool -check_hdr -infiles " + quoted(image) + " > " + quoted(log) + " 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << image;
        // nifti_tool says what it found; its exit status is 0 either way.
        const std::string said = readWholeFile(log);
        EXPECT_NE(said.find("header IS GOOD"), std::string::npos) << image << ":\n" << said;
        EXPECT_EQ(said.find("FAILURE"), std::string::npos) << image << ":\n" << said;
    }
}
