// The host functions the plug-in calls, with C linkage and default
// visibility so that `ldi` exports them and the plug-in finds them by name.
// None of them lets an exception reach the plug-in.
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <ostream>
#include <utility>

#include "host/host_functions.h"
#include "host/host_state.h"
#include "host/result_files.h"

using namespace ldi;

namespace {

#if defined(_WIN32)
// In the executable's export table, where GetProcAddress finds them.
#define LDI_HOST_EXPORT extern "C" __declspec(dllexport)
#else
#define LDI_HOST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// A text field of a record, which the plug-in may have left unterminated.
std::string boundedText(const char* field, std::size_t capacity) {
    if (field == nullptr) return std::string();
    return std::string(field, strnlen(field, capacity));
}

void notice(const std::string& text) {
    HostState& state = hostState();
    if (state.messages != nullptr) *state.messages << "ldi: " << text << std::endl;
}

// Adds the time until it goes out of scope to the host's own time.
class HostTimer {
public:
    HostTimer() : start_(std::chrono::steady_clock::now()) {}
    ~HostTimer() { hostState().hostTime += std::chrono::steady_clock::now() - start_; }
    HostTimer(const HostTimer&) = delete;
    HostTimer& operator=(const HostTimer&) = delete;

private:
    std::chrono::steady_clock::time_point start_;
};

// Runs a host function body; an exception (only exhausted memory is
// expected) becomes the function's refusing answer and a notice.
template <typename Result, typename Body>
Result guarded(const char* name, Result refusal, Body body) {
    HostTimer timer;
    try {
        return body();
    } catch (const std::exception& error) {
        notice(std::string(name) + " failed: " + error.what());
    } catch (...) {
        notice(std::string(name) + " failed");
    }
    return refusal;
}

DialogAnswer askDialog(const DialogRequest& request) {
    HostState& state = hostState();
    if (state.logPane != nullptr) state.logPane->flush();
    if (state.dialogs == nullptr) return DialogAnswer();
    return state.dialogs->ask(request);
}

int fileDialog(DialogKind kind, const char* title, const char* initialPath, const char* filter,
               char* buffer, int capacity) {
    if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
    if (buffer == nullptr || capacity <= 0) return 0;
    DialogRequest request;
    request.kind = kind;
    request.prompt = orEmpty(title);
    request.defaultText = orEmpty(initialPath);
    request.filter = orEmpty(filter);
    request.capacity = capacity;
    DialogAnswer answer = askDialog(request);
    if (answer.cancelled) return 0;
    return copyToBuffer(answer.text, buffer, capacity) ? 1 : 0;
}

// Follows the plain lines of the log pane: keeps the message that would
// explain a failed run and, when asked, turns the voxel pass's "N%..." steps
// into progress lines of their own.
void followLogPane(HostState& state, const std::string& plain) {
    static const std::string prefix = "// LDI>";
    for (std::string_view line : splitLines(plain)) {
        if (line.substr(0, prefix.size()) != prefix) continue;
        const std::string_view body = trim(line.substr(prefix.size()));
        if (body.empty()) {
            state.lastMessage.clear();
            continue;
        }
        state.lastMessage.emplace_back(body);
        // A warning of the computation concerns the results, also when the log
        // pane is hidden or goes to a file. (The settings file's warnings come
        // before it, and every result log lists the settings used.)
        static const std::string_view warning = "WARNING: ";
        if (body == "Computing...") state.computing = true;
        if (state.computing && state.messages != nullptr && body.substr(0, warning.size()) == warning)
            *state.messages << "ldi: the plug-in warns: " << body.substr(warning.size()) << std::endl;
        if (state.progress == nullptr) continue;
        if (body.substr(0, 5) == "VOI: ") {
            state.progressVoi = std::string(body.substr(5));
        } else if (body.substr(0, 11) == "Condition: ") {
            state.progressCondition = std::string(body.substr(11));
        } else if (body.size() > 4 && body.substr(body.size() - 4) == "%..." &&
                   body.find_first_not_of("0123456789") == body.size() - 4) {
            *state.progress << "ldi: VOI " << state.progressVoi << ", condition " << state.progressCondition
                            << ": " << body.substr(0, body.size() - 3) << std::endl;
        }
    }
}

HostMapSet* currentMapSet() {
    HostState& state = hostState();
    if (!state.vmrPresent || !state.maps.exists) return nullptr;
    return &state.maps;
}

}  // namespace

