#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "plugin/ldi_plugin.h"
#include "base/log_pane.h"
#include "base/status.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

const std::string stars(64, '*');
const std::vector<std::string> openingBanner = {
    "\n//" + stars,
    "//  L A G G E D   D E P E N D E N C Y   I M A G I N G                 ",
    "//  <b>LDI</b> -  SYNA Plugin Version 1.5",
    "//  The LDI Help Pages (via 'Description of Plugins...')",
    "//" + stars + "\n",
};
const std::vector<std::string> endBanner = {"\n//" + stars, "//  End LDI-Plugin output",
                                            "//" + stars + "\n"};

class LogOutput : public FakeHostTest {};

TEST_F(LogOutput, LogLinePrefixesEveryLineInOneCall) {
    logLine("first\nsecond\nthird");
    logLine("");
    logLine("ends in a newline\n");
    EXPECT_EQ(host().logTexts,
              (std::vector<std::string>{"// LDI> first\n// LDI> second\n// LDI> third", "// LDI> ",
                                        "// LDI> ends in a newline\n// LDI> "}));
    EXPECT_EQ(host().callCount("syLogText"), 3);
}

TEST_F(LogOutput, EndBannerIsThreeLines) {
    logEndBanner();
    EXPECT_EQ(host().logTexts, endBanner);
}

TEST_F(LogOutput, FormattedTextsHaveNoLengthLimit) {
    const std::string name(3000, 'n');
    const std::string text = formatText("%s\n%s VOI: <b>%s</b>", progressPrefix, progressPrefix,
                                        name.c_str());
    EXPECT_EQ(text, "// LDI>\n// LDI> VOI: <b>" + name + "</b>");
    EXPECT_EQ(formatText("thres q=%1.3f", 0.05), "thres q=0.050");
    EXPECT_EQ(formatText("%s", ""), "");
}

// execute driven through the fake host.
class Execute : public FakeHostTest {
protected:
    void SetUp() override {
        FakeHostTest::SetUp();
        host().pluginsPath = folder.root();
        host().addVoi("V1", {{1, 1, 1}, {4, 4, 4}});  // inside the box of writeVtc's files
    }

    void writeSettings(const std::string& text) {
        std::ofstream(folder.path("LDIPlugin.ini")) << text;
    }

    // A VTC file the set-up dialogs accept: a 2 x 2 x 2 grid over the box
    // 0..6 at resolution 3, 20 volumes of irregular values above the
    // inclusion threshold.
    std::string writeVtc(const std::string& name) {
        VtcWriterOptions options;
        options.numVolumes = 20;
        options.value = [](int x, int y, int z, int t) {
            const unsigned seed = static_cast<unsigned>(((x * 7 + y) * 13 + z) * 31 + t * 17);
            return 500.0f + static_cast<float>((seed * 2654435761u) % 1000u) / 10.0f;
        };
        const std::string path = folder.path(name);
        EXPECT_TRUE(writeTestVtc(path, options));
        return path;
    }

    // The log texts from the first one after the opening banner.
    std::vector<std::string> logAfterBanner() {
        const std::vector<std::string>& log = host().logTexts;
        EXPECT_GE(log.size(), openingBanner.size());
        EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + openingBanner.size()),
                  openingBanner);
        return std::vector<std::string>(log.begin() + openingBanner.size(), log.end());
    }

    std::vector<std::string> lastLogTexts(std::size_t count) {
        const std::vector<std::string>& log = host().logTexts;
        if (log.size() < count) return log;
        return std::vector<std::string>(log.end() - static_cast<long>(count), log.end());
    }

    TestTempDir folder;
    LDIPlugin plugin;
};

