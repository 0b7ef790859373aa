#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

#include "commands/command.h"
#include "simulation/simulate.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

struct SimulateOptions {
    std::string folder;
    std::string preset = "small";
    uint32_t seed = 1;
    std::string format = "vtc";
    std::string bids;
    int subjects = 6;
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

#if !defined(_WIN32)
// `--format nifti|both`: the NIfTI form of the same data set (with `both`
// beside the VTC set) and how to analyse it with ldi map.
int performSimulateNifti(const SimulateOptions& options, SimulationPreset preset, std::ostream& out,
                         std::ostream& err) {
    if (options.format == "both") {
        std::ostringstream vtcListing;
        const int status = performSimulate(options.folder, preset, options.seed, vtcListing, err);
        if (status != 0) return status;
        out << vtcListing.str();
    }
    SimulationResult result;
    std::string problem;
    if (!simulateNiftiDataSet(options.folder, preset, options.seed, result, problem)) {
        err << "ldi: " << problem << std::endl;
        return 1;
    }
    const fs::path root = fs::absolute(options.folder).lexically_normal();
    auto file = [&](const std::string& name) { return (root / name).string(); };
    const PresetSpec shape = specOf(preset);
    out << "Simulated data set as NIfTI (preset " << presetName(preset) << ", seed " << options.seed << ") in "
        << root.string() << ":\n"
        << "  " << simulatedNiftiFile("bold.nii.gz") << "  " << shape.dimX << " x " << shape.dimY << " x "
        << shape.dimZ << " voxels of " << shape.resolution << " mm, " << shape.numVolumes
        << " volumes, float32 (the VTC's values)\n"
        << "  " << simulatedNiftiFile("bold.json") << "     its repetition time\n"
        << "  " << simulatedNiftiFile("events.tsv") << "    the conditions Task and Rest\n"
        << "  " << SIM_SEED_MASK_FILE << "                         the reference region\n"
        << "  " << SIM_TRUTH_FILE << "                             which voxels carry which effect\n"
        << "Run the analysis with:\n"
        << "  ldi map --bold " << file(simulatedNiftiFile("bold.nii.gz")) << " \\\n"
        << "          --events " << file(simulatedNiftiFile("events.tsv")) << " \\\n"
        << "          --seed Reference=" << file(SIM_SEED_MASK_FILE) << " --out " << file("results-map") << "\n";
    return 0;
}

// `--bids DIR --subjects N`: the multi-subject dataset and how to analyse it.
int performSimulateBids(const SimulateOptions& options, SimulationPreset preset, std::ostream& out,
                        std::ostream& err) {
    SimulationResult result;
    std::string problem;
    if (!simulateBidsDataSet(options.bids, preset, options.seed, options.subjects, result, problem)) {
        err << "ldi: " << problem << std::endl;
        return 1;
    }
    const fs::path root = fs::absolute(options.bids).lexically_normal();
    const std::string r = root.string();
    out << "Simulated BIDS dataset of " << options.subjects << " subject" << (options.subjects == 1 ? "" : "s")
        << " (preset " << presetName(preset) << ", seed " << options.seed << ") in " << r << ":\n"
        << "  sub-*/func/                 raw runs (task " << SIM_NIFTI_TASK
        << "; repetition time and events inherited from the top folder)\n"
        << "  derivatives/fmriprep/       preprocessed runs in " << SIM_BIDS_SPACE
        << ", brain masks, confounds tables\n"
        << "  " << SIM_SEED_MASK_FILE << "       the reference region\n"
        << "  " << SIM_TRUTH_FILE << "           the planted regions; the region 'Confounded' is coupled to the\n"
        << "                              reference only through the motion in the confounds\n"
        << "Analyse it with:\n"
        << "  ldi bids " << r << " " << r << "/derivatives/ldi participant --derivatives " << r
        << "/derivatives/fmriprep \\\n"
        << "           --seed Reference=" << r << "/" << SIM_SEED_MASK_FILE
        << " --confounds 'trans_?' 'rot_?' --rng-seed 1\n"
        << "  ldi bids " << r << " " << r << "/derivatives/ldi group --rng-seed 1\n";
    return 0;
}
#endif

}  // namespace

Command addSimulateCommand(CLI::App& ldi) {
    auto options = std::make_shared<SimulateOptions>();
    CLI::App* simulate = ldi.add_subcommand("simulate", "write a synthetic data set with a known answer");
    simulate->add_option("DIR", options->folder, "the folder to write into (created when missing)");
    simulate->add_option("--seed", options->seed, "seed of the random numbers (default 1)")->type_name("N");
    simulate->add_option("--preset", options->preset,
                         "small (seconds), realistic (58 x 40 x 46 voxels, 400 volumes) or null (realistic "
                         "without any coupling)")
        ->type_name("small|realistic|null")
        ->check(CLI::IsMember({"small", "realistic", "null"}));
    simulate->add_option("--format", options->format,
                         "vtc (default: the VTC, VOI, protocol and answers for ldi run), nifti (a NIfTI run "
                         "with BIDS events and a seed mask for ldi map) or both")
        ->type_name("vtc|nifti|both")
        ->check(CLI::IsMember({"vtc", "nifti", "both"}));
    simulate->add_option("--bids", options->bids,
                         "instead of DIR: a BIDS dataset of --subjects subjects with fMRIPrep-like derivatives "
                         "and confounds, for ldi bids")
        ->type_name("DIR");
    simulate->add_option("--subjects", options->subjects, "subjects of --bids (default 6)")
        ->type_name("N")
        ->check(CLI::Range(1, SIM_MAX_SUBJECTS));
    simulate->footer("Examples:\n  ldi simulate sim\n  ldi simulate bench --preset realistic --seed 3\n"
                     "  ldi simulate sim --format both\n  ldi simulate --bids study --subjects 24\n");
    return Command{simulate, [options, simulate](const CommandStreams& streams) {
                       SimulationPreset preset = SimulationPreset::Small;
                       parsePreset(options->preset, preset);
                       if (options->bids.empty() == options->folder.empty()) {
                           streams.err << "ldi simulate: give either DIR or --bids DIR" << std::endl;
                           return 2;
                       }
                       if (!options->bids.empty() && options->format != "vtc") {
                           streams.err << "ldi simulate: --format does not apply to --bids (its runs are NIfTI)"
                                       << std::endl;
                           return 2;
                       }
                       if (options->bids.empty() && simulate->count("--subjects") > 0) {
                           streams.err << "ldi simulate: --subjects needs --bids" << std::endl;
                           return 2;
                       }
#if defined(_WIN32)
                       if (!options->bids.empty() || options->format != "vtc") {
                           streams.err << "ldi simulate: this build of ldi writes no NIfTI files" << std::endl;
                           return 2;
                       }
#else
                       if (!options->bids.empty()) return performSimulateBids(*options, preset, streams.out, streams.err);
                       if (options->format != "vtc")
                           return performSimulateNifti(*options, preset, streams.out, streams.err);
#endif
                       return performSimulate(options->folder, preset, options->seed, streams.out, streams.err);
                   }};
}

}  // namespace ldi
