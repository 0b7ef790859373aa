// cairo (and fontconfig, which its text uses), loaded when the first picture
// is drawn rather than when ldi starts: only `ldi show` and `ldi demo` draw,
// and loading cairo with the seventeen libraries it depends on would add
// about 0.7 ms to the start of every other command.
#pragma once

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <string>

namespace ldi {

// The functions the pictures use, under their own names.
#define LDI_CAIRO_FUNCTIONS(X)                                                                                 \
    X(cairo_create) X(cairo_destroy) X(cairo_debug_reset_static_data) X(cairo_fill) X(cairo_get_source)          \
    X(cairo_image_surface_create) X(cairo_image_surface_get_data) X(cairo_image_surface_get_stride)              \
    X(cairo_move_to) X(cairo_paint) X(cairo_pattern_add_color_stop_rgb) X(cairo_pattern_create_linear)           \
    X(cairo_pattern_destroy) X(cairo_pattern_set_filter) X(cairo_rectangle) X(cairo_restore) X(cairo_save)       \
    X(cairo_scale) X(cairo_select_font_face) X(cairo_set_font_size) X(cairo_set_source)                          \
    X(cairo_set_source_rgb) X(cairo_set_source_surface) X(cairo_show_text) X(cairo_surface_destroy)             \
    X(cairo_surface_flush) X(cairo_surface_mark_dirty) X(cairo_surface_status) X(cairo_translate)                \
    X(cairo_text_extents) X(cairo_set_source_rgba) X(cairo_line_to) X(cairo_stroke) X(cairo_set_line_width)     \
    X(cairo_new_path)

struct CairoLibrary {
#define LDI_CAIRO_MEMBER(name) decltype(&::name) name = nullptr;
    LDI_CAIRO_FUNCTIONS(LDI_CAIRO_MEMBER)
#undef LDI_CAIRO_MEMBER
    decltype(&::FcFini) FcFini = nullptr;
};

// Loads the libraries on the first call (from any thread; they stay loaded).
// nullptr with a message naming what is missing when they cannot be loaded.
const CairoLibrary* loadCairo(std::string& problem);

// The library when it has been loaded, without loading it.
const CairoLibrary* loadedCairo();

}  // namespace ldi
