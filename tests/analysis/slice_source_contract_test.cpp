// What the engine relies on from every source of voxel time courses, checked
// on each: the VTC file (float32 and unsigned 16-bit), the NIfTI run held in
// memory and spilled to disk, an array read where it lies (in NIfTI's order,
// time fastest, and the engine's own order), and the in-memory source of the tests. Each is
// built from the same small 4D data, and every slice must read back as that
// data in the engine's order, in any order of slices, again, and from several
// threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nifti1.h>

#include "analysis/array_source.h"
#include "analysis/nifti_source.h"
#include "data/vtc_file.h"
#include "engine/slice_source.h"
#include "formats/nifti_image.h"
#include "support/memory_source.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

constexpr int NX = 3, NY = 2, NZ = 4, NT = 7;

// Whole numbers below 65536, so that unsigned 16-bit files hold them exactly;
// voxel (0, 0, 0) is constant, so unusable.
float sample(int x, int y, int z, int t) {
    if (x == 0 && y == 0 && z == 0) return 500.0f;
    return static_cast<float>(1000 + 7 * x + 31 * y + 101 * z + 13 * t + ((x * 5 + y * 3 + z + t * 11) % 9));
}

// The data in the engine's order: slice z, voxel (x, y), volume t.
std::size_t sliceIndex(int x, int y, int t) { return (static_cast<std::size_t>(y) * NX + x) * NT + t; }

std::vector<float> sliceOrder() {
    std::vector<float> values;
    for (int z = 0; z < NZ; ++z)
        for (int y = 0; y < NY; ++y)
            for (int x = 0; x < NX; ++x)
                for (int t = 0; t < NT; ++t) values.push_back(sample(x, y, z, t));
    return values;
}

// A 4D float32 NIfTI-1 file, volume after volume, x fastest.
void writeNiftiRun(const std::string& path, float (*value)(int, int, int, int)) {
    nifti_1_header h;
    std::memset(&h, 0, sizeof h);
    h.sizeof_hdr = 348;
    h.dim[0] = 4;
    const int dims[4] = {NX, NY, NZ, NT};
    for (int i = 0; i < 4; ++i) h.dim[i + 1] = static_cast<short>(dims[i]);
    for (int i = 5; i < 8; ++i) h.dim[i] = 1;
    h.datatype = NIFTI_TYPE_FLOAT32;
    h.bitpix = 32;
    h.pixdim[0] = 1.0f;
    h.pixdim[1] = h.pixdim[2] = h.pixdim[3] = 3.0f;
    h.pixdim[4] = 2.0f;
    h.xyzt_units = NIFTI_UNITS_MM | NIFTI_UNITS_SEC;
    h.vox_offset = 352.0f;
    h.sform_code = 1;
    h.srow_x[0] = h.srow_y[1] = h.srow_z[2] = 3.0f;
    std::memcpy(h.magic, "n+1\0", 4);
    std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
    bytes.append(4, '\0');
    for (int t = 0; t < NT; ++t)
        for (int z = 0; z < NZ; ++z)
            for (int y = 0; y < NY; ++y)
                for (int x = 0; x < NX; ++x) {
                    const float v = value(x, y, z, t);
                    bytes.append(reinterpret_cast<const char*>(&v), sizeof v);
                }
    std::ofstream(path, std::ios::binary) << bytes;
}

// A run goes to disk when its bytes exceed the first budget; blocks of two
// volumes make the spilled reads piece slices together.
SourceBudgets niftiBudgets(bool spill) {
    if (spill) return SourceBudgets{0, int64_t{2} * NX * NY * NZ * 4};
    return SourceBudgets{};
}

