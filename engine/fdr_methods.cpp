#include "engine/fdr_methods.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "engine/engine_input.h"
#include "engine/map_values.h"
#include "stats/distributions.h"
#include "stats/fdr.h"
#include "stats/sorting.h"
#include "stats/matrix.h"
#include "stats/parallel.h"
#include "stats/tail_fit.h"

namespace ldi {

bool parseFdrMethod(const std::string& text, FdrMethod& method) {
    if (text == "plugin") method = FdrMethod::plugin;
    else if (text == "permutation") method = FdrMethod::permutation;
    else if (text == "parametric") method = FdrMethod::parametric;
    else return false;
    return true;
}

const char* fdrMethodName(FdrMethod method) {
    switch (method) {
    case FdrMethod::plugin: return "plugin";
    case FdrMethod::permutation: return "permutation";
    case FdrMethod::parametric: return "parametric";
    }
    return "plugin";
}

FdrMethod effectiveFdrMethod(FdrMethod method, MapType type) {
    if (method == FdrMethod::parametric && (type == DLDI || type == DLDI_IT)) return FdrMethod::permutation;
    return method;
}

double adjustedTimePoints(int64_t timePoints, int64_t intervals, int32_t order) {
    // Every interval is detrended on its own (2) and its fit is pre-windowed:
    // its first `order` equations have zeros for lagged values before its
    // start and tell next to nothing about the lagged coefficients (order).
    // Counting only the 2 lets the statistic run about 8 % above chi-square
    // on 20-volume intervals, which nearly doubles the tail at p = 1e-4.
    const double perInterval = 2.0 + static_cast<double>(order);
    const double left = static_cast<double>(timePoints) - perInterval * static_cast<double>(intervals) - 2.0 * order;
    return std::max(1.0, left);
}

int64_t stepUpCount(std::vector<double> pValues, double q, double c, double& cutoff) {
    const StepUpCutoff step = benjaminiHochbergCutoff(std::move(pValues), q, c);
    cutoff = step.cutoff;
    return step.passing;
}

namespace {

bool present(float v) { return v != 0.0f && std::isfinite(v); }

// Sorted magnitudes of the present values of kind `type` over every null draw.
std::vector<float> pooledNullMagnitudes(MapType type, const std::vector<const MeasureVolumes*>& nulls,
                                        const GlobalParameters& parameters, WorkerTeam* team) {
    std::vector<float> pooled;
    std::vector<float> values;
    for (const MeasureVolumes* null : nulls) {
        values.resize(null->ref2vox.size());
        fillMapValues(type, *null, parameters, values.data(), team);
        for (float v : values)
            if (present(v)) pooled.push_back(std::fabs(v));
    }
    sortAscending(pooled);
    return pooled;
}

// ln p of every present value of `values` against the pooled null magnitudes
// `null` (ascending): (1 + null values at or above it) / (1 + m), and beyond
// every null value the fitted tail's estimate when that is smaller, down to
// the floor / (exceedances / 100) (boundedTailLogP, tailReach). The empirical p cannot go below
// 1 / (1 + m); the tail goes on falling with the value as far as it can be
// trusted. Within the draws the empirical p stays: taking the smaller of two
// estimates there (as this did up to 10 null values above) biases p
// downwards, just where Benjamini-Hochberg decides at q = 0.05 to 0.1, and
// the null maps' false discoveries ran above q. What the fit was and did
// goes to `record`.
void permutationLogP(const std::vector<float>& values, const std::vector<float>& null, std::vector<double>& logP,
                     NullTailRecord& record, WorkerTeam* team) {
    const auto m = static_cast<double>(null.size());
    const TailFit tail = fitParetoTail(null.data(), null.size());
    record.tried = true;
    record.accepted = tail.usable;
    record.nullValues = tail.total;
    record.exceedances = tail.exceedances;
    record.threshold = tail.threshold;
    record.scale = tail.scale;
    record.shape = tail.shape;
    record.andersonDarling = tail.andersonDarling;
    record.floorP = 1.0 / (1.0 + m);
    record.lowestP = tail.usable ? record.floorP / tailReach(tail) : record.floorP;
    // Each value's search is its own, so the voxels are shared out: a search
    // in millions of pooled values misses the cache at nearly every step.
    const AtOrAboveCounter counter(null);
    const int workers = team != nullptr ? team->size() : 1;
    std::vector<int64_t> beyond(static_cast<std::size_t>(std::max(workers, 1)), 0);
    std::vector<int64_t> held(beyond.size(), 0);
    shareWork(workers, static_cast<int64_t>(values.size()), 16384, [&](int64_t begin, int64_t end, int worker) {
        for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
            if (!present(values[i])) continue;
            const float magnitude = std::fabs(values[i]);
            const auto atOrAbove = static_cast<double>(counter.atOrAbove(magnitude));
            logP[i] = std::log((1.0 + atOrAbove) / (1.0 + m));
            if (atOrAbove > 0.0) continue;
            ++beyond[static_cast<std::size_t>(worker)];
            bool raised = false;
            logP[i] = std::min(logP[i], boundedTailLogP(tail, magnitude, raised));
            held[static_cast<std::size_t>(worker)] += raised ? 1 : 0;
        }
    }, team);
    for (std::size_t w = 0; w < beyond.size(); ++w) {
        record.beyondDraws += beyond[w];
        record.heldAtLowest += held[w];
    }
}

// ln p of every present value by the chi-square null of n_adj * value / scale.
void parametricLogP(const std::vector<float>& values, MapType type, const GlobalParameters& parameters,
                    double adjustedPoints, std::vector<double>& logP) {
    const double degrees = type == INST ? 1.0 : static_cast<double>(parameters.autoRegressionOrder);
    const double scale = parameters.mapScaleFactor != 0.0f ? parameters.mapScaleFactor : 1.0;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (present(values[i]))
            logP[i] = chiSquareLogSurvival(adjustedPoints * std::fabs(static_cast<double>(values[i])) / scale, degrees);
}

// The p-values and z scores kept for the maps: p in float (at least the
// smallest positive float, so that a written p is never 0), z from ln p.
void keepSignificance(const std::vector<double>& logP, const std::vector<float>& values, MapType type,
                      MapThresholds& map) {
    const bool twoSided = type == DLDI || type == DLDI_IT;
    map.pValues.resize(logP.size());
    map.zValues.assign(logP.size(), 0.0f);
    for (std::size_t i = 0; i < logP.size(); ++i) {
        map.pValues[i] = std::max(static_cast<float>(std::exp(logP[i])), std::numeric_limits<float>::denorm_min());
        if (present(values[i]) && logP[i] < 0.0)
            map.zValues[i] = static_cast<float>(
                normalUpperQuantileFromLog(twoSided ? logP[i] - std::log(2.0) : logP[i]));
    }
}

// The thresholds of one kind of map; `team` (or none) shares out its loops.
MapThresholds mapThresholdsBy(MapType type, const FdrChoice& choice, const MeasureVolumes& real,
                              const std::vector<const MeasureVolumes*>& nulls, const GlobalParameters& parameters,
                              double adjustedPoints, WorkerTeam* team) {
    const std::size_t count = real.ref2vox.size();
    const std::vector<float>& qValues = parameters.qThresholdsForFDR;
    MapThresholds map;
    map.type = type;
    map.searched = hasFdrThresholds(type);
    if (!map.searched) return map;
    std::vector<float> values(count);
    const FdrMethod method = effectiveFdrMethod(choice.method, type);
    map.method = fdrMethodName(method);
    fillMapValues(type, real, parameters, values.data(), team);

    std::vector<double> logP(count, 0.0);
    if (method == FdrMethod::parametric)
        parametricLogP(values, type, parameters, adjustedPoints, logP);
    else
        permutationLogP(values, pooledNullMagnitudes(type, nulls, parameters, team), logP, map.tail, team);
    std::vector<double> p(count);
    for (std::size_t i = 0; i < count; ++i) p[i] = std::exp(logP[i]);

    std::vector<double> presentP;
    float largest = 0.0f;
    for (std::size_t i = 0; i < count; ++i)
        if (present(values[i])) {
            presentP.push_back(p[i]);
            largest = std::max(largest, std::fabs(values[i]));
        }
    double c = 1.0;
    if (choice.arbitraryDependence && !presentP.empty()) {
        c = 0.0;
        for (std::size_t i = 1; i <= presentP.size(); ++i) c += 1.0 / static_cast<double>(i);
    }
    std::sort(presentP.begin(), presentP.end());  // once for every q
    for (float q : qValues) {
        const StepUpCutoff step = benjaminiHochbergCutoffSorted(presentP, q, c);
        const double cutoff = step.cutoff;
        const int64_t passing = step.passing;
        // The smallest magnitude that passes; when none does, just above the
        // largest, so that "at or above the threshold" selects nothing.
        float threshold = presentP.empty() ? 0.0f : std::nextafter(largest, std::numeric_limits<float>::max());
        if (passing > 0) {
            threshold = largest;
            for (std::size_t i = 0; i < count; ++i)
                if (present(values[i]) && p[i] <= cutoff) threshold = std::min(threshold, std::fabs(values[i]));
        }
        map.thresholds.push_back(threshold);
        map.passing.push_back(passing);
    }
    if (choice.keepPValues) keepSignificance(logP, values, type, map);
    return map;
}

}  // namespace

