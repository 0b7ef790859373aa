// The plug-in as the host sees it: the host's abstract plug-in interface,
// the plug-in class, and the plain-named functions the host looks up in the
// library.
#pragma once

#include <cstdint>

#include "base/version.h"

#if defined(_WIN32)
#define LDI_EXPORT __declspec(dllexport)
#else
#define LDI_EXPORT __attribute__((visibility("default")))
#endif

namespace ldi {

// The host's abstract plug-in interface. The host binds to these members by
// their decorated names, so they are exported even though nothing here needs
// them from outside.
class LDI_EXPORT SYNAPluginInterface {
public:
    SYNAPluginInterface();
    SYNAPluginInterface(const SYNAPluginInterface& other);
    SYNAPluginInterface& operator=(const SYNAPluginInterface& other);
    virtual ~SYNAPluginInterface();
    virtual bool execute() = 0;
    virtual bool initPlugin() = 0;
};

// The same interface as the host also declares it inside this namespace;
// exported unchanged beside the first, nothing derives from it.
namespace static_intf {
class LDI_EXPORT SYNAPluginInterface {
public:
    SYNAPluginInterface();
    SYNAPluginInterface(const SYNAPluginInterface& other);
    SYNAPluginInterface& operator=(const SYNAPluginInterface& other);
    virtual ~SYNAPluginInterface();
    virtual bool execute() = 0;
    virtual bool initPlugin() = 0;
};
}  // namespace static_intf

class LDI_EXPORT LDIPlugin : public SYNAPluginInterface {
public:
    LDIPlugin();
    ~LDIPlugin() override;
    // One whole analysis run; true only when the computation succeeded.
    bool execute() override;
    // Attaches to the host and refuses hosts older than 2.1.0. Must have
    // returned true before execute is called.
    bool initPlugin() override;

    // While true, the run echoes each selection the user makes into the log.
    bool echoSelections;
};

// Lexicographic comparison of (major, minor, patch) with the required triple.
bool hostVersionAtLeast(int32_t major, int32_t minor, int32_t patch, int32_t requiredMajor,
                        int32_t requiredMinor, int32_t requiredPatch);

// How initPlugin fills the host function table. By default resolveHostApi,
// which looks the functions up by name in the running program. A host that
// links the plug-in's code in-process (or a test's fake host) sets its own
// function here, typically one that calls installHostApi with its table and
// returns its result.
using HostAttachFunction = bool (*)();
void setHostAttachFunction(HostAttachFunction attach);  // null restores resolveHostApi

// The plain-named entry points the host looks up.
extern "C" {
LDI_EXPORT SYNAPluginInterface* createPlugin();
LDI_EXPORT const char* getPluginName();
LDI_EXPORT const char* getPluginDescription();
LDI_EXPORT const char* getAuthor();
LDI_EXPORT const char* getHelpFile();
LDI_EXPORT const char* getRegistrationOfGenericComponentLoader();
LDI_EXPORT const char* getGUIScript();
// Threads of the computation for the following runs: 0 or negative means every
// core available to the process (the default). A host may call it before
// execute; the results do not depend on it.
LDI_EXPORT void setThreadCount(int count);
// The seed of the following runs' random numbers (the calendar-clock reading
// every surrogate series adds to its number); negative returns to the clock.
// A host that gives the same seed gets the same results.
LDI_EXPORT void setRandomSeed(long long seed);
// The seed of the run in progress or of the last run (-1 before any run);
// the host may record it with the results it saves.
LDI_EXPORT long long getRandomSeed();
// How many voxels of map `mapIndex` of the map set being saved pass at its FDR
// threshold slot `level`: -1 when unknown, -2 for a map without FDR
// thresholds. A threshold equal to the map's largest value cannot tell "only
// the top voxel passes" from "nothing passes"; this can.
LDI_EXPORT long long getPassingVoxelCount(int mapIndex, int level);
}

}  // namespace ldi
