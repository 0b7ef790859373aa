#include "pictures/montage.h"


#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>

#include "data/vtc_file.h"
#include "pictures/cairo_library.h"
#include "pictures/png_encoding.h"
#include "formats/result_index.h"
#include "formats/nifti_map.h"
#include "formats/text_util.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

constexpr int32_t MAX_TILES = 64;
constexpr int32_t TILE_TARGET = 128;  // pixels along the longer edge of a slice
constexpr int32_t MAX_CELL = 16;
constexpr int32_t MIN_CONTENT_HEIGHT = 220;  // room for the colour bar
constexpr int32_t MIN_WIDTH = 600;           // room for the title lines of most maps
constexpr int32_t TITLE_HEIGHT = 68;         // the title and two lines below it
constexpr int32_t LEGEND_HEIGHT = 34;        // two lines under the colour bar
constexpr int32_t MIN_LABELLED_TILE = 40;    // tiles lower than this go without their z

struct Rgb {
    double r, g, b;
};

// Positive values from red to yellow, negative ones from blue to cyan; f is
// the position between the threshold (0) and the saturation value (1).
Rgb warm(double f) { return Rgb{0.85 + 0.15 * f, f, 0.0}; }
Rgb cool(double f) { return Rgb{0.0, f, 0.85 + 0.15 * f}; }

std::string shortNumber(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g", value);
    return buffer;
}

using Surface = std::unique_ptr<cairo_surface_t, decltype(CairoLibrary::cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(CairoLibrary::cairo_destroy)>;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

uint32_t packRgb(const Rgb& c) {
    auto channel = [](double v) { return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); };
    return (channel(c.r) << 16) | (channel(c.g) << 8) | channel(c.b);
}

void text(const CairoLibrary& c, cairo_t* cr, double x, double y, double size, bool bold, const std::string& line,
          const Rgb& colour) {
    c.cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                             bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    c.cairo_set_font_size(cr, size);
    c.cairo_set_source_rgb(cr, colour.r, colour.g, colour.b);
    c.cairo_move_to(cr, x, y);
    c.cairo_show_text(cr, line.c_str());
}

void fillGradient(const CairoLibrary& c, cairo_t* cr, double x, double top, double width, double height,
                  const Rgb& upper, const Rgb& lower) {
    cairo_pattern_t* gradient = c.cairo_pattern_create_linear(0.0, top, 0.0, top + height);
    c.cairo_pattern_add_color_stop_rgb(gradient, 0.0, upper.r, upper.g, upper.b);
    c.cairo_pattern_add_color_stop_rgb(gradient, 1.0, lower.r, lower.g, lower.b);
    c.cairo_rectangle(cr, x, top, width, height);
    c.cairo_set_source(cr, gradient);
    c.cairo_fill(cr);
    c.cairo_pattern_destroy(gradient);
}

// The vertical colour bar right of the tiles, with its values, and below it
// what is hidden: all where the layout put them.
void drawColourBar(const CairoLibrary& c, cairo_t* cr, const MontageLayout& layout, const MapDisplay& display) {
    const Rgb label{0.9, 0.9, 0.9};
    const double x = layout.width - layout.barAreaWidth + 8.0;
    const double top = layout.barTop;
    const double width = 18.0;
    const double height = layout.barHeight;
    const double labelX = x + width + 6.0;
    const double small = 11.0;
    if (!display.isSigned) {
        fillGradient(c, cr, x, top, width, height, warm(1.0), warm(0.0));
        text(c, cr, labelX, top + 9.0, small, false, shortNumber(display.top), label);
        text(c, cr, labelX, top + height, small, false, shortNumber(display.threshold), label);
    } else {
        const double half = (height - 14.0) / 2.0;
        fillGradient(c, cr, x, top, width, half, warm(1.0), warm(0.0));
        fillGradient(c, cr, x, top + half + 14.0, width, half, cool(0.0), cool(1.0));
        text(c, cr, labelX, top + 9.0, small, false, shortNumber(display.top), label);
        text(c, cr, labelX, top + half, small, false, shortNumber(display.threshold), label);
        // An unthresholded map's bar meets at 0, which is not "-0".
        text(c, cr, labelX, top + half + 24.0, small, false,
             shortNumber(display.threshold > 0.0f ? -display.threshold : 0.0), label);
        text(c, cr, labelX, top + height, small, false, shortNumber(-display.top), label);
    }
    if (display.threshold <= 0.0f) {
        text(c, cr, x, layout.legendTop + 13.0, small, false, "unthresholded:", label);
        text(c, cr, x, layout.legendTop + 28.0, small, false, "every value", label);
        return;
    }
    text(c, cr, x, layout.legendTop + 13.0, small, false, "hidden:", label);
    text(c, cr, x, layout.legendTop + 28.0, small, false, "|value| < " + shortNumber(display.threshold), label);
}

