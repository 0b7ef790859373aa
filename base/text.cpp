#include "base/text.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

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
