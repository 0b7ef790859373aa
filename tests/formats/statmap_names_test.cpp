// The names of the statistical maps: each entity once, in the BIDS schema's
// order, and read back by the group level whatever form ldi wrote them in.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "formats/confounds.h"
#include "formats/statmap_names.h"
#include "support/vtc_writer.h"

namespace ldi {
namespace {

TEST(StatMapNames, RunEntitiesAreSharedOnceInSchemaOrderWithoutTheRunsDesc) {
    // fMRIPrep's run: its desc-preproc is not the map's, and a repeated
    // entity or one out of order comes out once, in place.
    EXPECT_EQ(derivativeEntities({"d/sub-01_task-rest_space-MNI_desc-preproc_bold.nii.gz"}),
              "sub-01_task-rest_space-MNI");
    EXPECT_EQ(derivativeEntities({"sub-01_space-MNI_task-rest_acq-mb_run-1_bold.nii",
                                  "sub-01_space-MNI_task-rest_acq-mb_run-2_bold.nii"}),
              "sub-01_task-rest_acq-mb_space-MNI");
    EXPECT_EQ(derivativeEntities({"sub-01_task-a_task-b_bold.nii"}), "sub-01_task-a");
    // Entities the schema does not know follow those it does.
    EXPECT_EQ(derivativeEntities({"lab-x_sub-02_ses-1_bold.nii"}), "sub-02_ses-1_lab-x");
    // Map entities in an input's name (a map analysed again) are not the runs'.
    EXPECT_EQ(derivativeEntities({"sub-01_task-a_seed-S_stat-z_bold.nii"}), "sub-01_task-a");
    EXPECT_EQ(derivativeEntities({"run.nii.gz"}), "");
}

TEST(StatMapNames, EveryEntityOfAMapNameAppearsOnce) {
    const std::string prefix = derivativeEntities({"sub-01_ses-2_task-rest_space-MNI_desc-preproc_bold.nii.gz"});
    for (const char* statistic : {kStatEffect, kStatZ, kStatP}) {
        const std::string name = statMapStem(prefix, "PCC", "rest", "dldi", statistic) + "_statmap.nii.gz";
        std::vector<std::string> keys;
        for (const auto& entity : fileEntities(name)) {
            EXPECT_EQ(std::count(keys.begin(), keys.end(), entity.first), 0) << entity.first << " in " << name;
            keys.push_back(entity.first);
        }
        EXPECT_EQ(keys, (std::vector<std::string>{"sub", "ses", "task", "space", "seed", "cond", "contrast", "stat"}));
    }
}

TEST(StatMapNames, CurrentAndEarlierNamesOfOneMapGiveOneKey) {
    StatMapName current, earlier, earlierZ, group;
    ASSERT_TRUE(parseStatMapName(
        "sub-03_task-rest_space-MNI_seed-A_cond-Task_contrast-inst_stat-z_statmap.nii.gz", current));
    EXPECT_TRUE(current.current);
    EXPECT_EQ(current.subject, "03");
    EXPECT_EQ(current.kind, "inst");
    EXPECT_EQ(current.statistic, "z");
    EXPECT_EQ(current.key, "task-rest_space-MNI_seed-A_cond-Task_contrast-inst");
    // The earlier form kept the runs' desc-preproc and said z by a second desc-.
    ASSERT_TRUE(parseStatMapName(
        "sub-03_task-rest_space-MNI_desc-preproc_seed-A_cond-Task_stat-inst_desc-z_ldi.nii.gz", earlierZ));
    EXPECT_FALSE(earlierZ.current);
    EXPECT_EQ(earlierZ.statistic, "z");
    EXPECT_EQ(earlierZ.key, current.key);
    ASSERT_TRUE(parseStatMapName("sub-03_task-rest_space-MNI_desc-preproc_seed-A_cond-Task_stat-dldi_ldi.nii.gz",
                                 earlier));
    EXPECT_EQ(earlier.statistic, "effect");
    EXPECT_EQ(earlier.kind, "dldi");
    ASSERT_TRUE(parseStatMapName("task-rest_seed-A_cond-Task_contrast-dldi_stat-p_desc-fwe_statmap.nii.gz", group));
    EXPECT_EQ(group.desc, "fwe");
    EXPECT_EQ(group.subject, "");
    // Not maps: the index, the set, a sidecar, another tool's file.
    StatMapName ignored;
    EXPECT_FALSE(parseStatMapName("sub-03_task-rest_seed-A_ldi.json", ignored));
    EXPECT_FALSE(parseStatMapName("sub-03_task-rest_seed-A_cond-T_contrast-dldi_stat-z_statmap.json", ignored));
    EXPECT_FALSE(parseStatMapName("sub-03_task-rest_desc-preproc_bold.nii.gz", ignored));
    EXPECT_FALSE(parseStatMapName("sub-03_task-rest_cond-T_contrast-dldi_stat-z_statmap.nii.gz", ignored));
}

TEST(NonSteadyStateColumns, LeadingMarkedVolumesAreCountedAndNoColumnMeansNone) {
    TestTempDir dir;
    const std::string marked = dir.path("marked.tsv");
    std::ofstream(marked) << "csf\tnon_steady_state_outlier00\tnon_steady_state_outlier01\ttrans_x\n"
                             "1\t1\t0\t0\n2\t0\t1\t0\n3\t0\t0\tn/a\n4\t0\t0\t0\n";
    int32_t leading = -1;
    std::string problem;
    ASSERT_TRUE(nonSteadyStateColumns(marked, leading, problem)) << problem;
    EXPECT_EQ(leading, 2);
    const std::string none = dir.path("none.tsv");
    std::ofstream(none) << "csf\ttrans_x\n1\t0\n2\t0\n";
    ASSERT_TRUE(nonSteadyStateColumns(none, leading, problem)) << problem;
    EXPECT_EQ(leading, 0);
    EXPECT_FALSE(nonSteadyStateColumns(dir.path("missing.tsv"), leading, problem));
    EXPECT_NE(problem.find("missing.tsv"), std::string::npos) << problem;
}

}  // namespace
}  // namespace ldi
