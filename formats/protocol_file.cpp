#include "formats/protocol_file.h"

#include "base/host_api.h"

namespace ldi {

namespace {

bool isColourLine(std::string_view line, std::string_view& rest) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    if (!equalsIgnoringCase(trim(line.substr(0, colon)), "Color")) return false;
    rest = trim(line.substr(colon + 1));
    return true;
}

}  // namespace

Parsed<Protocol> parseProtocol(std::string_view text) {
    Parsed<Protocol> result;
    Protocol& protocol = result.value;

    // Only the non-blank lines matter; keep their numbers for messages.
    struct Line {
        int number;
        std::string_view text;
    };
    std::vector<Line> lines;
    const std::vector<std::string_view> all = splitLines(text);
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::string_view line = trim(all[i]);
        if (!line.empty()) lines.push_back({static_cast<int>(i + 1), line});
    }
    for (const Line& line : lines) {
        if (line.text.find('\0') != std::string_view::npos)
            return parseFailure<Protocol>(line.number, "the line holds a NUL byte");
    }
    const int lastLine = static_cast<int>(all.size());

    // Header, up to and including NrOfConditions.
    std::size_t next = 0;
    int32_t conditionCount = -1;
    for (; next < lines.size() && conditionCount < 0; ++next) {
        const Line& line = lines[next];
        std::size_t colon = line.text.find(':');
        if (colon == std::string_view::npos)
            return parseFailure<Protocol>(
                line.number, "expected a header line 'Key: value' (the header ends with "
                             "'NrOfConditions: N'), found " + quoteText(line.text));
        std::string_view key = trim(line.text.substr(0, colon));
        std::string_view value = trim(line.text.substr(colon + 1));
        // Without a ResolutionOfTime line the protocol is in volumes, as in
        // the oldest files.
        if (equalsIgnoringCase(key, "ResolutionOfTime")) {
            if (equalsIgnoringCase(value, "Volumes")) {
                protocol.timeResolution = 1;
            } else if (equalsIgnoringCase(value, "msec")) {
                protocol.timeResolution = 2;
            } else {
                return parseFailure<Protocol>(
                    line.number, "expected 'ResolutionOfTime: Volumes' or 'ResolutionOfTime: msec', "
                                 "found " + quoteText(line.text));
            }
        } else if (equalsIgnoringCase(key, "NrOfConditions")) {
            if (!parseInt32(value, conditionCount) || conditionCount < 0)
                return parseFailure<Protocol>(
                    line.number, "expected 'NrOfConditions: N' with N a whole number of 0 or more, "
                                 "found " + quoteText(line.text));
        }
    }
    if (conditionCount < 0)
        return parseFailure<Protocol>(lastLine, "the file ends before 'NrOfConditions: N'");

    for (int32_t c = 0; c < conditionCount; ++c) {
        const std::string conditionLabel = "condition " + std::to_string(c + 1) + " of " +
                                           std::to_string(conditionCount);
        if (next >= lines.size())
            return parseFailure<Protocol>(lastLine,
                                          "the file ends before the name of " + conditionLabel);
        ProtocolCondition condition;
        const Line& nameLine = lines[next++];
        if (nameLine.text.size() >= SY_NAME_CAPACITY)
            return parseFailure<Protocol>(nameLine.number,
                                          "the condition name is longer than " +
                                              std::to_string(SY_NAME_CAPACITY - 1) + " bytes");
        condition.name = std::string(nameLine.text);

        if (next >= lines.size())
            return parseFailure<Protocol>(lastLine, "the file ends before the number of intervals of " +
                                                        conditionLabel + " " + quoteText(condition.name));
        const Line& countLine = lines[next++];
        int32_t intervalCount = 0;
        if (!parseInt32(countLine.text, intervalCount) || intervalCount < 0)
            return parseFailure<Protocol>(countLine.number,
                                          "expected the number of intervals of " + conditionLabel +
                                              " " + quoteText(condition.name) + ", found " +
                                              quoteText(countLine.text));
        for (int32_t k = 0; k < intervalCount; ++k) {
            if (next >= lines.size())
                return parseFailure<Protocol>(
                    lastLine, "the file ends after " + std::to_string(k) + " of the " +
                                  std::to_string(intervalCount) + " intervals of " + conditionLabel +
                                  " " + quoteText(condition.name));
            const Line& intervalLine = lines[next++];
            std::vector<std::string_view> words = splitWords(intervalLine.text);
            int32_t start = 0;
            int32_t end = 0;
            if (words.size() != 2 || !parseInt32(words[0], start) || !parseInt32(words[1], end))
                return parseFailure<Protocol>(
                    intervalLine.number, "expected an interval 'start end' of two integers for " +
                                             conditionLabel + " " + quoteText(condition.name) +
                                             ", found " + quoteText(intervalLine.text));
            condition.starts.push_back(start);
            condition.ends.push_back(end);
        }
        std::string_view rest;
        if (next < lines.size() && isColourLine(lines[next].text, rest)) {
            std::vector<std::string_view> words = splitWords(rest);
            bool valid = words.size() == 3;
            for (std::size_t i = 0; valid && i < 3; ++i)
                valid = parseInt32(words[i], condition.colour[i]);
            if (!valid)
                return parseFailure<Protocol>(lines[next].number,
                                              "expected a colour line 'Color: r g b' of three "
                                              "integers, found " + quoteText(lines[next].text));
            condition.hasColour = true;
            ++next;
        }
        protocol.conditions.push_back(std::move(condition));
    }
    if (next < lines.size())
        return parseFailure<Protocol>(lines[next].number,
                                      "unexpected text after the last of the " +
                                          std::to_string(conditionCount) + " conditions: " +
                                          quoteText(lines[next].text));
    result.ok = true;
    return result;
}

}  // namespace ldi
