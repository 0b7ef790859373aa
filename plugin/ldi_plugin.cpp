#include "plugin/ldi_plugin.h"

#include <new>

#include "base/host_api.h"
#include "output/pass_record.h"
#include "plugin/run_seed.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace ldi {

#if defined(_WIN32)
// Only the process attach matters: the plug-in keeps no per-thread state, so
// the per-thread notifications are turned off.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif

SYNAPluginInterface::SYNAPluginInterface() = default;
SYNAPluginInterface::SYNAPluginInterface(const SYNAPluginInterface&) {}
SYNAPluginInterface& SYNAPluginInterface::operator=(const SYNAPluginInterface&) { return *this; }
SYNAPluginInterface::~SYNAPluginInterface() = default;

namespace static_intf {
SYNAPluginInterface::SYNAPluginInterface() = default;
SYNAPluginInterface::SYNAPluginInterface(const SYNAPluginInterface&) {}
SYNAPluginInterface& SYNAPluginInterface::operator=(const SYNAPluginInterface&) { return *this; }
SYNAPluginInterface::~SYNAPluginInterface() = default;
}  // namespace static_intf

LDIPlugin::LDIPlugin() : echoSelections(true) {}

LDIPlugin::~LDIPlugin() = default;

bool hostVersionAtLeast(int32_t major, int32_t minor, int32_t patch, int32_t requiredMajor,
                        int32_t requiredMinor, int32_t requiredPatch) {
    if (major != requiredMajor) return major > requiredMajor;
    if (minor != requiredMinor) return minor > requiredMinor;
    return patch >= requiredPatch;
}

namespace {
HostAttachFunction hostAttach = resolveHostApi;
}

void setHostAttachFunction(HostAttachFunction attach) {
    hostAttach = attach != nullptr ? attach : resolveHostApi;
}

bool LDIPlugin::initPlugin() {
    try {
        // No message when attaching fails: the message box may be missing too.
        if (!hostAttach() || hostApi.syGetVersionOfSynapsa == nullptr) return false;
        int major = 0;
        int minor = 0;
        int patch = 0;
        hostApi.syGetVersionOfSynapsa(&major, &minor, &patch);
        if (!hostVersionAtLeast(major, minor, patch, 2, 1, 0)) {
            hostApi.syMessageBox(
                "Sorry, can not execute the LDI plugin - Synapsa version 2.1.0 or higher "
                "required.");
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

namespace {

#define LDI_HELP_FILE "LDI_Help/main.html"

const char* const pluginName = "Lagged Dependency Imaging (LDI) v1.5";
const char* const pluginDescription =
    "Computes Lagged Dependency Maps (<i>LDI</i>s) for selected reference regions (VOIs).<br><br>"
    "Lagged dependency imaging is a technique which explores directed influences (effective "
    "connectivity) between distinct regions in fMRI data. See The <b><a href="
    "\"" LDI_HELP_FILE "\""
    ">LDI Help Pages</a></b> for more...<br>";
const char* const pluginAuthor = "<b>LDI</b> - Lagged Dependency Imaging plug-in, version 1.5";
const char* const helpFile = LDI_HELP_FILE;
const char* const registration = "Overlay Lagged Dependency Maps (ldi)";

}  // namespace

extern "C" {

SYNAPluginInterface* createPlugin() {
    try {
        return new (std::nothrow) LDIPlugin();
    } catch (...) {
        return nullptr;
    }
}

const char* getPluginName() { return pluginName; }
const char* getPluginDescription() { return pluginDescription; }
const char* getAuthor() { return pluginAuthor; }
const char* getHelpFile() { return helpFile; }
const char* getRegistrationOfGenericComponentLoader() { return registration; }
const char* getGUIScript() { return ""; }

void setThreadCount(int count) {
    try {
        requestThreadCount(count);
    } catch (...) {
        // Nothing may reach the host; the setting simply stays as it was.
    }
}

void setRandomSeed(long long seed) { requestRunSeed(static_cast<int64_t>(seed)); }

long long getRandomSeed() { return static_cast<long long>(currentRunSeed()); }

long long getPassingVoxelCount(int mapIndex, int level) {
    return static_cast<long long>(passingVoxels(mapIndex, level));
}

}  // extern "C"

}  // namespace ldi
