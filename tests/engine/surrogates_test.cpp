// Surrogate reference time courses generated from the prepared records.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "data/voi_time_course.h"
#include "data/data_test_support.h"
#include "support/whole_run.h"
#include "stats/random.h"
#include "stats/simulation.h"
#include "support/run_steps.h"
#include "support/fake_host.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

// An irregular but smooth course, different in every voxel.
float wavy(int x, int y, int z, int t) {
    return 1000.0f + 40.0f * std::sin(0.37f * static_cast<float>(t) + static_cast<float>(x + 2 * y + 3 * z)) +
           static_cast<float>((t * 7 + x) % 11);
}

class SurrogateTest : public FakeHostTest {
protected:
    void SetUp() override {
        FakeHostTest::SetUp();
        context.rngSeed = kRunSeed;
        setup.parameters.autoRegressionOrder = 1;
        setup.parameters.numSurrogateSimulations = 4;
        setup.parameters.numDiscardedSimulatedTimePoints = 10;
        setup.parameters.showVerboseProgressLog = false;
    }

    std::string writeVtc(const std::string& name, VtcWriterOptions options) {
        const std::string file = dir.path(name);
        EXPECT_TRUE(writeTestVtc(file, options));
        setGeometry(setup, options);
        return file;
    }

    void prepare() { ASSERT_EQ(prepareReferenceTimeCourses(context, setup, errors), 1) << errors.str(); }

    static constexpr uint32_t kRunSeed = 1700000000u;
    TestTempDir dir;
    AnalysisSetup setup;
    AnalysisContext context;
    std::ostringstream errors;
};

TEST_F(SurrogateTest, SeriesAreSimulatedOverTheLongestRunAndTheirEndKept) {
    VtcWriterOptions options;
    options.numVolumes = 150;
    options.value = wavy;
    const std::string a = writeVtc("a.vtc", options);
    setup.maxVolumes = 200;  // another run of the analysis is longer
    addVtcEntry(addCondition(setup, "A"), a, a);
    TestVoi voi{"Ref", 0, {}};
    voi.add(0, 0, 0);
    setup.vois.push_back(voi.selected());
    prepare();

    ASSERT_EQ(generateSurrogates(context, setup, errors), 1) << errors.str();
    const VoiTimeCourse& record = *context.voiTimeCourses[0];
    EXPECT_GT(record.residualCovariance(1, 1), 0.0f);
    EXPECT_NE(record.arCoefficients[1](1, 1), 0.0f);

    // 200 + 10 points simulated with the record's model and seed s; the last 150 kept.
    for (int s = 0; s < 4; ++s) {
        Matrix full(1, 210, 1, 1);
        RandomState generator;
        ASSERT_TRUE(simulateArSeries(full, 1, 2, 1, 211, record.arCoefficients, record.residualCovariance,
                                     seriesSeed(kRunSeed, s), generator));
        for (int c = 1; c <= 150; ++c) {
            ASSERT_EQ(record.surrogates(1 + s, c), full(1, 60 + c)) << "surrogate " << s << " volume " << c;
        }
    }
    EXPECT_NE(record.surrogates(1, 1), record.surrogates(2, 1)) << "each surrogate has its own seed";
}

TEST_F(SurrogateTest, ACourseWithoutAModelGetsZeroSurrogates) {
    VtcWriterOptions options;
    options.dataType = 1;
    options.numVolumes = 40;
    // Voxel (0,0,0) is constant over time; voxel (1,1,1) varies.
    options.value = [](int x, int y, int z, int t) {
        return x + y + z == 0 ? 500.0f : wavy(x, y, z, t);
    };
    const std::string a = writeVtc("a.vtc", options);
    addVtcEntry(addCondition(setup, "A"), a, a);
    TestVoi flat{"Flat", 0, {}};
    flat.add(0, 0, 0);
    TestVoi lively{"Lively", 1, {}};
    lively.add(3, 3, 3);
    setup.vois.push_back(flat.selected());
    setup.vois.push_back(lively.selected());
    prepare();
    // Leftovers that must not survive.
    VoiTimeCourse& constant = *context.voiTimeCourses[0];
    constant.surrogates = Matrix(static_cast<int32_t>(setup.parameters.numSurrogateSimulations), 40, 1, 1);
    fillBlock(constant.surrogates, 1, 5, 1, 41, 7.0f);
    constant.residualCovariance(1, 1) = 3.0f;
    constant.arCoefficients[1](1, 1) = 0.5f;

    ASSERT_EQ(generateSurrogates(context, setup, errors), 1) << errors.str();
    for (int s = 1; s <= 4; ++s) {
        for (int c = 1; c <= 40; ++c) {
            ASSERT_EQ(constant.surrogates(s, c), 0.0f) << s << " " << c;
        }
    }
    EXPECT_EQ(constant.residualCovariance(1, 1), 0.0f);
    EXPECT_EQ(constant.arCoefficients[1](1, 1), 0.0f);

    const VoiTimeCourse& varying = *context.voiTimeCourses[1];
    EXPECT_GT(varying.residualCovariance(1, 1), 0.0f);
    float energy = 0.0f;
    for (int c = 1; c <= 40; ++c) {
        energy += varying.surrogates(4, c) * varying.surrogates(4, c);
    }
    EXPECT_GT(energy, 0.0f);
}

TEST_F(SurrogateTest, ProgressLineAndMissingRecord) {
    VtcWriterOptions options;
    options.value = wavy;
    const std::string a = writeVtc("a.vtc", options);
    addVtcEntry(addCondition(setup, "Cond"), a, a);
    TestVoi voi{"Ref", 0, {}};
    voi.add(0, 0, 0);
    setup.vois.push_back(voi.selected());
    prepare();

    setup.parameters.showVerboseProgressLog = true;
    ASSERT_EQ(generateSurrogates(context, setup, errors), 1);
    ASSERT_EQ(host().logTexts.size(), 1u);
    EXPECT_EQ(host().logTexts[0], "// LDI>\n// LDI> Generating surrogate ref time-courses...");

    context.voiTimeCourses.clear();
    EXPECT_EQ(generateSurrogates(context, setup, errors), 3);
    EXPECT_EQ(errors.str(), "Failed to retrieve precomputed voi time-course for VOI 'Ref', Condition 'Cond' (internal error)");
}

}  // namespace
