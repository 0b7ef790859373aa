#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands/command.h"
#include "base/exit_status.h"
#include "pictures/map_sources.h"
#include "pictures/montage.h"
#include "formats/text_util.h"
#include "formats/whole_file.h"

namespace ldi {

namespace {

struct ShowOptions {
    std::string mapPath;
    std::string map;  // index or name; empty: the first map
    bool qGiven = false;
    double q = 0.05;
    bool thresholdGiven = false;
    double threshold = 0.0;
    std::string backgroundPath;  // empty: none
    std::string interpolation = "trilinear";
    std::string zRange;  // FROM:TO in mm, or empty
    MontageOptions montage;
    std::string outPath;  // empty: beside the map
};

bool parseRange(const std::string& text, MontageOptions& montage, std::string& problem) {
    const std::size_t colon = text.find(':');
    char* end = nullptr;
    if (colon != std::string::npos) {
        const std::string from = text.substr(0, colon), to = text.substr(colon + 1);
        montage.zFrom = std::strtod(from.c_str(), &end);
        const bool fromOk = !from.empty() && *end == '\0';
        montage.zTo = std::strtod(to.c_str(), &end);
        if (fromOk && !to.empty() && *end == '\0' && std::isfinite(montage.zFrom) && std::isfinite(montage.zTo)) {
            montage.rangeGiven = true;
            return true;
        }
    }
    problem = "--z-range " + text + ": give two world z values in mm as FROM:TO, for example -20:60";
    return false;
}

// The map to draw and what goes under it. False with a message and the exit status.
bool loadShown(const ShowOptions& options, PlacedSet& placed, std::size_t& index, Underlay& underlay, int& status,
               std::string& problem) {
    status = 1;
    const bool nifti = isNiftiPath(options.mapPath);
    if (!(nifti ? readNiftiMapSet(options.mapPath, placed, problem) : readLdiSet(options.mapPath, placed, problem)))
        return false;
    if (!findMap(placed.set, options.map, index, problem)) {
        problem = options.mapPath + ": " + problem;
        status = EXIT_USAGE;
        return false;
    }
    if (!nifti) placeLdiSet(options.mapPath, index, placed);
    if (options.backgroundPath.empty()) return true;
    if (isNiftiPath(options.backgroundPath)) return readNiftiUnderlay(options.backgroundPath, underlay, problem);
    if (nifti) {
        problem = "--background " + options.backgroundPath + ": a NIfTI map takes a NIfTI underlay (.nii or .nii.gz)";
        status = EXIT_USAGE;
        return false;
    }
    underlay.grid = placed.grid;
    underlay.what = "the mean image of the VTC";
    return readVtcMeanImage(options.backgroundPath, placed.set.geometry, underlay.values, problem);
}

std::string defaultPath(const std::string& mapPath, const LdiMap& map) {
    if (!isNiftiPath(mapPath)) return defaultPicturePath(mapPath, map);
    std::string base = mapPath.substr(0, mapPath.size() - (mapPath.back() == 'z' ? 7 : 4));
    return base + ".png";
}

// `ldi show`: 0 on success, 1 when a file cannot be read or written, 2 for a
// choice that does not fit the file (no such map or q level).
int performShow(ShowOptions options, std::ostream& out, std::ostream& err) {
    std::string problem;
    if (!options.outPath.empty() && !checkFolderForWriting(options.outPath, problem)) {
        err << "ldi: cannot write the picture " << options.outPath << ": " << problem << std::endl;
        return 1;
    }
    if (!options.zRange.empty() && !parseRange(options.zRange, options.montage, problem)) {
        err << "ldi: " << problem << std::endl;
        return EXIT_USAGE;
    }
    options.montage.trilinear = options.interpolation == "trilinear";
    PlacedSet placed;
    std::size_t index = 0;
    Underlay underlay;
    int status = 1;
    if (!loadShown(options, placed, index, underlay, status, problem)) {
        err << "ldi: " << problem << std::endl;
        return status;
    }
    const LdiMap& map = placed.set.maps[index];
    MapDisplay display;
    std::string notice;
    if (options.thresholdGiven) {
        fixedDisplay(map, static_cast<float>(options.threshold), "threshold", display);
    } else if (placed.set.levelLabels.empty() && !mapHasNoFdrThresholds(map)) {
        fixedDisplay(map, 0.0f, "no FDR thresholds: every nonzero value, threshold", display);
        if (options.qGiven) notice = "the map " + quoteText(map.name) + " has no FDR thresholds; --q does not apply";
    } else if (!chooseDisplay(placed.set, index, options.qGiven, options.q, display, problem, notice)) {
        err << "ldi: " << options.mapPath << ": " << problem << std::endl;
        return EXIT_USAGE;
    }
    if (!notice.empty()) err << "ldi: " << notice << std::endl;
    const std::string path = options.outPath.empty() ? defaultPath(options.mapPath, map) : options.outPath;
    PictureSession session;
    std::string png;
    if (!drawMontage(placed.grid, map, display, underlay.values.empty() ? nullptr : &underlay, options.montage, png,
                     problem) ||
        !writePicture(png, path, problem)) {
        err << "ldi: " << problem << std::endl;
        return problem.rfind("no axial slice", 0) == 0 ? EXIT_USAGE : 1;
    }
    out << "Wrote " << path << ": " << visibleText(display.title) << ", " << voxelsShown(display) << "\n";
    return 0;
}

}  // namespace

Command addShowCommand(CLI::App& ldi) {
    auto options = std::make_shared<ShowOptions>();
    CLI::App* show = ldi.add_subcommand("show", "draw one map (a .ldi set's or a NIfTI map) as a PNG montage of "
                                                "its axial slices in world space");
    show->add_option("FILE", options->mapPath, "the .ldi file or NIfTI map (.nii, .nii.gz)")->required();
    show->add_option("--map", options->map, "the map of a .ldi set, by number (from 0, as ldi info lists them) or by "
                                             "name (default 0)")
        ->type_name("N|NAME");
    CLI::Option* qOption =
        show->add_option("--q", options->q, "the FDR level whose threshold hides weaker values (default 0.05)")
            ->type_name("Q");
    CLI::Option* thresholdOption =
        show->add_option("--threshold", options->threshold, "hide values whose magnitude is below T (instead of --q)")
            ->type_name("T")
            ->check(CLI::NonNegativeNumber);
    show->add_option("--background", options->backgroundPath,
                     "drawn under the map: a NIfTI image (a T1, template, brain mask; a 4D run as its mean) in the "
                     "map's world space, or for a .ldi set the VTC whose mean image is drawn")
        ->type_name("FILE");
    show->add_option("--interpolation", options->interpolation,
                     "how the background is resampled to the map's world grid (default trilinear)")
        ->check(CLI::IsMember({"nearest", "trilinear"}));
    show->add_flag("--radiological", options->montage.radiological,
                   "the head's left on the picture's right (default: neurological, left on the left)");
    show->add_option("--slices", options->montage.sliceCount, "how many axial slices, evenly spaced (default: all, "
                                                                 "up to 64)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000));
    show->add_option("--z-range", options->zRange, "only the slices with world z from FROM to TO mm")
        ->type_name("FROM:TO");
    show->add_option("--out", options->outPath, "the picture (default: FILE without .ldi, _MAP.png; or without .nii.gz, "
                                                 ".png)")
        ->type_name("FILE.png");
    show->footer("Examples:\n  ldi show results/P_Motor.ldi\n"
                 "  ldi show results/P_Motor.ldi --map \"Task: dLDI\" --q 0.01 --background run1.vtc "
                 "--out dldi.png\n"
                 "  ldi show out/sub-01_task-rest_seed-PCC_cond-rest_contrast-dldi_stat-effect_statmap.nii.gz \\\n"
                 "           --background sub-01_T1w.nii.gz --slices 12 --z-range -20:60 --radiological\n");
    return Command{show, [options, qOption, thresholdOption](const CommandStreams& streams) {
                       options->qGiven = qOption->count() > 0;
                       options->thresholdGiven = thresholdOption->count() > 0;
                       return performShow(*options, streams.out, streams.err);
                   }};
}

}  // namespace ldi
