#include "pictures/cairo_library.h"

#include <dlfcn.h>

#include <type_traits>

namespace ldi {
namespace {

struct Loaded {
    CairoLibrary library;
    std::string problem;  // empty when loaded
};

// The names the run-time packages install (libcairo2, libfontconfig1).
constexpr const char* kCairoName = "libcairo.so.2";
constexpr const char* kFontconfigName = "libfontconfig.so.1";

Loaded load() {
    Loaded result;
    CairoLibrary& c = result.library;
    void* cairo = ::dlopen(kCairoName, RTLD_NOW | RTLD_LOCAL);
    void* fontconfig = cairo != nullptr ? ::dlopen(kFontconfigName, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (cairo == nullptr || fontconfig == nullptr) {
        const char* reason = ::dlerror();
        result.problem = std::string("cannot draw pictures: cairo could not be loaded (") +
                         (reason != nullptr ? reason : "unknown reason") +
                         "); install cairo and fontconfig (Debian: libcairo2, libfontconfig1)";
        return result;
    }
    std::string missing;
    const auto find = [&missing](void* library, const char* name, auto& function) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(library, name));
        if (function == nullptr) missing += std::string(missing.empty() ? "" : ", ") + name;
    };
#define LDI_CAIRO_FIND(name) find(cairo, #name, c.name);
    LDI_CAIRO_FUNCTIONS(LDI_CAIRO_FIND)
#undef LDI_CAIRO_FIND
    find(fontconfig, "FcFini", c.FcFini);
    if (!missing.empty())
        result.problem = "cannot draw pictures: the installed cairo lacks " + missing + "; install cairo 1.10 or later";
    return result;
}

}  // namespace

const CairoLibrary* loadCairo(std::string& problem) {
    static const Loaded loaded = load();
    if (!loaded.problem.empty()) {
        problem = loaded.problem;
        return nullptr;
    }
    return &loaded.library;
}

const CairoLibrary* loadedCairo() {
    // The system knows whether cairo is loaded; asking it loads nothing.
    void* cairo = ::dlopen(kCairoName, RTLD_NOW | RTLD_NOLOAD);
    if (cairo == nullptr) return nullptr;
    ::dlclose(cairo);
    std::string ignored;
    return loadCairo(ignored);
}

}  // namespace ldi