// The width of a line of text as `text` draws it.
double textWidth(const CairoLibrary& c, cairo_t* cr, double size, bool bold, const std::string& line) {
    c.cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                             bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    c.cairo_set_font_size(cr, size);
    cairo_text_extents_t extents{};
    c.cairo_text_extents(cr, line.c_str(), &extents);
    return extents.x_advance > extents.x_bearing + extents.width ? extents.x_advance : extents.x_bearing + extents.width;
}

// A label on a tile: light text on a dark backing, readable over any grey or
// colour beneath it.
void tileLabel(const CairoLibrary& c, cairo_t* cr, double x, double baseline, const std::string& line) {
    const double size = 10.0;
    const double width = textWidth(c, cr, size, false, line);
    c.cairo_set_source_rgba(cr, 0.0, 0.0, 0.0, 0.7);
    c.cairo_rectangle(cr, x - 2.0, baseline - 9.0, width + 4.0, 12.0);
    c.cairo_fill(cr);
    text(c, cr, x, baseline, size, false, line, Rgb{0.95, 0.95, 0.95});
}

}  // namespace

PlacedGrid placedLdiGrid(const LdiGeometry& geometry) {
    PlacedGrid grid;
    grid.dim = {geometry.dimX, geometry.dimY, geometry.dimZ};
    grid.toWorld = worldFromLdiGrid(geometry);
    return grid;
}

WorldFrame worldFrame(const PlacedGrid& grid) {
    WorldFrame frame;
    const Affine& m = grid.toWorld;
    std::array<double, 3> low{}, high{};
    for (int corner = 0; corner < 8; ++corner) {
        const double voxel[3] = {(corner & 1) ? grid.dim[0] - 1.0 : 0.0, (corner & 2) ? grid.dim[1] - 1.0 : 0.0,
                                 (corner & 4) ? grid.dim[2] - 1.0 : 0.0};
        for (int a = 0; a < 3; ++a) {
            const double w = m[a][0] * voxel[0] + m[a][1] * voxel[1] + m[a][2] * voxel[2] + m[a][3];
            low[a] = corner == 0 ? w : std::min(low[a], w);
            high[a] = corner == 0 ? w : std::max(high[a], w);
        }
    }
    for (int a = 0; a < 3; ++a) {
        int along = 0;
        for (int v = 1; v < 3; ++v)
            if (std::fabs(m[a][v]) > std::fabs(m[a][along])) along = v;
        const double step = std::sqrt(m[0][along] * m[0][along] + m[1][along] * m[1][along] + m[2][along] * m[2][along]);
        frame.step[a] = step > 0.0 ? step : 1.0;
        frame.origin[a] = low[a];
        frame.cells[a] = static_cast<int32_t>(std::lround((high[a] - low[a]) / frame.step[a])) + 1;
    }
    return frame;
}

namespace {

// The planes drawn: those in the range, all up to MAX_TILES (every second,
// third ... beyond), or `count` of them evenly spaced, first and last included.
std::vector<int32_t> chooseSlices(const WorldFrame& frame, const MontageOptions& options) {
    std::vector<int32_t> candidates;
    const double tolerance = 1e-6 * frame.step[2];
    for (int32_t plane = 0; plane < frame.cells[2]; ++plane) {
        const double z = frame.worldZ(plane);
        if (!options.rangeGiven || (z >= std::min(options.zFrom, options.zTo) - tolerance &&
                                    z <= std::max(options.zFrom, options.zTo) + tolerance))
            candidates.push_back(plane);
    }
    const auto available = static_cast<int32_t>(candidates.size());
    std::vector<int32_t> planes;
    if (options.sliceCount > 0 && options.sliceCount < available) {
        for (int32_t s = 0; s < options.sliceCount; ++s) {
            const double at = options.sliceCount == 1 ? 0.5 * (available - 1)
                                                      : static_cast<double>(s) * (available - 1) / (options.sliceCount - 1);
            const int32_t plane = candidates[static_cast<std::size_t>(std::lround(at))];
            if (planes.empty() || planes.back() != plane) planes.push_back(plane);
        }
        return planes;
    }
    const int32_t stride = options.sliceCount > 0 ? 1 : std::max<int32_t>(1, (available + MAX_TILES - 1) / MAX_TILES);
    for (int32_t s = 0; s < available; s += stride) planes.push_back(candidates[static_cast<std::size_t>(s)]);
    return planes;
}

}  // namespace

