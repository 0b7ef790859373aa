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
#include "formats/result_index.h"
#include "formats/text_util.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

constexpr int32_t MAX_TILES = 64;
constexpr int32_t TILE_TARGET = 128;  // pixels along the longer edge of a slice
constexpr int32_t MAX_CELL = 16;
constexpr int32_t MIN_CONTENT_HEIGHT = 220;  // room for the colour bar
constexpr int32_t MIN_WIDTH = 480;           // room for the title

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

// The vertical colour bar right of the tiles, with its values.
void drawColourBar(const CairoLibrary& c, cairo_t* cr, const MontageLayout& layout, const MapDisplay& display) {
    const Rgb label{0.9, 0.9, 0.9};
    const double x = layout.width - layout.barAreaWidth + 8.0;
    const double top = layout.titleHeight + 8.0;
    const double width = 18.0;
    const double height = std::min<double>(layout.height - layout.margin - top, 260.0);
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
        text(c, cr, labelX, top + half + 24.0, small, false, shortNumber(-display.threshold), label);
        text(c, cr, labelX, top + height, small, false, shortNumber(-display.top), label);
    }
    text(c, cr, x, top + height + 18.0, small, false, "hidden:", label);
    text(c, cr, x, top + height + 32.0, small, false,
         "|value| < " + shortNumber(display.threshold), label);
}

}  // namespace

MontageLayout layoutMontage(int32_t dimX, int32_t dimY, int32_t dimZ) {
    MontageLayout layout;
    const int32_t stride = std::max<int32_t>(1, (dimY + MAX_TILES - 1) / MAX_TILES);
    for (int32_t y = dimY - 1; y >= 0; y -= stride) layout.slices.push_back(y);
    const int32_t count = static_cast<int32_t>(layout.slices.size());
    const int32_t longer = std::max(dimX, dimZ);
    layout.cell = std::clamp<int32_t>((TILE_TARGET + longer - 1) / longer, 1, MAX_CELL);
    layout.tileWidth = dimZ * layout.cell;
    layout.tileHeight = dimX * layout.cell;
    // Somewhat wider than high, like a screen.
    const double aspect = static_cast<double>(layout.tileHeight) / layout.tileWidth;
    layout.columns = std::clamp<int32_t>(static_cast<int32_t>(std::ceil(std::sqrt(count * aspect * 1.5))), 1,
                                         std::max(count, 1));
    layout.rows = (count + layout.columns - 1) / layout.columns;
    layout.gap = 4;
    layout.margin = 10;
    layout.titleHeight = 52;
    layout.barAreaWidth = 110;
    const int32_t tilesWidth = layout.columns * layout.tileWidth + (layout.columns - 1) * layout.gap;
    const int32_t tilesHeight = layout.rows * layout.tileHeight + (layout.rows - 1) * layout.gap;
    layout.width = std::max(layout.margin + tilesWidth + layout.margin + layout.barAreaWidth, MIN_WIDTH);
    layout.height = layout.titleHeight + std::max(tilesHeight, MIN_CONTENT_HEIGHT) + layout.margin;
    return layout;
}


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
    if (!(display.threshold >= 0.0f)) display.threshold = 0.0f;  // NaN or negative: nothing to hide by
    // As in the host's display: negative values are shown only by maps that
    // have colours for them (the differences), not by the three measures.
    display.isSigned = map.negativeColourLow != 0 || map.negativeColourHigh != 0;
    display.top = display.threshold;
    for (float v : map.voxels) {
        if (!isShown(display, v) || !std::isfinite(v)) continue;
        ++display.shownVoxels;
        display.top = std::max(display.top, std::fabs(v));
    }
    display.title = title;
    return true;
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

// Grey levels of the background: its nonzero values from the 1st to the 99th
// percentile span 15 % to 70 % white, so the colours stand out.
struct GreyScale {
    double dark = 0.0;
    double white = 1.0;
};

