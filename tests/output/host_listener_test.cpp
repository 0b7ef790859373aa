// The engine's progress events as the log pane shows them: the lines users and
// their scripts read, which must not change with the way the engine reports.
#include <gtest/gtest.h>

#include <string>

#include "output/host_listener.h"

using namespace ldi;

namespace {

EngineProgress event(EngineProgress::Stage stage, const std::string& text = "", double fraction = 0.0) {
    EngineProgress progress;
    progress.stage = stage;
    progress.seed = 0;
    progress.condition = 1;
    progress.fraction = fraction;
    progress.text = text;
    return progress;
}

TEST(LogPaneText, EveryStageHasItsLogPaneLines) {
    using Stage = EngineProgress::Stage;
    EXPECT_EQ(logPaneText(event(Stage::surrogates)), "// LDI>\n// LDI> Generating surrogate ref time-courses...");
    EXPECT_EQ(logPaneText(event(Stage::condition, "Task <1>")), "// LDI>\n// LDI>\tCondition: <em>Task <1></em>");
    EXPECT_EQ(logPaneText(event(Stage::maps)), "// LDI>\n// LDI>\tComputing maps and thresholds... ");
    EXPECT_EQ(logPaneText(event(Stage::warning, "WARNING: something")), "// LDI> WARNING: something");
    EXPECT_EQ(logPaneText(event(Stage::voxelCounts, "Voxels skipped: 3\t(1.0%)\nVoxels ill-defined: 0\t(0.0%)")),
              "// LDI>\tVoxels skipped: 3\t(1.0%)\n// LDI>\tVoxels ill-defined: 0\t(0.0%)");
}

TEST(LogPaneText, SliceProgressIsWholeTensOfPercent) {
    for (int percent = 0; percent <= 100; percent += 10)
        EXPECT_EQ(logPaneText(event(EngineProgress::Stage::slices, "", percent / 100.0)),
                  "// LDI>\t" + std::to_string(percent) + "%...");
}

}  // namespace
