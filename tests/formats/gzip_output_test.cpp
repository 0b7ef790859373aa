// The maps compressed with isa-l: gzip that zlib (the inflater of nibabel
// and of every other reader) takes back to exactly the bytes given, and, for
// a map, exactly the NIfTI image the zlib encoder makes of the same values.
#include <gtest/gtest.h>

#include <unistd.h>

#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "formats/gzip_output.h"
#include "formats/nifti_image.h"
#include "formats/nifti_map.h"
#include "support/gzip_contents.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

std::string randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

// A map as the engine leaves one: zeros outside the analysed voxels, noise
// inside, and the odd special value a p or z map may hold.
std::vector<float> mapValues(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<float> normal;
    std::vector<float> values(count, 0.0f);
    for (std::size_t i = count / 3; i < 2 * count / 3; ++i) values[i] = normal(random);
    values[count / 2] = std::numeric_limits<float>::infinity();
    values[count / 2 + 1] = -0.0f;
    values[count / 2 + 2] = std::numeric_limits<float>::denorm_min();
    return values;
}

NiftiHeader gridOf(int version, int nx, int ny, int nz) {
    NiftiHeader grid;
    grid.version = version;
    grid.rank = 3;
    grid.dim = {3, nx, ny, nz, 1, 1, 1, 1};
    grid.pixdim = {-1.0, 2.0, 2.5, 3.0, 0, 0, 0, 0};
    grid.xyztUnits = 2;
    grid.qformCode = 1;
    grid.sformCode = 4;
    grid.quatern = {0.0, 0.0, 1.0};
    grid.qoffset = {10.0, -20.0, 30.0};
    grid.srow = {{{-2.0, 0, 0, 10.0}, {0, 2.5, 0, -20.0}, {0, 0, 3.0, 30.0}}};
    return grid;
}

TEST(GzipOutput, AnyPiecesInflateToTheirConcatenation) {
    // Empty pieces among others, a piece of incompressible bytes larger than
    // isa-l's 64 KiB blocks (the output's bound), long runs of one byte.
    const std::vector<std::string> cases[] = {
        {},
        {""},
        {"", "a", "", "bc", ""},
        {randomBytes(3 << 20, 1), std::string(1 << 20, '\0'), randomBytes(17, 2)},
        {std::string(5 << 20, 'x')},
    };
    for (const auto& pieces : cases) {
        std::vector<std::string_view> views(pieces.begin(), pieces.end());
        std::string whole;
        for (const std::string& piece : pieces) whole += piece;
        ByteBuffer packed;
        std::string problem;
        ASSERT_TRUE(gzipPieces(views.data(), views.size(), "the test bytes", packed, problem)) << problem;
        ASSERT_GE(packed.size, 18u);  // a gzip header and trailer at least
        EXPECT_EQ(static_cast<unsigned char>(packed.view()[0]), 0x1F);
        EXPECT_EQ(static_cast<unsigned char>(packed.view()[1]), 0x8B);
        std::string inflated;
        ASSERT_TRUE(inflateWithZlib(packed.view(), inflated)) << pieces.size() << " pieces, " << whole.size() << " bytes";
        EXPECT_TRUE(inflated == whole) << pieces.size() << " pieces, " << whole.size() << " bytes";
    }
}

// The same bytes give the same file whatever the memory isa-l's working
// buffers were given held before: a map's file must not differ from one run
// to the next (studies compare checksums), and it did, now and then, when
// the heap handed back memory of earlier maps.
TEST(GzipOutput, TheSameBytesGiveTheSameFileWhateverTheHeapHeld) {
    // A map's shape: runs of zeros (outside the brain) between noise.
    std::string map;
    for (unsigned k = 0; k < 40; ++k) map += std::string(4000 + 97 * k, '\0') + randomBytes(3000 + 31 * k, k);
    const std::string_view piece(map);
    std::string first;
    for (int round = 0; round < 12; ++round) {
        // Freed blocks of every size up to isa-l's, full of a value of the round's: a
        // freed large block lifts glibc's threshold for blocks of their own, so that
        // the next ones come from the heap as they were left.
        for (std::size_t size = std::size_t{1} << 21; size >= 4096; size /= 2) {
            void* junk = std::malloc(size);
            ASSERT_NE(junk, nullptr);
            std::memset(junk, 0x11 * (round + 1), size);
            std::free(junk);
        }
        ByteBuffer packed;
        std::string problem;
        ASSERT_TRUE(gzipPieces(&piece, 1, "the map", packed, problem)) << problem;
        const std::string file(packed.view());
        if (round == 0) first = file;
        EXPECT_TRUE(file == first) << "round " << round << ": " << file.size() << " bytes against " << first.size();
    }
}

TEST(GzipOutput, MapsHoldTheImageOfTheZlibEncoderAndReadBackExactly) {
    const fs::path folder =
        fs::temp_directory_path() / ("ldi_gzip_output_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    // Both NIfTI versions; a grid small enough for one deflate block and one
    // of the size of a whole-brain map at 2 mm.
    const NiftiHeader grids[] = {gridOf(1, 5, 4, 3), gridOf(2, 5, 4, 3), gridOf(1, 91, 109, 91)};
    unsigned seed = 10;
    for (const NiftiHeader& grid : grids) {
        const std::vector<float> values = mapValues(static_cast<std::size_t>(grid.voxelsPerVolume()), ++seed);
        std::string problem;
        ByteBuffer fast;
        ASSERT_TRUE(encodeNiftiMap(grid, values, "LDI test map", fast, problem)) << problem;
        const std::string zlibImage = encodeNiftiMap(grid, values, "LDI test map", problem);
        ASSERT_FALSE(zlibImage.empty()) << problem;
        std::string fromFast, fromZlib;
        ASSERT_TRUE(inflateWithZlib(fast.view(), fromFast));
        ASSERT_TRUE(inflateWithZlib(zlibImage, fromZlib));
        EXPECT_TRUE(fromFast == fromZlib) << "NIfTI-" << grid.version << ", " << values.size() << " voxels";

        // ldi's own reader (isa-l's inflater) gives back every value's bits.
        const fs::path path = folder / ("map" + std::to_string(seed) + ".nii.gz");
        std::ofstream(path, std::ios::binary).write(fast.bytes.get(), static_cast<std::streamsize>(fast.size));
        NiftiHeader read;
        std::vector<float> readValues;
        ASSERT_TRUE(readNiftiVolume(path.string(), read, readValues, false, problem)) << problem;
        EXPECT_EQ(read.version, niftiVersionFor(grid, 1));  // NIfTI-1 whenever the grid fits it
        EXPECT_EQ(read.rank, 3);
        EXPECT_EQ(read.voxelsPerVolume(), grid.voxelsPerVolume());
        EXPECT_EQ(read.nx(), grid.nx());
        EXPECT_EQ(read.srow, grid.srow);
        ASSERT_EQ(readValues.size(), values.size());
        EXPECT_EQ(std::memcmp(readValues.data(), values.data(), values.size() * sizeof(float)), 0);
    }
    fs::remove_all(folder);
}

}  // namespace
