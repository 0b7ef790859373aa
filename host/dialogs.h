// Where the answers to the plug-in's dialogs come from: a script of answer
// lines (an answers file, standard input, or the lines the shorthand options
// write), or a person at the terminal.
//
// Answers format: one line per dialog, in the order the plug-in asks them.
// Integer dialogs take an integer (an empty line takes the dialog's default),
// text dialogs take the line as it stands, file dialogs take a path (an empty
// line chooses no file). The line "<cancel>" cancels that dialog.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/text_util.h"

namespace ldi {

enum class DialogKind { Integer, Text, OpenFile, SaveFile };

struct DialogRequest {
    DialogKind kind = DialogKind::Integer;
    std::string prompt;       // as the plug-in sent it (rich text)
    int32_t defaultValue = 0;  // integer dialogs
    int32_t minimum = 0;
    int32_t maximum = 0;
    std::string defaultText;  // text dialogs: the default; file dialogs: the initial path
    std::string filter;       // file dialogs
    int capacity = 0;         // text and file dialogs: buffer size including the NUL
};

struct DialogAnswer {
    bool cancelled = true;
    int32_t value = 0;  // integer dialogs
    std::string text;   // text and file dialogs
};

// Dialogs asked after the input is used up (answers run out, or end of input
// at the terminal) before the host gives up on a plug-in that keeps asking.
constexpr int RUNAWAY_DIALOG_LIMIT = 100;
// Times the same dialog may come back after being cancelled before the host
// concludes that cancelling cannot end it.
constexpr int REPEATED_DIALOG_LIMIT = 2;

// The dialog text of a request as the person or the script author sees it.
std::string describeDialog(const DialogRequest& request);

// Checks one answer text against a request. On success fills `answer`; on
// failure returns false and says why in `problem`. At the terminal an empty
// answer to a text dialog takes the default; in a script it is the empty text.
bool interpretAnswer(const DialogRequest& request, std::string_view text, bool atTerminal,
                     DialogAnswer& answer, std::string& problem);

class DialogSource {
public:
    virtual ~DialogSource() = default;
    virtual DialogAnswer ask(const DialogRequest& request) = 0;
    // Called for every message box the plug-in shows, before it is printed.
    virtual void noticeMessageBox(std::string_view /*richText*/) {}
};

// One line of an answers script.
struct AnswerLine {
    int line = 0;  // 1-based line number in the source
    std::string text;
    // Answers written by the host for an expected dialog sequence name the
    // kind of dialog they are meant for; a different dialog stops the script.
    bool kindKnown = false;
    DialogKind expectedKind = DialogKind::Integer;
    std::string purpose;  // what the answer is for, e.g. "--interval 5-100"
};

// Parses an answers text: one answer per line ("\n" or "\r\n" ends a line).
// Fails only on a NUL byte, with its line number.
Parsed<std::vector<AnswerLine>> parseAnswers(std::string_view text);

// Answers dialogs from a script. When the script is used up, or an answer
// does not fit its dialog, it prints a notice and cancels this and every
// further dialog; `giveUp` is called when the plug-in keeps asking beyond
// RUNAWAY_DIALOG_LIMIT cancelled dialogs.
class ScriptedDialogs : public DialogSource {
public:
    ScriptedDialogs(std::vector<AnswerLine> answers, std::string sourceName, std::ostream& notices,
                    std::function<void(const std::string&)> giveUp);

    // The answers were written by the host for the expected sequence of
    // dialogs, so a refused choice means the rest no longer fits: the first
    // "Invalid selection" message box stops the script.
    void stopOnInvalidSelection(bool stop) { stopOnInvalidSelection_ = stop; }
    // True once the plug-in refused one of the answers (see stopOnInvalidSelection).
    bool refusedChoice() const { return refusedChoice_; }

    // Replaces the notice printed when the answers run out.
    void setRunOutNotice(std::string notice) { runOutNotice_ = std::move(notice); }

    // Appended to the notice when a dialog does not match its answer's kind.
    void setMismatchHint(std::string hint) { mismatchHint_ = std::move(hint); }

    DialogAnswer ask(const DialogRequest& request) override;
    void noticeMessageBox(std::string_view richText) override;

    bool stopped() const { return stopped_; }
    std::size_t answersUsed() const { return next_; }

private:
    void stop(const std::string& notice);

    std::vector<AnswerLine> answers_;
    std::string sourceName_;
    std::ostream& notices_;
    std::function<void(const std::string&)> giveUp_;
    std::size_t next_ = 0;
    bool stopped_ = false;
    bool stopOnInvalidSelection_ = false;
    bool refusedChoice_ = false;
    std::string mismatchHint_;
    std::string runOutNotice_;
    int cancelledAfterStop_ = 0;
    int repeatsAfterStop_ = 0;
    DialogRequest lastCancelled_;
};

// Asks each dialog at a terminal: the prompt as plain text, the default in
// brackets; an empty answer takes the default, end of input cancels, an
// answer that does not fit is asked again.
class TerminalDialogs : public DialogSource {
public:
    TerminalDialogs(std::istream& in, std::ostream& out, std::function<void(const std::string&)> giveUp);
    DialogAnswer ask(const DialogRequest& request) override;

private:
    std::istream& in_;
    std::ostream& out_;
    std::function<void(const std::string&)> giveUp_;
    bool introduced_ = false;
    int endsOfInput_ = 0;
};

}  // namespace ldi