bool layoutMontage(const WorldFrame& frame, const MontageOptions& options, MontageLayout& layout,
                   std::string& problem) {
    layout = MontageLayout();
    layout.slices = chooseSlices(frame, options);
    if (layout.slices.empty()) {
        problem = "no axial slice lies between z = " + shortNumber(options.zFrom) + " and " +
                  shortNumber(options.zTo) + " mm; the map covers z = " + shortNumber(frame.worldZ(0)) + " to " +
                  shortNumber(frame.worldZ(frame.cells[2] - 1)) + " mm";
        return false;
    }
    const int32_t count = static_cast<int32_t>(layout.slices.size());
    const int32_t longer = std::max(frame.cells[0], frame.cells[1]);
    layout.cell = std::clamp<int32_t>((TILE_TARGET + longer - 1) / longer, 1, MAX_CELL);
    layout.tileWidth = frame.cells[0] * layout.cell;
    layout.tileHeight = frame.cells[1] * layout.cell;
    // Somewhat wider than high, like a screen.
    const double aspect = static_cast<double>(layout.tileHeight) / layout.tileWidth;
    layout.columns = std::clamp<int32_t>(static_cast<int32_t>(std::ceil(std::sqrt(count * aspect * 1.5))), 1,
                                         std::max(count, 1));
    layout.rows = (count + layout.columns - 1) / layout.columns;
    layout.gap = 4;
    layout.margin = 10;
    layout.titleHeight = TITLE_HEIGHT;
    layout.barAreaWidth = 110;
    layout.labelHeight = layout.tileHeight >= MIN_LABELLED_TILE ? 13 : 0;
    const int32_t tilesWidth = layout.columns * layout.tileWidth + (layout.columns - 1) * layout.gap;
    const int32_t tilesHeight =
        layout.rows * (layout.tileHeight + layout.labelHeight) + (layout.rows - 1) * layout.gap;
    layout.width = std::max(layout.margin + tilesWidth + layout.margin + layout.barAreaWidth, MIN_WIDTH);
    layout.height = layout.titleHeight + std::max(tilesHeight, MIN_CONTENT_HEIGHT) + layout.margin;
    layout.legendHeight = LEGEND_HEIGHT;
    layout.barTop = layout.titleHeight + 8;
    layout.barHeight = std::min(layout.height - layout.margin - layout.barTop - LEGEND_HEIGHT - 6, 260);
    layout.legendTop = layout.barTop + layout.barHeight + 6;
    return true;
}
namespace {

// Colours and counts of a display whose threshold is chosen.
void finishDisplay(const LdiMap& map, const std::string& title, MapDisplay& display) {
    if (!(display.threshold >= 0.0f)) display.threshold = 0.0f;  // NaN or negative: nothing to hide by
    // As in the host's display: negative values are shown only by maps that
    // have colours for them (the differences), not by the three measures.
    display.isSigned = map.negativeColourLow != 0 || map.negativeColourHigh != 0;
    display.top = display.threshold;
    display.shownVoxels = 0;
    for (float v : map.voxels) {
        if (!isShown(display, v) || !std::isfinite(v)) continue;
        ++display.shownVoxels;
        display.top = std::max(display.top, std::fabs(v));
    }
    display.title = title;
}

}  // namespace

bool chooseDisplay(const LdiFile& file, std::size_t mapIndex, bool qGiven, double q, MapDisplay& display,
                   std::string& problem, std::string& notice) {
    const LdiMap& map = file.maps.at(mapIndex);
    display = MapDisplay();
    notice.clear();
    std::string title = map.name;
    if (mapHasNoFdrThresholds(map)) {
        display.usesFdr = false;
        display.threshold = map.lowerThreshold;
        if (qGiven)
            notice = "the map " + quoteText(map.name) + " has no FDR thresholds; it is shown with its display "
                     "threshold, --q does not apply";
        title += "   no FDR thresholds: display threshold " + shortNumber(display.threshold);
    } else {
        std::vector<double> levels;
        for (const std::string& label : file.levelLabels) {
            double level = 0.0;
            levels.push_back(qFromLabel(label, level) ? level : -1.0);
        }
        const std::size_t slots = std::min(levels.size(), map.fdrThresholds.size());
        std::size_t chosen = slots;
        auto sameLevel = [](double a, double b) { return b >= 0.0 && std::lround(a * 1000.0) == std::lround(b * 1000.0); };
        for (std::size_t t = 0; t < slots && chosen == slots; ++t)
            if (sameLevel(qGiven ? q : 0.05, levels[t])) chosen = t;
        if (chosen == slots && !qGiven) {
            for (std::size_t t = 0; t < slots && chosen == slots; ++t)
                if (levels[t] >= 0.0) chosen = t;
        }
        if (chosen == slots) {
            std::string list;
            for (std::size_t t = 0; t < slots; ++t)
                if (levels[t] >= 0.0) list += (list.empty() ? "" : ", ") + shortNumber(levels[t]);
            if (list.empty()) {
                problem = "the map " + quoteText(map.name) + " has no FDR threshold levels to choose from";
            } else {
                problem = "q " + shortNumber(q) + " is not a threshold level of the map " + quoteText(map.name) +
                          "; its levels are q = " + list;
            }
            return false;
        }
        display.q = levels[chosen];
        display.threshold = map.fdrThresholds[chosen];
        const int64_t passing = chosen < map.passingVoxels.size() && map.passingVoxels[chosen] >= 0
                                    ? map.passingVoxels[chosen]
                                    : passingFromThreshold(map, display.threshold);
        if (passing == 0) {
            display.nonePasses = true;
            title += "   no voxel passes at q = " + shortNumber(display.q);
        } else {
            title += "   q = " + shortNumber(display.q) + "   FDR threshold " + shortNumber(display.threshold);
            if (display.threshold == 0.0f) title += " (every nonzero value passes)";
            // Without the count a threshold at the largest value is ambiguous.
            if (passing < 0) title += " (the largest value: it alone passes, or none does)";
        }
    }
    finishDisplay(map, title, display);
    return true;
}

