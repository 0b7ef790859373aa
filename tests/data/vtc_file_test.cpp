// Opening the VTC files of a set-up once each, and reading their data
// section slice by slice and voxel by voxel.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "data/vtc_file.h"
#include "data_test_support.h"
#include "support/whole_run.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A distinct value for every voxel and volume of a small grid.
float pattern(int x, int y, int z, int t) {
    return static_cast<float>(1000 * z + 100 * y + 10 * x + t);
}

// Value `index` of a slice of the file, as float32 whatever the file's element type.
float sliceValue(const VtcFile& file, const VtcValues& slice, int32_t index) {
    return file.isFloat() ? slice.floats[index] : static_cast<float>(slice.shorts[index]);
}

// Room for one slice of the file.
VtcValues sliceRoom(const VtcFile& file) {
    VtcValues slice;
    allocateVtcValues(slice, file.header, file.sliceValueCount);
    return slice;
}

class VtcOpenTest : public ::testing::Test {
protected:
    std::string writeVtc(const std::string& name, VtcWriterOptions options = VtcWriterOptions()) {
        const std::string path = dir.path(name);
        EXPECT_TRUE(writeTestVtc(path, options));
        return path;
    }

    TestTempDir dir;
    AnalysisSetup setup;
    AnalysisContext context;
    std::ostringstream errors;
};

TEST_F(VtcOpenTest, OnePathGivesOneFileWhateverNamesIt) {
    const std::string run1 = writeVtc("run1.vtc");
    const std::string run2 = writeVtc("run2.vtc");
    const std::string upper = writeVtc("RUN1.vtc");
    Condition& a = addCondition(setup, "A");
    addVtcEntry(a, run1, run1);
    addVtcEntry(a, run2, run1);  // run1 again, now as a target
    Condition& b = addCondition(setup, "B");
    addVtcEntry(b, run1, run2);  // both files again, roles swapped
    addVtcEntry(b, upper, upper);

    ASSERT_EQ(openVtcFiles(context, setup, errors), 1) << errors.str();
    ASSERT_EQ(context.vtcFiles.size(), 3u);
    EXPECT_EQ(context.vtcFiles[0]->path, run1);
    EXPECT_EQ(context.vtcFiles[1]->path, run2);
    EXPECT_EQ(context.vtcFiles[2]->path, upper);

    VtcFile* f1 = context.vtcFiles[0].get();
    VtcFile* f2 = context.vtcFiles[1].get();
    const VtcEntry& a0 = setup.conditions[0].entries[0];
    const VtcEntry& a1 = setup.conditions[0].entries[1];
    const VtcEntry& b0 = setup.conditions[1].entries[0];
    const VtcEntry& b1 = setup.conditions[1].entries[1];
    EXPECT_EQ(a0.sourceVtc, f1);
    EXPECT_EQ(a0.targetVtc, f1) << "single mode: both links are one object";
    EXPECT_EQ(a1.sourceVtc, f2);
    EXPECT_EQ(a1.targetVtc, f1);
    EXPECT_EQ(b0.sourceVtc, f1);
    EXPECT_EQ(b0.targetVtc, f2);
    EXPECT_EQ(b1.sourceVtc, context.vtcFiles[2].get()) << "paths differing in case are different files";
    EXPECT_EQ(findVtcFile(context, run2), f2);
    EXPECT_EQ(findVtcFile(context, dir.path("Run2.vtc")), nullptr);

    // Made from its own header: slice size.
    EXPECT_EQ(f1->sliceValueCount, 2 * 2 * 10);
}

