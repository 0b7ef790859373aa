// Loads the plug-in library the way a host does and prints what it says about itself.
#include <dlfcn.h>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: plugin_smoke PATH-TO-LDIPlugin_v15.so\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "could not load the plug-in %s: %s\n", argv[1], dlerror());
        return 1;
    }
    using TextFunction = const char* (*)();
    const char* names[] = {"getPluginName", "getPluginDescription", "getAuthor", "getHelpFile",
                           "getRegistrationOfGenericComponentLoader", "getGUIScript"};
    int missing = 0;
    for (const char* name : names) {
        auto function = reinterpret_cast<TextFunction>(dlsym(library, name));
        if (function == nullptr) {
            std::fprintf(stderr, "the plug-in does not export %s\n", name);
            ++missing;
            continue;
        }
        const char* text = function();
        std::printf("%s: %s\n", name, text != nullptr ? text : "(null)");
    }
    if (dlsym(library, "createPlugin") == nullptr) {
        std::fprintf(stderr, "the plug-in does not export createPlugin\n");
        ++missing;
    }
    dlclose(library);
    return missing == 0 ? 0 : 1;
}
