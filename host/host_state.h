// The state behind the host functions: what `ldi` holds open for the plug-in
// (VMR, linked VTC and protocol, VOI list, the VMR's map set, the plug-ins
// folder) and where the log pane, message boxes and dialogs go.
//
// The host functions themselves (the sy* functions of base/host_api.h) are
// defined in host_functions.cpp with C linkage and exported from `ldi`.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <set>
#include <string>
#include <vector>

#include "host/dialogs.h"
#include "formats/protocol_file.h"
#include "formats/result_index.h"
#include "formats/voi_file.h"
#include "base/host_api.h"

namespace ldi {

// The version `ldi` reports to the plug-in.
constexpr int HOST_VERSION_MAJOR = 2;
constexpr int HOST_VERSION_MINOR = 1;
constexpr int HOST_VERSION_PATCH = 0;

// The VTC linked to the current VMR, as read from its header.
struct LinkedVtc {
    std::string path;
    int32_t tr = 0;
    int32_t numVolumes = 0;
    int32_t resolution = 0;
    int32_t xStart = 0, xEnd = 0, yStart = 0, yEnd = 0, zStart = 0, zEnd = 0;
    std::string protocolPath;  // the protocol linked to it ("" if none)
};

// The map set of the current VMR.
struct HostMapSet {
    bool exists = false;
    LdiFile content;                          // geometry, labels (synced on save), maps
    std::vector<SyLevelLabel> labelBuffers;   // the labels the plug-in writes into
};

// Largest map set the host agrees to hold, in voxel values over all maps.
constexpr int64_t MAX_MAP_SET_VALUES = int64_t(1) << 30;
// Largest number of threshold levels per map.
constexpr int32_t MAX_THRESHOLD_LEVELS = 1024;

struct HostState {
    bool vmrPresent = true;
    bool vtcLinked = false;
    LinkedVtc vtc;
    bool protocolLoaded = false;  // a linked protocol was read successfully
    Protocol protocol;
    VoiList vois;
    HostMapSet maps;
    std::string pluginsPath;
    ResultIdentity identity;  // the plug-in's name and version, for the saved results
    // The plug-in's optional exports for the saved results (null when it has none).
    long long (*getRandomSeed)() = nullptr;
    long long (*getPassingVoxelCount)(int, int) = nullptr;

    // Output. Null streams are not written.
    std::ostream* logPane = nullptr;  // plain text of the log pane (standard output)
    std::ostream* rawLog = nullptr;   // raw texts of the log pane (--log FILE)
    std::ostream* messages = nullptr; // message boxes and the host's notices (standard error)
    DialogSource* dialogs = nullptr;  // null: every dialog is cancelled
    // One line per progress step of the voxel pass, naming the VOI and the
    // condition (standard error, when it is a terminal the log pane is not on).
    std::ostream* progress = nullptr;

    // What the log pane has shown: its "// LDI> " lines since the last empty
    // one (without the prefix), which at the end of a failed run are the
    // plug-in's reason, and the VOI and condition being computed.
    std::vector<std::string> lastMessage;
    std::string progressVoi;
    std::string progressCondition;
    bool computing = false;  // the set-up is over

    int failedSaves = 0;  // saves that answered 0 during this run
    // The warnings the plug-in wrote into the log pane during this run, and
    // the result files the run has written, for the saves that follow.
    std::vector<std::string> warnings;
    std::set<std::string> writtenResultFiles;
    // Time spent inside the host functions (dialogs, log pane, map sets, saving),
    // so that a run can tell the plug-in's own computation from the host's work.
    std::chrono::steady_clock::duration hostTime{0};
};

// The one state of this process, used by the host functions.
HostState& hostState();

// Reads a VTC file's header for linking it to the VMR. On failure says why.
bool readLinkedVtc(const std::string& path, LinkedVtc& vtc, std::string& problem);

// Reads a protocol file (used when the plug-in links one). On failure says
// why, with the line number.
bool loadProtocolFile(const std::string& path, Protocol& protocol, std::string& problem);

}  // namespace ldi
