// ldi map: the same numbers as ldi run on the same data, the NIfTI reading
// (types, scaling, byte order, gzip members, the spilled slice order), the
// events turned into intervals, and every kind of bad input refused before
// anything is written.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <nifti1.h>

#include "formats/bids_inputs.h"
#include "formats/statmap_names.h"
#include "formats/nifti_image.h"
#include "analysis/nifti_source.h"
#include "formats/ldi_file.h"
#include "support/host_test_support.h"

using namespace ldi;

namespace {

struct TestImage {
    int dims[4] = {1, 1, 1, 1};  // x, y, z, t (t = 1: a 3D image)
    short datatype = NIFTI_TYPE_FLOAT32;
    float slope = 0.0f, inter = 0.0f;
    float voxelSize = 2.0f;
    float originX = -10.0f;
    float tr = 2.0f;
    std::vector<double> values;  // x fastest, then y, z, t; stored in `datatype`
};

template <typename T>
void appendAs(std::string& out, double value, bool swap) {
    T stored = static_cast<T>(value);
    char bytes[sizeof(T)];
    std::memcpy(bytes, &stored, sizeof(T));
    if (swap) std::reverse(bytes, bytes + sizeof(T));
    out.append(bytes, sizeof(T));
}

// A NIfTI-1 image written byte by byte here, independently of the reader.
std::string niftiBytes(const TestImage& image, bool swap = false) {
    nifti_1_header h;
    std::memset(&h, 0, sizeof h);
    h.sizeof_hdr = 348;
    h.dim[0] = image.dims[3] > 1 ? 4 : 3;
    for (int i = 0; i < 4; ++i) h.dim[i + 1] = static_cast<short>(image.dims[i]);
    for (int i = 5; i < 8; ++i) h.dim[i] = 1;
    h.datatype = image.datatype;
    h.pixdim[0] = 1.0f;
    h.pixdim[1] = h.pixdim[2] = h.pixdim[3] = image.voxelSize;
    h.pixdim[4] = image.tr;
    h.xyzt_units = NIFTI_UNITS_MM | NIFTI_UNITS_SEC;
    h.vox_offset = 352.0f;
    h.scl_slope = image.slope;
    h.scl_inter = image.inter;
    h.sform_code = 1;
    h.srow_x[0] = h.srow_y[1] = h.srow_z[2] = image.voxelSize;
    h.srow_x[3] = image.originX;
    h.srow_y[3] = -20.0f;
    h.srow_z[3] = -5.0f;
    std::memcpy(h.magic, "n+1\0", 4);
    std::string out(reinterpret_cast<const char*>(&h), sizeof h);
    if (swap) {
        // Every multi-byte field the reader looks at, in the other byte order.
        auto flip = [&out](std::size_t at, std::size_t size) { std::reverse(out.begin() + at, out.begin() + at + size); };
        flip(0, 4);
        for (std::size_t i = 0; i < 8; ++i) flip(40 + 2 * i, 2);
        flip(68, 2);
        flip(70, 2);
        flip(72, 2);
        for (std::size_t i = 0; i < 8; ++i) flip(76 + 4 * i, 4);
        for (std::size_t at : {108, 112, 116}) flip(at, 4);
        flip(252, 2);
        flip(254, 2);
        for (std::size_t i = 0; i < 18; ++i) flip(256 + 4 * i, 4);
    }
    out.append(4, '\0');
    for (double value : image.values) {
        switch (image.datatype) {
        case NIFTI_TYPE_INT16: appendAs<int16_t>(out, value, swap); break;
        case NIFTI_TYPE_UINT8: appendAs<uint8_t>(out, value, swap); break;
        case NIFTI_TYPE_FLOAT64: appendAs<double>(out, value, swap); break;
        default: appendAs<float>(out, value, swap); break;
        }
    }
    return out;
}

std::string gzipped(const std::string& bytes, int members = 1) {
    std::string out;
    const std::size_t part = bytes.size() / static_cast<std::size_t>(members) + 1;
    for (std::size_t at = 0; at < bytes.size(); at += part) {
        z_stream stream{};
        deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
        const std::string piece = bytes.substr(at, part);
        std::string packed(deflateBound(&stream, piece.size()), '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
        stream.avail_in = static_cast<uInt>(piece.size());
        stream.next_out = reinterpret_cast<Bytef*>(packed.data());
        stream.avail_out = static_cast<uInt>(packed.size());
        deflate(&stream, Z_FINISH);
        packed.resize(stream.total_out);
        deflateEnd(&stream);
        out += packed;
    }
    return out;
}

// The test grid: 6 x 5 x 4 voxels of 3 mm, 80 volumes.
constexpr int NX = 6, NY = 5, NZ = 4, NT = 80;

float gridValue(int x, int y, int z, int t) {
    uint32_t h = uint32_t(x * 73856093) ^ uint32_t(y * 19349663) ^ uint32_t(z * 83492791) ^ uint32_t(t * 2246822519u);
    h ^= h >> 15;
    h *= 2246822519u;
    h ^= h >> 13;
    const float noise = float(h % 20000u) / 10000.0f - 1.0f;
    if (t == 0 && x == 5) return 40.0f;  // below the plug-in's inclusion threshold
    return 1000.0f + 25.0f * noise + 15.0f * std::sin(0.4f * float(t) + 0.3f * float(x + y)) +
           float((x + z) % 3) * float(t % 5);
}

TestImage gridImage(int volumes, float (*value)(int, int, int, int)) {
    TestImage image;
    image.dims[0] = NX;
    image.dims[1] = NY;
    image.dims[2] = NZ;
    image.dims[3] = volumes;
    image.voxelSize = 3.0f;
    for (int t = 0; t < volumes; ++t)
        for (int z = 0; z < NZ; ++z)
            for (int y = 0; y < NY; ++y)
                for (int x = 0; x < NX; ++x) image.values.push_back(value(x, y, z, t));
    return image;
}

TestImage maskImage(const std::vector<int>& voxels, int nx = NX) {
    TestImage image;
    image.dims[0] = nx;
    image.dims[1] = NY;
    image.dims[2] = NZ;
    image.voxelSize = 3.0f;
    image.datatype = NIFTI_TYPE_UINT8;
    image.values.assign(static_cast<std::size_t>(nx * NY * NZ), 0.0);
    for (int v : voxels) image.values[static_cast<std::size_t>(v)] = 1.0;
    return image;
}

LdiFile readLdi(const std::string& path) {
    Parsed<LdiFile> parsed = decodeLdi(readWholeFile(path));
    EXPECT_TRUE(parsed.ok) << path << ": " << parsed.message;
    return parsed.value;
}

class LdiMapCommand : public ::testing::Test {
protected:
    ProcessResult map(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "map");
        return runLdi(arguments, dir.root());
    }
    void write(const std::string& name, const std::string& bytes) { writeWholeFile(dir.path(name), bytes); }
    TestTempDir dir;
};

TEST_F(LdiMapCommand, SameMapsAndThresholdsAsLdiRunOnTheSameData) {
    VtcWriterOptions vtc;
    vtc.numVolumes = NT;
    vtc.resolution = 3;
    vtc.xEnd = 3 * NX;
    vtc.yEnd = 3 * NY;
    vtc.zEnd = 3 * NZ;
    vtc.value = gridValue;
    ASSERT_TRUE(writeTestVtc(dir.path("run1.vtc"), vtc));
    // The seed: three whole VTC voxels, in the order of the grid.
    write("seed.voi", "Coordinates: internal\nVOI: Seed\n3 3 3\n6 3 3\n3 6 3\n");
    const std::vector<int> seedVoxels = {1 + NX * 1 + NX * NY * 1, 2 + NX * 1 + NX * NY * 1, 1 + NX * 2 + NX * NY * 1};
    std::vector<int> analysed;
    for (int v = 0; v < NX * NY * NZ; ++v)
        if (v % NX != 5) analysed.push_back(v);
    write("sub-01_task-Task_bold.nii.gz", gzipped(niftiBytes(gridImage(NT, gridValue))));
    write("seed.nii", niftiBytes(maskImage(seedVoxels)));
    write("brain.nii", niftiBytes(maskImage(analysed)));
    std::filesystem::create_directories(dir.path("plugins"));
    std::filesystem::create_directories(dir.path("vtc"));

    const std::time_t before = std::time(nullptr);
    ProcessResult run = runLdi({"run", "--vtc", "run1.vtc", "--voi", "seed.voi", "--plugins-dir", "plugins",
                                "--quiet", "--select-voi", "all", "--condition", "Task", "--data", "run1.vtc",
                                "--interval", "5-80", "--out", "vtc/P"},
                               dir.root());
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(run.status, 0) << run.all();
    const LdiFile expected = readLdi(dir.path("vtc/P_Seed.ldi"));

    // ldi run seeds its surrogates from the clock: one of the seconds it ran
    // in must reproduce it exactly.
    bool matched = false;
    for (std::time_t second = before; second <= after && !matched; ++second) {
        const std::string out = "nii" + std::to_string(second);
        ProcessResult result = map({"--bold", "sub-01_task-Task_bold.nii.gz", "--seed", "Seed=seed.nii", "--mask",
                                    "brain.nii", "--skip", "4", "--rng-seed", std::to_string(second), "--fdr", "plugin",
                                    "--out", out});
        ASSERT_EQ(result.status, 0) << result.all();
        const LdiFile actual = readLdi(dir.path(out + "/sub-01_task-Task_seed-Seed.ldi"));
        ASSERT_EQ(actual.maps.size(), expected.maps.size());
        bool same = true;
        for (std::size_t m = 0; m < expected.maps.size(); ++m) {
            EXPECT_EQ(actual.maps[m].name, expected.maps[m].name);
            same = same && actual.maps[m].voxels.size() == expected.maps[m].voxels.size() &&
                   std::memcmp(actual.maps[m].voxels.data(), expected.maps[m].voxels.data(),
                               expected.maps[m].voxels.size() * sizeof(float)) == 0 &&
                   actual.maps[m].fdrThresholds == expected.maps[m].fdrThresholds &&
                   actual.maps[m].lowerThreshold == expected.maps[m].lowerThreshold;
        }
        if (!same) continue;
        matched = true;
        // The NIfTI map holds the same values on the bold's grid and affine.
        NiftiHeader header;
        std::vector<float> values;
        std::string problem;
        ASSERT_TRUE(readNiftiVolume(dir.path(out + "/sub-01_task-Task_seed-Seed_cond-Task_contrast-dldi_stat-effect_statmap.nii.gz"),
                                    header, values, false, problem))
            << problem;
        EXPECT_EQ(std::memcmp(values.data(), expected.maps[3].voxels.data(), values.size() * sizeof(float)), 0);
        EXPECT_EQ(header.sformCode, 1);
        EXPECT_EQ(header.srow[0][3], -10.0);
        EXPECT_EQ(header.srow[1][1], 3.0);
        const std::string sidecar =
            readWholeFile(dir.path(out + "/sub-01_task-Task_seed-Seed_cond-Task_contrast-dldi_stat-effect_statmap.json"));
        EXPECT_NE(sidecar.find("\"RngSeed\": " + std::to_string(second)), std::string::npos) << sidecar;
        EXPECT_NE(sidecar.find("\"VoxelsPassing\""), std::string::npos);
        EXPECT_NE(readWholeFile(dir.path(out + "/dataset_description.json")).find("\"derivative\""),
                  std::string::npos);
        const std::string log = readWholeFile(dir.path(out + "/sub-01_task-Task_seed-Seed_ldi.log"));
        EXPECT_NE(log.find("\tVoxels skipped: 20\t"), std::string::npos) << log;
        ProcessResult info = runLdi({"info", out + "/sub-01_task-Task_seed-Seed.ldi"}, dir.root());
        EXPECT_EQ(info.status, 0) << info.err;
    }
    EXPECT_TRUE(matched) << "no clock second in [" << before << ", " << after << "] reproduced ldi run";
}

float meanCentred(int x, int y, int z, int t) {
    if (x == 2 && y == 2 && z == 2) return 5.0f;  // constant
    if (x == 3 && y == 1 && z == 0 && t == 17) return std::numeric_limits<float>::quiet_NaN();
    return gridValue(x, y, z, t) - 1000.0f;
}

TEST_F(LdiMapCommand, MeanCentredDataAndNonFiniteVoxelsWithoutAMask) {
    write("sub-02_task-rest_run-1_bold.nii.gz", gzipped(niftiBytes(gridImage(60, meanCentred)), 3));
    write("sub-02_task-rest_run-2_bold.nii", niftiBytes(gridImage(50, meanCentred)));
    ProcessResult result = map({"--bold", "sub-02_task-rest_run-1_bold.nii.gz", "--bold",
                                "sub-02_task-rest_run-2_bold.nii", "--seed", "S=-1,-11,4,4", "--surrogates", "50",
                                "--skip", "1", "--out", "out"});
    ASSERT_EQ(result.status, 0) << result.all();
    EXPECT_NE(result.err.find("ldi: rng seed "), std::string::npos);
    // The first volume's intensity plays no part: only the constant voxel and
    // the one holding a NaN are left out.
    const std::string log = readWholeFile(dir.path("out/sub-02_task-rest_seed-S_ldi.log"));
    EXPECT_NE(log.find("\tVoxels skipped: 2\t"), std::string::npos) << log;
    EXPECT_NE(log.find("\t\t2\t-\t60\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\t\t2\t-\t50\n"), std::string::npos) << log;
    const LdiFile maps = readLdi(dir.path("out/sub-02_task-rest_seed-S.ldi"));
    ASSERT_EQ(maps.maps.size(), 6u);
    EXPECT_EQ(maps.maps[0].name, "rest: Ref2Vox");
    int nonzero = 0;
    for (const LdiMap& m : maps.maps)
        for (float v : m.voxels) {
            EXPECT_TRUE(std::isfinite(v));
            nonzero += v != 0.0f;
        }
    EXPECT_GT(nonzero, 100);
}

TEST_F(LdiMapCommand, SlicesAreTheSameWhateverTheTypeByteOrderAndStorage) {
    // int16 with a slope, swapped, in several gzip members against float64.
    TestImage scaled = gridImage(23, [](int x, int y, int z, int t) { return float((x * 7 + y * 3 + z * 11 + t * 5) % 200 - 100); });
    scaled.datatype = NIFTI_TYPE_INT16;
    scaled.slope = 0.5f;
    scaled.inter = 3.0f;
    TestImage plain = scaled;
    plain.datatype = NIFTI_TYPE_FLOAT64;
    plain.slope = 0.0f;
    for (double& value : plain.values) value = value * 0.5 + 3.0;
    write("scaled.nii.gz", gzipped(niftiBytes(scaled, true), 4));
    write("plain.nii", niftiBytes(plain));

    // The gzipped run is inflated on a thread of its own, the plain one read on this one.
    auto load = [&](const std::string& name, int64_t inMemory, int64_t block, int threads) {
        NiftiReader reader;
        std::string problem;
        EXPECT_TRUE(reader.open(dir.path(name), problem)) << problem;
        auto source = std::make_unique<NiftiSliceSource>();
        EXPECT_TRUE(source->load(reader, 0, dir.root(), SourceBudgets{inMemory, block}, threads, nullptr, problem))
            << problem;
        return source;
    };
    auto expected = load("plain.nii", int64_t{1} << 30, int64_t{1} << 30, 1);
    for (int64_t block : {int64_t{1}, int64_t{3 * NX * NY * NZ * 4}, int64_t{1} << 30}) {
        auto actual = load("scaled.nii.gz", 0, block, 2);
        EXPECT_TRUE(actual->spilled());
        SliceValues a, b;
        expected->allocateSlice(a);
        actual->allocateSlice(b);
        for (int z = 0; z < NZ; ++z) {
            ASSERT_TRUE(expected->readSlice(z, a));
            ASSERT_TRUE(actual->readSlice(z, b));
            EXPECT_EQ(std::memcmp(a.floats.get(), b.floats.get(), static_cast<std::size_t>(a.capacity) * 4), 0)
                << "slice " << z << ", block budget " << block;
        }
        // Time courses run along the slice: voxel (1, 0, z), volume 2.
        EXPECT_EQ(b.floats[23 + 2], float(((7 + 0 + 3 * 11 + 10) % 200 - 100) * 0.5 + 3.0));
    }
}

TEST(BidsEvents, EventsCoverVolumesByAcquisitionTimeAndMerge) {
    std::vector<Event> events = {{10.0, 4.0, "a"}, {14.0, 2.0, "a"},  // touching: one interval
                                 {30.0, 1.0, "a"},                    // one volume: too short for order 1
                                 {40.0, 10.0, "b"}, {44.0, 10.0, "b"},  // overlapping
                                 {0.0, 6.0, "a"},   {200.0, 4.0, "a"}};  // partly skipped; beyond the run
    // TR 2: volume i at 2i. [10, 16) holds volumes 5, 6, 7; [0, 6) holds 0..2, of which --skip 1 keeps 1, 2.
    EventIntervals a = eventIntervals(events, "a", 2.0, 0.0, 60, 1, 1);
    ASSERT_EQ(a.intervals.size(), 2u);
    EXPECT_EQ(a.intervals[0].first, 2);
    EXPECT_EQ(a.intervals[0].last, 3);
    EXPECT_EQ(a.intervals[1].first, 6);
    EXPECT_EQ(a.intervals[1].last, 8);
    EXPECT_EQ(a.tooShort, 2);
    EventIntervals b = eventIntervals(events, "b", 2.0, 0.0, 60, 0, 1);
    ASSERT_EQ(b.intervals.size(), 1u);
    EXPECT_EQ(b.intervals[0].first, 21);
    EXPECT_EQ(b.intervals[0].last, 27);
    // A shift moves the acquisition times: volume i at 2i + 1.
    EventIntervals shifted = eventIntervals(events, "b", 2.0, 1.0, 60, 0, 1);
    EXPECT_EQ(shifted.intervals[0].first, 21);
    EXPECT_EQ(shifted.intervals[0].last, 27);
    EventIntervals tr3 = eventIntervals({{0.3, 0.9, "c"}}, "c", 0.3, 0.0, 60, 0, 1);
    ASSERT_EQ(tr3.intervals.size(), 1u);
    EXPECT_EQ(tr3.intervals[0].first, 2);  // 0.3, 0.6, 0.9 lie in [0.3, 1.2)
    EXPECT_EQ(tr3.intervals[0].last, 4);

    EXPECT_EQ(derivativeEntities({"a/sub-01_ses-2_task-go_run-1_bold.nii.gz", "sub-01_ses-2_task-go_run-2_bold.nii"}),
              "sub-01_ses-2_task-go");
    EXPECT_EQ(safeLabel("../go left/\x01"), "goleft");
}

TEST_F(LdiMapCommand, BadInputsStopWithStatusTwoAndWriteNothing) {
    const std::string bold = niftiBytes(gridImage(30, gridValue));
    write("sub-01_task-x_bold.nii.gz", gzipped(bold));
    write("seed.nii", niftiBytes(maskImage({40})));
    write("events.tsv", "onset\tduration\ttrial_type\n2\t20\tgo\n30\t20\tstop\n");
    std::string damaged = gzipped(bold);
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x55);
    write("damaged.nii.gz", damaged);
    write("cut.nii.gz", gzipped(bold).substr(0, 2000));
    write("notnifti.nii", std::string(400, 'x'));
    write("flat.nii", niftiBytes(maskImage({1, 2})));
    std::string huge = bold;
    const int16_t big = 32767;
    for (std::size_t at : {42, 44, 46, 48}) std::memcpy(&huge[at], &big, 2);
    write("huge.nii", huge);
    TestImage other = gridImage(30, gridValue);
    other.originX = -12.0f;
    write("other.nii", niftiBytes(other));
    write("small_mask.nii", niftiBytes(maskImage({1}, NX - 1)));
    write("nocols.tsv", "onset\ttrial_type\n1\tgo\n");
    write("negative.tsv", "onset\tduration\ttrial_type\n1\t-2\tgo\n");
    write("words.tsv", "onset\tduration\ttrial_type\nsoon\t2\tgo\n");
    write("blocker", "a file where the output folder should go");