// The kinds of map side by side, each on one worker: a kind's sorts and
// sums run on one thread, and one after the other they left a core idle
// for half a second on a whole-brain run. Each kind's thresholds are its own,
// so they do not depend on the worker that finds them.
std::vector<MapThresholds> findMapThresholdsBy(const FdrChoice& choice, const MeasureVolumes& real,
                                               const std::vector<const MeasureVolumes*>& nulls,
                                               const GlobalParameters& parameters, double adjustedPoints,
                                               WorkerTeam* team) {
    const std::vector<MapType> types(parameters.mapTypesComputed.begin(), parameters.mapTypesComputed.end());
    std::vector<MapThresholds> maps(types.size());
    if (team == nullptr || team->size() < 2 || types.size() < 2) {
        for (std::size_t i = 0; i < types.size(); ++i)
            maps[i] = mapThresholdsBy(types[i], choice, real, nulls, parameters, adjustedPoints, team);
        return maps;
    }
    WorkCounter kinds(static_cast<int64_t>(types.size()), 1);
    team->run(team->size(), [&](int) {
        int64_t i = 0, end = 0;
        while (kinds.next(i, end)) {
            const auto k = static_cast<std::size_t>(i);
            maps[k] = mapThresholdsBy(types[k], choice, real, nulls, parameters, adjustedPoints, nullptr);
        }
    });
    return maps;
}

}  // namespace ldi
