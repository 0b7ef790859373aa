// Declarations of the host functions `ldi` provides (defined in
// host_functions.cpp), for code that calls them directly.
#pragma once

#include <cstdint>

#include "base/host_api.h"

extern "C" {
void syGetVersionOfSynapsa(int* major, int* minor, int* patch);
int syGetPluginsPath(char* buffer, int capacity);
void syShowLogTab(void);
void syLogText(const char* text);
void syMessageBox(const char* richText);
int syGetIntegerInput(const char* prompt, int defaultValue, int minimum, int maximum);
int syGetTextInput(const char* prompt, const char* defaultText, char* buffer, int capacity);
int syGetOpenFileName(const char* title, const char* initialPath, const char* filter, char* buffer,
                      int capacity);
int syGetSaveFileName(const char* title, const char* initialPath, const char* filter, char* buffer,
                      int capacity);
void syShowBusyCursor(void);
void syStopBusyCursor(void);
void* syGetCurrentVMR(int* dimX, int* dimY, int* dimZ);
void syGetVTCOfCurrentVMR(SyVtcHeader* header);
int sySetVTCParametersOfCurrentVMR(const SyVtcHeader* header);
int syGetProtocol(SyProtocol* protocol);
int syGetProtocolCondition(int index, SyProtocolCondition* condition);
void syGetVOIs(SyVoiList* list);
const int32_t* syGetVOI(int index, SyVoi* voi);
void syDeleteNRVMPsOfCurrentVMR(void);
int syCreateNRVMPsForCurrentVMR(int mapCount, int reserved, int levelCount, SyMapSetHeader* header);
void* syGetNRVMPsOfCurrentVMR(SyMapSetHeader* header);
float* syGetNRVMPOfCurrentVMR(int mapIndex, SyMapHeader* header);
int sySetNRVMPParametersOfCurrentVMR(int mapIndex, const SyMapHeader* header);
int sySaveNRVMPsOfCurrentVMR(const char* fileName);
}
