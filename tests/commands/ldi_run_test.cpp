// `ldi` as a user runs it: whole analyses through the real plug-in, scripted
// and at a terminal, the failures a user meets, and `ldi info`.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include <nifti1_io.h>
#include <nlohmann/json.hpp>

#include "formats/ldi_file.h"
#include "support/host_test_support.h"
#include "support/vtc_writer.h"

using namespace ldi;

using ldi::decodeLdi;
using ldi::LdiFile;
using ldi::Parsed;

namespace {

const std::string STARS(64, '*');

class LdiRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writeAnalysisVtc(dir.path("run1.vtc")));
        writeWholeFile(dir.path("regions.voi"), analysisVoiText());
        std::filesystem::create_directory(dir.path("out"));
    }

    // `ldi run` on the test's files, with an empty plug-ins folder of its own
    // so that no settings file of the build folder interferes.
    ProcessResult run(std::vector<std::string> arguments, const std::string& input = std::string()) {
        std::vector<std::string> all = {"run", "--vtc", "run1.vtc", "--voi", "regions.voi", "--plugins-dir",
                                        dir.root()};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return runLdi(all, dir.root(), input);
    }

    // The saved files of one VOI agree with each other; returns the map set.
    LdiFile checkResults(const std::string& base, const std::vector<std::string>& mapNames) {
        Parsed<LdiFile> parsed = decodeLdi(readWholeFile(dir.path(base + ".ldi")));
        EXPECT_TRUE(parsed.ok) << parsed.message;
        const LdiFile& ldi = parsed.value;
        EXPECT_EQ(ldi.geometry.dimX, 4);
        EXPECT_EQ(ldi.geometry.dimY, 3);
        EXPECT_EQ(ldi.geometry.dimZ, 2);
        EXPECT_EQ(ldi.geometry.resolution, 3);
        EXPECT_EQ(ldi.levelLabels, (std::vector<std::string>{"thres q=0.010", "thres q=0.050", "thres q=0.100"}));
        std::vector<std::string> names;
        for (const auto& map : ldi.maps) names.push_back(map.name);
        EXPECT_EQ(names, mapNames);

        nlohmann::json json = nlohmann::json::parse(readWholeFile(dir.path(base + ".json")));
        EXPECT_EQ(json["plugin"]["name"], "Lagged Dependency Imaging (LDI) v1.5");
        EXPECT_EQ(json["plugin"]["version"], "1.5");
        EXPECT_EQ(json["geometry"]["box"]["xEnd"], 12);
        EXPECT_EQ(json["levels"][1], "thres q=0.050");
        EXPECT_EQ(json["maps"].size(), ldi.maps.size());
        const std::string folder = std::filesystem::path(dir.path(base)).parent_path().string();
        for (std::size_t m = 0; m < ldi.maps.size() && m < json["maps"].size(); ++m) {
            const auto& entry = json["maps"][m];
            const auto& map = ldi.maps[m];
            EXPECT_EQ(entry["index"], m);
            EXPECT_EQ(entry["displayName"], map.name);
            EXPECT_EQ(float(entry["lowerThreshold"].get<double>()), map.lowerThreshold);
            EXPECT_EQ(float(entry["upperThreshold"].get<double>()), map.upperThreshold);
            EXPECT_EQ(entry["colours"]["positiveHigh"], map.positiveColourHigh);
            // dLDI RC has no FDR thresholds: the index lists none rather than its zero slots.
            if (ldi::mapHasNoFdrThresholds(map)) {
                EXPECT_TRUE(entry["fdrThresholds"].empty()) << map.name;
            } else {
                EXPECT_EQ(entry["fdrThresholds"].size(), 3u) << map.name;
                for (std::size_t t = 0; t < 3 && t < entry["fdrThresholds"].size(); ++t) {
                    EXPECT_EQ(entry["fdrThresholds"][t]["label"], ldi.levelLabels[t]);
                    EXPECT_EQ(float(entry["fdrThresholds"][t]["threshold"].get<double>()), map.fdrThresholds[t]);
                }
                EXPECT_DOUBLE_EQ(entry["fdrThresholds"][0]["q"].get<double>(), 0.01);
            }
            const std::string nifti = folder + "/" + entry["niftiFile"].get<std::string>();
            EXPECT_EQ(entry["niftiFile"].get<std::string>(),
                      std::filesystem::path(base).filename().string() + "_" + ldi::fileLabel(map.name) +
                          ".nii.gz");
            nifti_image* image = nifti_image_read(nifti.c_str(), 1);
            EXPECT_NE(image, nullptr) << nifti;
            if (image == nullptr) continue;
            EXPECT_EQ(image->nx * image->ny * image->nz, 24);
            EXPECT_EQ(std::vector<float>(static_cast<float*>(image->data), static_cast<float*>(image->data) + 24),
                      std::vector<float>(map.voxels.begin(), map.voxels.end()));
            nifti_image_free(image);
        }
        // The plug-in's own log of the VOI lies beside them.
        const std::string log = readWholeFile(dir.path(base + ".log"));
        EXPECT_EQ(log.rfind("Created by LDI-plugin version 1.5\n", 0), 0u);
        EXPECT_TRUE(!log.empty() && log.back() == '\0');
        return ldi;
    }

    static std::vector<std::string> mapsOf(const std::string& condition) {
        std::vector<std::string> names;
        for (const char* kind : {"Ref2Vox", "Vox2Ref", "Inst", "dLDI", "dLDI IT", "dLDI RC"})
            names.push_back(condition + ": " + kind);
        return names;
    }

    TestTempDir dir;
};

