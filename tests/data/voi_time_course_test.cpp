// VOI reference time courses: grid indexing, the weighted mean over a VOI's
// voxels, voxels outside the grid, short files, the records of a set-up and
// the preparation and release of the analysis context.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "data/voi_time_course.h"
#include "data/vtc_file.h"
#include "data_test_support.h"
#include "support/whole_run.h"
#include "support/fake_host.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

float pattern(int x, int y, int z, int t) {
    return static_cast<float>(1000 * z + 100 * y + 10 * x + t);
}

TEST(ToVtcIndex, RoundsHalvesUpwardOnBothSidesOfTheBox) {
    // Box start 57, resolution 3.
    EXPECT_EQ(toVtcIndex(57, 57, 3), 0);
    EXPECT_EQ(toVtcIndex(58, 57, 3), 0);   // 0.33
    EXPECT_EQ(toVtcIndex(59, 57, 3), 1);   // 0.67
    EXPECT_EQ(toVtcIndex(56, 57, 3), 0);   // -0.33
    EXPECT_EQ(toVtcIndex(55, 57, 3), -1);  // -0.67
    // Exact halves go up, also below zero.
    EXPECT_EQ(toVtcIndex(1, 0, 2), 1);     // 0.5
    EXPECT_EQ(toVtcIndex(3, 0, 2), 2);     // 1.5
    EXPECT_EQ(toVtcIndex(-1, 0, 2), 0);    // -0.5
    EXPECT_EQ(toVtcIndex(-3, 0, 2), -1);   // -1.5
    EXPECT_EQ(toVtcIndex(-7, 0, 10), -1);  // -0.7
    // Coordinates far off any grid stay far off rather than wrapping around.
    EXPECT_GT(toVtcIndex(INT_MAX, INT_MIN, 1), 65535);
    EXPECT_LT(toVtcIndex(INT_MIN, INT_MAX, 1), 0);
}

class VoiMeanTest : public ::testing::Test {
protected:
    // Writes the VTC and opens it past its header.
    void open(const VtcWriterOptions& options) {
        vtc = options;
        path = dir.path("mean.vtc");
        ASSERT_TRUE(writeTestVtc(path, options));
        handle.reset(std::fopen(path.c_str(), "rb"));
        ASSERT_TRUE(handle);
        ASSERT_TRUE(readVtcHeader(handle.get(), header));
    }

    VoiMeanResult mean(const TestVoi& voi, int32_t flag = 0) {
        output = Matrix(1, header.numVolumes, 1, 1, -99.0f);
        scratch.assign(static_cast<std::size_t>(voi.count()) * 3 + 3, 0);
        return readVoiMeanTimeCourse(handle.get(), header, voi.coordinates.data(), voi.count(), flag, output, 1,
                                     scratch.data());
    }

    TestTempDir dir;
    VtcWriterOptions vtc;
    std::string path;
    VtcHandle handle;
    VtcHeader header;
    Matrix output;
    std::vector<int32_t> scratch;
};

TEST_F(VoiMeanTest, EachVoiVoxelWeighsByTheVtcVoxelItFallsInto) {
    for (int dataType : {1, 2}) {
        VtcWriterOptions options;  // resolution 3, box 0..6: a 2 x 2 x 2 grid
        options.dataType = dataType;
        options.numVolumes = 6;
        options.value = pattern;
        open(options);

        // 54 voxels filling exactly the VTC voxels (0,0,0) and (1,0,0), 27 each.
        TestVoi voi;
        addCube(voi, -1, -1, -1, 3);
        addCube(voi, 2, -1, -1, 3);
        const std::vector<int32_t> before = voi.coordinates;
        VoiMeanResult result = mean(voi);
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(result.voxelsInside, 54);
        EXPECT_EQ(result.voxelsOutside, 0);
        for (int t = 0; t < 6; ++t) {
            const float expected = (27.0f * pattern(0, 0, 0, t) + 27.0f * pattern(1, 0, 0, t)) / 54.0f;
            EXPECT_EQ(output(1, 1 + t), expected) << "type " << dataType << " t " << t;
        }
        EXPECT_EQ(voi.coordinates, before) << "the host's voxel array is not changed";
        EXPECT_EQ(ftello(handle.get()), header.dataOffset) << "left at the data start for the voxel pass";

        // Two voxels in one VTC voxel and one in another: 2:1 weights.
        TestVoi uneven;
        uneven.add(4, 4, 4);  // (1, 1, 1)
        uneven.add(3, 3, 3);  // (1, 1, 1)
        uneven.add(0, 3, 0);  // (0, 1, 0)
        result = mean(uneven);
        ASSERT_TRUE(result.ok);
        for (int t = 0; t < 6; ++t) {
            const float expected = (2.0f * pattern(1, 1, 1, t) + pattern(0, 1, 0, t)) / 3.0f;
            EXPECT_FLOAT_EQ(output(1, 1 + t), expected) << "type " << dataType << " t " << t;
        }
    }
}