GreyScale backgroundGreys(const std::vector<float>& background) {
    GreyScale greys;
    std::vector<float> inside;
    for (float v : background)
        if (v > 0.0f && std::isfinite(v)) inside.push_back(v);
    if (!inside.empty()) {
        std::sort(inside.begin(), inside.end());
        greys.dark = inside[inside.size() / 100];
        greys.white = std::max(static_cast<double>(inside[inside.size() * 99 / 100]), greys.dark + 1e-6);
    }
    return greys;
}

// What one montage draws from: the map, its display, and the background.
struct MontageInput {
    const LdiGeometry& geometry;
    const LdiMap& map;
    const MapDisplay& display;
    const std::vector<float>& background;  // empty: none
    GreyScale greys;
};

// The colour of voxel `at`: warm or cool above the threshold, else the
// background's grey, or a grey that tells computed voxels from empty ones.
Rgb voxelColour(const MontageInput& in, std::size_t at) {
    const MapDisplay& display = in.display;
    const float value = in.map.voxels[at];
    if (isShown(display, value) && std::isfinite(value)) {
        const double range = display.top > display.threshold ? display.top - display.threshold : 1.0;
        const double f = std::clamp((std::fabs(value) - display.threshold) / range, 0.0, 1.0);
        return value > 0.0f ? warm(f) : cool(f);
    }
    if (!in.background.empty()) {
        const double v = in.background[at];
        const GreyScale& g = in.greys;
        const double level = v > 0.0 ? 0.15 + 0.55 * std::clamp((v - g.dark) / (g.white - g.dark), 0.0, 1.0) : 0.0;
        return Rgb{level, level, level};
    }
    if (value != 0.0f) return Rgb{0.25, 0.25, 0.25};  // computed, below the threshold
    return Rgb{0.07, 0.07, 0.07};                     // no value (outside, skipped or ill-defined)
}

// The axial slice at grid row y into `tile`, one pixel a voxel. Rows: x,
// anterior first; columns: z reversed, the head's left first.
void paintSlice(const CairoLibrary& c, cairo_surface_t* tile, const MontageInput& in, int32_t y) {
    const LdiGeometry& g = in.geometry;
    const std::size_t sliceVoxels = static_cast<std::size_t>(g.dimX) * g.dimY;
    c.cairo_surface_flush(tile);
    unsigned char* data = c.cairo_image_surface_get_data(tile);
    const int stride = c.cairo_image_surface_get_stride(tile);
    for (int32_t x = 0; x < g.dimX; ++x) {
        auto* row = reinterpret_cast<uint32_t*>(data + static_cast<std::ptrdiff_t>(x) * stride);
        for (int32_t column = 0; column < g.dimZ; ++column) {
            const int32_t z = g.dimZ - 1 - column;
            const std::size_t at = static_cast<std::size_t>(z) * sliceVoxels + static_cast<std::size_t>(y) * g.dimX + x;
            row[column] = packRgb(voxelColour(in, at));
        }
    }
    c.cairo_surface_mark_dirty(tile);
}

