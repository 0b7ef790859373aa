// Whole `ldi run`s on VTC files cut short: inside the header, inside the first
// z-slice and inside the last one. The run must end with a message naming the
// file and status 1, and must not leave result files of the VOI it was working
// on, while the results of the VOIs finished before stay complete.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "support/ldi_process.h"

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

// In the sorted order of a folder listing.
const std::vector<std::string> motorResults = {
    "P_Motor.json",
    "P_Motor.ldi",
    "P_Motor.log",
    "P_Motor_Task_Inst.nii.gz",
    "P_Motor_Task_Ref2Vox.nii.gz",
    "P_Motor_Task_Vox2Ref.nii.gz",
    "P_Motor_Task_dLDI.nii.gz",
    "P_Motor_Task_dLDI_IT.nii.gz",
    "P_Motor_Task_dLDI_RC.nii.gz",
};

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

// The file is cut while the run is between its two VOIs. The run is held
// there by a named pipe in place of the first VOI's log file: writing that log
// waits for a reader, and the second VOI starts only after it. The test cuts
// the file, then reads the log, which lets the run go on.
TEST_F(TruncatedVtcRun, FileCutBetweenVoisKeepsTheFirstVoisResultsWhole) {
    for (const CutPoint& cut : cutPoints(options)) {
        SCOPED_TRACE(cut.where);
        for (const std::string& name : written()) std::filesystem::remove(dir.path(name));
        ASSERT_TRUE(writeTestVtc(dir.path("data.vtc"), options));
        const std::string gate = dir.path("P_Motor.log.partial");
        ASSERT_EQ(::mkfifo(gate.c_str(), 0644), 0);

        LdiProcess process;
        ASSERT_TRUE(process.start(arguments(), dir.root()));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ldiRunSeconds);
        while (!std::filesystem::exists(dir.path("P_Motor.ldi")) && process.running() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(std::filesystem::exists(dir.path("P_Motor.ldi"))) << process.finish(1).all();

        std::filesystem::resize_file(dir.path("data.vtc"), static_cast<std::uintmax_t>(cut.bytes));

        // Read the first VOI's log through the pipe; the writer may not have
        // opened it yet, so wait for data or for its close.
        const int gateHandle = ::open(gate.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(gateHandle, 0);
        std::string motorLog;
        bool closed = false;
        while (!closed && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{gateHandle, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(gateHandle, buffer, sizeof buffer);
            if (got > 0) motorLog.append(buffer, static_cast<std::size_t>(got));
            closed = got == 0 || (got < 0 && errno != EAGAIN);
        }
        ::close(gateHandle);

        const LdiOutcome outcome = process.finish(ldiRunSeconds);
        ASSERT_FALSE(outcome.timedOut);
        EXPECT_EQ(outcome.signal, 0) << outcome.err;
        EXPECT_EQ(outcome.status, 1) << outcome.all();
        EXPECT_NE(outcome.out.find("Could not read data from vtc 'data.vtc'\n// LDI> The file was corrupted"),
                  std::string::npos)
            << outcome.all();
        EXPECT_EQ(outcome.out.find("Its header describes"), std::string::npos) << "found by the slice read";
        EXPECT_NE(outcome.out.find("Written data: P_Motor.ldi"), std::string::npos);

        // Nothing of the failed VOI, everything of the finished one.
        EXPECT_EQ(written(), motorResults) << outcome.all();
        EXPECT_EQ(motorLog.rfind("Created by LDI-plugin version 1.5\n", 0), 0u);
        EXPECT_NE(motorLog.find("VOI: Motor"), std::string::npos);
        EXPECT_EQ(motorLog.find("VOI: Visual"), std::string::npos);
        const LdiOutcome info = runLdiFor({"info", "P_Motor.ldi"}, dir.root());
        EXPECT_EQ(info.status, 0) << info.all();
        for (const std::string& name : motorResults) {
            if (name != "P_Motor.log") {
                EXPECT_GT(std::filesystem::file_size(dir.path(name)), 0u) << name;
            }
        }
    }
}

}  // namespace
