#include "host/cairo_library.h"

#include <dlfcn.h>

#include <atomic>
#include <type_traits>

namespace ldi_host {
namespace {

struct Loaded {
    CairoLibrary library;
    std::string problem;  // empty when loaded
};

std::atomic<const CairoLibrary*> loadedLibrary{nullptr};

Loaded load() {
    Loaded result;
    CairoLibrary& c = result.library;
    // The names the run-time packages install (libcairo2, libfontconfig1).
    void* cairo = ::dlopen("libcairo.so.2", RTLD_NOW | RTLD_LOCAL);
    void* fontconfig = cairo != nullptr ? ::dlopen("libfontconfig.so.1", RTLD_NOW | RTLD_LOCAL) : nullptr;
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
    loadedLibrary.store(&loaded.library);
    return &loaded.library;
}

const CairoLibrary* loadedCairo() { return loadedLibrary.load(); }

}  // namespace ldi_host
