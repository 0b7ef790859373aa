// The interactive set-up of a run: the host dialogs that choose the reference
// VOIs, the way intervals are given, the conditions with their VTC files (or
// source/target pairs) and intervals, and the output prefix.
//
// Every operation returns a run status (base/status.h): 1 when its
// part of the set-up is complete, 0 when the user cancelled, 2 when an
// interval taken from a protocol is too short for the model order, 3 when a
// host resource cannot be used. Whatever was chosen before a status other
// than 1 stays in the AnalysisSetup; the caller simply destroys it.
//
// While the plug-in's echoSelections flag is set, every choice is echoed into
// the host log with logLine.
#pragma once

#include <string>

#include "base/host_api.h"
#include "setup/analysis_setup.h"

namespace ldi {

// How the intervals of every VTC entry are given; chosen once per set-up.
enum IntervalMethod : int {
    INTERVALS_MANUAL = 1,         // one interval per VTC, typed by hand
    INTERVALS_FROM_PROTOCOL = 2,  // the intervals of one condition of a protocol file
};

// The whole dialog sequence: VOIs, interval method, conditions with their VTC
// files and intervals, output prefix. Resets the geometry group first.
int runAnalysisSetup(bool echoSelections, AnalysisSetup& setup, const SyVoiList& voiList);

// The numbered VOI menu, asked until the user stops (with at least one VOI),
// adds all VOIs or cancels. Returns 1 or 0.
int selectVois(bool echoSelections, AnalysisSetup& setup, const SyVoiList& voiList);

// Single-VTC mode: VTC files for one condition, each followed by its
// intervals, until the user cancels the file dialog with at least one entry.
int selectVtcs(bool echoSelections, AnalysisSetup& setup, Condition& condition, int intervalMethod);

// Source/target mode: pairs of VTC files for one condition. Cancelling the
// target dialog cancels the whole set-up.
int selectVtcPairs(bool echoSelections, AnalysisSetup& setup, Condition& condition,
                   int intervalMethod);

// Reads the header of the VTC at `path` and checks its box and resolution
// against the set-up's geometry; the first file that passes sets the
// geometry. Raises maxVolumes when the file is longer. Never leaves the file
// open.
bool probeVtc(AnalysisSetup& setup, const std::string& path);

// One interval typed by hand (first and last volume), asked again until it is
// longer than the AR order. Returns 1 or 0.
int specifyIntervalManually(bool echoSelections, VtcEntry& entry, const std::string& vtcPath,
                            int arOrder);

// The intervals of one condition of a protocol file read through the host;
// millisecond protocols are converted to volumes with the current VTC's TR.
int specifyIntervalsFromProtocol(bool echoSelections, VtcEntry& entry, const std::string& vtcPath,
                                 int arOrder);

}  // namespace ldi
