// Pictures of maps: `ldi show` draws one map of a .ldi file as a PNG montage
// of its axial slices, over the mean image of a VTC when one is given, with the
// values below the map's FDR threshold at a chosen q hidden.
//
// The grid's axes lie in the head as the host's internal coordinates do: x runs
// from anterior to posterior, y from superior to inferior, z from right to left
// (a Talairach point (X, Y, Z) lies at internal (128 - Y, 128 - Z, 128 - X)).
// An axial slice is therefore one grid y; it is drawn in the neurological
// convention: the head's left on the picture's left, anterior at the top. The
// slices go from inferior to superior.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "formats/ldi_file.h"

namespace ldi {

// Where everything lies in the picture. Tile k shows the axial slice at grid y
// = `slices[k]`; its top-left corner is at (tileLeft(k), tileTop(k)); voxel
// (x, y, z) covers `cell` x `cell` pixels from (tileLeft + (dimZ - 1 - z) *
// cell, tileTop + x * cell).
struct MontageLayout {
    int32_t cell = 1;
    int32_t columns = 1, rows = 1;
    int32_t tileWidth = 0, tileHeight = 0;
    int32_t gap = 0, margin = 0, titleHeight = 0, barAreaWidth = 0;
    int32_t width = 0, height = 0;
    std::vector<int32_t> slices;

    int32_t tileLeft(std::size_t k) const {
        return margin + static_cast<int32_t>(k % static_cast<std::size_t>(columns)) * (tileWidth + gap);
    }
    int32_t tileTop(std::size_t k) const {
        return titleHeight + static_cast<int32_t>(k / static_cast<std::size_t>(columns)) * (tileHeight + gap);
    }
};

// The layout for a grid: all axial slices up to 64, every second (third, ...)
// one beyond, from inferior (the largest grid y) to superior; tiles of at least
// about 120 pixels, at most 16 pixels a voxel.
MontageLayout layoutMontage(int32_t dimX, int32_t dimY, int32_t dimZ);

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

// Draws the montage of one map into a PNG file (written under a temporary
// name and renamed, so a failure leaves no partial picture). `background` is
// empty or a mean image of the map grid. False with a message naming the
// path on failure.
bool writeMontage(const LdiFile& file, std::size_t mapIndex, const MapDisplay& display,
                  const std::vector<float>& background, const std::string& pngPath, std::string& problem);

// The default picture path: the .ldi path without its ending, "_", the map's
// file label and ".png".
std::string defaultPicturePath(const std::string& ldiPath, const LdiMap& map);

// "N voxels shown", as the pictures' subtitles and `ldi show` say it.
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