LDI_HOST_EXPORT void syGetVersionOfSynapsa(int* major, int* minor, int* patch) {
    if (major != nullptr) *major = HOST_VERSION_MAJOR;
    if (minor != nullptr) *minor = HOST_VERSION_MINOR;
    if (patch != nullptr) *patch = HOST_VERSION_PATCH;
}

LDI_HOST_EXPORT int syGetPluginsPath(char* buffer, int capacity) {
    return copyToBuffer(hostState().pluginsPath, buffer, capacity) ? 1 : 0;
}

LDI_HOST_EXPORT void syShowLogTab(void) {}

LDI_HOST_EXPORT void syLogText(const char* text) {
    guarded("syLogText", 0, [&] {
        HostState& state = hostState();
        const char* raw = orEmpty(text);
        if (state.rawLog != nullptr) {
            *state.rawLog << raw << '\n';
            state.rawLog->flush();
        }
        const std::string plain = richToPlain(raw);
        // Flushed line by line: a log pane written to a pipe or a file shows
        // progress as it happens and keeps it when the run is killed.
        if (state.logPane != nullptr) *state.logPane << plain << std::endl;
        followLogPane(state, plain);
        // The results' JSON index lists the run's warnings too.
        const std::size_t warning = plain.find("WARNING:");
        if (warning != std::string::npos) state.warnings.push_back(plain.substr(warning));
        return 0;
    });
}

LDI_HOST_EXPORT void syMessageBox(const char* richText) {
    guarded("syMessageBox", 0, [&] {
        HostState& state = hostState();
        if (state.logPane != nullptr) state.logPane->flush();
        if (state.messages != nullptr)
            *state.messages << "message: " << richToPlain(orEmpty(richText)) << std::endl;
        if (state.dialogs != nullptr) state.dialogs->noticeMessageBox(orEmpty(richText));
        return 0;
    });
}

LDI_HOST_EXPORT int syGetIntegerInput(const char* prompt, int defaultValue, int minimum, int maximum) {
    return guarded("syGetIntegerInput", -1, [&] {
        DialogRequest request;
        request.kind = DialogKind::Integer;
        request.prompt = orEmpty(prompt);
        request.defaultValue = defaultValue;
        request.minimum = minimum;
        request.maximum = maximum;
        DialogAnswer answer = askDialog(request);
        return answer.cancelled ? -1 : static_cast<int>(answer.value);
    });
}

LDI_HOST_EXPORT int syGetTextInput(const char* prompt, const char* defaultText, char* buffer, int capacity) {
    return guarded("syGetTextInput", 0, [&] {
        if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
        if (buffer == nullptr || capacity <= 0) return 0;
        DialogRequest request;
        request.kind = DialogKind::Text;
        request.prompt = orEmpty(prompt);
        request.defaultText = orEmpty(defaultText);
        request.capacity = capacity;
        DialogAnswer answer = askDialog(request);
        if (answer.cancelled) return 0;
        return copyToBuffer(answer.text, buffer, capacity) ? 1 : 0;
    });
}

LDI_HOST_EXPORT int syGetOpenFileName(const char* title, const char* initialPath, const char* filter,
                                      char* buffer, int capacity) {
    return guarded("syGetOpenFileName", 0, [&] {
        return fileDialog(DialogKind::OpenFile, title, initialPath, filter, buffer, capacity);
    });
}

LDI_HOST_EXPORT int syGetSaveFileName(const char* title, const char* initialPath, const char* filter,
                                      char* buffer, int capacity) {
    return guarded("syGetSaveFileName", 0, [&] {
        return fileDialog(DialogKind::SaveFile, title, initialPath, filter, buffer, capacity);
    });
}

LDI_HOST_EXPORT void syShowBusyCursor(void) {}

LDI_HOST_EXPORT void syStopBusyCursor(void) {}

