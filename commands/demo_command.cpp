#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands/command.h"
#include "simulation/demo.h"
#include "base/exit_status.h"
#include "analysis/analysis.h"
#include "analysis/parameters.h"
#include "pictures/montage.h"
#include "formats/ldi_file.h"
#include "host/plugin_run.h"
#include "simulation/simulate.h"
#include "formats/whole_file.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

constexpr double DEMO_Q = 0.05;

struct DemoOptions {
    std::string folder = "ldi-demo";
    uint32_t seed = 1;
    std::string pluginPath;  // empty: the plug-in beside ldi
    int threads = 0;         // 0: the plug-in's own choice
};

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// One row per region (and per map kind for the background), one column per
// condition, * where the effect is planted.
void printScoreTable(const GroundTruth& truth, const std::vector<RegionScore>& scores, std::ostream& out) {
    auto endRow = [&out](std::string row) {
        row.erase(row.find_last_not_of(' ') + 1);
        out << row << "\n";
    };
    std::string header = padded("region", 13) + padded("voxels", 8) + padded("map", 9);
    for (const TruthCondition& condition : truth.conditions) header += padded(condition.name, 11);
    endRow(header);
    std::vector<std::pair<std::string, std::string>> rows;
    for (const RegionScore& s : scores) {
        const std::string kind = s.mapName.substr(s.condition.size() + 2);
        if (std::find(rows.begin(), rows.end(), std::make_pair(s.region, kind)) == rows.end())
            rows.emplace_back(s.region, kind);
    }
    for (const auto& [region, kind] : rows) {
        std::string row;
        for (const TruthCondition& condition : truth.conditions)
            for (const RegionScore& s : scores) {
                if (s.region != region || s.condition != condition.name || s.mapName != condition.name + ": " + kind)
                    continue;
                if (row.empty()) row = padded(region, 13) + padded(std::to_string(s.voxels), 8) + padded(kind, 9);
                row += padded(sharePercent(s.share()) + (s.planted ? " *" : "  "), 11);
            }
        endRow(row);
    }
}

bool readMapSet(const std::string& path, LdiFile& maps, std::ostream& err) {
    std::string content, problem;
    if (!readWholeFile(path, content, problem, UINTMAX_MAX)) {
        err << "ldi: " << problem << std::endl;
        return false;
    }
    Parsed<LdiFile> parsed = decodeLdi(content);
    if (!parsed.ok) {
        err << "ldi: " << path << ": " << parsed.message << std::endl;
        return false;
    }
    maps = std::move(parsed.value);
    return true;
}

// The same analysis through ldi map, on the NIfTI form of the data set: the
// run, its events and the reference region as a seed mask, with the demo's
// seed for the surrogates so that the summary repeats. Scored as the
// plug-in's run; false when a step fails or an effect is missed.
bool demoThroughMap(const DemoOptions& options, const fs::path& root, const GroundTruth& truth,
                    std::ostream& out, std::ostream& err) {
    const fs::path results = root / "results-map";
    AnalysisRequest request;
    std::string problem;
    RunRequest run;
    run.path = (root / simulatedNiftiFile("bold.nii.gz")).string();
    run.events = (root / simulatedNiftiFile("events.tsv")).string();
    request.runs.push_back(run);
    request.seeds.emplace_back();
    request.seeds.back().name = SIM_VOI_NAME;
    request.seeds.back().maskPath = (root / SIM_SEED_MASK_FILE).string();
    request.rngSeed = options.seed;
    request.threads = options.threads;
    request.outputFolder = results.string();
    // The simulation is in its steady state from the first volume, and the
    // plug-in's run beside it analyses every volume: so does this one.
    request.skipSource = "option";
    request.detectNonSteadyState = false;
    AnalysisResults outcome;
    const auto started = std::chrono::steady_clock::now();
    if (readAnalysisParameters(ParameterOptions(), request.parameters, request.order, problem))
        runAnalysis(request, seedFileWriter(request.outputFolder), outcome);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!problem.empty() || outcome.status != AnalysisStatus::done) {
        err << "ldi: " << (problem.empty() ? outcome.problem : problem) << "\n"
            << "ldi: the analysis of the NIfTI data set through ldi map failed" << std::endl;
        return false;
    }
    const std::string ldiPath =
        (results / (std::string(SIM_NIFTI_SUBJECT) + "_task-" + SIM_NIFTI_TASK + "_seed-" + SIM_VOI_NAME + ".ldi"))
            .string();
    char timing[32];
    std::snprintf(timing, sizeof timing, "%.1f s", seconds);
    out << "\nThe same analysis through ldi map, from NIfTI and BIDS files (" << simulatedNiftiFile("bold.nii.gz")
        << ",\nits events.tsv and the seed mask " << SIM_SEED_MASK_FILE << "; surrogates from --rng-seed "
        << options.seed << "), " << timing << "\n"
        << "Results:  " << ldiPath << " (with a .nii.gz and a .json per map)\n\n";
    LdiFile maps;
    if (!readMapSet(ldiPath, maps, err)) return false;
    std::vector<RegionScore> scores;
    if (!scoreGroundTruth(truth, maps, DEMO_Q, scores, problem)) {
        err << "ldi: " << problem << std::endl;
        return false;
    }
    out << "Ground truth at q = " << DEMO_Q << " on the maps of ldi map\n";
    printScoreTable(truth, scores, out);
    const std::vector<std::string> failures = demoFailures(scores);
    if (failures.empty()) {
        out << "\nldi map finds every planted effect too, and at most " << BACKGROUND_SHARE_LIMIT * 100.0
            << " % of the background passes on any map.\n";
        return true;
    }
    for (const std::string& failure : failures) err << "ldi: ldi map: " << failure << std::endl;
    return false;
}

