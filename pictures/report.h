// ldi's HTML reports, one self-contained file each (every picture, plot and
// the slice viewer inline, so that it opens without a network): per analysis
// of NIfTI runs (ldi map, and each subject, session and task of ldi bids's
// participant level) and for the group level. They tell what was asked
// (command, version, parameters, inputs), show the seeds and every map at
// its threshold, the calibration of the maps' p-values and the warnings.
#pragma once

#include <string>

#include "analysis/analysis.h"

namespace ldi {

struct ReportContext {
    std::string commandLine;  // as typed, for the report's header
    // The caller holds a PictureSession over every report it has written at
    // the same time (the subjects of ldi bids side by side): the font caches
    // that one report's end would release are still in use by another's.
    bool callerHoldsPictureSession = false;
};

// Runs the analysis with `files` as the sink of the maps' files, keeping
// what the report needs of each seed's maps while they are in memory (their
// pictures, thresholds and p-values), then writes the report into the
// request's output folder as PREFIX_ldi-report.html. A report that cannot be
// written fails the run (status failed, the maps kept) and takes an earlier
// run's report with it, which would describe other maps.
void analyseAndReport(const AnalysisRequest& request, const SeedSink& files, const ReportContext& context,
                      AnalysisResults& results);

// The group level's report from the files in OUTPUT/group (group.json and the
// maps it names) as OUTPUT/group/group_ldi-report.html. False with a message.
bool writeGroupReport(const std::string& outputDir, const ReportContext& context, std::string& reportPath,
                      std::string& problem);

// The name of the run report for an entity prefix ("sub-01_task-rest" gives
// "sub-01_task-rest_ldi-report.html"; "" gives "ldi-report.html").
std::string reportFileName(const std::string& entityPrefix);

}  // namespace ldi
