// The whole computation driven through runAnalysis with the fake host holding
// the map set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/synthetic_run.h"
#include "plugin/analysis_driver.h"
#include "plugin/ldi_plugin.h"
#include "base/host_api.h"
#include "stats/parallel.h"

using namespace ldi;

namespace {

float busy(int x, int y, int z, int t) { return 1000.0f + 50.0f * testNoise(x, y, z, t); }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

// The driver's course as seen from the host: one word per step of interest.
std::vector<std::string> course(const FakeHost& host) {
    std::vector<std::string> steps;
    for (const FakeCall& call : host.calls) {
        const std::string text = call.texts.empty() ? "" : call.texts[0];
        if (call.function == "syDeleteNRVMPsOfCurrentVMR") steps.push_back("delete");
        if (call.function == "syCreateNRVMPsForCurrentVMR") steps.push_back("create");
        if (call.function == "syGetNRVMPOfCurrentVMR") steps.push_back("map");
        if (call.function == "sySaveNRVMPsOfCurrentVMR") steps.push_back("save " + text);
        if (call.function != "syLogText") continue;
        if (text.find("Generating surrogate") != std::string::npos) steps.push_back("surrogates");
        if (text.find("VOI: <b>") != std::string::npos) steps.push_back(text.substr(text.find("VOI")));
        if (text.find("\tCondition: <em>") != std::string::npos) steps.push_back(text.substr(text.find("Cond")));
        if (text == "// LDI>\t0%...") steps.push_back("pass");
        if (text.find("Computing maps and thresholds") != std::string::npos) steps.push_back("maps");
    }
    return steps;
}

class AnalysisDriverTest : public SyntheticRunTest {
protected:
    // Three VOIs and two conditions over one small VTC of 4 x 4 x 4 voxels (larger than
    // a stdio buffer, so that a rewind reads from the disk again).
    void threeVoisTwoConditions() {
        VtcWriterOptions options;
        options.numVolumes = 20;
        options.xEnd = options.yEnd = options.zEnd = 12;
        options.value = busy;
        const std::string a = writeVtc("a.vtc", options);
        addEntry(addCondition(setup, "A"), a, a, {{2, 20}});
        addEntry(addCondition(setup, "B"), a, a, {{3, 12}, {13, 20}});
        addVoi("V1", 0, {{0, 0, 0}, {1, 0, 0}});
        addVoi("V2", 3, {{0, 1, 1}, {1, 1, 1}});
        addVoi("V3", 4, {{1, 1, 0}, {0, 0, 1}});
    }
};

TEST_F(AnalysisDriverTest, StepsRunInOrderForEveryVoiAndCondition) {
    setup.parameters.showVerboseProgressLog = true;
    threeVoisTwoConditions();
    ASSERT_EQ(runAnalysis(context, setup, errors), 1) << errors.str();

    std::vector<std::string> expected = {"surrogates"};
    for (const std::string& voi : std::vector<std::string> {"V1", "V2", "V3"}) {
        for (const std::string& step : {"VOI: <b>" + voi + "</b>", std::string("delete"), std::string("create")})
            expected.push_back(step);
        for (const char* condition : {"A", "B"}) {
            expected.push_back(std::string("Condition: <em>") + condition + "</em>");
            expected.push_back("pass");
            expected.push_back("maps");
            for (int k = 0; k < 6; ++k) expected.push_back("map");
        }
        expected.push_back("save " + dir.path("P_" + voi + ".ldi"));
    }
    expected.push_back("delete");
    EXPECT_EQ(course(host()), expected);

    for (const std::string& voi : std::vector<std::string> {"V1", "V2", "V3"}) {
        const std::string log = readFile(dir.path("P_" + voi + ".log"));
        EXPECT_EQ(log.rfind("Created by LDI-plugin version 1.5\n", 0), 0u) << voi;
        EXPECT_NE(log.find("VOI: " + voi + "\n*******\n"), std::string::npos) << voi;
        EXPECT_EQ(log.find("VOI: V", log.find("VOI: " + voi) + 1), std::string::npos) << "one VOI per log";
    }
    EXPECT_FALSE(host().mapSetExists);
    EXPECT_TRUE(context.vtcFiles.empty());
    EXPECT_FALSE(context.work.realMeasures);
    EXPECT_TRUE(host().notes.empty());
}

TEST_F(AnalysisDriverTest, QuietRunWritesOnlyTheResultLinesAndTheSameLogs) {
    threeVoisTwoConditions();
    ASSERT_EQ(runAnalysis(context, setup, errors), 1) << errors.str();
    const std::string quietLog = readFile(dir.path("P_V2.log"));
    // The seed line first (a run must be repeatable from its log pane), then the results.
    ASSERT_FALSE(host().logTexts.empty());
    EXPECT_EQ(host().logTexts.front().find("// LDI> Random seed of the surrogates: "), 0u) << host().logTexts.front();
    for (std::size_t i = 1; i < host().logTexts.size(); ++i)
        EXPECT_NE(host().logTexts[i].find("Written"), std::string::npos) << host().logTexts[i];
    EXPECT_EQ(host().logTexts.size(), 7u);

    setup.parameters.showVerboseProgressLog = true;
    ASSERT_EQ(runAnalysis(context, setup, errors), 1) << errors.str();
    const std::string verboseLog = readFile(dir.path("P_V2.log"));
    const std::string flagLine = "ShowVerboseProgressLog= ";
    std::string expected = quietLog;
    expected.replace(expected.find(flagLine) + flagLine.size(), 1, "1");
    EXPECT_EQ(verboseLog, expected);
}

// Forwards to the fake host's log and cuts a file short when the second VOI starts.
SyLogText fakeLogText = nullptr;
std::string fileToCut;
uintmax_t cutSize = 0;

void cuttingLogText(const char* text) {
    fakeLogText(text);
    if (std::strstr(text, "VOI: <b>V2</b>") != nullptr) std::filesystem::resize_file(fileToCut, cutSize);
}

TEST_F(AnalysisDriverTest, FailureInTheSecondVoisPassKeepsTheFirstVoisFilesAndDeletesTheMaps) {
    setup.parameters.showVerboseProgressLog = true;
    threeVoisTwoConditions();
    fileToCut = setup.conditions[0].entries[0].targetPath;
    cutSize = std::filesystem::file_size(fileToCut) / 2;
    HostApi table = hostApi;
    fakeLogText = table.syLogText;
    table.syLogText = cuttingLogText;
    ASSERT_TRUE(installHostApi(table));

    EXPECT_EQ(runAnalysis(context, setup, errors), 3);
    EXPECT_EQ(errors.str(), "Could not read data from vtc '" + fileToCut +
                                "'\nThe file was corrupted (not of expected size) or made inaccessible");
    ASSERT_EQ(host().saves.size(), 1u);
    EXPECT_EQ(host().saves[0].fileName, dir.path("P_V1.ldi"));
    EXPECT_TRUE(fileExists(dir.path("P_V1.log")));
    EXPECT_FALSE(fileExists(dir.path("P_V2.log")));
    EXPECT_FALSE(fileExists(dir.path("P_V3.log")));
    EXPECT_EQ(host().calls.back().function, "syDeleteNRVMPsOfCurrentVMR");
    EXPECT_FALSE(host().mapSetExists);
    EXPECT_TRUE(context.vtcFiles.empty());
    EXPECT_TRUE(context.voiTimeCourses.empty());
}

TEST_F(AnalysisDriverTest, FailureInPreparationStillDeletesTheMaps) {
    threeVoisTwoConditions();
    setup.conditions[0].entries[0].sourcePath = dir.path("missing.vtc");
    setup.conditions[0].entries[0].targetPath = dir.path("missing.vtc");
    host().mapSetExists = true;  // maps of an earlier run
    EXPECT_EQ(runAnalysis(context, setup, errors), 3);
    EXPECT_EQ(host().callNames(), std::vector<std::string>{"syDeleteNRVMPsOfCurrentVMR"});
    EXPECT_FALSE(host().mapSetExists);
}

TEST_F(AnalysisDriverTest, RunLogOfASmallCase) {
    VtcWriterOptions options;
    options.numVolumes = 20;
    options.zEnd = 3;  // one slice of 2 x 2 voxels
    options.value = [](int x, int y, int z, int t) {
        if (x == 0 && y == 0) return t == 0 ? 0.0f : 1000.0f;  // skipped
        if (x == 1 && y == 0) return 700.0f;                   // constant: ill-defined
        return busy(x, y, z, t);
    };
    const std::string a = writeVtc("run.vtc", options);
    addEntry(addCondition(setup, "A"), a, a, {{2, 20}});
    addVoi("V1", 0, {{0, 1, 0}, {1, 1, 0}});
    ASSERT_EQ(runAnalysis(context, setup, errors), 1) << errors.str();

    EXPECT_EQ(readFile(dir.path("P_V1.log")), std::string("Created by LDI-plugin version 1.5\n"
                                                          "\n"
                                                          "Global parameter values \n"
                                                          "------------------------\n"
                                                          "MapTypesComputed= REF2VOX VOX2REF INST DLDI DLDI_IT DLDI_RC \n"
                                                          "DLDI_ITInstLowerThres= 0.05\n"
                                                          "QThresholdsForFDR= 0.01 0.05 0.1 \n"
                                                          "CVConstantForFDR= 2\n"
                                                          "ShowVerboseProgressLog= 0\n"
                                                          "MapScaleFactor= 100\n"
                                                          "AutoRegressionOrder= 1\n"
                                                          "FirstTimePointInclusionThres= 100\n"
                                                          "NumSurrogateSimulations= 10\n"
                                                          "NumDiscardedSimulatedTimePoints= 10\n"
                                                          "\n"
                                                          "VOI: V1\n"
                                                          "*******\n"
                                                          "\n"
                                                          "\tCondition: A\n"
                                                          "\t------------\n"
                                                          "\tVTC: ") +
                                                  a +
                                                  "\n"
                                                  "\tintv(s):\n"
                                                  "\t\t2\t-\t20\n"
                                                  "\n"
                                                  "\tTotal nr. time-points: 19\n"
                                                  "\tEffective nr. time-points: 18\n"
                                                  "\tVoxels skipped: 1\t(25%)\n"
                                                  "\tVoxels ill-defined: 1\t(25%)\n"
                                                  "\tSurrogates ill-defined: 0\t(0%)\n" +
                                                  std::string(1, '\0'));
}

TEST_F(AnalysisDriverTest, PlantedLaggedInfluenceStandsOutAndPassesItsFdrThreshold) {
    // The reference region carries an AR(1) signal; the region G (x, y in 2..3 of
    // slice 1) follows it with a lag of one volume; everything else is noise.
    const int volumes = 200;
    std::vector<float> signal(volumes, 0.0f);
    for (int t = 1; t < volumes; ++t) signal[t] = 0.5f * signal[t - 1] + testNoise(99, 99, 99, t);
    const auto inG = [](int x, int y, int z) { return z == 1 && x >= 2 && y >= 2; };
    VtcWriterOptions options;
    options.numVolumes = volumes;
    options.xEnd = options.yEnd = 12;  // 4 x 4 x 2 voxels
    options.value = [&signal, &inG](int x, int y, int z, int t) {
        const float noise = testNoise(x, y, z, t);
        if (z == 0 && y == 0 && x < 2) return 1000.0f + 20.0f * (signal[t] + 0.3f * noise);  // the VOI
        if (inG(x, y, z)) return 1000.0f + 20.0f * ((t > 0 ? 0.8f * signal[t - 1] : 0.0f) + 0.5f * noise);
        return 1000.0f + 20.0f * noise;
    };
    const std::string a = writeVtc("e2e.vtc", options);
    addEntry(addCondition(setup, "A"), a, a, {{1, volumes}});
    addVoi("Ref", 0, {{0, 0, 0}, {1, 0, 0}});
    setup.parameters.mapTypesComputed = {REF2VOX};
    setup.parameters.qThresholdsForFDR = {0.05f};
    setup.parameters.numSurrogateSimulations = 100;
    ASSERT_EQ(runAnalysis(context, setup, errors), 1) << errors.str();

    ASSERT_EQ(host().saves.size(), 1u);
    const FakeMap& map = host().saves[0].maps[0];
    const float threshold = map.fdrThresholds[0];
    EXPECT_GT(threshold, 0.0f);
    float smallestInG = 1e30f;
    float largestElsewhere = -1e30f;
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                const float value = map.voxels[static_cast<std::size_t>((z * 4 + y) * 4 + x)];
                if (inG(x, y, z)) {
                    smallestInG = std::min(smallestInG, value);
                } else if (!(z == 0 && y == 0 && x < 2)) {
                    largestElsewhere = std::max(largestElsewhere, value);
                }
            }
    EXPECT_GT(smallestInG, largestElsewhere);
    EXPECT_GE(smallestInG, threshold);
}

}  // namespace