// Simulates the small set into the folder (VTC and NIfTI), runs it through the
// plug-in with its answers file, draws one picture per map and prints the
// summary; then the same analysis through ldi map. 0 when
// every planted effect is found, 1 otherwise or when a step fails, 2 for a
// plug-in that cannot be started.
int performDemo(const DemoOptions& options, std::istream& in, std::ostream& out, std::ostream& err) {
    SimulationResult simulated;
    std::string problem;
    if (!simulateDataSet(options.folder, SimulationPreset::Small, options.seed, simulated, problem)) {
        err << "ldi: " << problem << std::endl;
        return EXIT_RUN_FAILED;
    }
    const GroundTruth& truth = simulated.truth;
    const fs::path root = fs::path(simulated.files.front()).parent_path();
    SimulationResult nifti;
    if (!simulateNiftiDataSet(root.string(), SimulationPreset::Small, options.seed, nifti, problem)) {
        err << "ldi: " << problem << std::endl;
        return EXIT_RUN_FAILED;
    }
    const fs::path results = root / SIM_RESULTS_FOLDER;
    const fs::path pictures = root / "pictures";
    out << "LDI demo: simulated data set (preset small, seed " << options.seed << ") in " << root.string() << "\n";
    out.flush();

    // The analysis, exactly as `ldi run --answers` does it; the log pane goes
    // to a file so that the summary stays readable.
    const std::string logPanePath = (results / "log-pane.txt").string();
    std::ofstream logPane(logPanePath, std::ios::binary | std::ios::trunc);
    if (!logPane) {
        err << "ldi: cannot write " << logPanePath << std::endl;
        return EXIT_RUN_FAILED;
    }
    RunOptions run;
    run.vtcPath = (root / SIM_VTC_FILE).string();
    run.voiPath = (root / SIM_VOI_FILE).string();
    run.pluginPath = options.pluginPath;
    run.pluginsDir = root.string();
    run.answersPath = (root / SIM_ANSWERS_FILE).string();
    run.threads = options.threads;
    const auto started = std::chrono::steady_clock::now();
    const int status = performRun(run, in, false, logPane, err);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    logPane.close();
    if (status != EXIT_RUN_SUCCEEDED) {
        err << "ldi: the analysis of the simulated data set failed; its log pane is in " << logPanePath << std::endl;
        return status;
    }
    char timing[32];
    std::snprintf(timing, sizeof timing, "%.1f s", seconds);
    const std::string ldiPath = (results / (std::string(SIM_OUTPUT_NAME) + "_" + SIM_VOI_NAME + ".ldi")).string();
    out << "Analysis: ldi run with " << SIM_ANSWERS_FILE << ", " << timing << " (log pane: " << logPanePath << ")\n"
        << "Results:  " << ldiPath << " (with .json, .log and one .nii.gz per map)\n";

    LdiFile maps;
    if (!readMapSet(ldiPath, maps, err)) return EXIT_RUN_FAILED;

    // One picture per map, over the mean image of the simulated VTC.
    std::vector<float> background;
    if (!readVtcMeanImage(run.vtcPath, maps.geometry, background, problem)) {
        err << "ldi: " << problem << std::endl;
        return EXIT_RUN_FAILED;
    }
    std::error_code error;
    fs::create_directories(pictures, error);
    if (error) {
        err << "ldi: cannot create the folder " << pictures.string() << ": " << error.message() << std::endl;
        return EXIT_RUN_FAILED;
    }
    std::string example;
    PictureSession session;
    for (std::size_t m = 0; m < maps.maps.size(); ++m) {
        MapDisplay display;
        std::string notice;
        if (!chooseDisplay(maps, m, false, DEMO_Q, display, problem, notice)) {
            err << "ldi: " << ldiPath << ": " << problem << std::endl;
            return EXIT_RUN_FAILED;
        }
        const std::string path = (pictures / (fileLabel(maps.maps[m].name) + ".png")).string();
        if (!writeMontage(maps, m, display, background, path, problem)) {
            err << "ldi: " << problem << std::endl;
            return EXIT_RUN_FAILED;
        }
        if (maps.maps[m].name == "Task: dLDI" || example.empty()) example = path;
    }
    out << "Pictures: " << pictures.string() << "/ (" << maps.maps.size() << " montages at q = " << DEMO_Q
        << ", for example " << example << ")\n\n";

    std::vector<RegionScore> scores;
    if (!scoreGroundTruth(truth, maps, DEMO_Q, scores, problem)) {
        err << "ldi: " << problem << std::endl;
        return EXIT_RUN_FAILED;
    }
    out << "Ground truth at q = " << DEMO_Q << ": share of each region's voxels passing the FDR threshold\n"
        << "of the map that should show it (* where the effect is planted)\n";
    printScoreTable(truth, scores, out);
    const std::vector<std::string> failures = demoFailures(scores);
    if (failures.empty()) {
        out << "\nEvery planted effect was found (in at least " << FOUND_SHARE * 100.0
            << " % of its voxels), and at most " << BACKGROUND_SHARE_LIMIT * 100.0
            << " % of the background passes on any map.\n";
    } else {
        out << "\n";
        for (const std::string& failure : failures) err << "ldi: " << failure << std::endl;
    }
    const bool mapFound = demoThroughMap(options, root, truth, out, err);
    return failures.empty() && mapFound ? EXIT_RUN_SUCCEEDED : EXIT_RUN_FAILED;
}

}  // namespace

