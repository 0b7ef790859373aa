// The host functions, called directly as the plug-in calls them, and the
// pieces of `ldi run` that prepare them: shorthand answers, option order and
// the plug-in loader.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "host/plugin_run.h"
#include "host/host_functions.h"
#include "host/host_state.h"
#include "host/plugin_loader.h"
#include "host/shorthand.h"
#include "support/host_test_support.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

class HostFunctions : public ::testing::Test {
protected:
    void SetUp() override {
        hostState() = HostState();
        hostState().logPane = &pane;
        hostState().rawLog = &raw;
        hostState().messages = &messages;
    }
    void TearDown() override { hostState() = HostState(); }

    SyMapSetHeader boxHeader(int levels) {
        SyMapSetHeader header{};
        header.levelCount = levels;
        header.xStart = 57;
        header.xEnd = 66;
        header.yStart = 0;
        header.yEnd = 6;
        header.zStart = 0;
        header.zEnd = 3;
        header.resolution = 3;
        return header;
    }

    std::ostringstream pane, raw, messages;
};

}  // namespace

TEST_F(HostFunctions, VersionPluginsPathLogAndMessages) {
    int major = 0, minor = 0, patch = -1;
    syGetVersionOfSynapsa(&major, &minor, &patch);
    EXPECT_EQ(major * 10000 + minor * 100 + patch, 20100);

    hostState().pluginsPath = "/opt/ldi/plugins";
    char buffer[SY_PLUGINS_PATH_CAPACITY];
    EXPECT_EQ(syGetPluginsPath(buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "/opt/ldi/plugins");
    char small[8];
    EXPECT_EQ(syGetPluginsPath(small, sizeof small), 0);  // never a cut path
    EXPECT_STREQ(small, "");

    syLogText("\n//****");
    syLogText("//  <b>LDI</b> -  SYNA Plugin Version 1.5");
    syLogText(nullptr);
    EXPECT_EQ(raw.str(), "\n//****\n//  <b>LDI</b> -  SYNA Plugin Version 1.5\n\n");
    EXPECT_EQ(pane.str(), "\n//****\n//  LDI -  SYNA Plugin Version 1.5\n\n");
    syMessageBox("<b>No VTC</b><br>Make sure that a VTC is linked.");
    EXPECT_EQ(messages.str(), "message: No VTC\nMake sure that a VTC is linked.\n");
}

TEST_F(HostFunctions, LogPaneIsFlushedLineByLineAndProgressFollowed) {
    struct CountingBuffer : std::stringbuf {
        int syncs = 0;
        int sync() override {
            ++syncs;
            return std::stringbuf::sync();
        }
    };
    CountingBuffer buffer;
    std::ostream file(&buffer);
    std::ostringstream progress;
    hostState().logPane = &file;
    hostState().progress = &progress;
    syLogText("// LDI>\n// LDI> VOI: <b>Motor</b>");
    EXPECT_EQ(buffer.syncs, 1);  // nothing waits in a buffer for the end of the run
    syLogText("// LDI>\n// LDI>\tCondition: <em>Rest</em>");
    syLogText("// LDI>\t40%...");
    syLogText("// LDI>\tVoxels skipped: 3\t(40.0%)");
    EXPECT_EQ(buffer.syncs, 4);
    EXPECT_EQ(progress.str(), "ldi: VOI Motor, condition Rest: 40%\n");
}

TEST_F(HostFunctions, VmrVtcAndVoisFollowTheState) {
    HostState& state = hostState();
    int dims[3] = {0, 0, 0};
    EXPECT_NE(syGetCurrentVMR(&dims[0], &dims[1], &dims[2]), nullptr);
    EXPECT_EQ(dims[0], 256);
    SyVtcHeader header;
    syGetVTCOfCurrentVMR(&header);
    EXPECT_EQ(header.linkState, -1);  // nothing linked

    state.vtcLinked = true;
    state.vtc.tr = 2000;
    state.vtc.numVolumes = 120;
    state.vtc.path = "run1.vtc";
    state.vtc.protocolPath = "run1.prt";
    syGetVTCOfCurrentVMR(&header);
    EXPECT_NE(header.linkState, -1);
    EXPECT_EQ(header.tr, 2000);
    EXPECT_STREQ(header.protocolPath, "run1.prt");

    state.vois.coordsConvention = 1;
    state.vois.vois.push_back({"Motor", {1, 2, 3, 4, 5, 6}});
    SyVoiList list;
    syGetVOIs(&list);
    EXPECT_EQ(list.voiCount, 1);
    EXPECT_EQ(list.coordsConvention, 1);
    SyVoi voi;
    const int32_t* voxels = syGetVOI(0, &voi);
    ASSERT_NE(voxels, nullptr);
    EXPECT_EQ(voi.voxelCount, 2);
    EXPECT_STREQ(voi.name, "Motor");
    EXPECT_EQ(voxels[5], 6);
    EXPECT_EQ(syGetVOI(1, &voi), nullptr);
    EXPECT_EQ(syGetVOI(-1, &voi), nullptr);

    state.vmrPresent = false;  // --no-vmr: nothing of the VMR is reachable
    EXPECT_EQ(syGetCurrentVMR(nullptr, nullptr, nullptr), nullptr);
    syGetVTCOfCurrentVMR(&header);
    EXPECT_EQ(header.linkState, -1);
    syGetVOIs(&list);
    EXPECT_EQ(list.voiCount, 0);
}

TEST_F(HostFunctions, LinkingAProtocolReadsItOrSaysWhyNot) {
    TestTempDir dir;
    HostState& state = hostState();
    state.vtcLinked = true;
    writeWholeFile(dir.path("good.prt"),
                  "ResolutionOfTime: msec\nNrOfConditions: 2\nRest\n2\n0 5999\n12000 17999\nTask\n0\n");
    writeWholeFile(dir.path("bad.prt"), "NrOfConditions: 1\nRest\n2\n0 5999\n");

    SyVtcHeader header;
    syGetVTCOfCurrentVMR(&header);
    std::snprintf(header.protocolPath, sizeof header.protocolPath, "%s", dir.path("good.prt").c_str());
    EXPECT_EQ(sySetVTCParametersOfCurrentVMR(&header), 1);
    syGetVTCOfCurrentVMR(&header);
    EXPECT_EQ(std::string(header.protocolPath), dir.path("good.prt"));
    SyProtocol protocol;
    ASSERT_EQ(syGetProtocol(&protocol), 1);
    EXPECT_EQ(protocol.conditionCount, 2);
    EXPECT_EQ(protocol.timeResolution, 2);
    SyProtocolCondition condition;
    ASSERT_EQ(syGetProtocolCondition(0, &condition), 1);
    EXPECT_STREQ(condition.name, "Rest");
    ASSERT_EQ(condition.intervalCount, 2);
    EXPECT_EQ(condition.intervalStarts[1], 12000);
    EXPECT_EQ(condition.intervalEnds[1], 17999);
    EXPECT_EQ(syGetProtocolCondition(2, &condition), 0);

    std::snprintf(header.protocolPath, sizeof header.protocolPath, "%s", dir.path("bad.prt").c_str());
    EXPECT_EQ(sySetVTCParametersOfCurrentVMR(&header), 0);
    EXPECT_EQ(syGetProtocol(&protocol), 0);  // the plug-in reports that it has no protocol
    EXPECT_NE(messages.str().find("bad.prt:4: the file ends after 1 of the 2 intervals"), std::string::npos)
        << messages.str();
}

TEST_F(HostFunctions, MapSetLifecycle) {
    SyMapSetHeader header = boxHeader(2);
    EXPECT_EQ(syGetNRVMPsOfCurrentVMR(&header), nullptr);
    ASSERT_EQ(syCreateNRVMPsForCurrentVMR(4, 0, 2, &header), 1);
    SyMapSetHeader filled{};
    ASSERT_NE(syGetNRVMPsOfCurrentVMR(&filled), nullptr);
    EXPECT_EQ(filled.mapCount, 4);
    EXPECT_EQ(filled.dimX, 3);
    EXPECT_EQ(filled.dimY, 2);
    EXPECT_EQ(filled.dimZ, 1);
    std::snprintf(filled.levelLabels[1].text, SY_LEVEL_LABEL_CAPACITY, "thres q=%1.3f", 0.05);

    SyMapHeader map;
    float* voxels = syGetNRVMPOfCurrentVMR(3, &map);
    ASSERT_NE(voxels, nullptr);
    EXPECT_EQ(map.fdrThresholdCount, 2);
    for (int v = 0; v < 6; ++v) EXPECT_EQ(voxels[v], 0.0f);
    voxels[5] = 7.5f;
    map.fdrThresholds[1] = 0.25f;
    std::memset(map.name, 'n', sizeof map.name);  // no terminating NUL
    map.mapKind = 101;
    map.lowerThreshold = 1.0f;
    map.negativeColourHigh = 0xFF00;
    ASSERT_EQ(sySetNRVMPParametersOfCurrentVMR(3, &map), 1);
    const LdiMap& stored = hostState().maps.content.maps[3];
    EXPECT_EQ(stored.name, std::string(SY_MAP_NAME_CAPACITY, 'n'));
    EXPECT_EQ(stored.voxels[5], 7.5f);
    EXPECT_EQ(stored.fdrThresholds[1], 0.25f);
    EXPECT_EQ(stored.negativeColourHigh, 0xFF00);

    // Thresholds handed in the plug-in's own array are copied.
    float own[2] = {3.0f, 4.0f};
    map.fdrThresholds = own;
    ASSERT_EQ(sySetNRVMPParametersOfCurrentVMR(3, &map), 1);
    EXPECT_EQ(hostState().maps.content.maps[3].fdrThresholds[0], 3.0f);

    EXPECT_EQ(syGetNRVMPOfCurrentVMR(4, &map), nullptr);
    EXPECT_EQ(sySetNRVMPParametersOfCurrentVMR(-1, &map), 0);
    syDeleteNRVMPsOfCurrentVMR();
    EXPECT_EQ(syGetNRVMPOfCurrentVMR(0, &map), nullptr);
}

TEST_F(HostFunctions, MapSetsTheHostCannotHoldAreRefused) {
    SyMapSetHeader header = boxHeader(1);
    header.resolution = 0;
    EXPECT_EQ(syCreateNRVMPsForCurrentVMR(1, 0, 1, &header), 0);
    header = boxHeader(1);
    header.xEnd = header.xStart;
    EXPECT_EQ(syCreateNRVMPsForCurrentVMR(1, 0, 1, &header), 0);
    header = boxHeader(1);
    EXPECT_EQ(syCreateNRVMPsForCurrentVMR(0, 0, 1, &header), 0);
    EXPECT_EQ(syCreateNRVMPsForCurrentVMR(1, 0, -1, &header), 0);
    header.xStart = -32768;
    header.xEnd = 32767;
    header.yStart = -32768;
    header.yEnd = 32767;
    header.resolution = 1;
    EXPECT_EQ(syCreateNRVMPsForCurrentVMR(6, 0, 3, &header), 0);  // 6 * 65535^2 * 3 values
    EXPECT_NE(messages.str().find("more than this host holds"), std::string::npos);
    hostState().vmrPresent = false;
    header = boxHeader(1);
    EXPECT_EQ(syCreateNRVMPsForCurrentVMR(1, 0, 1, &header), 0);
}

TEST_F(HostFunctions, SaveWritesTheMapSetOrCountsTheFailure) {
    TestTempDir dir;
    EXPECT_EQ(sySaveNRVMPsOfCurrentVMR(dir.path("P_V.ldi").c_str()), 0);  // no maps yet
    EXPECT_EQ(hostState().failedSaves, 1);

    SyMapSetHeader header = boxHeader(1);
    ASSERT_EQ(syCreateNRVMPsForCurrentVMR(1, 0, 1, &header), 1);
    syGetNRVMPsOfCurrentVMR(&header);
    std::snprintf(header.levelLabels[0].text, SY_LEVEL_LABEL_CAPACITY, "thres q=0.050");
    SyMapHeader map;
    syGetNRVMPOfCurrentVMR(0, &map)[0] = 2.0f;
    std::snprintf(map.name, sizeof map.name, "A: Inst");
    sySetNRVMPParametersOfCurrentVMR(0, &map);
    hostState().identity = {"Lagged Dependency Imaging (LDI) v1.5", "1.5"};
    ASSERT_EQ(sySaveNRVMPsOfCurrentVMR(dir.path("P_V.ldi").c_str()), 1);
    EXPECT_EQ(hostState().failedSaves, 1);
    Parsed<LdiFile> saved = decodeLdi(readWholeFile(dir.path("P_V.ldi")));
    ASSERT_TRUE(saved.ok);
    EXPECT_EQ(saved.value.levelLabels[0], "thres q=0.050");
    EXPECT_EQ(saved.value.maps[0].voxels[0], 2.0f);
    EXPECT_TRUE(std::filesystem::exists(dir.path("P_V_A_Inst.nii.gz")));

    EXPECT_EQ(sySaveNRVMPsOfCurrentVMR((dir.path("missing") + "/P_V.ldi").c_str()), 0);
    EXPECT_EQ(hostState().failedSaves, 2);
    EXPECT_NE(messages.str().find(dir.path("missing")), std::string::npos);
}

TEST_F(HostFunctions, DialogsGoToTheDialogSourceAndFitTheBuffers) {
    std::ostringstream notices;
    Parsed<std::vector<AnswerLine>> answers =
        parseAnswers("3\n" + std::string(300, 't') + "\nname\n<cancel>\nout/P\n");
    ScriptedDialogs script(answers.value, "a.txt", notices, nullptr);
    EXPECT_EQ(syGetIntegerInput("Pick", 1, 0, 3), -1);  // no dialog source: cancelled
    hostState().dialogs = &script;
    EXPECT_EQ(syGetIntegerInput("Pick", 1, 0, 3), 3);
    char text[SY_TEXT_INPUT_CAPACITY];
    EXPECT_EQ(syGetTextInput("Name", "", text, sizeof text), 0);  // 300 bytes do not fit: stops
    EXPECT_STREQ(text, "");
    EXPECT_NE(notices.str().find("a.txt:2: the text is 300 bytes long"), std::string::npos);
}

TEST(Shorthand, WritesTheAnswersInDialogOrder) {
    VoiList vois;
    vois.vois = {{"Motor", {0, 0, 0}}, {"Visual", {1, 1, 1}}, {"3", {2, 2, 2}}};
    using O = ShorthandOption;
    std::vector<ShorthandItem> items = {{O::SelectVoi, "Visual"}, {O::SelectVoi, "3"},
                                        {O::SelectVoi, "1"},      {O::Condition, "Rest"},
                                        {O::Data, "a.vtc"},       {O::Interval, "5-100"},
                                        {O::Data, "b.vtc"},       {O::Interval, "1-50"},
                                        {O::Condition, "Task"},   {O::Data, "a.vtc"},
                                        {O::Interval, "101-200"}, {O::Out, "out/P"}};
    std::vector<AnswerLine> answers;
    std::string problem;
    ASSERT_TRUE(buildShorthandAnswers(items, vois, answers, problem)) << problem;
    std::vector<std::string> texts;
    for (const AnswerLine& line : answers) texts.push_back(line.text);
    // VOI "3" is the VOI named 3 (number 3), VOI 1 by number; then stop.
    EXPECT_EQ(texts, (std::vector<std::string>{"2", "3", "1", "0", "1", "Rest", "a.vtc", "5", "100", "b.vtc",
                                               "1", "50", "<cancel>", "Task", "a.vtc", "101", "200",
                                               "<cancel>", "", "out/P"}));
    EXPECT_EQ(answers[6].expectedKind, DialogKind::OpenFile);
    EXPECT_EQ(answers.back().expectedKind, DialogKind::SaveFile);
}

TEST(Shorthand, PairsProtocolsAndAll) {
    TestTempDir dir;
    writeWholeFile(dir.path("run.prt"), "NrOfConditions: 2\nRest\n1\n1 10\nTask\n1\n11 20\n");
    VoiList vois;
    vois.vois = {{"Motor", {0, 0, 0}}, {"Visual", {1, 1, 1}}};
    using O = ShorthandOption;
    std::vector<ShorthandItem> items = {{O::SelectVoi, "1"},          {O::SelectVoi, "all"},
                                        {O::Condition, "A"},          {O::Data, "s.vtc:t.vtc"},
                                        {O::Protocol, dir.path("run.prt")}, {O::ProtocolCondition, "Task"},
                                        {O::Data, "s.vtc:u.vtc"},     {O::Protocol, dir.path("run.prt")},
                                        {O::ProtocolCondition, "1"},  {O::Out, "P"}};
    std::vector<AnswerLine> answers;
    std::string problem;
    ASSERT_TRUE(buildShorthandAnswers(items, vois, answers, problem)) << problem;
    std::vector<std::string> texts;
    for (const AnswerLine& line : answers) texts.push_back(line.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"3", "2", "A", "s.vtc", "t.vtc", dir.path("run.prt"), "2", "s.vtc",
                                               "u.vtc", dir.path("run.prt"), "1", "<cancel>", "", "P"}));
}