const char SETUP[] = "1\n0\n1\nTask\nrun1.vtc\n5\n100\n<cancel>\n\nout/P\n";

}  // namespace

TEST_F(LdiRun, AnswersFileRunsAWholeAnalysis) {
    writeWholeFile(dir.path("setup.txt"), SETUP);
    ProcessResult result = run({"--answers", "setup.txt", "--log", "run.log"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");

    // The log pane on standard output: plain text, banners first and last.
    EXPECT_EQ(result.out.rfind("\n//" + STARS + "\n//  L A G G E D   D E P E N D E N C Y   I M A G I N G", 0), 0u);
    EXPECT_NE(result.out.find("//  LDI -  SYNA Plugin Version 1.5\n"), std::string::npos);
    EXPECT_NE(result.out.find("// LDI> Done, all computations succesful\n"), std::string::npos);
    EXPECT_NE(result.out.find("// LDI> Written data: out/P_Motor.ldi\n"), std::string::npos);
    EXPECT_NE(result.out.find("//  End LDI-Plugin output\n//" + STARS + "\n\n"), std::string::npos);
    EXPECT_EQ(result.out.find("<b>"), std::string::npos);

    // --log keeps the raw texts, one line break after each call.
    const std::string log = readWholeFile(dir.path("run.log"));
    EXPECT_EQ(log.rfind("\n//" + STARS + "\n//  L A G G E D", 0), 0u);
    EXPECT_NE(log.find("\n//  <b>LDI</b> -  SYNA Plugin Version 1.5\n"), std::string::npos);
    EXPECT_NE(log.find("// LDI> <b>Motor</b>\n"), std::string::npos);
    EXPECT_NE(log.find("// LDI> Running. Waiting for user selections...\n// LDI> \n"), std::string::npos);
    const std::string end = "\n//  End LDI-Plugin output\n//" + STARS + "\n\n";
    EXPECT_EQ(log.substr(log.size() - end.size()), end);

    LdiFile maps = checkResults("out/P_Motor", mapsOf("Task"));
    bool anyValue = false;
    for (float value : maps.maps[0].voxels) anyValue = anyValue || value != 0.0f;
    EXPECT_TRUE(anyValue) << "the reference-to-voxel map holds only zeros";
    EXPECT_EQ(folderContents(dir.path("out")).size(), 9u);  // .ldi, .json, .log, six NIfTI files

    ProcessResult info = runLdi({"info", "out/P_Motor.ldi"}, dir.root());
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("grid:              4 x 3 x 2 voxels"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("map 4: \"Task: dLDI IT\""), std::string::npos);
    EXPECT_NE(info.out.find("FDR \"thres q=0.050\" (q 0.05): "), std::string::npos);
}

TEST_F(LdiRun, ShorthandAndStandardInputAnswers) {
    ProcessResult result = run({"--quiet", "--select-voi", "all", "--condition", "Rest", "--data", "run1.vtc",
                                "--interval", "5-60", "--condition", "Task", "--data", "run1.vtc", "--interval",
                                "61-120", "--out", "out/S"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");  // --quiet
    std::vector<std::string> names = mapsOf("Rest");
    for (const std::string& name : mapsOf("Task")) names.push_back(name);
    checkResults("out/S_Motor", names);
    checkResults("out/S_Visual", names);

    result = run({"--answers", "-", "--select-voi", "1"}, SETUP);
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("not both"), std::string::npos);
    result = run({"--answers", "-"}, std::string(SETUP).replace(std::string(SETUP).find("out/P"), 5, "out/I"));
    ASSERT_EQ(result.status, 0) << result.err;
    checkResults("out/I_Motor", mapsOf("Task"));
}

TEST_F(LdiRun, ProtocolIntervalsInMilliseconds) {
    writeWholeFile(dir.path("run1.prt"),
                  "FileVersion: 2\nResolutionOfTime: msec\n\nNrOfConditions: 2\n\nRest\n1\n0 9999\n"
                  "Color: 80 80 80\n\nTask\n2\n10000 119999\n120000 219999\nColor: 255 0 0\n");
    ProcessResult result = run({"--select-voi", "Visual", "--condition", "T", "--data", "run1.vtc", "--protocol",
                                "run1.prt", "--protocol-condition", "Task", "--out", "out/M"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("WARNING: The specified protocol has millisecond resolution"), std::string::npos);
    EXPECT_NE(result.out.find("\t\t6\t-\t60\n"), std::string::npos) << result.out;
    checkResults("out/M_Visual", mapsOf("T"));

    // A protocol the host cannot read is reported by both.
    writeWholeFile(dir.path("broken.prt"), "ResolutionOfTime: msec\nNrOfConditions: 1\nTask\n2\n0 10\n");
    writeWholeFile(dir.path("setup.txt"), "1\n0\n2\nT\nrun1.vtc\nbroken.prt\n1\n");
    const std::size_t filesBefore = folderContents(dir.path("out")).size();
    result = run({"--answers", "setup.txt"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("cannot use the protocol broken.prt: broken.prt:5: the file ends after 1 of the 2"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find("ERROR: Could not get access to protocol definition"), std::string::npos);
    EXPECT_EQ(folderContents(dir.path("out")).size(), filesBefore);
}

TEST_F(LdiRun, SourceAndTargetPairsNeedTheSettingToMatch) {
    ASSERT_TRUE(writeAnalysisVtc(dir.path("run2.vtc"), 120, 2));
    const std::vector<std::string> pair = {"--select-voi", "Motor", "--condition", "A", "--data",
                                           "run1.vtc:run2.vtc", "--interval", "5-100", "--out", "out/T"};
    ProcessResult result = run(pair);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("SeparateSourceTargetVTCs"), std::string::npos) << result.err;
    EXPECT_TRUE(folderContents(dir.path("out")).empty());

    writeWholeFile(dir.path("LDIPlugin.ini"), "SeparateSourceTargetVTCs= 1\n");
    result = run(pair);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("// LDI> \tsrc: run1.vtc\n// LDI> \ttrg: run2.vtc\n"), std::string::npos);
    checkResults("out/T_Motor", mapsOf("A"));
}

TEST_F(LdiRun, MissingHostDataEndsWithTheMessageBox) {
    ProcessResult result = runLdi({"run", "--voi", "regions.voi", "--plugins-dir", dir.root()}, dir.root());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");  // nothing reaches the log pane
    EXPECT_EQ(result.err.rfind("message: No VTC\nThe LDI-plugin requires a referenced VTC to correctly access "
                               "VOI-definitions.\n Make sure that a VTC is linked.\n",
                               0),
              0u)
        << result.err;

    result = run({"--no-vmr"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("message: No VMR\n", 0), 0u) << result.err;
    result = runLdi({"run", "--vtc", "run1.vtc", "--plugins-dir", dir.root()}, dir.root());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("message: No VOI file\n", 0), 0u) << result.err;
}

TEST_F(LdiRun, MalformedInputsStopBeforeThePluginStarts) {
    writeWholeFile(dir.path("regions.voi"), "VOI: Motor\n0 0 0\n\n0 0 zero\n");
    ProcessResult result = run({"--answers", "-"}, SETUP);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("regions.voi:4: malformed VOI file: expected a voxel line of three integers"),
              std::string::npos)
        << result.err;

    writeWholeFile(dir.path("regions.voi"), analysisVoiText());
    writeWholeFile(dir.path("run1.vtc"), "not a VTC");
    result = run({"--answers", "-"}, SETUP);
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("run1.vtc"), std::string::npos);
    EXPECT_TRUE(folderContents(dir.path("out")).empty());
}

TEST_F(LdiRun, AnswersThatRunOutCancelAndWriteNothing) {
    // Out of answers at the interval method: the plug-in ends as cancelled.
    ProcessResult result = run({"--answers", "-", "--log", "run.log"}, "1\n0\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("standard input ran out at the dialog \"Interval selection\""), std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find("// LDI> Canceled by user.\n"), std::string::npos);
    EXPECT_NE(readWholeFile(dir.path("run.log")).find("//  End LDI-Plugin output"), std::string::npos);

    // Out of answers where a cancel only brings the dialog back: the host stops.
    result = run({"--answers", "-"}, "1\n0\n1\nTask\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("keeps asking \"Add a VTC for condition: Task"), std::string::npos) << result.err;
    EXPECT_LE(countOf(result.err, "message: Invalid selection"), 3);

    // Nothing at all to answer with, and no terminal.
    result = run({});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("no answers"), std::string::npos) << result.err;
    EXPECT_TRUE(folderContents(dir.path("out")).empty());
}

