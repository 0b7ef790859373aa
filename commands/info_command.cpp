#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "data/vtc_file.h"
#include "commands/command.h"
#include "base/exit_status.h"
#if !defined(_WIN32)
#include "formats/nifti_image.h"
#endif
#include "formats/ldi_file.h"
#include "formats/text_util.h"
#include "formats/whole_file.h"

namespace ldi {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

bool endsWithIgnoringCase(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           equalsIgnoringCase(std::string_view(text).substr(text.size() - suffix.size()), suffix);
}

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

int vtcInfo(const std::string& path, std::ostream& out, std::ostream& err) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::is_directory(path, error)) {
        err << "ldi: " << path << " is a folder, not a VTC file" << std::endl;
        return 1;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        err << "ldi: cannot open " << path << ": " << std::strerror(errno) << std::endl;
        return 1;
    }
    unsigned char versionBytes[2] = {0, 0};
    const bool hasVersion = std::fread(versionBytes, 1, 2, file.get()) == 2;
    const int version = static_cast<int16_t>(versionBytes[0] | (versionBytes[1] << 8));
    std::rewind(file.get());
    VtcHeader header;
    if (!readVtcHeader(file.get(), header)) {
        err << "ldi: " << path << ": not a readable VTC file";
        if (hasVersion) err << " (version field " << version << "; versions 2 and later are read)";
        err << std::endl;
        return 1;
    }
    const int64_t dimX = vtcDimX(header);
    const int64_t dimY = vtcDimY(header);
    const int64_t dimZ = vtcDimZ(header);
    const int64_t expected =
        header.dataOffset + dimX * dimY * dimZ * header.numVolumes * vtcElementSize(header);
    const auto actual = static_cast<int64_t>(fs::file_size(path, error));
    out << "VTC file:          " << path << "\n"
        << "version:           " << version << "\n"
        << "source file:       " << header.sourceName << "\n"
        << "linked protocol:   " << header.protocolName << "\n"
        << "data type:         " << header.dataType
        << (header.dataType == VTC_DATA_TYPE_FLOAT ? " (float32)" : " (unsigned 16-bit)") << "\n"
        << "volumes:           " << header.numVolumes << "\n"
        << "TR:                " << header.tr << " ms\n"
        << "box:               x " << header.xStart << ".." << header.xEnd << ", y " << header.yStart
        << ".." << header.yEnd << ", z " << header.zStart << ".." << header.zEnd << "\n"
        << "resolution:        " << header.resolution << "\n"
        << "grid:              " << dimX << " x " << dimY << " x " << dimZ << " voxels\n"
        << "data offset:       " << header.dataOffset << " bytes\n"
        << "expected size:     " << expected << " bytes\n"
        << "file size:         " << actual << " bytes";
    if (error) {
        out << "\n";
        err << "ldi: cannot find the size of " << path << std::endl;
        return 1;
    }
    if (actual == expected) {
        out << " (as expected)\n";
        return 0;
    }
    if (actual < expected) {
        out << " (" << (expected - actual) << " bytes short: the file is incomplete)\n";
        return 1;
    }
    out << " (" << (actual - expected) << " bytes more than the data needs)\n";
    return 0;
}

int ldiInfo(const std::string& path, std::ostream& out, std::ostream& err) {
    std::string content;
    std::string problem;
    if (!readWholeFile(path, content, problem, UINTMAX_MAX)) {
        err << "ldi: " << problem << std::endl;
        return 1;
    }
    Parsed<LdiFile> parsed = decodeLdi(content);
    if (!parsed.ok) {
        err << "ldi: " << path << ": " << parsed.message << std::endl;
        return 1;
    }
    const LdiFile& file = parsed.value;
    const LdiGeometry& g = file.geometry;
    out << "LDI map file:      " << path << " (format version " << LDI_FORMAT_VERSION << ")\n"
        << "box:               x " << g.xStart << ".." << g.xEnd << ", y " << g.yStart << ".." << g.yEnd
        << ", z " << g.zStart << ".." << g.zEnd << "\n"
        << "resolution:        " << g.resolution << "\n"
        << "grid:              " << g.dimX << " x " << g.dimY << " x " << g.dimZ << " voxels\n"
        << "threshold levels:  " << file.levelLabels.size() << "\n";
    for (std::size_t t = 0; t < file.levelLabels.size(); ++t)
        out << "  level " << t << ":         " << quoteText(file.levelLabels[t]) << "\n";
    out << "maps:              " << file.maps.size() << "\n";
    for (std::size_t m = 0; m < file.maps.size(); ++m) {
        const LdiMap& map = file.maps[m];
        out << "map " << m << ": " << quoteText(map.name) << "\n"
            << "  kind:            " << map.mapKind << "\n"
            << "  thresholds:      lower " << number(map.lowerThreshold) << ", upper "
            << number(map.upperThreshold) << "\n";
        if (mapHasNoFdrThresholds(map)) out << "  FDR thresholds:  none (this kind has no FDR thresholds)\n";
        for (std::size_t t = 0; !mapHasNoFdrThresholds(map) && t < map.fdrThresholds.size(); ++t) {
            const std::string& label = t < file.levelLabels.size() ? file.levelLabels[t] : std::string();
            double q = 0.0;
            out << "  FDR " << quoteText(label);
            if (qFromLabel(label, q)) out << " (q " << q << ")";
            out << ": " << number(map.fdrThresholds[t]) << "\n";
        }
    }
    return 0;
}

