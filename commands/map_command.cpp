// `ldi map`: the analysis of NIfTI runs with seeds given as masks or spheres
// and conditions from BIDS events files, without the plug-in and its
// dialogs. The options become an AnalysisRequest; analysis/ does the rest.
#include <cstdint>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "analysis/analysis.h"
#include "analysis/parameters.h"
#include "analysis/seeds.h"
#include "base/exit_status.h"
#include "commands/command.h"
#include "commands/statistics_options.h"
#include "pictures/report.h"

namespace ldi {

namespace {

struct MapOptions {
    std::vector<std::string> bold, seeds, events, conditions;
    std::string mask, out, settings, q;
    double shift = 0.0;
    double tr = 0.0;
    int skip = 0;
    std::string order;         // P, auto or auto:MAX
    bool orderReport = false;  // print the criteria of every order and stop
    int surrogates = 0;
    long long rngSeed = -1;
    int threads = 0;
    std::string memoryBudget;  // "": what the machine has to spare
    bool quiet = false;
    MapStatisticsOptions statistics;
};

bool mapRequest(const MapOptions& options, const CLI::App& map, AnalysisRequest& request, std::string& problem) {
    ParameterOptions parameters;
    parameters.settingsFile = options.settings;
    if (map.count("--order") != 0) parameters.order = options.order;
    if (map.count("--surrogates") != 0) parameters.surrogates = options.surrogates;
    if (map.count("--q") != 0) parameters.q = options.q;
    parameters.orderReport = options.orderReport;
    if (!readAnalysisParameters(parameters, request.parameters, request.order, problem)) return false;
    if (!options.events.empty() && options.events.size() != options.bold.size()) {
        problem = "give one --events file per --bold run (" + std::to_string(options.bold.size()) + " runs, " +
                  std::to_string(options.events.size()) + " events files)";
        return false;
    }
    for (std::size_t r = 0; r < options.bold.size(); ++r) {
        RunRequest run;
        run.path = options.bold[r];
        if (!options.events.empty()) run.events = options.events[r];
        request.runs.push_back(std::move(run));
    }
    for (const std::string& text : options.seeds) {
        request.seeds.emplace_back();
        if (!parseSeedText(text, request.seeds.back(), problem)) return false;
    }
    if (!options.mask.empty()) request.brainMasks.push_back(options.mask);
    request.conditions = options.conditions;
    request.skip = options.skip;
    // Without --skip the volumes before the steady state are found and left out.
    request.detectNonSteadyState = map.count("--skip") == 0;
    request.shift = options.shift;
    request.tr = options.tr;
    request.trSource = "--tr";
    request.statistics = options.statistics;
    request.threads = options.threads;
    request.outputFolder = options.out;
    return readMemoryBudget(options.memoryBudget, request.budgets, problem);
}

int performMap(const MapOptions& options, const CLI::App& map, const std::string& commandLine, std::ostream& out,
               std::ostream& err) {
    AnalysisRequest request;
    std::string problem;
    if (!mapRequest(options, map, request, problem)) {
        err << "ldi: " << problem << std::endl;
        return EXIT_USAGE;
    }
    // The random numbers: pinned to the given seed, or to the clock's value,
    // which is printed so that the run can be repeated.
    request.rngSeed = options.rngSeed >= 0 ? options.rngSeed : static_cast<int64_t>(std::time(nullptr));
    request.command = commandLine;
    if (!options.quiet) request.progress = [&err](const std::string& line) { err << "ldi: " << line << std::endl; };
    AnalysisResults results;
    HtmlReport report(ReportContext{commandLine});
    runAnalysis(request, AnalysisOutputs{seedFileWriter(options.out), &report}, results);
    for (const std::string& warning : results.warnings) err << "ldi: warning: " << warning << std::endl;
    if (results.status != AnalysisStatus::done) {
        err << "ldi: " << results.problem << std::endl;
        return results.status == AnalysisStatus::badInput ? EXIT_USAGE : EXIT_RUN_FAILED;
    }
    if (options.rngSeed < 0)
        err << "ldi: rng seed " << request.rngSeed << " (repeat the run with --rng-seed " << request.rngSeed << ")"
            << std::endl;
    if (request.order.reportOnly) {
        out << results.orderTable << std::flush;
        return EXIT_RUN_SUCCEEDED;
    }
    const std::size_t seeds = request.seeds.size(), conditions = results.conditionNames.size();
    if (!options.quiet)
        out << "ldi map: " << seeds << (seeds == 1 ? " seed, " : " seeds, ") << conditions
            << (conditions == 1 ? " condition, " : " conditions, ") << results.analysedCount
            << " voxels analysed; results and " << reportFileName(results.record.entityPrefix) << " in " << options.out
            << std::endl;
    return EXIT_RUN_SUCCEEDED;
}

const char MAP_FOOTER[] =
    "Seeds: NAME=MASK.nii.gz (the mask's nonzero voxels, on the bold's grid) or NAME=X,Y,Z,R\n"
    "(a sphere of R mm around world coordinates in mm). Without --mask, every voxel whose time\n"
    "course is finite and not constant is analysed. Without --events each run after --skip is one\n"
    "interval of one condition named after the task- entity.\n"
    "\n"
    "Examples:\n"
    "  ldi map --bold sub-01_task-rest_bold.nii.gz --seed PCC=0,-52,26,6 --out derivatives/ldi\n"
    "  ldi map --bold sub-01_task-motor_run-1_bold.nii.gz --bold sub-01_task-motor_run-2_bold.nii.gz \\\n"
    "          --events sub-01_task-motor_run-1_events.tsv --events sub-01_task-motor_run-2_events.tsv \\\n"
    "          --condition left --seed M1=m1_mask.nii.gz --mask brain.nii.gz --rng-seed 7 --out ldi\n";

}  // namespace

Command addMapCommand(CLI::App& ldi) {
    auto options = std::make_shared<MapOptions>();
    CLI::App* map = ldi.add_subcommand("map", "compute LDI maps from NIfTI runs, seeds and BIDS events");
    map->add_option("--bold", options->bold, "a 4D NIfTI run (.nii or .nii.gz); repeat for several runs")
        ->type_name("RUN")
        ->required();
    map->add_option("--seed", options->seeds, "NAME=MASK.nii.gz or NAME=X,Y,Z,R (repeatable)")
        ->type_name("NAME=MASK|X,Y,Z,R")
        ->required();
    map->add_option("--mask", options->mask, "the voxels to analyse (3D, on the bold's grid)")->type_name("BRAIN");
    map->add_option("--events", options->events, "a BIDS events.tsv per --bold, in the same order")
        ->type_name("EVENTS");
    map->add_option("--condition", options->conditions, "a trial_type to map (repeatable; default all)")
        ->type_name("NAME");
    map->add_option("--shift", options->shift, "seconds added to every volume's acquisition time")
        ->type_name("SECONDS");
    map->add_option("--tr", options->tr, "repetition time in seconds (overrides sidecar and header)")
        ->type_name("SECONDS");
    map->add_option("--skip", options->skip, "volumes left out at the start of every run")
        ->type_name("N");
    addOrderOption(*map, options->order);
    map->add_flag("--order-report", options->orderReport,
                  "print the AIC and BIC of every order up to --order auto:MAX and stop (no maps)");
    map->add_option("--surrogates", options->surrogates, "surrogate reference time courses (settings default)")
        ->type_name("N");
    map->add_option("--q", options->q, "FDR q values, comma-separated (settings default 0.01,0.05,0.1)")
        ->type_name("Q,...");
    map->add_option("--settings", options->settings, "an LDIPlugin.ini with further analysis parameters")
        ->type_name("FILE");
    map->add_option("--rng-seed", options->rngSeed, "seed of the surrogates (default: the clock, printed)")
        ->type_name("N")
        ->check(CLI::Range(0LL, static_cast<long long>(INT64_MAX)));
    map->add_option("--threads", options->threads, "threads of the computation (at most the cores available)")
        ->type_name("N");
    addMemoryBudgetOption(*map, options->memoryBudget);
    addStatisticsOptions(*map, options->statistics);
    map->add_option("--out", options->out, "output folder (BIDS derivatives; not needed with --order-report)")
        ->type_name("DIR");
    map->add_flag("--quiet", options->quiet, "no progress on standard error, no summary on standard output");
    map->footer(MAP_FOOTER);
    return Command{map, [map, options](const CommandStreams& streams) {
                       return performMap(*options, *map, streams.commandLine, streams.out, streams.err);
                   }};
}

}  // namespace ldi