namespace {

// The data file is cut right after the first VOI's results are saved: the run
// fails on the second VOI's slices, and the first VOI's results stay whole.
TEST_F(AnalysisDriverTest, FileCutBetweenVoisKeepsTheFirstVoisResultsWhole) {
    VtcWriterOptions options;
    options.numVolumes = 120;
    options.xEnd = options.yEnd = options.zEnd = 9;
    options.value = busy;
    const std::string data = writeVtc("data.vtc", options);
    addEntry(addCondition(setup, "Task"), data, data, {{5, 120}});
    addVoi("Motor", 0, {{0, 0, 0}, {1, 0, 0}});
    addVoi("Visual", 1, {{0, 1, 0}});
    const long long header = testVtcHeaderSize(options);
    host().afterSave = [&](const std::string&) {
        std::filesystem::resize_file(data, static_cast<std::uintmax_t>(header + 3LL * 3 * 120 * 4 + 100));
    };

    EXPECT_EQ(runAnalysis(context, setup, errors), 3);
    EXPECT_NE(errors.str().find("Could not read data from vtc '" + data + "'"), std::string::npos) << errors.str();
    ASSERT_EQ(host().saves.size(), 1u);
    EXPECT_EQ(host().saves[0].fileName, dir.path("P_Motor.ldi"));
    const std::string motorLog = readFile(dir.path("P_Motor.log"));
    EXPECT_NE(motorLog.find("VOI: Motor"), std::string::npos);
    EXPECT_EQ(motorLog.back(), '\0') << "the log is whole";
    EXPECT_FALSE(fileExists(dir.path("P_Visual.log")));
    for (const auto& entry : std::filesystem::directory_iterator(dir.root()))
        EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
}

// Every host function is called from the thread that runs the analysis, also
// when the reference time courses, read while a helper prepares the volumes,
// bring warnings (VOI voxels outside the grid).
TEST_F(AnalysisDriverTest, HostFunctionsAreCalledOnlyFromTheRunsThread) {
    setup.parameters.showVerboseProgressLog = true;
    VtcWriterOptions options;
    options.numVolumes = 20;
    options.xEnd = options.yEnd = options.zEnd = 12;
    options.value = busy;
    const std::string a = writeVtc("a.vtc", options);
    addEntry(addCondition(setup, "A"), a, a, {{2, 20}});
    addVoi("Partly outside", 0, {{0, 0, 0}, {40, 0, 0}});
    addVoi("Also", 1, {{1, 1, 1}, {0, 90, 0}});
    for (int threads = 1; threads <= 4; ++threads) {
        SCOPED_TRACE(threads);
        setThreadCount(threads);  // the plug-in's export
        host().calls.clear();
        ASSERT_EQ(runAnalysis(context, setup, errors), 1) << errors.str();
        int warnings = 0;
        for (const FakeCall& call : host().calls) {
            EXPECT_EQ(call.thread, std::this_thread::get_id()) << call.function;
            if (call.function == "syLogText" && call.texts[0].find("WARNING") != std::string::npos) ++warnings;
        }
        EXPECT_EQ(warnings, 2);
    }
}

}  // namespace
