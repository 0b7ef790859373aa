#include "analysis/memory_budget.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <sstream>

namespace ldi {

namespace {

constexpr int64_t MIB = int64_t{1} << 20;

bool sizeRefused(const std::string& text, const std::string& why, std::string& problem) {
    problem = "\"" + text + "\": " + why + "; give bytes, or a number with K, M, G or T (binary units: 800M, 4G, 1.5G)";
    return false;
}

// The value of a "Name:   1234 kB" line of /proc/meminfo in bytes; -1 without it.
int64_t meminfoField(const std::string& meminfo, const std::string& name) {
    std::istringstream lines(meminfo);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
        std::istringstream fields(line.substr(name.size() + 1));
        long long value = -1;
        std::string unit;
        if (!(fields >> value) || value < 0) return -1;
        fields >> unit;
        return unit == "kB" ? value * 1024 : value;
    }
    return -1;
}

// A cgroup file's number, or -1 for "max", nothing or anything else.
int64_t cgroupNumber(const std::string& text) {
    std::istringstream in(text);
    long long value = -1;
    if (!(in >> value) || value < 0) return -1;
    return value;
}

std::string fileText(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string();
}

}  // namespace

bool parseMemorySize(const std::string& text, int64_t& bytes, std::string& problem) {
    std::size_t at = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    std::size_t end = at;
    if (end < text.size() && text[end] == '.') {
        ++end;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    }
    if (at == 0 || (end > at && end == at + 1)) return sizeRefused(text, "not a size", problem);
    std::string unit = text.substr(end);
    std::transform(unit.begin(), unit.end(), unit.begin(), [](unsigned char c) { return std::toupper(c); });
    int shift = 0;
    if (!unit.empty() && unit != "B") {
        const std::string units = "KMGT";
        const std::size_t index = units.find(unit[0]);
        const std::string rest = unit.substr(1);
        if (index == std::string::npos || !(rest.empty() || rest == "B" || rest == "IB"))
            return sizeRefused(text, "unknown unit \"" + text.substr(end) + "\"", problem);
        shift = 10 * static_cast<int>(index + 1);
    }
    if (end > at && shift == 0) return sizeRefused(text, "a fraction of a byte", problem);
    const long double value = std::stold(text.substr(0, end)) * std::ldexp(1.0L, shift);
    // Far beyond any machine's memory, and beyond what 64-bit sizes count.
    if (!(value <= std::ldexp(1.0L, 60))) return sizeRefused(text, "larger than an exbibyte", problem);
    bytes = static_cast<int64_t>(value);
    return true;
}

int64_t memoryToSpare(const std::string& meminfo, const std::string& cgroupMax, const std::string& cgroupCurrent) {
    int64_t available = meminfoField(meminfo, "MemAvailable");
    if (available < 0) return -1;
    const int64_t limit = cgroupNumber(cgroupMax), used = cgroupNumber(cgroupCurrent);
    if (limit >= 0 && used >= 0) available = std::min(available, std::max<int64_t>(limit - used, 0));
    const int64_t kept = std::max(available / 4, 512 * MIB);
    return std::max<int64_t>(available - kept, 0);
}

int64_t machineMemoryToSpare() {
    const int64_t spare = memoryToSpare(fileText("/proc/meminfo"), fileText("/sys/fs/cgroup/memory.max"),
                                        fileText("/sys/fs/cgroup/memory.current"));
    return spare >= 0 ? spare : SourceBudgets::fallbackInMemory;
}

SourceBudgets resolvedBudgets(const SourceBudgets& budgets) {
    SourceBudgets resolved = budgets;
    if (resolved.inMemory < 0) resolved.inMemory = machineMemoryToSpare();
    return resolved;
}

}  // namespace ldi
