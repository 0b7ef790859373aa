// Pictures of maps: a PNG montage of a map's axial slices in world space,
// over an underlay when one is given, with the values below the map's
// threshold hidden.
//
// Every grid is placed in the world by its voxel-to-world affine (NIfTI's
// sform or qform; for a .ldi set the Talairach placement of its grid,
// worldFromLdiGrid). The picture is drawn on a grid aligned with the world
// axes that covers the map's voxel centres, one cell a voxel: the same map
// stored in any voxel order gives the same picture. Axial slices go from
// inferior to superior; anterior is up; the head's left is on the picture's
// left (neurological) or on its right (radiological).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/ldi_file.h"
#include "formats/nifti_image.h"

namespace ldi {

// A grid of values in [k][j][i] order (i fastest) and where its voxels lie.
struct PlacedGrid {
    std::array<int64_t, 3> dim{};
    Affine toWorld{};

    int64_t voxelCount() const { return dim[0] * dim[1] * dim[2]; }
};

// The placement of a .ldi set's grid.
PlacedGrid placedLdiGrid(const LdiGeometry& geometry);

// The world-aligned grid a montage is drawn on: cell (a, b, c) is centred at
// world (origin[0] + a step[0], origin[1] + b step[1], origin[2] + c step[2]).
struct WorldFrame {
    std::array<double, 3> origin{};
    std::array<double, 3> step{1.0, 1.0, 1.0};
    std::array<int32_t, 3> cells{};

    double worldZ(int32_t plane) const { return origin[2] + plane * step[2]; }
};

// The frame covering a grid's voxel centres, its step along each world axis
// that of the voxel axis that runs most nearly along it.
WorldFrame worldFrame(const PlacedGrid& grid);

// An image drawn under the map, on any grid in the same world space.
struct Underlay {
    PlacedGrid grid;
    std::vector<float> values;
    std::string what;  // "the mean image of the VTC", as the subtitle says it
};

struct MontageOptions {
    bool radiological = false;  // the head's left on the picture's right
    int32_t sliceCount = 0;     // slices drawn, evenly spaced; 0: all up to 64, every second ... beyond
    bool rangeGiven = false;    // only the slices with world z in [zFrom, zTo] (mm)
    double zFrom = 0.0, zTo = 0.0;
    bool trilinear = true;  // the underlay sampled trilinearly (false: nearest) when on another grid
    // Voxels of the map's grid whose edge is drawn (a seed's own voxels);
    // null or empty: none.
    const std::vector<uint8_t>* outline = nullptr;
};

// Where everything lies in the picture (widened, when drawn, for a title
// longer than it is wide). Tile k shows the frame's axial plane
// `slices[k]`; its top-left corner is at (tileLeft(k), tileTop(k)); frame
// cell (a, b) of the plane covers `cell` x `cell` pixels from (tileLeft +
// column * cell, tileTop + (cells[1] - 1 - b) * cell), where column is a
// (neurological) or cells[0] - 1 - a (radiological).
struct MontageLayout {
    int32_t cell = 1;
    int32_t columns = 1, rows = 1;
    int32_t tileWidth = 0, tileHeight = 0;
    int32_t gap = 0, margin = 0, titleHeight = 0, barAreaWidth = 0, labelHeight = 0;
    int32_t width = 0, height = 0;
    // The colour bar's top and height, and the legend below it (what is
    // hidden), which ends inside the picture however short it is.
    int32_t barTop = 0, barHeight = 0, legendTop = 0, legendHeight = 0;
    std::vector<int32_t> slices;

