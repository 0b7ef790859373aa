#include "base/text.h"
#include "base/names.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace ldi {

std::string formatLogLine(const std::string& text) {
    std::string line = logLinePrefix;
    line.reserve(line.size() + text.size());
    for (char c : text) {
        line.push_back(c);
        if (c == '\n') line += logLinePrefix;
    }
    return line;
}

std::string formatText(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, arguments);
        text.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    va_end(arguments);
    return text;
}

// Length of the valid UTF-8 character that starts at text[at], or 0 when the
// bytes there are not one (overlong forms, surrogates and values past
// U+10FFFF included).
std::size_t utf8CharacterLength(std::string_view text, std::size_t at) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u) return 0;
        value = (value << 6) | (byte(at + i) & 0x3Fu);
    }
    const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    if (overlong || surrogate || value > 0x10FFFF) return 0;
    return length;
}

std::string safeFileNamePart(const std::string& name) {
    std::string safe;
    safe.reserve(name.size());
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = utf8CharacterLength(name, at);
        if (length == 0) {
            safe += '_';
            ++at;
            continue;
        }
        const char c = name[at];
        const bool refused = length == 1 && (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/' ||
                                             c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' ||
                                             c == '<' || c == '>' || c == '|');
        if (refused)
            safe += '_';
        else
            safe.append(name, at, length);
        at += length;
    }
    return safe;
}

std::string foldAsciiCase(const std::string& text) {
    std::string folded = text;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

std::string nameProblem(std::string_view name, std::size_t maxBytes) {
    if (name.empty()) return "is empty";
    if (name.size() > maxBytes)
        return "is " + std::to_string(name.size()) + " bytes long; give one of at most " + std::to_string(maxBytes);
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = utf8CharacterLength(name, at);
        const auto byte = static_cast<unsigned char>(name[at]);
        if (length == 0)
            return formatText("is not UTF-8 text (byte 0x%02X at ", byte) + std::to_string(at + 1) + ")";
        if (length == 1 && (byte < 0x20 || byte == 0x7F))
            return formatText("holds the control byte 0x%02X at ", byte) + std::to_string(at + 1);
        at += length;
    }
    return std::string();
}

std::string utf8Prefix(const std::string& text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t end = maxBytes;
    // Back over continuation bytes to the start of the character that was cut.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) --end;
    return text.substr(0, end);
}

}  // namespace ldi
