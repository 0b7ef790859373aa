// The host application's function table and the records passed through it.
//
// This header is shared by the plug-in (which calls these functions), by the
// command-line host `ldi` (which provides them under their plain names with C
// linkage) and by the fake host of the tests (which installs test functions
// into the table directly).
//
// Conventions for every function:
// - Texts are NUL-terminated UTF-8/ASCII byte strings.
// - Indices count from 0.
// - Buffers that the host fills come with their capacity in bytes (including
//   the terminating NUL); the host never writes more than that and always
//   terminates the text.
// - Memory handed out by the host (VOI voxel arrays, protocol interval arrays,
//   map buffers, label texts, FDR threshold arrays) stays the host's: the
//   plug-in only borrows it until the next call that changes the same object,
//   and never frees it.
// - A function that the host does not provide behaves as the host refusing:
//   the table entry is filled with a stand-in that answers null, 0, -1 or
//   "cancelled" as described with each function. No call ever goes through an
//   empty entry.
#pragma once

#include <cstdint>

namespace ldi {

extern "C" {

// Capacities of the fixed-size text fields and of the dialog buffers.
enum {
    SY_PLUGINS_PATH_CAPACITY = 256,  // syGetPluginsPath buffer
    SY_TEXT_INPUT_CAPACITY = 256,    // syGetTextInput buffer (condition names)
    SY_OPEN_FILE_CAPACITY = 256,     // syGetOpenFileName buffer (VTC and protocol paths)
    SY_SAVE_FILE_CAPACITY = 512,     // syGetSaveFileName buffer (output prefix)
    SY_PATH_CAPACITY = 1024,         // paths inside records (VTC path, protocol path)
    SY_NAME_CAPACITY = 256,          // VOI names and protocol condition names
    SY_MAP_NAME_CAPACITY = 128,      // a map's display name, including the NUL
    SY_LEVEL_LABEL_CAPACITY = 64     // one threshold-level label, including the NUL
};

// Header of the VTC linked to the current VMR (syGetVTCOfCurrentVMR).
struct SyVtcHeader {
    int32_t linkState;       // -1: no VTC is linked; anything else: a VTC is linked
    int32_t tr;              // repetition time in milliseconds
    int32_t numVolumes;
    int32_t resolution;
    int32_t xStart, xEnd, yStart, yEnd, zStart, zEnd;
    char vtcPath[SY_PATH_CAPACITY];       // file of the linked VTC ("" if unknown)
    char protocolPath[SY_PATH_CAPACITY];  // protocol linked to that VTC ("" if none)
};

// The current VOI list (syGetVOIs).
struct SyVoiList {
    int32_t voiCount;          // number of VOIs; 0 when none is loaded
    int32_t coordsConvention;  // 0: internal (VTC axis order); nonzero: converted axes
};

// One VOI (syGetVOI). The voxel coordinates are returned separately.
struct SyVoi {
    int32_t voxelCount;
    char name[SY_NAME_CAPACITY];
};

// The protocol linked to the current VTC (syGetProtocol).
struct SyProtocol {
    int32_t conditionCount;
    int32_t timeResolution;  // 1 = volumes, 2 = milliseconds
};

// One protocol condition (syGetProtocolCondition). The two arrays are the host's.
struct SyProtocolCondition {
    char name[SY_NAME_CAPACITY];
    int32_t intervalCount;
    const int32_t* intervalStarts;  // intervalCount values
    const int32_t* intervalEnds;    // intervalCount values
};

// One threshold-level label of a map set; the host owns the array.
struct SyLevelLabel {
    char text[SY_LEVEL_LABEL_CAPACITY];
};

// Header of the whole map set of the current VMR.
// The plug-in writes levelCount and the geometry before syCreateNRVMPsForCurrentVMR;
// syGetNRVMPsOfCurrentVMR fills the rest.
struct SyMapSetHeader {
    int32_t levelCount;  // threshold levels per map
    int32_t xStart, xEnd, yStart, yEnd, zStart, zEnd, resolution;
    int32_t mapCount;            // filled by the host
    int32_t dimX, dimY, dimZ;    // filled by the host
    SyLevelLabel* levelLabels;   // filled by the host: levelCount writable labels
};

// Header of one map (syGetNRVMPOfCurrentVMR / sySetNRVMPParametersOfCurrentVMR).
struct SyMapHeader {
    char name[SY_MAP_NAME_CAPACITY];  // display name
    int32_t mapKind;
    float lowerThreshold;
    float upperThreshold;
    int32_t positiveColourLow;   // packed 0xRRGGBB
    int32_t positiveColourHigh;
    int32_t negativeColourLow;
    int32_t negativeColourHigh;
    int32_t useNegativeColours;  // the flag that follows the four colours
    int32_t fdrThresholdCount;   // filled by the host: the map set's levelCount
    float* fdrThresholds;        // filled by the host: fdrThresholdCount writable values
};

// The 24 host functions. Each comment says what the stand-in for a missing
// function answers.
typedef void (*SyGetVersionOfSynapsa)(int* major, int* minor, int* patch);    // required
typedef int (*SyGetPluginsPath)(char* buffer, int capacity);                   // 0, ""
typedef void (*SyShowLogTab)(void);                                            // nothing
typedef void (*SyLogText)(const char* text);                                   // nothing
typedef void (*SyMessageBox)(const char* richText);                            // nothing
// Returns the value in [min, max]; a negative value when cancelled.
typedef int (*SyGetIntegerInput)(const char* prompt, int defaultValue, int min, int max);  // -1
// Returns nonzero and the text in buffer; 0 when cancelled.
typedef int (*SyGetTextInput)(const char* prompt, const char* defaultText, char* buffer,
                              int capacity);                                   // 0
// Returns nonzero and the chosen path in buffer; 0 when cancelled.
typedef int (*SyGetOpenFileName)(const char* title, const char* initialPath, const char* filter,
                                 char* buffer, int capacity);                  // 0
typedef int (*SyGetSaveFileName)(const char* title, const char* initialPath, const char* filter,
                                 char* buffer, int capacity);                  // 0
typedef void (*SyShowBusyCursor)(void);                                        // nothing
typedef void (*SyStopBusyCursor)(void);                                        // nothing
// Non-null when a VMR is current; the three values are its dimensions.
typedef void* (*SyGetCurrentVMR)(int* dimX, int* dimY, int* dimZ);             // null
typedef void (*SyGetVTCOfCurrentVMR)(SyVtcHeader* header);                     // linkState -1
typedef int (*SySetVTCParametersOfCurrentVMR)(const SyVtcHeader* header);      // 0
typedef int (*SyGetProtocol)(SyProtocol* protocol);                            // 0
typedef int (*SyGetProtocolCondition)(int index, SyProtocolCondition* condition);  // 0, empty
typedef void (*SyGetVOIs)(SyVoiList* list);                                    // voiCount 0
// Returns the VOI's voxelCount coordinate triples (x, y, z); null on failure.
typedef const int32_t* (*SyGetVOI)(int index, SyVoi* voi);                     // null
typedef void (*SyDeleteNRVMPsOfCurrentVMR)(void);                              // nothing
typedef int (*SyCreateNRVMPsForCurrentVMR)(int mapCount, int reserved, int levelCount,
                                           SyMapSetHeader* header);            // 0
typedef void* (*SyGetNRVMPsOfCurrentVMR)(SyMapSetHeader* header);              // null
// Returns the map's dimZ*dimY*dimX float voxels in [z][y][x] order; null on failure.
typedef float* (*SyGetNRVMPOfCurrentVMR)(int mapIndex, SyMapHeader* header);   // null
typedef int (*SySetNRVMPParametersOfCurrentVMR)(int mapIndex, const SyMapHeader* header);  // 0
// Returns nonzero when every map of the current VMR was saved to fileName.
typedef int (*SySaveNRVMPsOfCurrentVMR)(const char* fileName);                 // 0

}  // extern "C"

// The process-wide table of host functions, filled by resolveHostApi (from
// the running program) or by installHostApi (tests, in-process hosts).
struct HostApi {
    SyGetVersionOfSynapsa syGetVersionOfSynapsa;
    SyGetPluginsPath syGetPluginsPath;
    SyShowLogTab syShowLogTab;
    SyLogText syLogText;
    SyMessageBox syMessageBox;
    SyGetIntegerInput syGetIntegerInput;
    SyGetTextInput syGetTextInput;
    SyGetOpenFileName syGetOpenFileName;
    SyGetSaveFileName syGetSaveFileName;
    SyShowBusyCursor syShowBusyCursor;
    SyStopBusyCursor syStopBusyCursor;
    SyGetCurrentVMR syGetCurrentVMR;
    SyGetVTCOfCurrentVMR syGetVTCOfCurrentVMR;
    SySetVTCParametersOfCurrentVMR sySetVTCParametersOfCurrentVMR;
    SyGetProtocol syGetProtocol;
    SyGetProtocolCondition syGetProtocolCondition;
    SyGetVOIs syGetVOIs;
    SyGetVOI syGetVOI;
    SyDeleteNRVMPsOfCurrentVMR syDeleteNRVMPsOfCurrentVMR;
    SyCreateNRVMPsForCurrentVMR syCreateNRVMPsForCurrentVMR;
    SyGetNRVMPsOfCurrentVMR syGetNRVMPsOfCurrentVMR;
    SyGetNRVMPOfCurrentVMR syGetNRVMPOfCurrentVMR;
    SySetNRVMPParametersOfCurrentVMR sySetNRVMPParametersOfCurrentVMR;
    SySaveNRVMPsOfCurrentVMR sySaveNRVMPsOfCurrentVMR;
};

// The table every part of the plug-in calls through. Never holds a null entry
// once resolveHostApi or installHostApi has run.
extern HostApi hostApi;

// Looks every host function up by name in the running program. Fails (false)
// only when syGetVersionOfSynapsa is missing; other missing functions get
// their refusing stand-ins.
bool resolveHostApi();

// Installs a table directly (tests, hosts linked in-process). Null entries get
// their refusing stand-ins; a null syGetVersionOfSynapsa is left null and the
// call returns false.
bool installHostApi(const HostApi& table);

}  // namespace ldi
