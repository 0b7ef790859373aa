// The parameter block of the run log, the VOI's map set in the host and the
// saving of the map file and the log file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "output/result_output.h"
#include "support/whole_run.h"
#include "setup/analysis_setup.h"
#include "support/fake_host.h"
#include "support/ldi_process.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) { return std::ifstream(path).good(); }

class ResultOutputTest : public FakeHostTest {
protected:
    void SetUp() override {
        FakeHostTest::SetUp();
        setup.xStart = 57;
        setup.xEnd = 231;
        setup.yStart = 52;
        setup.yEnd = 172;
        setup.zStart = 59;
        setup.zEnd = 197;
        setup.resolution = 3;
        setup.dimX = 58;
        setup.dimY = 40;
        setup.dimZ = 46;
        setup.outputPrefix = dir.path("P");
    }

    SelectedVoi selectVoi(const std::string& name, int32_t hostIndex) {
        SelectedVoi voi;
        voi.name = name;
        voi.hostIndex = hostIndex;
        setup.vois.push_back(voi);
        return voi;
    }

    TestTempDir dir;
    AnalysisSetup setup;
    AnalysisContext context;
    std::ostringstream errors;
};

TEST_F(ResultOutputTest, ParameterBlockWithDefaults) {
    std::ostringstream log;
    log.precision(2);  // the block keeps the default number format whatever the stream's state
    EXPECT_TRUE(writeParameterLog(setup, log));
    EXPECT_EQ(log.str(),
              "Created by LDI-plugin version 1.5\n"
              "\n"
              "Global parameter values \n"
              "------------------------\n"
              "MapTypesComputed= REF2VOX VOX2REF INST DLDI DLDI_IT DLDI_RC \n"
              "DLDI_ITInstLowerThres= 0.05\n"
              "QThresholdsForFDR= 0.01 0.05 0.1 \n"
              "CVConstantForFDR= 2\n"
              "ShowVerboseProgressLog= 1\n"
              "MapScaleFactor= 100\n"
              "AutoRegressionOrder= 1\n"
              "FirstTimePointInclusionThres= 100\n"
              "NumSurrogateSimulations= 1000\n"
              "NumDiscardedSimulatedTimePoints= 100\n"
              "\n");
}

TEST_F(ResultOutputTest, MapSetHasOneMapPerConditionAndKindAndLabelledLevels) {
    addCondition(setup, "A");
    addCondition(setup, "B");
    setup.parameters.mapTypesComputed = {DLDI, REF2VOX};
    setup.parameters.qThresholdsForFDR = {0.05f, 0.001f};
    const SelectedVoi voi = selectVoi("V", 0);
    host().mapSetExists = true;  // maps left over from before

    ASSERT_EQ(createMapSet(voi, setup, errors), 1) << errors.str();
    EXPECT_EQ(host().callNames(), (std::vector<std::string>{"syDeleteNRVMPsOfCurrentVMR",
                                                           "syCreateNRVMPsForCurrentVMR",
                                                           "syGetNRVMPsOfCurrentVMR"}));
    const FakeCall* create = host().lastCall("syCreateNRVMPsForCurrentVMR");
    EXPECT_EQ(create->numbers, (std::vector<long long>{4, 0, 2, 2, 57, 231, 52, 172, 59, 197, 3}));
    ASSERT_EQ(host().levelLabels.size(), 2u);
    EXPECT_STREQ(host().levelLabels[0].text, "thres q=0.050");
    EXPECT_STREQ(host().levelLabels[1].text, "thres q=0.001");
}

TEST_F(ResultOutputTest, MapSetFailures) {
    const SelectedVoi voi = selectVoi("V", 0);
    EXPECT_EQ(createMapSet(voi, setup, errors), 2) << "no condition";
    EXPECT_EQ(errors.str(),
              "An invalid number of maps have to be computed: 0"
              "Number of conditions, and/or number of map types were possibly invalid");

    addCondition(setup, "A");
    errors.str("");
    host().failCreateMapSet = true;
    EXPECT_EQ(createMapSet(voi, setup, errors), 3);
    EXPECT_EQ(errors.str(), "Could not create an CMP map-structure to write LDI results");

    errors.str("");
    host().failCreateMapSet = false;
    host().failGetMapSet = true;
    EXPECT_EQ(createMapSet(voi, setup, errors), 3);
    EXPECT_EQ(errors.str(), "Could not get access to created CMP map-structure for write LDI results");

    // A host grid other than the set-up's would receive too many values per map.
    errors.str("");
    host().failGetMapSet = false;
    setup.xEnd = 228;
    EXPECT_EQ(createMapSet(voi, setup, errors), 3);
    EXPECT_NE(errors.str().find("57 x 40 x 46"), std::string::npos) << errors.str();
}

