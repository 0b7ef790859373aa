#include "formats/bids_inputs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "base/names.h"
#include "formats/whole_file.h"

namespace ldi {

namespace {

std::string stem(const std::string& path) {
    std::string name = std::filesystem::path(path).filename().string();
    for (const char* extension : {".nii.gz", ".nii", ".json", ".tsv"}) {
        const std::string ext(extension);
        if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0) {
            name.resize(name.size() - ext.size());
            break;
        }
    }
    return name;
}

std::vector<std::string> splitOn(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

bool parseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

bool validUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) return false;
        i += length;
    }
    return true;
}

}  // namespace

Entities fileEntities(const std::string& path) {
    Entities entities;
    for (const std::string& part : splitOn(stem(path), '_')) {
        const std::size_t dash = part.find('-');
        if (dash == std::string::npos || dash == 0 || dash + 1 == part.size()) continue;
        entities.emplace_back(part.substr(0, dash), part.substr(dash + 1));
    }
    return entities;
}

std::string entityValue(const std::string& path, const std::string& key) {
    for (const auto& entity : fileEntities(path))
        if (entity.first == key) return entity.second;
    return std::string();
}

std::string safeLabel(const std::string& name) {
    std::string label;
    for (const char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)) != 0 && static_cast<unsigned char>(c) < 128) label += c;
    return label.empty() ? std::string("x") : label;
}

std::string sidecarPath(const std::string& imagePath) {
    const std::filesystem::path path(imagePath);
    return (path.parent_path() / (stem(imagePath) + ".json")).string();
}

bool sidecarRepetitionTime(const std::string& imagePath, double& seconds, bool& found, std::string& problem) {
    found = false;
    const std::string path = sidecarPath(imagePath);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return true;
    nlohmann::json document;
    if (!readJsonSidecar(path, document, problem)) return false;
    const auto tr = document.find("RepetitionTime");
    if (tr == document.end()) return true;
    if (!tr->is_number() || !(tr->get<double>() > 0.0) || !std::isfinite(tr->get<double>())) {
        problem = path + ": RepetitionTime is not a positive number of seconds";
        return false;
    }
    seconds = tr->get<double>();
    found = true;
    return true;
}

bool readJsonSidecar(const std::string& path, nlohmann::json& document, std::string& problem) {
    std::string text;
    if (!checkRegularFile(path, "the sidecar", problem) || !readWholeFile(path, text, problem)) return false;
    document = nlohmann::json::parse(text, nullptr, false);
    if (!document.is_discarded() && document.is_object()) return true;
    // nlohmann reads UTF-8 only: Latin-1 text is named as such, not as no JSON.
    problem = path + (validUtf8(text) ? ": not a JSON object" : ": not UTF-8 text (JSON sidecars are UTF-8; save it as UTF-8)");
    return false;
}

namespace {

// Said after a message about a line that holds commas and no tab.
std::string separatorHint(const std::string& line) {
    if (line.find(',') == std::string::npos || line.find('\t') != std::string::npos) return std::string();
    return "; the line is separated by commas, but BIDS events files are tab-separated: save the table as "
           "tab-separated values";
}

}  // namespace

std::string taskConditionName(const std::string& runPath) {
    const std::string task = entityValue(runPath, "task");
    return task.empty() ? std::string("all") : task;
}

