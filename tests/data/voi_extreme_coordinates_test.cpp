// VOI coordinates at the int32 limits, as a VOI file may give them: the axis
// mirror of converted coordinates must not overflow, and such voxels count
// as outside the grid.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <vector>

#include "data/voi_time_course.h"
#include "data/vtc_file.h"
#include "data_test_support.h"
#include "stats/matrix.h"
#include "support/vtc_writer.h"

using namespace ldi;

TEST(VoiExtremeCoordinates, MirroredCoordinatesAtTheInt32LimitsLieOutside) {
    TestTempDir dir;
    VtcWriterOptions options;
    options.resolution = 1;
    options.xEnd = options.yEnd = options.zEnd = 4;
    options.numVolumes = 3;
    options.value = [](int x, int y, int z, int t) { return float(100 * z + 10 * y + x + t); };
    const std::string path = dir.path("limits.vtc");
    ASSERT_TRUE(writeTestVtc(path, options));
    VtcHandle handle(std::fopen(path.c_str(), "rb"));
    ASSERT_TRUE(handle);
    VtcHeader header;
    ASSERT_TRUE(readVtcHeader(handle.get(), header));

    TestVoi voi;
    voi.add(INT_MIN, INT_MIN, INT_MIN);  // 128 - INT_MIN does not fit in int32
    voi.add(INT_MAX, INT_MAX, INT_MAX);
    voi.add(INT_MIN, INT_MAX, 0);
    voi.add(126, 127, 125);  // mirrors to (1, 3, 2): inside
    Matrix output(1, header.numVolumes, 1, 1, -1.0f);
    std::vector<int32_t> scratch(static_cast<std::size_t>(voi.count()) * 3, 0);
    const VoiMeanResult result = readVoiMeanTimeCourse(handle.get(), header, voi.coordinates.data(), voi.count(), 1,
                                                       output, 1, scratch.data());
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.voxelsInside, 1);
    EXPECT_EQ(result.voxelsOutside, 3);
    EXPECT_EQ(output(1, 1), 231.0f);
}
