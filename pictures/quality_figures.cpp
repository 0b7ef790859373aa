#include "pictures/quality_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "pictures/cairo_library.h"
#include "pictures/png_encoding.h"

namespace ldi {

namespace {

constexpr int32_t WIDTH = 960;
constexpr int32_t LEFT = 150;  // the groups' names
constexpr int32_t RIGHT = 20;
constexpr int32_t BAND = 56;   // the height of a trace's band
constexpr int32_t MIN_CARPET = 240;

// The conditions' colours, as the seed's time course shades them.
constexpr double CONDITION_RGB[6][3] = {{0.957, 0.635, 0.380}, {0.165, 0.616, 0.561}, {0.906, 0.435, 0.318},
                                        {0.541, 0.694, 0.490}, {0.616, 0.306, 0.867}, {0.914, 0.769, 0.416}};
constexpr double GROUP_RGB[3][3] = {{0.2, 1.0, 0.4}, {0.55, 0.7, 1.0}, {0.6, 0.6, 0.6}};

using Surface = std::unique_ptr<cairo_surface_t, decltype(CairoLibrary::cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(CairoLibrary::cairo_destroy)>;

std::string shortNumber(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", value);
    return buffer;
}

void write(const CairoLibrary& c, cairo_t* cr, double x, double y, double size, const std::string& line,
           double grey = 0.9) {
    c.cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    c.cairo_set_font_size(cr, size);
    c.cairo_set_source_rgb(cr, grey, grey, grey);
    c.cairo_move_to(cr, x, y);
    c.cairo_show_text(cr, line.c_str());
}

// A trace over the volumes in a band, scaled to its own range, with the range written left of it.
void drawTrace(const CairoLibrary& c, cairo_t* cr, const CarpetLayout& l, int32_t top, const std::vector<float>& values,
               const std::string& name, const std::string& unit) {
    double low = 0.0, high = 0.0;
    const bool any = finiteRange(values, low, high);
    write(c, cr, 8, top + 14, 11, name);
    write(c, cr, 8, top + 30, 10, shortNumber(low) + " to " + shortNumber(high) + unit, 0.7);
    c.cairo_set_source_rgb(cr, 0.12, 0.12, 0.12);
    c.cairo_rectangle(cr, l.left, top, l.plotWidth, l.bandHeight);
    c.cairo_fill(cr);
    if (!any) return;
    const double range = high > low ? high - low : 1.0;
    const double n = std::max<double>(static_cast<double>(values.size()), 1.0);
    c.cairo_new_path(cr);
    bool started = false;
    for (std::size_t t = 0; t < values.size(); ++t) {
        if (!std::isfinite(values[t])) continue;
        const double x = l.left + (t + 0.5) / n * l.plotWidth;
        const double y = top + l.bandHeight - 3.0 - (values[t] - low) / range * (l.bandHeight - 6.0);
        if (started) c.cairo_line_to(cr, x, y);
        else c.cairo_move_to(cr, x, y);
        started = true;
    }
    c.cairo_set_source_rgb(cr, 1.0, 0.85, 0.3);
    c.cairo_set_line_width(cr, 1.2);
    c.cairo_stroke(cr);
}

// The rows as a picture of one pixel a value: grey from z -2.5 (black) to 2.5 (white).
bool paintRows(const CairoLibrary& c, cairo_surface_t* raster, const CarpetFigure& f) {
    if (c.cairo_surface_status(raster) != CAIRO_STATUS_SUCCESS) return false;
    c.cairo_surface_flush(raster);
    unsigned char* data = c.cairo_image_surface_get_data(raster);
    const int stride = c.cairo_image_surface_get_stride(raster);
    const std::size_t length = static_cast<std::size_t>(f.volumes);
    for (std::size_t row = 0; length > 0 && row < f.rows.size() / length; ++row) {
        auto* pixels = reinterpret_cast<uint32_t*>(data + static_cast<std::ptrdiff_t>(row) * stride);
        for (std::size_t t = 0; t < length; ++t) {
            const float z = f.rows[row * length + t];
            // Sixteen greys: the eye tells no more apart in noise, and the
            // picture packs to half the bytes of 256.
            const double level = std::isfinite(z) ? std::clamp(0.5 + z / 5.0, 0.0, 1.0) : 0.0;
            const auto g = static_cast<uint32_t>(std::lround(level * 15.0) * 17);
            pixels[t] = (g << 16) | (g << 8) | g;
        }
    }
    c.cairo_surface_mark_dirty(raster);
    return true;
}

void drawGroups(const CairoLibrary& c, cairo_t* cr, const CarpetLayout& l, const CarpetFigure& f, double rowHeight) {
    double top = l.carpetTop;
    for (std::size_t g = 0; g < f.groups.size(); ++g) {
        const double height = f.groups[g].rows * rowHeight;
        const double* rgb = GROUP_RGB[std::min<std::size_t>(g, 2)];
        c.cairo_set_source_rgb(cr, rgb[0], rgb[1], rgb[2]);
        c.cairo_rectangle(cr, l.left - 8, top, 5, height);
        c.cairo_fill(cr);
        if (height >= 12.0) {
            write(c, cr, 8, top + std::min(height / 2.0 + 4.0, 13.0), 11, f.groups[g].name);
            if (height >= 26.0) write(c, cr, 8, top + 26, 10, std::to_string(f.groups[g].rows) + " voxels", 0.7);
        }
        top += height;
    }
}

// The skipped volumes shaded red across every band, and the conditions' strip.
void drawMarks(const CairoLibrary& c, cairo_t* cr, const CarpetLayout& l, const CarpetFigure& f) {
    const double perVolume = static_cast<double>(l.plotWidth) / std::max(f.volumes, 1);
    for (const Shade& s : f.conditions) {
        const double* rgb = CONDITION_RGB[s.condition % 6];
        c.cairo_set_source_rgb(cr, rgb[0], rgb[1], rgb[2]);
        c.cairo_rectangle(cr, l.left + (s.first - 1) * perVolume, l.stripTop, (s.last - s.first + 1) * perVolume, 10);
        c.cairo_fill(cr);
    }
    write(c, cr, 8, l.stripTop + 9, 10, "conditions", 0.7);
    if (f.skipped > 0) {
        c.cairo_set_source_rgba(cr, 0.9, 0.1, 0.1, 0.35);
        c.cairo_rectangle(cr, l.left, l.globalTop, f.skipped * perVolume, l.carpetTop + l.carpetHeight - l.globalTop);
        c.cairo_fill(cr);
    }
    double x = l.left;
    if (f.skipped > 0) {
        c.cairo_set_source_rgba(cr, 0.9, 0.1, 0.1, 0.6);
        c.cairo_rectangle(cr, x, l.legendTop + 2, 12, 10);
        c.cairo_fill(cr);
        write(c, cr, x + 16, l.legendTop + 11, 11, "skipped (" + std::to_string(f.skipped) + ")");
        x += 110;
    }
    for (std::size_t n = 0; n < f.conditionNames.size() && x < l.width - 60; ++n) {
        const double* rgb = CONDITION_RGB[n % 6];
        c.cairo_set_source_rgb(cr, rgb[0], rgb[1], rgb[2]);
        c.cairo_rectangle(cr, x, l.legendTop + 2, 12, 10);
        c.cairo_fill(cr);
        write(c, cr, x + 16, l.legendTop + 11, 11, f.conditionNames[n]);
        x += 30 + 7.0 * static_cast<double>(f.conditionNames[n].size());
    }
}

}  // namespace

CarpetFigure carpetOf(const RunQuality& quality, const std::vector<uint8_t>& analysed,
                      const std::vector<uint8_t>& seeds, std::size_t maxRows) {
    CarpetFigure figure;
    figure.volumes = quality.volumes;
    figure.skipped = quality.skipped;
    const auto length = static_cast<std::size_t>(std::max(quality.volumes, 0));
    const auto flagged = [](const std::vector<uint8_t>& flags, int64_t v) {
        return static_cast<std::size_t>(v) < flags.size() && flags[static_cast<std::size_t>(v)] != 0;
    };
    // Per group, the rows that vary over the analysed volumes.
    std::vector<std::size_t> members[3];
    for (std::size_t row = 0; length > 0 && row < quality.carpetVoxels.size(); ++row) {
        const float* values = quality.carpet.data() + row * length;
        double sum = 0.0, squares = 0.0;
        const auto n = static_cast<double>(length - static_cast<std::size_t>(quality.skipped));
        bool finite = n >= 2.0;
        for (std::size_t t = static_cast<std::size_t>(quality.skipped); t < length; ++t) {
            finite = finite && std::isfinite(values[t]);
            sum += values[t];
            squares += double(values[t]) * values[t];
        }
        const double mean = finite ? sum / n : 0.0;
        if (!finite || squares / n - mean * mean <= 1e-10 * (mean * mean + 1e-30)) continue;
        const int64_t v = quality.carpetVoxels[row];
        members[flagged(seeds, v) ? 0 : flagged(analysed, v) ? 1 : 2].push_back(row);
    }
    const char* names[3] = {"seeds", "analysed", "not analysed"};
    std::size_t total = members[0].size() + members[1].size() + members[2].size();
    std::vector<float> global(length, 0.0f);
    std::vector<std::size_t> kept;
    for (int g = 0; g < 3; ++g) {
        const std::vector<std::size_t>& rows = members[g];
        // Each group keeps its share of the rows (at least one when it has any).
        const std::size_t share =
            total <= maxRows ? rows.size()
                             : std::min(rows.size(), std::max<std::size_t>(rows.empty() ? 0 : 1, rows.size() * maxRows / total));
        for (std::size_t k = 0; k < share; ++k) kept.push_back(rows[k * rows.size() / share]);
        if (share > 0) figure.groups.push_back(CarpetGroup{names[g], static_cast<int32_t>(share)});
    }
    // The global signal: the mean of the analysed rows (of every row when none is analysed).
    const std::size_t globalRows = members[1].empty() ? total : members[1].size();
    for (int g = members[1].empty() ? 0 : 1; g < (members[1].empty() ? 3 : 2); ++g)
        for (std::size_t row : members[g])
            for (std::size_t t = 0; t < length; ++t) global[t] += quality.carpet[row * length + t] / float(globalRows);
    if (globalRows > 0) figure.globalSignal = std::move(global);
    for (std::size_t row : kept) {
        const float* values = quality.carpet.data() + row * length;
        double sum = 0.0, squares = 0.0;
        const auto n = static_cast<double>(length - static_cast<std::size_t>(quality.skipped));
        for (std::size_t t = static_cast<std::size_t>(quality.skipped); t < length; ++t) {
            sum += values[t];
            squares += double(values[t]) * values[t];
        }
        const double mean = sum / n;
        const double sd = std::sqrt(std::max((squares - n * mean * mean) / (n - 1.0), 0.0));
        for (std::size_t t = 0; t < length; ++t)
            figure.rows.push_back(static_cast<float>((values[t] - mean) / (sd > 0.0 ? sd : 1.0)));
    }
    return figure;
}

CarpetLayout layoutCarpet(const CarpetFigure& figure) {
    CarpetLayout l;
    l.width = WIDTH;
    l.left = LEFT;
    l.plotWidth = WIDTH - LEFT - RIGHT;
    l.bandHeight = BAND;
    l.globalTop = 32;
    int32_t y = l.globalTop + BAND + 8;
    if (!figure.framewiseDisplacement.empty()) {
        l.fdTop = y;
        y += BAND + 8;
    }
    l.stripTop = y;
    l.carpetTop = y + 14;
    const int32_t rows = figure.volumes > 0 ? static_cast<int32_t>(figure.rows.size() / figure.volumes) : 0;
    l.carpetHeight = std::max(rows, MIN_CARPET);
    l.axisTop = l.carpetTop + l.carpetHeight;
    l.legendTop = l.axisTop + 22;
    l.height = l.legendTop + 20;
    return l;
}

bool drawCarpet(const CarpetFigure& f, std::string& png, std::string& problem) {
    const CairoLibrary* library = loadCairo(problem);
    if (library == nullptr) return false;
    const CairoLibrary& c = *library;
    const CarpetLayout l = layoutCarpet(f);
    const int32_t rows = f.volumes > 0 ? static_cast<int32_t>(f.rows.size() / f.volumes) : 0;
    Surface page(c.cairo_image_surface_create(CAIRO_FORMAT_RGB24, l.width, l.height), c.cairo_surface_destroy);
    Surface raster(c.cairo_image_surface_create(CAIRO_FORMAT_RGB24, std::max(f.volumes, 1), std::max(rows, 1)),
                   c.cairo_surface_destroy);
    if (c.cairo_surface_status(page.get()) != CAIRO_STATUS_SUCCESS || !paintRows(c, raster.get(), f)) {
        problem = "cannot make a carpet plot of " + std::to_string(rows) + " rows and " + std::to_string(f.volumes) +
                  " volumes";
        return false;
    }
    Context cr(c.cairo_create(page.get()), c.cairo_destroy);
    c.cairo_set_source_rgb(cr.get(), 0.0, 0.0, 0.0);
    c.cairo_paint(cr.get());
    write(c, cr.get(), 8, 20, 14, f.title, 1.0);
    drawTrace(c, cr.get(), l, l.globalTop, f.globalSignal, "global signal", "");
    if (l.fdTop >= 0) drawTrace(c, cr.get(), l, l.fdTop, f.framewiseDisplacement, "framewise displ.", " mm");
    if (rows > 0) {
        const double rowHeight = static_cast<double>(l.carpetHeight) / rows;
        c.cairo_save(cr.get());
        c.cairo_translate(cr.get(), l.left, l.carpetTop);
        c.cairo_scale(cr.get(), static_cast<double>(l.plotWidth) / f.volumes, rowHeight);
        c.cairo_set_source_surface(cr.get(), raster.get(), 0.0, 0.0);
        c.cairo_pattern_set_filter(c.cairo_get_source(cr.get()), CAIRO_FILTER_NEAREST);
        c.cairo_rectangle(cr.get(), 0.0, 0.0, f.volumes, rows);
        c.cairo_fill(cr.get());
        c.cairo_restore(cr.get());
        drawGroups(c, cr.get(), l, f, rowHeight);
    } else {
        write(c, cr.get(), l.left + 8, l.carpetTop + 20, 11, "no sampled voxel varies over time");
    }
    drawMarks(c, cr.get(), l, f);
    write(c, cr.get(), l.left, l.axisTop + 14, 10, "1", 0.7);
    write(c, cr.get(), l.left + l.plotWidth / 2.0 - 40, l.axisTop + 14, 10, "volume (z over time, black -2.5 to white 2.5)", 0.7);
    write(c, cr.get(), l.left + l.plotWidth - 24, l.axisTop + 14, 10, std::to_string(f.volumes), 0.7);
    cr.reset();
    c.cairo_surface_flush(page.get());
    return encodeRgb24Png(c.cairo_image_surface_get_data(page.get()), l.width, l.height,
                          c.cairo_image_surface_get_stride(page.get()), png, problem);
}

}  // namespace ldi
