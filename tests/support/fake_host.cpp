#include "support/fake_host.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "plugin/ldi_plugin.h"

namespace ldi {

namespace {

FakeHost& host() { return fakeHost(); }

std::string textOf(const char* text) {
    if (text == nullptr) {
        host().notes.push_back("a null text was passed to the host");
        return "(null)";
    }
    return text;
}

// Copies into a host-style buffer: never more than the capacity, always
// terminated. Returns false when the text had to be cut.
bool copyToBuffer(const std::string& text, char* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return text.empty();
    const std::size_t room = static_cast<std::size_t>(capacity) - 1;
    const std::size_t length = std::min(text.size(), room);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length == text.size();
}

void copyWithNote(const std::string& text, char* buffer, int capacity, const char* what) {
    if (!copyToBuffer(text, buffer, capacity))
        host().notes.push_back(std::string(what) + " cut to the buffer of " +
                               std::to_string(capacity) + " bytes: " + text);
}

int32_t gridSize(int32_t start, int32_t end, int32_t resolution) {
    return resolution > 0 && end > start ? (end - start) / resolution : 0;
}

// ---- The 24 host functions ----

void getVersion(int* major, int* minor, int* patch) {
    host().record("syGetVersionOfSynapsa");
    if (major != nullptr) *major = host().versionMajor;
    if (minor != nullptr) *minor = host().versionMinor;
    if (patch != nullptr) *patch = host().versionPatch;
}

int getPluginsPath(char* buffer, int capacity) {
    host().record("syGetPluginsPath", {}, {capacity});
    copyWithNote(host().pluginsPath, buffer, capacity, "plug-ins path");
    return 1;
}

void showLogTab() { host().record("syShowLogTab"); }

void logText(const char* text) {
    const std::string value = textOf(text);
    host().record("syLogText", {value});
    host().logTexts.push_back(value);
}

void messageBox(const char* text) {
    const std::string value = textOf(text);
    host().record("syMessageBox", {value});
    host().messageBoxes.push_back(value);
}

int getIntegerInput(const char* prompt, int defaultValue, int minimum, int maximum) {
    host().record("syGetIntegerInput", {textOf(prompt)}, {defaultValue, minimum, maximum});
    DialogAnswer answer;
    if (!host().takeAnswer(DialogAnswer::integer, "syGetIntegerInput", answer)) return -1;
    if (answer.value < minimum || answer.value > maximum)
        host().notes.push_back("syGetIntegerInput answered " + std::to_string(answer.value) +
                               " outside [" + std::to_string(minimum) + ", " +
                               std::to_string(maximum) + "]");
    return answer.value;
}

int getTextInput(const char* prompt, const char* defaultText, char* buffer, int capacity) {
    host().record("syGetTextInput", {textOf(prompt), textOf(defaultText)}, {capacity});
    DialogAnswer answer;
    if (!host().takeAnswer(DialogAnswer::text, "syGetTextInput", answer)) {
        copyToBuffer("", buffer, capacity);
        return 0;
    }
    copyWithNote(answer.path, buffer, capacity, "text input");
    return 1;
}

int fileDialog(const char* function, const char* title, const char* initialPath,
               const char* filter, char* buffer, int capacity) {
    host().record(function, {textOf(title), textOf(initialPath), textOf(filter)}, {capacity});
    DialogAnswer answer;
    if (!host().takeAnswer(DialogAnswer::text, function, answer)) {
        copyToBuffer("", buffer, capacity);
        return 0;
    }
    copyWithNote(answer.path, buffer, capacity, "file name");
    return 1;
}

int getOpenFileName(const char* title, const char* initialPath, const char* filter, char* buffer,
                    int capacity) {
    return fileDialog("syGetOpenFileName", title, initialPath, filter, buffer, capacity);
}

int getSaveFileName(const char* title, const char* initialPath, const char* filter, char* buffer,
                    int capacity) {
    return fileDialog("syGetSaveFileName", title, initialPath, filter, buffer, capacity);
}

void showBusyCursor() {
    host().record("syShowBusyCursor");
    host().busyCursorOn = true;
}

void stopBusyCursor() {
    host().record("syStopBusyCursor");
    host().busyCursorOn = false;
}

void* getCurrentVmr(int* dimX, int* dimY, int* dimZ) {
    host().record("syGetCurrentVMR");
    if (!host().vmrPresent) return nullptr;
    if (dimX != nullptr) *dimX = host().vmrDims[0];
    if (dimY != nullptr) *dimY = host().vmrDims[1];
    if (dimZ != nullptr) *dimZ = host().vmrDims[2];
    return host().vmrDims;
}

void getVtcOfCurrentVmr(SyVtcHeader* header) {
    host().record("syGetVTCOfCurrentVMR");
    if (header != nullptr) *header = host().linkedVtc;
}

int setVtcParameters(const SyVtcHeader* header) {
    if (header == nullptr) {
        host().record("sySetVTCParametersOfCurrentVMR");
        host().notes.push_back("sySetVTCParametersOfCurrentVMR got no header");
        return 0;
    }
    host().record("sySetVTCParametersOfCurrentVMR", {header->vtcPath, header->protocolPath},
                  {header->linkState, header->tr});
    host().linkedVtc = *header;
    return 1;
}

const FakeProtocol* linkedProtocol() {
    const auto found = host().protocols.find(host().linkedVtc.protocolPath);
    return found == host().protocols.end() ? nullptr : &found->second;
}

int getProtocol(SyProtocol* protocol) {
    host().record("syGetProtocol");
    const FakeProtocol* linked = linkedProtocol();
    if (protocol == nullptr) return 0;
    std::memset(protocol, 0, sizeof *protocol);
    if (linked == nullptr) return 0;
    protocol->conditionCount = static_cast<int32_t>(linked->conditions.size());
    protocol->timeResolution = linked->timeResolution;
    return 1;
}

int getProtocolCondition(int index, SyProtocolCondition* condition) {
    host().record("syGetProtocolCondition", {}, {index});
    if (condition == nullptr) return 0;
    std::memset(condition, 0, sizeof *condition);
    const FakeProtocol* linked = linkedProtocol();
    if (linked == nullptr || index < 0 || index >= static_cast<int>(linked->conditions.size())) {
        host().notes.push_back("syGetProtocolCondition asked for an unknown condition " +
                               std::to_string(index));
        return 0;
    }
    const FakeProtocolCondition& source = linked->conditions[static_cast<std::size_t>(index)];
    copyWithNote(source.name, condition->name, SY_NAME_CAPACITY, "protocol condition name");
    condition->intervalCount =
        static_cast<int32_t>(std::min(source.starts.size(), source.ends.size()));
    condition->intervalStarts = source.starts.data();
    condition->intervalEnds = source.ends.data();
    return 1;
}

void getVois(SyVoiList* list) {
    host().record("syGetVOIs");
    if (list == nullptr) return;
    list->voiCount = static_cast<int32_t>(host().vois.size());
    list->coordsConvention = host().coordsConvention;
}

const int32_t* getVoi(int index, SyVoi* voi) {
    host().record("syGetVOI", {}, {index});
    if (index < 0 || index >= static_cast<int>(host().vois.size()) || voi == nullptr) {
        host().notes.push_back("syGetVOI asked for an unknown VOI " + std::to_string(index));
        return nullptr;
    }
    const FakeVoi& source = host().vois[static_cast<std::size_t>(index)];
    voi->voxelCount = static_cast<int32_t>(source.coordinates.size() / 3);
    copyWithNote(source.name, voi->name, SY_NAME_CAPACITY, "VOI name");
    static const int32_t noVoxels[3] = {0, 0, 0};
    return source.coordinates.empty() ? noVoxels : source.coordinates.data();
}

void deleteMaps() {
    host().record("syDeleteNRVMPsOfCurrentVMR");
    host().mapSetExists = false;
    host().maps.clear();
    host().levelLabels.clear();
    host().mapSetHeader = SyMapSetHeader{};
}

int createMaps(int mapCount, int reserved, int levelCount, SyMapSetHeader* header) {
    FakeHost& fake = host();
    if (header == nullptr) {
        fake.record("syCreateNRVMPsForCurrentVMR", {}, {mapCount, reserved, levelCount});
        fake.notes.push_back("syCreateNRVMPsForCurrentVMR got no header");
        return 0;
    }
    fake.record("syCreateNRVMPsForCurrentVMR", {},
                {mapCount, reserved, levelCount, header->levelCount, header->xStart, header->xEnd,
                 header->yStart, header->yEnd, header->zStart, header->zEnd, header->resolution});
    if (fake.failCreateMapSet) return 0;
    if (mapCount <= 0 || levelCount < 0) {
        fake.notes.push_back("syCreateNRVMPsForCurrentVMR asked for " + std::to_string(mapCount) +
                             " maps with " + std::to_string(levelCount) + " levels");
        return 0;
    }
    fake.mapSetHeader = *header;
    SyMapSetHeader& set = fake.mapSetHeader;
    set.levelCount = levelCount;
    set.mapCount = mapCount;
    set.dimX = gridSize(set.xStart, set.xEnd, set.resolution);
    set.dimY = gridSize(set.yStart, set.yEnd, set.resolution);
    set.dimZ = gridSize(set.zStart, set.zEnd, set.resolution);
    const std::size_t voxelCount = static_cast<std::size_t>(set.dimX) *
                                   static_cast<std::size_t>(set.dimY) *
                                   static_cast<std::size_t>(set.dimZ);
    fake.levelLabels.assign(static_cast<std::size_t>(levelCount), SyLevelLabel{});
    set.levelLabels = fake.levelLabels.data();
    fake.maps.assign(static_cast<std::size_t>(mapCount), FakeMap{});
    for (FakeMap& map : fake.maps) {
        map.voxels.assign(voxelCount, 0.0f);
        map.fdrThresholds.assign(static_cast<std::size_t>(levelCount), 0.0f);
    }
    fake.mapSetExists = true;
    return 1;
}

void* getMapSet(SyMapSetHeader* header) {
    FakeHost& fake = host();
    fake.record("syGetNRVMPsOfCurrentVMR");
    if (fake.failGetMapSet || !fake.mapSetExists || header == nullptr) return nullptr;
    header->mapCount = fake.mapSetHeader.mapCount;
    header->dimX = fake.mapSetHeader.dimX;
    header->dimY = fake.mapSetHeader.dimY;
    header->dimZ = fake.mapSetHeader.dimZ;
    header->levelLabels = fake.levelLabels.data();
    return &fake.mapSetHeader;
}

float* getMap(int index, SyMapHeader* header) {
    FakeHost& fake = host();
    fake.record("syGetNRVMPOfCurrentVMR", {}, {index});
    if (!fake.mapSetExists || index < 0 || index >= static_cast<int>(fake.maps.size()) ||
        header == nullptr || fake.failGetEveryMap || fake.failGetMapIndices.count(index) != 0)
        return nullptr;
    FakeMap& map = fake.maps[static_cast<std::size_t>(index)];
    *header = map.header;
    header->fdrThresholdCount = static_cast<int32_t>(map.fdrThresholds.size());
    header->fdrThresholds = map.fdrThresholds.data();
    return map.voxels.data();
}

int setMapParameters(int index, const SyMapHeader* header) {
    FakeHost& fake = host();
    if (header == nullptr || !fake.mapSetExists || index < 0 ||
        index >= static_cast<int>(fake.maps.size())) {
        fake.record("sySetNRVMPParametersOfCurrentVMR", {}, {index});
        fake.notes.push_back("sySetNRVMPParametersOfCurrentVMR for an unknown map " +
                             std::to_string(index));
        return 0;
    }
    FakeMap& map = fake.maps[static_cast<std::size_t>(index)];
    std::string name(header->name, strnlen(header->name, SY_MAP_NAME_CAPACITY));
    fake.record("sySetNRVMPParametersOfCurrentVMR", {name}, {index});
    // The plug-in normally writes into the host's own array; take the values
    // over when it handed another one.
    if (header->fdrThresholds != nullptr && header->fdrThresholds != map.fdrThresholds.data()) {
        const std::size_t count = std::min(map.fdrThresholds.size(),
                                           static_cast<std::size_t>(std::max(0, header->fdrThresholdCount)));
        std::copy(header->fdrThresholds, header->fdrThresholds + count, map.fdrThresholds.begin());
    }
    map.header = *header;
    map.header.name[SY_MAP_NAME_CAPACITY - 1] = '\0';
    map.header.fdrThresholdCount = static_cast<int32_t>(map.fdrThresholds.size());
    map.header.fdrThresholds = map.fdrThresholds.data();
    return 1;
}

int saveMaps(const char* fileName) {
    FakeHost& fake = host();
    const std::string name = textOf(fileName);
    fake.record("sySaveNRVMPsOfCurrentVMR", {name});
    if (fake.failSave || !fake.mapSetExists) return 0;
    FakeSavedMapSet saved;
    saved.fileName = name;
    for (const SyLevelLabel& label : fake.levelLabels)
        saved.levelLabels.emplace_back(label.text, strnlen(label.text, SY_LEVEL_LABEL_CAPACITY));
    saved.maps = fake.maps;
    for (FakeMap& map : saved.maps) map.header.fdrThresholds = nullptr;
    fake.saves.push_back(std::move(saved));
    if (fake.afterSave) fake.afterSave(name);
    return 1;
}

bool attachFakeHost() { return host().install(); }

}  // namespace

FakeHost& fakeHost() {
    static FakeHost instance;
    return instance;
}

void FakeHost::reset() {
    *this = FakeHost();
    pluginsPath = "/nonexistent/ldi-fake-host-plugins";
    linkedVtc = SyVtcHeader{};
    linkedVtc.linkState = 1;
    linkedVtc.tr = 2000;
    linkedVtc.numVolumes = 300;
    linkedVtc.resolution = 3;
    linkedVtc.xStart = 57;
    linkedVtc.xEnd = 231;
    linkedVtc.yStart = 52;
    linkedVtc.yEnd = 172;
    linkedVtc.zStart = 59;
    linkedVtc.zEnd = 197;
    setHostAttachFunction(attachFakeHost);
    install();
}

bool FakeHost::install() {
    HostApi table{getVersion,         getPluginsPath,   showLogTab,       logText,
                  messageBox,         getIntegerInput,  getTextInput,     getOpenFileName,
                  getSaveFileName,    showBusyCursor,   stopBusyCursor,   getCurrentVmr,
                  getVtcOfCurrentVmr, setVtcParameters, getProtocol,      getProtocolCondition,
                  getVois,            getVoi,           deleteMaps,       createMaps,
                  getMapSet,          getMap,           setMapParameters, saveMaps};
#define LDI_LEAVE_OUT(name) \
    if (missingFunctions.count(#name) != 0) table.name = nullptr;
    LDI_LEAVE_OUT(syGetVersionOfSynapsa)
    LDI_LEAVE_OUT(syGetPluginsPath)
    LDI_LEAVE_OUT(syShowLogTab)
    LDI_LEAVE_OUT(syLogText)
    LDI_LEAVE_OUT(syMessageBox)
    LDI_LEAVE_OUT(syGetIntegerInput)
    LDI_LEAVE_OUT(syGetTextInput)
    LDI_LEAVE_OUT(syGetOpenFileName)
    LDI_LEAVE_OUT(syGetSaveFileName)
    LDI_LEAVE_OUT(syShowBusyCursor)
    LDI_LEAVE_OUT(syStopBusyCursor)
    LDI_LEAVE_OUT(syGetCurrentVMR)
    LDI_LEAVE_OUT(syGetVTCOfCurrentVMR)
    LDI_LEAVE_OUT(sySetVTCParametersOfCurrentVMR)
    LDI_LEAVE_OUT(syGetProtocol)
    LDI_LEAVE_OUT(syGetProtocolCondition)
    LDI_LEAVE_OUT(syGetVOIs)
    LDI_LEAVE_OUT(syGetVOI)
    LDI_LEAVE_OUT(syDeleteNRVMPsOfCurrentVMR)
    LDI_LEAVE_OUT(syCreateNRVMPsForCurrentVMR)
    LDI_LEAVE_OUT(syGetNRVMPsOfCurrentVMR)
    LDI_LEAVE_OUT(syGetNRVMPOfCurrentVMR)
    LDI_LEAVE_OUT(sySetNRVMPParametersOfCurrentVMR)
    LDI_LEAVE_OUT(sySaveNRVMPsOfCurrentVMR)
#undef LDI_LEAVE_OUT
    return installHostApi(table);
}

void FakeHost::addVoi(const std::string& name, const std::vector<std::vector<int32_t>>& voxels) {
    FakeVoi voi;
    voi.name = name;
    for (const std::vector<int32_t>& voxel : voxels) {
        for (std::size_t axis = 0; axis < 3; ++axis)
            voi.coordinates.push_back(axis < voxel.size() ? voxel[axis] : 0);
    }
    vois.push_back(std::move(voi));
}

void FakeHost::setLinkedVtc(bool linked) { linkedVtc.linkState = linked ? 1 : -1; }

void FakeHost::answerInteger(int value) {
    DialogAnswer answer;
    answer.kind = DialogAnswer::integer;
    answer.value = value;
    script.push_back(answer);
}

void FakeHost::answerText(const std::string& text) {
    DialogAnswer answer;
    answer.kind = DialogAnswer::text;
    answer.path = text;
    script.push_back(answer);
}

void FakeHost::answerCancel() { script.push_back(DialogAnswer{}); }

int FakeHost::callCount(const std::string& function) const {
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const FakeCall& call) {
        return call.function == function;
    }));
}