#if !defined(_WIN32)
// The header of a NIfTI image: what ldi map needs to know of a run, a mask or a map.
int niftiInfo(const std::string& path, std::ostream& out, std::ostream& err) {
    NiftiReader reader;
    std::string problem;
    if (!reader.open(path, problem)) {
        err << "ldi: " << path << ": " << problem << std::endl;
        return 1;
    }
    const NiftiHeader& h = reader.header();
    out << "NIfTI file:        " << path << "\n"
        << "format:            NIfTI-" << h.version << (reader.compressed() ? ", gzip-compressed" : "")
        << (h.swapped ? ", other byte order" : "") << "\n"
        << "dimensions:        " << h.nx() << " x " << h.ny() << " x " << h.nz();
    if (h.rank >= 4) out << " x " << h.volumes() << (h.volumes() == 1 ? " volume" : " volumes");
    out << "\n"
        << "voxel size:        " << number(h.pixdim[1]) << " x " << number(h.pixdim[2]) << " x "
        << number(h.pixdim[3]) << " mm\n";
    const double tr = headerRepetitionTime(h);
    out << "TR:                " << (tr > 0.0 ? number(tr) + " s (header)" : std::string("not set")) << "\n"
        << "data type:         " << niftiTypeName(h.datatype);
    if (h.sclSlope != 0.0 && (h.sclSlope != 1.0 || h.sclInter != 0.0))
        out << ", scaled by " << number(h.sclSlope) << " plus " << number(h.sclInter);
    out << "\n"
        << "orientation:       " << orientationCode(voxelToWorld(h)) << " (sform code " << h.sformCode
        << ", qform code " << h.qformCode << ")\n";
    return 0;
}
#endif

// The JSON index of the results of ldi run or ldi map: what each map is and
// where its file lies.
int indexInfo(const std::string& path, std::ostream& out, std::ostream& err) {
    std::string content;
    std::string problem;
    if (!readWholeFile(path, content, problem)) {
        err << "ldi: " << problem << std::endl;
        return 1;
    }
    const nlohmann::json index = nlohmann::json::parse(content, nullptr, false);
    if (!index.is_object() || !index.contains("maps") || !index["maps"].is_array()) {
        err << "ldi: " << path << " is not the JSON index of LDI results (it has no list of maps)" << std::endl;
        return 1;
    }
    const auto text = [](const nlohmann::json& value) {
        return value.is_string() ? quoteText(value.get<std::string>()) : std::string("(none)");
    };
    out << "LDI results index: " << path << "\n"
        << "map file:          " << text(index.value("mapFile", nlohmann::json())) << "\n"
        << "maps:              " << index["maps"].size() << "\n";
    for (std::size_t m = 0; m < index["maps"].size(); ++m) {
        const nlohmann::json& map = index["maps"][m];
        if (!map.is_object()) continue;
        out << "map " << m << ": " << text(map.value("displayName", nlohmann::json())) << "\n"
            << "  file:            " << text(map.value("niftiFile", nlohmann::json())) << "\n";
        const nlohmann::json thresholds = map.value("fdrThresholds", nlohmann::json::array());
        for (const nlohmann::json& level : thresholds) {
            if (!level.is_object()) continue;
            out << "  FDR " << text(level.value("label", nlohmann::json())) << ": "
                << level.value("threshold", nlohmann::json()).dump() << "\n";
        }
    }
    return 0;
}

// Prints what a .vtc, .ldi, NIfTI or results index file holds. 0 when the
// file is sound, 1 when it cannot be read or is damaged, 2 for a file of
// another kind.
int performInfo(const std::string& path, std::ostream& out, std::ostream& err) {
    if (endsWithIgnoringCase(path, ".vtc")) return vtcInfo(path, out, err);
    if (endsWithIgnoringCase(path, ".ldi")) return ldiInfo(path, out, err);
    if (endsWithIgnoringCase(path, ".json")) return indexInfo(path, out, err);
#if !defined(_WIN32)
    if (endsWithIgnoringCase(path, ".nii") || endsWithIgnoringCase(path, ".nii.gz")) return niftiInfo(path, out, err);
    err << "ldi: info describes .vtc, .ldi, NIfTI (.nii, .nii.gz) and results index (.json) files; " << path
        << " is none of them" << std::endl;
#else
    err << "ldi: info describes .vtc, .ldi and results index (.json) files; " << path << " is none of them"
        << std::endl;
#endif
    return EXIT_USAGE;
}

}  // namespace

Command addInfoCommand(CLI::App& ldi) {
    auto path = std::make_shared<std::string>();
    CLI::App* info = ldi.add_subcommand("info", "describe a .vtc, .ldi, NIfTI or results index (.json) file");
    info->add_option("FILE", *path, "the file to describe")->required();
    info->footer("Examples:\n  ldi info run1.vtc\n  ldi info results/P_Motor.ldi\n"
                 "  ldi info sub-01_task-rest_bold.nii.gz\n  ldi info results/P_Motor.json\n");
    return Command{info, [path](const CommandStreams& streams) {
                       return performInfo(*path, streams.out, streams.err);
                   }};
}

}  // namespace ldi
