#include "analysis/map_statistics.h"

#include "engine/engine.h"
#include "analysis/map_outputs.h"

namespace ldi {

bool parseFdrChoice(const std::string& text, FdrMethod& method, std::string& problem) {
    if (parseFdrMethod(text, method)) return true;
    problem = "fdr '" + text + "': not a method (plugin, permutation or parametric)";
    return false;
}

bool applyStatisticsOptions(const MapStatisticsOptions& options, EngineInput& input, MapRunRecord& record,
                            std::string& problem) {
    const FdrMethod method = options.fdr;
    if (method == FdrMethod::plugin && !options.writeP.empty()) {
        problem = "write p " + options.writeP +
                  ": the plug-in's rule gives no p-values per voxel; choose the fdr method permutation or parametric";
        return false;
    }
    if (options.writeP != "" && options.writeP != "p" && options.writeP != "z") {
        problem = "write p '" + options.writeP + "': give p (p-values) or z (z scores)";
        return false;
    }
    if (options.dependence != "positive" && options.dependence != "arbitrary") {
        problem = "fdr dependence '" + options.dependence + "': give positive or arbitrary";
        return false;
    }
    if (options.nullDraws < 0 || options.nullDraws > 1000) {
        problem = "null draws " + std::to_string(options.nullDraws) + ": give 1 to 1000 (0: the default)";
        return false;
    }
    if (method == FdrMethod::plugin && options.dependence != "positive") {
        problem = "fdr dependence: the plug-in's rule has its own constant (CVConstantForFDR in the settings)";
        return false;
    }
    input.fdr.method = method;
    input.fdr.arbitraryDependence = options.dependence == "arbitrary";
    input.fdr.keepPValues = !options.writeP.empty() || (options.keepPValues && method != FdrMethod::plugin);
    // The null of the p-values is driven by the seed's own residuals, each
    // once, in a random order within its condition: the null given the seed's
    // innovations, heavy ones included (drawn with replacement, a surrogate
    // had the seed's largest innovation twice or not at all, and with heavy
    // tails in seed and voxels Vox2Ref ran at twice q). The plug-in's rule
    // keeps its Gaussian surrogates.
    if (method != FdrMethod::plugin) input.surrogateInnovations = SurrogateInnovations::permuted;
    // Only permutation p-values gain from further draws; the plug-in's rule
    // uses one draw per voxel.
    bool permutationUsed = method == FdrMethod::permutation;
    if (method == FdrMethod::parametric)
        for (MapType type : input.parameters->mapTypesComputed)
            if (effectiveFdrMethod(method, type) == FdrMethod::permutation) permutationUsed = true;
    input.nullDraws = options.nullDraws > 0 ? options.nullDraws : (permutationUsed ? DEFAULT_NULL_DRAWS : 1);
    record.fdrMethod = fdrMethodName(method);
    record.fdrDependence = options.dependence;
    record.nullDraws = input.nullDraws;
    record.writeP = options.writeP;
    return true;
}

}  // namespace ldi
