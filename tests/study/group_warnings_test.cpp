// The group level's warning for the plain t on skewed subject maps.
#include <gtest/gtest.h>

#include <string>

#include "study/group_maps.h"

using namespace ldi;

TEST(GroupWarnings, ThePlainTOnSkewedMapsIsWarnedOfWithTheMeasure) {
    struct Case {
        GroupStatistic statistic;
        double skewness;
        bool warned;
    };
    const Case cases[] = {{GroupStatistic::t, 0.93, true},         {GroupStatistic::t, -0.5, true},
                          {GroupStatistic::t, 0.05, false},        {GroupStatistic::t, -0.19, false},
                          {GroupStatistic::flooredT, 0.93, false}, {GroupStatistic::flooredT, -2.0, false}};
    for (const Case& c : cases) {
        const std::string warning = skewedMapsWarning(c.statistic, c.skewness, "seed-A_cond-Task_ref2vox");
        EXPECT_EQ(!warning.empty(), c.warned) << c.skewness;
        if (!c.warned) continue;
        EXPECT_NE(warning.find("seed-A_cond-Task_ref2vox"), std::string::npos) << warning;
        EXPECT_NE(warning.find("median over the voxels of the subjects' sample skewness"), std::string::npos);
        char value[32];
        std::snprintf(value, sizeof value, "%.2f", c.skewness);
        EXPECT_NE(warning.find(value), std::string::npos) << warning;
        EXPECT_NE(warning.find("--group-statistic floored-t"), std::string::npos);
    }
}
