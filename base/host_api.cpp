#include "base/host_api.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace ldi {

// Stand-ins for functions the host does not provide: each answers as a host
// that refuses, so that no call ever goes through an empty entry.
namespace {

void clearText(char* buffer, int capacity) {
    if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
}

int noPluginsPath(char* buffer, int capacity) {
    clearText(buffer, capacity);
    return 0;
}
void ignoreCall() {}
void ignoreText(const char*) {}
int cancelIntegerInput(const char*, int, int, int) { return -1; }
int cancelTextInput(const char*, const char*, char* buffer, int capacity) {
    clearText(buffer, capacity);
    return 0;
}
int cancelFileDialog(const char*, const char*, const char*, char* buffer, int capacity) {
    clearText(buffer, capacity);
    return 0;
}
void* noCurrentVmr(int*, int*, int*) { return nullptr; }
void noLinkedVtc(SyVtcHeader* header) {
    if (header == nullptr) return;
    std::memset(header, 0, sizeof *header);
    header->linkState = -1;
}
int refuseVtcParameters(const SyVtcHeader*) { return 0; }
int noProtocol(SyProtocol* protocol) {
    if (protocol != nullptr) std::memset(protocol, 0, sizeof *protocol);
    return 0;
}
int noProtocolCondition(int, SyProtocolCondition* condition) {
    if (condition != nullptr) std::memset(condition, 0, sizeof *condition);
    return 0;
}
void noVois(SyVoiList* list) {
    if (list != nullptr) std::memset(list, 0, sizeof *list);
}
const int32_t* noVoi(int, SyVoi*) { return nullptr; }
int refuseCreateMaps(int, int, int, SyMapSetHeader*) { return 0; }
void* noMapSet(SyMapSetHeader*) { return nullptr; }
float* noMap(int, SyMapHeader*) { return nullptr; }
int refuseMapParameters(int, const SyMapHeader*) { return 0; }
int refuseSave(const char*) { return 0; }

// Every entry but syGetVersionOfSynapsa, which has no sensible refusal:
// without it the host is not one this plug-in can work with.
constexpr HostApi refusingHost = {
    nullptr,           noPluginsPath,       ignoreCall,        ignoreText,
    ignoreText,        cancelIntegerInput,  cancelTextInput,   cancelFileDialog,
    cancelFileDialog,  ignoreCall,          ignoreCall,        noCurrentVmr,
    noLinkedVtc,       refuseVtcParameters, noProtocol,        noProtocolCondition,
    noVois,            noVoi,               ignoreCall,        refuseCreateMaps,
    noMapSet,          noMap,               refuseMapParameters, refuseSave,
};

template <typename Function>
void fillMissing(Function& entry, Function standIn) {
    if (entry == nullptr) entry = standIn;
}

}  // namespace

// Refusing from the start, so that a call made before the table was filled
// cannot go through an empty entry either.
HostApi hostApi = refusingHost;

bool installHostApi(const HostApi& table) {
    HostApi filled = table;
    fillMissing(filled.syGetPluginsPath, refusingHost.syGetPluginsPath);
    fillMissing(filled.syShowLogTab, refusingHost.syShowLogTab);
    fillMissing(filled.syLogText, refusingHost.syLogText);
    fillMissing(filled.syMessageBox, refusingHost.syMessageBox);
    fillMissing(filled.syGetIntegerInput, refusingHost.syGetIntegerInput);
    fillMissing(filled.syGetTextInput, refusingHost.syGetTextInput);
    fillMissing(filled.syGetOpenFileName, refusingHost.syGetOpenFileName);
    fillMissing(filled.syGetSaveFileName, refusingHost.syGetSaveFileName);
    fillMissing(filled.syShowBusyCursor, refusingHost.syShowBusyCursor);
    fillMissing(filled.syStopBusyCursor, refusingHost.syStopBusyCursor);
    fillMissing(filled.syGetCurrentVMR, refusingHost.syGetCurrentVMR);
    fillMissing(filled.syGetVTCOfCurrentVMR, refusingHost.syGetVTCOfCurrentVMR);
    fillMissing(filled.sySetVTCParametersOfCurrentVMR, refusingHost.sySetVTCParametersOfCurrentVMR);
    fillMissing(filled.syGetProtocol, refusingHost.syGetProtocol);
    fillMissing(filled.syGetProtocolCondition, refusingHost.syGetProtocolCondition);
    fillMissing(filled.syGetVOIs, refusingHost.syGetVOIs);
    fillMissing(filled.syGetVOI, refusingHost.syGetVOI);
    fillMissing(filled.syDeleteNRVMPsOfCurrentVMR, refusingHost.syDeleteNRVMPsOfCurrentVMR);
    fillMissing(filled.syCreateNRVMPsForCurrentVMR, refusingHost.syCreateNRVMPsForCurrentVMR);
    fillMissing(filled.syGetNRVMPsOfCurrentVMR, refusingHost.syGetNRVMPsOfCurrentVMR);
    fillMissing(filled.syGetNRVMPOfCurrentVMR, refusingHost.syGetNRVMPOfCurrentVMR);
    fillMissing(filled.sySetNRVMPParametersOfCurrentVMR,
                refusingHost.sySetNRVMPParametersOfCurrentVMR);
    fillMissing(filled.sySaveNRVMPsOfCurrentVMR, refusingHost.sySaveNRVMPsOfCurrentVMR);
    hostApi = filled;
    return hostApi.syGetVersionOfSynapsa != nullptr;
}

