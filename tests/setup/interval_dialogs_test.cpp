#include <string>
#include <vector>

#include "setup_dialog_fixture.h"

using namespace ldi;

namespace {

const std::string vtcPath = "/data/run1.vtc";
const std::string protocolPath = "/data/task.prt";

std::string tooShort(int first, int last, int order) {
    return "<b>Invalid selection</b><br>The interval (" + std::to_string(first) + ", " +
           std::to_string(last) + ") is too short: last-first+1 must be greater than AR-order(" +
           std::to_string(order) + ")<br><br>Try again after closing this dialog";
}

std::vector<std::pair<int, int>> pairsOf(const VtcEntry& entry) {
    std::vector<std::pair<int, int>> pairs;
    for (const Interval& interval : entry.intervals) pairs.emplace_back(interval.first, interval.last);
    return pairs;
}

using Pairs = std::vector<std::pair<int, int>>;

class ManualIntervalTest : public SetupDialogTest {
protected:
    VtcEntry entry;
};

TEST_F(ManualIntervalTest, LengthOneIsRefusedAtOrderOneAndLengthTwoAccepted) {
    host().answerInteger(5);
    host().answerInteger(5);
    host().answerInteger(5);
    host().answerInteger(6);

    EXPECT_EQ(specifyIntervalManually(plugin.echoSelections, entry, vtcPath, 1), 1);

    EXPECT_EQ(host().messageBoxes, std::vector<std::string>{tooShort(5, 5, 1)});
    EXPECT_EQ(pairsOf(entry), (Pairs{{5, 6}}));
    EXPECT_EQ(logged(), std::vector<std::string>{"// LDI> \t\t5\t-\t6"});

    const std::vector<FakeCall>& calls = host().calls;
    std::vector<const FakeCall*> inputs;
    for (const FakeCall& call : calls)
        if (call.function == "syGetIntegerInput") inputs.push_back(&call);
    ASSERT_EQ(inputs.size(), 4u);
    EXPECT_EQ(inputs[0]->texts[0],
              "Specify <b>first</b> time-point(volume) of interval in<br><i>" + vtcPath + "</i>");
    EXPECT_EQ(inputs[0]->numbers, (std::vector<long long>{5, 1, 1000000}));
    EXPECT_EQ(inputs[1]->texts[0],
              "Specify <b>last</b> time-point(volume) of interval in<br><i>" + vtcPath + "</i>");
    EXPECT_EQ(inputs[1]->numbers, (std::vector<long long>{100, 1, 1000000}));
}

TEST_F(ManualIntervalTest, ReversedIntervalIsRefusedAndBothValuesAskedAgain) {
    host().answerInteger(100);
    host().answerInteger(50);
    host().answerInteger(50);
    host().answerInteger(100);

    EXPECT_EQ(specifyIntervalManually(plugin.echoSelections, entry, vtcPath, 3), 1);

    EXPECT_EQ(host().messageBoxes, std::vector<std::string>{tooShort(100, 50, 3)});
    EXPECT_EQ(pairsOf(entry), (Pairs{{50, 100}}));
}

TEST_F(ManualIntervalTest, CancelOfEitherVolumeAppendsNothing) {
    host().answerInteger(5);
    host().answerCancel();
    EXPECT_EQ(specifyIntervalManually(plugin.echoSelections, entry, vtcPath, 1), 0);
    host().answerCancel();
    EXPECT_EQ(specifyIntervalManually(plugin.echoSelections, entry, vtcPath, 1), 0);
    EXPECT_TRUE(entry.intervals.empty());
    EXPECT_TRUE(logged().empty());
}

// ---- Intervals from a protocol ----

class ProtocolIntervalTest : public SetupDialogTest {
protected:
    void addProtocol(int32_t resolution, std::vector<FakeProtocolCondition> conditions) {
        FakeProtocol protocol;
        protocol.timeResolution = resolution;
        protocol.conditions = std::move(conditions);
        host().protocols[protocolPath] = protocol;
    }
    void choose(int condition) {
        host().answerText(protocolPath);
        host().answerInteger(condition);
    }
    VtcEntry entry;
};

TEST_F(ProtocolIntervalTest, VolumeProtocolIsTakenUnchanged) {
    addProtocol(1, {{"Rest", {1}, {4}}, {"Task", {10, 30}, {10, 60}}});
    choose(2);

    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 2), 1);

    // Shorter than the order, but not tested here: the voxel pass does that.
    EXPECT_EQ(pairsOf(entry), (Pairs{{10, 10}, {30, 60}}));
    EXPECT_EQ(logged(), (std::vector<std::string>{"// LDI> \t\t10\t-\t10", "// LDI> \t\t30\t-\t60"}));

    const FakeCall* file = host().lastCall("syGetOpenFileName");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->texts, (std::vector<std::string>{
                               "Specify a protocol file with VOLUME time-resolution", "",
                               "Protocol Files (*.prt)"}));
    // The chosen protocol is linked to the host's current VTC.
    EXPECT_EQ(std::string(host().linkedVtc.protocolPath), protocolPath);
    EXPECT_EQ(host().callCount("sySetVTCParametersOfCurrentVMR"), 1);

    const FakeCall* menu = host().lastCall("syGetIntegerInput");
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->texts[0],
              "<b>Select a PRT Condition</b><br>Select a single condition from the currently "
              "loaded protocol to specify the intervals for the current LDI condition in <i>" +
                  vtcPath + "</i><br><br><b>Select:</b><br>1. Rest<br>2. Task<br>");
    EXPECT_EQ(menu->numbers, (std::vector<long long>{1, 1, 2}));
    EXPECT_TRUE(host().notes.empty());
}

