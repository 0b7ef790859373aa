// Text formatting shared by every layer: printf-style formatting into a string
// and the prefixes of the lines the plug-in writes into the host's log pane.
// Nothing here calls the host, so the computation can format its progress
// lines and hand them to whoever shows them.
#pragma once

#include <cstddef>
#include <string>

namespace ldi {

// Prefix of progress lines, which their writers format themselves (for example
// "%s\n%s VOI: <b>%s</b>") and hand to the log pane as they are.
constexpr const char* progressPrefix = "// LDI>";

// Prefix of every line of a log-pane message (see formatLogLine).
constexpr const char* logLinePrefix = "// LDI> ";

// A message as the log pane shows it: the prefix, then the text with every
// newline followed by the prefix again.
std::string formatLogLine(const std::string& text);

// printf-style formatting into a string of whatever length it needs, for
// texts that would otherwise be formed in fixed-size buffers.
std::string formatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A name from the user (a VOI, a condition) made safe to stand in a file name:
// path separators, the characters Windows refuses in names (: * ? " < > |),
// control bytes and bytes that are not part of valid UTF-8 each become "_", so
// the name can neither leave its folder nor make a name the system or a JSON
// reader refuses. Everything else is kept as it is.
std::string safeFileNamePart(const std::string& name);

// The text with ASCII capitals made small: names that a file system which
// ignores case takes for the same file fold to the same text.
std::string foldAsciiCase(const std::string& text);

// The longest start of `text` of at most `maxBytes` bytes that does not cut a
// UTF-8 character in two.
std::string utf8Prefix(const std::string& text, std::size_t maxBytes);

}  // namespace ldi
