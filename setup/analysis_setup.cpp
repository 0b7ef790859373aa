#include "setup/analysis_setup.h"

#include <algorithm>
#include <utility>

namespace ldi {

bool isVoiSelected(const AnalysisSetup& setup, int32_t hostIndex) {
    return std::any_of(setup.vois.begin(), setup.vois.end(),
                       [hostIndex](const SelectedVoi& voi) { return voi.hostIndex == hostIndex; });
}

bool hasCondition(const AnalysisSetup& setup, const std::string& name) {
    return std::any_of(setup.conditions.begin(), setup.conditions.end(),
                       [&name](const Condition& condition) { return condition.name == name; });
}

Condition& addCondition(AnalysisSetup& setup, const std::string& name) {
    Condition condition;
    condition.name = name;
    setup.conditions.push_back(std::move(condition));
    return setup.conditions.back();
}

bool hasVtcEntry(const Condition& condition, const std::string& sourcePath,
                 const std::string& targetPath) {
    return std::any_of(condition.entries.begin(), condition.entries.end(),
                       [&](const VtcEntry& entry) {
                           return entry.sourcePath == sourcePath && entry.targetPath == targetPath;
                       });
}

VtcEntry& addVtcEntry(Condition& condition, const std::string& sourcePath,
                      const std::string& targetPath) {
    VtcEntry entry;
    entry.sourcePath = sourcePath;
    entry.targetPath = targetPath;
    condition.entries.push_back(std::move(entry));
    return condition.entries.back();
}

}  // namespace ldi