void fixedDisplay(const LdiMap& map, float threshold, const std::string& why, MapDisplay& display) {
    display = MapDisplay();
    display.usesFdr = false;
    display.threshold = threshold;
    finishDisplay(map, map.name + "   " + why + " " + shortNumber(threshold), display);
}

void unthresholdedDisplay(const LdiMap& map, MapDisplay& display) {
    fixedDisplay(map, 0.0f, "unthresholded; threshold", display);
    display.title = map.name + "   unthresholded";
    std::vector<float> magnitudes;
    for (float v : map.voxels)
        if (isShown(display, v) && std::isfinite(v)) magnitudes.push_back(std::fabs(v));
    if (magnitudes.empty()) return;
    const auto at = magnitudes.begin() + static_cast<std::ptrdiff_t>((magnitudes.size() - 1) * 99 / 100);
    std::nth_element(magnitudes.begin(), at, magnitudes.end());
    display.top = *at;
}

bool readVtcMeanImage(const std::string& path, const LdiGeometry& geometry, std::vector<float>& image,
                      std::string& problem) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        problem = "cannot open the background " + path + ": " + std::strerror(errno);
        return false;
    }
    VtcHeader header;
    if (!readVtcHeader(file.get(), header)) {
        problem = "the background " + path + " is not a readable VTC file";
        return false;
    }
    if (vtcDimX(header) != geometry.dimX || vtcDimY(header) != geometry.dimY || vtcDimZ(header) != geometry.dimZ) {
        problem = "the background " + path + " has a grid of " + std::to_string(vtcDimX(header)) + " x " +
                  std::to_string(vtcDimY(header)) + " x " + std::to_string(vtcDimZ(header)) +
                  " voxels, the maps one of " + std::to_string(geometry.dimX) + " x " +
                  std::to_string(geometry.dimY) + " x " + std::to_string(geometry.dimZ) +
                  "; give the VTC the maps were computed from";
        return false;
    }
    const int32_t sliceValues = vtcSliceValueCount(header);
    VtcValues values;
    allocateVtcValues(values, header, sliceValues);
    const std::size_t sliceVoxels = static_cast<std::size_t>(geometry.dimX) * geometry.dimY;
    image.assign(sliceVoxels * static_cast<std::size_t>(geometry.dimZ), 0.0f);
    for (int32_t z = 0; z < geometry.dimZ; ++z) {
        if (!readVtcValues(file.get(), header, sliceValues, values)) {
            problem = "the background " + path + " ends before its last slice (the file is incomplete)";
            return false;
        }
        for (std::size_t v = 0; v < sliceVoxels; ++v) {
            double sum = 0.0;
            const std::size_t first = v * static_cast<std::size_t>(header.numVolumes);
            for (int32_t t = 0; t < header.numVolumes; ++t)
                sum += values.floats ? static_cast<double>(values.floats[first + t])
                                     : static_cast<double>(values.shorts[first + t]);
            image[static_cast<std::size_t>(z) * sliceVoxels + v] = static_cast<float>(sum / header.numVolumes);
        }
    }
    return true;
}

namespace {

// Grey levels of the underlay: its nonzero values from the 1st to the 99th
// percentile span 15 % to 70 % white, so the colours stand out.
struct GreyScale {
    double dark = 0.0;
    double white = 1.0;
};

GreyScale underlayGreys(const std::vector<float>& values) {
    GreyScale greys;
    std::vector<float> inside;
    for (float v : values)
        if (v > 0.0f && std::isfinite(v)) inside.push_back(v);
    if (!inside.empty()) {
        // Every picture of a report takes the whole underlay's percentiles: two
        // selections, not a sort (the values are positive and finite, so the
        // order is plain <).
        const auto ranked = [&inside](std::size_t k) {
            std::nth_element(inside.begin(), inside.begin() + static_cast<std::ptrdiff_t>(k), inside.end());
            return static_cast<double>(inside[k]);
        };
        greys.dark = ranked(inside.size() / 100);
        greys.white = std::max(ranked(inside.size() * 99 / 100), greys.dark + 1e-6);
    }
    return greys;
}

// World point to continuous voxel coordinates of a grid.
struct GridSampler {
    const PlacedGrid& grid;
    Affine toVoxel{};
    bool valid = false;

