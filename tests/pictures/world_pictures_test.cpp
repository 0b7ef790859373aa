// `ldi show` in world space: the same map stored in another voxel order (its
// data permuted and flipped, its affine to match) gives the same picture
// pixel for pixel; a voxel lands on the side of the picture its world
// position says, in either convention; a .ldi set and its NIfTI twin draw
// the same slices; the slice choice follows --slices and --z-range.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "formats/nifti_image.h"
#include "formats/nifti_map.h"
#include "support/host_test_support.h"
#include "pictures/montage.h"
#include "picture_test_support.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

namespace fs = std::filesystem;

// An image on an axis-aligned grid, voxel axis a running along world axis
// axes[a].axis in direction axes[a].sign.
struct Orientation {
    std::array<int, 3> axis;
    std::array<int, 3> sign;
};

struct Image {
    std::array<int64_t, 3> dim{};
    Affine affine{};
    std::vector<float> values;
};

// The same values stored in another voxel order, found independently of the
// pictures' code: every new voxel's world centre, looked up in the old grid.
Image reorient(const Image& in, const Orientation& to) {
    std::array<double, 3> low{}, high{}, step{};
    for (int w = 0; w < 3; ++w) {
        int along = 0;
        while (std::fabs(in.affine[w][along]) < 1e-9) ++along;
        step[w] = std::fabs(in.affine[w][along]);
        const double end = in.affine[w][3] + in.affine[w][along] * double(in.dim[along] - 1);
        low[w] = std::min(in.affine[w][3], end);
        high[w] = std::max(in.affine[w][3], end);
    }
    Image out;
    for (int a = 0; a < 3; ++a) {
        const int w = to.axis[a];
        out.dim[a] = std::llround((high[w] - low[w]) / step[w]) + 1;
        out.affine[w][a] = to.sign[a] * step[w];
        out.affine[w][3] = to.sign[a] > 0 ? low[w] : high[w];
    }
    Affine inverse{};
    EXPECT_TRUE(invertAffine(in.affine, inverse));
    out.values.resize(in.values.size());
    for (int64_t k = 0; k < out.dim[2]; ++k)
        for (int64_t j = 0; j < out.dim[1]; ++j)
            for (int64_t i = 0; i < out.dim[0]; ++i) {
                std::array<double, 3> world{}, old{};
                for (int w = 0; w < 3; ++w)
                    world[w] = out.affine[w][0] * i + out.affine[w][1] * j + out.affine[w][2] * k + out.affine[w][3];
                for (int a = 0; a < 3; ++a)
                    old[a] = std::llround(inverse[a][0] * world[0] + inverse[a][1] * world[1] +
                                          inverse[a][2] * world[2] + inverse[a][3]);
                const auto from = std::size_t((old[2] * in.dim[1] + old[1]) * in.dim[0] + old[0]);
                out.values[std::size_t((k * out.dim[1] + j) * out.dim[0] + i)] = in.values[from];
            }
    return out;
}

NiftiHeader headerOf(const Image& image) {
    NiftiHeader header;
    header.rank = 3;
    header.dim = {3, image.dim[0], image.dim[1], image.dim[2], 1, 1, 1, 1};
    header.pixdim = {1, 1, 1, 1, 1, 1, 1, 1};
    for (int a = 0; a < 3; ++a)
        header.pixdim[a + 1] = std::sqrt(image.affine[0][a] * image.affine[0][a] + image.affine[1][a] * image.affine[1][a] +
                                         image.affine[2][a] * image.affine[2][a]);
    header.datatype = 16;
    header.sclSlope = 1.0;
    header.xyztUnits = 2;
    header.sformCode = 1;
    header.srow = image.affine;
    return header;
}

void writeImage(const std::string& path, const Image& image) {
    std::string problem;
    const std::string bytes = encodeNiftiMap(headerOf(image), image.values, "test", problem);
    ASSERT_FALSE(bytes.empty()) << problem;
    writeWholeFile(path, bytes);
}

