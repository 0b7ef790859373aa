// A bare host for checking how the plug-in DLL starts: it exports the host
// functions initPlugin uses (one build leaves out syGetVersionOfSynapsa, the
// one the plug-in cannot do without), reports the version given on its
// command line, loads the DLL with LoadLibrary, creates the plug-in object and
// calls initPlugin. Prints each message box and the answer of initPlugin.
//
//   start_host PLUGIN.dll MAJOR MINOR PATCH
//
// Exit status: 0 initPlugin returned true, 1 it returned false, 2 the DLL
// could not be used.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The plug-in's abstract interface as a host sees it (slot order: destructor,
// execute, initPlugin). Not in an unnamed namespace: the compiler would see
// that nothing in this program derives from it and drop the calls.
class PluginInterface {
public:
    virtual ~PluginInterface() = default;
    virtual bool execute() = 0;
    virtual bool initPlugin() = 0;
};

namespace {

int hostVersion[3] = {0, 0, 0};

template <typename Function>
Function procedure(HMODULE library, const char* name) {
    FARPROC address = GetProcAddress(library, name);
    Function function = nullptr;
    static_assert(sizeof function == sizeof address, "procedure and function pointers differ in size");
    std::memcpy(&function, &address, sizeof function);
    return function;
}

}  // namespace

extern "C" {
#if !defined(LDI_HOST_WITHOUT_VERSION)
__declspec(dllexport) void syGetVersionOfSynapsa(int* major, int* minor, int* patch) {
    *major = hostVersion[0];
    *minor = hostVersion[1];
    *patch = hostVersion[2];
}
#endif
__declspec(dllexport) void syMessageBox(const char* richText) {
    std::printf("message: %s\n", richText != nullptr ? richText : "(null)");
}
__declspec(dllexport) void syLogText(const char* text) {
    std::printf("log: %s\n", text != nullptr ? text : "(null)");
}
}

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: start_host PLUGIN.dll MAJOR MINOR PATCH\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // everything printed survives a crash
    for (int i = 0; i < 3; ++i) hostVersion[i] = std::atoi(argv[2 + i]);
    HMODULE library = LoadLibraryA(argv[1]);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    auto create = procedure<PluginInterface* (*)()>(library, "createPlugin");
    PluginInterface* plugin = create != nullptr ? create() : nullptr;
    if (plugin == nullptr) {
        std::fprintf(stderr, "%s made no plug-in object\n", argv[1]);
        FreeLibrary(library);
        return 2;
    }
    const bool started = plugin->initPlugin();
    std::printf("initPlugin: %s\n", started ? "true" : "false");
    std::fflush(stdout);
    delete plugin;
    FreeLibrary(library);
    return started ? 0 : 1;
}
