// What a montage draws stays inside it and can be read: the legend under the
// colour bar ends above the bottom edge of short and long montages alike,
// the title lines end before the right edge however long the map's name,
// the slice labels stand out from a bright tile; the unthresholded display
// saturates at the 99th percentile, and a seed's voxels are outlined.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pictures/montage.h"
#include "picture_test_support.h"

using namespace ldi;

namespace {

struct FitCase {
    const char* what;
    std::array<int64_t, 3> dim;
    bool isSigned;
    std::string name;
    bool radiological;
    bool unthresholded;
};

PlacedGrid grid3mm(const std::array<int64_t, 3>& dim) {
    PlacedGrid grid;
    grid.dim = dim;
    grid.toWorld = Affine{};
    for (int a = 0; a < 3; ++a) {
        grid.toWorld[a][a] = 3.0;
        grid.toWorld[a][3] = -3.0 * static_cast<double>(dim[a]) / 2.0;
    }
    return grid;
}

// A map with a few values above 5 on either side, and a bright underlay
// (its last slice darker, so that the rest lies at the top of the greys).
void sampleMap(const FitCase& row, LdiMap& map, Underlay& underlay) {
    const PlacedGrid grid = grid3mm(row.dim);
    const auto count = static_cast<std::size_t>(grid.voxelCount());
    map.name = row.name;
    map.negativeColourLow = row.isSigned ? 0x4000 : 0;
    map.negativeColourHigh = row.isSigned ? 0xFF00 : 0;
    map.voxels.assign(count, 0.0f);
    for (std::size_t v = 0; v < count; v += 7) map.voxels[v] = (v % 2 == 0 || !row.isSigned) ? 9.0f : -8.0f;
    underlay.grid = grid;
    underlay.what = "the mean image of the run";
    underlay.values.assign(count, 1.0f);
    const auto plane = static_cast<std::size_t>(row.dim[0] * row.dim[1]);
    std::fill(underlay.values.end() - static_cast<std::ptrdiff_t>(plane), underlay.values.end(), 0.5f);
}

int luminance(const Picture::Pixel& p) { return (299 * p.r + 587 * p.g + 114 * p.b) / 1000; }
bool isLightGrey(const Picture::Pixel& p) { return p.r == p.g && p.g == p.b && p.r > 150; }
bool isColoured(const Picture::Pixel& p) { return std::max({p.r, p.g, p.b}) - std::min({p.r, p.g, p.b}) > 80; }

}  // namespace

TEST(MontageFit, LegendTitlesAndLabelsInsideAndReadable) {
    const std::string longName(90, 'W');
    const std::vector<FitCase> cases = {
        {"short: two slices in one row", {12, 10, 2}, false, "A: Ref2Vox", false, false},
        {"short and signed, unthresholded", {12, 10, 2}, true, "A: dLDI", false, true},
        {"one small slice, a long name", {4, 3, 1}, false, "seed " + longName, false, false},
        {"long: 46 slices, radiological", {58, 40, 46}, true, "Reference: dLDI (blocks)", true, false},
        {"long with a long name", {40, 48, 70}, false, longName + " Inst", false, true},
    };
    for (const FitCase& row : cases) {
        SCOPED_TRACE(row.what);
        LdiMap map;
        Underlay underlay;
        sampleMap(row, map, underlay);
        MapDisplay display;
        if (row.unthresholded) unthresholdedDisplay(map, display);
        else fixedDisplay(map, 5.0f, "threshold", display);
        MontageOptions options;
        options.radiological = row.radiological;
        std::string png, problem;
        ASSERT_TRUE(drawMontage(underlay.grid, map, display, &underlay, options, png, problem)) << problem;
        Picture picture;
        ASSERT_TRUE(decodePng(png, picture));
        MontageLayout layout;
        ASSERT_TRUE(layoutMontage(worldFrame(underlay.grid), options, layout, problem)) << problem;
        EXPECT_EQ(picture.height, layout.height);

        // The bar's lowest coloured row, then the legend's text below it,
        // inside the picture.
        const int barArea = picture.width - layout.barAreaWidth;
        const int barColumn = barArea + 8 + 9;
        int barBottom = -1;
        for (int y = 0; y < picture.height; ++y)
            if (isColoured(picture.at(barColumn, y))) barBottom = y;
        ASSERT_GT(barBottom, layout.titleHeight) << "no colour bar";
        int legendPixels = 0, lowestText = -1;
        for (int y = barBottom + 4; y < picture.height; ++y)
            for (int x = barArea; x < picture.width; ++x)
                if (isLightGrey(picture.at(x, y))) {
                    ++legendPixels;
                    lowestText = y;
                }
        EXPECT_GT(legendPixels, 40) << "the legend below the colour bar is not in the picture";
        EXPECT_LT(lowestText, picture.height - 2) << "the legend touches the bottom edge";

        // Nothing of the title lines in the right margin: they are not cut off.
        int inMargin = 0;
        for (int y = 0; y < layout.titleHeight; ++y)
            for (int x = picture.width - layout.margin + 2; x < picture.width; ++x)
                inMargin += picture.at(x, y) == Picture::Pixel{0, 0, 0} ? 0 : 1;
        EXPECT_EQ(inMargin, 0) << "a title line runs to the right edge";

        // The first tile's z above it, light on the page's black; its side
        // label (L or R) light on a dark backing over the bright slice.
        const auto contrast = [&](int x0, int y0, int x1, int y1) {
            int darkest = 255, lightest = 0;
            for (int y = y0; y < y1; ++y)
                for (int x = x0; x < x1; ++x) {
                    darkest = std::min(darkest, luminance(picture.at(x, y)));
                    lightest = std::max(lightest, luminance(picture.at(x, y)));
                }
            return lightest - darkest;
        };
        const int left = layout.tileLeft(0), top = layout.tileTop(0);
        if (layout.tileHeight >= 40) {
            EXPECT_GE(layout.labelHeight, 10);
            EXPECT_GE(contrast(left, top - layout.labelHeight, left + 24, top), 140) << "the z label is not readable";
        }
        if (layout.tileWidth >= 80 && layout.tileHeight >= 80) {
            EXPECT_GE(contrast(left + 2, top + layout.tileHeight / 2 - 6, left + 10, top + layout.tileHeight / 2 + 4), 140)
                << "the side label does not stand out from its slice";
        }
    }
}