Image readImage(const std::string& path) {
    Image image;
    NiftiHeader header;
    std::string problem;
    EXPECT_TRUE(readNiftiVolume(path, header, image.values, false, problem)) << problem;
    image.dim = {header.nx(), header.ny(), header.nz()};
    image.affine = voxelToWorld(header);
    return image;
}

const Orientation RAS{{0, 1, 2}, {1, 1, 1}};
const Orientation PIL{{1, 2, 0}, {-1, -1, -1}};
const Orientation LPS{{0, 1, 2}, {-1, -1, 1}};
const Orientation SLA{{2, 0, 1}, {1, -1, 1}};

void expectSamePictures(const std::string& a, const std::string& b) {
    Picture first, second;
    ASSERT_TRUE(readPng(a, first)) << a;
    ASSERT_TRUE(readPng(b, second)) << b;
    ASSERT_EQ(first.width, second.width);
    ASSERT_EQ(first.height, second.height);
    std::size_t differing = 0;
    for (std::size_t i = 0; i < first.rgb.size(); ++i) differing += first.rgb[i] != second.rgb[i] ? 1 : 0;
    EXPECT_EQ(differing, 0u) << a << " and " << b << " differ in " << differing << " bytes";
}

}  // namespace

// The demo's run through ldi map; its dLDI map (stored PIL, as the Talairach
// grid of ldi run) copied in RAS and two other orders, each with its sidecar;
// the run's mean as the underlay, stored in yet another order.
TEST(WorldPictures, SameMapInAnyVoxelOrderGivesTheSamePicture) {
    TestTempDir dir;
    ASSERT_EQ(runLdi({"simulate", "sim", "--format", "nifti", "--seed", "3"}, dir.root()).status, 0);
    const std::string bold = "sim/sub-sim/func/sub-sim_task-blocks_bold.nii.gz";
    const ProcessResult mapped =
        runLdi({"map", "--bold", bold, "--events", "sim/sub-sim/func/sub-sim_task-blocks_events.tsv", "--seed",
                "Reference=sim/reference_mask.nii.gz", "--rng-seed", "5", "--surrogates", "200", "--quiet", "--out", "out"},
               dir.root());
    ASSERT_EQ(mapped.status, 0) << mapped.all();
    const std::string stem = "out/sub-sim_task-blocks_seed-Reference_cond-Task_contrast-dldi_stat-effect_statmap";
    ASSERT_TRUE(fs::exists(dir.path(stem + ".nii.gz")));
    const Image stored = readImage(dir.path(stem + ".nii.gz"));
    ASSERT_EQ(orientationCode(stored.affine), "PIL");
    const std::string sidecar = readWholeFile(dir.path(stem + ".json"));
    for (const auto& [name, orientation] : {std::pair{"ras", RAS}, {"lps", LPS}, {"sla", SLA}}) {
        const Image copy = reorient(stored, orientation);
        writeImage(dir.path(std::string(name) + ".nii.gz"), copy);
        writeWholeFile(dir.path(std::string(name) + ".json"), sidecar);
        // Back to the stored order: the copy holds the very same values.
        EXPECT_EQ(reorient(copy, PIL).values, stored.values) << name;
    }
    writeWholeFile(dir.path("pil.json"), sidecar);
    fs::copy_file(dir.path(stem + ".nii.gz"), dir.path("pil.nii.gz"));
    // The run's first volume as the underlay, stored SLA.
    Image run;
    {
        NiftiHeader header;
        std::string problem;
        ASSERT_TRUE(readNiftiVolume(dir.path(bold), header, run.values, true, problem)) << problem;
        run.dim = {header.nx(), header.ny(), header.nz()};
        run.affine = voxelToWorld(header);
    }
    writeImage(dir.path("under.nii.gz"), reorient(run, SLA));

    for (const std::string options : {"", "radiological"}) {
        std::vector<std::string> pictures;
        for (const std::string name : {"pil", "ras", "lps", "sla"}) {
            std::vector<std::string> arguments{"show", name + ".nii.gz", "--background", "under.nii.gz",
                                               "--interpolation", "nearest", "--out", name + options + ".png"};
            if (!options.empty()) arguments.push_back("--radiological");
            const ProcessResult shown = runLdi(arguments, dir.root());
            ASSERT_EQ(shown.status, 0) << shown.all();
            EXPECT_NE(shown.out.find("q = 0.05"), std::string::npos) << shown.out;
            pictures.push_back(dir.path(name + options + ".png"));
        }
        for (std::size_t p = 1; p < pictures.size(); ++p) expectSamePictures(pictures[0], pictures[p]);
    }
}

