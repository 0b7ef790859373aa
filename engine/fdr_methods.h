// False-discovery-rate thresholds by methods other than the plug-in's walk,
// for front ends that choose one (ldi map). The plug-in's own rule stays in
// map_values.h; these give, per map kind and q, the same record (threshold,
// voxels passing) and optionally every voxel's p-value.
//
// - permutation: p = (1 + number of null magnitudes >= |value|) / (1 + m) over
//   the pooled null values of every surrogate draw (m of them), which is a
//   valid p-value whatever the number of draws; beyond every null value, a
//   generalized Pareto fit to the null's tail (stats/tail_fit.h) gives the
//   smaller p the draws cannot resolve, below the floor 1 / (1 + m) as far
//   as its exceedances let it be trusted (boundedTailLogP); the fit and what
//   it did go to MapThresholds::tail. Benjamini-Hochberg step-up.
// - parametric: n_adj * value / scale is chi-square with `order` degrees of
//   freedom under the null (1 for the instantaneous measure), with n_adj the
//   condition's time points less 2 + order per interval and 2 * order. The differences
//   (dLDI, dLDI IT) have no such null and use the permutation p-values.
// Either with `arbitraryDependence` divides q by sum 1/i (Benjamini-Yekutieli).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/global_parameters.h"

namespace ldi {

struct MapThresholds;
struct MeasureVolumes;
class WorkerTeam;

enum class FdrMethod { plugin, permutation, parametric };

// "plugin", "permutation", "parametric"; false for another text.
bool parseFdrMethod(const std::string& text, FdrMethod& method);
const char* fdrMethodName(FdrMethod method);

struct FdrChoice {
    FdrMethod method = FdrMethod::plugin;
    bool arbitraryDependence = false;  // Benjamini-Yekutieli's factor
    bool keepPValues = false;          // fill MapThresholds::pValues
};

// The method a map kind actually uses under `method` (parametric falls back
// to permutation for the differences).
FdrMethod effectiveFdrMethod(FdrMethod method, MapType type);

// Time points left for the parametric null: the condition's time points less
// 2 + order per interval (detrending, pre-windowed start) and 2 * order (at
// least 1).
double adjustedTimePoints(int64_t timePoints, int64_t intervals, int32_t order);

// Thresholds of every kind of parameters.mapTypesComputed (in that order) by
// `choice` (not plugin), against the null draws `nulls` (at least one).
std::vector<MapThresholds> findMapThresholdsBy(const FdrChoice& choice, const MeasureVolumes& real,
                                               const std::vector<const MeasureVolumes*>& nulls,
                                               const GlobalParameters& parameters, double adjustedPoints,
                                               WorkerTeam* team);

// Benjamini-Hochberg step-up on p-values (any order): how many pass at q with
// the dependence factor c (1, or sum 1/i for arbitrary dependence), and the
// largest p-value that passes (-1 when none does).
int64_t stepUpCount(std::vector<double> pValues, double q, double c, double& cutoff);

}  // namespace ldi