    int32_t tileLeft(std::size_t k) const {
        return margin + static_cast<int32_t>(k % static_cast<std::size_t>(columns)) * (tileWidth + gap);
    }
    // Each tile's slice label lies on the page above it, not on the slice.
    int32_t tileTop(std::size_t k) const {
        return titleHeight + labelHeight +
               static_cast<int32_t>(k / static_cast<std::size_t>(columns)) * (tileHeight + gap + labelHeight);
    }
};

// The layout of a frame's slices as the options choose them, from inferior
// to superior; tiles of at least about 120 pixels, at most 16 pixels a cell.
// False with a message when the range holds no slice.
bool layoutMontage(const WorldFrame& frame, const MontageOptions& options, MontageLayout& layout,
                   std::string& problem);

// What a montage shows, chosen from the map and the wanted q.
struct MapDisplay {
    bool usesFdr = true;     // false for maps without FDR thresholds (dLDI RC)
    double q = 0.0;          // the q level shown (usesFdr)
    float threshold = 0.0f;  // |value| >= threshold (and value != 0) is shown
    float top = 0.0f;        // |value| at which the colours saturate
    bool isSigned = false;   // negative values are shown (in cool colours): the map has negative colours
    bool nonePasses = false; // no voxel passes at q: nothing is coloured, whatever the threshold
    int64_t shownVoxels = 0;
    std::string title;
};

// Chooses threshold and colours for a map. With `qGiven`, q must be one of
// the file's level labels (compared to three decimals, as the labels are
// written); without it 0.05 is taken when it is a level, else the first
// level. False with a message listing the levels when q is not one of them.
// Maps without FDR thresholds use their display threshold and say so in the
// title; `notice` then says that q does not apply when one was given. The
// map's passingVoxels (from the JSON index), or else its values, tell whether
// any voxel passes: when none does, the title says "no voxel passes at q = ..."
// and nothing is coloured.
bool chooseDisplay(const LdiFile& file, std::size_t mapIndex, bool qGiven, double q, MapDisplay& display,
                   std::string& problem, std::string& notice);

// A display at a threshold of one's own (`why` says where it comes from in
// the title), whatever levels the map has.
void fixedDisplay(const LdiMap& map, float threshold, const std::string& why, MapDisplay& display);

// Every nonzero value shown, the colours saturating at the 99th percentile
// of |value| (one extreme voxel does not wash out the rest), the same scale
// on both sides for a signed map.
void unthresholdedDisplay(const LdiMap& map, MapDisplay& display);

// Whether a value is shown under a display.
inline bool isShown(const MapDisplay& display, float value) {
    return !display.nonePasses && value != 0.0f && (value >= display.threshold || -value >= display.threshold) &&
           (display.isSigned || value > 0.0f);
}

// The mean over time of every voxel of a VTC whose grid matches the map set's
// ([z][y][x] order). False with a message when the file cannot be read or its
// grid differs.
bool readVtcMeanImage(const std::string& path, const LdiGeometry& geometry, std::vector<float>& image,
                      std::string& problem);

// Draws the montage of a map on `grid` as PNG bytes. `underlay` may be null.
// False with a message.
bool drawMontage(const PlacedGrid& grid, const LdiMap& map, const MapDisplay& display, const Underlay* underlay,
                 const MontageOptions& options, std::string& png, std::string& problem);

// Writes PNG bytes under a temporary name and renames them, so a failure
// leaves no partial picture. False with a message naming the path.
bool writePicture(const std::string& png, const std::string& pngPath, std::string& problem);

// The montage of one map of a set (placed by its own grid) with default
// options into a PNG file. `background` is empty or a mean image of the map
// grid. False with a message naming the path on failure.
bool writeMontage(const LdiFile& file, std::size_t mapIndex, const MapDisplay& display,
                  const std::vector<float>& background, const std::string& pngPath, std::string& problem);

// The default picture path: the .ldi path without its ending, "_", the map's
// file label and ".png".
std::string defaultPicturePath(const std::string& ldiPath, const LdiMap& map);

// "N voxels shown", as the pictures' subtitles and `ldi show` say it after
// the title (which says it when no voxel passes at q).
std::string voxelsShown(const MapDisplay& display);

// Finds a map by its index (from 0, as `ldi info` numbers them) or by its
// display name. False with a message listing the maps.
bool findMap(const LdiFile& file, const std::string& which, std::size_t& index, std::string& problem);

// Drawing text fills process-wide font caches (cairo's and fontconfig's). A
// command that draws pictures holds one session while it draws; its end
// releases those caches.
class PictureSession {
public:
    PictureSession() = default;
    ~PictureSession();
    PictureSession(const PictureSession&) = delete;
    PictureSession& operator=(const PictureSession&) = delete;
};

}  // namespace ldi