TEST_F(ProtocolIntervalTest, MillisecondsAreConvertedWithTheCurrentTr) {
    addProtocol(2, {{"Task", {0, 4000}, {5999, 4999}}});
    choose(1);

    // 0..5999 gives 1..3; 4000..4999 gives 3..2, raised to 3..3: too short.
    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 1), 2);

    EXPECT_EQ(pairsOf(entry), (Pairs{{1, 3}}));
    EXPECT_EQ(logged(),
              (std::vector<std::string>{
                  "// LDI> \tWARNING: The specified protocol has millisecond resolution, LDI "
                  "requires volumes",
                  "// LDI> \tWARNING: Converting milliseconds to volumes (using current VTC's "
                  "TR), please check intervals below or in written log-file",
                  "// LDI> \t\t1\t-\t3",
                  "// LDI> ERROR : The interval (3, 3) is invalid: last-first+1 must be greater "
                  "than AR-order(1)",
              }));
}

TEST_F(ProtocolIntervalTest, MillisecondRoundingHalfUp) {
    host().linkedVtc.tr = 3000;
    addProtocol(2, {{"Task", {1499, 1500, -1000}, {16499, 16500, 7000}}});
    choose(1);

    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 1), 1);
    // 1499/3000+0.5 = 0.9997 -> 0; 1500/3000+0.5 = 1 -> 1; -1000/3000+0.5 -> 0.
    EXPECT_EQ(pairsOf(entry), (Pairs{{1, 5}, {2, 6}, {1, 2}}));
}

TEST_F(ProtocolIntervalTest, ConditionWithoutIntervalsLeavesTheEntryEmpty) {
    addProtocol(7, {{"Empty", {}, {}}});  // the resolution is never looked at
    choose(1);

    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 1), 1);
    EXPECT_TRUE(entry.intervals.empty());
    EXPECT_TRUE(logged().empty());
}

TEST_F(ProtocolIntervalTest, UnknownResolutionWithIntervalsIsTerminal) {
    addProtocol(3, {{"Task", {1}, {20}}});
    choose(1);

    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 1), 3);
    EXPECT_TRUE(entry.intervals.empty());
    EXPECT_EQ(logged(), std::vector<std::string>{
                            "// LDI> ERROR: Unknown protocol time-resolution: not volumes or msec"});
}

TEST_F(ProtocolIntervalTest, NonPositiveTrWithMillisecondsIsTerminalAndNamesTheTr) {
    for (int32_t tr : {0, -500}) {
        host().reset();
        host().linkedVtc.tr = tr;
        addProtocol(2, {{"Task", {0}, {5999}}});
        choose(1);
        VtcEntry fresh;

        EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, fresh, vtcPath, 1), 3) << tr;
        EXPECT_TRUE(fresh.intervals.empty());
        ASSERT_FALSE(logged().empty());
        const std::string& error = logged().back();
        EXPECT_EQ(error.rfind("// LDI> ERROR: ", 0), 0u) << error;
        EXPECT_NE(error.find("TR of " + std::to_string(tr) + " ms"), std::string::npos) << error;
    }
}

