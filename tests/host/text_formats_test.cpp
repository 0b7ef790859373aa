// The host's text formats (VOI lists, protocols, answers) and text helpers,
// on awkward input written here.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "host/dialogs.h"
#include "formats/protocol_file.h"
#include "formats/text_util.h"
#include "formats/voi_file.h"

using namespace ldi;

TEST(RichText, TagsAreDroppedBreaksKeptAndStrayBracketsSurvive) {
    EXPECT_EQ(richToPlain("<b>No VTC</b><br>The LDI-plugin requires"), "No VTC\nThe LDI-plugin requires");
    EXPECT_EQ(richToPlain("a<BR>b<br/>c"), "a\nb\nc");
    EXPECT_EQ(richToPlain("See <b><a href=\"LDI_Help/main.html\">Help</a></b>"), "See Help");
    EXPECT_EQ(richToPlain("x < y and 3<4 and <i>/a<b.vtc</i>"), "x < y and 3<4 and /a<b.vtc");
    EXPECT_EQ(richToPlain("&lt;cancel&gt; &amp; &quot;q&quot;&nbsp;&unknown;"), "<cancel> & \"q\" &unknown;");
    EXPECT_EQ(richToPlain("unclosed <b"), "unclosed <b");
    EXPECT_EQ(richToPlain("\t\t5\t-\t100"), "\t\t5\t-\t100");
}

TEST(FileLabel, RunsOfOtherCharactersBecomeOneUnderscore) {
    EXPECT_EQ(fileLabel("A: dLDI IT"), "A_dLDI_IT");
    EXPECT_EQ(fileLabel("Task-2: Ref2Vox"), "Task-2_Ref2Vox");
    EXPECT_EQ(fileLabel(" ../../etc/passwd "), "_etc_passwd_");
    EXPECT_EQ(fileLabel("R\xc3\xa9gion: Inst"), "R_gion_Inst");
    EXPECT_EQ(fileLabel(""), "");
}

TEST(Integers, WholeTextInInt32RangeOnly) {
    int32_t value = 0;
    EXPECT_TRUE(parseInt32("-2147483648", value));
    EXPECT_EQ(value, INT32_MIN);
    EXPECT_TRUE(parseInt32("+2147483647", value));
    EXPECT_EQ(value, INT32_MAX);
    for (const char* bad : {"2147483648", "-2147483649", "", "-", "1.5", "1e3", " 1", "12x",
                            "99999999999999999999999"})
        EXPECT_FALSE(parseInt32(bad, value)) << bad;
}

TEST(Lines, LineEndsAndTheLastLine) {
    auto lines = splitLines("a\r\nb\n\nc");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "a");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "c");
    EXPECT_TRUE(splitLines("").empty());
    EXPECT_EQ(splitLines("x\n").size(), 1u);
}

TEST(VoiFile, ReadsNamesVoxelsAndConvention) {
    Parsed<VoiList> parsed = parseVoiList(
        "# comment\r\n\r\n  Coordinates:   TAL \r\nVOI:  Left motor: hand  \n 10 -20 30\n\t11 20\t30\n"
        "voi: 2\n0 0 0\n# trailing comment\n");
    ASSERT_TRUE(parsed.ok) << parsed.message;
    EXPECT_EQ(parsed.value.coordsConvention, 1);
    ASSERT_EQ(parsed.value.vois.size(), 2u);
    EXPECT_EQ(parsed.value.vois[0].name, "Left motor: hand");
    EXPECT_EQ(parsed.value.vois[0].voxels, (std::vector<int32_t>{10, -20, 30, 11, 20, 30}));
    EXPECT_EQ(parsed.value.vois[1].name, "2");
    EXPECT_EQ(parsed.value.vois[1].voxelCount(), 1);

    Parsed<VoiList> plain = parseVoiList("VOI: A\n1 2 3");
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(plain.value.coordsConvention, 0);
    Parsed<VoiList> empty = parseVoiList("# nothing\n\n");
    ASSERT_TRUE(empty.ok);
    EXPECT_TRUE(empty.value.vois.empty());
}

TEST(VoiFile, MalformedInputNamesTheLine) {
    using namespace std::string_literals;
    struct Case {
        std::string text;
        int line;
        const char* fragment;
    } cases[] = {
        {"VOI: A\n1 2\n", 2, "three integers"},
        {"VOI: A\n1 2 3 4\n", 2, "three integers"},
        {"VOI: A\n1 2 x\n", 2, "three integers"},
        {"VOI: A\n1 2 99999999999\n", 2, "three integers"},
        {"1 2 3\n", 1, "before the first"},
        {"\n\nVOI:   \n", 3, "name"},
        {"VOI: A\n\nVOI: B\n1 1 1\n", 1, "no voxels"},
        {"VOI: A\n1 1 1\nVOI: B\n", 3, "no voxels"},
        {"VOI: A\n1 1 1\nCoordinates: tal\n", 3, "before the first"},
        {"Coordinates: tal\nCoordinates: tal\n", 2, "second"},
        {"Coordinates: mni\n", 1, "Coordinates: internal"},
        {"Name: A\n", 1, "expected"},
        {"VOI: A\n1 2 3\n\x01\x02garbage\n", 3, "three integers"},
        {"VOI: A\0B\n1 2 3\n"s, 1, "NUL"},
    };
    for (const Case& c : cases) {
        Parsed<VoiList> parsed = parseVoiList(c.text);
        EXPECT_FALSE(parsed.ok) << c.text;
        EXPECT_EQ(parsed.line, c.line) << c.text << " -> " << parsed.message;
        EXPECT_NE(parsed.message.find(c.fragment), std::string::npos) << parsed.message;
    }
    std::string longName = "VOI: " + std::string(256, 'n') + "\n1 2 3\n";
    EXPECT_FALSE(parseVoiList(longName).ok);
    std::string longestName = "VOI: " + std::string(255, 'n') + "\n1 2 3\n";
    EXPECT_TRUE(parseVoiList(longestName).ok);
}

