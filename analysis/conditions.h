// The conditions of an analysis: their names (the trial types of the events,
// the ones asked for, or one for the whole runs) and, for a model order, the
// intervals of volumes of every run that are long enough to fit it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/analysis_request.h"
#include "analysis/run_set.h"
#include "engine/engine.h"

namespace ldi {

// The conditions' names in the order of their maps. False with a message for
// a trial type no events file holds, or events files without any event.
bool conditionNames(const AnalysisRequest& request, const std::vector<std::unique_ptr<OpenedRun>>& runs,
                    std::vector<std::string>& names, std::string& problem);

struct ConditionSet {
    std::vector<EngineCondition> conditions;
    std::vector<std::string> labels;  // per condition, unique and safe for file names
    std::vector<std::string> warnings;
};

// The joint model of a seed and a voxel regresses each on 2 x order lagged
// values: with no more time points than that its residuals vanish and the
// measures (the instantaneous one first) grow without bound. A condition
// needs this many residual time points beyond the coefficients.
constexpr int64_t MIN_RESIDUAL_TIME_POINTS = 10;

// The fewest time points a condition's models of order `order` are fitted on.
int64_t fewestFittedTimePoints(int32_t order);

// Every condition's intervals per run for model order `order`: an interval
// no longer than the order (or outside the run) is left out with a warning.
// False with a message naming a condition left without any interval, or
// with fewer time points than fewestFittedTimePoints (with the numbers).
bool buildConditions(const AnalysisRequest& request, const std::vector<std::unique_ptr<OpenedRun>>& runs,
                     const std::vector<std::string>& names, int32_t order, ConditionSet& set, std::string& problem);

}  // namespace ldi
