// The intervals of one VTC entry: typed by hand, or taken from a condition of
// a protocol file that the host reads.

#include <cstdint>
#include <string>

#include "base/log_pane.h"
#include "base/status.h"
#include "setup/dialog_text.h"
#include "setup/setup_dialogs.h"

namespace ldi {

namespace {

enum ProtocolTimeResolution : int32_t {
    PROTOCOL_IN_VOLUMES = 1,
    PROTOCOL_IN_MILLISECONDS = 2,
};

// Milliseconds to a volume position: ms / TR + 0.5 in single precision, cut
// toward zero. The caller guarantees TR >= 1, so the value stays within
// int32 except for times within a millisecond of the int32 limit with TR 1;
// those are held one below the limit so that adding 1 cannot wrap.
int32_t roundedVolumePosition(int32_t milliseconds, float tr) {
    const float scaled = static_cast<float>(milliseconds) / tr;
    const float rounded = scaled + 0.5f;
    if (rounded >= 2147483648.0f) return INT32_MAX - 1;
    return static_cast<int32_t>(rounded);
}

std::string tooShortMessage(int32_t first, int32_t last, int arOrder) {
    return invalidSelection("The interval (" + std::to_string(first) + ", " +
           std::to_string(last) + ") is too short: last-first+1 must be greater than AR-order(" +
           std::to_string(arOrder) + ")<br><br>Try again after closing this dialog");
}

}  // namespace

int specifyIntervalManually(bool echoSelections, VtcEntry& entry, const std::string& vtcPath,
                            int arOrder) {
    const std::string firstPrompt =
        "Specify <b>first</b> time-point(volume) of interval in<br><i>" + vtcPath + "</i>";
    const std::string lastPrompt =
        "Specify <b>last</b> time-point(volume) of interval in<br><i>" + vtcPath + "</i>";

    for (;;) {
        const int first = hostApi.syGetIntegerInput(firstPrompt.c_str(), 5, 1, 1000000);
        if (first < 1) return statusCancelled;
        const int last = hostApi.syGetIntegerInput(lastPrompt.c_str(), 100, 1, 1000000);
        if (last < 1) return statusCancelled;

        if (!intervalLongEnough(first, last, arOrder)) {
            hostApi.syMessageBox(tooShortMessage(first, last, arOrder).c_str());
            continue;
        }

        entry.intervals.push_back(Interval{first, last});
        if (echoSelections) logLine(intervalEchoLine(first, last));
        return statusSuccess;
    }
}

int specifyIntervalsFromProtocol(bool echoSelections, VtcEntry& entry, const std::string& vtcPath,
                                 int arOrder) {
    char protocolPath[SY_OPEN_FILE_CAPACITY] = {};
    if (hostApi.syGetOpenFileName("Specify a protocol file with VOLUME time-resolution", "",
                                  "Protocol Files (*.prt)", protocolPath,
                                  SY_OPEN_FILE_CAPACITY) == 0) {
        return statusCancelled;
    }

    SyVtcHeader vtc{};
    hostApi.syGetVTCOfCurrentVMR(&vtc);
    if (vtc.linkState == -1) {
        logLine("ERROR: Could not get access to VTC");
        return statusTerminalError;
    }

    // Linking the protocol to the host's current VTC makes the host load it;
    // the link stays in the host after the run.
    copyToHostField(vtc.protocolPath, hostText(protocolPath));
    hostApi.sySetVTCParametersOfCurrentVMR(&vtc);

    SyProtocol protocol{};
    if (hostApi.syGetProtocol(&protocol) == 0) {
        logLine("ERROR: Could not get access to protocol definition");
        return statusTerminalError;
    }
    // A menu without entries would be asked with the empty range 1 to 0.
    if (protocol.conditionCount < 1) {
        logLine("ERROR: The protocol " + hostText(protocolPath) +
                " defines no conditions. Choose a protocol with at least one condition.");
        return statusTerminalError;
    }

    std::string menu =
        "<b>Select a PRT Condition</b><br>Select a single condition from the currently loaded "
        "protocol to specify the intervals for the current LDI condition in <i>" +
        vtcPath + "</i><br><br><b>Select:</b><br>";
    for (int32_t i = 0; i < protocol.conditionCount; ++i) {
        SyProtocolCondition listed{};
        hostApi.syGetProtocolCondition(i, &listed);
        menu += menuLine(i + 1, hostText(listed.name));
    }

    const int choice = hostApi.syGetIntegerInput(menu.c_str(), 1, 1, protocol.conditionCount);
    if (choice < 1) return statusCancelled;

    SyProtocolCondition chosen{};
    // A refused query would otherwise pass as a condition without intervals,
    // and an interval count without arrays cannot be read at all.
    if (hostApi.syGetProtocolCondition(choice - 1, &chosen) == 0 ||
        (chosen.intervalCount > 0 && (!chosen.intervalStarts || !chosen.intervalEnds))) {
        logLine("ERROR: Could not get access to protocol definition");
        return statusTerminalError;
    }

    if (protocol.timeResolution == PROTOCOL_IN_MILLISECONDS) {
        logLine("\tWARNING: The specified protocol has millisecond resolution, LDI requires "
                "volumes");
        logLine("\tWARNING: Converting milliseconds to volumes (using current VTC's TR), please "
                "check intervals below or in written log-file");
    }

    for (int32_t j = 0; j < chosen.intervalCount; ++j) {
        const int32_t start = chosen.intervalStarts[j];
        const int32_t end = chosen.intervalEnds[j];
        Interval interval;
        if (protocol.timeResolution == PROTOCOL_IN_VOLUMES) {
            // Taken as they are; the voxel pass checks them against the VTC.
            interval = Interval{start, end};
        } else if (protocol.timeResolution == PROTOCOL_IN_MILLISECONDS) {
            if (vtc.tr <= 0) {
                logLine("ERROR: The current VTC has a TR of " + std::to_string(vtc.tr) +
                        " ms, so the protocol's millisecond times cannot be converted to "
                        "volumes. Link a VTC with a positive TR or use a protocol in volumes.");
                return statusTerminalError;
            }
            const float tr = static_cast<float>(vtc.tr);
            interval.first = roundedVolumePosition(start, tr) + 1;
            interval.last = roundedVolumePosition(end, tr);
            if (interval.last < interval.first) interval.last = interval.first;
            if (!intervalLongEnough(interval.first, interval.last, arOrder)) {
                logLine("ERROR : The interval (" + std::to_string(interval.first) + ", " +
                        std::to_string(interval.last) +
                        ") is invalid: last-first+1 must be greater than AR-order(" +
                        std::to_string(arOrder) + ")");
                return statusInvalidChoices;
            }
        } else {
            logLine("ERROR: Unknown protocol time-resolution: not volumes or msec");
            return statusTerminalError;
        }

        entry.intervals.push_back(interval);
        if (echoSelections) logLine(intervalEchoLine(interval.first, interval.last));
    }
    return statusSuccess;
}

}  // namespace ldi
