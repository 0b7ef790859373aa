// The FDR search and the six map kinds written into the host's map set.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/map_values.h"
#include "support/whole_run.h"
#include "stats/matrix.h"
#include "stats/parallel.h"
#include "stats/random.h"
#include "support/fake_host.h"
#include "support/run_steps.h"

using namespace ldi;

namespace {

FloatVolume volumeOf(const std::vector<float>& values) {
    FloatVolume v(1, 1, static_cast<int32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) v.data()[i] = values[i];
    return v;
}

std::vector<float> fdr(const std::vector<float>& map, const std::vector<float>& null, std::vector<float> q,
                       int32_t cV = 1, bool* found = nullptr) {
    std::vector<float> thresholds(q.size(), 0.0f);
    std::ostringstream errors;
    const bool result = findFdrThresholds(q, volumeOf(map), volumeOf(null), cV, thresholds, errors);
    if (found != nullptr) *found = result;
    EXPECT_EQ(errors.str(), "");
    return thresholds;
}

const std::vector<float> A = {1, 2, 3, 4};
const std::vector<float> B = {0.5f, 1.5f, 2.5f, 3.5f};

TEST(FdrSearch, WalksDownFromTheLargestValueUntilTheFirstFailure) {
    // p = 0.25 equals its bound 0.25 at the second value: the strict comparison lets it pass.
    EXPECT_EQ(fdr(A, B, {0.5f}), std::vector<float>{3.0f});
    EXPECT_EQ(fdr(A, B, {0.99f}), std::vector<float>{0.0f}) << "nothing fails: every value passes";
    EXPECT_EQ(fdr(A, B, {0.1f}), std::vector<float>{4.0f});
    // Even the largest fails: the threshold is the largest value.
    EXPECT_EQ(fdr(A, {4.5f, 5.0f}, {0.5f}), std::vector<float>{4.0f});
    // Input order, signs and zeros do not matter.
    EXPECT_EQ(fdr({-3, 0, 4, 1, 0, -2}, {0, -3.5f, 1.5f, 0.5f, 2.5f}, {0.5f}), std::vector<float>{3.0f});
}

TEST(FdrSearch, NullValuesEqualToAMapValueAreNotGreater) {
    // Counting the equal null value as greater would fail the largest value (threshold 3).
    EXPECT_EQ(fdr({3, 3, 3, 3}, {1, 3}, {0.5f}), std::vector<float>{0.0f});
}

TEST(FdrSearch, EachThresholdStaysInTheSlotOfItsOwnQValue) {
    const std::vector<float> map = {-4, 2, 0, 3, 1};
    const std::vector<float> null = {0.5f, -1.5f, 2.5f, 3.5f, 0};
    EXPECT_EQ(fdr(map, null, {0.99f, 0.5f}), (std::vector<float>{0.0f, 3.0f}));
    EXPECT_EQ(fdr(map, null, {0.5f, 0.99f}), (std::vector<float>{3.0f, 0.0f}));
    EXPECT_EQ(fdr(A, B, {0.5f, 0.1f, 0.99f, 0.1f}), (std::vector<float>{3.0f, 4.0f, 0.0f, 4.0f}));
}

TEST(FdrSearch, SecondConstantDependsOnTheNumberOfValues) {
    // c = ln(4) + 0.5772 = 1.963: the second value's bound drops to 0.127 < p = 0.25.
    EXPECT_EQ(fdr(A, B, {0.5f}, 2), std::vector<float>{4.0f});
    // n = 1000: c = ln(1000) + 0.5772 = 7.4850. The 500 largest values have no null value
    // above them; below, every step down passes one more null value, so p = (r - 500) / 1000
    // at rank r, which first exceeds r / 1000 * 0.5 / c at r = 536 (value 465).
    std::vector<float> map;
    std::vector<float> null(500, 0.001f);
    for (int i = 1; i <= 1000; ++i) map.push_back(static_cast<float>(i));
    for (int v = 1; v <= 500; ++v) null.push_back(static_cast<float>(v) + 0.5f);
    EXPECT_EQ(fdr(map, null, {0.5f}, 2), std::vector<float>{466.0f});
    EXPECT_EQ(fdr(map, null, {0.5f}, 1), std::vector<float>{0.0f}) << "with c = 1 nothing fails";
}

TEST(FdrSearch, EmptyMapAndEmptyNullDistribution) {
    bool found = true;
    std::vector<float> thresholds = fdr({0, 0, 0}, {1, 2}, {0.05f}, 1, &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(thresholds, std::vector<float>{0.0f});

    // No nonzero null value: p = 1 everywhere, so even the largest fails, at every q
    // (never the "everything passes" threshold 0).
    EXPECT_EQ(fdr({1, 2, 3}, {0, 0, 0}, {0.01f, 0.99f}), (std::vector<float>{3.0f, 3.0f}));
}

TEST(FdrSearch, NonFiniteValuesAreLeftOutAndAnUnknownConstantIsReported) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(fdr({1, 2, nan, 3, 4, inf}, {0.5f, 1.5f, 2.5f, inf, 3.5f}, {0.5f}), std::vector<float>{3.0f});

    std::vector<float> thresholds(1, 0.0f);
    std::ostringstream errors;
    EXPECT_TRUE(findFdrThresholds({0.5f}, volumeOf(A), volumeOf(B), 7, thresholds, errors));
    EXPECT_EQ(errors.str(), "Unknown value for cVconst: 7 , only 1 or 2 allowed");
    EXPECT_EQ(thresholds, std::vector<float>{4.0f}) << "treated like cV 2, the stricter constant";
}

// ---- Maps in the host ----

class MapAssemblyTest : public FakeHostTest {
protected:
    void SetUp() override {
        FakeHostTest::SetUp();
        // A grid of 4 x 1 x 2 voxels: box 0..12 x 0..3 x 0..6, resolution 3.
        setup.xStart = 0;
        setup.xEnd = 12;
        setup.yStart = 0;
        setup.yEnd = 3;
        setup.zStart = 0;
        setup.zEnd = 6;
        setup.resolution = 3;
        setup.dimX = 4;
        setup.dimY = 1;
        setup.dimZ = 2;
        context.work.realMeasures = std::make_unique<MeasureVolumes>(2, 1, 4);
        context.work.nullMeasures = std::make_unique<MeasureVolumes>(2, 1, 4);
        voi.name = "V";
        voi.hostIndex = 0;
        setup.vois.push_back(voi);
    }