TEST_F(ResultOutputTest, SavesMapFileAndLogEndingInNul) {
    addCondition(setup, "A");
    const SelectedVoi voi = selectVoi("V", 0);
    ASSERT_EQ(createMapSet(voi, setup, errors), 1);
    std::ostringstream runLog;
    runLog << "line one\nline two\n";

    ASSERT_EQ(saveResults(voi, setup, runLog, errors), 1) << errors.str();
    const std::string base = dir.path("P_V");
    ASSERT_EQ(host().saves.size(), 1u);
    EXPECT_EQ(host().saves[0].fileName, base + ".ldi");
    EXPECT_EQ(readFile(base + ".log"), std::string("line one\nline two\n") + '\0');
    EXPECT_FALSE(fileExists(base + ".log.partial"));
    EXPECT_EQ(host().logTexts, (std::vector<std::string>{"// LDI>\n// LDI> Written data: " + base + ".ldi",
                                                        "// LDI> Written  log: " + base + ".log"}));
}

TEST_F(ResultOutputTest, FailedSavesAreReportedAndLeaveNoFile) {
    addCondition(setup, "A");
    const SelectedVoi voi = selectVoi("V", 0);
    ASSERT_EQ(createMapSet(voi, setup, errors), 1);
    std::ostringstream runLog("text");

    host().failSave = true;
    EXPECT_EQ(saveResults(voi, setup, runLog, errors), 3);
    EXPECT_NE(errors.str().find(dir.path("P_V.ldi")), std::string::npos) << errors.str();
    EXPECT_FALSE(fileExists(dir.path("P_V.log")));
    EXPECT_TRUE(host().logTexts.empty()) << "nothing is announced as written";

    EXPECT_TRUE(folderContents(dir.root()).empty()) << "no temporary log is left";

    // The log's folder does not exist: that is found before the maps are
    // saved, so the VOI leaves no file at all.
    host().failSave = false;
    errors.str("");
    host().saves.clear();
    setup.outputPrefix = dir.path("missing/P");
    EXPECT_EQ(saveResults(voi, setup, runLog, errors), 3);
    EXPECT_NE(errors.str().find(dir.path("missing/P_V.log")), std::string::npos) << errors.str();
    EXPECT_TRUE(host().saves.empty());
    EXPECT_TRUE(host().logTexts.empty());
}

TEST_F(ResultOutputTest, TheLogIsNeverWrittenThroughALinkPlantedBesideIt) {
    addCondition(setup, "A");
    const SelectedVoi voi = selectVoi("V", 0);
    ASSERT_EQ(createMapSet(voi, setup, errors), 1);
    const std::string victim = dir.path("victim.txt");
    writeWholeFile(victim, "keep me");
    for (const std::string& planted : {dir.path("P_V.log.partial"), dir.path("P_V.log")})
        std::filesystem::create_symlink(victim, planted);
    std::ostringstream runLog("text");
    ASSERT_EQ(saveResults(voi, setup, runLog, errors), 1) << errors.str();
    EXPECT_EQ(readFile(victim), "keep me");
    EXPECT_EQ(readFile(dir.path("P_V.log")), std::string("text") + '\0');
    EXPECT_FALSE(std::filesystem::is_symlink(dir.path("P_V.log"))) << "the link itself is replaced";
}

TEST_F(ResultOutputTest, RepeatedVoiNamesGetTheirMenuNumber) {
    const SelectedVoi first = selectVoi("V", 2);
    const SelectedVoi other = selectVoi("W", 0);
    const SelectedVoi second = selectVoi("V", 4);
    const SelectedVoi third = selectVoi("V", 7);
    EXPECT_EQ(resultBaseName(setup, first), dir.path("P_V"));
    EXPECT_EQ(resultBaseName(setup, other), dir.path("P_W"));
    EXPECT_EQ(resultBaseName(setup, second), dir.path("P_V_5"));
    EXPECT_EQ(resultBaseName(setup, third), dir.path("P_V_8"));
}

// Every VOI of a run gets its own files inside the output folder, whatever its
// name: names that meet after the menu number, names that differ only in case,
// names with path parts, control bytes or bytes that are not UTF-8, and names
// too long for a file name.
TEST_F(ResultOutputTest, EveryVoiGetsItsOwnSafeNames) {
    setup.vois.clear();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"V", "P_V"},
        {"V", "P_V_2"},
        {"V_2", "P_V_2_3"},
        {"v", "P_v_4"},
        {"a/../../../important", "P_a_.._.._.._important"},
        {"b\\c:d", "P_b_c_d"},
        {std::string("R\xe9") + "f\n", "P_R_f_"},
        {"caf\xc3\xa9", "P_caf\xc3\xa9"},
        {std::string(300, 'x'), "P_" + std::string(MAX_VOI_NAME_BYTES_IN_FILE_NAMES, 'x')},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) selectVoi(cases[i].first, static_cast<int32_t>(i));
    const std::vector<std::string> names = resultBaseNames(setup);
    ASSERT_EQ(names.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(names[i], dir.path(cases[i].second)) << i;
    EXPECT_EQ(checkResultNames(setup, errors), 1);

    setup.outputPrefix = dir.path(std::string(200, 'p'));
    EXPECT_EQ(checkResultNames(setup, errors), 2);
    EXPECT_NE(errors.str().find("too long"), std::string::npos) << errors.str();
}

}  // namespace
