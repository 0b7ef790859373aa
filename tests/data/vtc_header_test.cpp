// Reading VTC headers written by the test writer: both layouts, both data
// types, the values that need widening or rounding, and headers the reader
// must refuse without crashing.
#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "data/vtc_file.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

class VtcHeaderTest : public ::testing::Test {
protected:
    // Writes the options to a file and reads its header back.
    bool writeAndRead(const VtcWriterOptions& options, VtcHeader& header) {
        const std::string path = dir.path("header.vtc");
        EXPECT_TRUE(writeTestVtc(path, options));
        FilePtr file(std::fopen(path.c_str(), "rb"));
        EXPECT_NE(file, nullptr);
        if (!file) {
            return false;
        }
        const bool accepted = readVtcHeader(file.get(), header);
        if (accepted) {
            position = ftello(file.get());
        }
        return accepted;
    }

    TestTempDir dir;
    long long position = -1;
};

TEST_F(VtcHeaderTest, Version3FloatHeaderIsReadFieldByField) {
    VtcWriterOptions options;
    options.sourceName = "run1.fmr";
    options.protocolName = "task.prt";
    options.numVolumes = 150;
    options.resolution = 3;
    options.xStart = 57;
    options.xEnd = 231;
    options.yStart = 52;
    options.yEnd = 172;
    options.zStart = 59;
    options.zEnd = 197;
    options.tr = 2000.0f;
    options.values = {1.0f};  // the header is what matters here

    VtcHeader header;
    ASSERT_TRUE(writeAndRead(options, header));
    EXPECT_EQ(header.sourceName, "run1.fmr");
    EXPECT_EQ(header.protocolName, "task.prt");
    EXPECT_EQ(header.dataType, 2);
    EXPECT_EQ(header.numVolumes, 150);
    EXPECT_EQ(header.resolution, 3);
    EXPECT_EQ(header.xStart, 57);
    EXPECT_EQ(header.xEnd, 231);
    EXPECT_EQ(header.yStart, 52);
    EXPECT_EQ(header.yEnd, 172);
    EXPECT_EQ(header.zStart, 59);
    EXPECT_EQ(header.zEnd, 197);
    EXPECT_EQ(header.tr, 2000);
    EXPECT_EQ(header.dataOffset, testVtcHeaderSize(options));
    EXPECT_EQ(position, header.dataOffset);
    EXPECT_EQ(vtcDimX(header), 58);
    EXPECT_EQ(vtcDimY(header), 40);
    EXPECT_EQ(vtcDimZ(header), 46);
    EXPECT_EQ(vtcElementSize(header), 4);
    EXPECT_EQ(vtcSliceValueCount(header), 58 * 40 * 150);
}

TEST_F(VtcHeaderTest, LayoutsAndVersions) {
    VtcHeader header;

    VtcWriterOptions v2;
    v2.version = 2;
    v2.sourceName = "old.fmr";
    v2.protocolName = "";
    ASSERT_TRUE(writeAndRead(v2, header));
    EXPECT_EQ(header.dataType, 1) << "version 2 has no data type field and stores uint16";
    EXPECT_EQ(header.sourceName, "old.fmr");
    EXPECT_EQ(header.protocolName, "");
    EXPECT_EQ(header.dataOffset, testVtcHeaderSize(v2));
    EXPECT_EQ(vtcElementSize(header), 2);

    VtcWriterOptions v4;
    v4.version = 4;
    v4.dataType = 1;
    ASSERT_TRUE(writeAndRead(v4, header)) << "version 4 is read with the version 3 layout";
    EXPECT_EQ(header.dataType, 1);
    EXPECT_EQ(header.dataOffset, testVtcHeaderSize(v4));

    VtcWriterOptions v1;
    v1.version = 1;
    EXPECT_FALSE(writeAndRead(v1, header));

    // Zero or one linked protocol: one protocol name either way. Two: refused.
    for (int linked : {0, 1}) {
        VtcWriterOptions options;
        options.linkedProtocols = linked;
        options.protocolName = "p.prt";
        ASSERT_TRUE(writeAndRead(options, header)) << linked;
        EXPECT_EQ(header.protocolName, "p.prt");
        EXPECT_EQ(header.dataOffset, testVtcHeaderSize(options));
    }
    VtcWriterOptions twoProtocols;
    twoProtocols.linkedProtocols = 2;
    EXPECT_FALSE(writeAndRead(twoProtocols, header));
}

TEST_F(VtcHeaderTest, TrRoundsHalfUpAndBoxValuesKeepTheirSign) {
    VtcHeader header;
    VtcWriterOptions options;
    options.tr = 2.5f;
    ASSERT_TRUE(writeAndRead(options, header));
    EXPECT_EQ(header.tr, 3);
    options.tr = 2.4f;
    ASSERT_TRUE(writeAndRead(options, header));
    EXPECT_EQ(header.tr, 2);

    options.xStart = 0xFFFF;  // stored as the int16 -1
    options.xEnd = 5;
    ASSERT_TRUE(writeAndRead(options, header));
    EXPECT_EQ(header.xStart, -1);
    EXPECT_EQ(vtcDimX(header), 2);
}