TEST(Shorthand, UsageErrorsSayWhatIsWrong) {
    TestTempDir dir;
    writeWholeFile(dir.path("run.prt"), "NrOfConditions: 1\nRest\n1\n1 10\n");
    writeWholeFile(dir.path("broken.prt"), "NrOfConditions: x\n");
    VoiList vois;
    vois.vois = {{"Motor", {0, 0, 0}}, {"Motor", {1, 1, 1}}, {"Visual", {1, 1, 1}}};
    using O = ShorthandOption;
    const std::vector<ShorthandItem> tail = {{O::Condition, "A"}, {O::Data, "a.vtc"}, {O::Interval, "5-100"},
                                             {O::Out, "P"}};
    auto problemOf = [&](std::vector<ShorthandItem> items, bool withTail = false) {
        if (withTail) items.insert(items.end(), tail.begin(), tail.end());
        std::vector<AnswerLine> answers;
        std::string problem;
        EXPECT_FALSE(buildShorthandAnswers(items, vois, answers, problem));
        return problem;
    };
    EXPECT_NE(problemOf({{O::SelectVoi, "Motor"}}, true).find("2 VOIs have that name"), std::string::npos);
    EXPECT_NE(problemOf({{O::SelectVoi, "Auditory"}}, true).find("\"Visual\""), std::string::npos);
    EXPECT_NE(problemOf({{O::SelectVoi, "4"}}, true).find("no VOI with that number"), std::string::npos);
    EXPECT_NE(problemOf({{O::SelectVoi, "3"}, {O::SelectVoi, "Visual"}}, true).find("selected twice"),
              std::string::npos);
    EXPECT_NE(problemOf({{O::Data, "a.vtc"}}).find("before the first --condition"), std::string::npos);
    EXPECT_NE(problemOf({{O::Condition, "A"}, {O::Data, "a.vtc"}, {O::Out, "P"}}).find("needs --interval"),
              std::string::npos);
    EXPECT_NE(problemOf({{O::Condition, "A"}, {O::Data, "a.vtc"}, {O::Interval, "0-10"}, {O::Out, "P"}})
                  .find("FIRST-LAST"),
              std::string::npos);
    EXPECT_NE(problemOf({{O::Condition, "A"}, {O::Data, "a.vtc"}, {O::Interval, "5-100"}}).find("--out"),
              std::string::npos);
    EXPECT_NE(problemOf({{O::Condition, "B"}}, true).find("has no --data"), std::string::npos);
    EXPECT_NE(problemOf({{O::Condition, "A"}, {O::Data, "b.vtc"}, {O::Interval, "5-9"}}, true).find("twice"),
              std::string::npos);
    EXPECT_NE(problemOf({{O::Condition, "B"}, {O::Data, "b.vtc"}, {O::Protocol, dir.path("run.prt")},
                         {O::ProtocolCondition, "1"}},
                        true)
                  .find("cannot be mixed"),
              std::string::npos);
    EXPECT_NE(problemOf({{O::Condition, "B"}, {O::Data, "s.vtc:t.vtc"}, {O::Interval, "1-9"}}, true)
                  .find("cannot be mixed"),
              std::string::npos);
    EXPECT_NE(problemOf({{O::Condition, "A"}, {O::Data, "a.vtc"}, {O::Protocol, dir.path("run.prt")},
                         {O::ProtocolCondition, "Task"}, {O::Out, "P"}})
                  .find("its conditions are \"Rest\""),
              std::string::npos);
    EXPECT_NE(problemOf({{O::Condition, "A"}, {O::Data, "a.vtc"}, {O::Protocol, dir.path("broken.prt")},
                         {O::ProtocolCondition, "1"}, {O::Out, "P"}})
                  .find("broken.prt:1:"),
              std::string::npos);
    EXPECT_NE(problemOf({{O::Condition, "a\nb"}}, true).find("line break"), std::string::npos);
}

TEST(PluginLoader, ReadsTheInformationExportsOrNamesTheFile) {
    PluginLibrary library;
    std::string problem;
    ASSERT_TRUE(library.load(LDI_PLUGIN_PATH, problem)) << problem;
    EXPECT_EQ(library.info().name, "Lagged Dependency Imaging (LDI) v1.5");
    EXPECT_EQ(library.info().helpFile, "LDI_Help/main.html");
    EXPECT_EQ(library.info().guiScript, "");

    TestTempDir dir;
    writeWholeFile(dir.path("LDIPlugin_v15.so"), "not a library");
    PluginLibrary fake;
    EXPECT_FALSE(fake.load(dir.path("LDIPlugin_v15.so"), problem));
    EXPECT_NE(problem.find(dir.path("LDIPlugin_v15.so")), std::string::npos);
    PluginLibrary missing;
    EXPECT_FALSE(missing.load(dir.path("nothing.so"), problem));
    EXPECT_NE(problem.find("no such file"), std::string::npos);
}