bool readEventsFile(const std::string& path, const std::string& untypedCondition, std::vector<Event>& events,
                    std::string& problem) {
    events.clear();
    if (!checkRegularFile(path, "the events file", problem)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem = "cannot open the events file " + path;
        return false;
    }
    std::string line;
    int lineNumber = 0;
    std::vector<std::string> columns;
    std::size_t onset = 0, duration = 0, type = 0;
    bool hasType = false;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Spreadsheet programs start UTF-8 text with a byte-order mark; it is no part of the first column's name.
        if (lineNumber == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        if (line.find('\0') != std::string::npos) {
            problem = path + ":" + std::to_string(lineNumber) + ": not a text file (the line holds a NUL byte)";
            return false;
        }
        if (lineNumber == 1) {
            columns = splitOn(line, '\t');
            auto find = [&](const char* name, std::size_t& at) {
                const auto found = std::find(columns.begin(), columns.end(), name);
                at = static_cast<std::size_t>(found - columns.begin());
                return found != columns.end();
            };
            const bool hasOnset = find("onset", onset);
            const bool hasDuration = find("duration", duration);
            // trial_type is optional in BIDS: without it every event is of the run's one condition.
            hasType = find("trial_type", type);
            if (!hasOnset || !hasDuration) {
                problem = path + ":1: an events file needs the columns onset and duration (missing:";
                if (!hasOnset) problem += " onset";
                if (!hasDuration) problem += " duration";
                problem += ")" + separatorHint(line);
                return false;
            }
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        const std::vector<std::string> cells = splitOn(line, '\t');
        const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
        if (cells.size() != columns.size()) {
            problem = where + std::to_string(cells.size()) + " cells where the header names " +
                      std::to_string(columns.size()) + " columns" + separatorHint(line);
            return false;
        }
        Event event;
        if (!parseNumber(cells[onset], event.onset)) {
            problem = where + "the onset '" + cells[onset] + "' is not a number";
            return false;
        }
        if (!parseNumber(cells[duration], event.duration)) {
            problem = where + "the duration '" + cells[duration] + "' is not a number";
            return false;
        }
        if (event.duration < 0.0) {
            problem = where + "the duration " + cells[duration] + " is negative";
            return false;
        }
        if (!hasType) {
            event.type = untypedCondition;
        } else if (cells[type].size() > MAX_TRIAL_TYPE_BYTES) {
            problem = where + "the trial_type '" + cells[type].substr(0, 40) + "...' is " +
                      std::to_string(cells[type].size()) + " bytes long; names of conditions are at most " +
                      std::to_string(MAX_TRIAL_TYPE_BYTES) + " (they become part of file names)";
            return false;
        } else if (const std::string wrong = cells[type].empty() ? "" : nameProblem(cells[type], MAX_TRIAL_TYPE_BYTES);
                   !wrong.empty()) {
            // A trial type names maps, reports and the index beside them: refused before anything is computed.
            problem = where + "the trial_type " + wrong + " (save the events file as UTF-8 text)";
            return false;
        } else {
            event.type = cells[type];
        }
        event.line = lineNumber;
        events.push_back(event);
    }
    if (lineNumber == 0) {
        problem = path + ": empty (an events file needs a header with onset and duration, and trial_type for more than "
                         "one condition)";
        return false;
    }
    return true;
}

bool checkEventTimes(const std::vector<Event>& events, const std::string& path, double tr, double shift,
                     int64_t volumes, std::string& problem) {
    if (!std::isfinite(tr) || !(tr > 0.0) || !std::isfinite(shift)) {
        problem = path + ": the repetition time " + std::to_string(tr) + " s and shift " + std::to_string(shift) +
                  " s cannot place events in time";
        return false;
    }
    // The run in the events' clock: volume i is taken at i * tr + shift.
    const double span = static_cast<double>(volumes) * tr;
    const double earliest = shift - span, latest = shift + 2.0 * span;
    for (const Event& event : events) {
        const double end = event.onset + event.duration;
        const bool inside = std::isfinite(end) && event.onset >= earliest && event.onset <= latest &&
                            end <= latest;
        if (inside) continue;
        char text[200];
        std::snprintf(text, sizeof text,
                      ": the event at %g s lasting %g s lies far outside the run (%lld volumes of %g s: %g to %g s); "
                      "onsets and durations are in seconds",
                      event.onset, event.duration, static_cast<long long>(volumes), tr, shift, shift + span);
        problem = path + ":" + std::to_string(event.line) + text;
        return false;
    }
    return true;
}

EventIntervals eventIntervals(const std::vector<Event>& events, const std::string& type, double tr, double shift,
                              int32_t volumes, int32_t skip, int32_t order) {
    std::vector<Interval> raw;  // 0-based, both ends included
    int32_t empty = 0;          // events that cover no volume of the run
    for (const Event& event : events) {
        if (event.type != type) continue;
        // The first and last volume whose time lies in [onset, onset + duration).
        const double end = event.onset + event.duration;
        // Volumes far outside the run are clamped before they become integers:
        // a time of 1e20 s must neither overflow nor be walked back one volume at a time.
        const auto volumeAt = [&](double time) {
            const double at = std::ceil((time - shift) / tr);
            if (!(at > -2.0)) return int64_t{-2};
            return at < static_cast<double>(volumes) + 2.0 ? static_cast<int64_t>(at) : int64_t{volumes} + 2;
        };
        if (!std::isfinite(end) || !(tr > 0.0) || !std::isfinite(tr) || !std::isfinite(shift)) {
            ++empty;
            continue;
        }
        int64_t first = volumeAt(event.onset);
        int64_t last = volumeAt(end) - 1;
        // Rounding of the divisions must not move a volume across an edge.
        while (first > 0 && static_cast<double>(first - 1) * tr + shift >= event.onset) --first;
        const int64_t beyond = int64_t{volumes} + 2;
        while (first < beyond && static_cast<double>(first) * tr + shift < event.onset) ++first;
        while (last < beyond && static_cast<double>(last + 1) * tr + shift < end) ++last;
        while (last >= first && static_cast<double>(last) * tr + shift >= end) --last;
        first = std::max<int64_t>(first, skip);
        last = std::min<int64_t>(last, static_cast<int64_t>(volumes) - 1);
        if (last < first) {
            ++empty;
            continue;
        }
        raw.push_back(Interval{static_cast<int32_t>(first), static_cast<int32_t>(last)});
    }
    std::sort(raw.begin(), raw.end(), [](const Interval& a, const Interval& b) { return a.first < b.first; });
    EventIntervals result;
    result.tooShort = empty;
    std::vector<Interval> merged;
    for (const Interval& interval : raw) {
        if (!merged.empty() && interval.first <= merged.back().last + 1)
            merged.back().last = std::max(merged.back().last, interval.last);
        else
            merged.push_back(interval);
    }
    for (const Interval& interval : merged) {
        if (interval.last - interval.first + 1 <= order) {
            ++result.tooShort;
            continue;
        }
        result.intervals.push_back(Interval{interval.first + 1, interval.last + 1});
    }
    return result;
}

}  // namespace ldi