    void setMeasures(MeasureVolumes& m, const std::vector<float>& r2v, const std::vector<float>& v2r,
                     const std::vector<float>& inst) {
        for (int i = 0; i < 8; ++i) {
            m.ref2vox.data()[i] = r2v[i];
            m.vox2ref.data()[i] = v2r[i];
            m.inst.data()[i] = inst[i];
        }
    }

    int assemble(int conditionIndex) {
        if (!host().mapSetExists) {
            EXPECT_EQ(createMapSet(voi, setup, errors), 1) << errors.str();
        }
        const Condition& condition = setup.conditions[static_cast<std::size_t>(conditionIndex)];
        return assembleMaps(context, voi, condition, conditionIndex, setup, errors);
    }

    AnalysisSetup setup;
    AnalysisContext context;
    SelectedVoi voi;
    std::ostringstream errors;
};

TEST_F(MapAssemblyTest, SixMapKindsAgainstDirectValues) {
    addCondition(setup, "First");
    addCondition(setup, "Second");
    setup.parameters.mapScaleFactor = 100.0f;
    setup.parameters.dldiITInstLowerThres = 0.1f;
    setup.parameters.dldiRCUpperThres = 0.7f;
    const std::vector<float> r2v = {0.5f, 0.4f, 0.0f, 0.3f, 0.2f, 0.9f, 0.05f, 0.1f};
    const std::vector<float> v2r = {0.1f, 0.1f, 0.0f, 0.0f, 0.3f, 0.1f, 0.05f, 0.6f};
    // Voxel 1 at the IT threshold, voxel 4 just below it, voxel 2 with S = 0,
    // voxel 3 gives the ratio 0.3 / 0.4 = 0.75, above the RC upper threshold.
    const std::vector<float> inst = {0.2f, 0.1f, 0.0f, 0.1f, 0.09f, 0.3f, 0.2f, 0.15f};
    setMeasures(*context.work.realMeasures, r2v, v2r, inst);
    setMeasures(*context.work.nullMeasures, {0.01f, 0.02f, 0, 0.03f, 0.02f, 0.01f, 0.04f, 0.01f},
                {0.02f, 0.01f, 0, 0.01f, 0.03f, 0.02f, 0.01f, 0.02f}, {0.1f, 0.1f, 0, 0.1f, 0.1f, 0.2f, 0.1f, 0.1f});

    ASSERT_EQ(assemble(1), 1) << errors.str();
    ASSERT_EQ(host().maps.size(), 12u);
    EXPECT_TRUE(host().notes.empty());
    const float scale = 100.0f;
    for (int i = 0; i < 8; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        const float d = r2v[u] - v2r[u];
        const float dit = 0.1f > inst[u] ? 0.0f : d;
        const float s = std::fabs(dit) + inst[u];
        float rc = s != 0.0f ? dit / s : 0.0f;
        if (rc > 0.7f) rc = 0.0f;
        EXPECT_EQ(host().maps[6].voxels[u], r2v[u] * scale) << i;
        EXPECT_EQ(host().maps[7].voxels[u], v2r[u] * scale) << i;
        EXPECT_EQ(host().maps[8].voxels[u], inst[u] * scale) << i;
        EXPECT_EQ(host().maps[9].voxels[u], d * scale) << i;
        EXPECT_EQ(host().maps[10].voxels[u], dit * scale) << i;
        EXPECT_EQ(host().maps[11].voxels[u], rc) << i;
    }
    EXPECT_NE(host().maps[10].voxels[1], 0.0f) << "an instantaneous influence at the threshold keeps the voxel";
    EXPECT_EQ(host().maps[10].voxels[4], 0.0f);
    EXPECT_EQ(host().maps[11].voxels[2], 0.0f);
    EXPECT_EQ(host().maps[11].voxels[3], 0.0f) << "0.75 is above the upper threshold";
    for (int m = 0; m < 6; ++m) EXPECT_EQ(host().maps[static_cast<std::size_t>(m)].header.mapKind, 0) << m;

    const char* names[] = {"Second: Ref2Vox", "Second: Vox2Ref", "Second: Inst",
                           "Second: dLDI",    "Second: dLDI IT", "Second: dLDI RC"};
    const int32_t colours[6][4] = {{0x40, 0xFF, 0, 0},          {0x4000, 0xFF00, 0, 0},
                                   {0x400000, 0xFF0000, 0, 0},  {0x40, 0xFF, 0x4000, 0xFF00},
                                   {0x40, 0xFF, 0x4000, 0xFF00}, {0x40, 0xFF, 0x4000, 0xFF00}};
    for (int k = 0; k < 6; ++k) {
        const FakeMap& map = host().maps[static_cast<std::size_t>(6 + k)];
        EXPECT_STREQ(map.header.name, names[k]);
        EXPECT_EQ(map.header.mapKind, 101);
        EXPECT_EQ(map.header.positiveColourLow, colours[k][0]) << k;
        EXPECT_EQ(map.header.positiveColourHigh, colours[k][1]) << k;
        EXPECT_EQ(map.header.negativeColourLow, colours[k][2]) << k;
        EXPECT_EQ(map.header.negativeColourHigh, colours[k][3]) << k;
        EXPECT_EQ(map.header.useNegativeColours, 1) << k;
        if (k < 5) {
            const float t0 = map.fdrThresholds[0];
            EXPECT_EQ(map.header.lowerThreshold, t0) << k;
            EXPECT_EQ(map.header.upperThreshold, (k == 2 ? 5.0f : 3.0f) * t0) << k;
        }
    }
    const FakeMap& rc = host().maps[11];
    EXPECT_EQ(rc.header.lowerThreshold, 0.2f);
    EXPECT_EQ(rc.header.upperThreshold, 0.7f);
    EXPECT_EQ(rc.fdrThresholds, std::vector<float>(3, 0.0f));
}

TEST_F(MapAssemblyTest, ScaleFactorScalesValuesAndThresholdsButNotTheRatioMap) {
    addCondition(setup, "C");
    setup.parameters.qThresholdsForFDR = {0.5f};
    setup.parameters.cvConstantForFDR = 1;
    const std::vector<float> r2v = {0.4f, 0.1f, 0.3f, 0.2f, 0.05f, 0.35f, 0.15f, 0.25f};
    setMeasures(*context.work.realMeasures, r2v, std::vector<float>(8, 0.05f), std::vector<float>(8, 0.3f));
    setMeasures(*context.work.nullMeasures, {0.02f, 0.22f, 0.12f, 0.32f, 0.01f, 0.06f, 0.11f, 0.17f},
                std::vector<float>(8, 0.01f), std::vector<float>(8, 0.2f));

    std::vector<FakeMap> maps[2];
    const float factors[2] = {1.0f, 100.0f};
    for (int f = 0; f < 2; ++f) {
        setup.parameters.mapScaleFactor = factors[f];
        host().mapSetExists = false;
        ASSERT_EQ(assemble(0), 1) << errors.str();
        maps[f] = host().maps;
    }
    const FakeMap& ref1 = maps[0][0];
    const FakeMap& ref100 = maps[1][0];
    EXPECT_GT(ref1.fdrThresholds[0], 0.0f);
    EXPECT_EQ(ref100.fdrThresholds[0], ref1.fdrThresholds[0] * 100.0f);
    EXPECT_EQ(ref100.header.lowerThreshold, ref1.header.lowerThreshold * 100.0f);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(ref100.voxels[i], ref1.voxels[i] * 100.0f);
    EXPECT_EQ(maps[1][5].voxels, maps[0][5].voxels) << "DLDI_RC is never scaled";
    EXPECT_EQ(maps[1][5].header.lowerThreshold, 0.2f);
}

TEST_F(MapAssemblyTest, ThresholdSlotsFollowTheConfiguredQOrderAndTheDisplayTheStrictest) {
    addCondition(setup, "C");
    setup.parameters.mapTypesComputed = {REF2VOX};
    setup.parameters.qThresholdsForFDR = {0.99f, 0.5f};
    setup.parameters.cvConstantForFDR = 1;
    setup.parameters.mapScaleFactor = 1.0f;
    setMeasures(*context.work.realMeasures, {-4, 2, 0, 3, 1, 0, 0, 0}, std::vector<float>(8, 0), std::vector<float>(8, 0));
    setMeasures(*context.work.nullMeasures, {0.5f, -1.5f, 2.5f, 3.5f, 0, 0, 0, 0}, std::vector<float>(8, 0),
                std::vector<float>(8, 0));
    ASSERT_EQ(assemble(0), 1);
    const FakeMap& map = host().maps[0];
    EXPECT_EQ(host().levelLabels.size(), 2u);
    EXPECT_STREQ(host().levelLabels[0].text, "thres q=0.990");
    EXPECT_EQ(map.fdrThresholds, (std::vector<float>{0.0f, 3.0f}));
    EXPECT_EQ(map.header.lowerThreshold, 3.0f);
    EXPECT_EQ(map.header.upperThreshold, 9.0f);
}

TEST_F(MapAssemblyTest, AllZeroMapHasZeroThresholds) {
    addCondition(setup, "C");
    setMeasures(*context.work.realMeasures, std::vector<float>(8, 0), std::vector<float>(8, 0), std::vector<float>(8, 0));
    ASSERT_EQ(assemble(0), 1);
    for (std::size_t m = 0; m < 5; ++m) {
        EXPECT_EQ(host().maps[m].fdrThresholds, std::vector<float>(3, 0.0f)) << m;
        EXPECT_EQ(host().maps[m].header.lowerThreshold, 0.0f) << m;
        EXPECT_EQ(host().maps[m].header.upperThreshold, 0.0f) << m;
    }
}

TEST_F(MapAssemblyTest, MapIndexFollowsConditionAndKindOrder) {
    addCondition(setup, "A");
    addCondition(setup, "B");
    addCondition(setup, "C");
    setup.parameters.mapTypesComputed = {DLDI, REF2VOX};
    ASSERT_EQ(assemble(2), 1);
    EXPECT_STREQ(host().maps[4].header.name, "C: Ref2Vox");
    EXPECT_STREQ(host().maps[5].header.name, "C: dLDI");
    EXPECT_EQ(host().maps[3].header.mapKind, 0) << "other conditions' maps are untouched";
}

TEST_F(MapAssemblyTest, LongConditionNamesLoseTheirEndButKeepTheMapKind) {
    // Two-byte characters, so that a cut in the middle of one would be seen.
    std::string name;
    for (int i = 0; i < 150; ++i) name += "\xc3\xa9";
    addCondition(setup, name);
    ASSERT_EQ(assemble(0), 1);
    std::set<std::string> names;
    for (int k = 0; k < 6; ++k) {
        const std::string shown = host().maps[static_cast<std::size_t>(k)].header.name;
        EXPECT_LT(shown.size(), static_cast<std::size_t>(SY_MAP_NAME_CAPACITY));
        EXPECT_EQ(shown.find(':') % 2, 0u) << "whole characters only: " << shown;
        names.insert(shown.substr(shown.find(':')));
    }
    EXPECT_EQ(names, (std::set<std::string>{": Ref2Vox", ": Vox2Ref", ": Inst", ": dLDI", ": dLDI IT", ": dLDI RC"}));
    EXPECT_TRUE(host().notes.empty());
}

TEST_F(MapAssemblyTest, MissingHostBufferFailsWithTheVoiAndCondition) {
    addCondition(setup, "C");
    host().failGetMapIndices = {2};
    EXPECT_EQ(assemble(0), 3);
    EXPECT_EQ(errors.str(), "Failed to retrieve an allocated CMP map-pointer for VOI 'V', Condition 'C'");
    EXPECT_STREQ(host().maps[1].header.name, "C: Vox2Ref") << "earlier maps stay written";
}

// The searches run on several threads; every threshold must be the one the plain
// search finds on the map's own values, whatever the number of threads, with
// zeros, infinities and NaN among the measures.
TEST_F(MapAssemblyTest, ThresholdsAreThoseOfThePlainSearchForAnyNumberOfThreads) {
    setup.xEnd = 90;
    setup.yEnd = 60;
    setup.zEnd = 21;
    setup.dimX = 30;
    setup.dimY = 20;
    setup.dimZ = 7;
    const std::size_t count = 30 * 20 * 7;
    context.work.realMeasures = std::make_unique<MeasureVolumes>(7, 20, 30);
    context.work.nullMeasures = std::make_unique<MeasureVolumes>(7, 20, 30);
    addCondition(setup, "C");
    setup.parameters.cvConstantForFDR = 7;  // reported once per searched map
    RandomState random;
    seedRandom(random, 12345u);
    auto fill = [&](FloatVolume& v, float spread) {
        for (std::size_t i = 0; i < count; ++i) {
            const int draw = nextRandom(random);
            float value = spread * static_cast<float>(draw % 1000) / 997.0f;
            if (draw % 7 == 0) value = 0.0f;
            if (i == 17) value = std::numeric_limits<float>::infinity();
            if (i == 41) value = std::numeric_limits<float>::quiet_NaN();
            v.data()[i] = value;
        }
    };
    for (MeasureVolumes* m : {context.work.realMeasures.get(), context.work.nullMeasures.get()}) {
        const float spread = m == context.work.realMeasures.get() ? 1.0f : 0.6f;
        fill(m->ref2vox, spread);
        fill(m->vox2ref, spread);
        fill(m->inst, spread);
    }

    // The plain search over the values each map kind is made of.
    const float scale = setup.parameters.mapScaleFactor;
    const float it = setup.parameters.dldiITInstLowerThres;
    const std::vector<std::function<float(const MeasureVolumes&, std::size_t)>> kinds = {
        [&](const MeasureVolumes& m, std::size_t i) { return m.ref2vox.data()[i] * scale; },
        [&](const MeasureVolumes& m, std::size_t i) { return m.vox2ref.data()[i] * scale; },
        [&](const MeasureVolumes& m, std::size_t i) { return m.inst.data()[i] * scale; },
        [&](const MeasureVolumes& m, std::size_t i) { return (m.ref2vox.data()[i] - m.vox2ref.data()[i]) * scale; },
        [&](const MeasureVolumes& m, std::size_t i) {
            const float d = it > m.inst.data()[i] ? 0.0f : m.ref2vox.data()[i] - m.vox2ref.data()[i];
            return d * scale;
        }};
    std::vector<std::vector<float>> expected;
    for (const auto& value : kinds) {
        std::vector<float> map(count), null(count);
        for (std::size_t i = 0; i < count; ++i) {
            map[i] = value(*context.work.realMeasures, i);
            null[i] = value(*context.work.nullMeasures, i);
        }
        std::vector<float> thresholds(3, 0.0f);
        std::ostringstream ignored;
        EXPECT_TRUE(findFdrThresholds(setup.parameters.qThresholdsForFDR, map.data(), count, null.data(), count, 7,
                                      thresholds, ignored));
        expected.push_back(thresholds);
    }
    EXPECT_GT(expected[0][2], 0.0f) << "the data must give the search something to find";

    std::string firstMessages;
    for (int threads : {1, 2, 3}) {
        context.options.threads = threads;
        errors.str("");
        ASSERT_EQ(assemble(0), 1) << errors.str();
        for (std::size_t k = 0; k < 5; ++k) {
            EXPECT_EQ(host().maps[k].fdrThresholds, expected[k]) << "map " << k << ", " << threads << " threads";
            for (std::size_t i = 0; i < count; i += 97) {
                const float want = kinds[k](*context.work.realMeasures, i);
                if (std::isnan(want)) {
                    EXPECT_TRUE(std::isnan(host().maps[k].voxels[i])) << i;
                } else {
                    EXPECT_EQ(host().maps[k].voxels[i], want) << i;
                }
            }
        }
        if (threads == 1) firstMessages = errors.str();
        EXPECT_EQ(errors.str(), firstMessages);
    }
    std::string once = "Unknown value for cVconst: 7 , only 1 or 2 allowed";
    std::string fiveTimes;
    for (int k = 0; k < 5; ++k) fiveTimes += once;
    EXPECT_EQ(firstMessages, fiveTimes);
}

}  // namespace