TEST_F(VtcOpenTest, FailuresNameTheFileAndTheCondition) {
    const std::string good = writeVtc("good.vtc");
    VtcWriterOptions old;
    old.version = 1;
    const std::string bad = writeVtc("old.vtc", old);
    const std::string missing = dir.path("missing.vtc");

    {
        AnalysisSetup s;
        addVtcEntry(addCondition(s, "first"), good, good);
        addVtcEntry(addCondition(s, "second"), good, missing);
        AnalysisContext c;
        std::ostringstream e;
        EXPECT_EQ(openVtcFiles(c, s, e), 3);
        EXPECT_EQ(e.str(), "Could not open file: " + missing + "\nfor condition 'second'");
        EXPECT_EQ(c.vtcFiles.size(), 1u) << "files opened before the failure stay for the tear-down";
    }
    {
        AnalysisSetup s;
        addVtcEntry(addCondition(s, "cond"), bad, bad);
        AnalysisContext c;
        std::ostringstream e;
        EXPECT_EQ(openVtcFiles(c, s, e), 3);
        EXPECT_EQ(e.str(), "Could not correctly read vtc-header file: " + bad +
                               "\nfor condition 'cond'\nN.B.:VTC version 2 required for this version of the LDI_Plugin!");
        EXPECT_TRUE(endsWith(e.str(), "N.B.:VTC version 2 required for this version of the LDI_Plugin!"));
        EXPECT_TRUE(c.vtcFiles.empty());
    }
}

TEST_F(VtcOpenTest, SlicesAreReadInOrderAndAShortSliceIsReported) {
    for (int version : {2, 3}) {
        VtcWriterOptions options;
        options.version = version;
        options.dataType = 2;
        options.numVolumes = 4;
        options.xEnd = 9;  // 3 x 2 x 2 grid
        options.value = pattern;
        AnalysisSetup s;
        const std::string path = writeVtc("slices" + std::to_string(version) + ".vtc", options);
        addVtcEntry(addCondition(s, "A"), path, path);
        AnalysisContext c;
        ASSERT_EQ(openVtcFiles(c, s, errors), 1) << errors.str();
        VtcFile& file = *c.vtcFiles[0];
        EXPECT_EQ(file.isFloat(), version == 3);

        VtcValues slice = sliceRoom(file);
        for (int z = 1; z >= 0; --z) {  // in any order: every slice is read at its own offset
            ASSERT_TRUE(readVtcSlice(file, z, slice)) << "version " << version << " slice " << z;
            for (int y = 0; y < 2; ++y) {
                for (int x = 0; x < 3; ++x) {
                    for (int t = 0; t < 4; ++t) {
                        EXPECT_EQ(sliceValue(file, slice, (y * 3 + x) * 4 + t), pattern(x, y, z, t))
                            << x << y << z << t;
                    }
                }
            }
        }
        EXPECT_FALSE(readVtcSlice(file, 2, slice)) << "nothing after the last slice";
        EXPECT_FALSE(readVtcSlice(file, -1, slice));
    }

    // The second slice ends one value early: a file cut after it was opened.
    // Its slices are larger than a stdio buffer, so the cut part is read from
    // the disk and not from what the header read buffered.
    VtcWriterOptions options;
    options.value = pattern;
    options.numVolumes = 400;
    const std::string path = writeVtc("short.vtc", options);
    addVtcEntry(addCondition(setup, "A"), path, path);
    ASSERT_EQ(openVtcFiles(context, setup, errors), 1) << errors.str();
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(testVtcHeaderSize(options) + 2LL * 2 * 2 * 400 * 4 - 4));
    VtcFile& file = *context.vtcFiles[0];
    VtcValues slice = sliceRoom(file);
    EXPECT_TRUE(readVtcSlice(file, 0, slice));
    EXPECT_FALSE(readVtcSlice(file, 1, slice));
}