TEST_F(VoiMeanTest, ConvertedCoordinatesSwapAndMirrorTheAxes) {
    VtcWriterOptions options;
    options.resolution = 1;
    options.xEnd = 30;
    options.yEnd = 30;
    options.zEnd = 30;
    options.numVolumes = 2;
    options.value = pattern;
    open(options);

    TestVoi voi;
    voi.add(100, 128, 128);  // becomes (0, 0, 28)
    VoiMeanResult result = mean(voi, 1);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.voxelsInside, 1);
    EXPECT_EQ(output(1, 1), pattern(0, 0, 28, 0));
    EXPECT_EQ(output(1, 2), pattern(0, 0, 28, 1));
    EXPECT_EQ(voi.coordinates[0], 100);

    result = mean(voi, 0);  // unconverted, the same voxel lies outside the box
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.voxelsInside, 0);
    EXPECT_EQ(result.voxelsOutside, 1);
}

TEST_F(VoiMeanTest, VoxelsOutsideTheGridAreLeftOutOfTheMean) {
    VtcWriterOptions options;
    options.value = pattern;
    open(options);

    TestVoi voi;
    voi.add(0, 0, 0);    // (0, 0, 0)
    voi.add(3, 0, 0);    // (1, 0, 0)
    voi.add(-2, 0, 0);   // index -1
    voi.add(0, 6, 0);    // index 2 = dimY
    voi.add(0, 0, 100);  // far beyond
    const VoiMeanResult result = mean(voi);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.voxelsInside, 2);
    EXPECT_EQ(result.voxelsOutside, 3);
    for (int t = 0; t < 10; ++t) {
        EXPECT_EQ(output(1, 1 + t), (pattern(0, 0, 0, t) + pattern(1, 0, 0, t)) / 2.0f);
    }
}

TEST_F(VoiMeanTest, AShortDataSectionFailsTheRead) {
    VtcWriterOptions options;
    options.value = pattern;
    // Voxel (1, 1, 1) is the last; its course loses its final value.
    options.truncateAt = testVtcHeaderSize(options) + 8LL * 10 * 4 - 4;
    open(options);

    TestVoi early;
    early.add(0, 0, 0);
    EXPECT_TRUE(mean(early).ok);
    TestVoi late;
    late.add(0, 0, 0);
    late.add(3, 3, 3);
    EXPECT_FALSE(mean(late).ok);
}

// Records of a whole set-up, built through the preparation step.
class ReferenceTimeCourseTest : public FakeHostTest {
protected:
    std::string writeVtc(const std::string& name, VtcWriterOptions options) {
        options.value = options.value ? options.value : pattern;
        const std::string file = dir.path(name);
        EXPECT_TRUE(writeTestVtc(file, options));
        setGeometry(setup, options);
        return file;
    }

    void select(const TestVoi& voi) { setup.vois.push_back(voi.selected()); }

    TestTempDir dir;
    AnalysisSetup setup;
    AnalysisContext context;
    std::ostringstream errors;
};

