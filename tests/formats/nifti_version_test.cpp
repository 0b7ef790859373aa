// The NIfTI version ldi writes: NIfTI-1 (which every reader takes, the BIDS
// validator's among them) for runs and maps of any usual size, whatever the
// version of the file the grid came from; NIfTI-2 only for a dimension beyond
// NIfTI-1's 16-bit fields. The NIfTI-1 files are read back by nifticlib, an
// independent reader, whose own header check they pass.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nifti1_io.h>

#include "formats/nifti_image.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

// 6 x 5 x 4 voxels of 2 x 3 x 4 mm, x running to the left, with both forms set.
NiftiHeader smallGrid(int version) {
    NiftiHeader grid;
    grid.version = version;
    grid.rank = 3;
    grid.dim = {3, 6, 5, 4, 1, 1, 1, 1};
    grid.pixdim = {-1.0, 2.0, 3.0, 4.0, 0, 0, 0, 0};
    grid.xyztUnits = NIFTI_UNITS_MM;
    grid.sformCode = grid.qformCode = NIFTI_XFORM_MNI_152;
    grid.srow = {{{-2.0, 0, 0, 7}, {0, 3.0, 0, -6}, {0, 0, 4.0, -8}}};
    grid.qoffset = {7, -6, -8};
    return grid;
}

fs::path testFile(const std::string& name) {
    const fs::path folder = fs::temp_directory_path() / ("ldi_nifti_version_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    return folder / name;
}

// nifticlib's reading of a file: its type, header check and values.
struct ClibView {
    int type = -1;
    bool headerGood = false;
    std::vector<int> dim;
    float tr = 0.0f;
    mat44 sform{};
    std::vector<float> values;
};

ClibView readWithClib(const fs::path& path) {
    ClibView view;
    nifti_1_header* header = nifti_read_header(path.c_str(), nullptr, 1);
    if (header == nullptr) return view;
    view.headerGood = nifti_hdr_looks_good(header) == 1;
    free(header);
    nifti_image* image = nifti_image_read(path.c_str(), 1);
    if (image == nullptr) return view;
    view.type = image->nifti_type;
    view.dim.assign(image->dim, image->dim + 8);
    view.tr = image->dt;
    view.sform = image->sto_xyz;
    const auto* data = static_cast<const float*>(image->data);
    view.values.assign(data, data + image->nvox);
    nifti_image_free(image);
    return view;
}

}  // namespace

TEST(NiftiVersion, RunsAndMapsAreNifti1ThatNifticlibReadsAndChecks) {
    for (const int sourceVersion : {1, 2}) {
        const NiftiHeader grid = smallGrid(sourceVersion);
        SCOPED_TRACE("a grid from a NIfTI-" + std::to_string(sourceVersion) + " file");
        // A run of 3 volumes of 1.5 s, each value its own index.
        std::vector<float> run(6 * 5 * 4 * 3);
        for (std::size_t i = 0; i < run.size(); ++i) run[i] = static_cast<float>(i);
        const fs::path runPath = testFile("run" + std::to_string(sourceVersion) + ".nii");
        {
            std::ofstream out(runPath, std::ios::binary);
            out << encodeNiftiRunHeader(grid, 3, 1.5, "a run");
            out.write(reinterpret_cast<const char*>(run.data()), static_cast<std::streamsize>(run.size() * 4));
        }
        ClibView view = readWithClib(runPath);
        EXPECT_TRUE(view.headerGood);
        EXPECT_EQ(view.type, NIFTI_FTYPE_NIFTI1_1);
        EXPECT_EQ(view.dim, (std::vector<int>{4, 6, 5, 4, 3, 1, 1, 1}));
        EXPECT_FLOAT_EQ(view.tr, 1.5f);
        EXPECT_EQ(view.values, run);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c) EXPECT_FLOAT_EQ(view.sform.m[r][c], static_cast<float>(grid.srow[r][c]));

        // A map, gzipped, on the same grid.
        const std::vector<float> map(run.begin(), run.begin() + 6 * 5 * 4);
        std::string problem;
        const std::string bytes = encodeNiftiMap(grid, map, "a map", problem);
        ASSERT_FALSE(bytes.empty()) << problem;
        const fs::path mapPath = testFile("map" + std::to_string(sourceVersion) + ".nii.gz");
        std::ofstream(mapPath, std::ios::binary) << bytes;
        view = readWithClib(mapPath);
        EXPECT_TRUE(view.headerGood);
        EXPECT_EQ(view.type, NIFTI_FTYPE_NIFTI1_1);
        EXPECT_EQ(view.dim, (std::vector<int>{3, 6, 5, 4, 1, 1, 1, 1}));
        EXPECT_EQ(view.values, map);
        // ldi's own reader agrees.
        NiftiHeader read;
        std::vector<float> values;
        ASSERT_TRUE(readNiftiVolume(mapPath.string(), read, values, false, problem)) << problem;
        EXPECT_EQ(read.version, 1);
        EXPECT_TRUE(sameGrid(read, grid));
        EXPECT_EQ(values, map);
    }
    fs::remove_all(testFile("").parent_path());
}

TEST(NiftiVersion, OnlyADimensionBeyondNifti1sFieldsGivesNifti2) {
    NiftiHeader wide = smallGrid(1);
    wide.dim = {3, 40000, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(niftiVersionFor(wide, 1), 2);
    EXPECT_EQ(niftiVersionFor(smallGrid(1), 32767), 1);
    EXPECT_EQ(niftiVersionFor(smallGrid(1), 32768), 2);

    // The wide map round-trips through ldi's reader as NIfTI-2.
    std::vector<float> map(40000);
    for (std::size_t i = 0; i < map.size(); ++i) map[i] = static_cast<float>(i % 97);
    std::string problem;
    const std::string bytes = encodeNiftiMap(wide, map, "wide", problem);
    ASSERT_FALSE(bytes.empty()) << problem;
    const fs::path path = testFile("wide.nii.gz");
    std::ofstream(path, std::ios::binary) << bytes;
    NiftiHeader read;
    std::vector<float> values;
    ASSERT_TRUE(readNiftiVolume(path.string(), read, values, false, problem)) << problem;
    EXPECT_EQ(read.version, 2);
    EXPECT_EQ(read.nx(), 40000);
    EXPECT_EQ(values, map);

    // A long run of a small grid: its header is NIfTI-2 with the volumes in full.
    const std::string header = encodeNiftiRunHeader(smallGrid(1), 40000, 2.0, "long");
    std::size_t needed = 0;
    ASSERT_TRUE(decodeNiftiHeader(reinterpret_cast<const unsigned char*>(header.data()), header.size(), read, needed,
                                  problem))
        << problem;
    EXPECT_EQ(read.version, 2);
    EXPECT_EQ(read.volumes(), 40000);
    fs::remove_all(testFile("").parent_path());
}
