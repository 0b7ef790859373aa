#include "compare_results.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

namespace ldi_windows_check {

namespace {

constexpr std::size_t kProblemsKept = 10;

void problem(ResultDifference& result, const std::string& text) {
    result.agree = false;
    if (result.problems.size() < kProblemsKept) result.problems.push_back(text);
}

template <typename Value>
void sameValue(ResultDifference& result, const std::string& what, const Value& expected, const Value& actual) {
    if (expected == actual) return;
    std::ostringstream text;
    text << what << ": " << expected << " against " << actual;
    problem(result, text.str());
}

void number(ResultDifference& result, const std::string& what, float expected, float actual, double tolerance,
            float scale) {
    ++result.numbersCompared;
    if (std::memcmp(&expected, &actual, sizeof expected) != 0) ++result.numbersNotIdentical;
    double relative = 0.0;
    const bool close = closeEnough(expected, actual, tolerance, relative, scale);
    result.largestRelative = std::max(result.largestRelative, relative);
    if (!close) {
        std::ostringstream text;
        text.precision(9);
        text << what << ": " << expected << " against " << actual << " (relative difference " << relative << ")";
        problem(result, text.str());
    }
}

// Voxels a viewer shows at this threshold: not 0 and |value| at least the threshold.
int64_t passing(const ldi::MapValues& voxels, float threshold) {
    int64_t count = 0;
    for (float value : voxels)
        if (value != 0.0f && std::fabs(value) >= threshold) ++count;
    return count;
}

// The largest finite magnitude of a map's voxels.
float magnitude(const ldi::MapValues& voxels) {
    float largest = 0.0f;
    for (float value : voxels)
        if (std::isfinite(value)) largest = std::max(largest, std::fabs(value));
    return largest;
}

}  // namespace

bool closeEnough(float a, float b, double tolerance, double& relative, float scale) {
    relative = 0.0;
    if (std::isnan(a) || std::isnan(b)) {
        relative = std::isnan(a) && std::isnan(b) ? 0.0 : INFINITY;
        return std::isnan(a) && std::isnan(b);
    }
    if (a == b) return true;  // infinities of the same sign, and +0 against -0
    const double difference = std::fabs(static_cast<double>(a) - static_cast<double>(b));
    const double largest = std::max({std::fabs(static_cast<double>(a)), std::fabs(static_cast<double>(b)),
                                     std::fabs(static_cast<double>(scale))});
    relative = difference / largest;
    return relative <= tolerance;
}

ResultDifference compareResults(const ldi::LdiFile& expected, const ldi::LdiFile& actual,
                                double tolerance) {
    ResultDifference result;
    const ldi::LdiGeometry& e = expected.geometry;
    const ldi::LdiGeometry& a = actual.geometry;
    const int32_t fieldsE[] = {e.xStart, e.xEnd, e.yStart, e.yEnd, e.zStart, e.zEnd, e.resolution, e.dimX, e.dimY, e.dimZ};
    const int32_t fieldsA[] = {a.xStart, a.xEnd, a.yStart, a.yEnd, a.zStart, a.zEnd, a.resolution, a.dimX, a.dimY, a.dimZ};
    for (std::size_t i = 0; i < std::size(fieldsE); ++i)
        sameValue(result, "geometry field " + std::to_string(i), fieldsE[i], fieldsA[i]);
    sameValue(result, "threshold levels", expected.levelLabels.size(), actual.levelLabels.size());
    for (std::size_t i = 0; i < std::min(expected.levelLabels.size(), actual.levelLabels.size()); ++i)
        sameValue(result, "level " + std::to_string(i), expected.levelLabels[i], actual.levelLabels[i]);
    sameValue(result, "maps", expected.maps.size(), actual.maps.size());
    if (!result.agree) return result;

    for (std::size_t m = 0; m < expected.maps.size(); ++m) {
        const double largestBefore = result.largestRelative;
        const int64_t notIdenticalBefore = result.numbersNotIdentical;
        result.largestRelative = 0.0;
        const ldi::LdiMap& em = expected.maps[m];
        const ldi::LdiMap& am = actual.maps[m];
        const std::string where = "map " + std::to_string(m) + " \"" + em.name + "\"";
        sameValue(result, where + " name", em.name, am.name);
        sameValue(result, where + " kind", em.mapKind, am.mapKind);
        sameValue(result, where + " colours",
                  std::vector<int32_t>{em.positiveColourLow, em.positiveColourHigh, em.negativeColourLow,
                                       em.negativeColourHigh, em.useNegativeColours}
                      == std::vector<int32_t>{am.positiveColourLow, am.positiveColourHigh, am.negativeColourLow,
                                              am.negativeColourHigh, am.useNegativeColours},
                  true);
        // Numbers are compared relative to the map's largest magnitude: a map
        // that is the difference of two measures carries their rounding in
        // absolute terms, which is large relative to its values near 0.
        const float scale = magnitude(em.voxels);
        number(result, where + " lower threshold", em.lowerThreshold, am.lowerThreshold, tolerance, scale);
        number(result, where + " upper threshold", em.upperThreshold, am.upperThreshold, tolerance, scale);
        sameValue(result, where + " FDR thresholds", em.fdrThresholds.size(), am.fdrThresholds.size());
        sameValue(result, where + " voxels", em.voxels.size(), am.voxels.size());
        if (em.fdrThresholds.size() != am.fdrThresholds.size() || em.voxels.size() != am.voxels.size()) continue;
        for (std::size_t t = 0; t < em.fdrThresholds.size(); ++t) {
            const std::string level = where + " FDR threshold " + std::to_string(t);
            number(result, level, em.fdrThresholds[t], am.fdrThresholds[t], tolerance, scale);
            sameValue(result, level + ": voxels passing", passing(em.voxels, em.fdrThresholds[t]),
                      passing(am.voxels, am.fdrThresholds[t]));
        }
        sameValue(result, where + " voxels not 0", passing(em.voxels, 0.0f), passing(am.voxels, 0.0f));
        for (std::size_t v = 0; v < em.voxels.size(); ++v)
            number(result, where + " voxel " + std::to_string(v), em.voxels[v], am.voxels[v], tolerance, scale);
        result.largestRelativeByMap.push_back(result.largestRelative);
        result.notIdenticalByMap.push_back(result.numbersNotIdentical - notIdenticalBefore);
        result.largestRelative = std::max(result.largestRelative, largestBefore);
    }
    return result;
}

}  // namespace ldi_windows_check
