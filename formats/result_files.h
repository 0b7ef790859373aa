// The files the host's save writes for a map set: NAME.ldi (the whole set in
// our own binary format), one NIfTI-1 file per map and NAME.json.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "data/grid_box.h"
#include "stats/large_buffer.h"
#include "formats/text_util.h"

namespace ldi_host {

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

struct ResultIdentity {
    std::string pluginName;
    std::string pluginVersion;
};

// True for a map that carries no FDR thresholds: the dLDI RC kind (its
// threshold slots hold zeros that mean nothing).
bool mapHasNoFdrThresholds(const LdiMap& map);

// How many voxels of a map pass at FDR threshold `threshold` as the map
// alone tells: every nonzero value at 0, every magnitude at or above it
// otherwise, and -1 (unknown) for a threshold equal to the largest magnitude,
// which the search gives both when only the top passes and when none does.
int64_t passingFromThreshold(const LdiMap& map, float threshold);

// The passing counts of the maps of `file` from the JSON index `jsonText` of
// the same save (matched by map count and names); false when it has none.
bool passingFromIndex(const std::string& jsonText, LdiFile& file);

// The NAME.json document of a saved map set, keys in a fixed order. Per map
// and level the number of passing voxels when known (LdiMap::passingVoxels);
// `rngSeed` (the seed of the run's random numbers) when not negative.
nlohmann::ordered_json resultJson(const LdiFile& file, const ResultIdentity& identity,
                                  const std::string& mapFileName,
                                  const std::vector<std::string>& niftiFileNames,
                                  const std::vector<std::string>& warnings = {}, long long rngSeed = -1);

// What the host knows of the run beyond the map set being saved.
struct SaveRecord {
    std::vector<std::string> warnings;  // the run's warnings in the log pane, for the JSON index
    // The files the run has written so far (paths, case folded); a save adds
    // its own and gives none of its files a name already in the set.
    std::set<std::string>* namesInRun = nullptr;
    long long rngSeed = -1;  // the run's seed for the JSON index (negative: unknown)
};

// Saves a map set under `mapFilePath` (NAME.ldi; NAME is the path without a
// trailing ".ldi"), with NAME_LABEL.nii.gz per map and NAME.json.
// - Names: the label is cut (keeping the map kind at its end) so that every
//   file name fits 255 bytes, and gets "_2", "_3", ... when another file of
//   this save or of the run (record.namesInRun) already has the name.
// - Every file is written under a temporary name in the destination folder,
//   checked, and renamed only when all of them were written. A file of an
//   earlier save with the same name is kept aside until all are renamed and
//   put back should one rename fail, so a failure leaves neither a partial
//   save nor a damaged earlier one.
// - Files that the earlier NAME.json listed and this save does not write are
//   removed; temporary files left by processes that no longer run too.
// On failure returns false and explains in `problem`, naming the path.
bool saveResultFiles(const std::string& mapFilePath, const LdiFile& file,
                     const ResultIdentity& identity, std::string& problem, const SaveRecord& record = {});

// One map as a gzip-compressed 3D float32 NIfTI-1 file: the voxels in the
// map's [z][y][x] order, sform and qform (Talairach) placing voxel (i, j, k)
// at the anatomy's coordinates (see docs/formats.md). False with a reason
// when the map does not fit its grid.
// The compressed bytes go to a buffer that is not zero-filled first.
struct ByteBuffer {
    LargeArray<char> bytes;
    std::size_t size = 0;
    std::string_view view() const { return {bytes.get(), size}; }
};
bool encodeNiftiMap(const LdiGeometry& geometry, const LdiMap& map, ByteBuffer& encoded, std::string& problem);

// Writes one map as encodeNiftiMap makes it (the path should end in ".nii.gz").
bool writeNiftiMap(const std::string& path, const LdiGeometry& geometry, const LdiMap& map,
                   std::string& problem);

}  // namespace ldi_host
