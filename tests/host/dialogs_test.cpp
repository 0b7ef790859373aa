// Answers to the plug-in's dialogs: from a script and at a terminal.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "host/dialogs.h"
#include "support/host_test_support.h"

using namespace ldi;

namespace {

DialogRequest integerDialog(int defaultValue, int minimum, int maximum, const char* prompt = "<b>Pick</b><br>one") {
    DialogRequest request;
    request.kind = DialogKind::Integer;
    request.prompt = prompt;
    request.defaultValue = defaultValue;
    request.minimum = minimum;
    request.maximum = maximum;
    return request;
}

DialogRequest textDialog(const char* defaultText = "", int capacity = 8) {
    DialogRequest request;
    request.kind = DialogKind::Text;
    request.prompt = "Name?";
    request.defaultText = defaultText;
    request.capacity = capacity;
    return request;
}

DialogRequest fileDialog(DialogKind kind = DialogKind::OpenFile) {
    DialogRequest request;
    request.kind = kind;
    request.prompt = "Add a VTC";
    request.filter = "Volume Time Course Files (*.vtc)";
    request.capacity = 16;
    return request;
}

std::vector<AnswerLine> lines(const std::string& text) {
    Parsed<std::vector<AnswerLine>> parsed = parseAnswers(text);
    EXPECT_TRUE(parsed.ok);
    return parsed.value;
}

}  // namespace

TEST(Answers, AByteOrderMarkIsNotPartOfTheFirstAnswer) {
    const std::vector<AnswerLine> answers = lines("\xEF\xBB\xBF" "1\n0\n");
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].text, "1");
}

TEST(Answers, EachKindOfDialogReadsItsLine) {
    DialogAnswer answer;
    std::string problem;
    EXPECT_TRUE(interpretAnswer(integerDialog(1, 0, 4), " 3 ", false, answer, problem));
    EXPECT_FALSE(answer.cancelled);
    EXPECT_EQ(answer.value, 3);
    EXPECT_TRUE(interpretAnswer(integerDialog(5, 1, 10), "", false, answer, problem));
    EXPECT_EQ(answer.value, 5);  // empty takes the default
    EXPECT_FALSE(interpretAnswer(integerDialog(1, 0, 4), "5", false, answer, problem));
    EXPECT_NE(problem.find("not between 0 and 4"), std::string::npos);
    EXPECT_FALSE(interpretAnswer(integerDialog(1, 0, 4), "two", false, answer, problem));
    EXPECT_FALSE(interpretAnswer(integerDialog(1, 1, 0), "1", false, answer, problem));

    // Text stands as it is, blanks included; an empty line is the empty text
    // in a script but the default at the terminal.
    EXPECT_TRUE(interpretAnswer(textDialog("dflt"), " a b ", false, answer, problem));
    EXPECT_EQ(answer.text, " a b ");
    EXPECT_TRUE(interpretAnswer(textDialog("dflt"), "", false, answer, problem));
    EXPECT_EQ(answer.text, "");
    EXPECT_FALSE(answer.cancelled);
    EXPECT_TRUE(interpretAnswer(textDialog("dflt"), "", true, answer, problem));
    EXPECT_EQ(answer.text, "dflt");
    EXPECT_TRUE(interpretAnswer(textDialog("", 8), "1234567", false, answer, problem));
    EXPECT_FALSE(interpretAnswer(textDialog("", 8), "12345678", false, answer, problem));

    // Paths are trimmed; an empty path chooses no file.
    EXPECT_TRUE(interpretAnswer(fileDialog(), "  run1.vtc ", false, answer, problem));
    EXPECT_EQ(answer.text, "run1.vtc");
    EXPECT_TRUE(interpretAnswer(fileDialog(DialogKind::SaveFile), "", false, answer, problem));
    EXPECT_TRUE(answer.cancelled);
    EXPECT_FALSE(interpretAnswer(fileDialog(), std::string(16, 'p'), false, answer, problem));

    for (const DialogRequest& request : {integerDialog(1, 0, 4), textDialog(), fileDialog()}) {
        EXPECT_TRUE(interpretAnswer(request, "<cancel>", false, answer, problem));
        EXPECT_TRUE(answer.cancelled);
    }
}

TEST(Answers, ParserKeepsLinesAndRejectsNulBytes) {
    std::vector<AnswerLine> parsed = lines("1\r\n<cancel>\n\n  x  \nlast");
    ASSERT_EQ(parsed.size(), 5u);
    EXPECT_EQ(parsed[1].text, "<cancel>");
    EXPECT_EQ(parsed[2].text, "");
    EXPECT_EQ(parsed[3].text, "  x  ");
    EXPECT_EQ(parsed[4].line, 5);
    Parsed<std::vector<AnswerLine>> bad = parseAnswers(std::string("1\n2\0\n", 5));
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.line, 2);
}