    explicit GridSampler(const PlacedGrid& placed) : grid(placed) { valid = invertAffine(placed.toWorld, toVoxel); }

    std::array<double, 3> voxelOf(const std::array<double, 3>& w) const {
        std::array<double, 3> v{};
        for (int a = 0; a < 3; ++a) v[a] = toVoxel[a][0] * w[0] + toVoxel[a][1] * w[1] + toVoxel[a][2] * w[2] + toVoxel[a][3];
        return v;
    }
    // The index of the voxel nearest to a world point; -1 outside the grid.
    int64_t nearest(const std::array<double, 3>& w) const {
        const std::array<double, 3> v = voxelOf(w);
        int64_t index = 0;
        for (int a = 2; a >= 0; --a) {
            const double rounded = std::floor(v[a] + 0.5);
            if (!(rounded >= 0.0 && rounded < static_cast<double>(grid.dim[a]))) return -1;
            index = index * grid.dim[a] + static_cast<int64_t>(rounded);
        }
        return index;
    }
    // Trilinear interpolation of `values`; NaN outside the grid.
    double trilinear(const std::vector<float>& values, const std::array<double, 3>& w) const {
        const std::array<double, 3> v = voxelOf(w);
        std::array<int64_t, 3> base{};
        std::array<double, 3> frac{};
        for (int a = 0; a < 3; ++a) {
            const double top = static_cast<double>(grid.dim[a] - 1);
            if (!(v[a] >= -0.5 && v[a] <= top + 0.5)) return std::nan("");
            const double clamped = std::clamp(v[a], 0.0, top);
            base[a] = std::min<int64_t>(static_cast<int64_t>(std::floor(clamped)), std::max<int64_t>(grid.dim[a] - 2, 0));
            frac[a] = grid.dim[a] > 1 ? clamped - static_cast<double>(base[a]) : 0.0;
        }
        double sum = 0.0;
        for (int corner = 0; corner < 8; ++corner) {
            double weight = 1.0;
            int64_t index = 0;
            for (int a = 2; a >= 0; --a) {
                const bool up = (corner >> a) & 1;
                weight *= up ? frac[a] : 1.0 - frac[a];
                index = index * grid.dim[a] + std::min<int64_t>(base[a] + (up ? 1 : 0), grid.dim[a] - 1);
            }
            if (weight != 0.0) sum += weight * values[static_cast<std::size_t>(index)];
        }
        return sum;
    }
};

bool sameAffine(const Affine& a, const Affine& b) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            if (std::fabs(a[r][c] - b[r][c]) > 1e-6) return false;
    return true;
}

// What one montage draws from: the map, its display, and the underlay.
struct MontageInput {
    const LdiMap& map;
    const MapDisplay& display;
    const GridSampler& mapGrid;
    const Underlay* underlay;
    const GridSampler* underlayGrid;
    bool underlayNearest;
    GreyScale greys;
};

// The colour at a world point: warm or cool above the threshold, else the
// underlay's grey, or a grey that tells computed voxels from empty ones.
Rgb pointColour(const MontageInput& in, const std::array<double, 3>& world) {
    const int64_t at = in.mapGrid.nearest(world);
    const float value = at >= 0 ? in.map.voxels[static_cast<std::size_t>(at)] : 0.0f;
    const MapDisplay& display = in.display;
    if (isShown(display, value) && std::isfinite(value)) {
        const double range = display.top > display.threshold ? display.top - display.threshold : 1.0;
        const double f = std::clamp((std::fabs(value) - display.threshold) / range, 0.0, 1.0);
        return value > 0.0f ? warm(f) : cool(f);
    }
    if (in.underlay != nullptr) {
        double v = 0.0;
        if (in.underlayNearest) {
            const int64_t u = in.underlayGrid->nearest(world);
            v = u >= 0 ? in.underlay->values[static_cast<std::size_t>(u)] : 0.0;
        } else {
            v = in.underlayGrid->trilinear(in.underlay->values, world);
        }
        const GreyScale& g = in.greys;
        const double level = v > 0.0 ? 0.15 + 0.55 * std::clamp((v - g.dark) / (g.white - g.dark), 0.0, 1.0) : 0.0;
        return Rgb{level, level, level};
    }
    if (at < 0) return Rgb{0.0, 0.0, 0.0};
    if (value != 0.0f) return Rgb{0.25, 0.25, 0.25};  // computed, below the threshold
    return Rgb{0.07, 0.07, 0.07};                     // no value (outside, skipped or ill-defined)
}