    const std::string good = "sub-01_task-x_bold.nii.gz";
    struct Case {
        std::vector<std::string> arguments;
        std::string mention;
    };
    const std::vector<Case> cases = {
        {{"--bold", "notnifti.nii", "--seed", "S=seed.nii"}, "notnifti.nii: not a NIfTI file"},
        {{"--bold", "flat.nii", "--seed", "S=seed.nii"}, "flat.nii: a bold run is a 4D image"},
        {{"--bold", "damaged.nii.gz", "--seed", "S=seed.nii"}, "damaged.nii.gz: the compressed data are damaged"},
        {{"--bold", "cut.nii.gz", "--seed", "S=seed.nii"}, "cut.nii.gz: the file ends early"},
        {{"--bold", "huge.nii", "--seed", "S=seed.nii"}, "huge.nii: "},
        {{"--bold", good, "--bold", "other.nii", "--seed", "S=seed.nii"}, "are on different grids"},
        {{"--bold", good, "--seed", "S=small_mask.nii"}, "small_mask.nii: the mask of seed 'S' is on another grid"},
        {{"--bold", good, "--seed", "S=seed.nii", "--mask", "small_mask.nii"}, "small_mask.nii: the mask is on"},
        {{"--bold", good, "--seed", "S=seed.nii", "--events", "nocols.tsv"}, "nocols.tsv:1: an events file needs"},
        {{"--bold", good, "--seed", "S=seed.nii", "--events", "negative.tsv"}, "negative.tsv:2: the duration -2 is negative"},
        {{"--bold", good, "--seed", "S=seed.nii", "--events", "words.tsv"}, "words.tsv:2: the onset 'soon' is not"},
        {{"--bold", good, "--seed", "S=seed.nii", "--events", "events.tsv", "--condition", "wait"},
         "(the events files hold: go, stop)"},
        {{"--bold", good, "--seed", "S=500,0,0,4"}, "seed 'S': the sphere's centre"},
        {{"--bold", good, "--seed", "S=seed.nii", "--order", "25"}, "order: Invalid"},
        {{"--bold", good, "--seed", "S=seed.nii", "--q", "0.05,2"}, "q: Invalid q-value"},
        {{"--bold", good, "--seed", "S=seed.nii", "--memory-budget", "4X"}, "--memory-budget \"4X\": unknown unit"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.push_back("--out");
        arguments.push_back("out");
        ProcessResult result = map(arguments);
        EXPECT_EQ(result.status, 2) << c.mention << "\n" << result.all();
        EXPECT_NE(result.err.find(c.mention), std::string::npos) << result.err;
        EXPECT_FALSE(std::filesystem::exists(dir.path("out"))) << c.mention;
    }
    ProcessResult blocked = map({"--bold", good, "--seed", "S=seed.nii", "--out", "blocker/out"});
    EXPECT_EQ(blocked.status, 2);
    EXPECT_NE(blocked.err.find("cannot create the output folder blocker/out"), std::string::npos) << blocked.err;
}

}  // namespace
