#include <dirent.h>

#include <string>
#include <vector>

#include "setup_dialog_fixture.h"

using namespace ldi;

namespace {

using namespace setup_messages;

const std::string methodMenu =
    "<b>Interval selection</b><br>How do you want to select the vtc-intervals (conditions) used "
    "to compute the LDIs?<br><br><b>Choose an option:</b><br>1. Manually specify a single "
    "interval per VTC<br>2. Specify a condition from a loaded protocol (.prt) for every VTC to "
    "define the intervals";
const std::string namePrompt =
    "<b>Add a Condition</b><br> Give a name for a set of intervals (Condition) used to compute "
    "LDIs over (or press OK while empty to stop adding):";
const std::string vtcFilter = "Volume Time Course Files (*.vtc)";

class ConditionSetupTest : public SetupDialogTest {
protected:
    void SetUp() override {
        SetupDialogTest::SetUp();
        host().addVoi("V1", {{1, 1, 1}});
        host().addVoi("V2", {{2, 2, 2}});
    }
    // VOI dialog: the first VOI, then stop.
    void scriptOneVoi() {
        host().answerInteger(1);
        host().answerInteger(0);
    }
    // A VTC with a manual interval.
    void scriptVtc(const std::string& path, int first = 5, int last = 100) {
        host().answerText(path);
        host().answerInteger(first);
        host().answerInteger(last);
    }
};

TEST_F(ConditionSetupTest, CancelInTheMethodMenuEndsBeforeAnyCondition) {
    setup.xStart = 3;
    setup.resolution = 2;
    setup.maxVolumes = 40;
    scriptOneVoi();
    host().answerCancel();

    EXPECT_EQ(runAnalysisSetup(plugin.echoSelections, setup, voiList()), 0);

    EXPECT_EQ(host().callCount("syGetTextInput"), 0);
    const FakeCall* method = host().lastCall("syGetIntegerInput");
    ASSERT_NE(method, nullptr);
    EXPECT_EQ(method->texts[0], methodMenu);
    EXPECT_EQ(method->numbers, (std::vector<long long>{1, 1, 2}));
    // The geometry of an earlier run never leaks into this one.
    EXPECT_EQ(setup.xStart, -1);
    EXPECT_EQ(setup.resolution, -1);
    EXPECT_EQ(setup.maxVolumes, -1);
    EXPECT_TRUE(host().notes.empty());
}

TEST_F(ConditionSetupTest, CancelInTheVoiDialogEndsTheSetUp) {
    host().answerCancel();
    EXPECT_EQ(runAnalysisSetup(plugin.echoSelections, setup, voiList()), 0);
    EXPECT_EQ(host().callCount("syGetIntegerInput"), 1);
}

TEST_F(ConditionSetupTest, ConditionNamesEmptyDuplicateAndOtherCase) {
    const std::string vtc = writeVtc("run.vtc");
    scriptOneVoi();
    host().answerInteger(1);
    host().answerText("");  // refused: no condition yet
    host().answerText("A");
    scriptVtc(vtc);
    host().answerCancel();  // no more VTCs for A
    host().answerText("A");  // refused: exact duplicate
    host().answerText("a");  // accepted: other capitalisation
    scriptVtc(vtc);
    host().answerCancel();
    host().answerText(" ");  // blanks are a name
    scriptVtc(vtc);
    host().answerCancel();
    host().answerText("");  // ends the loop
    host().answerText(dir.path("results/P"));

    EXPECT_EQ(runAnalysisSetup(plugin.echoSelections, setup, voiList()), 1);

    EXPECT_EQ(host().messageBoxes, (std::vector<std::string>{noCondition, conditionExists}));
    ASSERT_EQ(setup.conditions.size(), 3u);
    EXPECT_EQ(setup.conditions[0].name, "A");
    EXPECT_EQ(setup.conditions[1].name, "a");
    EXPECT_EQ(setup.conditions[2].name, " ");
    EXPECT_EQ(setup.outputPrefix, dir.path("results/P"));

    for (const FakeCall& call : host().calls) {
        if (call.function != "syGetTextInput") continue;
        EXPECT_EQ(call.texts, (std::vector<std::string>{namePrompt, ""}));
        EXPECT_EQ(call.numbers, std::vector<long long>{SY_TEXT_INPUT_CAPACITY});
    }
    const FakeCall* save = host().lastCall("syGetSaveFileName");
    ASSERT_NE(save, nullptr);
    EXPECT_EQ(save->texts,
              (std::vector<std::string>{"Choose path and name-prefix for results:", "", ""}));
    EXPECT_EQ(save->numbers, std::vector<long long>{SY_SAVE_FILE_CAPACITY});
    EXPECT_TRUE(host().notes.empty());
}

TEST_F(ConditionSetupTest, CancelOfTheNameOrTheSaveDialogEndsWithZero) {
    const std::string vtc = writeVtc("run.vtc");
    scriptOneVoi();
    host().answerInteger(1);
    host().answerText("A");
    scriptVtc(vtc);
    host().answerCancel();
    host().answerText("");
    host().answerCancel();  // save dialog

    EXPECT_EQ(runAnalysisSetup(plugin.echoSelections, setup, voiList()), 0);
    EXPECT_TRUE(setup.outputPrefix.empty());
    ASSERT_EQ(setup.conditions.size(), 1u);
    EXPECT_EQ(setup.conditions[0].entries.size(), 1u);

    host().reset();
    host().addVoi("V1", {{1, 1, 1}});
    AnalysisSetup second;
    scriptOneVoi();
    host().answerInteger(1);
    host().answerText("A");
    scriptVtc(vtc);
    host().answerCancel();
    host().answerCancel();  // name input, although a condition exists

    EXPECT_EQ(runAnalysisSetup(plugin.echoSelections, second, voiList()), 0);
    EXPECT_EQ(host().callCount("syGetSaveFileName"), 0);
    EXPECT_EQ(second.conditions.size(), 1u);
}

TEST_F(ConditionSetupTest, SameVtcInTwoConditionsIsAccepted) {
    const std::string vtc = writeVtc("run.vtc");
    scriptOneVoi();
    host().answerInteger(1);
    host().answerText("A");
    scriptVtc(vtc, 5, 50);
    host().answerCancel();
    host().answerText("B");
    scriptVtc(vtc, 51, 100);
    host().answerCancel();
    host().answerText("");
    host().answerText("P");

    EXPECT_EQ(runAnalysisSetup(plugin.echoSelections, setup, voiList()), 1);

    EXPECT_TRUE(host().messageBoxes.empty());
    ASSERT_EQ(setup.conditions.size(), 2u);
    for (const Condition& condition : setup.conditions) {
        ASSERT_EQ(condition.entries.size(), 1u);
        EXPECT_EQ(condition.entries[0].sourcePath, vtc);
        EXPECT_EQ(condition.entries[0].targetPath, vtc);
    }
    EXPECT_EQ(setup.conditions[1].entries[0].intervals[0].first, 51);
}

TEST_F(ConditionSetupTest, PairModeRunsThePairDialogsAndMovesOnWhenTheSourceIsCancelled) {
    setup.parameters.separateSourceTargetVTCs = true;
    const std::string source = writeVtc("source.vtc");
    const std::string target = writeVtc("target.vtc");
    scriptOneVoi();
    host().answerInteger(1);
    host().answerText("A");
    host().answerText(source);
    host().answerText(target);
    host().answerInteger(5);
    host().answerInteger(100);
    host().answerCancel();  // source dialog with one pair: next condition name
    host().answerText("");
    host().answerText("P");

    EXPECT_EQ(runAnalysisSetup(plugin.echoSelections, setup, voiList()), 1);
    ASSERT_EQ(setup.conditions.size(), 1u);
    ASSERT_EQ(setup.conditions[0].entries.size(), 1u);
    EXPECT_EQ(setup.conditions[0].entries[0].sourcePath, source);
    EXPECT_EQ(setup.conditions[0].entries[0].targetPath, target);
    EXPECT_TRUE(host().notes.empty());
}

// The whole echo of a set-up, in the order the user made the choices.
TEST_F(ConditionSetupTest, EchoLogOfAWholeSetUp) {
    const std::string a = writeVtc("a.vtc");
    const std::string b = writeVtc("b.vtc");
    host().answerInteger(2);
    host().answerInteger(1);
    host().answerInteger(0);
    host().answerInteger(1);
    host().answerText("A");
    scriptVtc(a, 5, 100);
    scriptVtc(b, 10, 50);
    host().answerCancel();
    host().answerText("B");
    scriptVtc(a, 1, 20);
    host().answerCancel();
    host().answerText("");
    host().answerText("P");

    EXPECT_EQ(runAnalysisSetup(plugin.echoSelections, setup, voiList()), 1);

    EXPECT_EQ(logged(), (std::vector<std::string>{
                            "// LDI> Selected VOI's:\n// LDI> ",
                            "// LDI> <b>V2</b>",
                            "// LDI> <b>V1</b>",
                            "// LDI> \n// LDI> Selected condition structure:\n// LDI> ",
                            "// LDI> <b>A</b>",
                            "// LDI> \t" + a,
                            "// LDI> \t\t5\t-\t100",
                            "// LDI> \t" + b,
                            "// LDI> \t\t10\t-\t50",
                            "// LDI> <b>B</b>",
                            "// LDI> \t" + a,
                            "// LDI> \t\t1\t-\t20",
                        }));
    EXPECT_TRUE(host().notes.empty());
}

// ---- VTC files of one condition ----

class VtcSelectionTest : public SetupDialogTest {
protected:
    void scriptManual(const std::string& path, int first = 5, int last = 100) {
        host().answerText(path);
        host().answerInteger(first);
        host().answerInteger(last);
    }
};

TEST_F(VtcSelectionTest, SameVtcTwiceInOneConditionIsRefusedBeforeItIsOpened) {
    Condition& condition = addCondition(setup, "A");
    // Already in the condition but absent from disk: only the duplicate test
    // can refuse it without touching the file.
    const std::string gone = dir.path("gone.vtc");
    addVtcEntry(condition, gone, gone);
    const std::string vtc = writeVtc("run.vtc");
    host().answerText(gone);
    scriptManual(vtc);
    host().answerText(vtc);
    host().answerCancel();

    EXPECT_EQ(selectVtcs(plugin.echoSelections, setup, condition, INTERVALS_MANUAL), 1);

    EXPECT_EQ(host().messageBoxes, (std::vector<std::string>{vtcExists, vtcExists}));
    ASSERT_EQ(condition.entries.size(), 2u);
    EXPECT_EQ(condition.entries[1].sourcePath, vtc);
    EXPECT_EQ(condition.entries[1].targetPath, vtc);
    ASSERT_EQ(condition.entries[1].intervals.size(), 1u);
}

TEST_F(VtcSelectionTest, CancelWithoutAnEntryAsksAgainAndTheTitleNamesTheCondition) {
    const std::string name(250, 'c');  // as long as the name input allows
    Condition& condition = addCondition(setup, name);
    const std::string vtc = writeVtc("run.vtc");
    host().answerCancel();
    scriptManual(vtc);
    host().answerCancel();

    EXPECT_EQ(selectVtcs(plugin.echoSelections, setup, condition, INTERVALS_MANUAL), 1);

    EXPECT_EQ(host().messageBoxes, std::vector<std::string>{noVtc});
    EXPECT_EQ(condition.entries.size(), 1u);
    for (const FakeCall& call : host().calls) {
        if (call.function != "syGetOpenFileName") continue;
        EXPECT_EQ(call.texts, (std::vector<std::string>{
                                  "Add a VTC for condition: " + name + " (cancel to stop adding)",
                                  "", vtcFilter}));
        EXPECT_EQ(call.numbers, std::vector<long long>{SY_OPEN_FILE_CAPACITY});
    }
}

TEST_F(VtcSelectionTest, BoxOrResolutionMismatchIsRefusedAndMoreVolumesRaiseTheMaximum) {
    Condition& condition = addCondition(setup, "A");
    VtcWriterOptions first;  // box 0..6 on every axis, resolution 3, 10 volumes
    VtcWriterOptions otherBox = first;
    otherBox.yEnd = 9;
    VtcWriterOptions otherResolution = first;
    otherResolution.resolution = 2;
    VtcWriterOptions longer = first;
    longer.numVolumes = 25;
    longer.dataType = 1;  // the data type is not part of the geometry
    longer.tr = 1000.0f;  // nor is the TR
    VtcWriterOptions shorter = first;
    shorter.numVolumes = 8;

    scriptManual(writeVtc("first.vtc", first));
    host().answerText(writeVtc("box.vtc", otherBox));
    host().answerText(writeVtc("resolution.vtc", otherResolution));
    host().answerText(dir.path("missing.vtc"));
    scriptManual(writeVtc("longer.vtc", longer));
    scriptManual(writeVtc("shorter.vtc", shorter));
    host().answerCancel();

    EXPECT_EQ(selectVtcs(plugin.echoSelections, setup, condition, INTERVALS_MANUAL), 1);

    EXPECT_EQ(host().messageBoxes,
              (std::vector<std::string>{vtcUnusable, vtcUnusable, vtcUnusable}));
    ASSERT_EQ(condition.entries.size(), 3u);
    EXPECT_EQ(setup.xStart, 0);
    EXPECT_EQ(setup.xEnd, 6);
    EXPECT_EQ(setup.yEnd, 6);
    EXPECT_EQ(setup.zEnd, 6);
    EXPECT_EQ(setup.resolution, 3);
    EXPECT_EQ(setup.maxVolumes, 25);
    EXPECT_TRUE(host().notes.empty());
}

TEST_F(VtcSelectionTest, IntervalStatusEndsTheConditionAndUnknownMethodIsTerminal) {
    Condition& condition = addCondition(setup, "A");
    const std::string vtc = writeVtc("run.vtc");
    host().answerText(vtc);
    host().answerCancel();  // first volume

    EXPECT_EQ(selectVtcs(plugin.echoSelections, setup, condition, INTERVALS_MANUAL), 0);
    ASSERT_EQ(condition.entries.size(), 1u);  // added before its intervals
    EXPECT_TRUE(condition.entries[0].intervals.empty());

    Condition& other = addCondition(setup, "B");
    host().answerText(vtc);
    EXPECT_EQ(selectVtcs(plugin.echoSelections, setup, other, 7), 3);
    EXPECT_EQ(other.entries.size(), 1u);
    EXPECT_EQ(logged().back(), "// LDI> ERROR: Unknown VTC interval specification method");
}

// ---- Source/target pairs ----

TEST_F(VtcSelectionTest, PairsRefuseADuplicateAndAcceptTheSameSourceWithAnotherTarget) {
    Condition& condition = addCondition(setup, "A");
    const std::string source = writeVtc("s.vtc");
    const std::string target1 = writeVtc("t1.vtc");
    const std::string target2 = writeVtc("t2.vtc");
    host().answerText(source);
    host().answerText(target1);
    host().answerInteger(5);
    host().answerInteger(100);
    host().answerText(source);
    host().answerText(target1);  // refused
    host().answerText(source);
    host().answerText(target2);
    host().answerInteger(6);
    host().answerInteger(90);
    host().answerCancel();

    EXPECT_EQ(selectVtcPairs(plugin.echoSelections, setup, condition, INTERVALS_MANUAL), 1);

    EXPECT_EQ(host().messageBoxes, std::vector<std::string>{pairExists});
    ASSERT_EQ(condition.entries.size(), 2u);
    EXPECT_EQ(condition.entries[1].targetPath, target2);
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            "// LDI> \tsrc: " + source + "\n// LDI> \ttrg: " + target1,
                            "// LDI> \t\t5\t-\t100",
                            "// LDI> \tsrc: " + source + "\n// LDI> \ttrg: " + target2,
                            "// LDI> \t\t6\t-\t90",
                        }));
    // Titles, and the interval prompts show the source file.
    const std::vector<std::string> titles = prompts("syGetOpenFileName");
    ASSERT_EQ(titles.size(), 7u);
    EXPECT_EQ(titles[0], "Add a SOURCE VTC (reference) for condition: A (cancel to stop adding)");
    EXPECT_EQ(titles[1],
              "Add a TARGET VTC (voxels) for condition: A (mandatory, cancel only to exit)");
    EXPECT_EQ(prompts("syGetIntegerInput")[0],
              "Specify <b>first</b> time-point(volume) of interval in<br><i>" + source + "</i>");
}

