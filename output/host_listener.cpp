#include "output/host_listener.h"

#include <cmath>
#include <sstream>

#include "base/text.h"
#include "output/map_output.h"
#include "output/pass_record.h"
#include "output/result_output.h"
#include "setup/analysis_setup.h"

namespace ldi {

namespace {

// Every line of the text behind the prefix and a tab.
std::string prefixedLines(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::string result;
    while (std::getline(lines, line)) {
        if (!result.empty()) result += '\n';
        result += std::string(progressPrefix) + '\t' + line;
    }
    return result;
}

}  // namespace

std::string logPaneText(const EngineProgress& event) {
    using Stage = EngineProgress::Stage;
    switch (event.stage) {
    case Stage::surrogates:
        return formatText("%s\n%s Generating surrogate ref time-courses...", progressPrefix, progressPrefix);
    case Stage::condition:
        return formatText("%s\n%s\tCondition: <em>%s</em>", progressPrefix, progressPrefix, event.text.c_str());
    case Stage::slices:
        return formatText("%s\t%d%%...", progressPrefix, static_cast<int>(std::lround(event.fraction * 100.0)));
    case Stage::voxelCounts:
        return prefixedLines(event.text);
    case Stage::maps:
        return formatText("%s\n%s\tComputing maps and thresholds... ", progressPrefix, progressPrefix);
    case Stage::warning:
        return std::string(progressPrefix) + " " + event.text;
    }
    return std::string();
}

void HostListener::progress(const EngineProgress& event) { hostApi.syLogText(logPaneText(event).c_str()); }

int HostListener::beginSeed(int32_t seed) {
    const SelectedVoi& voi = setup_.vois[static_cast<std::size_t>(seed)];
    runLog_.str("");
    runLog_.clear();
    clearPassRecord();
    writeParameterLog(setup_, runLog_);
    if (setup_.parameters.showVerboseProgressLog)
        hostApi.syLogText(formatText("%s\n%s VOI: <b>%s</b>", progressPrefix, progressPrefix, voi.name.c_str()).c_str());
    runLog_ << "VOI: " << voi.name << '\n' << std::string(voi.name.size() + 5, '*') << '\n';
    return createMapSet(voi, setup_, errorStream_);
}

float* HostListener::mapBuffer(int32_t seed, int32_t condition, int32_t kind, std::ostream& errorStream) {
    return hostMapBuffer(mapIndex(condition, kind), header_, setup_.vois[static_cast<std::size_t>(seed)].name,
                         setup_.conditions[static_cast<std::size_t>(condition)].name, errorStream);
}

int HostListener::mapFinished(int32_t, int32_t condition, int32_t kind, const MapThresholds& map,
                              std::ostream& errorStream) {
    recordPassing(mapIndex(condition, kind), map.searched ? map.passing : std::vector<int64_t>());
    return setHostMapHeader(mapIndex(condition, kind), header_, map,
                            setup_.conditions[static_cast<std::size_t>(condition)].name, setup_.parameters,
                            errorStream);
}

int HostListener::endSeed(int32_t seed) {
    return saveResults(setup_.vois[static_cast<std::size_t>(seed)], setup_, runLog_, errorStream_);
}

int32_t HostListener::mapIndex(int32_t condition, int32_t kind) const {
    return static_cast<int32_t>(setup_.parameters.mapTypesComputed.size()) * condition + kind;
}

}  // namespace ldi