TEST_F(LdiRun, UnwritableOutputFolderFailsTheRun) {
    const std::string setup = SETUP;
    for (const std::string folder : {"gone", "afile"}) {
        writeWholeFile(dir.path("afile"), "a file where a folder should be");
        writeWholeFile(dir.path("setup.txt"), std::string(setup).replace(setup.find("out/P"), 5, folder + "/P"));
        ProcessResult result = run({"--answers", "setup.txt"});
        EXPECT_EQ(result.status, 1);
        // The log is written first, so it is what fails, before any map is saved.
        EXPECT_NE(result.all().find("Could not write the log file: " + folder + "/P_Motor.log"), std::string::npos)
            << result.all();
        EXPECT_FALSE(std::filesystem::exists(dir.path("gone")));
        for (const std::string& name : folderContents(dir.root())) EXPECT_EQ(name.find("P_Motor"), std::string::npos);
    }
}

TEST_F(LdiRun, WriteProtectedOutputFolderFailsTheRun) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: a folder without write permission stays writable";
    chmod(dir.path("out").c_str(), 0555);
    writeWholeFile(dir.path("setup.txt"), SETUP);
    ProcessResult result = run({"--answers", "setup.txt"});
    chmod(dir.path("out").c_str(), 0755);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("out/P_Motor.ldi"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Permission denied"), std::string::npos) << result.err;
    EXPECT_TRUE(folderContents(dir.path("out")).empty());
}