TEST_F(Execute, MissingVmrVtcOrVoisOnlyShowAMessage) {
    host().vmrPresent = false;
    EXPECT_FALSE(plugin.execute());
    EXPECT_EQ(host().callNames(), (std::vector<std::string>{"syGetCurrentVMR", "syMessageBox"}));
    EXPECT_EQ(host().messageBoxes,
              std::vector<std::string>{"<b>No VMR</b><br>The LDI-plugin requires a VMR to operate. "
                                       "Make sure that a VMR is open and that its window is "
                                       "selected."});

    host().reset();
    host().addVoi("V1", {{60, 60, 60}});
    host().setLinkedVtc(false);
    EXPECT_FALSE(plugin.execute());
    EXPECT_EQ(host().messageBoxes,
              std::vector<std::string>{
                  "<b>No VTC</b><br>The LDI-plugin requires a referenced VTC to correctly access "
                  "VOI-definitions.\n Make sure that a VTC is linked."});
    EXPECT_TRUE(host().logTexts.empty());

    host().reset();
    EXPECT_FALSE(plugin.execute());
    EXPECT_EQ(host().messageBoxes,
              std::vector<std::string>{
                  "<b>No VOI file</b><br>The LDI-plugin requires definitions of VOIs to "
                  "operate.\n Make sure that an appropriate VOI-file is loaded (Shift+R after "
                  "closing this message)."});
    EXPECT_TRUE(host().logTexts.empty());
    EXPECT_EQ(host().callCount("syShowLogTab"), 0);
}

TEST_F(Execute, MissingSettingsFileWarnsAndCancelEndsTheRun) {
    host().answerCancel();  // the VOI menu
    EXPECT_FALSE(plugin.execute());
    EXPECT_EQ(host().calls.at(3).function, "syShowLogTab");
    const std::vector<std::string> log = logAfterBanner();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], "// LDI> WARNING: Could not find or open " + folder.path("LDIPlugin.ini"));
    EXPECT_EQ(log[1], "// LDI> WARNING: Dismissing .ini-file: it was invalid or could not be found");
    EXPECT_EQ(log[2], "// LDI> WARNING: Using default global parameters, see written .log files\n// LDI> ");
    EXPECT_EQ(log[3], "// LDI> Running. Waiting for user selections...\n// LDI> ");
    std::vector<std::string> closing = {"// LDI> ", "// LDI> Canceled by user."};
    closing.insert(closing.end(), endBanner.begin(), endBanner.end());
    EXPECT_EQ(lastLogTexts(closing.size()), closing);
    EXPECT_TRUE(host().notes.empty());
}

TEST_F(Execute, WithoutEchoNoEmptyLineFollowsTheSetUp) {
    plugin.echoSelections = false;
    host().answerCancel();
    EXPECT_FALSE(plugin.execute());
    std::vector<std::string> closing = {"// LDI> Running. Waiting for user selections...\n// LDI> ",
                                        "// LDI> Canceled by user."};
    closing.insert(closing.end(), endBanner.begin(), endBanner.end());
    EXPECT_EQ(lastLogTexts(closing.size()), closing);
}

TEST_F(Execute, ValidSettingsFileBringsNoWarning) {
    writeSettings("// settings\nShowVerboseProgressLog= 0\n");
    host().answerCancel();
    EXPECT_FALSE(plugin.execute());
    const std::vector<std::string> log = logAfterBanner();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "// LDI> Running. Waiting for user selections...\n// LDI> ");
}

TEST_F(Execute, BadSettingsFileIsDismissedAndTheRunUsesTheDefaults) {
    // The order 5 from the first line must not survive the bad second line:
    // with the default order 1 the interval 5 to 6 is long enough.
    writeSettings("AutoRegressionOrder= 5\nAutoRegressionOrder=3\n");
    const std::string vtc = writeVtc("run.vtc");
    host().answerInteger(2);  // VOI menu: add all
    host().answerInteger(1);  // intervals by hand
    host().answerText("A");   // condition name
    host().answerText(vtc);
    host().answerInteger(5);
    host().answerInteger(6);
    host().answerCancel();  // no further VTC
    host().answerCancel();  // cancel the condition name: the run ends as cancelled
    EXPECT_FALSE(plugin.execute());
    EXPECT_TRUE(host().messageBoxes.empty());
    EXPECT_TRUE(host().notes.empty());
    const std::vector<std::string> log = logAfterBanner();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], "// LDI> WARNING: Unknown entry in LDIPlugin.ini: 'AutoRegressionOrder=3'");
    EXPECT_EQ(log[1], "// LDI> WARNING: Dismissing .ini-file: it was invalid or could not be found");
    EXPECT_EQ(log[2], "// LDI> WARNING: Using default global parameters, see written .log files\n// LDI> ");
    EXPECT_EQ(log[3], "// LDI> Running. Waiting for user selections...\n// LDI> ");
}

