// Small text helpers shared by the host's parsers, dialogs and writers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ldi {

// The outcome of parsing a text format: either a value or a message with the
// 1-based line number where the input stopped making sense (0 when the
// problem is not tied to a line).
template <typename T>
struct Parsed {
    bool ok = false;
    T value{};
    int line = 0;
    std::string message;
};

template <typename T>
Parsed<T> parseFailure(int line, std::string message) {
    Parsed<T> result;
    result.line = line;
    result.message = std::move(message);
    return result;
}

// Splits a text into lines. "\n" and "\r\n" both end a line; a last line
// without a line end still counts; an empty text has no lines.
std::vector<std::string_view> splitLines(std::string_view text);

// Removes blanks, tabs, carriage returns and other ASCII white space at both ends.
std::string_view trim(std::string_view text);

// Splits at runs of ASCII white space, dropping empty pieces.
std::vector<std::string_view> splitWords(std::string_view text);

// Case-insensitive comparison of ASCII letters; other bytes compare exactly.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// A whole text as a signed 32-bit decimal integer (optional sign, digits only).
bool parseInt32(std::string_view text, int32_t& value);

// The rich text of the host's log pane and message boxes as plain text:
// "<br>" becomes a line break, other tags (b, i, em, a, ...) are dropped, and
// the entities &lt; &gt; &amp; &quot; &nbsp; are decoded. A "<" that does not
// start a tag is kept as it is.
std::string richToPlain(std::string_view rich);

// A map's display name as a file-name label: every run of characters other
// than ASCII letters, digits and '-' becomes one '_'.
std::string fileLabel(std::string_view displayName);

// Quotes a text for messages, showing control bytes as escapes.
std::string quoteText(std::string_view text);
// The same without the quotes, for a text shown as it stands (a map's name in
// a title): control bytes as escapes, so that none reaches the terminal.
std::string visibleText(std::string_view text);

// Copies a text into a fixed buffer of the given capacity (including the
// NUL). Returns false, and stores the empty text, when it does not fit.
bool copyToBuffer(std::string_view text, char* buffer, int capacity);

}  // namespace ldi