std::unique_ptr<NiftiSliceSource> loadNifti(const TestTempDir& dir, float (*value)(int, int, int, int), bool spill,
                                            int32_t firstJudged = 0) {
    const std::string path = dir.path(spill ? "spilled.nii" : "held.nii");
    writeNiftiRun(path, value);
    NiftiReader reader;
    std::string problem;
    auto source = std::make_unique<NiftiSliceSource>();
    EXPECT_TRUE(reader.open(path, problem)) << problem;
    EXPECT_TRUE(source->load(reader, firstJudged, dir.root(), niftiBudgets(spill), 1, nullptr, problem)) << problem;
    EXPECT_EQ(source->spilled(), spill);
    return source;
}

// A source under test with whatever keeps it valid.
struct Fixture {
    TestTempDir dir;
    std::unique_ptr<VtcFile> vtc;
    std::unique_ptr<SliceSource> source;
    bool floats = true;
    std::vector<float> values;  // an array source's data
};

// The layouts of an in-memory array, as numpy arrays come: NIfTI's (an (x, y,
// z, t) array in Fortran order), time fastest (the same array in C order),
// and the engine's own (a (z, y, x, t) array in C order).
enum class Layout { volumes, timeFastest, engine };

std::array<int64_t, 4> layoutStrides(Layout layout) {
    switch (layout) {
    case Layout::volumes: return {1, NX, NX * NY, NX * NY * NZ};
    case Layout::timeFastest: return {NY * NZ * NT, NZ * NT, NT, 1};
    case Layout::engine: return {NT, NX * NT, NX * NY * NT, 1};
    }
    return {};
}

std::unique_ptr<ArraySliceSource> loadArray(std::vector<float>& values, Layout layout,
                                            float (*value)(int, int, int, int), int32_t firstJudged = 0) {
    RunArray array;
    array.strides = layoutStrides(layout);
    values.assign(static_cast<std::size_t>(NX * NY * NZ * NT), 0.0f);
    for (int x = 0; x < NX; ++x)
        for (int y = 0; y < NY; ++y)
            for (int z = 0; z < NZ; ++z)
                for (int t = 0; t < NT; ++t)
                    values[static_cast<std::size_t>(x * array.strides[0] + y * array.strides[1] +
                                                    z * array.strides[2] + t * array.strides[3])] = value(x, y, z, t);
    array.values = values.data();
    array.header.rank = 4;
    array.header.dim = {4, NX, NY, NZ, NT, 1, 1, 1};
    auto source = std::make_unique<ArraySliceSource>();
    std::string problem;
    EXPECT_TRUE(source->load("array", array, firstJudged, problem)) << problem;
    return source;
}

struct MemoryKind {
    static void make(Fixture& f) { f.source = std::make_unique<MemorySliceSource>("memory", NX, NY, NT, sliceOrder()); }
};

template <int DataType>
struct VtcKind {
    static void make(Fixture& f) {
        VtcWriterOptions options;
        options.resolution = 3;
        options.xStart = 0;
        options.xEnd = 3 * NX;
        options.yStart = 0;
        options.yEnd = 3 * NY;
        options.zStart = 0;
        options.zEnd = 3 * NZ;
        options.numVolumes = NT;
        options.dataType = DataType;
        options.value = sample;
        ASSERT_EQ(testVtcDimX(options), NX);
        ASSERT_EQ(testVtcDimZ(options), NZ);
        const std::string path = f.dir.path("run.vtc");
        ASSERT_TRUE(writeTestVtc(path, options));
        VtcHandle handle(std::fopen(path.c_str(), "rb"));
        ASSERT_TRUE(handle);
        VtcHeader header;
        ASSERT_TRUE(readVtcHeader(handle.get(), header));
        f.vtc = makeVtcFile(path, header, std::move(handle));
        f.source = std::make_unique<VtcSliceSource>(*f.vtc);
        f.floats = DataType == VTC_DATA_TYPE_FLOAT;
    }
};

template <bool Spill>
struct NiftiKind {
    static void make(Fixture& f) { f.source = loadNifti(f.dir, sample, Spill); }
};

template <Layout L>
struct ArrayKind {
    static void make(Fixture& f) { f.source = loadArray(f.values, L, sample); }
};