TEST_F(VtcHeaderTest, LongNamesAreCutButFullyConsumed) {
    VtcWriterOptions options;
    options.sourceName = std::string(300, 's');
    options.protocolName = std::string(261, 'p');
    VtcHeader header;
    ASSERT_TRUE(writeAndRead(options, header));
    EXPECT_EQ(header.sourceName, std::string(VTC_MAX_NAME_LENGTH, 's'));
    EXPECT_EQ(header.protocolName, std::string(VTC_MAX_NAME_LENGTH, 'p'));
    EXPECT_EQ(header.dataOffset, testVtcHeaderSize(options));
    EXPECT_EQ(position, testVtcHeaderSize(options));

    options.sourceName = std::string(VTC_MAX_NAME_LENGTH, 'e');
    ASSERT_TRUE(writeAndRead(options, header));
    EXPECT_EQ(header.sourceName, options.sourceName);
}

TEST_F(VtcHeaderTest, GridsThatCannotBeDescribedAreRefused) {
    struct Case {
        const char* what;
        void (*change)(VtcWriterOptions&);
    };
    const Case cases[] = {
        {"resolution 0", [](VtcWriterOptions& o) { o.resolution = 0; }},
        {"negative resolution", [](VtcWriterOptions& o) { o.resolution = -3; }},
        {"x end below start", [](VtcWriterOptions& o) { o.xStart = 10; o.xEnd = 4; }},
        {"y end below start", [](VtcWriterOptions& o) { o.yStart = 10; o.yEnd = 4; }},
        {"z end below start", [](VtcWriterOptions& o) { o.zStart = 10; o.zEnd = 4; }},
        {"empty box", [](VtcWriterOptions& o) { o.zEnd = o.zStart; }},
        {"box thinner than a voxel", [](VtcWriterOptions& o) { o.yEnd = o.yStart + 2; }},
        {"zero volumes", [](VtcWriterOptions& o) { o.numVolumes = 0; }},
        {"negative volumes", [](VtcWriterOptions& o) { o.numVolumes = -5; }},
        {"slice larger than int32",
         [](VtcWriterOptions& o) {
             o.resolution = 1;
             o.xStart = -32768; o.xEnd = 32767;
             o.yStart = -32768; o.yEnd = 32767;
             o.zStart = 0; o.zEnd = 1;
             o.numVolumes = 1;
         }},
        {"TR not a number", [](VtcWriterOptions& o) { o.tr = std::numeric_limits<float>::quiet_NaN(); }},
        {"TR out of range", [](VtcWriterOptions& o) { o.tr = 1e20f; }},
    };
    for (const Case& c : cases) {
        VtcWriterOptions options;
        options.values = {1.0f};  // keep the file small whatever the grid says
        c.change(options);
        VtcHeader header;
        EXPECT_FALSE(writeAndRead(options, header)) << c.what;
    }
}

TEST_F(VtcHeaderTest, TruncatedHeadersAreRefusedAtEveryLength) {
    for (int version : {2, 3}) {
        VtcWriterOptions options;
        options.version = version;
        const long long size = testVtcHeaderSize(options);
        for (long long cut = 0; cut < size; ++cut) {
            options.truncateAt = cut;
            VtcHeader header;
            EXPECT_FALSE(writeAndRead(options, header)) << "version " << version << " cut at " << cut;
        }
        // A header that is complete but has no data is still a header.
        options.truncateAt = size;
        VtcHeader header;
        EXPECT_TRUE(writeAndRead(options, header));
    }

    VtcWriterOptions unterminated;
    unterminated.terminateSourceName = false;
    unterminated.terminateProtocolName = false;
    unterminated.values = {1.0f, 2.0f};  // no NUL anywhere after the names
    VtcHeader header;
    EXPECT_FALSE(writeAndRead(unterminated, header));
}

TEST(VtcHeaderNoise, ArbitraryBytesNeverCrashTheReader) {
    std::mt19937 generator(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(1, 96);
    for (int round = 0; round < 5000; ++round) {
        std::string bytes(static_cast<std::size_t>(length(generator)), '\0');
        for (char& b : bytes) {
            b = static_cast<char>(byte(generator));
        }
        if (round % 2 == 0 && bytes.size() >= 2) {
            bytes[0] = static_cast<char>(2 + round % 3);  // plausible version, to get past the first field
            bytes[1] = 0;
        }
        FilePtr file(fmemopen(bytes.data(), bytes.size(), "rb"));
        ASSERT_NE(file, nullptr);
        VtcHeader header;
        if (readVtcHeader(file.get(), header)) {
            EXPECT_GT(vtcDimX(header), 0);
            EXPECT_GT(vtcDimY(header), 0);
            EXPECT_GT(vtcDimZ(header), 0);
            EXPECT_GT(header.numVolumes, 0);
            EXPECT_LE(header.sourceName.size(), VTC_MAX_NAME_LENGTH);
            EXPECT_LE(header.dataOffset, static_cast<long long>(bytes.size()));
        }
    }
}

}  // namespace