// The axial plane into `tile`, one pixel a frame cell: anterior at the top,
// the head's left on the left (neurological) or on the right.
void paintSlice(const CairoLibrary& c, cairo_surface_t* tile, const MontageInput& in, const WorldFrame& frame,
                bool radiological, int32_t plane) {
    c.cairo_surface_flush(tile);
    unsigned char* data = c.cairo_image_surface_get_data(tile);
    const int stride = c.cairo_image_surface_get_stride(tile);
    for (int32_t row = 0; row < frame.cells[1]; ++row) {
        auto* pixels = reinterpret_cast<uint32_t*>(data + static_cast<std::ptrdiff_t>(row) * stride);
        const double y = frame.origin[1] + (frame.cells[1] - 1 - row) * frame.step[1];
        for (int32_t column = 0; column < frame.cells[0]; ++column) {
            const int32_t a = radiological ? frame.cells[0] - 1 - column : column;
            const std::array<double, 3> world{frame.origin[0] + a * frame.step[0], y, frame.worldZ(plane)};
            pixels[column] = packRgb(pointColour(in, world));
        }
    }
    c.cairo_surface_mark_dirty(tile);
}

// Whether frame cell (column, row) of a tile lies in the outlined voxels.
bool outlined(const MontageInput& in, const WorldFrame& frame, bool radiological, int32_t plane, int32_t column,
              int32_t row, const std::vector<uint8_t>& voxels) {
    if (column < 0 || row < 0 || column >= frame.cells[0] || row >= frame.cells[1]) return false;
    const int32_t a = radiological ? frame.cells[0] - 1 - column : column;
    const std::array<double, 3> world{frame.origin[0] + a * frame.step[0],
                                      frame.origin[1] + (frame.cells[1] - 1 - row) * frame.step[1], frame.worldZ(plane)};
    const int64_t at = in.mapGrid.nearest(world);
    return at >= 0 && static_cast<std::size_t>(at) < voxels.size() && voxels[static_cast<std::size_t>(at)] != 0;
}

// The edge of the outlined voxels on tile k: a line wherever an outlined
// cell meets one that is not.
void drawOutline(const CairoLibrary& c, cairo_t* cr, const MontageInput& in, const MontageLayout& layout,
                 const WorldFrame& frame, bool radiological, std::size_t k, const std::vector<uint8_t>& voxels) {
    const int32_t plane = layout.slices[k];
    const double left = layout.tileLeft(k), top = layout.tileTop(k), cell = layout.cell;
    const auto inside = [&](int32_t column, int32_t row) {
        return outlined(in, frame, radiological, plane, column, row, voxels);
    };
    c.cairo_new_path(cr);
    bool any = false;
    const auto edge = [&](double x0, double y0, double x1, double y1) {
        c.cairo_move_to(cr, left + x0 * cell, top + y0 * cell);
        c.cairo_line_to(cr, left + x1 * cell, top + y1 * cell);
        any = true;
    };
    for (int32_t row = 0; row < frame.cells[1]; ++row)
        for (int32_t column = 0; column < frame.cells[0]; ++column) {
            if (!inside(column, row)) continue;
            if (!inside(column - 1, row)) edge(column, row, column, row + 1);
            if (!inside(column + 1, row)) edge(column + 1, row, column + 1, row + 1);
            if (!inside(column, row - 1)) edge(column, row, column + 1, row);
            if (!inside(column, row + 1)) edge(column, row + 1, column + 1, row + 1);
        }
    if (!any) return;
    c.cairo_set_source_rgb(cr, 0.2, 1.0, 0.4);
    c.cairo_set_line_width(cr, std::max(1.0, cell / 4.0));
    c.cairo_stroke(cr);
}

// "12" for a whole number of millimetres, else one decimal.
std::string millimetres(double z) {
    if (std::fabs(z - std::round(z)) < 0.05) return std::to_string(static_cast<long long>(std::lround(z)));
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", z);
    return buffer;
}

