#include "formats/text_util.h"

#include <cstring>
#include <limits>

namespace ldi {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r' && end < text.size()) line.remove_suffix(1);
        lines.push_back(line);
        start = next;
    }
    return lines;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i])) ++i;
        std::size_t start = i;
        while (i < text.size() && !isSpace(text[i])) ++i;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool parseInt32(std::string_view text, int32_t& value) {
    if (text.empty()) return false;
    bool negative = false;
    std::size_t i = 0;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) return false;
    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (!isDigit(text[i])) return false;
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > int64_t(std::numeric_limits<int32_t>::max()) + 1) return false;
    }
    int64_t result = negative ? -magnitude : magnitude;
    if (result > std::numeric_limits<int32_t>::max()) return false;
    value = static_cast<int32_t>(result);
    return true;
}

std::string richToPlain(std::string_view rich) {
    std::string plain;
    plain.reserve(rich.size());
    std::size_t i = 0;
    while (i < rich.size()) {
        char c = rich[i];
        if (c == '<') {
            // A tag is "<", an optional "/", a letter, then anything up to ">"
            // that holds no other "<".
            std::size_t j = i + 1;
            if (j < rich.size() && rich[j] == '/') ++j;
            if (j < rich.size() && isAsciiLetter(rich[j])) {
                std::size_t nameStart = j;
                while (j < rich.size() && (isAsciiLetter(rich[j]) || isDigit(rich[j]))) ++j;
                std::string_view name = rich.substr(nameStart, j - nameStart);
                std::size_t close = j;
                while (close < rich.size() && rich[close] != '>' && rich[close] != '<') ++close;
                if (close < rich.size() && rich[close] == '>') {
                    if (equalsIgnoringCase(name, "br")) plain += '\n';
                    i = close + 1;
                    continue;
                }
            }
            plain += c;
            ++i;
            continue;
        }
        if (c == '&') {
            static const struct {
                const char* entity;
                char replacement;
            } entities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'},
                            {"&nbsp;", ' '}};
            bool replaced = false;
            for (const auto& entity : entities) {
                std::string_view name(entity.entity);
                if (rich.substr(i, name.size()) == name) {
                    plain += entity.replacement;
                    i += name.size();
                    replaced = true;
                    break;
                }
            }
            if (replaced) continue;
        }
        plain += c;
        ++i;
    }
    return plain;
}

std::string fileLabel(std::string_view displayName) {
    std::string label;
    bool inRun = false;
    for (char c : displayName) {
        if (isAsciiLetter(c) || isDigit(c) || c == '-') {
            label += c;
            inRun = false;
        } else if (!inRun) {
            label += '_';
            inRun = true;
        }
    }
    return label;
}

namespace {

std::string escapedText(std::string_view text, bool quoted) {
    static const char hex[] = "0123456789abcdef";
    std::string result = quoted ? "\"" : "";
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (quoted && (c == '"' || c == '\\')) {
            result += '\\';
            result += c;
        } else if (c == '\t') {
            result += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            result += "\\x";
            result += hex[byte >> 4];
            result += hex[byte & 15];
        } else {
            result += c;
        }
    }
    if (quoted) result += '"';
    return result;
}

}  // namespace

std::string quoteText(std::string_view text) { return escapedText(text, true); }

std::string visibleText(std::string_view text) { return escapedText(text, false); }

bool copyToBuffer(std::string_view text, char* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return false;
    if (text.size() + 1 > static_cast<std::size_t>(capacity) ||
        text.find('\0') != std::string_view::npos) {
        buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return true;
}

}  // namespace ldi
