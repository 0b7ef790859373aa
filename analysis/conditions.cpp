#include "analysis/conditions.h"

#include <algorithm>
#include <set>

namespace ldi {

namespace {

bool namesFromEvents(const AnalysisRequest& request, const std::vector<std::unique_ptr<OpenedRun>>& runs,
                     std::vector<std::string>& names, std::string& problem) {
    std::set<std::string> types;
    for (const auto& run : runs)
        for (const Event& event : run->events) types.insert(event.type);
    if (request.conditions.empty()) names.assign(types.begin(), types.end());
    for (const std::string& name : request.conditions) {
        if (types.count(name) == 0) {
            std::string known;
            for (const std::string& type : types) known += (known.empty() ? "" : ", ") + type;
            problem = "condition " + name + ": no event has this trial_type (the events files hold: " +
                      (known.empty() ? std::string("none") : known) + ")";
            return false;
        }
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    if (names.empty()) {
        problem = "the events files hold no event";
        return false;
    }
    return true;
}

// The intervals of an interval condition in one run that fit the order and the run.
std::vector<Interval> givenIntervals(const std::vector<Interval>& given, int32_t skip, int32_t volumes,
                                     int32_t order, int32_t& tooShort) {
    std::vector<Interval> kept;
    for (const Interval& interval : given) {
        if (interval.first > skip && interval.last <= volumes && interval.last - interval.first + 1 > order)
            kept.push_back(interval);
        else
            ++tooShort;
    }
    return kept;
}

std::vector<Interval> runIntervals(const AnalysisRequest& request, const OpenedRun& run, std::size_t r,
                                   const std::string& name, int32_t order, int32_t& tooShort) {
    const auto volumes = static_cast<int32_t>(run.header.volumes());
    if (!request.intervalConditions.empty()) {
        for (const IntervalCondition& condition : request.intervalConditions)
            if (condition.name == name && r < condition.runs.size())
                return givenIntervals(condition.runs[r], request.skip, volumes, order, tooShort);
        return {};
    }
    if (run.events.empty() && !hasEvents(request.runs[r])) {
        if (volumes - request.skip > order) return {Interval{request.skip + 1, volumes}};
        ++tooShort;
        return {};
    }
    EventIntervals found = eventIntervals(run.events, name, run.tr, request.shift, volumes, request.skip, order);
    tooShort += found.tooShort;
    return std::move(found.intervals);
}

// The time points a condition's models are fitted on: each interval gives
// its length less the order (its first `order` volumes serve only as lags).
int64_t fittedTimePoints(const EngineCondition& condition, int32_t order) {
    int64_t points = 0;
    for (const EngineEntry& entry : condition.entries)
        for (const Interval& interval : entry.intervals) points += interval.last - interval.first + 1 - order;
    return points;
}

}  // namespace

int64_t fewestFittedTimePoints(int32_t order) { return 2 * int64_t{order} + MIN_RESIDUAL_TIME_POINTS; }

bool conditionNames(const AnalysisRequest& request, const std::vector<std::unique_ptr<OpenedRun>>& runs,
                    std::vector<std::string>& names, std::string& problem) {
    names.clear();
    const bool withEvents = !request.runs.empty() && hasEvents(request.runs.front());
    if (!request.conditions.empty() && !withEvents) {
        problem = "conditions choose among the trial types of the runs' events; no run has events";
        return false;
    }
    if (!request.intervalConditions.empty()) {
        if (withEvents) {
            problem = "conditions come from events files or from intervals, not from both";
            return false;
        }
        for (const IntervalCondition& condition : request.intervalConditions) names.push_back(condition.name);
        return true;
    }
    if (withEvents) return namesFromEvents(request, runs, names, problem);
    names.push_back(taskConditionName(runs.front()->path));
    return true;
}

bool buildConditions(const AnalysisRequest& request, const std::vector<std::unique_ptr<OpenedRun>>& runs,
                     const std::vector<std::string>& names, int32_t order, ConditionSet& set, std::string& problem) {
    set = ConditionSet();
    std::set<std::string> usedLabels;
    for (std::size_t c = 0; c < names.size(); ++c) {
        EngineCondition condition;
        condition.name = names[c];
        int32_t tooShort = 0;
        for (std::size_t r = 0; r < runs.size(); ++r) {
            EngineEntry entry;
            entry.source = entry.target = static_cast<int32_t>(r);
            entry.intervals = runIntervals(request, *runs[r], r, condition.name, order, tooShort);
            if (!entry.intervals.empty()) condition.entries.push_back(entry);
        }
        if (tooShort > 0)
            set.warnings.push_back("condition '" + condition.name + "': " + std::to_string(tooShort) +
                                   (tooShort == 1 ? " interval was" : " intervals were") +
                                   " left out, no longer than the model order " + std::to_string(order) +
                                   " (or outside the run)");
        if (condition.entries.empty()) {
            problem = "condition '" + condition.name + "' has no interval longer than the model order " +
                      std::to_string(order) + " in any run";
            return false;
        }
        const int64_t points = fittedTimePoints(condition, order), fewest = fewestFittedTimePoints(order);
        if (points < fewest) {
            problem = "condition '" + condition.name + "' leaves " + std::to_string(points) +
                      " time points to fit models of order " + std::to_string(order) + " on (each interval's length "
                      "less the order, over every run), fewer than the " + std::to_string(fewest) +
                      " they need (2 x order + " + std::to_string(MIN_RESIDUAL_TIME_POINTS) +
                      "): give longer runs or intervals, or a lower --order";
            return false;
        }
        std::string label = safeLabel(condition.name);
        if (!usedLabels.insert(label).second) {
            label += std::to_string(c + 1);
            usedLabels.insert(label);
        }
        set.labels.push_back(label);
        set.conditions.push_back(std::move(condition));
    }
    return true;
}

}  // namespace ldi