TEST_F(Execute, SetUpTerminalErrorAndInvalidIntervalClosings) {
    const std::string vtc = writeVtc("run.vtc");
    auto scriptUpToProtocol = [&](const std::string& protocol) {
        host().answerInteger(2);  // add all VOIs
        host().answerInteger(2);  // intervals from a protocol
        host().answerText("A");
        host().answerText(vtc);
        host().answerText(protocol);
    };

    // A protocol the host cannot provide: terminal error.
    scriptUpToProtocol(folder.path("unknown.prt"));
    EXPECT_FALSE(plugin.execute());
    std::vector<std::string> closing = {
        "// LDI> ERROR: Could not get access to protocol definition", "// LDI> ",
        "// LDI> Terminal error, sorry. Exiting..."};
    closing.insert(closing.end(), endBanner.begin(), endBanner.end());
    EXPECT_EQ(lastLogTexts(closing.size()), closing);
    EXPECT_EQ(host().callCount("syShowBusyCursor"), 0);

    // A millisecond interval too short for the order: nothing but the
    // set-up's own error line before the closing banner.
    host().reset();
    host().pluginsPath = folder.root();
    host().addVoi("V1", {{60, 60, 60}});
    FakeProtocol protocol;
    protocol.timeResolution = 2;
    protocol.conditions.push_back(FakeProtocolCondition{"Task", {4000}, {4999}});
    host().protocols[folder.path("ms.prt")] = protocol;
    scriptUpToProtocol(folder.path("ms.prt"));
    host().answerInteger(1);  // the protocol's condition
    EXPECT_FALSE(plugin.execute());
    closing = {"// LDI> ERROR : The interval (3, 3) is invalid: last-first+1 must be greater than "
               "AR-order(1)",
               "// LDI> "};
    closing.insert(closing.end(), endBanner.begin(), endBanner.end());
    EXPECT_EQ(lastLogTexts(closing.size()), closing);
    EXPECT_TRUE(host().notes.empty());
}

// Scripts a whole set-up: all VOIs, one condition "A" with one VTC and the
// interval first..last typed by hand, and the output prefix.
void scriptManualRun(const std::string& vtc, int first, int last, const std::string& prefix) {
    FakeHost& fake = fakeHost();
    fake.answerInteger(2);  // VOI menu: add all
    fake.answerInteger(1);  // intervals by hand
    fake.answerText("A");
    fake.answerText(vtc);
    fake.answerInteger(first);
    fake.answerInteger(last);
    fake.answerCancel();    // no further VTC for A
    fake.answerText("");    // no further condition
    fake.answerText(prefix);
}

TEST_F(Execute, SuccessfulRunClosesWithDoneAndLeavesNoMaps) {
    writeSettings("NumSurrogateSimulations= 10\nShowVerboseProgressLog= 0\n");
    scriptManualRun(writeVtc("run.vtc"), 2, 19, folder.path("result"));
    EXPECT_TRUE(plugin.execute());
    EXPECT_TRUE(host().notes.empty());
    std::vector<std::string> closing = {"// LDI> Computing...", "// LDI> \n// LDI> Done, all computations succesful"};
    closing.insert(closing.end(), endBanner.begin(), endBanner.end());
    // Result lines of the save come between "Computing..." and the closing.
    EXPECT_EQ(lastLogTexts(4), std::vector<std::string>(closing.begin() + 1, closing.end()));
    ASSERT_EQ(host().saves.size(), 1u);
    EXPECT_EQ(host().saves[0].fileName, folder.path("result") + "_V1.ldi");
    EXPECT_FALSE(host().mapSetExists);
    EXPECT_FALSE(host().busyCursorOn);

    // The busy cursor is on from just before "Computing..." until just before
    // the closing message.
    const std::vector<std::string> names = host().callNames();
    const auto show = std::find(names.begin(), names.end(), "syShowBusyCursor");
    const auto stop = std::find(names.begin(), names.end(), "syStopBusyCursor");
    ASSERT_NE(show, names.end());
    ASSERT_NE(stop, names.end());
    EXPECT_EQ(host().calls[static_cast<std::size_t>(show - names.begin()) + 1].texts,
              std::vector<std::string>{"// LDI> Computing..."});
    EXPECT_EQ(host().calls[static_cast<std::size_t>(stop - names.begin()) + 1].texts,
              std::vector<std::string>{"// LDI> \n// LDI> Done, all computations succesful"});
}