TEST_F(ReferenceTimeCourseTest, OneRecordPerVoiAndSourceFile) {
    VtcWriterOptions options;
    options.numVolumes = 12;
    const std::string a = writeVtc("a.vtc", options);
    const std::string b = writeVtc("b.vtc", options);
    const std::string target = writeVtc("target.vtc", options);
    setup.parameters.separateSourceTargetVTCs = true;
    setup.parameters.autoRegressionOrder = 2;
    setup.parameters.numSurrogateSimulations = 15;

    TestVoi first{"V", 0, {}};
    first.add(0, 0, 0);
    TestVoi second{"V", 3, {}};  // same name, another VOI of the list
    second.add(3, 3, 3);
    select(first);
    select(second);
    for (const char* name : {"A", "B", "C"}) {
        Condition& condition = addCondition(setup, name);
        addVtcEntry(condition, a, target);
        addVtcEntry(condition, b, target);
    }

    ASSERT_EQ(prepareReferenceTimeCourses(context, setup, errors), 1) << errors.str();
    ASSERT_EQ(context.voiTimeCourses.size(), 4u) << "two VOIs times two source files; the target gets none";
    const VoiTimeCourse* r0 = context.voiTimeCourses[0].get();
    EXPECT_EQ(r0->voiName, "V");
    EXPECT_EQ(r0->vtcPath, a);
    EXPECT_EQ(context.voiTimeCourses[1]->vtcPath, b);
    EXPECT_EQ(context.voiTimeCourses[2]->voiHostIndex, 3);
    EXPECT_EQ(findVoiTimeCourse(context, setup.vois[0], a), r0);
    EXPECT_EQ(findVoiTimeCourse(context, setup.vois[0], target), nullptr);

    // The same-named VOIs are two regions with their own voxels.
    const VoiTimeCourse* r2 = findVoiTimeCourse(context, setup.vois[1], a);
    ASSERT_NE(r2, nullptr);
    EXPECT_NE(r2, r0);
    EXPECT_EQ(r0->meanTimeCourse(1, 5), pattern(0, 0, 0, 4));
    EXPECT_EQ(r2->meanTimeCourse(1, 5), pattern(1, 1, 1, 4));

    // Shapes: 1 x T, 1 x 1, p coefficients, all with bases 1; the surrogates
    // are drawn later, one seed at a time.
    EXPECT_EQ(r0->meanTimeCourse.colCount, 12);
    EXPECT_EQ(r0->meanTimeCourse.colBase, 1);
    EXPECT_EQ(r0->residualCovariance.rowCount, 1);
    EXPECT_EQ(r0->arCoefficients.count, 2);
    EXPECT_EQ(r0->arCoefficients.indexBase, 1);
    EXPECT_EQ(r0->arCoefficients[2].colBase, 1);
    EXPECT_EQ(r0->surrogates.rowCount, 0);

    // The grid and the work objects.
    EXPECT_EQ(setup.dimX, 2);
    EXPECT_EQ(setup.dimY, 2);
    EXPECT_EQ(setup.dimZ, 2);
    ASSERT_TRUE(context.work.realMeasures && context.work.nullMeasures);
    EXPECT_EQ(context.work.realMeasures->ref2vox.size(), 8u);
    ASSERT_TRUE(context.work.realAccumulator && context.work.nullAccumulator);
    EXPECT_EQ(context.work.realAccumulator->seriesCount, 2);
    EXPECT_EQ(context.work.realAccumulator->order, 2);
    ASSERT_TRUE(context.work.jointModel && context.work.referenceModel && context.work.voxelModel);
    EXPECT_EQ(context.work.jointModel->seriesCount, 2);
    EXPECT_EQ(context.work.referenceModel->seriesCount, 1);
    EXPECT_EQ(context.work.voxelModel->order, 2);
    for (const auto& file : context.vtcFiles) {
        EXPECT_EQ(ftello(file->handle.get()), file->header.dataOffset) << file->path;
    }
    EXPECT_TRUE(host().logTexts.empty());

    releaseAnalysisContext(context);
    EXPECT_TRUE(context.vtcFiles.empty());
    EXPECT_TRUE(context.voiTimeCourses.empty());
    EXPECT_FALSE(context.work.realMeasures || context.work.nullMeasures || context.work.realAccumulator ||
                 context.work.nullAccumulator || context.work.jointModel || context.work.referenceModel || context.work.voxelModel);
    EXPECT_EQ(context.coordinateCapacity, 0);
    EXPECT_TRUE(context.coordinateScratch.empty());
    releaseAnalysisContext(context);  // a second release finds nothing to do
}

TEST_F(ReferenceTimeCourseTest, ScratchGrowsInStepsOfAHundredTriples) {
    const std::string a = writeVtc("a.vtc", VtcWriterOptions());
    addVtcEntry(addCondition(setup, "A"), a, a);
    TestVoi small{"small", 0, {}};
    TestVoi medium{"medium", 1, {}};
    TestVoi large{"large", 2, {}};
    for (int i = 0; i < 10; ++i) small.add(0, 0, 0);
    for (int i = 0; i < 1001; ++i) medium.add(0, 0, 0);
    for (int i = 0; i < 2000; ++i) large.add(3, 3, 3);
    select(small);
    select(medium);

    ASSERT_EQ(prepareReferenceTimeCourses(context, setup, errors), 1) << errors.str();
    EXPECT_EQ(context.coordinateCapacity, 1100);
    EXPECT_EQ(context.coordinateScratch.size(), 3300u);

    select(large);
    ASSERT_EQ(buildVoiTimeCourses(context, setup, errors), 1) << errors.str();
    EXPECT_EQ(context.coordinateCapacity, 2000);
    EXPECT_EQ(context.coordinateScratch.size(), 6000u);
    ASSERT_EQ(context.voiTimeCourses.size(), 3u) << "records already made are not made again";
    EXPECT_EQ(context.voiTimeCourses[2]->meanTimeCourse(1, 1), pattern(1, 1, 1, 0));
}

