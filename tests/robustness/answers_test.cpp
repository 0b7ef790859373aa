// Scripted answers that run out or do not fit their dialogs. Whatever dialog
// the answers stop at, the run must end (it must not wait for ever on a
// plug-in that asks again after every cancel), fail with status 1 and write
// nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/ldi_process.h"

using namespace ldi;

namespace {

// The answers of a whole set-up in single-VTC mode with intervals typed by
// hand: VOI 1, end of the VOI list, method 1, condition Task, one file with
// the interval 5..60, end of the file list, end of the condition list, prefix.
const std::vector<std::string> wholeSetUp = {"1", "0", "1", "Task", "data.vtc", "5", "60", "<cancel>", "", "P"};

// The same in source/target mode with intervals from a protocol: VOI 1, end
// of the list, method 2, condition Task, a source and a target file, the
// protocol and its condition 1, end of the pairs, of the conditions, prefix.
const std::vector<std::string> pairsFromProtocol = {"1",        "0", "2",        "Task", "data.vtc", "data.vtc",
                                                    "task.prt", "1", "<cancel>", "",     "P"};

std::string joined(const std::vector<std::string>& lines, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += lines[i] + "\n";
    return text;
}

class ScriptedAnswers : public ::testing::Test {
protected:
    void SetUp() override {
        VtcWriterOptions options;
        options.numVolumes = 60;
        options.value = [](int x, int y, int z, int t) { return 1000.0f + float((x * 7 + y * 5 + z * 3 + t * t) % 17); };
        ASSERT_TRUE(writeTestVtc(dir.path("data.vtc"), options));
        writeWholeFile(dir.path("regions.voi"), "VOI: Motor\n0 0 0\n");
        writeWholeFile(dir.path("task.prt"), "NrOfConditions: 1\nTask\n1\n5 60\n");
        useSettings("");
    }

    void useSettings(const std::string& extra) {
        writeWholeFile(dir.path("LDIPlugin.ini"), "NumSurrogateSimulations= 10\n" + extra);
    }

    LdiOutcome runWith(const std::string& answers) {
        writeWholeFile(dir.path("answers.txt"), answers);
        return runLdiFor({"run", "--vtc", "data.vtc", "--voi", "regions.voi", "--plugins-dir", dir.root(),
                          "--answers", "answers.txt"},
                         dir.root(), "", 120);
    }

    std::vector<std::string> written() const {
        std::vector<std::string> names;
        for (const std::string& name : folderContents(dir.root()))
            if (name.rfind("P", 0) == 0) names.push_back(name);
        return names;
    }

    TestTempDir dir;
};

TEST_F(ScriptedAnswers, AnswersRunningOutAtAnyDialogEndTheRunWithoutResults) {
    for (const bool pairs : {false, true}) {
        const std::vector<std::string>& script = pairs ? pairsFromProtocol : wholeSetUp;
        useSettings(pairs ? "SeparateSourceTargetVTCs= 1\n" : "");
        for (std::size_t given = 0; given < script.size(); ++given) {
            SCOPED_TRACE((pairs ? "pairs, answers given: " : "single files, answers given: ") +
                         std::to_string(given));
            const LdiOutcome outcome = runWith(joined(script, given));
            ASSERT_FALSE(outcome.timedOut) << outcome.all();
            EXPECT_EQ(outcome.status, 1) << outcome.all();
            EXPECT_NE(outcome.err.find("answers.txt ran out at the dialog"), std::string::npos) << outcome.err;
            EXPECT_EQ(written(), std::vector<std::string>());
        }
        // The whole script, as a check that the sweep above stopped for want of answers.
        const LdiOutcome outcome = runWith(joined(script, script.size()));
        EXPECT_EQ(outcome.status, 0) << outcome.all();
        EXPECT_FALSE(written().empty());
        for (const std::string& name : written()) std::filesystem::remove(dir.path(name));
    }
}

TEST_F(ScriptedAnswers, AnswersThatDoNotFitTheirDialogStopTheScript) {
    struct Case {
        std::size_t line;  // 0-based line of wholeSetUp replaced
        std::string answer;
        std::string complaint;
    };
    const std::vector<Case> cases = {
        {0, "one", "expected a whole number from 0 to 2, found \"one\""},
        {0, "1.0", "expected a whole number from 0 to 2, found \"1.0\""},
        {0, "0x1", "expected a whole number from 0 to 2, found \"0x1\""},
        {0, "99999999999", "expected a whole number from 0 to 2, found \"99999999999\""},
        {0, "-1", "the number -1 is not between 0 and 2"},
        {2, "\xC3\xA9", "expected a whole number from 1 to 2, found \"\xC3\xA9\""},
        {5, "5 60", "expected a whole number from 1 to 1000000, found \"5 60\""},
        {6, "1e3", "expected a whole number from 1 to 1000000, found \"1e3\""},
        {3, std::string(300, 'x'), "the text is 300 bytes long; this dialog takes at most 255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        std::vector<std::string> lines = wholeSetUp;
        lines[c.line] = c.answer;
        const LdiOutcome outcome = runWith(joined(lines, lines.size()));
        ASSERT_FALSE(outcome.timedOut) << outcome.all();
        EXPECT_EQ(outcome.status, 1) << outcome.all();
        EXPECT_NE(outcome.err.find("answers.txt:" + std::to_string(c.line + 1) + ": " + c.complaint),
                  std::string::npos)
            << outcome.err;
        EXPECT_EQ(written(), std::vector<std::string>());
    }

    // A NUL byte makes the whole answers file unusable before the plug-in starts.
    const LdiOutcome outcome = runWith(std::string("1\n0\n1\nTa\0sk\n", 13));
    EXPECT_EQ(outcome.status, 2) << outcome.all();
    EXPECT_NE(outcome.err.find("answers.txt:4: the line holds a NUL byte"), std::string::npos) << outcome.err;
}

}  // namespace
