// Whole `ldi run`s on VTC files cut short: inside the header, inside the first
// z-slice and inside the last one. The run must end with a message naming the
// file and status 1, and must not leave result files of the VOI it was working
// on. (A file cut between two VOIs is tested with the driver itself.)
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "support/ldi_process.h"

using namespace ldi;

namespace {

// A float VTC of 4 x 3 x 3 voxels (box 0..12 x 0..9 x 0..9, resolution 3) and
// 120 volumes of noisy values above the inclusion threshold. A slice is
// larger than a stdio buffer, so a file cut during the run is read from the
// disk, not from what an earlier read buffered.
VtcWriterOptions dataVtc() {
    VtcWriterOptions options;
    options.numVolumes = 120;
    options.xEnd = 12;
    options.yEnd = 9;
    options.zEnd = 9;
    options.value = [](int x, int y, int z, int t) {
        uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ uint32_t(z) * 83492791u ^
                     uint32_t(t) * 2654435761u;
        h ^= h >> 13;
        h *= 0x5bd1e995u;
        h ^= h >> 15;
        return 1000.0f + 20.0f * (float(h % 20000u) / 10000.0f - 1.0f);
    };
    return options;
}

// Both VOIs lie at the very start of the data, in the first z-slice, so that
// their reference time courses can be read from every file cut after the
// header: what fails is the voxel pass over the slices.
const char voiText[] =
    "VOI: Motor\n"
    "0 0 0\n"
    "3 0 0\n"
    "VOI: Visual\n"
    "0 3 0\n";

struct CutPoint {
    const char* where;
    long long bytes;
};

std::vector<CutPoint> cutPoints(const VtcWriterOptions& options) {
    const long long header = testVtcHeaderSize(options);
    const long long slice = 4LL * 3 * options.numVolumes * 4;
    return {{"inside the header", header / 2},
            {"inside the first slice", header + slice / 2},
            {"inside the last slice", header + 2 * slice + slice / 2}};
}

class TruncatedVtcRun : public ::testing::Test {
protected:
    void SetUp() override {
        options = dataVtc();
        ASSERT_TRUE(writeTestVtc(dir.path("linked.vtc"), options));
        ASSERT_TRUE(writeTestVtc(dir.path("data.vtc"), options));
        writeWholeFile(dir.path("regions.voi"), voiText);
        // An empty settings file: the defaults, whatever the build folder holds.
        writeWholeFile(dir.path("LDIPlugin.ini"), "");
    }

    std::vector<std::string> arguments() const {
        return {"run",         "--vtc",    "linked.vtc", "--voi",      "regions.voi", "--plugins-dir",
                dir.root(),    "--select-voi", "all",    "--condition", "Task",       "--data",
                "data.vtc",    "--interval", "5-120",     "--out",       "P"};
    }

    // What the folder holds besides the inputs.
    std::vector<std::string> written() const {
        std::vector<std::string> names;
        for (const std::string& name : folderContents(dir.root()))
            if (name != "linked.vtc" && name != "data.vtc" && name != "regions.voi" && name != "LDIPlugin.ini")
                names.push_back(name);
        return names;
    }

    TestTempDir dir;
    VtcWriterOptions options;
};

TEST_F(TruncatedVtcRun, FileCutBeforeTheRunFailsWithAMessageAndWritesNothing) {
    for (const CutPoint& cut : cutPoints(options)) {
        SCOPED_TRACE(cut.where);
        std::filesystem::resize_file(dir.path("data.vtc"), static_cast<std::uintmax_t>(cut.bytes));
        const LdiOutcome outcome = runLdiFor(arguments(), dir.root());
        ASSERT_FALSE(outcome.timedOut);
        EXPECT_EQ(outcome.signal, 0) << outcome.err;
        EXPECT_EQ(outcome.status, 1) << outcome.all();
        if (cut.bytes < testVtcHeaderSize(options)) {
            // The set-up dialog tests the header and refuses the file.
            EXPECT_NE(outcome.err.find("Either could not open vtc"), std::string::npos) << outcome.err;
        } else {
            EXPECT_NE(outcome.out.find("Could not read data from vtc 'data.vtc'"), std::string::npos)
                << outcome.all();
            EXPECT_NE(outcome.out.find("The file was corrupted (not of expected size) or made inaccessible"),
                      std::string::npos);
        }
        EXPECT_EQ(written(), std::vector<std::string>()) << outcome.all();
        // The file description tool says the same.
        const LdiOutcome info = runLdiFor({"info", "data.vtc"}, dir.root());
        EXPECT_EQ(info.status, 1) << info.all();
        EXPECT_NE(info.all().find("data.vtc"), std::string::npos);
        ASSERT_TRUE(writeTestVtc(dir.path("data.vtc"), options));
    }
}

}  // namespace
