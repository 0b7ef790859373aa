#include "host/demo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "host/commands.h"
#include "host/host_state.h"
#include "host/montage.h"

namespace ldi_host {

namespace {

namespace fs = std::filesystem;

constexpr double DEMO_Q = 0.05;
const char BACKGROUND[] = "Background";

bool findMapNamed(const LdiFile& maps, const std::string& name, std::size_t& index) {
    for (std::size_t m = 0; m < maps.maps.size(); ++m)
        if (maps.maps[m].name == name) {
            index = m;
            return true;
        }
    return false;
}

std::string percent(double share) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%5.1f%%", share * 100.0);
    return buffer;
}

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

bool scoreGroundTruth(const GroundTruth& truth, const LdiFile& maps, double q, std::vector<RegionScore>& scores,
                      std::string& problem) {
    scores.clear();
    const LdiGeometry& g = maps.geometry;
    if (g.dimX != truth.dimX || g.dimY != truth.dimY || g.dimZ != truth.dimZ) {
        problem = "the maps' grid (" + std::to_string(g.dimX) + " x " + std::to_string(g.dimY) + " x " +
                  std::to_string(g.dimZ) + ") is not the ground truth's (" + std::to_string(truth.dimX) + " x " +
                  std::to_string(truth.dimY) + " x " + std::to_string(truth.dimZ) + ")";
        return false;
    }
    auto score = [&](const std::string& region, char letter, const std::string& condition,
                     const std::string& kind, bool planted) {
        RegionScore s;
        s.region = region;
        s.condition = condition;
        s.mapName = condition + ": " + kind;
        s.planted = planted;
        std::size_t index = 0;
        if (!findMapNamed(maps, s.mapName, index)) {
            problem = "the results hold no map \"" + s.mapName + "\"";
            return false;
        }
        MapDisplay display;
        std::string notice;
        if (!chooseDisplay(maps, index, true, q, display, problem, notice)) return false;
        const std::vector<float>& voxels = maps.maps[index].voxels;
        for (std::size_t v = 0; v < truth.grid.size() && v < voxels.size(); ++v) {
            if (truth.grid[v] != letter) continue;
            ++s.voxels;
            if (isShown(display, voxels[v])) ++s.passing;
        }
        scores.push_back(s);
        return true;
    };
    for (const TruthCondition& condition : truth.conditions) {
        for (const TruthRegion& region : truth.regions) {
            const bool planted = std::find(region.plantedIn.begin(), region.plantedIn.end(), condition.name) !=
                                 region.plantedIn.end();
            if (!score(region.name, region.letter, condition.name, region.mapKind, planted)) return false;
        }
        std::vector<std::string> kinds;
        for (const TruthRegion& region : truth.regions)
            if (std::find(kinds.begin(), kinds.end(), region.mapKind) == kinds.end()) kinds.push_back(region.mapKind);
        for (const std::string& kind : kinds)
            if (!score(BACKGROUND, TRUTH_BACKGROUND, condition.name, kind, false)) return false;
    }
    return true;
}

std::vector<std::string> demoFailures(const std::vector<RegionScore>& scores) {
    std::vector<std::string> failures;
    for (const RegionScore& s : scores) {
        if (s.planted && s.share() < FOUND_SHARE)
            failures.push_back("the " + s.region + " region's effect was not found on \"" + s.mapName + "\": only " +
                               std::to_string(s.passing) + " of its " + std::to_string(s.voxels) +
                               " voxels pass (at least half should)");
        if (s.region == BACKGROUND && s.share() > BACKGROUND_SHARE_LIMIT)
            failures.push_back("too many background voxels pass on \"" + s.mapName + "\": " +
                               std::to_string(s.passing) + " of " + std::to_string(s.voxels) + " (" +
                               percent(s.share()) + "; at most " + percent(BACKGROUND_SHARE_LIMIT) + " expected)");
    }
    return failures;
}

int performDemo(const DemoOptions& options, std::istream& in, std::ostream& out, std::ostream& err) {
    SimulationResult simulated;
    std::string problem;
    if (!simulateDataSet(options.folder, SimulationPreset::Small, options.seed, simulated, problem)) {
        err << "ldi: " << problem << std::endl;
        return EXIT_RUN_FAILED;
    }
    const GroundTruth& truth = simulated.truth;
    const fs::path root = fs::path(simulated.files.front()).parent_path();
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

    std::string content;
    if (!readWholeFile(ldiPath, content, problem, UINTMAX_MAX)) {
        err << "ldi: " << problem << std::endl;
        return EXIT_RUN_FAILED;
    }
    Parsed<LdiFile> parsed = decodeLdi(content);
    if (!parsed.ok) {
        err << "ldi: " << ldiPath << ": " << parsed.message << std::endl;
        return EXIT_RUN_FAILED;
    }
    const LdiFile& maps = parsed.value;

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
    auto endRow = [&out](std::string row) {
        row.erase(row.find_last_not_of(' ') + 1);
        out << row << "\n";
    };
    std::string header = padded("region", 13) + padded("voxels", 8) + padded("map", 9);
    for (const TruthCondition& condition : truth.conditions) header += padded(condition.name, 11);
    endRow(header);
    // One row per region (and per map kind for the background), one column per condition.
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
                row += padded(percent(s.share()) + (s.planted ? " *" : "  "), 11);
            }
        endRow(row);
    }
    const std::vector<std::string> failures = demoFailures(scores);
    if (failures.empty()) {
        out << "\nEvery planted effect was found (in at least " << FOUND_SHARE * 100.0
            << " % of its voxels), and at most " << BACKGROUND_SHARE_LIMIT * 100.0
            << " % of the background passes on any map.\n";
        return EXIT_RUN_SUCCEEDED;
    }
    out << "\n";
    for (const std::string& failure : failures) err << "ldi: " << failure << std::endl;
    return EXIT_RUN_FAILED;
}

}  // namespace ldi_host
