#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

#include "host/command.h"
#include "host/simulate.h"

namespace ldi_host {

namespace {

namespace fs = std::filesystem;

struct SimulateOptions {
    std::string folder;
    std::string preset = "small";
    uint32_t seed = 1;
};

// `ldi simulate DIR [--seed N] [--preset small|realistic]`: writes the set and
// lists the files. 0, or 1 with a message when something could not be written.
int performSimulate(const std::string& folder, SimulationPreset preset, uint32_t seed, std::ostream& out,
                    std::ostream& err) {
    SimulationResult result;
    std::string problem;
    if (!simulateDataSet(folder, preset, seed, result, problem)) {
        err << "ldi: " << problem << std::endl;
        return 1;
    }
    const PresetSpec shape = specOf(preset);
    const GroundTruth& truth = result.truth;
    const fs::path root = fs::path(result.files.front()).parent_path();
    auto file = [&](const char* name) { return (root / name).string(); };
    out << "Simulated data set (preset " << presetName(preset) << ", seed " << seed << ") in " << root.string()
        << ":\n"
        << "  " << SIM_VTC_FILE << "      " << shape.dimX << " x " << shape.dimY << " x " << shape.dimZ
        << " voxels of " << shape.resolution << " mm, " << shape.numVolumes << " volumes, "
        << (shape.floatData ? "float32" : "unsigned 16-bit") << "\n"
        << "  " << SIM_VOI_FILE << "      the reference VOI \"" << SIM_VOI_NAME << "\"\n"
        << "  " << SIM_PROTOCOL_FILE << "       conditions Task and Rest in blocks of " << SIM_BLOCK_VOLUMES
        << " volumes\n"
        << "  " << SIM_ANSWERS_FILE << "        the answers to the plug-in's dialogs for ldi run\n"
        << "  " << SIM_SETTINGS_FILE << "      the settings of that run\n"
        << "  " << SIM_TRUTH_FILE << "  which voxels carry which effect:\n";
    for (const TruthRegion& region : truth.regions)
        out << "    " << region.name << " (" << region.voxelCount << " voxels): " << region.effect << "\n";
    out << "Run the analysis with:\n"
        << "  ldi run --vtc " << file(SIM_VTC_FILE) << " --voi " << file(SIM_VOI_FILE) << " \\\n"
        << "          --plugins-dir " << root.string() << " --answers " << file(SIM_ANSWERS_FILE) << "\n"
        << "It saves its results as " << (root / SIM_RESULTS_FOLDER / SIM_OUTPUT_NAME).string() << "_"
        << SIM_VOI_NAME << ".*\n";
    return 0;
}

}  // namespace

Command addSimulateCommand(CLI::App& ldi) {
    auto options = std::make_shared<SimulateOptions>();
    CLI::App* simulate = ldi.add_subcommand("simulate", "write a synthetic data set with a known answer");
    simulate->add_option("DIR", options->folder, "the folder to write into (created when missing)")->required();
    simulate->add_option("--seed", options->seed, "seed of the random numbers (default 1)")->type_name("N");
    simulate->add_option("--preset", options->preset,
                         "small (seconds), realistic (58 x 40 x 46 voxels, 400 volumes) or null (realistic "
                         "without any coupling)")
        ->type_name("small|realistic|null")
        ->check(CLI::IsMember({"small", "realistic", "null"}));
    simulate->footer("Examples:\n  ldi simulate sim\n  ldi simulate bench --preset realistic --seed 3\n");
    return Command{simulate, [options](const CommandStreams& streams) {
                       SimulationPreset preset = SimulationPreset::Small;
                       parsePreset(options->preset, preset);
                       return performSimulate(options->folder, preset, options->seed, streams.out, streams.err);
                   }};
}

}  // namespace ldi_host