// The tile scaled into its cell of the page, the slice's world z above it,
// and on the first tile the sides.
void placeTile(const CairoLibrary& c, cairo_t* cr, cairo_surface_t* tile, const MontageLayout& layout,
               const WorldFrame& frame, bool radiological, std::size_t k) {
    const double left = layout.tileLeft(k);
    const double top = layout.tileTop(k);
    c.cairo_save(cr);
    c.cairo_translate(cr, left, top);
    c.cairo_scale(cr, layout.cell, layout.cell);
    c.cairo_set_source_surface(cr, tile, 0.0, 0.0);
    c.cairo_pattern_set_filter(c.cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    c.cairo_rectangle(cr, 0.0, 0.0, frame.cells[0], frame.cells[1]);
    c.cairo_fill(cr);
    c.cairo_restore(cr);
    if (layout.labelHeight == 0) return;
    text(c, cr, left + 1.0, top - 3.0, 10.0, false, "z " + millimetres(frame.worldZ(layout.slices[k])),
         Rgb{0.85, 0.85, 0.85});
    if (k != 0 || layout.tileWidth < 80 || layout.tileHeight < 80) return;
    tileLabel(c, cr, left + 3.0, top + layout.tileHeight / 2.0 + 4.0, radiological ? "R" : "L");
    tileLabel(c, cr, left + layout.tileWidth - 10.0, top + layout.tileHeight / 2.0 + 4.0, radiological ? "L" : "R");
    tileLabel(c, cr, left + layout.tileWidth / 2.0 - 3.0, top + 11.0, "A");
    tileLabel(c, cr, left + layout.tileWidth / 2.0 - 3.0, top + layout.tileHeight - 3.0, "P");
}

// The title and the two lines below it: what is shown, and how the slices lie.
struct TitleLines {
    std::string title, shown, orientation;
};

TitleLines titleLines(const MapDisplay& display, const Underlay* underlay, bool radiological) {
    TitleLines lines;
    lines.title = display.title;
    lines.shown = voxelsShown(display);
    lines.shown += display.isSigned ? ", positive warm, negative cool" : ", warm colours";
    lines.shown += underlay != nullptr ? ", over " + underlay->what : "";
    lines.orientation = radiological ? "axial, inferior to superior, z in mm, R left (radiological), A up"
                                     : "axial, inferior to superior, z in mm, L left, A up";
    return lines;
}

// The picture widened, when need be, so that every line of the title fits:
// the tiles keep their places, the colour bar moves right.
void widenForTitles(const CairoLibrary& c, const TitleLines& lines, MontageLayout& layout) {
    Surface scratch(c.cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1), c.cairo_surface_destroy);
    Context cr(c.cairo_create(scratch.get()), c.cairo_destroy);
    const double widest = std::max({textWidth(c, cr.get(), 15.0, true, lines.title),
                                    textWidth(c, cr.get(), 11.0, false, lines.shown),
                                    textWidth(c, cr.get(), 11.0, false, lines.orientation)});
    layout.width = std::max(layout.width, static_cast<int32_t>(std::ceil(widest)) + 2 * layout.margin);
}

void drawTitles(const CairoLibrary& c, cairo_t* cr, const MontageLayout& layout, const TitleLines& lines) {
    text(c, cr, layout.margin, 22.0, 15.0, true, lines.title, Rgb{1.0, 1.0, 1.0});
    text(c, cr, layout.margin, 42.0, 11.0, false, lines.shown, Rgb{0.85, 0.85, 0.85});
    text(c, cr, layout.margin, 58.0, 11.0, false, lines.orientation, Rgb{0.85, 0.85, 0.85});
}

bool checkSizes(const PlacedGrid& grid, const LdiMap& map, const Underlay* underlay, std::string& problem) {
    if (grid.voxelCount() <= 0 || map.voxels.size() != static_cast<std::size_t>(grid.voxelCount())) {
        problem = "the map " + quoteText(map.name) + " does not match its grid";
        return false;
    }
    if (underlay != nullptr && (underlay->grid.voxelCount() <= 0 ||
                                underlay->values.size() != static_cast<std::size_t>(underlay->grid.voxelCount()))) {
        problem = "the underlay does not match its grid";
        return false;
    }
    Affine ignored{};
    if (!invertAffine(grid.toWorld, ignored) || (underlay != nullptr && !invertAffine(underlay->grid.toWorld, ignored))) {
        problem = "the map or its underlay has a voxel-to-world affine that cannot be inverted";
        return false;
    }
    return true;
}

}  // namespace

