#include "commands/statistics_options.h"

#include <string>

#include <CLI/CLI.hpp>

#include "analysis/memory_budget.h"

namespace ldi {

void addStatisticsOptions(CLI::App& command, MapStatisticsOptions& options) {
    // The values are checked by the library, in the words every front end gives;
    // the method is parsed by it, in the words every front end gives.
    const auto fdr = [&options](const std::string& text) {
        std::string problem;
        if (!parseFdrChoice(text, options.fdr, problem)) throw CLI::ValidationError("--fdr", problem);
    };
    command.add_option_function<std::string>("--fdr", fdr,
                   std::string("how the FDR thresholds are found: permutation (p-values from surrogate draws "
                               "driven by the seed's own resampled residuals, with a fitted tail beyond the "
                               "draws), parametric (chi-square p-values, the differences by permutation; they "
                               "assume Gaussian innovations, intervals of 20 volumes or more, no drift and a "
                               "seed whose AR order the analysis matches, and a warning names what speaks "
                               "against them), or plugin (the plug-in's rule, for comparison) (default ") +
                       fdrMethodName(DEFAULT_FDR_METHOD) + ")")
        ->type_name("METHOD");
    command.add_option("--null-draws", options.nullDraws,
                   "surrogate draws per voxel for permutation p-values (all drawn in the one voxel pass; "
                   "default " + std::to_string(DEFAULT_NULL_DRAWS) + " where needed, else 1; each keeps three float "
                   "volumes of the grid, and more than half the machine's memory is refused)")
        ->type_name("K");
    command.add_option("--fdr-dependence", options.dependence,
                   "positive: Benjamini-Hochberg; arbitrary: with the Benjamini-Yekutieli factor "
                   "(default positive)")
        ->type_name("positive|arbitrary");
    command.add_option("--write-p", options.writeP,
                   "also write every thresholded map's p-values (p) or z scores (z) as NIfTI maps "
                   "(not with --fdr plugin)")
        ->type_name("p|z");
}

void addMemoryBudgetOption(CLI::App& command, std::string& size) {
    command.add_option("--memory-budget", size,
                       "memory the runs may take held whole (bytes, or with K, M, G or T: 800M, 4G); a run beyond "
                       "what is left of it is spilled to a temporary file and read back for every pass (default: "
                       "the memory available now, less a quarter and at least 512M, shared among the subjects "
                       "analysed side by side)")
        ->type_name("SIZE");
}

bool readMemoryBudget(const std::string& size, SourceBudgets& budgets, std::string& problem) {
    if (size.empty()) return true;
    if (parseMemorySize(size, budgets.inMemory, problem)) return true;
    problem = "--memory-budget " + problem;
    return false;
}

void addOrderOption(CLI::App& command, std::string& order) {
    command.add_option("--order", order,
                       "autoregressive model order, or auto[:MAX] for the order from 1 to MAX (default 8) with the "
                       "lowest median BIC over a sample of the voxels' models with the seed (settings default)")
        ->type_name("P|auto[:MAX]");
}

}  // namespace ldi