LDI_HOST_EXPORT void* syGetCurrentVMR(int* dimX, int* dimY, int* dimZ) {
    HostState& state = hostState();
    if (!state.vmrPresent) return nullptr;
    // An anatomical volume of the usual 256^3 grid stands for the VMR.
    if (dimX != nullptr) *dimX = 256;
    if (dimY != nullptr) *dimY = 256;
    if (dimZ != nullptr) *dimZ = 256;
    return &state;
}

LDI_HOST_EXPORT void syGetVTCOfCurrentVMR(SyVtcHeader* header) {
    if (header == nullptr) return;
    std::memset(header, 0, sizeof *header);
    HostState& state = hostState();
    if (!state.vmrPresent || !state.vtcLinked) {
        header->linkState = -1;
        return;
    }
    const LinkedVtc& vtc = state.vtc;
    header->linkState = 1;
    header->tr = vtc.tr;
    header->numVolumes = vtc.numVolumes;
    header->resolution = vtc.resolution;
    header->xStart = vtc.xStart;
    header->xEnd = vtc.xEnd;
    header->yStart = vtc.yStart;
    header->yEnd = vtc.yEnd;
    header->zStart = vtc.zStart;
    header->zEnd = vtc.zEnd;
    copyToBuffer(vtc.path, header->vtcPath, SY_PATH_CAPACITY);
    copyToBuffer(vtc.protocolPath, header->protocolPath, SY_PATH_CAPACITY);
}

LDI_HOST_EXPORT int sySetVTCParametersOfCurrentVMR(const SyVtcHeader* header) {
    return guarded("sySetVTCParametersOfCurrentVMR", 0, [&] {
        HostState& state = hostState();
        if (header == nullptr || !state.vmrPresent || !state.vtcLinked) return 0;
        // Only the protocol link can change; the VTC's own fields are its file's.
        const std::string path = boundedText(header->protocolPath, SY_PATH_CAPACITY);
        state.vtc.protocolPath = path;
        state.protocolLoaded = false;
        state.protocol = Protocol();
        if (path.empty()) return 1;
        std::string problem;
        Protocol protocol;
        if (!loadProtocolFile(path, protocol, problem)) {
            notice("cannot use the protocol " + path + ": " + problem);
            return 0;
        }
        state.protocol = std::move(protocol);
        state.protocolLoaded = true;
        return 1;
    });
}

LDI_HOST_EXPORT int syGetProtocol(SyProtocol* protocol) {
    if (protocol == nullptr) return 0;
    std::memset(protocol, 0, sizeof *protocol);
    HostState& state = hostState();
    if (!state.vmrPresent || !state.vtcLinked || !state.protocolLoaded) return 0;
    protocol->conditionCount = static_cast<int32_t>(state.protocol.conditions.size());
    protocol->timeResolution = state.protocol.timeResolution;
    return 1;
}

LDI_HOST_EXPORT int syGetProtocolCondition(int index, SyProtocolCondition* condition) {
    if (condition == nullptr) return 0;
    std::memset(condition, 0, sizeof *condition);
    HostState& state = hostState();
    if (!state.vmrPresent || !state.vtcLinked || !state.protocolLoaded || index < 0 ||
        static_cast<std::size_t>(index) >= state.protocol.conditions.size())
        return 0;
    const ProtocolCondition& source = state.protocol.conditions[static_cast<std::size_t>(index)];
    copyToBuffer(source.name, condition->name, SY_NAME_CAPACITY);
    condition->intervalCount = static_cast<int32_t>(source.starts.size());
    condition->intervalStarts = source.starts.data();
    condition->intervalEnds = source.ends.data();
    return 1;
}

LDI_HOST_EXPORT void syGetVOIs(SyVoiList* list) {
    if (list == nullptr) return;
    std::memset(list, 0, sizeof *list);
    HostState& state = hostState();
    if (!state.vmrPresent) return;
    list->voiCount = static_cast<int32_t>(state.vois.vois.size());
    list->coordsConvention = state.vois.coordsConvention;
}