// The tile scaled into its cell of the page, with the slice's Talairach
// height, and on the first tile the sides.
void placeTile(const CairoLibrary& c, cairo_t* cr, cairo_surface_t* tile, const MontageLayout& layout,
               const LdiGeometry& g, std::size_t k) {
    const double left = layout.tileLeft(k);
    const double top = layout.tileTop(k);
    c.cairo_save(cr);
    c.cairo_translate(cr, left, top);
    c.cairo_scale(cr, layout.cell, layout.cell);
    c.cairo_set_source_surface(cr, tile, 0.0, 0.0);
    c.cairo_pattern_set_filter(c.cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    c.cairo_rectangle(cr, 0.0, 0.0, g.dimZ, g.dimX);
    c.cairo_fill(cr);
    c.cairo_restore(cr);
    const Rgb faint{0.6, 0.6, 0.6};
    if (layout.tileHeight < 40) return;
    const int32_t talairachZ = 128 - g.yStart - layout.slices[k] * g.resolution;
    text(c, cr, left + 3.0, top + 11.0, 10.0, false, "z " + std::to_string(talairachZ), faint);
    if (k != 0 || layout.tileWidth < 80 || layout.tileHeight < 80) return;
    text(c, cr, left + 3.0, top + layout.tileHeight / 2.0 + 4.0, 10.0, false, "L", faint);
    text(c, cr, left + layout.tileWidth - 10.0, top + layout.tileHeight / 2.0 + 4.0, 10.0, false, "R", faint);
    text(c, cr, left + layout.tileWidth / 2.0 - 3.0, top + 11.0, 10.0, false, "A", faint);
    text(c, cr, left + layout.tileWidth / 2.0 - 3.0, top + layout.tileHeight - 3.0, 10.0, false, "P", faint);
}

void drawTitles(const CairoLibrary& c, cairo_t* cr, const MontageLayout& layout, const MapDisplay& display,
                bool overBackground) {
    text(c, cr, layout.margin, 22.0, 15.0, true, display.title, Rgb{1.0, 1.0, 1.0});
    std::string subtitle = voxelsShown(display);
    subtitle += display.isSigned ? ", positive warm, negative cool" : ", warm colours";
    subtitle += overBackground ? ", over the mean image of the VTC" : "";
    subtitle += "; axial, inferior to superior, L left, A up";
    text(c, cr, layout.margin, 42.0, 11.0, false, subtitle, Rgb{0.85, 0.85, 0.85});
}

// Written beside its destination and renamed when complete.
bool writePng(const CairoLibrary& c, cairo_surface_t* page, const std::string& pngPath, std::string& problem) {
    const fs::path destination(pngPath);
    const fs::path temporary =
        destination.parent_path() / ("." + destination.filename().string() + ".partial");
    const cairo_status_t status = c.cairo_surface_write_to_png(page, temporary.c_str());
    std::error_code error;
    if (status != CAIRO_STATUS_SUCCESS) {
        fs::remove(temporary, error);
        problem = "cannot write the picture " + pngPath + ": " + c.cairo_status_to_string(status);
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

}  // namespace

bool writeMontage(const LdiFile& file, std::size_t mapIndex, const MapDisplay& display,
                  const std::vector<float>& background, const std::string& pngPath, std::string& problem) {
    const LdiGeometry& g = file.geometry;
    const LdiMap& map = file.maps.at(mapIndex);
    const std::size_t voxelCount = static_cast<std::size_t>(g.voxelCount());
    if (map.voxels.size() != voxelCount || (!background.empty() && background.size() != voxelCount)) {
        problem = "the map " + quoteText(map.name) + " does not match its grid";
        return false;
    }
    const MontageLayout layout = layoutMontage(g.dimX, g.dimY, g.dimZ);
    const CairoLibrary* library = loadCairo(problem);
    if (library == nullptr) return false;
    const CairoLibrary& c = *library;
    Surface page(c.cairo_image_surface_create(CAIRO_FORMAT_RGB24, layout.width, layout.height),
                 c.cairo_surface_destroy);
    Surface tile(c.cairo_image_surface_create(CAIRO_FORMAT_RGB24, g.dimZ, g.dimX), c.cairo_surface_destroy);
    if (c.cairo_surface_status(page.get()) != CAIRO_STATUS_SUCCESS ||
        c.cairo_surface_status(tile.get()) != CAIRO_STATUS_SUCCESS) {
        problem = "cannot make a picture of " + std::to_string(layout.width) + " x " +
                  std::to_string(layout.height) + " pixels";
        return false;
    }
    Context cr(c.cairo_create(page.get()), c.cairo_destroy);
    c.cairo_set_source_rgb(cr.get(), 0.0, 0.0, 0.0);
    c.cairo_paint(cr.get());

    const MontageInput input{g, map, display, background, background.empty() ? GreyScale{} : backgroundGreys(background)};
    for (std::size_t k = 0; k < layout.slices.size(); ++k) {
        paintSlice(c, tile.get(), input, layout.slices[k]);
        placeTile(c, cr.get(), tile.get(), layout, g, k);
    }
    drawTitles(c, cr.get(), layout, display, !background.empty());
    drawColourBar(c, cr.get(), layout, display);
    cr.reset();
    c.cairo_surface_flush(page.get());
    return writePng(c, page.get(), pngPath, problem);
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
    if (display.nonePasses) return "no voxel passes at q = " + shortNumber(display.q);
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