TEST_F(VtcOpenTest, VoxelReadsFindEveryVoxelAndRefuseOutsideOnes) {
    VtcWriterOptions options;
    options.version = 2;
    options.numVolumes = 5;
    options.xEnd = 9;
    options.value = pattern;
    const std::string path = writeVtc("voxels.vtc", options);
    VtcHandle handle(std::fopen(path.c_str(), "rb"));
    ASSERT_TRUE(handle);
    VtcHeader header;
    ASSERT_TRUE(readVtcHeader(handle.get(), header));
    VtcValues values;
    allocateVtcValues(values, header, header.numVolumes);
    for (int z = 1; z >= 0; --z) {  // out of file order on purpose
        for (int y = 0; y < 2; ++y) {
            for (int x = 2; x >= 0; --x) {
                ASSERT_TRUE(readVtcVoxel(handle.get(), header, x, y, z, values));
                for (int t = 0; t < 5; ++t) {
                    EXPECT_EQ(values.shorts[t], static_cast<uint16_t>(pattern(x, y, z, t)));
                }
            }
        }
    }
    EXPECT_FALSE(readVtcVoxel(handle.get(), header, 3, 0, 0, values));
    EXPECT_FALSE(readVtcVoxel(handle.get(), header, 0, -1, 0, values));
    EXPECT_FALSE(readVtcVoxel(handle.get(), header, 0, 0, 2, values));
}

// A sparse file whose last slice lies beyond 4 GiB: offsets must not wrap.
TEST_F(VtcOpenTest, DataBeyondFourGigabytesIsAddressedExactly) {
    VtcWriterOptions options;
    options.resolution = 1;
    options.xEnd = 128;
    options.yEnd = 128;
    options.zEnd = 66;
    options.numVolumes = 1000;  // 65.5 MB a slice, 4.3 GB in all
    options.values = {0.0f};
    options.truncateAt = testVtcHeaderSize(options);
    const std::string path = writeVtc("large.vtc", options);

    VtcHeader header;
    {
        VtcHandle handle(std::fopen(path.c_str(), "rb"));
        ASSERT_TRUE(handle);
        ASSERT_TRUE(readVtcHeader(handle.get(), header));
    }
    const int32_t x = 127, y = 126, z = 65;
    const int64_t offset = vtcVoxelOffset(header, x, y, z);
    ASSERT_GT(offset, int64_t{1} << 32);
    {
        VtcHandle out(std::fopen(path.c_str(), "r+b"));
        ASSERT_TRUE(out);
        ASSERT_EQ(fseeko(out.get(), static_cast<off_t>(offset), SEEK_SET), 0);
        for (int t = 0; t < 1000; ++t) {
            const float value = 0.5f + static_cast<float>(t);
            unsigned char bytes[4];
            uint32_t raw = 0;
            std::memcpy(&raw, &value, 4);
            for (int i = 0; i < 4; ++i) {
                bytes[i] = static_cast<unsigned char>(raw >> (8 * i));
            }
            ASSERT_EQ(std::fwrite(bytes, 1, 4, out.get()), 4u);
        }
        // Complete the last slice so that slice reading reaches its end.
        const int64_t end = header.dataOffset + int64_t{128} * 128 * 66 * 1000 * 4;
        ASSERT_EQ(fseeko(out.get(), static_cast<off_t>(end - 1), SEEK_SET), 0);
        ASSERT_EQ(std::fputc(0, out.get()), 0);
    }

    VtcHandle handle(std::fopen(path.c_str(), "rb"));
    ASSERT_TRUE(handle);
    VtcValues values;
    allocateVtcValues(values, header, header.numVolumes);
    ASSERT_TRUE(readVtcVoxel(handle.get(), header, x, y, z, values));
    EXPECT_EQ(values.floats[0], 0.5f);
    EXPECT_EQ(values.floats[999], 999.5f);

    // The last slice, read through a VtcFile at its offset past 4 GiB.
    std::unique_ptr<VtcFile> file = makeVtcFile(path, header, std::move(handle));
    VtcValues slice = sliceRoom(*file);
    ASSERT_TRUE(readVtcSlice(*file, 65, slice));
    EXPECT_EQ(sliceValue(*file, slice, (y * 128 + x) * 1000), 0.5f);
    EXPECT_EQ(sliceValue(*file, slice, (y * 128 + x) * 1000 + 999), 999.5f);
    EXPECT_FALSE(readVtcSlice(*file, 66, slice));
}

}  // namespace