LDI_HOST_EXPORT const int32_t* syGetVOI(int index, SyVoi* voi) {
    if (voi != nullptr) std::memset(voi, 0, sizeof *voi);
    HostState& state = hostState();
    if (!state.vmrPresent || index < 0 || static_cast<std::size_t>(index) >= state.vois.vois.size())
        return nullptr;
    const VoiDefinition& source = state.vois.vois[static_cast<std::size_t>(index)];
    if (voi != nullptr) {
        voi->voxelCount = source.voxelCount();
        copyToBuffer(source.name, voi->name, SY_NAME_CAPACITY);
    }
    return source.voxels.data();
}

LDI_HOST_EXPORT void syDeleteNRVMPsOfCurrentVMR(void) {
    HostTimer timer;
    hostState().maps = HostMapSet();
}

LDI_HOST_EXPORT int syCreateNRVMPsForCurrentVMR(int mapCount, int /*reserved*/, int levelCount,
                                                SyMapSetHeader* header) {
    return guarded("syCreateNRVMPsForCurrentVMR", 0, [&] {
        HostState& state = hostState();
        if (header == nullptr || !state.vmrPresent) return 0;
        LdiGeometry g;
        g.xStart = header->xStart;
        g.xEnd = header->xEnd;
        g.yStart = header->yStart;
        g.yEnd = header->yEnd;
        g.zStart = header->zStart;
        g.zEnd = header->zEnd;
        g.resolution = header->resolution;
        const std::string box = "box x " + std::to_string(g.xStart) + ".." + std::to_string(g.xEnd) +
                                ", y " + std::to_string(g.yStart) + ".." + std::to_string(g.yEnd) +
                                ", z " + std::to_string(g.zStart) + ".." + std::to_string(g.zEnd) +
                                ", resolution " + std::to_string(g.resolution);
        if (g.resolution <= 0) {
            notice("cannot create maps for the " + box + ": the resolution must be positive");
            return 0;
        }
        const GridSize size = gridSizeOf(g);
        g.dimX = size.dimX;
        g.dimY = size.dimY;
        g.dimZ = size.dimZ;
        if (g.dimX <= 0 || g.dimY <= 0 || g.dimZ <= 0) {
            notice("cannot create maps for the " + box + ": the grid is empty");
            return 0;
        }
        if (mapCount <= 0 || levelCount < 0 || levelCount > MAX_THRESHOLD_LEVELS) {
            notice("cannot create " + std::to_string(mapCount) + " maps with " +
                   std::to_string(levelCount) + " threshold levels");
            return 0;
        }
        if (g.voxelCount() > MAX_MAP_SET_VALUES / mapCount) {
            notice("cannot create " + std::to_string(mapCount) + " maps of " +
                   std::to_string(g.dimX) + " x " + std::to_string(g.dimY) + " x " +
                   std::to_string(g.dimZ) + " voxels: more than this host holds");
            return 0;
        }
        HostMapSet maps;
        maps.exists = true;
        maps.content.geometry = g;
        maps.content.levelLabels.assign(static_cast<std::size_t>(levelCount), std::string());
        maps.labelBuffers.assign(static_cast<std::size_t>(levelCount), SyLevelLabel{});
        maps.content.maps.resize(static_cast<std::size_t>(mapCount));
        for (LdiMap& map : maps.content.maps) {
            map.fdrThresholds.assign(static_cast<std::size_t>(levelCount), 0.0f);
            // Zeros without writing them: the plug-in writes the values it computes.
            map.voxels.resize(static_cast<std::size_t>(g.voxelCount()));
        }
        state.maps = std::move(maps);
        header->mapCount = mapCount;
        header->dimX = g.dimX;
        header->dimY = g.dimY;
        header->dimZ = g.dimZ;
        header->levelLabels = state.maps.labelBuffers.data();
        return 1;
    });
}