// One voxel at a known world point: its slice's tile holds it where the
// world position says (left of the middle in the neurological convention,
// right in the radiological one; in the upper half when anterior).
TEST(WorldPictures, VoxelsLandWhereTheWorldSaysInEitherConvention) {
    TestTempDir dir;
    Image image;
    image.dim = {9, 7, 5};
    image.affine = {{{2.0, 0.0, 0.0, -8.0}, {0.0, 2.0, 0.0, -6.0}, {0.0, 0.0, 3.0, -6.0}}};
    image.values.assign(9 * 7 * 5, 0.0f);
    // World (-6, 4, 0): left, anterior, z = 0 (voxel 1, 5, 2).
    image.values[(2 * 7 + 5) * 9 + 1] = 10.0f;
    for (const Orientation& order : {RAS, PIL}) {
        writeImage(dir.path("one.nii.gz"), reorient(image, order));
        for (const bool radiological : {false, true}) {
            std::vector<std::string> arguments{"show", "one.nii.gz", "--threshold", "1", "--out", "one.png"};
            if (radiological) arguments.push_back("--radiological");
            const ProcessResult shown = runLdi(arguments, dir.root());
            ASSERT_EQ(shown.status, 0) << shown.all();
            EXPECT_NE(shown.out.find("1 voxel shown"), std::string::npos) << shown.out;
            Picture picture;
            ASSERT_TRUE(readPng(dir.path("one.png"), picture));
            WorldFrame frame;
            frame.origin = {-8.0, -6.0, -6.0};
            frame.step = {2.0, 2.0, 3.0};
            frame.cells = {9, 7, 5};
            MontageLayout layout;
            std::string problem;
            ASSERT_TRUE(layoutMontage(frame, MontageOptions{}, layout, problem)) << problem;
            ASSERT_EQ(layout.slices, (std::vector<int32_t>{0, 1, 2, 3, 4})) << "inferior to superior";
            const int column = radiological ? 9 - 1 - 1 : 1;
            const int row = 7 - 1 - 5;
            const auto pixel = picture.at(layout.tileLeft(2) + column * layout.cell + layout.cell / 2,
                                          layout.tileTop(2) + row * layout.cell + layout.cell / 2);
            EXPECT_GT(pixel.r, 180) << "radiological " << radiological;
            EXPECT_LT(pixel.b, 60);
            // Nothing warm on the other slices.
            const auto other = picture.at(layout.tileLeft(1) + column * layout.cell + layout.cell / 2,
                                          layout.tileTop(1) + row * layout.cell + layout.cell / 2);
            EXPECT_LT(other.r, 100);
        }
    }
}

