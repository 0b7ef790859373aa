// Loading the plug-in library and driving its object, as a host does.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace ldi {

// The plug-in's abstract interface as the host sees it: a virtual
// destructor, then execute and initPlugin, in this slot order.
class PluginInterface {
public:
    virtual ~PluginInterface() = default;
    virtual bool execute() = 0;
    virtual bool initPlugin() = 0;

protected:
    PluginInterface() = default;
    PluginInterface(const PluginInterface&) = default;
    PluginInterface& operator=(const PluginInterface&) = default;
};

struct PluginInfo {
    std::string name;
    std::string description;
    std::string author;
    std::string helpFile;
    std::string registration;
    std::string guiScript;
};

// One loaded plug-in library; unloaded when destroyed.
class PluginLibrary {
public:
    PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    ~PluginLibrary();

    // Loads the library and reads its information exports. False with a
    // message naming the file when it is not a loadable plug-in.
    bool load(const std::string& path, std::string& problem);

    const PluginInfo& info() const { return info_; }

    // A new plug-in object from createPlugin (null when it makes none).
    PluginInterface* createPlugin() const;

    // An optional export of the loaded library by name (null when absent).
    void* findExport(const char* name) const;

private:
    void* handle_ = nullptr;
    PluginInterface* (*create_)() = nullptr;
    PluginInfo info_;
};

// The outcome of one run of the plug-in.
enum class PluginRunResult { Succeeded, Failed, NotStarted };

// Loads the plug-in at `path`, creates its object, attaches it to this host
// and runs execute once, then destroys the object. NotStarted (with a
// message) when the library cannot be loaded or the plug-in refuses to start.
// `loaded` is called with the loaded library (its information, its optional
// exports) before the plug-in object is created. `executeTime`, when given,
// receives how long execute took.
PluginRunResult runPluginOnce(const std::string& path, std::string& problem,
                              const std::function<void(const PluginLibrary&)>& loaded = nullptr,
                              std::chrono::steady_clock::duration* executeTime = nullptr);

// The optional export a host may call before execute to choose how many
// threads the computation uses.
constexpr char SET_THREAD_COUNT_EXPORT[] = "setThreadCount";
using SetThreadCountFunction = void (*)(int);

// Optional exports for repeatable runs and truthful results: the seed of the
// following runs (before execute), the seed a run used, and how many voxels of
// a map of the set being saved pass at a threshold slot (-1 unknown, -2 a map
// without FDR thresholds).
constexpr char SET_RANDOM_SEED_EXPORT[] = "setRandomSeed";
using SetRandomSeedFunction = void (*)(long long);
constexpr char GET_RANDOM_SEED_EXPORT[] = "getRandomSeed";
using GetRandomSeedFunction = long long (*)();
constexpr char GET_PASSING_VOXEL_COUNT_EXPORT[] = "getPassingVoxelCount";
using GetPassingVoxelCountFunction = long long (*)(int, int);

// The plug-in library beside the running program, or else where `make install`
// puts it (../lib/ldi/ from the program's folder).
std::string defaultPluginPath();

}  // namespace ldi
