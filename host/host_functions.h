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
void syGetVTCOfCurrentVMR(ldi::SyVtcHeader* header);
int sySetVTCParametersOfCurrentVMR(const ldi::SyVtcHeader* header);
int syGetProtocol(ldi::SyProtocol* protocol);
int syGetProtocolCondition(int index, ldi::SyProtocolCondition* condition);
void syGetVOIs(ldi::SyVoiList* list);
const int32_t* syGetVOI(int index, ldi::SyVoi* voi);
void syDeleteNRVMPsOfCurrentVMR(void);
int syCreateNRVMPsForCurrentVMR(int mapCount, int reserved, int levelCount, ldi::SyMapSetHeader* header);
void* syGetNRVMPsOfCurrentVMR(ldi::SyMapSetHeader* header);
float* syGetNRVMPOfCurrentVMR(int mapIndex, ldi::SyMapHeader* header);
int sySetNRVMPParametersOfCurrentVMR(int mapIndex, const ldi::SyMapHeader* header);
int sySaveNRVMPsOfCurrentVMR(const char* fileName);
}
