#include <gtest/gtest.h>

#include "setup/analysis_setup.h"

using namespace ldi;

namespace {

TEST(AnalysisSetup, StartsWithDefaultsEmptyListsAndUnsetGeometry) {
    AnalysisSetup setup;
    EXPECT_EQ(setup.parameters.autoRegressionOrder, 1);
    EXPECT_EQ(setup.parameters.qThresholdsForFDR, (std::vector<float>{0.01f, 0.05f, 0.1f}));
    EXPECT_TRUE(setup.outputPrefix.empty());
    EXPECT_TRUE(setup.vois.empty());
    EXPECT_TRUE(setup.conditions.empty());
    for (int32_t field : {setup.xStart, setup.xEnd, setup.yStart, setup.yEnd, setup.zStart,
                          setup.zEnd, setup.resolution, setup.maxVolumes})
        EXPECT_EQ(field, -1);
}

TEST(AnalysisSetup, VoisAreIdentifiedByHostIndexNotByName) {
    AnalysisSetup setup;
    const int32_t voxels[] = {1, 2, 3};
    setup.vois.push_back(SelectedVoi{"V", 1, 1, voxels, 0});
    setup.vois.push_back(SelectedVoi{"V", 4, 1, voxels, 0});
    EXPECT_TRUE(isVoiSelected(setup, 1));
    EXPECT_TRUE(isVoiSelected(setup, 4));
    EXPECT_FALSE(isVoiSelected(setup, 2));
    EXPECT_FALSE(isVoiSelected(setup, 0));
    EXPECT_EQ(setup.vois[0].voxels, voxels);
}

TEST(AnalysisSetup, ConditionNamesCompareExactly) {
    AnalysisSetup setup;
    addCondition(setup, "A");
    EXPECT_TRUE(hasCondition(setup, "A"));
    EXPECT_FALSE(hasCondition(setup, "a"));
    EXPECT_FALSE(hasCondition(setup, "A "));
    EXPECT_FALSE(hasCondition(setup, ""));
}

TEST(AnalysisSetup, EntriesCompareTheSourceAndTargetPair) {
    AnalysisSetup setup;
    Condition& first = addCondition(setup, "A");
    addVtcEntry(first, "s.vtc", "t1.vtc");
    EXPECT_TRUE(hasVtcEntry(first, "s.vtc", "t1.vtc"));
    EXPECT_FALSE(hasVtcEntry(first, "s.vtc", "t2.vtc"));
    EXPECT_FALSE(hasVtcEntry(first, "t1.vtc", "s.vtc"));
    EXPECT_FALSE(hasVtcEntry(first, "./s.vtc", "t1.vtc"));
    Condition& second = addCondition(setup, "B");
    EXPECT_FALSE(hasVtcEntry(second, "s.vtc", "t1.vtc"));

    VtcEntry& entry = addVtcEntry(second, "s.vtc", "t1.vtc");
    EXPECT_TRUE(entry.intervals.empty());
    EXPECT_EQ(entry.sourceVtc, nullptr);
    EXPECT_EQ(entry.targetVtc, nullptr);
}

TEST(AnalysisSetup, ReferencesStayValidWhileListsGrow) {
    AnalysisSetup setup;
    Condition& first = addCondition(setup, "C0");
    VtcEntry& firstEntry = addVtcEntry(first, "a.vtc", "a.vtc");
    for (int i = 1; i < 200; ++i) {
        addCondition(setup, "C" + std::to_string(i));
        addVtcEntry(first, "f" + std::to_string(i) + ".vtc", "x.vtc");
    }
    firstEntry.intervals.push_back(Interval{5, 100});
    EXPECT_EQ(&first, &setup.conditions.front());
    EXPECT_EQ(first.name, "C0");
    EXPECT_EQ(&firstEntry, &setup.conditions.front().entries.front());
    EXPECT_EQ(setup.conditions.front().entries.front().intervals.size(), 1u);
    EXPECT_EQ(setup.conditions.back().name, "C199");
}

}  // namespace
