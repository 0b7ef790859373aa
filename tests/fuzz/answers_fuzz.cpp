// Any byte sequence as an answers file, answering a sequence of dialogs. The
// first bytes choose the dialogs (kind, range, capacity); the rest is the
// answers text. Every answer handed to the plug-in must fit its dialog, and a
// plug-in that keeps asking after the answers are used up must be stopped.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "host/dialogs.h"

using namespace ldi;

namespace {

using ldi::DialogAnswer;
using ldi::DialogKind;
using ldi::DialogRequest;

// Room for a plug-in that keeps asking the same dialog after every cancel:
// the host must give up well before this.
constexpr int dialogsAsked = ldi::RUNAWAY_DIALOG_LIMIT * 3;

DialogRequest requestFrom(uint8_t code, int index) {
    DialogRequest request;
    request.kind = static_cast<DialogKind>(code % 4);
    request.prompt = "<b>Dialog</b> " + std::to_string(index % 7) + "<br>";
    const int32_t ranges[][2] = {{1, 1000000}, {0, 1}, {1, 5}, {-5, 5}, {INT32_MIN, INT32_MAX}};
    const auto& range = ranges[(code >> 2) % 5];
    request.minimum = range[0];
    request.maximum = range[1];
    request.defaultValue = range[0];
    const int capacities[] = {256, 512, 1, 0};
    request.capacity = capacities[(code >> 5) % 4];
    request.defaultText = "default";
    return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::size_t dialogBytes = size < 8 ? size : 8;
    const std::string_view text(reinterpret_cast<const char*>(data) + dialogBytes, size - dialogBytes);

    ldi::Parsed<std::vector<ldi::AnswerLine>> parsed = ldi::parseAnswers(text);
    if (!parsed.ok) {
        FUZZ_CHECK(!parsed.message.empty() && parsed.line >= 1);
        return 0;
    }
    const std::size_t answerCount = parsed.value.size();
    std::ostringstream notices;
    bool gaveUp = false;
    ldi::ScriptedDialogs dialogs(std::move(parsed.value), "answers.txt", notices,
                                      [&gaveUp](const std::string&) { gaveUp = true; });
    for (int i = 0; i < dialogsAsked && !gaveUp; ++i) {
        const uint8_t code = dialogBytes > 0 ? data[static_cast<std::size_t>(i) % dialogBytes] : 0;
        const DialogRequest request = requestFrom(code, i);
        const DialogAnswer answer = dialogs.ask(request);
        if (answer.cancelled) continue;
        FUZZ_CHECK(!dialogs.stopped());
        switch (request.kind) {
            case DialogKind::Integer:
                FUZZ_CHECK(answer.value >= request.minimum && answer.value <= request.maximum);
                break;
            case DialogKind::Text:
            case DialogKind::OpenFile:
            case DialogKind::SaveFile:
                FUZZ_CHECK(request.capacity > 0 &&
                           answer.text.size() < static_cast<std::size_t>(request.capacity));
                FUZZ_CHECK(answer.text.find('\0') == std::string::npos);
                break;
        }
    }
    // Every answer is used at most once, and a run that asks on and on ends.
    FUZZ_CHECK(dialogs.answersUsed() <= answerCount);
    if (answerCount + ldi::RUNAWAY_DIALOG_LIMIT + 1 < static_cast<std::size_t>(dialogsAsked))
        FUZZ_CHECK(gaveUp);
    return 0;
}
