#include "analysis/map_statistics.h"

#include <CLI/CLI.hpp>

#include "engine/engine.h"
#include "analysis/map_outputs.h"

namespace ldi_host {

void addStatisticsOptions(CLI::App& map, MapStatisticsOptions& options) {
    map.add_option("--fdr", options.fdr,
                   std::string("how the FDR thresholds are found: permutation (p-values from surrogate draws "
                               "driven by the seed's own resampled residuals, with a fitted tail beyond the "
                               "draws), parametric (chi-square p-values, the differences by permutation; they "
                               "assume Gaussian innovations, intervals of 20 volumes or more, no drift and a "
                               "seed whose AR order the analysis matches, and a warning names what speaks "
                               "against them), or plugin (the plug-in's rule, for comparison) (default ") +
                       DEFAULT_FDR_METHOD + ")")
        ->type_name("METHOD")
        ->check(CLI::IsMember({"plugin", "permutation", "parametric"}));
    map.add_option("--null-draws", options.nullDraws,
                   "surrogate draws per voxel for permutation p-values (the pass is repeated for each; "
                   "default " + std::to_string(DEFAULT_NULL_DRAWS) + " where needed, else 1)")
        ->type_name("K")
        ->check(CLI::Range(1, 1000));
    map.add_option("--fdr-dependence", options.dependence,
                   "positive: Benjamini-Hochberg; arbitrary: with the Benjamini-Yekutieli factor "
                   "(default positive)")
        ->type_name("positive|arbitrary")
        ->check(CLI::IsMember({"positive", "arbitrary"}));
    map.add_option("--write-p", options.writeP,
                   "also write every thresholded map's p-values (p) or z scores (z) as NIfTI maps "
                   "(not with --fdr plugin)")
        ->type_name("p|z")
        ->check(CLI::IsMember({"p", "z"}));
}

bool applyStatisticsOptions(const MapStatisticsOptions& options, EngineInput& input, MapRunRecord& record,
                            std::string& problem) {
    FdrMethod method = FdrMethod::plugin;
    if (!parseFdrMethod(options.fdr, method)) {
        problem = "--fdr " + options.fdr + ": not a method (plugin, permutation or parametric)";
        return false;
    }
    if (method == FdrMethod::plugin && !options.writeP.empty()) {
        problem = "--write-p: the plug-in's rule gives no p-values per voxel; choose --fdr permutation or parametric";
        return false;
    }
    if (method == FdrMethod::plugin && options.dependence != "positive") {
        problem = "--fdr-dependence: the plug-in's rule has its own constant (CVConstantForFDR in the settings)";
        return false;
    }
    input.fdr.method = method;
    input.fdr.arbitraryDependence = options.dependence == "arbitrary";
    input.fdr.keepPValues = !options.writeP.empty();
    // The null of the p-values is drawn from the seed's own residuals, so that
    // it has the seed's innovation distribution; the plug-in's rule keeps its
    // Gaussian surrogates.
    if (method != FdrMethod::plugin) input.surrogateInnovations = SurrogateInnovations::resampled;
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

}  // namespace ldi_host
