#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands/command.h"
#include "base/exit_status.h"
#include "pictures/montage.h"
#include "formats/result_index.h"
#include "formats/text_util.h"
#include "formats/whole_file.h"

namespace ldi {

namespace {

struct ShowOptions {
    std::string ldiPath;
    std::string map;  // index or name; empty: the first map
    bool qGiven = false;
    double q = 0.05;
    std::string backgroundPath;  // empty: none
    std::string outPath;         // empty: defaultPicturePath
};

// `ldi show`: 0 on success, 1 when a file cannot be read or written, 2 for a
// choice that does not fit the file (no such map or q level).
int performShow(const ShowOptions& options, std::ostream& out, std::ostream& err) {
    std::string content;
    std::string problem;
    if (!options.outPath.empty() && !checkFolderForWriting(options.outPath, problem)) {
        err << "ldi: cannot write the picture " << options.outPath << ": " << problem << std::endl;
        return 1;
    }
    if (!readWholeFile(options.ldiPath, content, problem, UINTMAX_MAX)) {
        err << "ldi: " << problem << std::endl;
        return 1;
    }
    Parsed<LdiFile> parsed = decodeLdi(content);
    if (!parsed.ok) {
        err << "ldi: " << options.ldiPath << ": " << parsed.message << std::endl;
        return 1;
    }
    LdiFile& file = parsed.value;
    // The JSON index of the same save knows how many voxels pass; the .ldi
    // alone cannot tell "only the top voxel" from "none" at the largest value.
    {
        std::string base = options.ldiPath;
        if (base.size() > 4 && base.compare(base.size() - 4, 4, ".ldi") == 0) base.resize(base.size() - 4);
        std::string index;
        std::string ignored;
        if (readWholeFile(base + ".json", index, ignored)) passingFromIndex(index, file);
    }
    std::size_t index = 0;
    if (!findMap(file, options.map, index, problem)) {
        err << "ldi: " << options.ldiPath << ": " << problem << std::endl;
        return EXIT_USAGE;
    }
    MapDisplay display;
    std::string notice;
    if (!chooseDisplay(file, index, options.qGiven, options.q, display, problem, notice)) {
        err << "ldi: " << options.ldiPath << ": " << problem << std::endl;
        return EXIT_USAGE;
    }
    if (!notice.empty()) err << "ldi: " << notice << std::endl;
    std::vector<float> background;
    if (!options.backgroundPath.empty() &&
        !readVtcMeanImage(options.backgroundPath, file.geometry, background, problem)) {
        err << "ldi: " << problem << std::endl;
        return 1;
    }
    const std::string path = options.outPath.empty() ? defaultPicturePath(options.ldiPath, file.maps[index])
                                                     : options.outPath;
    PictureSession session;
    if (!writeMontage(file, index, display, background, path, problem)) {
        err << "ldi: " << problem << std::endl;
        return 1;
    }
    out << "Wrote " << path << ": " << visibleText(display.title) << ", " << voxelsShown(display) << "\n";
    return 0;
}

}  // namespace

Command addShowCommand(CLI::App& ldi) {
    auto options = std::make_shared<ShowOptions>();
    CLI::App* show = ldi.add_subcommand("show", "draw one map of a .ldi file as a PNG montage of its slices");
    show->add_option("FILE", options->ldiPath, "the .ldi file")->required();
    show->add_option("--map", options->map, "the map, by number (from 0, as ldi info lists them) or by name "
                                             "(default 0)")
        ->type_name("N|NAME");
    CLI::Option* qOption =
        show->add_option("--q", options->q, "the FDR level whose threshold hides weaker values (default 0.05)")
            ->type_name("Q");
    show->add_option("--background", options->backgroundPath, "VTC whose mean image is drawn under the map")
        ->type_name("FILE.vtc");
    show->add_option("--out", options->outPath, "the picture (default: FILE without .ldi, _MAP.png)")
        ->type_name("FILE.png");
    show->footer("Examples:\n  ldi show results/P_Motor.ldi\n"
                 "  ldi show results/P_Motor.ldi --map \"Task: dLDI\" --q 0.01 --background run1.vtc "
                 "--out dldi.png\n");
    return Command{show, [options, qOption](const CommandStreams& streams) {
                       options->qGiven = qOption->count() > 0;
                       return performShow(*options, streams.out, streams.err);
                   }};
}

}  // namespace ldi
