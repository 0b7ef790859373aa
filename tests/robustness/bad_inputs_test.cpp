// Bad input files given to a whole `ldi run`, as users meet them: VTC headers
// at their extremes, settings files with stray bytes, VOIs far from the data,
// protocols with impossible intervals. Each run must end with a message that
// names the problem, a failure status, and no result files; a settings file
// that is dismissed only brings a warning.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/ldi_process.h"

using namespace ldi;

namespace {

// 4 x 3 x 2 voxels (box 0..12 x 0..9 x 0..6, resolution 3), 60 volumes.
VtcWriterOptions goodVtc() {
    VtcWriterOptions options;
    options.numVolumes = 60;
    options.xEnd = 12;
    options.yEnd = 9;
    options.zEnd = 6;
    options.value = [](int x, int y, int z, int t) {
        return 1000.0f + float((x * 7 + y * 5 + z * 3 + t * t) % 17);
    };
    return options;
}

class BadInputRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writeTestVtc(dir.path("linked.vtc"), goodVtc()));
        writeWholeFile(dir.path("regions.voi"), "VOI: Motor\n0 0 0\n3 0 0\n");
        writeWholeFile(dir.path("LDIPlugin.ini"), "NumSurrogateSimulations= 10\n");
    }

    // `ldi run` with one condition "Task" over `data` and the given interval
    // options (--interval or --protocol), results under the prefix P.
    LdiOutcome run(const std::string& data, std::vector<std::string> intervals = {"--interval", "5-60"},
                   const std::string& answers = std::string()) {
        std::vector<std::string> arguments = {"run", "--vtc", "linked.vtc", "--voi", "regions.voi",
                                              "--plugins-dir", dir.root()};
        if (!answers.empty()) {
            writeWholeFile(dir.path("answers.txt"), answers);
            arguments.insert(arguments.end(), {"--answers", "answers.txt"});
        } else {
            arguments.insert(arguments.end(), {"--select-voi", "all", "--condition", "Task", "--data", data});
            arguments.insert(arguments.end(), intervals.begin(), intervals.end());
            arguments.insert(arguments.end(), {"--out", "P"});
        }
        LdiOutcome outcome = runLdiFor(arguments, dir.root());
        EXPECT_FALSE(outcome.timedOut) << outcome.all();
        EXPECT_EQ(outcome.signal, 0) << outcome.all();
        return outcome;
    }

    std::vector<std::string> results() const {
        std::vector<std::string> names;
        for (const std::string& name : folderContents(dir.root()))
            if (name.rfind("P_", 0) == 0) names.push_back(name);
        return names;
    }

    TestTempDir dir;
};

TEST_F(BadInputRun, VtcHeadersAtTheirExtremesAreRefusedWhenChosen) {
    struct Case {
        const char* what;
        std::function<void(VtcWriterOptions&)> change;
    };
    const std::vector<Case> refused = {
        {"version 1", [](VtcWriterOptions& o) { o.version = 1; }},
        {"version -1", [](VtcWriterOptions& o) { o.version = -1; }},
        {"32767 linked protocols", [](VtcWriterOptions& o) { o.linkedProtocols = 32767; }},
        {"no volumes", [](VtcWriterOptions& o) { o.numVolumes = 0; }},
        {"negative volumes", [](VtcWriterOptions& o) { o.numVolumes = -60; }},
        {"resolution 0", [](VtcWriterOptions& o) { o.resolution = 0; }},
        {"negative resolution", [](VtcWriterOptions& o) { o.resolution = -3; }},
        {"box end before its start", [](VtcWriterOptions& o) { o.xStart = 12, o.xEnd = 0; }},
        {"box of width 0", [](VtcWriterOptions& o) { o.yEnd = o.yStart; }},
        {"box narrower than one voxel", [](VtcWriterOptions& o) { o.zEnd = o.zStart + 2; }},
        {"box and volumes at 32767: the slice size overflows",
         [](VtcWriterOptions& o) {
             o.resolution = 1;
             o.xEnd = o.yEnd = o.zEnd = 32767;
             o.numVolumes = 32767;
             o.values = {1.0f};
         }},
        {"negative box at -32768",
         [](VtcWriterOptions& o) {
             o.xStart = o.yStart = o.zStart = -32768;
             o.values = {1.0f};
         }},
        {"source name without its NUL at the end of the file",
         [](VtcWriterOptions& o) {
             o.terminateSourceName = false;
             o.truncateAt = 2 + static_cast<long long>(o.sourceName.size());
         }},
        {"protocol name without its NUL at the end of the file",
         [](VtcWriterOptions& o) {
             o.terminateProtocolName = false;
             o.truncateAt = testVtcHeaderSize(o) - 12;
         }},
        {"a 100000-byte name running to the end of the file",
         [](VtcWriterOptions& o) {
             o.sourceName = std::string(100000, 'n');
             o.terminateSourceName = false;
             o.truncateAt = 2 + 100000;
         }},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        VtcWriterOptions options = goodVtc();
        c.change(options);
        ASSERT_TRUE(writeTestVtc(dir.path("bad.vtc"), options));
        const LdiOutcome outcome = run("bad.vtc");
        EXPECT_EQ(outcome.status, 1) << outcome.all();
        EXPECT_NE(outcome.err.find("Either could not open vtc or the selected vtc is not of the same dimensions"),
                  std::string::npos)
            << outcome.err;
        EXPECT_EQ(results(), std::vector<std::string>());
    }
}