TEST(ProtocolFile, ReadsHeaderConditionsIntervalsAndColours) {
    Parsed<Protocol> parsed = parseProtocol(
        "FileVersion: 2\n\nResolutionOfTime:   MSEC\r\nExperiment: a: b\n\nNrOfConditions: 3\n\n"
        "Rest\n2\n0 5999\n  12000   17999 \nColor: 128 128 128\n\n"
        "2\n0\n"  // a condition named "2" without intervals
        "Task A\n1\n6000 11999\n");
    ASSERT_TRUE(parsed.ok) << parsed.message;
    const Protocol& p = parsed.value;
    EXPECT_EQ(p.timeResolution, 2);
    ASSERT_EQ(p.conditions.size(), 3u);
    EXPECT_EQ(p.conditions[0].name, "Rest");
    EXPECT_EQ(p.conditions[0].starts, (std::vector<int32_t>{0, 12000}));
    EXPECT_EQ(p.conditions[0].ends, (std::vector<int32_t>{5999, 17999}));
    EXPECT_TRUE(p.conditions[0].hasColour);
    EXPECT_EQ(p.conditions[0].colour[2], 128);
    EXPECT_EQ(p.conditions[1].name, "2");
    EXPECT_TRUE(p.conditions[1].starts.empty());
    EXPECT_EQ(p.conditions[2].name, "Task A");
    EXPECT_FALSE(p.conditions[2].hasColour);

    Parsed<Protocol> volumes = parseProtocol("ResolutionOfTime: volumes\nNrOfConditions: 0\n");
    ASSERT_TRUE(volumes.ok);
    EXPECT_EQ(volumes.value.timeResolution, 1);
    EXPECT_TRUE(volumes.value.conditions.empty());
    Parsed<Protocol> oldest = parseProtocol("NrOfConditions: 1\nA\n1\n3 4\n");
    ASSERT_TRUE(oldest.ok);
    EXPECT_EQ(oldest.value.timeResolution, 1);
}

TEST(ProtocolFile, MalformedInputNamesTheLine) {
    struct Case {
        const char* text;
        int line;
        const char* fragment;
    } cases[] = {
        {"ResolutionOfTime: seconds\nNrOfConditions: 1\n", 1, "ResolutionOfTime"},
        {"FileVersion 2\nNrOfConditions: 1\n", 1, "Key: value"},
        {"NrOfConditions: -1\n", 1, "NrOfConditions"},
        {"NrOfConditions: two\n", 1, "NrOfConditions"},
        {"FileVersion: 2\n\n", 2, "ends before 'NrOfConditions"},
        {"NrOfConditions: 2\nA\n1\n1 2\n", 4, "ends before the name of condition 2"},
        {"NrOfConditions: 1\nA\n", 2, "number of intervals"},
        {"NrOfConditions: 1\nA\nmany\n", 3, "number of intervals"},
        {"NrOfConditions: 1\nA\n2147483647\n1 2\n", 4, "ends after 1 of the 2147483647"},
        {"NrOfConditions: 1\nA\n1\n1 2 3\n", 4, "start end"},
        {"NrOfConditions: 1\nA\n1\n1\n", 4, "start end"},
        {"NrOfConditions: 1\nA\n1\n1 2\nColor: 1 2\n", 5, "Color"},
        {"NrOfConditions: 1\nA\n1\n1 2\nB\n", 5, "after the last"},
    };
    for (const Case& c : cases) {
        Parsed<Protocol> parsed = parseProtocol(c.text);
        EXPECT_FALSE(parsed.ok) << c.text;
        EXPECT_EQ(parsed.line, c.line) << c.text << " -> " << parsed.message;
        EXPECT_NE(parsed.message.find(c.fragment), std::string::npos) << parsed.message;
    }
}

TEST(TextFormats, AnyBytesGiveAResultOrALineNumber) {
    // Random bytes and random mutations of valid files: the parsers must
    // answer every one, and a failure must point into the text.
    std::mt19937 random(7);
    const std::string seeds[] = {"VOI: A\n1 2 3\n4 5 6\nVOI: B\n7 8 9\n",
                                 "ResolutionOfTime: msec\nNrOfConditions: 2\nA\n1\n0 100\nColor: 1 2 3\nB\n0\n"};
    for (int round = 0; round < 3000; ++round) {
        std::string text = seeds[round % 2];
        const int edits = 1 + int(random() % 6);
        for (int e = 0; e < edits; ++e) {
            std::size_t at = text.empty() ? 0 : random() % text.size();
            switch (random() % 3) {
                case 0: if (!text.empty()) text[at] = char(random() % 256); break;
                case 1: text.insert(at, 1, char(random() % 256)); break;
                default: if (!text.empty()) text.erase(at, 1 + random() % 4); break;
            }
        }
        const int lines = int(splitLines(text).size());
        Parsed<VoiList> voi = parseVoiList(text);
        if (!voi.ok) {
            EXPECT_GE(voi.line, 1);
            EXPECT_LE(voi.line, lines);
        }
        Parsed<Protocol> protocol = parseProtocol(text);
        if (!protocol.ok) {
            EXPECT_GE(protocol.line, 0);
            EXPECT_LE(protocol.line, lines);
        }
        Parsed<std::vector<AnswerLine>> answers = parseAnswers(text);
        if (answers.ok) {
            EXPECT_EQ(int(answers.value.size()), lines);
        }
    }
}
