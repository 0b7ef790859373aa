#include "formats/confounds.h"

#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "base/names.h"
#include "formats/whole_file.h"

namespace ldi {

namespace {

std::vector<std::string> tabFields(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return fields;
}

bool isMissing(const std::string& text) { return text == "n/a" || text == "NaN" || text == "nan" || text.empty(); }

// Opens the table at its header row and reads the column names.
bool openTable(const std::string& path, std::ifstream& in, std::vector<std::string>& header, std::string& problem) {
    if (!checkRegularFile(path, "the confounds table", problem)) return false;
    in.open(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) {
        problem = "cannot read the confounds table " + path;
        return false;
    }
    // A byte-order mark would become part of the first column's name and hide it.
    if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    header = tabFields(line);
    return true;
}

}  // namespace

bool readConfounds(const std::string& path, const std::vector<std::string>& patterns, int32_t first,
                   ConfoundTable& table, std::string& problem) {
    table = ConfoundTable();
    std::ifstream in;
    std::vector<std::string> header;
    if (!openTable(path, in, header, problem)) return false;
    std::string line;
    // Columns in the table's order, each once however many patterns name it.
    std::vector<std::size_t> chosen;
    for (const std::string& pattern : patterns) {
        bool matched = false;
        for (std::size_t c = 0; c < header.size(); ++c) {
            if (fnmatch(pattern.c_str(), header[c].c_str(), 0) != 0) continue;
            matched = true;
            bool known = false;
            for (const std::size_t k : chosen) known = known || k == c;
            if (!known) chosen.push_back(c);
        }
        if (!matched) {
            std::string names;
            for (std::size_t c = 0; c < header.size() && c < 40; ++c) names += (c == 0 ? "" : ", ") + header[c];
            if (header.size() > 40) names += ", ...";
            problem = path + ": no column matches --confounds " + pattern + " (the columns: " + names + ")";
            return false;
        }
    }
    std::sort(chosen.begin(), chosen.end());
    // The chosen columns' names go into the report and the maps' provenance.
    for (const std::size_t c : chosen) {
        const std::string wrong = nameProblem(header[c]);
        if (!wrong.empty()) {
            problem = path + ": the name of column " + std::to_string(c + 1) + " " + wrong +
                      " (save the table as UTF-8 with short column names)";
            return false;
        }
    }
    for (const std::size_t c : chosen) table.names.push_back(header[c]);
    table.columns.assign(chosen.size(), std::vector<double>());
    std::vector<std::vector<bool>> missing(chosen.size());
    for (int lineNumber = 2; std::getline(in, line); ++lineNumber) {
        if (line.empty() || line == "\r") continue;
        const std::vector<std::string> fields = tabFields(line);
        if (fields.size() != header.size()) {
            problem = path + ", line " + std::to_string(lineNumber) + ": " + std::to_string(fields.size()) +
                      " fields where the header names " + std::to_string(header.size());
            return false;
        }
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            const std::string& text = fields[chosen[k]];
            double value = 0.0;
            const bool absent = isMissing(text);
            if (!absent) {
                errno = 0;
                char* end = nullptr;
                value = std::strtod(text.c_str(), &end);
                if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value)) {
                    problem = path + ", line " + std::to_string(lineNumber) + ": column " + table.names[k] +
                              " holds '" + text + "', not a number or n/a";
                    return false;
                }
            }
            table.columns[k].push_back(value);
            missing[k].push_back(absent);
        }
    }
    table.missing.assign(chosen.size(), 0);
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        double sum = 0.0;
        std::size_t known = 0;
        for (std::size_t t = static_cast<std::size_t>(std::max(first, 0)); t < missing[k].size(); ++t)
            if (!missing[k][t]) {
                sum += table.columns[k][t];
                ++known;
            }
        if (known == 0) {
            problem = path + ": column " + table.names[k] + " holds no number";
            return false;
        }
        for (std::size_t t = 0; t < missing[k].size(); ++t)
            if (missing[k][t]) {
                table.columns[k][t] = sum / static_cast<double>(known);
                ++table.missing[k];
            }
    }
    return true;
}

bool nonSteadyStateColumns(const std::string& path, int32_t& leading, std::string& problem) {
    leading = 0;
    std::ifstream in;
    std::vector<std::string> header;
    if (!openTable(path, in, header, problem)) return false;
    const char* const pattern = "non_steady_state_outlier*";
    if (std::none_of(header.begin(), header.end(),
                     [&](const std::string& name) { return fnmatch(pattern, name.c_str(), 0) == 0; }))
        return true;
    ConfoundTable table;
    if (!readConfounds(path, {pattern}, 0, table, problem)) return false;
    const std::size_t volumes = table.columns.front().size();
    for (std::size_t t = 0; t < volumes; ++t) {
        bool marked = false;
        for (const std::vector<double>& column : table.columns) marked = marked || column[t] != 0.0;
        if (!marked) break;
        ++leading;
    }
    return true;
}

}  // namespace ldi