namespace {

#if defined(_WIN32)
using SymbolAddress = FARPROC;
#else
using SymbolAddress = void*;
#endif

template <typename Function>
void lookUp(Function& entry, SymbolAddress address) {
    // Converting an object or procedure address to a function pointer is what
    // every dynamic loader interface requires; memcpy keeps it well-defined
    // under -Wpedantic.
    static_assert(sizeof entry == sizeof address, "function and data pointers differ in size");
    std::memcpy(&entry, &address, sizeof entry);
}

template <typename Find>
void lookUpAll(HostApi& table, Find find) {
#define LDI_LOOK_UP(name) lookUp(table.name, find(#name))
    LDI_LOOK_UP(syGetVersionOfSynapsa);
    LDI_LOOK_UP(syGetPluginsPath);
    LDI_LOOK_UP(syShowLogTab);
    LDI_LOOK_UP(syLogText);
    LDI_LOOK_UP(syMessageBox);
    LDI_LOOK_UP(syGetIntegerInput);
    LDI_LOOK_UP(syGetTextInput);
    LDI_LOOK_UP(syGetOpenFileName);
    LDI_LOOK_UP(syGetSaveFileName);
    LDI_LOOK_UP(syShowBusyCursor);
    LDI_LOOK_UP(syStopBusyCursor);
    LDI_LOOK_UP(syGetCurrentVMR);
    LDI_LOOK_UP(syGetVTCOfCurrentVMR);
    LDI_LOOK_UP(sySetVTCParametersOfCurrentVMR);
    LDI_LOOK_UP(syGetProtocol);
    LDI_LOOK_UP(syGetProtocolCondition);
    LDI_LOOK_UP(syGetVOIs);
    LDI_LOOK_UP(syGetVOI);
    LDI_LOOK_UP(syDeleteNRVMPsOfCurrentVMR);
    LDI_LOOK_UP(syCreateNRVMPsForCurrentVMR);
    LDI_LOOK_UP(syGetNRVMPsOfCurrentVMR);
    LDI_LOOK_UP(syGetNRVMPOfCurrentVMR);
    LDI_LOOK_UP(sySetNRVMPParametersOfCurrentVMR);
    LDI_LOOK_UP(sySaveNRVMPsOfCurrentVMR);
#undef LDI_LOOK_UP
}

}  // namespace

bool resolveHostApi() {
    HostApi found{};
#if defined(_WIN32)
    // The program that loaded the plug-in is the host, whatever its file is
    // called (an installed copy may be renamed, ldi.exe stands in for it).
    HMODULE host = GetModuleHandleA(nullptr);
    if (host == nullptr) return false;
    lookUpAll(found, [host](const char* name) { return GetProcAddress(host, name); });
#else
    void* program = dlopen(nullptr, RTLD_LAZY);
    if (program == nullptr) return false;
    lookUpAll(found, [program](const char* name) { return dlsym(program, name); });
    dlclose(program);
#endif
    if (found.syGetVersionOfSynapsa == nullptr) return false;
    return installHostApi(found);
}

}  // namespace ldi