// A .ldi set and the NIfTI map ldi run writes of it draw the same slices.
TEST(WorldPictures, LdiSetAndItsNiftiTwinDrawTheSame) {
    TestTempDir dir;
    LdiFile file;
    LdiGeometry& g = file.geometry;
    g.xStart = 60, g.xEnd = 84, g.yStart = 70, g.yEnd = 88, g.zStart = 50, g.zEnd = 77;
    g.resolution = 3;
    g.dimX = 8, g.dimY = 6, g.dimZ = 9;
    file.levelLabels = {"thres q=0.050"};
    LdiMap map;
    map.name = "A: dLDI";
    map.negativeColourLow = 1;
    map.fdrThresholds = {2.0f};
    map.voxels.assign(std::size_t(g.voxelCount()), 0.0f);
    for (std::size_t v = 0; v < map.voxels.size(); ++v) map.voxels[v] = float(int(v * 7919 % 23) - 11) * 0.5f;
    file.maps = {map};
    writeWholeFile(dir.path("set.ldi"), encodeLdi(file));
    std::string problem;
    ASSERT_TRUE(writeNiftiMap(dir.path("twin.nii.gz"), g, map, problem)) << problem;
    ASSERT_EQ(runLdi({"show", "set.ldi", "--threshold", "2", "--out", "set.png"}, dir.root()).status, 0);
    ASSERT_EQ(runLdi({"show", "twin.nii.gz", "--threshold", "2", "--out", "twin.png"}, dir.root()).status, 0);
    Picture set, twin;
    ASSERT_TRUE(readPng(dir.path("set.png"), set));
    ASSERT_TRUE(readPng(dir.path("twin.png"), twin));
    ASSERT_EQ(set.width, twin.width);
    ASSERT_EQ(set.height, twin.height);
    // The titles name the file; the slices and the colour bar must agree.
    const int below = 52;
    for (int y = below; y < set.height; ++y)
        for (int x = 0; x < set.width; ++x) ASSERT_EQ(set.at(x, y), twin.at(x, y)) << x << ", " << y;
}

TEST(WorldPictures, SliceCountAndRange) {
    TestTempDir dir;
    Image image;
    image.dim = {6, 6, 20};
    image.affine = {{{-2.0, 0.0, 0.0, 5.0}, {0.0, 2.0, 0.0, -5.0}, {0.0, 0.0, 2.5, -20.0}}};
    image.values.assign(6 * 6 * 20, 1.0f);
    writeImage(dir.path("m.nii.gz"), image);
    WorldFrame frame;
    frame.origin = {-5.0, -5.0, -20.0};
    frame.step = {2.0, 2.0, 2.5};
    frame.cells = {6, 6, 20};
    struct Case {
        std::vector<std::string> arguments;
        std::vector<int32_t> slices;
    };
    const std::vector<Case> cases = {
        {{}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}},
        {{"--slices", "4"}, {0, 6, 13, 19}},
        {{"--z-range", "0:10"}, {8, 9, 10, 11, 12}},
        {{"--z-range", "10:0", "--slices", "3"}, {8, 10, 12}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments{"show", "m.nii.gz", "--out", "m.png"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        ASSERT_EQ(runLdi(arguments, dir.root()).status, 0);
        MontageOptions options;
        MontageLayout layout;
        std::string problem;
        for (std::size_t a = 0; a + 1 < c.arguments.size(); a += 2) {
            if (c.arguments[a] == "--slices") options.sliceCount = std::stoi(c.arguments[a + 1]);
            if (c.arguments[a] == "--z-range") {
                options.rangeGiven = true;
                options.zFrom = std::stod(c.arguments[a + 1]);
                options.zTo = std::stod(c.arguments[a + 1].substr(c.arguments[a + 1].find(':') + 1));
            }
        }
        ASSERT_TRUE(layoutMontage(frame, options, layout, problem)) << problem;
        EXPECT_EQ(layout.slices, c.slices) << c.arguments.size();
        Picture picture;
        ASSERT_TRUE(readPng(dir.path("m.png"), picture));
        EXPECT_EQ(picture.width, layout.width);
        EXPECT_EQ(picture.height, layout.height);
    }
    const ProcessResult outside = runLdi({"show", "m.nii.gz", "--z-range", "100:200"}, dir.root());
    EXPECT_EQ(outside.status, 2);
    EXPECT_NE(outside.err.find("no axial slice lies between z = 100 and 200 mm; the map covers z = -20 to 27.5 mm"),
              std::string::npos)
        << outside.err;
    const ProcessResult vtc = runLdi({"show", "m.nii.gz", "--background", "run.vtc"}, dir.root());
    EXPECT_EQ(vtc.status, 2);
    EXPECT_NE(vtc.err.find("a NIfTI map takes a NIfTI underlay"), std::string::npos) << vtc.err;
}
