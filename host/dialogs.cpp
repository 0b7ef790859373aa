#include "host/dialogs.h"

#include <istream>
#include <ostream>
#include <utility>

namespace ldi {

namespace {

const char CANCEL_ANSWER[] = "<cancel>";

// The first non-empty line of a plain prompt, for short notices.
std::string firstLine(const std::string& plain) {
    for (std::string_view line : splitLines(plain)) {
        std::string_view trimmed = trim(line);
        if (!trimmed.empty()) return std::string(trimmed);
    }
    return std::string();
}

std::string answerHint(const DialogRequest& request) {
    switch (request.kind) {
        case DialogKind::Integer:
            return "(a whole number from " + std::to_string(request.minimum) + " to " +
                   std::to_string(request.maximum) + "; empty for " +
                   std::to_string(request.defaultValue) + ")";
        case DialogKind::Text:
            return request.defaultText.empty() ? std::string("(text; empty for none)")
                                               : "(text; empty for " + quoteText(request.defaultText) + ")";
        case DialogKind::OpenFile:
            return request.filter.empty() ? std::string("(path of a file to open; empty to cancel)")
                                          : "(path of a file to open, " + richToPlain(request.filter) +
                                                "; empty to cancel)";
        case DialogKind::SaveFile:
            return "(path to save to; empty to cancel)";
    }
    return std::string();
}

}  // namespace

std::string describeDialog(const DialogRequest& request) {
    std::string plain = richToPlain(request.prompt);
    while (!plain.empty() && plain.back() == '\n') plain.pop_back();
    return plain + "\n" + answerHint(request);
}

bool interpretAnswer(const DialogRequest& request, std::string_view text, bool atTerminal,
                     DialogAnswer& answer, std::string& problem) {
    answer = DialogAnswer();
    if (trim(text) == CANCEL_ANSWER) return true;  // cancelled
    switch (request.kind) {
        case DialogKind::Integer: {
            std::string_view number = trim(text);
            int32_t value = request.defaultValue;
            if (!number.empty() && !parseInt32(number, value)) {
                problem = "expected a whole number from " + std::to_string(request.minimum) + " to " +
                          std::to_string(request.maximum) + ", found " + quoteText(text);
                return false;
            }
            if (value < request.minimum || value > request.maximum) {
                problem = "the number " + std::to_string(value) + " is not between " +
                          std::to_string(request.minimum) + " and " + std::to_string(request.maximum);
                return false;
            }
            answer.cancelled = false;
            answer.value = value;
            return true;
        }
        case DialogKind::Text: {
            std::string_view value =
                text.empty() && atTerminal ? std::string_view(request.defaultText) : text;
            if (request.capacity <= 0 || value.size() + 1 > static_cast<std::size_t>(request.capacity)) {
                problem = "the text is " + std::to_string(value.size()) +
                          " bytes long; this dialog takes at most " +
                          std::to_string(request.capacity > 0 ? request.capacity - 1 : 0);
                return false;
            }
            answer.cancelled = false;
            answer.text = std::string(value);
            return true;
        }
        case DialogKind::OpenFile:
        case DialogKind::SaveFile: {
            std::string_view path = trim(text);
            if (path.empty()) return true;  // no file chosen
            if (request.capacity <= 0 || path.size() + 1 > static_cast<std::size_t>(request.capacity)) {
                problem = "the path is " + std::to_string(path.size()) +
                          " bytes long; this dialog takes at most " +
                          std::to_string(request.capacity > 0 ? request.capacity - 1 : 0);
                return false;
            }
            answer.cancelled = false;
            answer.text = std::string(path);
            return true;
        }
    }
    problem = "unknown dialog";
    return false;
}

Parsed<std::vector<AnswerLine>> parseAnswers(std::string_view text) {
    Parsed<std::vector<AnswerLine>> result;
    // Editors on Windows start a UTF-8 file with a byte order mark; it is not
    // part of the first answer, and shown in a message it would be invisible.
    static const std::string_view byteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, byteOrderMark.size()) == byteOrderMark) text.remove_prefix(byteOrderMark.size());
    std::vector<std::string_view> lines = splitLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find('\0') != std::string_view::npos)
            return parseFailure<std::vector<AnswerLine>>(static_cast<int>(i + 1),
                                                         "the line holds a NUL byte");
        AnswerLine answer;
        answer.line = static_cast<int>(i + 1);
        answer.text = std::string(lines[i]);
        result.value.push_back(std::move(answer));
    }
    result.ok = true;
    return result;
}