TEST(MontageFit, UnthresholdedScaleAndSeedOutline) {
    // The colours saturate at the 99th percentile of |value|, the same for
    // either sign; every nonzero value is shown.
    struct ScaleCase {
        const char* what;
        std::vector<float> values;
        bool isSigned;
        float top;
        int64_t shown;
    };
    std::vector<float> ramp;
    for (int v = 1; v <= 1000; ++v) ramp.push_back(float(v));
    std::vector<float> signedRamp = ramp;
    for (std::size_t v = 0; v < signedRamp.size(); v += 2) signedRamp[v] = -signedRamp[v];
    const std::vector<ScaleCase> cases = {
        {"1 to 1000", ramp, false, 990.0f, 1000},
        {"alternating signs", signedRamp, true, 990.0f, 1000},
        {"negatives of a measure are not shown", signedRamp, false, 990.0f, 500},
        {"one value", {0.0f, 0.0f, 3.0f}, false, 3.0f, 1},
        {"nothing", {0.0f, 0.0f}, false, 0.0f, 0},
    };
    for (const ScaleCase& row : cases) {
        SCOPED_TRACE(row.what);
        LdiMap map;
        map.name = "m";
        map.negativeColourLow = row.isSigned ? 1 : 0;
        map.voxels.assign(row.values.begin(), row.values.end());
        MapDisplay display;
        unthresholdedDisplay(map, display);
        EXPECT_EQ(display.threshold, 0.0f);
        EXPECT_FALSE(display.nonePasses);
        EXPECT_EQ(display.top, row.top);
        EXPECT_EQ(display.shownVoxels, row.shown);
    }

    // One seed voxel in the middle of a single slice: green at its edge,
    // the underlay's grey at its centre.
    LdiMap map;
    map.name = "seed outline";
    const PlacedGrid grid = grid3mm({9, 9, 1});
    map.voxels.assign(81, 0.0f);
    std::vector<uint8_t> seed(81, 0);
    seed[4 * 9 + 4] = 1;
    MapDisplay display;
    fixedDisplay(map, 1.0f, "threshold", display);
    MontageOptions options;
    options.outline = &seed;
    std::string png, problem;
    ASSERT_TRUE(drawMontage(grid, map, display, nullptr, options, png, problem)) << problem;
    Picture picture;
    ASSERT_TRUE(decodePng(png, picture));
    MontageLayout layout;
    ASSERT_TRUE(layoutMontage(worldFrame(grid), options, layout, problem));
    const int left = layout.tileLeft(0) + 4 * layout.cell, top = layout.tileTop(0) + 4 * layout.cell;
    const Picture::Pixel edge = picture.at(left, top + layout.cell / 2);
    EXPECT_TRUE(edge.g > 200 && edge.r < 120) << edge;
    EXPECT_EQ(picture.at(left + layout.cell / 2, top + layout.cell / 2), (Picture::Pixel{18, 18, 18}));
}