TEST_F(VtcSelectionTest, CancelledTargetEndsTheWholeSetUpEvenForASecondPair) {
    Condition& condition = addCondition(setup, "A");
    const std::string source = writeVtc("s.vtc");
    const std::string target = writeVtc("t.vtc");
    host().answerText(source);
    host().answerText(target);
    host().answerInteger(5);
    host().answerInteger(100);
    host().answerText(source);
    host().answerCancel();

    EXPECT_EQ(selectVtcPairs(plugin.echoSelections, setup, condition, INTERVALS_MANUAL), 0);
    EXPECT_EQ(condition.entries.size(), 1u);
    EXPECT_TRUE(host().messageBoxes.empty());
}

TEST_F(VtcSelectionTest, ReadableSourceWithUnreadableTargetKeepsTheSourceGeometry) {
    Condition& condition = addCondition(setup, "A");
    VtcWriterOptions sourceOptions;
    sourceOptions.xStart = 57;
    sourceOptions.xEnd = 231;
    sourceOptions.numVolumes = 20;
    const std::string source = writeVtc("s.vtc", sourceOptions);
    VtcWriterOptions broken;
    broken.version = 1;
    const std::string target = writeVtc("t.vtc", broken);
    host().answerText(source);
    host().answerText(target);
    host().answerCancel();  // source dialog without an entry: message, asked again
    host().answerText(source);
    host().answerCancel();  // target: ends the set-up

    EXPECT_EQ(selectVtcPairs(plugin.echoSelections, setup, condition, INTERVALS_MANUAL), 0);

    EXPECT_EQ(host().messageBoxes, (std::vector<std::string>{pairUnusable, noPair}));
    EXPECT_TRUE(condition.entries.empty());
    EXPECT_EQ(setup.xStart, 57);
    EXPECT_EQ(setup.xEnd, 231);
    EXPECT_EQ(setup.yEnd, 6);
    EXPECT_EQ(setup.resolution, 3);
    EXPECT_EQ(setup.maxVolumes, 20);
}