TEST(ScriptedDialogs, AnswersInOrderThenCancelsWithOneNotice) {
    std::ostringstream notices;
    std::vector<std::string> gaveUp;
    ScriptedDialogs script(lines("2\nTask\n"), "setup.txt", notices,
                           [&](const std::string& why) { gaveUp.push_back(why); });
    EXPECT_EQ(script.ask(integerDialog(1, 0, 3)).value, 2);
    EXPECT_EQ(script.ask(textDialog()).text, "Task");
    EXPECT_TRUE(notices.str().empty());
    EXPECT_TRUE(script.ask(fileDialog()).cancelled);
    EXPECT_TRUE(script.ask(integerDialog(1, 0, 3)).cancelled);
    EXPECT_EQ(countOf(notices.str(), "\n"), 1);
    EXPECT_NE(notices.str().find("setup.txt ran out at the dialog \"Add a VTC\""), std::string::npos);
    EXPECT_TRUE(gaveUp.empty());
}

TEST(ScriptedDialogs, AnAnswerThatDoesNotFitStopsTheScript) {
    std::ostringstream notices;
    ScriptedDialogs script(lines("1\nseven\n3\n"), "a.txt", notices, nullptr);
    EXPECT_EQ(script.ask(integerDialog(1, 0, 3)).value, 1);
    EXPECT_TRUE(script.ask(integerDialog(1, 0, 3)).cancelled);
    EXPECT_TRUE(script.ask(integerDialog(1, 0, 3)).cancelled);  // "3" is not used any more
    EXPECT_TRUE(script.stopped());
    EXPECT_NE(notices.str().find("a.txt:2: expected a whole number from 0 to 3, found \"seven\""),
              std::string::npos);
}

TEST(ScriptedDialogs, ADialogCancelledAgainAndAgainEndsTheRun) {
    std::ostringstream notices;
    int gaveUp = 0;
    ScriptedDialogs script({}, "a.txt", notices, [&](const std::string&) { ++gaveUp; });
    // Different dialogs after each other are a plug-in winding down.
    EXPECT_TRUE(script.ask(integerDialog(1, 0, 3, "first")).cancelled);
    EXPECT_TRUE(script.ask(textDialog()).cancelled);
    EXPECT_EQ(gaveUp, 0);
    // The same dialog over and over cannot be left by cancelling it.
    for (int i = 0; i < REPEATED_DIALOG_LIMIT + 1; ++i) script.ask(fileDialog());
    EXPECT_EQ(gaveUp, 1);
}

TEST(ScriptedDialogs, HostWrittenAnswersStopAtAnUnexpectedDialogOrARefusal) {
    std::ostringstream notices;
    std::vector<AnswerLine> answers = lines("run1.vtc\n5\n");
    for (AnswerLine& line : answers) line.kindKnown = true;
    answers[0].expectedKind = DialogKind::OpenFile;
    answers[0].purpose = "--data run1.vtc";
    answers[1].expectedKind = DialogKind::Integer;
    {
        ScriptedDialogs script(answers, "the options", notices, nullptr);
        script.setMismatchHint(" (hint)");
        EXPECT_TRUE(script.ask(integerDialog(1, 1, 2)).cancelled);
        EXPECT_NE(notices.str().find("where the answer for --data run1.vtc was expected (hint)"),
                  std::string::npos);
    }
    {
        ScriptedDialogs script(answers, "the options", notices, nullptr);
        script.stopOnInvalidSelection(true);
        EXPECT_EQ(script.ask(fileDialog()).text, "run1.vtc");
        script.noticeMessageBox("<b>Note</b>");
        EXPECT_FALSE(script.stopped());
        script.noticeMessageBox("<b>Invalid selection</b><br>Either could not open vtc");
        EXPECT_TRUE(script.stopped());
        EXPECT_TRUE(script.ask(integerDialog(5, 1, 100)).cancelled);
    }
    {
        // An answers file written by a person may answer a refusal with a retry.
        ScriptedDialogs script(answers, "a.txt", notices, nullptr);
        script.noticeMessageBox("<b>Invalid selection</b><br>...");
        EXPECT_FALSE(script.stopped());
    }
}

TEST(TerminalDialogs, DefaultsRetriesAndEndOfInput) {
    std::istringstream in("\n9\nx\n2\n\nhello\n");
    std::ostringstream out;
    TerminalDialogs terminal(in, out, nullptr);
    EXPECT_EQ(terminal.ask(integerDialog(1, 0, 3)).value, 1);  // empty: the default
    EXPECT_EQ(terminal.ask(integerDialog(1, 0, 3)).value, 2);  // 9 and x asked again
    EXPECT_EQ(terminal.ask(textDialog("dflt")).text, "dflt");
    EXPECT_EQ(terminal.ask(textDialog()).text, "hello");
    EXPECT_TRUE(terminal.ask(fileDialog()).cancelled);  // end of input
    const std::string shown = out.str();
    EXPECT_NE(shown.find("Pick\none\n(a whole number from 0 to 3; empty for 1) > "), std::string::npos);
    EXPECT_EQ(countOf(shown, "please answer again"), 2);
    EXPECT_NE(shown.find("(path of a file to open, Volume Time Course Files (*.vtc); empty to cancel) > "),
              std::string::npos);
}
