#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sstream>
#include <string>
#include <vector>

#include "config/global_parameters.h"
#include "support/whole_run.h"

using namespace ldi;

namespace {

struct ReadResult {
    bool ok = false;
    std::string message;
};

ReadResult readText(const std::string& text, AnalysisSetup& setup) {
    std::istringstream input(text);
    std::ostringstream errors;
    ReadResult result;
    result.ok = readSettingsFile(input, setup.parameters, errors);
    result.message = errors.str();
    return result;
}

std::string rejection(const std::string& text) {
    AnalysisSetup setup;
    const ReadResult result = readText(text, setup);
    EXPECT_FALSE(result.ok) << text;
    return result.message;
}

void expectDefaults(const GlobalParameters& p) {
    EXPECT_EQ(p.mapTypesComputed, (std::set<MapType>{REF2VOX, VOX2REF, INST, DLDI, DLDI_IT, DLDI_RC}));
    EXPECT_EQ(p.qThresholdsForFDR, (std::vector<float>{0.01f, 0.05f, 0.1f}));
    EXPECT_EQ(p.cvConstantForFDR, 2);
    EXPECT_EQ(p.autoRegressionOrder, 1);
    EXPECT_EQ(p.firstTimePointInclusionThres, 100);
    EXPECT_TRUE(p.showVerboseProgressLog);
    EXPECT_EQ(p.numSurrogateSimulations, 1000u);
    EXPECT_EQ(p.numDiscardedSimulatedTimePoints, 100u);
    EXPECT_EQ(p.dldiITInstLowerThres, 0.05f);
    EXPECT_EQ(p.dldiRCUpperThres, 0.7f);
    EXPECT_FALSE(p.separateSourceTargetVTCs);
    EXPECT_EQ(p.mapScaleFactor, 100.0f);
}

TEST(SettingsReader, FilesWithoutSettingsChangeNothing) {
    for (const std::string text : {"", "\n\n", "   \t \n", "// a comment\n   // indented comment\n",
                                   "//AutoRegressionOrder= 5\n", "\t//MapScaleFactor= 0\r\n"}) {
        AnalysisSetup setup;
        const ReadResult result = readText(text, setup);
        EXPECT_TRUE(result.ok) << text;
        EXPECT_EQ(result.message, "");
        expectDefaults(setup.parameters);
    }
}

TEST(SettingsReader, ValueMustStandInTheTokenAfterTheKey) {
    AnalysisSetup setup;
    ReadResult result = readText("AutoRegressionOrder= 3\n", setup);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(setup.parameters.autoRegressionOrder, 3);

    EXPECT_EQ(rejection("AutoRegressionOrder=3\n"),
              "Unknown entry in LDIPlugin.ini: 'AutoRegressionOrder=3'");
    EXPECT_EQ(rejection("AutoRegressionOrder = 3\n"),
              "Unknown entry in LDIPlugin.ini: 'AutoRegressionOrder'");
    EXPECT_EQ(rejection("autoregressionorder= 3\n"),
              "Unknown entry in LDIPlugin.ini: 'autoregressionorder='");
    EXPECT_EQ(rejection("AutoRegressionOrder=\n"),
              "No valid entry for 'AutoRegressionOrder=' found in LDIPlugin.ini");
}

TEST(SettingsReader, ScalarValuesAreReadUpToTheFirstForeignCharacter) {
    AnalysisSetup setup;
    ReadResult result = readText(
        "  AutoRegressionOrder=\t4 and // not a comment\r\n"
        "NumSurrogateSimulations= 3000x\n"
        "CVConstantForFDR= 1.9\n"
        "MapScaleFactor= +2.5e1abc\n"
        "DLDI_RCUpperThres= .25\n",
        setup);
    EXPECT_TRUE(result.ok) << result.message;
    EXPECT_EQ(setup.parameters.autoRegressionOrder, 4);
    EXPECT_EQ(setup.parameters.numSurrogateSimulations, 3000u);
    EXPECT_EQ(setup.parameters.cvConstantForFDR, 1);
    EXPECT_EQ(setup.parameters.mapScaleFactor, 25.0f);
    EXPECT_EQ(setup.parameters.dldiRCUpperThres, 0.25f);
}

TEST(SettingsReader, LastScalarLineWinsAndBooleansTakeZeroOrOne) {
    AnalysisSetup setup;
    ReadResult result = readText(
        "AutoRegressionOrder= 2\nShowVerboseProgressLog= 0\nSeparateSourceTargetVTCs= 1\n"
        "AutoRegressionOrder= 7\n",
        setup);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(setup.parameters.autoRegressionOrder, 7);
    EXPECT_FALSE(setup.parameters.showVerboseProgressLog);
    EXPECT_TRUE(setup.parameters.separateSourceTargetVTCs);

    EXPECT_EQ(rejection("ShowVerboseProgressLog= 2\n"),
              "Invalid value for 'ShowVerboseProgressLog=' in LDIPlugin.ini: 2 (must be 0 or 1)");
    EXPECT_EQ(rejection("SeparateSourceTargetVTCs= -1\n"),
              "Invalid value for 'SeparateSourceTargetVTCs=' in LDIPlugin.ini: -1 (must be 0 or 1)");
}

TEST(SettingsReader, MapTypeListReplacesTheSetAndIsKeptInEnumerationOrder) {
    AnalysisSetup setup;
    ReadResult result = readText("MapTypesComputed= DLDI_RC REF2VOX REF2VOX\n", setup);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(std::vector<MapType>(setup.parameters.mapTypesComputed.begin(),
                                   setup.parameters.mapTypesComputed.end()),
              (std::vector<MapType>{REF2VOX, DLDI_RC}));

    result = readText("MapTypesComputed= INST DLDI_IT\nMapTypesComputed= VOX2REF\n", setup);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(setup.parameters.mapTypesComputed, std::set<MapType>{VOX2REF});

    EXPECT_EQ(rejection("MapTypesComputed= REF2VOX,DLDI\n"),
              "Unknown type-string for 'MapTypesComputed=' in LDIPlugin.ini: 'REF2VOX,DLDI'");
    EXPECT_EQ(rejection("MapTypesComputed= REF2VOX dldi\n"),
              "Unknown type-string for 'MapTypesComputed=' in LDIPlugin.ini: 'dldi'");
    EXPECT_EQ(rejection("MapTypesComputed=   \n"),
              "No valid map-types for 'MapTypesComputed='  found in LDIPlugin.ini");

    for (int i = 0; i < mapTypeCount; ++i) {
        MapType parsed = REF2VOX;
        ASSERT_TRUE(mapTypeFromName(mapTypeName(static_cast<MapType>(i)), parsed));
        EXPECT_EQ(parsed, static_cast<MapType>(i));
    }
    EXPECT_STREQ(mapTypeName(DLDI_IT), "DLDI_IT");
}

TEST(SettingsReader, QValueListKeepsOrderAndDuplicatesAndChecksEachItem) {
    AnalysisSetup setup;
    ReadResult result = readText("QThresholdsForFDR= 0.05 0.01 0.05\n", setup);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(setup.parameters.qThresholdsForFDR, (std::vector<float>{0.05f, 0.01f, 0.05f}));

    result = readText("QThresholdsForFDR= 0.01,0.05 0.2\n", setup);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(setup.parameters.qThresholdsForFDR, (std::vector<float>{0.01f, 0.2f}));

    EXPECT_EQ(rejection("QThresholdsForFDR= 1\n"),
              "Invalid q-value for 'QThresholdsForFDR=' in LDIPlugin.ini: 1");
    EXPECT_EQ(rejection("QThresholdsForFDR= 0.05 0\n"),
              "Invalid q-value for 'QThresholdsForFDR=' in LDIPlugin.ini: 0");
    EXPECT_EQ(rejection("QThresholdsForFDR= 0.05 low\n"),
              "Invalid entry for 'QThresholdsForFDR=' in LDIPlugin.ini: 'low'");
    EXPECT_EQ(rejection("QThresholdsForFDR=\n"),
              "No valid q-values for 'QThresholdsForFDR=' found in LDIPlugin.ini");
}

TEST(SettingsReader, IntegerRangesHoldAtBothEnds) {
    struct Case {
        const char* key;
        long long minimum;
        long long maximum;
        const char* suffix;
    };
    const Case cases[] = {
        {"CVConstantForFDR=", 1, 2, " (must be 1 or 2)"},
        {"AutoRegressionOrder=", 1, 20, " (valid range 1 - 20)"},
        {"NumSurrogateSimulations=", 10, 10000, " (valid range 10 - 10000)"},
        {"NumDiscardedSimulatedTimePoints=", 10, 1000, " (valid range 10 - 1000)"},
    };
    for (const Case& c : cases) {
        const std::string key = c.key;
        for (long long accepted : {c.minimum, c.maximum}) {
            AnalysisSetup setup;
            EXPECT_TRUE(readText(key + " " + std::to_string(accepted) + "\n", setup).ok)
                << key << accepted;
        }
        for (long long refused : {c.minimum - 1, c.maximum + 1}) {
            EXPECT_EQ(rejection(key + " " + std::to_string(refused) + "\n"),
                      "Invalid value for '" + key + "' in LDIPlugin.ini: " +
                          std::to_string(refused) + c.suffix);
        }
    }
    AnalysisSetup setup;
    EXPECT_TRUE(readText("NumSurrogateSimulations= 10\nNumDiscardedSimulatedTimePoints= 1000\n",
                         setup).ok);
    EXPECT_EQ(setup.parameters.numSurrogateSimulations, 10u);
    EXPECT_EQ(setup.parameters.numDiscardedSimulatedTimePoints, 1000u);
}

TEST(SettingsReader, FirstTimePointThresholdMustFitItsSixteenBits) {
    AnalysisSetup setup;
    EXPECT_TRUE(readText("FirstTimePointInclusionThres= 0\n", setup).ok);
    EXPECT_EQ(setup.parameters.firstTimePointInclusionThres, 0);
    EXPECT_TRUE(readText("FirstTimePointInclusionThres= 65535\n", setup).ok);
    EXPECT_EQ(setup.parameters.firstTimePointInclusionThres, 65535);

    EXPECT_EQ(rejection("FirstTimePointInclusionThres= -1\n"),
              "Invalid value for 'FirstTimePointInclusionThres=' in LDIPlugin.ini: -1 (must be >= 0)");
    // A larger value would wrap around in the 16-bit field.
    EXPECT_EQ(rejection("FirstTimePointInclusionThres= 65536\n"),
              "Invalid value for 'FirstTimePointInclusionThres=' in LDIPlugin.ini: 65536 (must be "
              ">= 0 and at most 65535)");
}

TEST(SettingsReader, FloatRangesAreTestedInSinglePrecision) {
    AnalysisSetup setup;
    ReadResult result = readText(
        "MapScaleFactor= 0.01\nDLDI_RCUpperThres= 0\nDLDI_ITInstLowerThres= 0.000001\n", setup);
    EXPECT_TRUE(result.ok) << result.message;
    EXPECT_EQ(setup.parameters.mapScaleFactor, 0.01f);
    EXPECT_EQ(setup.parameters.dldiRCUpperThres, 0.0f);
    EXPECT_TRUE(readText("MapScaleFactor= 1000\n", setup).ok);
    EXPECT_EQ(setup.parameters.mapScaleFactor, 1000.0f);
    // Rounds to 0.01f in single precision, so it is inside the range.
    EXPECT_TRUE(readText("MapScaleFactor= 0.0099999999\n", setup).ok);

    EXPECT_EQ(rejection("MapScaleFactor= 2000\n"),
              "Invalid value for 'MapScaleFactor=' in LDIPlugin.ini: 2000 (must be bewteen 0.01 "
              "and 1000, inclusive)");
    EXPECT_EQ(rejection("MapScaleFactor= 0.0099\n"),
              "Invalid value for 'MapScaleFactor=' in LDIPlugin.ini: 0.0099 (must be bewteen 0.01 "
              "and 1000, inclusive)");
    EXPECT_EQ(rejection("DLDI_ITInstLowerThres= 0\n"),
              "Invalid value for 'DLDI_ITInstLowerThres=' in LDIPlugin.ini: 0 (must be >0, high "
              "values not recommended)");
    EXPECT_EQ(rejection("DLDI_RCUpperThres= 1\n"),
              "Invalid value for 'DLDI_RCUpperThres=' in LDIPlugin.ini: 1 (valid range [0, 1) )");
    EXPECT_EQ(rejection("DLDI_RCUpperThres= -0.5\n"),
              "Invalid value for 'DLDI_RCUpperThres=' in LDIPlugin.ini: -0.5 (valid range [0, 1) )");
}

TEST(SettingsReader, InvalidEntriesQuoteTheTokenOnlyForTheCvConstant) {
    EXPECT_EQ(rejection("CVConstantForFDR= two\n"),
              "Invalid entry for 'CVConstantForFDR=' in LDIPlugin.ini: 'two'");
    EXPECT_EQ(rejection("AutoRegressionOrder= two\n"),
              "Invalid entry for 'AutoRegressionOrder=' in LDIPlugin.ini: two");
    EXPECT_EQ(rejection("MapScaleFactor= x100\n"),
              "Invalid entry for 'MapScaleFactor=' in LDIPlugin.ini: x100");
    // Words the C library would take for numbers are not numbers in this file.
    EXPECT_EQ(rejection("DLDI_ITInstLowerThres= inf\n"),
              "Invalid entry for 'DLDI_ITInstLowerThres=' in LDIPlugin.ini: inf");
    EXPECT_EQ(rejection("MapScaleFactor= nan\n"),
              "Invalid entry for 'MapScaleFactor=' in LDIPlugin.ini: nan");
    EXPECT_EQ(rejection("NumSurrogateSimulations= -\n"),
              "Invalid entry for 'NumSurrogateSimulations=' in LDIPlugin.ini: -");
}

TEST(SettingsReader, NumbersTooLargeToHoldAreOutOfRange) {
    EXPECT_EQ(rejection("NumSurrogateSimulations= 99999999999999999999999\n"),
              "Invalid value for 'NumSurrogateSimulations=' in LDIPlugin.ini: "
              "99999999999999999999999 (valid range 10 - 10000)");
    EXPECT_EQ(rejection("DLDI_ITInstLowerThres= 1e60\n"),
              "Invalid value for 'DLDI_ITInstLowerThres=' in LDIPlugin.ini: 1e60 (must be >0, high "
              "values not recommended)");
}

TEST(SettingsReader, ABadLineDismissesTheWholeFile) {
    AnalysisSetup setup;
    ReadResult result = readText(
        "AutoRegressionOrder= 5\nMapTypesComputed= INST\nNoSuchKey= 1\nCVConstantForFDR= 7\n",
        setup);
    EXPECT_FALSE(result.ok);
    // One message, for the first bad line only, appended without a line end.
    EXPECT_EQ(result.message, "Unknown entry in LDIPlugin.ini: 'NoSuchKey='");
    expectDefaults(setup.parameters);

    std::istringstream input("AutoRegressionOrder= 0\n");
    std::ostringstream errors;
    errors << "earlier text|";
    EXPECT_FALSE(readSettingsFile(input, setup.parameters, errors));
    EXPECT_EQ(errors.str(),
              "earlier text|Invalid value for 'AutoRegressionOrder=' in LDIPlugin.ini: 0 (valid "
              "range 1 - 20)");
}

TEST(SettingsReader, OverlongLinesDismissTheFileNamingTheLine) {
    const std::string longest = "// " + std::string(252, 'x');
    ASSERT_EQ(longest.size(), 255u);
    AnalysisSetup setup;
    EXPECT_TRUE(readText(longest + "\r\n" + longest, setup).ok);

    const std::string tooLong = "AutoRegressionOrder= 3 " + std::string(300, ' ');
    ReadResult result = readText("AutoRegressionOrder= 2\n" + tooLong + "\n", setup);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message,
              "Line 2 of LDIPlugin.ini is longer than 255 characters; shorten it");
    expectDefaults(setup.parameters);

    // A file with no line end at all is refused without reading it whole.
    std::istringstream endless(std::string(5000000, 'A'));
    std::ostringstream errors;
    EXPECT_FALSE(readSettingsFile(endless, setup.parameters, errors));
    EXPECT_LT(endless.tellg(), 1000);
}

// A settings name that cannot be read (here a folder, which opens but gives
// no bytes) is refused like a bad file, not taken as an empty one.
TEST(SettingsReader, AnUnreadableFileIsRefused) {
    std::ifstream folder(std::filesystem::temp_directory_path());
    ASSERT_TRUE(folder.is_open());
    AnalysisSetup setup;
    setup.parameters.autoRegressionOrder = 4;
    std::ostringstream errors;
    EXPECT_FALSE(readSettingsFile(folder, setup.parameters, errors));
    EXPECT_NE(errors.str().find("could not be read"), std::string::npos) << errors.str();
    EXPECT_EQ(setup.parameters.autoRegressionOrder, 4);
}

}  // namespace