bool drawMontage(const PlacedGrid& grid, const LdiMap& map, const MapDisplay& display, const Underlay* underlay,
                 const MontageOptions& options, std::string& png, std::string& problem) {
    if (!checkSizes(grid, map, underlay, problem)) return false;
    const WorldFrame frame = worldFrame(grid);
    MontageLayout layout;
    if (!layoutMontage(frame, options, layout, problem)) return false;
    const CairoLibrary* library = loadCairo(problem);
    if (library == nullptr) return false;
    const CairoLibrary& c = *library;
    const TitleLines lines = titleLines(display, underlay, options.radiological);
    widenForTitles(c, lines, layout);
    Surface page(c.cairo_image_surface_create(CAIRO_FORMAT_RGB24, layout.width, layout.height),
                 c.cairo_surface_destroy);
    Surface tile(c.cairo_image_surface_create(CAIRO_FORMAT_RGB24, frame.cells[0], frame.cells[1]),
                 c.cairo_surface_destroy);
    if (c.cairo_surface_status(page.get()) != CAIRO_STATUS_SUCCESS ||
        c.cairo_surface_status(tile.get()) != CAIRO_STATUS_SUCCESS) {
        problem = "cannot make a picture of " + std::to_string(layout.width) + " x " +
                  std::to_string(layout.height) + " pixels";
        return false;
    }
    Context cr(c.cairo_create(page.get()), c.cairo_destroy);
    c.cairo_set_source_rgb(cr.get(), 0.0, 0.0, 0.0);
    c.cairo_paint(cr.get());

    const GridSampler mapGrid(grid);
    std::unique_ptr<GridSampler> underlayGrid;
    if (underlay != nullptr) underlayGrid = std::make_unique<GridSampler>(underlay->grid);
    // On the map's own grid every cell centre is a voxel centre: nearest gives the image itself.
    const bool nearest = underlay == nullptr || !options.trilinear ||
                         (underlay->grid.dim == grid.dim && sameAffine(underlay->grid.toWorld, grid.toWorld));
    const MontageInput input{map,      display, mapGrid, underlay, underlayGrid.get(), nearest,
                             underlay != nullptr ? underlayGreys(underlay->values) : GreyScale{}};
    for (std::size_t k = 0; k < layout.slices.size(); ++k) {
        paintSlice(c, tile.get(), input, frame, options.radiological, layout.slices[k]);
        placeTile(c, cr.get(), tile.get(), layout, frame, options.radiological, k);
        if (options.outline != nullptr && !options.outline->empty())
            drawOutline(c, cr.get(), input, layout, frame, options.radiological, k, *options.outline);
    }
    drawTitles(c, cr.get(), layout, lines);
    drawColourBar(c, cr.get(), layout, display);
    cr.reset();
    c.cairo_surface_flush(page.get());
    return encodeRgb24Png(c.cairo_image_surface_get_data(page.get()), layout.width, layout.height,
                          c.cairo_image_surface_get_stride(page.get()), png, problem);
}

// Written beside its destination and renamed when complete.
bool writePicture(const std::string& png, const std::string& pngPath, std::string& problem) {
    const fs::path destination(pngPath);
    const fs::path temporary = destination.parent_path() / ("." + destination.filename().string() + ".partial");
    bool written = false;
    {
        std::unique_ptr<std::FILE, FileCloser> file(std::fopen(temporary.string().c_str(), "wb"));
        written = file && std::fwrite(png.data(), 1, png.size(), file.get()) == png.size() &&
                  std::fclose(file.release()) == 0;
    }
    std::error_code error;
    if (!written) {
        const int code = errno;
        fs::remove(temporary, error);
        problem = "cannot write the picture " + pngPath + ": " + std::strerror(code != 0 ? code : EIO);
        return false;
    }
    fs::rename(temporary, destination, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        problem = "cannot write the picture " + pngPath + ": " + error.message();
        return false;
    }
    return true;
}

bool writeMontage(const LdiFile& file, std::size_t mapIndex, const MapDisplay& display,
                  const std::vector<float>& background, const std::string& pngPath, std::string& problem) {
    Underlay underlay{placedLdiGrid(file.geometry), background, "the mean image of the VTC"};
    std::string png;
    return drawMontage(underlay.grid, file.maps.at(mapIndex), display, background.empty() ? nullptr : &underlay,
                       MontageOptions{}, png, problem) &&
           writePicture(png, pngPath, problem);
}

std::string defaultPicturePath(const std::string& ldiPath, const LdiMap& map) {
    std::string base = ldiPath;
    if (base.size() > 4 && equalsIgnoringCase(std::string_view(base).substr(base.size() - 4), ".ldi"))
        base.resize(base.size() - 4);
    return base + "_" + fileLabel(map.name) + ".png";
}

bool findMap(const LdiFile& file, const std::string& which, std::size_t& index, std::string& problem) {
    if (file.maps.empty()) {
        problem = "the file holds no maps";
        return false;
    }
    if (which.empty()) {
        index = 0;
        return true;
    }
    for (std::size_t m = 0; m < file.maps.size(); ++m)
        if (file.maps[m].name == which) {
            index = m;
            return true;
        }
    int32_t number = 0;
    if (parseInt32(which, number) && number >= 0 && static_cast<std::size_t>(number) < file.maps.size()) {
        index = static_cast<std::size_t>(number);
        return true;
    }
    std::string list;
    for (std::size_t m = 0; m < file.maps.size(); ++m)
        list += "\n  " + std::to_string(m) + ": " + file.maps[m].name;
    problem = "no map " + quoteText(which) + "; give --map with a number from 0 to " +
              std::to_string(file.maps.size() - 1) + " or a name:" + list;
    return false;
}

std::string voxelsShown(const MapDisplay& display) {
    // The title already says when no voxel passes; the count stays a count.
    return std::to_string(display.shownVoxels) + (display.shownVoxels == 1 ? " voxel shown" : " voxels shown");
}

PictureSession::~PictureSession() {
    // Nothing to release when no picture was drawn (cairo was never loaded).
    const CairoLibrary* c = loadedCairo();
    if (c == nullptr) return;
    c->cairo_debug_reset_static_data();
    c->FcFini();
}

}  // namespace ldi