template <typename Kind>
class SliceSourceContract : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Kind::make(f)); }

    // Reads slice z and compares every value with the data.
    void expectSlice(SliceSource& source, int z, SliceValues& slice) {
        ASSERT_TRUE(source.readSlice(z, slice)) << "slice " << z;
        for (int y = 0; y < NY; ++y)
            for (int x = 0; x < NX; ++x)
                for (int t = 0; t < NT; ++t) {
                    const std::size_t at = sliceIndex(x, y, t);
                    const float value = f.floats ? slice.floats[at] : static_cast<float>(slice.shorts[at]);
                    ASSERT_EQ(value, sample(x, y, z, t)) << "voxel (" << x << ", " << y << ", " << z << "), volume " << t;
                }
    }

    Fixture f;
};

using SourceKinds =
    ::testing::Types<MemoryKind, VtcKind<VTC_DATA_TYPE_FLOAT>, VtcKind<1>, NiftiKind<false>, NiftiKind<true>,
                     ArrayKind<Layout::volumes>, ArrayKind<Layout::timeFastest>, ArrayKind<Layout::engine>>;

class KindNames {
public:
    template <typename T>
    static std::string GetName(int index) {
        const char* names[] = {"Memory",       "VtcFloat32",       "VtcUint16",       "NiftiInMemory",
                               "NiftiSpilled", "ArrayNiftiOrder", "ArrayTimeFastest", "ArrayEngineOrder"};
        return names[index];
    }
};
TYPED_TEST_SUITE(SliceSourceContract, SourceKinds, KindNames);

TYPED_TEST(SliceSourceContract, DescribesItsSlices) {
    SliceSource& source = *this->f.source;
    EXPECT_EQ(source.numVolumes(), NT);
    EXPECT_EQ(source.sliceValueCount(), NX * NY * NT);
    EXPECT_EQ(source.holdsFloats(), this->f.floats);
    EXPECT_EQ(source.sliceBytes(), int64_t{NX} * NY * NT * (this->f.floats ? 4 : 2));
    EXPECT_FALSE(source.name().empty());
    SliceValues slice;
    source.allocateSlice(slice);
    EXPECT_GE(slice.capacity, source.sliceValueCount());
    EXPECT_EQ(slice.floats != nullptr, this->f.floats);
    EXPECT_EQ(slice.shorts != nullptr, !this->f.floats);
}

TYPED_TEST(SliceSourceContract, EverySliceHoldsTheDataInAnyOrderAndAgain) {
    SliceSource& source = *this->f.source;
    SliceValues slice;
    source.allocateSlice(slice);
    for (int z : {0, 1, 2, 3}) this->expectSlice(source, z, slice);
    for (int z : {3, 0, 2, 2, 1, 0}) this->expectSlice(source, z, slice);
}

TYPED_TEST(SliceSourceContract, OneVoxelsValuesReadAloneAreTheData) {
    SliceSource& source = *this->f.source;
    std::vector<float> course(NT);
    for (int z = NZ - 1; z >= 0; --z)
        for (int y = 0; y < NY; ++y)
            for (int x = 0; x < NX; ++x) {
                ASSERT_TRUE(source.readTimeCourse((int64_t{z} * NY + y) * NX + x, course.data()));
                for (int t = 0; t < NT; ++t)
                    ASSERT_EQ(course[static_cast<std::size_t>(t)], sample(x, y, z, t))
                        << "voxel (" << x << ", " << y << ", " << z << "), volume " << t;
            }
}

