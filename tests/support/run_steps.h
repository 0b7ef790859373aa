// The steps of the plug-in's run for one VOI and one condition, as the tests
// and benchmarks take them one at a time: each makes the engine's input from
// the prepared context and set-up, as the driver does, and runs one step of
// the engine, with progress lines going to the host's log pane.
#pragma once

#include <cstdint>
#include <ostream>
#include <sstream>

#include "base/host_api.h"
#include "engine/engine.h"
#include "engine/surrogates.h"
#include "engine/voxel_pass.h"
#include "output/host_listener.h"
#include "plugin/analysis_context.h"
#include "plugin/run_inputs.h"
#include "setup/analysis_setup.h"

namespace ldi {

inline ProgressSink progressToHost() {
    return [](const EngineProgress& event) { hostApi.syLogText(logPaneText(event).c_str()); };
}

// Position of the VOI (by its host index) among the selected ones; -1 if absent.
inline int32_t seedIndexOf(const AnalysisSetup& setup, const SelectedVoi& voi) {
    for (std::size_t i = 0; i < setup.vois.size(); ++i)
        if (setup.vois[i].hostIndex == voi.hostIndex) return static_cast<int32_t>(i);
    return -1;
}

// Position of the condition (by its name, unique in a set-up); -1 if absent.
inline int32_t conditionIndexOf(const AnalysisSetup& setup, const Condition& condition) {
    for (std::size_t i = 0; i < setup.conditions.size(); ++i)
        if (setup.conditions[i].name == condition.name) return static_cast<int32_t>(i);
    return -1;
}

inline int generateSurrogates(AnalysisContext& context, const AnalysisSetup& setup, std::ostream& errorStream) {
    return generateSurrogates(engineInputOf(context, setup), context.work, progressToHost(), errorStream);
}

inline int computeConditionMeasures(AnalysisContext& context, const SelectedVoi& voi, const Condition& condition,
                                    const AnalysisSetup& setup, std::ostream& runLog, std::ostream& errorStream) {
    return computeConditionMeasures(engineInputOf(context, setup), seedIndexOf(setup, voi),
                                    conditionIndexOf(setup, condition), context.work, progressToHost(), runLog,
                                    errorStream);
}

// The maps of the condition into the host's current map set (created by
// createMapSet), as the driver writes them.
inline int assembleMaps(AnalysisContext& context, const SelectedVoi& voi, const Condition& /*condition*/,
                        int32_t conditionIndex, const AnalysisSetup& setup, std::ostream& errorStream) {
    std::ostringstream runLog;
    HostListener listener(setup, runLog, errorStream);
    return assembleConditionMaps(engineInputOf(context, setup), seedIndexOf(setup, voi), conditionIndex,
                                 context.work, listener, errorStream);
}

}  // namespace ldi