TEST_F(ProtocolIntervalTest, ProtocolWithoutConditionsIsTerminalWithoutAnEmptyMenu) {
    addProtocol(1, {});
    host().answerText(protocolPath);

    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 1), 3);
    EXPECT_EQ(host().callCount("syGetIntegerInput"), 0);
    ASSERT_EQ(logged().size(), 1u);
    EXPECT_EQ(logged()[0].rfind("// LDI> ERROR: ", 0), 0u);
    EXPECT_NE(logged()[0].find(protocolPath), std::string::npos);
}

TEST_F(ProtocolIntervalTest, MissingHostDataIsTerminal) {
    host().setLinkedVtc(false);
    host().answerText(protocolPath);
    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 1), 3);
    EXPECT_EQ(logged(), std::vector<std::string>{"// LDI> ERROR: Could not get access to VTC"});
    EXPECT_EQ(host().callCount("sySetVTCParametersOfCurrentVMR"), 0);

    host().reset();
    host().answerText("/data/unknown.prt");  // the host cannot load it
    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 1), 3);
    EXPECT_EQ(logged(), std::vector<std::string>{
                            "// LDI> ERROR: Could not get access to protocol definition"});
}

TEST_F(ProtocolIntervalTest, CancelInTheFileDialogOrTheMenu) {
    addProtocol(1, {{"Task", {1}, {20}}});
    host().answerCancel();
    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 1), 0);
    EXPECT_EQ(host().callCount("syGetVTCOfCurrentVMR"), 0);

    host().answerText(protocolPath);
    host().answerCancel();
    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 1), 0);
    EXPECT_TRUE(entry.intervals.empty());
}

TEST_F(ProtocolIntervalTest, LongConditionMenuKeepsEveryNumber) {
    std::vector<FakeProtocolCondition> conditions;
    const std::string longName(150, 'k');
    for (int i = 0; i < 30; ++i) conditions.push_back({longName + std::to_string(i), {1}, {9}});
    addProtocol(1, conditions);
    choose(30);

    EXPECT_EQ(specifyIntervalsFromProtocol(plugin.echoSelections, entry, vtcPath, 1), 1);
    const std::string menu = host().lastCall("syGetIntegerInput")->texts[0];
    for (int i = 0; i < 30; ++i)
        EXPECT_NE(menu.find(std::to_string(i + 1) + ". " + longName + std::to_string(i) + "<br>"),
                  std::string::npos)
            << i;
    EXPECT_EQ(host().lastCall("syGetProtocolCondition")->numbers[0], 29);
}

// Protocol intervals through the whole set-up: the protocol is asked again
// for each VTC of a condition.
TEST_F(ProtocolIntervalTest, EveryVtcOfAConditionGetsItsOwnProtocolChoice) {
    host().addVoi("V", {{1, 1, 1}});
    addProtocol(1, {{"Rest", {1, 40}, {20, 60}}, {"Task", {21}, {39}}});
    const std::string a = writeVtc("a.vtc");
    const std::string b = writeVtc("b.vtc");
    host().answerInteger(1);
    host().answerInteger(0);
    host().answerInteger(2);  // intervals from a protocol
    host().answerText("A");
    host().answerText(a);
    choose(1);
    host().answerText(b);
    choose(2);
    host().answerCancel();
    host().answerText("");
    host().answerText("P");

    EXPECT_EQ(runAnalysisSetup(plugin.echoSelections, setup, voiList()), 1);

    ASSERT_EQ(setup.conditions.size(), 1u);
    ASSERT_EQ(setup.conditions[0].entries.size(), 2u);
    EXPECT_EQ(pairsOf(setup.conditions[0].entries[0]), (Pairs{{1, 20}, {40, 60}}));
    EXPECT_EQ(pairsOf(setup.conditions[0].entries[1]), (Pairs{{21, 39}}));
    EXPECT_EQ(host().callCount("sySetVTCParametersOfCurrentVMR"), 2);
    EXPECT_TRUE(host().notes.empty());
}

TEST_F(ProtocolIntervalTest, MillisecondErrorEndsTheWholeSetUpWithTwo) {
    host().addVoi("V", {{1, 1, 1}});
    addProtocol(2, {{"Task", {4000}, {4999}}});
    const std::string a = writeVtc("a.vtc");
    host().answerInteger(1);
    host().answerInteger(0);
    host().answerInteger(2);
    host().answerText("A");
    host().answerText(a);
    choose(1);

    EXPECT_EQ(runAnalysisSetup(plugin.echoSelections, setup, voiList()), 2);
    EXPECT_EQ(host().callCount("syGetSaveFileName"), 0);
    EXPECT_TRUE(host().notes.empty());
}

}  // namespace
