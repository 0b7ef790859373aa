// The set-up sequence after the VOIs: interval method, conditions, the VTC
// files (or source/target pairs) of each condition, and the output prefix.

#include <cstdio>
#include <memory>

#include "data/vtc_file.h"
#include "base/log_pane.h"
#include "base/status.h"
#include "setup/dialog_text.h"
#include "setup/setup_dialogs.h"

namespace ldi {

namespace {

const char* const intervalMethodMenu =
    "<b>Interval selection</b><br>How do you want to select the vtc-intervals (conditions) used "
    "to compute the LDIs?<br><br><b>Choose an option:</b><br>1. Manually specify a single "
    "interval per VTC<br>2. Specify a condition from a loaded protocol (.prt) for every VTC to "
    "define the intervals";

const char* const conditionNamePrompt =
    "<b>Add a Condition</b><br> Give a name for a set of intervals (Condition) used to compute "
    "LDIs over (or press OK while empty to stop adding):";

const char* const vtcFilter = "Volume Time Course Files (*.vtc)";

const char* const geometryMismatchNote =
    " Resolution (3mm, 2mm, or 1mm) and reference space (un-transformed, ACPC, or TAL) must be "
    "the same for all VTCs.";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Asks the host for a VTC file; false when the user cancelled.
bool askVtcPath(const std::string& title, std::string& path) {
    char buffer[SY_OPEN_FILE_CAPACITY] = {};
    if (hostApi.syGetOpenFileName(title.c_str(), "", vtcFilter, buffer, SY_OPEN_FILE_CAPACITY) ==
        0) {
        return false;
    }
    path = hostText(buffer);
    return true;
}

// The interval dialogs for a freshly added entry, by method.
int specifyIntervals(bool echoSelections, VtcEntry& entry, const std::string& shownPath,
                     int intervalMethod, int arOrder) {
    switch (intervalMethod) {
        case INTERVALS_MANUAL:
            return specifyIntervalManually(echoSelections, entry, shownPath, arOrder);
        case INTERVALS_FROM_PROTOCOL:
            return specifyIntervalsFromProtocol(echoSelections, entry, shownPath, arOrder);
        default:
            logLine("ERROR: Unknown VTC interval specification method");
            return statusTerminalError;
    }
}

}  // namespace

int runAnalysisSetup(bool echoSelections, AnalysisSetup& setup, const SyVoiList& voiList) {
    setup.xStart = setup.xEnd = -1;
    setup.yStart = setup.yEnd = -1;
    setup.zStart = setup.zEnd = -1;
    setup.resolution = -1;
    setup.maxVolumes = -1;

    const int voiStatus = selectVois(echoSelections, setup, voiList);
    if (voiStatus != statusSuccess) return voiStatus;

    const int intervalMethod = hostApi.syGetIntegerInput(intervalMethodMenu, 1, 1, 2);
    if (intervalMethod < 1) return statusCancelled;

    if (echoSelections) logLine("\nSelected condition structure:\n");

    for (;;) {
        char nameBuffer[SY_TEXT_INPUT_CAPACITY] = {};
        if (hostApi.syGetTextInput(conditionNamePrompt, "", nameBuffer, SY_TEXT_INPUT_CAPACITY) ==
            0) {
            return statusCancelled;
        }
        // Not trimmed: a name of blanks is a name.
        const std::string name = hostText(nameBuffer);
        if (name.empty()) {
            if (!setup.conditions.empty()) break;
            hostApi.syMessageBox(invalidSelection("You have select at least one Condition. Try "
                                                  "again after closing this dialog")
                                     .c_str());
            continue;
        }
        if (hasCondition(setup, name)) {
            hostApi.syMessageBox(invalidSelection("You have already selected that condition-name. "
                                                  "Try again after closing this messagebox.")
                                     .c_str());
            continue;
        }

        Condition& condition = addCondition(setup, name);
        if (echoSelections) logLine("<b>" + name + "</b>");

        const int status = setup.parameters.separateSourceTargetVTCs
                               ? selectVtcPairs(echoSelections, setup, condition, intervalMethod)
                               : selectVtcs(echoSelections, setup, condition, intervalMethod);
        if (status != statusSuccess) return status;
    }

    char prefixBuffer[SY_SAVE_FILE_CAPACITY] = {};
    if (hostApi.syGetSaveFileName("Choose path and name-prefix for results:", "", "", prefixBuffer,
                                  SY_SAVE_FILE_CAPACITY) == 0) {
        return statusCancelled;
    }
    setup.outputPrefix = hostText(prefixBuffer);
    return statusSuccess;
}

int selectVtcs(bool echoSelections, AnalysisSetup& setup, Condition& condition, int intervalMethod) {
    const std::string title =
        "Add a VTC for condition: " + condition.name + " (cancel to stop adding)";

    for (;;) {
        std::string path;
        if (!askVtcPath(title, path)) {
            if (!condition.entries.empty()) return statusSuccess;
            hostApi.syMessageBox(invalidSelection("You have select at least one VTC and an "
                                                  "interval within that VTC. Try again after "
                                                  "closing this dialog")
                                     .c_str());
            continue;
        }
        if (hasVtcEntry(condition, path, path)) {
            hostApi.syMessageBox(invalidSelection("You have already selected that VTC for this "
                                                  "condition. Try again after closing this "
                                                  "messagebox.")
                                     .c_str());
            continue;
        }
        if (!probeVtc(setup, path)) {
            hostApi.syMessageBox(
                invalidSelection(std::string("Either could not open vtc or the selected vtc is "
                                             "not of the same dimensions as previously selected "
                                             "ones.") +
                                 geometryMismatchNote)
                    .c_str());
            continue;
        }

        VtcEntry& entry = addVtcEntry(condition, path, path);
        if (echoSelections) logLine("\t" + path);

        const int status = specifyIntervals(echoSelections, entry, path, intervalMethod,
                                            setup.parameters.autoRegressionOrder);
        if (status != statusSuccess) return status;
    }
}

int selectVtcPairs(bool echoSelections, AnalysisSetup& setup, Condition& condition,
                   int intervalMethod) {
    const std::string sourceTitle = "Add a SOURCE VTC (reference) for condition: " +
                                    condition.name + " (cancel to stop adding)";
    const std::string targetTitle = "Add a TARGET VTC (voxels) for condition: " + condition.name +
                                    " (mandatory, cancel only to exit)";

    for (;;) {
        std::string source;
        if (!askVtcPath(sourceTitle, source)) {
            if (!condition.entries.empty()) return statusSuccess;
            hostApi.syMessageBox(invalidSelection("You have select at least one VTC-Pair (source "
                                                  "and target) and an interval within those "
                                                  "VTCs. Try again after closing this dialog")
                                     .c_str());
            continue;
        }
        std::string target;
        if (!askVtcPath(targetTitle, target)) return statusCancelled;

        if (hasVtcEntry(condition, source, target)) {
            hostApi.syMessageBox(invalidSelection("You have already selected that source-target "
                                                  "VTC-pair for this condition. Try again after "
                                                  "closing this messagebox.")
                                     .c_str());
            continue;
        }
        // The target is probed only when the source passed; a passing source
        // keeps whatever geometry it set even if the target then fails.
        if (!probeVtc(setup, source) || !probeVtc(setup, target)) {
            hostApi.syMessageBox(
                invalidSelection(std::string("Either could not open (one of) the (source or "
                                             "target) vtcs or (one of) the selected vtc is not "
                                             "of the same dimensions as previously selected "
                                             "ones.") +
                                 geometryMismatchNote)
                    .c_str());
            continue;
        }

        VtcEntry& entry = addVtcEntry(condition, source, target);
        if (echoSelections) logLine("\tsrc: " + source + "\n\ttrg: " + target);

        const int status = specifyIntervals(echoSelections, entry, source, intervalMethod,
                                            setup.parameters.autoRegressionOrder);
        if (status != statusSuccess) return status;
    }
}

bool probeVtc(AnalysisSetup& setup, const std::string& path) {
    VtcHeader header;
    {
        FileHandle file(std::fopen(path.c_str(), "rb"));
        if (!file) return false;
        if (!readVtcHeader(file.get(), header)) return false;
    }

    // Field by field: an unset field takes the header's value, a set one must
    // match it. Fields handled before a mismatch keep what they were given.
    const struct {
        int32_t* setupField;
        int32_t headerField;
    } geometry[] = {
        {&setup.xStart, header.xStart}, {&setup.xEnd, header.xEnd},
        {&setup.yStart, header.yStart}, {&setup.yEnd, header.yEnd},
        {&setup.zStart, header.zStart}, {&setup.zEnd, header.zEnd},
        {&setup.resolution, header.resolution},
    };
    for (const auto& field : geometry) {
        if (*field.setupField == -1) {
            *field.setupField = field.headerField;
        } else if (*field.setupField != field.headerField) {
            return false;
        }
    }

    if (setup.maxVolumes == -1 || setup.maxVolumes < header.numVolumes) {
        setup.maxVolumes = header.numVolumes;
    }
    return true;
}

}  // namespace ldi