// ---- probeVtc ----

int openFileCount() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) ++count;
        closedir(fds);
    }
    return count;
}

TEST_F(VtcSelectionTest, ProbeLeavesNoFileOpenOnAnyPath) {
    VtcWriterOptions cut;
    cut.truncateAt = 7;  // ends inside the source name
    VtcWriterOptions oldVersion;
    oldVersion.version = 1;
    VtcWriterOptions otherBox;
    otherBox.zEnd = 12;
    const std::string good = writeVtc("good.vtc");
    const std::string truncated = writeVtc("cut.vtc", cut);
    const std::string rejected = writeVtc("v1.vtc", oldVersion);
    const std::string mismatching = writeVtc("box.vtc", otherBox);

    const int before = openFileCount();
    EXPECT_FALSE(probeVtc(setup, truncated));
    EXPECT_FALSE(probeVtc(setup, rejected));
    EXPECT_FALSE(probeVtc(setup, dir.path("absent.vtc")));
    EXPECT_EQ(setup.xStart, -1);  // failed probes set nothing
    EXPECT_EQ(setup.maxVolumes, -1);
    EXPECT_TRUE(probeVtc(setup, good));
    EXPECT_FALSE(probeVtc(setup, mismatching));
    EXPECT_EQ(openFileCount(), before);

    EXPECT_EQ(setup.zEnd, 6);
    EXPECT_EQ(setup.maxVolumes, 10);
}

}  // namespace