LDI_HOST_EXPORT void* syGetNRVMPsOfCurrentVMR(SyMapSetHeader* header) {
    HostMapSet* maps = currentMapSet();
    if (maps == nullptr || header == nullptr) return nullptr;
    const LdiGeometry& g = maps->content.geometry;
    header->levelCount = static_cast<int32_t>(maps->labelBuffers.size());
    header->xStart = g.xStart;
    header->xEnd = g.xEnd;
    header->yStart = g.yStart;
    header->yEnd = g.yEnd;
    header->zStart = g.zStart;
    header->zEnd = g.zEnd;
    header->resolution = g.resolution;
    header->mapCount = static_cast<int32_t>(maps->content.maps.size());
    header->dimX = g.dimX;
    header->dimY = g.dimY;
    header->dimZ = g.dimZ;
    header->levelLabels = maps->labelBuffers.data();
    return maps;
}

LDI_HOST_EXPORT float* syGetNRVMPOfCurrentVMR(int mapIndex, SyMapHeader* header) {
    HostMapSet* maps = currentMapSet();
    if (maps == nullptr || mapIndex < 0 ||
        static_cast<std::size_t>(mapIndex) >= maps->content.maps.size())
        return nullptr;
    LdiMap& map = maps->content.maps[static_cast<std::size_t>(mapIndex)];
    if (header != nullptr) {
        std::memset(header, 0, sizeof *header);
        copyToBuffer(map.name, header->name, SY_MAP_NAME_CAPACITY);
        header->mapKind = map.mapKind;
        header->lowerThreshold = map.lowerThreshold;
        header->upperThreshold = map.upperThreshold;
        header->positiveColourLow = map.positiveColourLow;
        header->positiveColourHigh = map.positiveColourHigh;
        header->negativeColourLow = map.negativeColourLow;
        header->negativeColourHigh = map.negativeColourHigh;
        header->useNegativeColours = map.useNegativeColours;
        header->fdrThresholdCount = static_cast<int32_t>(map.fdrThresholds.size());
        header->fdrThresholds = map.fdrThresholds.data();
    }
    return map.voxels.data();
}

LDI_HOST_EXPORT int sySetNRVMPParametersOfCurrentVMR(int mapIndex, const SyMapHeader* header) {
    return guarded("sySetNRVMPParametersOfCurrentVMR", 0, [&] {
        HostMapSet* maps = currentMapSet();
        if (maps == nullptr || header == nullptr || mapIndex < 0 ||
            static_cast<std::size_t>(mapIndex) >= maps->content.maps.size())
            return 0;
        LdiMap& map = maps->content.maps[static_cast<std::size_t>(mapIndex)];
        map.name = boundedText(header->name, SY_MAP_NAME_CAPACITY);
        map.mapKind = header->mapKind;
        map.lowerThreshold = header->lowerThreshold;
        map.upperThreshold = header->upperThreshold;
        map.positiveColourLow = header->positiveColourLow;
        map.positiveColourHigh = header->positiveColourHigh;
        map.negativeColourLow = header->negativeColourLow;
        map.negativeColourHigh = header->negativeColourHigh;
        map.useNegativeColours = header->useNegativeColours;
        // Thresholds written into the host's own array are already in place;
        // values handed in another array are copied, as many as both hold.
        if (header->fdrThresholds != nullptr && header->fdrThresholds != map.fdrThresholds.data()) {
            std::size_t count = map.fdrThresholds.size();
            if (header->fdrThresholdCount >= 0 && static_cast<std::size_t>(header->fdrThresholdCount) < count)
                count = static_cast<std::size_t>(header->fdrThresholdCount);
            std::copy(header->fdrThresholds, header->fdrThresholds + count, map.fdrThresholds.begin());
        }
        return 1;
    });
}