TEST_F(ReferenceTimeCourseTest, VoxelsOutsideAreReportedAndAVoiEntirelyOutsideStopsTheRun) {
    const std::string a = writeVtc("a.vtc", VtcWriterOptions());
    addVtcEntry(addCondition(setup, "A"), a, a);
    TestVoi partly{"Partly", 0, {}};
    partly.add(0, 0, 0);
    partly.add(-30, 0, 0);
    partly.add(0, 0, 60);
    select(partly);

    ASSERT_EQ(prepareReferenceTimeCourses(context, setup, errors), 1) << errors.str();
    EXPECT_EQ(context.voiTimeCourses[0]->meanTimeCourse(1, 3), pattern(0, 0, 0, 2)) << "N counts the inside voxel";
    ASSERT_EQ(host().logTexts.size(), 1u);
    const std::string& warning = host().logTexts[0];
    EXPECT_EQ(warning.rfind("// LDI> WARNING: 2 of the 3 voxels of VOI 'Partly'", 0), 0u) << warning;
    EXPECT_NE(warning.find(a), std::string::npos) << warning;

    TestVoi outside{"Elsewhere", 1, {}};
    outside.add(200, 200, 200);
    select(outside);
    ASSERT_EQ(buildVoiTimeCourses(context, setup, errors), 2);
    EXPECT_NE(errors.str().find("VOI 'Elsewhere'"), std::string::npos) << errors.str();
    EXPECT_NE(errors.str().find(a), std::string::npos) << errors.str();
    EXPECT_EQ(context.voiTimeCourses.size(), 1u);

    setup.vois.back() = TestVoi{"Empty", 2, {}}.selected();
    std::ostringstream empty;
    ASSERT_EQ(buildVoiTimeCourses(context, setup, empty), 2);
    EXPECT_NE(empty.str().find("VOI 'Empty' holds no voxels"), std::string::npos) << empty.str();
}

TEST_F(ReferenceTimeCourseTest, FailuresLeaveAContextThatCanBeReleased) {
    VtcWriterOptions options;
    const std::string a = writeVtc("a.vtc", options);
    const std::string b = writeVtc("b.vtc", options);
    addVtcEntry(addCondition(setup, "A"), a, a);
    // The second file holds the first voxel only: it is refused when opened.
    std::filesystem::resize_file(b, static_cast<std::uintmax_t>(testVtcHeaderSize(options) + 40));
    addVtcEntry(addCondition(setup, "B"), b, b);
    TestVoi voi{"Region", 0, {}};
    voi.add(3, 0, 0);
    select(voi);

    EXPECT_EQ(prepareReferenceTimeCourses(context, setup, errors), 3);
    EXPECT_EQ(errors.str().rfind("Could not read data from vtc '" + b + "'\n", 0), 0u) << errors.str();
    EXPECT_TRUE(context.voiTimeCourses.empty());
    EXPECT_EQ(context.vtcFiles.size(), 1u);
    EXPECT_FALSE(context.work.realMeasures) << "work objects are only made after the records";
    releaseAnalysisContext(context);
    EXPECT_TRUE(context.vtcFiles.empty());

    // A run whose VTC cannot be opened: nothing but the scratch exists yet.
    AnalysisSetup other = setup;
    other.conditions.clear();
    addVtcEntry(addCondition(other, "B"), dir.path("none.vtc"), dir.path("none.vtc"));
    AnalysisContext fresh;
    std::ostringstream e;
    EXPECT_EQ(prepareReferenceTimeCourses(fresh, other, e), 3);
    EXPECT_EQ(fresh.coordinateCapacity, 1000);
    releaseAnalysisContext(fresh);
    EXPECT_EQ(fresh.coordinateCapacity, 0);
}

}  // namespace