TEST_F(LdiRun, UsageErrorsAndPluginProblemsGiveStatusTwo) {
    ProcessResult result = run({"--plugin", "nowhere/LDIPlugin_v15.so"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("nowhere/LDIPlugin_v15.so"), std::string::npos);
    writeWholeFile(dir.path("fake.so"), "text");
    result = run({"--plugin", "fake.so"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("cannot load the plug-in fake.so"), std::string::npos) << result.err;
    result = run({"--frobnicate"});
    EXPECT_EQ(result.status, 2);
    result = run({"--condition", "A", "--data", "run1.vtc", "--out", "P"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--data run1.vtc needs --interval"), std::string::npos) << result.err;
    result = run({"--plugins-dir", "no-such-dir"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(runLdi({}, dir.root()).status, 2);
}

TEST_F(LdiRun, AFailedRunSaysWhyOnStandardErrorEvenWhenQuiet) {
    ProcessResult result = run({"--quiet", "--select-voi", "1", "--condition", "Task", "--data", "run1.vtc",
                                "--interval", "5-500", "--out", "out/Q"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("the run did not succeed; the plug-in's last message:\n  An interval (5, 500)"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("  An invalid input parameter-set caused computation to terminate."), std::string::npos);
}

TEST_F(LdiRun, FilesOnTheCommandLineAreCheckedBeforeThePluginStarts) {
    auto shorthand = [](const std::string& data, const std::string& out) {
        return std::vector<std::string>{"--select-voi", "1", "--condition", "Task", "--data", data,
                                        "--interval", "5-100", "--out", out};
    };
    ProcessResult result = run(shorthand("missing.vtc", "out/F"));
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");  // the plug-in never started
    EXPECT_NE(result.err.find("--data missing.vtc: cannot open missing.vtc"), std::string::npos) << result.err;
    result = run(shorthand("run1.vtc", "gone/F"));
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--out gone/F: the folder gone does not exist"), std::string::npos) << result.err;

    // A NIfTI-1 header: its size first, its magic at byte 344.
    std::string nifti(352, '\0');
    nifti[0] = 0x5c;
    nifti[1] = 0x01;
    nifti.replace(344, 3, "n+1");
    writeWholeFile(dir.path("mask.nii"), nifti);
    result = runLdi({"run", "--vtc", "run1.vtc", "--voi", "mask.nii"}, dir.root());
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--voi mask.nii: this is a NIfTI-1 image, not a VOI file"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("ldi map"), std::string::npos);
    EXPECT_TRUE(folderContents(dir.path("out")).empty());
}

TEST_F(LdiRun, ARunWithoutAnyVoxelAboveTheInclusionThresholdSaysSo) {
    writeWholeFile(dir.path("LDIPlugin.ini"), "FirstTimePointInclusionThres= 60000\n");
    ProcessResult result = run({"--select-voi", "1", "--condition", "Task", "--data", "run1.vtc", "--interval",
                                "5-100", "--out", "out/E"});
    // Everything asked was computed, over no voxel: the run succeeds and says why its maps are empty.
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string warning = "No voxel passed the inclusion threshold in condition 'Task': every voxel's value "
                                "at the first time point is at or below 60000, so its maps are empty (the "
                                "threshold is FirstTimePointInclusionThres in LDIPlugin.ini)";
    EXPECT_NE(result.out.find("// LDI> WARNING: " + warning + "\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "ldi: the plug-in warns: " + warning + "\n");
}

TEST_F(LdiRun, TheBuiltPluginFindsItsDefaultSettings) {
    // Without --plugins-dir the plug-in reads the LDIPlugin.ini the build put beside it.
    ProcessResult result = runLdi({"run", "--vtc", "run1.vtc", "--voi", "regions.voi", "--select-voi", "1",
                                   "--condition", "Task", "--data", "run1.vtc", "--interval", "5-100", "--out",
                                   "out/D"},
                                  dir.root());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.all().find("WARNING"), std::string::npos) << result.all();
}

TEST_F(LdiRun, TimingTellsThePluginsComputationFromTheHostsWork) {
    ProcessResult result = run({"--quiet", "--timing", "--threads", "2", "--select-voi", "1", "--condition", "Task",
                                "--data", "run1.vtc", "--interval", "5-100", "--out", "out/T"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::smatch parts;
    const std::regex line(
        "ldi: timing: the plug-in ran for ([0-9]+\\.[0-9]) ms: ([0-9]+\\.[0-9]) ms of its own computation and "
        "([0-9]+\\.[0-9]) ms in the host's functions \\(dialogs, log pane, map sets, saving the results\\)\n");
    ASSERT_TRUE(std::regex_match(result.err, parts, line)) << result.err;
    const double total = std::stod(parts[1]);
    const double computation = std::stod(parts[2]);
    const double host = std::stod(parts[3]);
    EXPECT_NEAR(total, computation + host, 0.11);
    EXPECT_GT(host, 0.0) << "saving the results is the host's work";
    EXPECT_GT(computation, 0.0);
}

TEST_F(LdiRun, HelpVersionAndInfo) {
    ProcessResult help = runLdi({"--help"}, dir.root());
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Examples:"), std::string::npos);
    ProcessResult demoHelp = runLdi({"demo", "--help"}, dir.root());
    EXPECT_EQ(demoHelp.status, 0);
    EXPECT_NE(demoHelp.out.find("ldi demo build/demo --seed 7"), std::string::npos) << demoHelp.out;
    EXPECT_EQ(demoHelp.out.find("ldi simulate sim --seed 7"), std::string::npos) << demoHelp.out;
    ProcessResult runHelp = runLdi({"run", "--help"}, dir.root());
    EXPECT_EQ(runHelp.status, 0);
    const std::string usage = readWholeFile(
        (std::filesystem::path(__FILE__).parent_path() / "../../docs/usage.md").lexically_normal().string());
    for (const char* flag : {"--vtc", "--voi", "--plugin", "--plugins-dir", "--answers", "--log", "--no-vmr",
                             "--quiet", "--threads", "--timing", "--select-voi", "--condition", "--data", "--interval", "--protocol",
                             "--protocol-condition", "--out"}) {
        EXPECT_NE(runHelp.out.find(std::string(flag) + " "), std::string::npos) << flag;
        EXPECT_NE(usage.find(std::string("`") + flag), std::string::npos) << flag << " missing from docs/usage.md";
    }
    EXPECT_NE(runHelp.out.find("Examples:"), std::string::npos);
    ProcessResult version = runLdi({"--version"}, dir.root());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("ldi 2.1.0", 0), 0u);

    ProcessResult info = runLdi({"info", "run1.vtc"}, dir.root());
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("grid:              4 x 3 x 2 voxels"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("TR:                2000 ms"), std::string::npos);
    EXPECT_NE(info.out.find("(as expected)"), std::string::npos);
    const std::string whole = readWholeFile(dir.path("run1.vtc"));
    writeWholeFile(dir.path("cut.vtc"), whole.substr(0, whole.size() - 10));
    info = runLdi({"info", "cut.vtc"}, dir.root());
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.out.find("10 bytes short"), std::string::npos);
    writeWholeFile(dir.path("bad.ldi"), whole);
    info = runLdi({"info", "bad.ldi"}, dir.root());
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.err.find("not an LDI map file"), std::string::npos);
    EXPECT_EQ(runLdi({"info", "regions.voi"}, dir.root()).status, 2);
}

TEST_F(LdiRun, TerminalSessionForOneWholeSetUp) {
    // Answers typed at the prompts of a pseudo-terminal: the VOI menu with a
    // refused answer, the method, a condition, a file, an interval with an
    // empty answer taking the default, two ends of lists and the prefix.
    const std::vector<std::string> typed = {"7", "2", "0", "1", "Task", "run1.vtc", "", "100", "", "", "out/Q"};
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir.root().c_str()) != 0) _exit(126);
        const std::string plugins = dir.root();
        execl(LDI_HOST_PATH, "ldi", "run", "--vtc", "run1.vtc", "--voi", "regions.voi", "--plugins-dir",
              plugins.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string shown;
    std::size_t next = 0;
    std::size_t promptsSeen = 0;
    for (;;) {
        pollfd wait = {terminal, POLLIN, 0};
        if (poll(&wait, 1, 60000) <= 0) break;
        char buffer[4096];
        const ssize_t count = read(terminal, buffer, sizeof buffer);
        if (count <= 0) break;
        shown.append(buffer, static_cast<std::size_t>(count));
        const std::size_t prompts = static_cast<std::size_t>(countOf(shown, ") > "));
        if (prompts > promptsSeen && shown.size() >= 3 && shown.compare(shown.size() - 3, 3, " > ") == 0) {
            promptsSeen = prompts;
            const std::string line = (next < typed.size() ? typed[next++] : std::string("<cancel>")) + "\n";
            ASSERT_EQ(write(terminal, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(terminal);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << shown;
    EXPECT_EQ(next, typed.size()) << shown;
    EXPECT_NE(shown.find("0. Stop selecting"), std::string::npos);
    EXPECT_NE(shown.find("3. Add all\r\n(a whole number from 0 to 3; empty for 1) > "), std::string::npos);
    EXPECT_NE(shown.find("the number 7 is not between 0 and 3; please answer again"), std::string::npos);
    EXPECT_NE(shown.find("(a whole number from 1 to 1000000; empty for 5) > "), std::string::npos);
    EXPECT_NE(shown.find("// LDI> \t\t5\t-\t100"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Done, all computations succesful"), std::string::npos);
    checkResults("out/Q_Visual", mapsOf("Task"));
}

// A choice the plug-in refuses in an answers file ends the run: the answers
// after it were meant for other dialogs and would analyse something else.
TEST_F(LdiRun, ARefusedAnswerEndsTheRunWithStatusTwo) {
    writeWholeFile(dir.path("setup.txt"), "1\n0\n1\nTask\nrun1.vtc\n5\n100\nrun1.vtc\n101\n195\n<cancel>\n\nout/P\n");
    ProcessResult result = run({"--answers", "setup.txt"});
    EXPECT_EQ(result.status, 2) << result.all();
    EXPECT_NE(result.err.find("Invalid selection"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("refused a choice made by setup.txt (line 8)"), std::string::npos) << result.err;
    EXPECT_TRUE(folderContents(dir.path("out")).empty());
}

// ldi info also describes the NIfTI maps and the JSON index of a run: the
// maps lie in the anatomy's axes (posterior, inferior, left along the grid).
TEST_F(LdiRun, InfoDescribesTheMapsAndTheIndexOfARun) {
    writeWholeFile(dir.path("setup.txt"), SETUP);
    ASSERT_EQ(run({"--answers", "setup.txt"}).status, 0);
    ProcessResult nifti = runLdi({"info", "out/P_Motor_Task_dLDI.nii.gz"}, dir.root());
    EXPECT_EQ(nifti.status, 0) << nifti.err;
    EXPECT_NE(nifti.out.find("dimensions:        4 x 3 x 2\n"), std::string::npos) << nifti.out;
    EXPECT_NE(nifti.out.find("orientation:       PIL (sform code 3, qform code 3)"), std::string::npos) << nifti.out;
    ProcessResult index = runLdi({"info", "out/P_Motor.json"}, dir.root());
    EXPECT_EQ(index.status, 0) << index.err;
    EXPECT_NE(index.out.find("map 3: \"Task: dLDI\"\n  file:            \"P_Motor_Task_dLDI.nii.gz\""),
              std::string::npos)
        << index.out;
    EXPECT_EQ(runLdi({"info", "setup.txt"}, dir.root()).status, 2);
}
