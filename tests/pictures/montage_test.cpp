// `ldi show`: the pictures are PNG files that libpng reads back, of the size
// of their layout, with each voxel drawn where it belongs in the colour its
// value and the threshold call for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "pictures/montage.h"
#include "picture_test_support.h"
#include "formats/ldi_file.h"
#include "support/host_test_support.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

constexpr int DIM_X = 4, DIM_Y = 3, DIM_Z = 2;

std::size_t voxelIndex(int x, int y, int z) { return (std::size_t(z) * DIM_Y + y) * DIM_X + x; }

// The layout of a .ldi grid's pictures: its world frame has the grid's z
// (right to left) across, x (anterior to posterior) down and y (superior to
// inferior) as the planes.
MontageLayout ldiLayout(int dimX, int dimY, int dimZ) {
    LdiGeometry g;
    g.resolution = 3;
    g.dimX = dimX;
    g.dimY = dimY;
    g.dimZ = dimZ;
    MontageLayout layout;
    std::string problem;
    EXPECT_TRUE(layoutMontage(worldFrame(placedLdiGrid(g)), MontageOptions{}, layout, problem)) << problem;
    return layout;
}

// The centre of voxel (x, y, z) in the picture.
Picture::Pixel voxelPixel(const Picture& picture, int x, int y, int z) {
    const MontageLayout layout = ldiLayout(DIM_X, DIM_Y, DIM_Z);
    std::size_t k = 0;
    while (k < layout.slices.size() && layout.slices[k] != DIM_Y - 1 - y) ++k;
    EXPECT_LT(k, layout.slices.size());
    return picture.at(layout.tileLeft(k) + (DIM_Z - 1 - z) * layout.cell + layout.cell / 2,
                      layout.tileTop(k) + x * layout.cell + layout.cell / 2);
}

bool isWarm(const Picture::Pixel& p) { return p.r > 180 && p.b < 60; }
bool isCool(const Picture::Pixel& p) { return p.b > 180 && p.r < 60; }
bool isGrey(const Picture::Pixel& p) { return p.r == p.g && p.g == p.b; }

// Three maps of a 4 x 3 x 2 grid with levels q = 0.01, 0.05 and 0.1.
LdiFile sampleMaps() {
    LdiFile file;
    LdiGeometry& g = file.geometry;
    g.xEnd = 12;
    g.yEnd = 9;
    g.zEnd = 6;
    g.resolution = 3;
    g.dimX = DIM_X;
    g.dimY = DIM_Y;
    g.dimZ = DIM_Z;
    file.levelLabels = {"thres q=0.010", "thres q=0.050", "thres q=0.100"};
    auto map = [](const std::string& name, bool isSigned) {
        LdiMap m;
        m.name = name;
        m.mapKind = 101;
        m.positiveColourLow = 0x40;
        m.positiveColourHigh = 0xFF;
        m.negativeColourLow = isSigned ? 0x4000 : 0;
        m.negativeColourHigh = isSigned ? 0xFF00 : 0;
        m.useNegativeColours = 1;
        m.fdrThresholds = {7.0f, 5.0f, 3.0f};
        m.lowerThreshold = 7.0f;
        m.upperThreshold = 21.0f;
        m.voxels.assign(DIM_X * DIM_Y * DIM_Z, 0.0f);
        return m;
    };
    LdiMap unsignedMap = map("A: Ref2Vox", false);
    unsignedMap.voxels[voxelIndex(3, 0, 0)] = 9.0f;
    unsignedMap.voxels[voxelIndex(2, 1, 0)] = 6.0f;   // passes at q 0.05, not at 0.01
    unsignedMap.voxels[voxelIndex(1, 1, 1)] = 2.0f;   // below every threshold
    unsignedMap.voxels[voxelIndex(0, 1, 1)] = -9.0f;  // negative: not shown by this kind
    LdiMap signedMap = map("A: dLDI", true);
    signedMap.voxels[voxelIndex(3, 0, 0)] = 9.0f;
    signedMap.voxels[voxelIndex(0, 1, 1)] = -8.0f;
    signedMap.voxels[voxelIndex(2, 1, 0)] = 2.0f;
    LdiMap ratio = map("A: dLDI RC", true);
    ratio.fdrThresholds = {0.0f, 0.0f, 0.0f};
    ratio.lowerThreshold = 0.2f;
    ratio.upperThreshold = 0.7f;
    ratio.voxels[voxelIndex(1, 1, 0)] = 0.5f;
    ratio.voxels[voxelIndex(2, 0, 1)] = 0.1f;
    file.maps = {unsignedMap, signedMap, ratio};
    return file;
}