TYPED_TEST(SliceSourceContract, ThreadsReadSlicesAtOnce) {
    SliceSource& source = *this->f.source;
    std::vector<std::thread> readers;
    std::vector<int> mismatches(4, 0);
    for (int r = 0; r < 4; ++r)
        readers.emplace_back([&, r] {
            SliceValues slice;
            source.allocateSlice(slice);
            for (int round = 0; round < 20; ++round) {
                const int z = (r + round) % NZ;
                if (!source.readSlice(z, slice)) {
                    ++mismatches[r];
                    continue;
                }
                for (int y = 0; y < NY; ++y)
                    for (int x = 0; x < NX; ++x)
                        for (int t = 0; t < NT; ++t) {
                            const std::size_t at = sliceIndex(x, y, t);
                            const float value = this->f.floats ? slice.floats[at] : float(slice.shorts[at]);
                            mismatches[r] += value == sample(x, y, z, t) ? 0 : 1;
                        }
            }
        });
    for (std::thread& reader : readers) reader.join();
    for (int r = 0; r < 4; ++r) EXPECT_EQ(mismatches[r], 0) << "reader " << r;
}

// Not finite anywhere, constant, or constant only from the judged volumes on.
float awkward(int x, int y, int z, int t) {
    if (x == 1 && y == 0 && z == 1 && t == 3) return NAN;
    if (x == 2 && y == 1 && z == 2) return t == 0 ? 9.0f : 4.0f;  // varies only in volume 0
    if (x == 0 && y == 1 && z == 3 && t == 0) return INFINITY;   // only before the judged volumes
    return sample(x, y, z, t);
}

TEST(NiftiSliceSource, HeldAndSpilledRunsAgreeOnValuesAndUsableVoxels) {
    TestTempDir dir;
    const auto held = loadNifti(dir, awkward, false, 1);
    const auto spilled = loadNifti(dir, awkward, true, 1);
    // Usable: finite and not constant over the volumes from the judged one (1) on.
    std::vector<uint8_t> expected;
    for (int z = 0; z < NZ; ++z)
        for (int y = 0; y < NY; ++y)
            for (int x = 0; x < NX; ++x) {
                bool finite = true, varies = false;
                for (int t = 1; t < NT; ++t) {
                    finite = finite && std::isfinite(awkward(x, y, z, t));
                    varies = varies || awkward(x, y, z, t) != awkward(x, y, z, 1);
                }
                expected.push_back(finite && varies ? 1 : 0);
            }
    EXPECT_EQ(held->usable(), expected);
    EXPECT_EQ(spilled->usable(), expected);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), 0), 3);  // the constant, the NaN and the one-volume voxel

    SliceValues a, b;
    held->allocateSlice(a);
    spilled->allocateSlice(b);
    for (int z : {2, 0, 3, 1}) {
        ASSERT_TRUE(held->readSlice(z, a));
        ASSERT_TRUE(spilled->readSlice(z, b));
        // Bit for bit, NaN included.
        EXPECT_EQ(std::memcmp(a.floats.get(), b.floats.get(), sizeof(float) * NX * NY * NT), 0) << "slice " << z;
    }
    EXPECT_FALSE(held->readSlice(NZ, a));
    EXPECT_FALSE(spilled->readSlice(-1, b));
}

// An array read where it lies judges its voxels and gives its slices as the
// NIfTI run of the same data does, in every layout.
TEST(ArraySliceSource, AgreesWithTheNiftiRunOnValuesAndUsableVoxels) {
    TestTempDir dir;
    const auto run = loadNifti(dir, awkward, false, 1);
    for (Layout layout : {Layout::volumes, Layout::timeFastest, Layout::engine}) {
        std::vector<float> values;
        const auto array = loadArray(values, layout, awkward, 1);
        EXPECT_EQ(array->usable(), run->usable()) << "layout " << static_cast<int>(layout);
        SliceValues a, b;
        run->allocateSlice(a);
        array->allocateSlice(b);
        for (int z = 0; z < NZ; ++z) {
            ASSERT_TRUE(run->readSlice(z, a));
            ASSERT_TRUE(array->readSlice(z, b));
            EXPECT_EQ(std::memcmp(a.floats.get(), b.floats.get(), sizeof(float) * NX * NY * NT), 0)
                << "slice " << z << ", layout " << static_cast<int>(layout);
        }
        EXPECT_FALSE(array->readSlice(NZ, b));
    }
}

}  // namespace