TEST_F(Execute, InvalidChoicesCloseWithTheErrorTextAndTheParameterMessage) {
    writeSettings("NumSurrogateSimulations= 10\n");
    // Beyond the 20 volumes of the file: only the voxel pass finds out.
    scriptManualRun(writeVtc("run.vtc"), 5, 100, folder.path("result"));
    EXPECT_FALSE(plugin.execute());
    std::vector<std::string> closing = {
        "// LDI> ",
        "// LDI> An interval (5, 100) for vtc '" + folder.path("run.vtc") +
            "', 20 volumes, in condition 'A' was wrongly specified (N.B. last-first+1 must be "
            "greater than AR-order(1))",
        "// LDI> An invalid input parameter-set caused computation to terminate.\n// LDI> Try "
        "again with a different parameter-set. Exiting..."};
    EXPECT_EQ(lastLogTexts(6), [&] {
        std::vector<std::string> all = closing;
        all.insert(all.end(), endBanner.begin(), endBanner.end());
        return all;
    }());
    // The cursor stops after the closing message, before the banner.
    const std::vector<std::string> names = host().callNames();
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(names[names.size() - 4], "syStopBusyCursor");
    EXPECT_FALSE(host().mapSetExists);
    EXPECT_TRUE(host().saves.empty());
}

TEST_F(Execute, TerminalErrorLogsTheWholeErrorTextIncludingTheSettingsMessage) {
    writeSettings("NumSurrogateSimulations= 5\n");  // rejected: the defaults apply
    host().failCreateMapSet = true;
    scriptManualRun(writeVtc("run.vtc"), 2, 19, folder.path("result"));
    EXPECT_FALSE(plugin.execute());
    std::vector<std::string> closing = {
        "// LDI> ",
        "// LDI> Invalid value for 'NumSurrogateSimulations=' in LDIPlugin.ini: 5 (valid range 10 "
        "- 10000)Could not create an CMP map-structure to write LDI results",
        "// LDI> Terminal error, sorry. Exiting..."};
    closing.insert(closing.end(), endBanner.begin(), endBanner.end());
    EXPECT_EQ(lastLogTexts(closing.size()), closing);
    EXPECT_EQ(host().callNames()[host().calls.size() - 4], "syStopBusyCursor");
    EXPECT_FALSE(host().busyCursorOn);
    EXPECT_FALSE(host().mapSetExists);
}

TEST_F(Execute, ExhaustedMemoryClosesTheRunInsteadOfEscapingIntoTheHost) {
    host().throwOutOfMemoryIn = "syGetIntegerInput";  // the VOI menu
    EXPECT_FALSE(plugin.execute());
    std::vector<std::string> closing = {
        "// LDI> ERROR: The run stopped because memory ran out (std::bad_alloc). Close other data "
        "or select fewer VOIs or conditions, then try again.",
        "// LDI> Terminal error, sorry. Exiting..."};
    closing.insert(closing.end(), endBanner.begin(), endBanner.end());
    EXPECT_EQ(lastLogTexts(closing.size()), closing);

    // Inside the computation: the cursor is stopped and no map is left behind.
    host().reset();
    host().pluginsPath = folder.root();
    host().addVoi("V1", {{1, 1, 1}});
    writeSettings("NumSurrogateSimulations= 10\n");
    scriptManualRun(writeVtc("run.vtc"), 2, 19, folder.path("result"));
    host().throwOutOfMemoryIn = "syGetNRVMPsOfCurrentVMR";
    EXPECT_FALSE(plugin.execute());
    EXPECT_EQ(lastLogTexts(closing.size()), closing);
    EXPECT_FALSE(host().busyCursorOn);
    EXPECT_FALSE(host().mapSetExists);
}

}  // namespace