ScriptedDialogs::ScriptedDialogs(std::vector<AnswerLine> answers, std::string sourceName,
                                 std::ostream& notices, std::function<void(const std::string&)> giveUp)
    : answers_(std::move(answers)),
      sourceName_(std::move(sourceName)),
      notices_(notices),
      giveUp_(std::move(giveUp)) {}

void ScriptedDialogs::stop(const std::string& notice) {
    if (stopped_) return;
    stopped_ = true;
    notices_ << "ldi: " << notice << std::endl;
}

DialogAnswer ScriptedDialogs::ask(const DialogRequest& request) {
    if (!stopped_ && next_ >= answers_.size() && !runOutNotice_.empty()) {
        stop(runOutNotice_);
    } else if (!stopped_ && next_ >= answers_.size()) {
        stop("the answers in " + sourceName_ + " ran out at the dialog " +
             quoteText(firstLine(richToPlain(request.prompt))) +
             "; it and every further dialog is cancelled");
    }
    if (!stopped_) {
        const AnswerLine& line = answers_[next_++];
        if (line.kindKnown && line.expectedKind != request.kind) {
            stop("the plug-in asked " + quoteText(firstLine(richToPlain(request.prompt))) +
                 " where the answer for " + line.purpose + " was expected" + mismatchHint_ +
                 "; it and every further dialog is cancelled");
        }
    }
    if (!stopped_) {
        const AnswerLine& line = answers_[next_ - 1];
        DialogAnswer answer;
        std::string problem;
        if (interpretAnswer(request, line.text, false, answer, problem)) return answer;
        stop(sourceName_ + ":" + std::to_string(line.line) + ": " + problem + " (dialog " +
             quoteText(firstLine(richToPlain(request.prompt))) +
             "); it and every further dialog is cancelled");
    }
    // A dialog asked again right after it was cancelled cannot be left by
    // cancelling it, so repeating the cancel would go on for ever.
    const bool sameAgain = cancelledAfterStop_ > 0 && request.kind == lastCancelled_.kind &&
                           request.prompt == lastCancelled_.prompt;
    repeatsAfterStop_ = sameAgain ? repeatsAfterStop_ + 1 : 0;
    lastCancelled_ = request;
    ++cancelledAfterStop_;
    if (giveUp_ && (repeatsAfterStop_ >= REPEATED_DIALOG_LIMIT || cancelledAfterStop_ > RUNAWAY_DIALOG_LIMIT))
        giveUp_("the plug-in keeps asking " + quoteText(firstLine(richToPlain(request.prompt))) +
                " although the dialog is cancelled; stopping the run");
    return DialogAnswer();
}

void ScriptedDialogs::noticeMessageBox(std::string_view richText) {
    static const std::string_view refusal = "<b>Invalid selection</b>";
    if (stopOnInvalidSelection_ && !stopped_ && richText.substr(0, refusal.size()) == refusal) {
        // The answers that follow were meant for the dialogs after an accepted
        // choice; given to the dialog asked again, they would choose something else.
        refusedChoice_ = true;
        stop("the plug-in refused a choice made by " + sourceName_ +
             (next_ > 0 && next_ <= answers_.size() && answers_[next_ - 1].line > 0
                  ? " (line " + std::to_string(answers_[next_ - 1].line) + ")"
                  : std::string()) +
             " (see the message above); every further dialog is cancelled");
    }
}

TerminalDialogs::TerminalDialogs(std::istream& in, std::ostream& out,
                                 std::function<void(const std::string&)> giveUp)
    : in_(in), out_(out), giveUp_(std::move(giveUp)) {}

DialogAnswer TerminalDialogs::ask(const DialogRequest& request) {
    if (!introduced_) {
        out_ << "ldi: answer each dialog at the prompt; an empty answer takes the default, "
                "\"<cancel>\" or end of input (Ctrl-D) cancels the dialog.\n";
        introduced_ = true;
    }
    for (;;) {
        out_ << '\n' << describeDialog(request) << " > " << std::flush;
        std::string line;
        if (!std::getline(in_, line)) {
            out_ << "<cancelled>\n" << std::flush;
            in_.clear();
            if (++endsOfInput_ > RUNAWAY_DIALOG_LIMIT && giveUp_)
                giveUp_("standard input has ended and the plug-in asked " +
                        std::to_string(RUNAWAY_DIALOG_LIMIT) + " more dialogs; stopping the run");
            return DialogAnswer();
        }
        endsOfInput_ = 0;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        DialogAnswer answer;
        std::string problem;
        if (line.find('\0') == std::string::npos && interpretAnswer(request, line, true, answer, problem))
            return answer;
        if (problem.empty()) problem = "the answer holds a NUL byte";
        out_ << "ldi: " << problem << "; please answer again.\n";
    }
}

}  // namespace ldi
