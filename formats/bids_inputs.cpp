#include "formats/bids_inputs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

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

std::string sharedEntityPrefix(const std::vector<std::string>& paths) {
    if (paths.empty()) return std::string();
    std::vector<Entities> all;
    for (const std::string& path : paths) all.push_back(fileEntities(path));
    std::string prefix;
    for (const auto& entity : all.front()) {
        bool shared = true;
        for (const Entities& other : all)
            shared = shared && std::find(other.begin(), other.end(), entity) != other.end();
        if (!shared) continue;
        if (!prefix.empty()) prefix += '_';
        prefix += safeLabel(entity.first) + "-" + safeLabel(entity.second);
    }
    return prefix;
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
    std::ifstream in(path, std::ios::binary);
    nlohmann::json document = nlohmann::json::parse(in, nullptr, false);
    if (!in.good() && !in.eof()) {
        problem = "cannot read the sidecar " + path;
        return false;
    }
    if (document.is_discarded() || !document.is_object()) {
        problem = path + ": not a JSON object";
        return false;
    }
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

bool readEventsFile(const std::string& path, std::vector<Event>& events, std::string& problem) {
    events.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem = "cannot open the events file " + path;
        return false;
    }
    std::string line;
    int lineNumber = 0;
    std::vector<std::string> columns;
    std::size_t onset = 0, duration = 0, type = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
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
            const bool hasType = find("trial_type", type);
            if (!hasOnset || !hasDuration || !hasType) {
                problem = path + ":1: an events file needs the columns onset, duration and trial_type (missing:";
                if (!hasOnset) problem += " onset";
                if (!hasDuration) problem += " duration";
                if (!hasType) problem += " trial_type";
                problem += ")";
                return false;
            }
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        const std::vector<std::string> cells = splitOn(line, '\t');
        const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
        if (cells.size() != columns.size()) {
            problem = where + std::to_string(cells.size()) + " cells where the header names " +
                      std::to_string(columns.size()) + " columns";
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
        event.type = cells[type];
        events.push_back(event);
    }
    if (lineNumber == 0) {
        problem = path + ": empty (an events file needs a header with onset, duration and trial_type)";
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
        int64_t first = static_cast<int64_t>(std::ceil((event.onset - shift) / tr));
        int64_t last = static_cast<int64_t>(std::ceil((end - shift) / tr)) - 1;
        // Rounding of the divisions must not move a volume across an edge.
        while (first > 0 && static_cast<double>(first - 1) * tr + shift >= event.onset) --first;
        while (static_cast<double>(first) * tr + shift < event.onset) ++first;
        while (static_cast<double>(last + 1) * tr + shift < end) ++last;
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