TEST_F(BadInputRun, VtcHeadersThatPromiseMoreDataThanTheFileHoldsFailTheRun) {
    struct Case {
        const char* what;
        std::function<void(VtcWriterOptions&)> change;
    };
    const std::vector<Case> cases = {
        {"32767 volumes in a file of 60",
         [](VtcWriterOptions& o) {
             o.numVolumes = 32767;
             o.values = std::vector<float>(4 * 3 * 2 * 60, 1000.0f);
         }},
        // The grid's slice just fits 32-bit counts, so only the file's size
        // can tell that the header is wrong; nothing of its size may be
        // allocated before that is found.
        {"a 32767 x 32767 grid in a file of a few bytes",
         [](VtcWriterOptions& o) {
             o.resolution = 1;
             o.xStart = o.yStart = o.zStart = 0;
             o.xEnd = o.yEnd = 32767;
             o.zEnd = 1;
             o.numVolumes = 2;
             o.values = std::vector<float>(64, 1000.0f);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VtcWriterOptions options = goodVtc();
        c.change(options);
        ASSERT_TRUE(writeTestVtc(dir.path("big.vtc"), options));
        // The first file chosen sets the geometry, so the header is accepted.
        const LdiOutcome outcome = run("big.vtc", {"--interval", "5-20"});
        EXPECT_EQ(outcome.status, 1) << outcome.all();
        EXPECT_NE(outcome.out.find("'big.vtc'"), std::string::npos) << outcome.out;
        EXPECT_NE(outcome.out.find("not of expected size"), std::string::npos) << outcome.out;
        EXPECT_EQ(results(), std::vector<std::string>());
    }
}

TEST_F(BadInputRun, VtcHeaderValuesTheReaderToleratesStillGiveResults) {
    // Version 32767 reads as the newest layout, a count of -1 linked
    // protocols as none, a data type of 32767 as 16-bit values.
    VtcWriterOptions options = goodVtc();
    options.version = 32767;
    options.linkedProtocols = -1;
    options.dataType = 32767;
    ASSERT_TRUE(writeTestVtc(dir.path("odd.vtc"), options));
    const LdiOutcome outcome = run("odd.vtc");
    EXPECT_EQ(outcome.status, 0) << outcome.all();
    EXPECT_EQ(results().size(), 9u);
}

TEST_F(BadInputRun, DismissedSettingsFilesWarnAndTheRunGoesOnWithTheDefaults) {
    struct Case {
        const char* what;
        std::string content;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {"NUL byte inside a key", std::string("Auto\0RegressionOrder= 3\n", 25),
         "Line 1 of LDIPlugin.ini holds a NUL byte"},
        {"NUL byte after a value", std::string("// settings\nAutoRegressionOrder= 3\0\n", 37),
         "Line 2 of LDIPlugin.ini holds a NUL byte"},
        {"line of 100000 characters", "// " + std::string(100000, '-') + "\n",
         "Line 1 of LDIPlugin.ini is longer than 255 characters"},
        {"file without line ends", std::string(1 << 20, ' '), "Line 1 of LDIPlugin.ini is longer than 255"},
        {"non-ASCII key", "Aut\xC3\xB6RegressionOrder= 3\n",
         "Unknown entry in LDIPlugin.ini: 'Aut\xC3\xB6RegressionOrder='"},
        {"full-width digit", "AutoRegressionOrder= \xEF\xBC\x93\n",
         "Invalid entry for 'AutoRegressionOrder=' in LDIPlugin.ini: \xEF\xBC\x93"},
        {"byte order mark", "\xEF\xBB\xBF" "AutoRegressionOrder= 3\n",
         "LDIPlugin.ini starts with a byte order mark"},
        {"Latin-1 text", "MapTypesComputed= DLDI \xE9t\xE9\n",
         "Unknown type-string for 'MapTypesComputed=' in LDIPlugin.ini: '\xE9t\xE9'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeWholeFile(dir.path("LDIPlugin.ini"), c.content);
        // No answers: the dialogs are cancelled once the settings are read.
        const LdiOutcome outcome = runLdiFor({"run", "--vtc", "linked.vtc", "--voi", "regions.voi",
                                              "--plugins-dir", dir.root()},
                                             dir.root());
        ASSERT_FALSE(outcome.timedOut);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_NE(outcome.out.find("// LDI> WARNING: " + c.warning), std::string::npos) << outcome.out;
        EXPECT_EQ(outcome.out.find('\0'), std::string::npos);
    }
}

TEST_F(BadInputRun, VoisFarFromTheGridStopTheRunAndEmptyVoisAreRefused) {
    const std::vector<std::string> outside = {
        "VOI: Far\n100000 -100000 5\n",
        "VOI: Far\n2147483647 2147483647 2147483647\n-2147483648 -2147483648 -2147483648\n",
        "Coordinates: tal\nVOI: Far\n2147483647 -2147483648 2147483647\n-2147483648 2147483647 -2147483648\n",
    };
    for (const std::string& voi : outside) {
        SCOPED_TRACE(voi);
        writeWholeFile(dir.path("regions.voi"), voi);
        const LdiOutcome outcome = run("linked.vtc");
        EXPECT_EQ(outcome.status, 1) << outcome.all();
        EXPECT_NE(outcome.out.find("lies inside the bounding box of vtc 'linked.vtc'"), std::string::npos)
            << outcome.out;
        EXPECT_EQ(results(), std::vector<std::string>());
    }

    // Part of the VOI outside: a warning, and the rest makes the reference.
    writeWholeFile(dir.path("regions.voi"), "VOI: Edge\n0 0 0\n-2147483648 0 0\n30000 30000 30000\n");
    LdiOutcome outcome = run("linked.vtc");
    EXPECT_EQ(outcome.status, 0) << outcome.all();
    EXPECT_NE(outcome.out.find("WARNING: 2 of the 3 voxels of VOI 'Edge' lie outside"), std::string::npos)
        << outcome.out;

    for (const char* empty : {"VOI: Empty\n", "VOI: Empty\nVOI: Next\n0 0 0\n"}) {
        writeWholeFile(dir.path("regions.voi"), empty);
        outcome = run("linked.vtc");
        EXPECT_EQ(outcome.status, 2) << outcome.all();
        EXPECT_NE(outcome.err.find("regions.voi:1: malformed VOI file: the VOI \"Empty\" has no voxels"),
                  std::string::npos)
            << outcome.err;
    }
}

TEST_F(BadInputRun, ProtocolIntervalsReversedNegativeOrBeyondTheDataFailTheRun) {
    struct Case {
        const char* what;
        std::string protocol;
        std::string message;
    };
    const std::string volumes = "ResolutionOfTime: Volumes\nNrOfConditions: 1\nTask\n1\n";
    const std::string msec = "ResolutionOfTime: msec\nNrOfConditions: 1\nTask\n1\n";
    const std::string wrong = "was wrongly specified (N.B. last-first+1 must be greater than AR-order(1))";
    const std::vector<Case> cases = {
        {"reversed", volumes + "40 10\n", "An interval (40, 10) for vtc 'linked.vtc', 60 volumes, in condition "
                                          "'Task' " + wrong},
        {"negative", volumes + "-20 -5\n", "An interval (-20, -5) for vtc 'linked.vtc'"},
        {"starting at 0", volumes + "0 10\n", "An interval (0, 10) for vtc 'linked.vtc'"},
        {"beyond the data", volumes + "50 61\n", "An interval (50, 61) for vtc 'linked.vtc'"},
        {"at the int32 limits", volumes + "-2147483648 2147483647\n",
         "An interval (-2147483648, 2147483647) for vtc 'linked.vtc'"},
        {"reversed, in milliseconds", msec + "40000 10000\n",
         "ERROR : The interval (21, 21) is invalid: last-first+1 must be greater than AR-order(1)"},
        {"negative, in milliseconds", msec + "-2147483648 -2000\n",
         "An interval (-1073740, 0) for vtc 'linked.vtc'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeWholeFile(dir.path("task.prt"), c.protocol);
        const LdiOutcome outcome =
            run("linked.vtc", {"--protocol", "task.prt", "--protocol-condition", "Task"});
        EXPECT_EQ(outcome.status, 1) << outcome.all();
        EXPECT_NE(outcome.out.find(c.message), std::string::npos) << outcome.out;
        EXPECT_EQ(results(), std::vector<std::string>());
    }
}

}  // namespace