Command addDemoCommand(CLI::App& ldi) {
    auto options = std::make_shared<DemoOptions>();
    CLI::App* demo = ldi.add_subcommand("demo", "simulate a data set, analyse it through the plug-in, draw the "
                                                "maps and check them against the known answer");
    demo->add_option("DIR", options->folder, "the folder to work in (default ldi-demo)");
    demo->add_option("--seed", options->seed, "seed of the simulated data (default 1)")->type_name("N");
    demo->add_option("--plugin", options->pluginPath, "plug-in library to load (default: beside ldi)")
        ->type_name("FILE");
    demo->add_option("--threads", options->threads, "threads of the computation (as for ldi run)")
        ->type_name("N")
        ->check(CLI::Range(1, 4096));
    demo->footer("It writes into DIR: the simulated data set (as ldi simulate --format both), the\n"
                 "results of one ldi run on it in DIR/results/ and a picture of each map in\n"
                 "DIR/pictures/, then prints how much of each planted effect the maps found; then\n"
                 "the same for ldi map on the NIfTI run, its events and the seed mask, in\n"
                 "DIR/results-map/.\n"
                 "\n"
                 "Examples:\n"
                 "  ldi demo\n"
                 "  ldi demo build/demo --seed 7 --threads 2\n"
                 "\n"
                 "Exit status: 0 every planted effect was found, 1 the run failed or an effect was\n"
                 "missed, 2 usage error or a plug-in that could not be loaded or started.\n");
    return Command{demo, [options](const CommandStreams& streams) {
                       return performDemo(*options, streams.in, streams.out, streams.err);
                   }};
}

}  // namespace ldi
