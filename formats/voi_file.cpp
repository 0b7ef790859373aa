#include "formats/voi_file.h"

#include <limits>

#include "base/host_api.h"

namespace ldi {

namespace {

// Splits "Key: value" into its two trimmed parts; false without a colon.
bool splitKey(std::string_view line, std::string_view& key, std::string_view& value) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    key = trim(line.substr(0, colon));
    value = trim(line.substr(colon + 1));
    return true;
}

}  // namespace

Parsed<VoiList> parseVoiList(std::string_view text) {
    Parsed<VoiList> result;
    VoiList& list = result.value;
    bool coordinatesSeen = false;
    int voiLine = 0;  // line of the current VOI's "VOI:" line
    auto finishVoi = [&]() -> bool {
        return list.vois.empty() || !list.vois.back().voxels.empty();
    };
    std::vector<std::string_view> lines = splitLines(text);
    for (std::size_t index = 0; index < lines.size(); ++index) {
        const int lineNumber = static_cast<int>(index + 1);
        std::string_view line = trim(lines[index]);
        if (line.empty() || line.front() == '#') continue;
        if (line.find('\0') != std::string_view::npos)
            return parseFailure<VoiList>(lineNumber, "the line holds a NUL byte");
        std::string_view key;
        std::string_view value;
        if (splitKey(line, key, value)) {
            if (equalsIgnoringCase(key, "Coordinates")) {
                if (!list.vois.empty())
                    return parseFailure<VoiList>(
                        lineNumber, "the Coordinates line must come before the first 'VOI:' line");
                if (coordinatesSeen)
                    return parseFailure<VoiList>(lineNumber, "a second Coordinates line");
                if (equalsIgnoringCase(value, "internal")) {
                    list.coordsConvention = 0;
                } else if (equalsIgnoringCase(value, "tal")) {
                    list.coordsConvention = 1;
                } else {
                    return parseFailure<VoiList>(
                        lineNumber, "expected 'Coordinates: internal' or 'Coordinates: tal', found " +
                                        quoteText(line));
                }
                coordinatesSeen = true;
                continue;
            }
            if (equalsIgnoringCase(key, "VOI")) {
                if (!finishVoi())
                    return parseFailure<VoiList>(
                        voiLine, "the VOI " + quoteText(list.vois.back().name) +
                                     " has no voxels: expected at least one 'x y z' line after it");
                if (value.empty())
                    return parseFailure<VoiList>(lineNumber, "expected a name after 'VOI:'");
                if (value.size() >= SY_NAME_CAPACITY)
                    return parseFailure<VoiList>(lineNumber,
                                                 "the VOI name is longer than " +
                                                     std::to_string(SY_NAME_CAPACITY - 1) + " bytes");
                if (list.vois.size() >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
                    return parseFailure<VoiList>(lineNumber, "too many VOIs");
                list.vois.push_back(VoiDefinition{std::string(value), {}});
                voiLine = lineNumber;
                continue;
            }
            return parseFailure<VoiList>(
                lineNumber, "expected 'VOI: NAME', 'Coordinates: internal|tal' or a voxel line "
                            "'x y z', found " + quoteText(line));
        }
        std::vector<std::string_view> words = splitWords(line);
        int32_t coordinates[3];
        bool isVoxel = words.size() == 3;
        for (std::size_t i = 0; isVoxel && i < 3; ++i)
            isVoxel = parseInt32(words[i], coordinates[i]);
        if (!isVoxel)
            return parseFailure<VoiList>(
                lineNumber, "expected a voxel line of three integers 'x y z' or 'VOI: NAME', found " +
                                quoteText(line));
        if (list.vois.empty())
            return parseFailure<VoiList>(lineNumber,
                                         "a voxel line before the first 'VOI: NAME' line");
        std::vector<int32_t>& voxels = list.vois.back().voxels;
        if (voxels.size() / 3 >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
            return parseFailure<VoiList>(lineNumber, "too many voxels in one VOI");
        voxels.insert(voxels.end(), coordinates, coordinates + 3);
    }
    if (!finishVoi())
        return parseFailure<VoiList>(voiLine,
                                     "the VOI " + quoteText(list.vois.back().name) +
                                         " has no voxels: expected at least one 'x y z' line after it");
    result.ok = true;
    return result;
}

}  // namespace ldi