// A VTC of the maps' grid whose mean grows with x.
VtcWriterOptions backgroundVtc() {
    VtcWriterOptions vtc;
    vtc.numVolumes = 5;
    vtc.xEnd = 12;
    vtc.yEnd = 9;
    vtc.zEnd = 6;
    vtc.value = [](int x, int, int, int t) { return float(100 * (x + 1) + t); };
    return vtc;
}

class Show : public ::testing::Test {
protected:
    void SetUp() override {
        writeWholeFile(dir.path("maps.ldi"), encodeLdi(sampleMaps()));
        ASSERT_TRUE(writeTestVtc(dir.path("run.vtc"), backgroundVtc()));
    }
    ProcessResult show(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"show", "maps.ldi"});
        return runLdi(arguments, dir.root());
    }
    TestTempDir dir;
};

}  // namespace

TEST_F(Show, SignedAndUnsignedMapsAsPngFiles) {
    const MontageLayout layout = ldiLayout(DIM_X, DIM_Y, DIM_Z);

    // Unsigned, over the background, default q and default file name.
    ProcessResult result = show({"--map", "A: Ref2Vox", "--background", "run.vtc"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Wrote maps_A_Ref2Vox.png: A: Ref2Vox   q = 0.05   FDR threshold 5, 2 voxels shown"),
              std::string::npos)
        << result.out;
    Picture picture;
    ASSERT_TRUE(readPng(dir.path("maps_A_Ref2Vox.png"), picture));
    EXPECT_EQ(picture.width, layout.width);
    EXPECT_EQ(picture.height, layout.height);
    EXPECT_TRUE(isWarm(voxelPixel(picture, 3, 0, 0)));
    EXPECT_TRUE(isWarm(voxelPixel(picture, 2, 1, 0)));
    // The weaker value is redder (less yellow) than the stronger one.
    EXPECT_LT(voxelPixel(picture, 2, 1, 0).g, voxelPixel(picture, 3, 0, 0).g);
    EXPECT_TRUE(isGrey(voxelPixel(picture, 1, 1, 1)));
    EXPECT_TRUE(isGrey(voxelPixel(picture, 0, 1, 1)));
    // The background's brightness follows its mean.
    EXPECT_LT(voxelPixel(picture, 0, 0, 1).r, voxelPixel(picture, 2, 0, 1).r);
    EXPECT_LT(voxelPixel(picture, 2, 0, 1).r, voxelPixel(picture, 3, 1, 1).r);

    // A stricter q hides the weaker value.
    result = show({"--map", "0", "--q", "0.01", "--out", "strict.png"});
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_TRUE(readPng(dir.path("strict.png"), picture));
    EXPECT_TRUE(isWarm(voxelPixel(picture, 3, 0, 0)));
    EXPECT_TRUE(isGrey(voxelPixel(picture, 2, 1, 0)));

    // Signed, without a background: negative values cool, hidden values grey.
    result = show({"--map", "1", "--out", "signed.png"});
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_TRUE(readPng(dir.path("signed.png"), picture));
    EXPECT_EQ(picture.width, layout.width);
    EXPECT_EQ(picture.height, layout.height);
    EXPECT_TRUE(isWarm(voxelPixel(picture, 3, 0, 0)));
    EXPECT_TRUE(isCool(voxelPixel(picture, 0, 1, 1)));
    const Picture::Pixel hidden = voxelPixel(picture, 2, 1, 0);
    const Picture::Pixel empty = voxelPixel(picture, 1, 0, 0);
    EXPECT_TRUE(isGrey(hidden) && isGrey(empty));
    EXPECT_GT(hidden.r, empty.r);  // a computed value below the threshold shows the brain's outline

    // A map without FDR thresholds uses its display threshold, whatever q.
    result = show({"--map", "A: dLDI RC", "--q", "0.01", "--out", "ratio.png"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("has no FDR thresholds"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("no FDR thresholds: display threshold 0.2, 1 voxel shown"), std::string::npos)
        << result.out;
    ASSERT_TRUE(readPng(dir.path("ratio.png"), picture));
    EXPECT_TRUE(isWarm(voxelPixel(picture, 1, 1, 0)));
    EXPECT_TRUE(isGrey(voxelPixel(picture, 2, 0, 1)));
}

TEST_F(Show, AMapWhereNoVoxelPassesSaysSoOnce) {
    LdiFile file = sampleMaps();
    for (float& value : file.maps[0].voxels) value = std::clamp(value, -4.0f, 4.0f);  // below q = 0.05's threshold 5
    writeWholeFile(dir.path("none.ldi"), encodeLdi(file));
    const ProcessResult result = runLdi({"show", "none.ldi", "--out", "none.png"}, dir.root());
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string said = "no voxel passes at q = 0.05";
    const std::size_t first = result.out.find(said);
    ASSERT_NE(first, std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(said, first + 1), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(said + ", 0 voxels shown"), std::string::npos) << result.out;
}

TEST_F(Show, ChoicesThatDoNotFitTheFile) {
    ProcessResult result = show({"--q", "0.02"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("q 0.02 is not a threshold level of the map \"A: Ref2Vox\"; its levels are q = 0.01, "
                              "0.05, 0.1"),
              std::string::npos)
        << result.err;
    result = show({"--map", "3"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("a number from 0 to 2 or a name:\n  0: A: Ref2Vox"), std::string::npos) << result.err;

    VtcWriterOptions other = backgroundVtc();
    other.xEnd = 9;
    ASSERT_TRUE(writeTestVtc(dir.path("other.vtc"), other));
    result = show({"--background", "other.vtc"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("has a grid of 3 x 3 x 2 voxels, the maps one of 4 x 3 x 2"), std::string::npos)
        << result.err;
    VtcWriterOptions shortFile = backgroundVtc();
    shortFile.truncateAt = testVtcHeaderSize(shortFile) + 100;
    ASSERT_TRUE(writeTestVtc(dir.path("short.vtc"), shortFile));
    result = show({"--background", "short.vtc"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("ends before its last slice"), std::string::npos) << result.err;

    // No picture, not even a partial one, when it cannot be written.
    result = show({"--out", "missing/map.png"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("cannot write the picture missing/map.png: the folder missing does not exist"),
              std::string::npos)
        << result.err;
    for (const std::string& name : folderContents(dir.root())) EXPECT_EQ(name.find(".partial"), std::string::npos) << name;

    std::string damaged = readWholeFile(dir.path("maps.ldi"));
    damaged[damaged.size() / 2] ^= 0x01;
    writeWholeFile(dir.path("maps.ldi"), damaged);
    result = show({});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("maps.ldi"), std::string::npos) << result.err;
}

TEST_F(Show, ControlBytesOfAMapNameDoNotReachTheTerminal) {
    LdiFile file = sampleMaps();
    file.maps[0].name = "A:\x1b[2J\nRef2Vox";
    writeWholeFile(dir.path("maps.ldi"), encodeLdi(file));
    ProcessResult result = show({"--out", "named.png"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Wrote named.png: A:\\x1b[2J\\x0aRef2Vox   q = 0.05"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos);
}

TEST(Montage, DefaultLevelMeanImageAndLayout) {
    // Without --q the level 0.05 is taken, or else the first one.
    LdiFile file = sampleMaps();
    MapDisplay display;
    std::string problem, notice;
    ASSERT_TRUE(chooseDisplay(file, 0, false, 0.0, display, problem, notice)) << problem;
    EXPECT_EQ(display.threshold, 5.0f);
    file.levelLabels = {"thres q=0.010", "thres q=0.100", "thres q=0.200"};
    ASSERT_TRUE(chooseDisplay(file, 0, false, 0.0, display, problem, notice)) << problem;
    EXPECT_EQ(display.threshold, 7.0f);
    EXPECT_EQ(display.top, 9.0f);
    EXPECT_EQ(display.shownVoxels, 1);

    // The mean image, for both data types, in [z][y][x] order.
    TestTempDir dir;
    for (int dataType : {2, 1}) {
        VtcWriterOptions vtc = backgroundVtc();
        vtc.dataType = dataType;
        vtc.value = [](int x, int y, int z, int t) { return float(1000 * z + 100 * y + 10 * x + 2 * t); };
        ASSERT_TRUE(writeTestVtc(dir.path("mean.vtc"), vtc));
        std::vector<float> image;
        ASSERT_TRUE(readVtcMeanImage(dir.path("mean.vtc"), file.geometry, image, problem)) << problem;
        ASSERT_EQ(image.size(), std::size_t(DIM_X * DIM_Y * DIM_Z));
        for (int z = 0; z < DIM_Z; ++z)
            for (int y = 0; y < DIM_Y; ++y)
                for (int x = 0; x < DIM_X; ++x)
                    EXPECT_FLOAT_EQ(image[voxelIndex(x, y, z)], float(1000 * z + 100 * y + 10 * x + 4));
    }

    // Tiles lie inside the picture, left of the colour bar and below the
    // title, whatever the grid; long grids show every n-th slice.
    for (const auto& dims : {std::vector<int>{1, 1, 1}, {4, 3, 2}, {24, 20, 12}, {58, 40, 46}, {200, 7, 130}}) {
        const MontageLayout layout = ldiLayout(dims[0], dims[1], dims[2]);
        ASSERT_FALSE(layout.slices.empty());
        EXPECT_LE(layout.slices.size(), 64u);
        EXPECT_EQ(layout.slices.front(), 0) << "the most inferior slice first";
        EXPECT_TRUE(std::is_sorted(layout.slices.begin(), layout.slices.end()));
        EXPECT_LT(layout.slices.back(), dims[1]);
        if (dims[1] <= 64) {
            EXPECT_EQ(layout.slices.size(), std::size_t(dims[1]));
        }
        const std::size_t last = layout.slices.size() - 1;
        const std::size_t rightmost = std::min<std::size_t>(std::size_t(layout.columns), last + 1) - 1;
        EXPECT_GE(layout.tileTop(0), layout.titleHeight);
        EXPECT_LE(layout.tileLeft(rightmost) + layout.tileWidth, layout.width - layout.barAreaWidth);
        EXPECT_LE(layout.tileTop(last) + layout.tileHeight, layout.height);
        EXPECT_EQ(layout.tileWidth, dims[2] * layout.cell);
        EXPECT_EQ(layout.tileHeight, dims[0] * layout.cell);
    }
}

namespace {

// Grids of many slices show every n-th one, n the smallest that keeps the
// montage within 64 tiles: one slice more than 64 already halves them, and
// the steps are even from the most inferior slice.
TEST(Montage, LongGridsShowEveryNthSliceInAtMost64Tiles) {
    struct Case {
        int slices;
        std::size_t tiles;
        int step;
    };
    const Case cases[] = {{40, 40, 1}, {64, 64, 1}, {65, 33, 2}, {100, 50, 2}, {127, 64, 2},
                          {128, 64, 2}, {129, 43, 3}, {200, 50, 4}};
    for (const Case& c : cases) {
        const MontageLayout layout = ldiLayout(4, c.slices, 3);
        EXPECT_EQ(layout.slices.size(), c.tiles) << c.slices << " slices";
        ASSERT_FALSE(layout.slices.empty());
        EXPECT_EQ(layout.slices.front(), 0) << c.slices << " slices";
        for (std::size_t k = 1; k < layout.slices.size(); ++k)
            EXPECT_EQ(layout.slices[k] - layout.slices[k - 1], c.step) << c.slices << " slices, tile " << k;
    }
}

}  // namespace
