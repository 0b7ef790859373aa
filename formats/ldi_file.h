// A map set in our own binary format, NAME.ldi: the grid, the threshold
// levels, and per map its display, its FDR thresholds and its values. The
// host holds a saved map set in this form; ldi show and ldi info read it back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/grid_box.h"
#include "stats/large_buffer.h"
#include "formats/text_util.h"

namespace ldi {

constexpr char LDI_MAGIC[8] = {'L', 'D', 'I', 'M', 'A', 'P', 'S', '\0'};
constexpr uint32_t LDI_FORMAT_VERSION = 1;

// A map's values: new ones cost nothing until written (ZeroedArrayAllocator).
using MapValues = std::vector<float, ZeroedArrayAllocator<float>>;

struct LdiMap {
    std::string name;  // display name
    int32_t mapKind = 0;
    float lowerThreshold = 0.0f;
    float upperThreshold = 0.0f;
    int32_t positiveColourLow = 0;
    int32_t positiveColourHigh = 0;
    int32_t negativeColourLow = 0;
    int32_t negativeColourHigh = 0;
    int32_t useNegativeColours = 0;
    std::vector<float> fdrThresholds;  // one per threshold level
    // Per threshold level, how many voxels pass (-1: unknown). Not part of the
    // .ldi format: known from the computation, or from a JSON index.
    std::vector<int64_t> passingVoxels;
    MapValues voxels;                  // dimZ * dimY * dimX values, [z][y][x]
};

// The box fields (xStart .. resolution) come from GridBox.
struct LdiGeometry : GridBox {
    LdiGeometry() { resolution = 1; }
    int32_t dimX = 0, dimY = 0, dimZ = 0;

    int64_t voxelCount() const { return int64_t(dimX) * dimY * dimZ; }
};

// A whole map set, as held by the host and as stored in a .ldi file.
struct LdiFile {
    LdiGeometry geometry;
    std::vector<std::string> levelLabels;
    std::vector<LdiMap> maps;
};

// Byte image of a map set in the .ldi format.
std::string encodeLdi(const LdiFile& file);

// The same image as pieces that follow one another, for writing without
// copying the voxels: the header with the maps' headers, each map's voxels
// where they lie (when they are already in the file's byte order) and the
// checksum. The pieces point into `file` and into this record.
struct LdiPieces {
    std::string head;
    std::string converted;  // the voxels, converted, when they cannot be used where they lie
    char checksum[4] = {};
    std::vector<std::string_view> pieces;

    LdiPieces() = default;
    LdiPieces(const LdiPieces&) = delete;
    LdiPieces& operator=(const LdiPieces&) = delete;
};
void layOutLdi(const LdiFile& file, LdiPieces& out);

// Reads a .ldi byte image. Any byte sequence gives either a map set or a
// message (the line number of the result is always 0: the format is binary).
Parsed<LdiFile> decodeLdi(std::string_view bytes);

// The label of a map in the NIfTI file names: its display name made safe
// (see fileLabel), with the map index appended to every label that more than
// one map shares, until all labels differ.
std::vector<std::string> niftiLabels(const std::vector<LdiMap>& maps);

// The q value in a threshold-level label such as "thres q=0.050"; false when
// the label holds no "q=" followed by a finite number.
bool qFromLabel(std::string_view label, double& q);

// The plug-in's version from its name ("... v1.5" gives "1.5"), or "".
std::string versionFromPluginName(std::string_view name);

// True for a map that carries no FDR thresholds: the dLDI RC kind (its
// threshold slots hold zeros that mean nothing).
bool mapHasNoFdrThresholds(const LdiMap& map);

}  // namespace ldi
