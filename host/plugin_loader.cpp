#include "host/plugin_loader.h"

#if defined(_WIN32)
#include <windows.h>

#include <cstring>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <memory>

#include "host/host_state.h"

namespace ldi {

namespace {

#if defined(_WIN32)
const char PLUGIN_FILE_NAME[] = "LDIPlugin_v15.dll";
#else
const char PLUGIN_FILE_NAME[] = "LDIPlugin_v15.so";
#endif

// The plug-in's object is of its own class, derived from its own declaration
// of the same interface: the slots agree, the type names do not. The dynamic
// type check of the undefined-behaviour sanitizer cannot know that, so the
// calls into the object are left out of it.
#if defined(__GNUC__)
#define LDI_CALLS_PLUGIN_OBJECT __attribute__((no_sanitize("vptr")))
#else
#define LDI_CALLS_PLUGIN_OBJECT
#endif

struct PluginDeleter {
    LDI_CALLS_PLUGIN_OBJECT void operator()(PluginInterface* plugin) const { delete plugin; }
};

// The system's side of loading: open, look up by name, close.
#if defined(_WIN32)
void* openLibrary(const std::string& path, std::string& reason) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) reason = "Windows error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(library);
}

void* findSymbol(void* library, const char* name) {
    FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
    void* symbol = nullptr;
    static_assert(sizeof symbol == sizeof address, "procedure and data pointers differ in size");
    std::memcpy(&symbol, &address, sizeof symbol);
    return symbol;
}

void closeLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
void* openLibrary(const std::string& path, std::string& reason) {
    dlerror();
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* text = dlerror();
        reason = text != nullptr ? text : "unknown error";
    }
    return library;
}

void* findSymbol(void* library, const char* name) { return dlsym(library, name); }

void closeLibrary(void* library) { dlclose(library); }
#endif

}  // namespace

PluginLibrary::~PluginLibrary() {
    if (handle_ != nullptr) closeLibrary(handle_);
}

bool PluginLibrary::load(const std::string& path, std::string& problem) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::exists(path, error)) {
        problem = "cannot load the plug-in " + path + ": no such file";
        return false;
    }
    // A bare file name would be searched on the library path, not here.
    const std::string loadPath = fs::absolute(path, error).string();
    std::string reason;
    handle_ = openLibrary(loadPath, reason);
    if (handle_ == nullptr) {
        problem = "cannot load the plug-in " + path + ": " + reason;
        return false;
    }
    using TextFunction = const char* (*)();
    struct {
        const char* name;
        std::string* field;
    } texts[] = {{"getPluginName", &info_.name},
                 {"getPluginDescription", &info_.description},
                 {"getAuthor", &info_.author},
                 {"getHelpFile", &info_.helpFile},
                 {"getRegistrationOfGenericComponentLoader", &info_.registration},
                 {"getGUIScript", &info_.guiScript}};
    for (const auto& text : texts) {
        auto function = reinterpret_cast<TextFunction>(findSymbol(handle_, text.name));
        if (function == nullptr) {
            problem = "cannot use " + path + " as a plug-in: it does not export " + text.name;
            return false;
        }
        const char* value = function();
        *text.field = value != nullptr ? value : "";
    }
    create_ = reinterpret_cast<PluginInterface* (*)()>(findSymbol(handle_, "createPlugin"));
    if (create_ == nullptr) {
        problem = "cannot use " + path + " as a plug-in: it does not export createPlugin";
        return false;
    }
    return true;
}

PluginInterface* PluginLibrary::createPlugin() const {
    return create_ != nullptr ? create_() : nullptr;
}

void* PluginLibrary::findExport(const char* name) const {
    return handle_ != nullptr ? findSymbol(handle_, name) : nullptr;
}

LDI_CALLS_PLUGIN_OBJECT
PluginRunResult runPluginOnce(const std::string& path, std::string& problem,
                              const std::function<void(const PluginLibrary&)>& loaded,
                              std::chrono::steady_clock::duration* executeTime) {
    PluginLibrary library;
    if (!library.load(path, problem)) return PluginRunResult::NotStarted;
    if (loaded) loaded(library);
    std::unique_ptr<PluginInterface, PluginDeleter> plugin(library.createPlugin());
    if (!plugin) {
        problem = "the plug-in " + path + " did not create its plug-in object (createPlugin returned null)";
        return PluginRunResult::NotStarted;
    }
    if (!plugin->initPlugin()) {
        problem = "the plug-in " + path + " refused to start with this host (initPlugin returned false)";
        return PluginRunResult::NotStarted;
    }
    const auto start = std::chrono::steady_clock::now();
    const bool succeeded = plugin->execute();
    if (executeTime != nullptr) *executeTime = std::chrono::steady_clock::now() - start;
    return succeeded ? PluginRunResult::Succeeded : PluginRunResult::Failed;
}

std::string defaultPluginPath() {
    namespace fs = std::filesystem;
#if defined(_WIN32)
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return PLUGIN_FILE_NAME;
    return (fs::path(std::string(self, length)).parent_path() / PLUGIN_FILE_NAME).string();
#else
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) return PLUGIN_FILE_NAME;
    const fs::path beside = self.parent_path() / PLUGIN_FILE_NAME;
    // Installed, ldi is in PREFIX/bin and the plug-in in PREFIX/lib/ldi.
    const fs::path installed = self.parent_path().parent_path() / "lib" / "ldi" / PLUGIN_FILE_NAME;
    if (!fs::exists(beside, error) && fs::exists(installed, error)) return installed.string();
    return beside.string();
#endif
}

}  // namespace ldi
