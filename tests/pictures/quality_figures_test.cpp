// The carpet plot: its rows are the sampled voxels that vary, grouped seeds
// first, thinned to the limit group by group, each standardised over the
// analysed volumes; the global signal is the analysed rows' mean; the drawn
// picture is of its layout's size, with the skipped volumes shaded and its
// text inside.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "pictures/quality_figures.h"
#include "picture_test_support.h"

using namespace ldi;

namespace {

// Sampled voxels 0..rows-1 over `volumes`; voxel v's value at t is
// 100 + v + sin(t + v) (voxel 3 constant).
RunQuality sampleQuality(int32_t rows, int32_t volumes, int32_t skipped) {
    RunQuality quality;
    quality.volumes = volumes;
    quality.skipped = skipped;
    for (int32_t v = 0; v < rows; ++v) quality.carpetVoxels.push_back(v);
    for (int32_t v = 0; v < rows; ++v)
        for (int32_t t = 0; t < volumes; ++t)
            quality.carpet.push_back(v == 3 ? 7.0f : float(100 + v + std::sin(double(t + v))));
    return quality;
}

}  // namespace

TEST(CarpetPlot, RowsGroupsAndGlobalSignal) {
    struct Case {
        const char* what;
        int32_t rows;
        std::vector<uint8_t> analysed, seeds;
        std::size_t maxRows;
        std::vector<std::pair<std::string, int32_t>> groups;
    };
    const std::vector<uint8_t> firstSix{1, 1, 1, 1, 1, 1, 0, 0, 0, 0};
    const std::vector<Case> cases = {
        {"no mask: every varying row is analysed", 10, std::vector<uint8_t>(10, 1), {}, 100, {{"analysed", 9}}},
        {"seeds first, then analysed, then the rest", 10, firstSix, {0, 0, 0, 0, 0, 1, 1}, 100,
         {{"seeds", 2}, {"analysed", 4}, {"not analysed", 3}}},
        {"thinned group by group", 10, firstSix, {0, 0, 0, 0, 0, 1, 1}, 4,
         {{"seeds", 1}, {"analysed", 1}, {"not analysed", 1}}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        const RunQuality quality = sampleQuality(row.rows, 30, 4);
        const CarpetFigure figure = carpetOf(quality, row.analysed, row.seeds, row.maxRows);
        ASSERT_EQ(figure.groups.size(), row.groups.size());
        int32_t total = 0;
        for (std::size_t g = 0; g < row.groups.size(); ++g) {
            EXPECT_EQ(figure.groups[g].name, row.groups[g].first);
            EXPECT_EQ(figure.groups[g].rows, row.groups[g].second);
            total += figure.groups[g].rows;
        }
        ASSERT_EQ(figure.rows.size(), std::size_t(total) * 30);
        EXPECT_LE(std::size_t(total), std::max<std::size_t>(row.maxRows, row.groups.size()));
        // Every row is z over the analysed volumes: mean 0, SD 1 there.
        for (int32_t r = 0; r < total; ++r) {
            const float* z = figure.rows.data() + std::size_t(r) * 30;
            const double mean = std::accumulate(z + 4, z + 30, 0.0) / 26.0;
            double squares = 0.0;
            for (int32_t t = 4; t < 30; ++t) squares += (z[t] - mean) * (z[t] - mean);
            EXPECT_NEAR(mean, 0.0, 1e-4);
            EXPECT_NEAR(std::sqrt(squares / 25.0), 1.0, 1e-4);
        }
        // The global signal: the mean of the analysed varying voxels as read.
        ASSERT_EQ(figure.globalSignal.size(), 30u);
        for (int32_t t = 0; t < 30; t += 7) {
            double sum = 0.0;
            int count = 0;
            for (int32_t v = 0; v < row.rows; ++v) {
                const bool seed = std::size_t(v) < row.seeds.size() && row.seeds[v] != 0;
                if (v == 3 || seed || row.analysed[v] == 0) continue;
                sum += quality.carpet[std::size_t(v) * 30 + t];
                ++count;
            }
            EXPECT_NEAR(figure.globalSignal[t], sum / count, 1e-3) << "volume " << t;
        }
    }
}

TEST(CarpetPlot, DrawnInsideItsLayoutWithTheSkippedVolumesShaded) {
    struct Case {
        const char* what;
        int32_t rows, volumes, skipped;
        bool displacement;
    };
    const std::vector<Case> cases = {
        {"a few rows, short run", 12, 20, 3, false},
        {"many rows, long run, displacement", 700, 400, 10, true},
        {"nothing varies", 0, 50, 0, false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        CarpetFigure figure = carpetOf(sampleQuality(row.rows, row.volumes, row.skipped),
                                       std::vector<uint8_t>(std::size_t(row.rows), 1), {}, 600);
        figure.title = "carpet plot, run 1: a run with a name long enough to tell";
        if (row.displacement) figure.framewiseDisplacement.assign(std::size_t(row.volumes), 0.2f);
        figure.conditions = {Shade{5, 9, 0}};
        figure.conditionNames = {"blocks"};
        std::string png, problem;
        ASSERT_TRUE(drawCarpet(figure, png, problem)) << problem;
        Picture picture;
        ASSERT_TRUE(decodePng(png, picture));
        const CarpetLayout layout = layoutCarpet(figure);
        EXPECT_EQ(picture.width, layout.width);
        EXPECT_EQ(picture.height, layout.height);
        EXPECT_EQ(layout.fdTop >= 0, row.displacement);
        // The legend's last line ends above the bottom edge, its text drawn.
        int legend = 0;
        for (int y = layout.legendTop; y < picture.height; ++y)
            for (int x = 0; x < picture.width; ++x) legend += picture.at(x, y).r > 150 ? 1 : 0;
        EXPECT_GT(legend, 20) << "the legend is not in the picture";
        for (int x = 0; x < picture.width; ++x) EXPECT_EQ(picture.at(x, picture.height - 1), (Picture::Pixel{0, 0, 0}));
        // The skipped volumes are red over the global signal's band.
        if (row.skipped > 0) {
            const Picture::Pixel shaded = picture.at(layout.left + 1, layout.globalTop + 1);
            EXPECT_GT(shaded.r, shaded.g + 40) << shaded;
        }
    }
}