LDI_HOST_EXPORT int sySaveNRVMPsOfCurrentVMR(const char* fileName) {
    int saved = guarded("sySaveNRVMPsOfCurrentVMR", 0, [&] {
        HostState& state = hostState();
        const std::string path = orEmpty(fileName);
        HostMapSet* maps = currentMapSet();
        if (maps == nullptr) {
            notice("cannot save the maps to " + path + ": the current VMR holds no maps");
            return 0;
        }
        for (std::size_t i = 0; i < maps->labelBuffers.size(); ++i)
            maps->content.levelLabels[i] = boundedText(maps->labelBuffers[i].text, SY_LEVEL_LABEL_CAPACITY);
        std::string problem;
        SaveRecord record;
        record.warnings = state.warnings;
        record.namesInRun = &state.writtenResultFiles;
        if (state.getRandomSeed != nullptr) record.rngSeed = state.getRandomSeed();
        // The plug-in knows how many voxels passed; without its export the map
        // tells it, except when the threshold is the largest value.
        for (std::size_t m = 0; m < maps->content.maps.size(); ++m) {
            LdiMap& map = maps->content.maps[m];
            map.passingVoxels.assign(map.fdrThresholds.size(), -1);
            for (std::size_t t = 0; t < map.fdrThresholds.size(); ++t) {
                const long long known = state.getPassingVoxelCount != nullptr
                                            ? state.getPassingVoxelCount(static_cast<int>(m), static_cast<int>(t))
                                            : -1;
                map.passingVoxels[t] = known >= 0 ? static_cast<int64_t>(known)
                                                  : passingFromThreshold(map, map.fdrThresholds[t]);
            }
        }
        if (!saveResultFiles(path, maps->content, state.identity, problem, record)) {
            notice(problem);
            return 0;
        }
        return 1;
    });
    // The plug-in may not look at the answer; the run's exit status will.
    if (saved == 0) ++hostState().failedSaves;
    return saved;
}

// Every function has exactly the type the plug-in's table expects.
static_assert(std::is_same<decltype(&syGetVersionOfSynapsa), SyGetVersionOfSynapsa>::value, "");
static_assert(std::is_same<decltype(&syGetPluginsPath), SyGetPluginsPath>::value, "");
static_assert(std::is_same<decltype(&syShowLogTab), SyShowLogTab>::value, "");
static_assert(std::is_same<decltype(&syLogText), SyLogText>::value, "");
static_assert(std::is_same<decltype(&syMessageBox), SyMessageBox>::value, "");
static_assert(std::is_same<decltype(&syGetIntegerInput), SyGetIntegerInput>::value, "");
static_assert(std::is_same<decltype(&syGetTextInput), SyGetTextInput>::value, "");
static_assert(std::is_same<decltype(&syGetOpenFileName), SyGetOpenFileName>::value, "");
static_assert(std::is_same<decltype(&syGetSaveFileName), SyGetSaveFileName>::value, "");
static_assert(std::is_same<decltype(&syShowBusyCursor), SyShowBusyCursor>::value, "");
static_assert(std::is_same<decltype(&syStopBusyCursor), SyStopBusyCursor>::value, "");
static_assert(std::is_same<decltype(&syGetCurrentVMR), SyGetCurrentVMR>::value, "");
static_assert(std::is_same<decltype(&syGetVTCOfCurrentVMR), SyGetVTCOfCurrentVMR>::value, "");
static_assert(std::is_same<decltype(&sySetVTCParametersOfCurrentVMR), SySetVTCParametersOfCurrentVMR>::value, "");
static_assert(std::is_same<decltype(&syGetProtocol), SyGetProtocol>::value, "");
static_assert(std::is_same<decltype(&syGetProtocolCondition), SyGetProtocolCondition>::value, "");
static_assert(std::is_same<decltype(&syGetVOIs), SyGetVOIs>::value, "");
static_assert(std::is_same<decltype(&syGetVOI), SyGetVOI>::value, "");
static_assert(std::is_same<decltype(&syDeleteNRVMPsOfCurrentVMR), SyDeleteNRVMPsOfCurrentVMR>::value, "");
static_assert(std::is_same<decltype(&syCreateNRVMPsForCurrentVMR), SyCreateNRVMPsForCurrentVMR>::value, "");
static_assert(std::is_same<decltype(&syGetNRVMPsOfCurrentVMR), SyGetNRVMPsOfCurrentVMR>::value, "");
static_assert(std::is_same<decltype(&syGetNRVMPOfCurrentVMR), SyGetNRVMPOfCurrentVMR>::value, "");
static_assert(std::is_same<decltype(&sySetNRVMPParametersOfCurrentVMR), SySetNRVMPParametersOfCurrentVMR>::value,
              "");
static_assert(std::is_same<decltype(&sySaveNRVMPsOfCurrentVMR), SySaveNRVMPsOfCurrentVMR>::value, "");
