// Files shorter than the data section their header describes are refused
// when the run opens them, before anything is allocated for their grid.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "data/vtc_file.h"
#include "support/whole_run.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

int openOne(const std::string& path, std::string& message) {
    AnalysisSetup setup;
    addVtcEntry(addCondition(setup, "Task"), path, path);
    AnalysisContext context;
    std::ostringstream errors;
    const int status = openVtcFiles(context, setup, errors);
    message = errors.str();
    EXPECT_EQ(context.vtcFiles.size(), status == 1 ? 1u : 0u);
    return status;
}

}  // namespace

TEST(VtcSizeCheck, ShortFilesAreRefusedAtOpeningAndLongerOnesAccepted) {
    TestTempDir dir;
    VtcWriterOptions options;  // 2 x 2 x 2 voxels, 10 volumes, float32: 320 bytes of data
    const std::string path = dir.path("run.vtc");
    std::string message;

    ASSERT_TRUE(writeTestVtc(path, options));
    EXPECT_EQ(openOne(path, message), 1) << message;

    options.truncateAt = testVtcHeaderSize(options) + 319;
    ASSERT_TRUE(writeTestVtc(path, options));
    EXPECT_EQ(openOne(path, message), 3);
    EXPECT_EQ(message, "Could not read data from vtc '" + path +
                           "'\nThe file was corrupted (not of expected size) or made inaccessible\n"
                           "Its header describes 2 x 2 x 2 voxels of 10 volumes (320 bytes of data), "
                           "but it holds 319 bytes after its header");

    // Trailing bytes after the data are no reason to refuse a file.
    options.truncateAt = -1;
    options.values = std::vector<float>(81, 1000.0f);
    ASSERT_TRUE(writeTestVtc(path, options));
    EXPECT_EQ(openOne(path, message), 1) << message;

    // A header promising 32767 x 32767 voxels (a slice count that still fits
    // 32 bits) in a file of a few bytes.
    options.resolution = 1;
    options.xEnd = options.yEnd = 32767;
    options.zEnd = 1;
    options.numVolumes = 2;
    options.values = {1000.0f};
    ASSERT_TRUE(writeTestVtc(path, options));
    EXPECT_EQ(openOne(path, message), 3);
    EXPECT_NE(message.find("Its header describes 32767 x 32767 x 1 voxels of 2 volumes (8589410312 bytes of "
                           "data), but it holds 4 bytes after its header"),
              std::string::npos)
        << message;
}