std::vector<std::string> FakeHost::callNames() const {
    std::vector<std::string> names;
    for (const FakeCall& call : calls) names.push_back(call.function);
    return names;
}

const FakeCall* FakeHost::lastCall(const std::string& function) const {
    for (auto call = calls.rbegin(); call != calls.rend(); ++call)
        if (call->function == function) return &*call;
    return nullptr;
}

std::string FakeHost::logPane() const {
    std::string pane;
    for (std::size_t i = 0; i < logTexts.size(); ++i) {
        if (i > 0) pane += '\n';
        pane += logTexts[i];
    }
    return pane;
}

void FakeHost::record(const std::string& function, std::vector<std::string> texts,
                      std::vector<long long> numbers) {
    {
        // A call from another thread breaks the host's rule, but must not
        // break the record that shows it.
        static std::mutex recording;
        std::lock_guard<std::mutex> lock(recording);
        calls.push_back(FakeCall{function, std::move(texts), std::move(numbers), std::this_thread::get_id()});
    }
    if (!throwOutOfMemoryIn.empty() && function == throwOutOfMemoryIn) {
        throwOutOfMemoryIn.clear();
        throw std::bad_alloc();
    }
}

bool FakeHost::takeAnswer(DialogAnswer::Kind expected, const std::string& dialog,
                          DialogAnswer& answer) {
    if (script.empty()) {
        notes.push_back(dialog + " was asked with no answer left in the script; cancelled");
        return false;
    }
    answer = script.front();
    script.pop_front();
    if (answer.kind == DialogAnswer::cancel) return false;
    if (answer.kind != expected) {
        notes.push_back(dialog + " was given an answer of the wrong kind; cancelled");
        return false;
    }
    return true;
}

}  // namespace ldi
