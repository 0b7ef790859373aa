// The streaming VTC writer that `ldi simulate` and the benchmark use: a file
// written in pieces must read back, through the run's own reader, as the
// values given, with the uint16 rounding and clamping of the format.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "data/vtc_file.h"
#include "data/vtc_writer.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

VtcHeaderFields twoByTwo(int32_t dataType) {
    VtcHeaderFields fields;
    fields.sourceName = "run.fmr";
    fields.protocolName = "run.prt";
    fields.dataType = dataType;
    fields.numVolumes = 3;
    fields.resolution = 2;
    fields.xStart = 10;
    fields.xEnd = 14;
    fields.yStart = 20;
    fields.yEnd = 24;
    fields.zStart = 30;
    fields.zEnd = 32;
    return fields;
}

// Reads the header and all `count` values back with the run's reader.
std::vector<float> readBack(const std::string& path, VtcHeader& header, int32_t count) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    EXPECT_NE(file, nullptr);
    std::vector<float> read;
    if (file == nullptr) return read;
    VtcValues values;
    if (readVtcHeader(file, header)) {
        allocateVtcValues(values, header, count);
        if (readVtcValues(file, header, count, values))
            for (int32_t i = 0; i < count; ++i)
                read.push_back(header.dataType == VTC_DATA_TYPE_FLOAT ? values.floats[i] : values.shorts[i]);
    }
    std::fclose(file);
    return read;
}

TEST(VtcWriter, PiecesReadBackAsOneDataSectionInEitherType) {
    TestTempDir dir;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // 2 x 2 x 1 voxels of 3 volumes, written in two uneven pieces.
    const std::vector<double> first = {1000.25, -3.0, 0.5, 1.49, 65534.5, 70000.0, nan};
    const std::vector<float> second = {2.5f, 7.0f, 8.0f, 9.0f, 10.0f};
    for (int32_t dataType : {VTC_DATA_TYPE_FLOAT, 1}) {
        SCOPED_TRACE(dataType);
        const std::string path = dir.path("run" + std::to_string(dataType) + ".vtc");
        VtcWriter writer;
        std::string problem;
        ASSERT_TRUE(writer.open(path, twoByTwo(dataType), problem)) << problem;
        ASSERT_TRUE(writer.write(first.data(), first.size(), problem)) << problem;
        ASSERT_TRUE(writer.write(second.data(), second.size(), problem)) << problem;
        ASSERT_TRUE(writer.close(problem)) << problem;

        VtcHeader header;
        const std::vector<float> read = readBack(path, header, 12);
        ASSERT_EQ(read.size(), 12u);
        EXPECT_EQ(header.sourceName, "run.fmr");
        EXPECT_EQ(header.protocolName, "run.prt");
        EXPECT_EQ(header.dataOffset, static_cast<int64_t>(vtcHeaderBytes(twoByTwo(dataType)).size()));
        EXPECT_EQ(vtcDimX(header), 2);
        EXPECT_EQ(vtcDimZ(header), 1);
        EXPECT_EQ(header.tr, 2000);
        if (dataType == VTC_DATA_TYPE_FLOAT) {
            EXPECT_EQ(read[0], 1000.25f);
            EXPECT_EQ(read[1], -3.0f);
            EXPECT_TRUE(std::isnan(read[6]));
        } else {
            // Rounded half away from zero, clamped to 0..65535, NaN stored as 0.
            const std::vector<float> stored = {1000, 0, 1, 1, 65535, 65535, 0, 3, 7, 8, 9, 10};
            EXPECT_EQ(read, stored);
        }
    }
}

TEST(VtcWriter, FailuresNameThePath) {
    TestTempDir dir;
    VtcWriter writer;
    std::string problem;
    EXPECT_FALSE(writer.open(dir.root(), twoByTwo(1), problem));
    EXPECT_NE(problem.find("cannot write " + dir.root() + ": "), std::string::npos) << problem;
    const double value = 1.0;
    EXPECT_FALSE(writer.write(&value, 1, problem));
    EXPECT_FALSE(writer.close(problem));
}

}  // namespace
