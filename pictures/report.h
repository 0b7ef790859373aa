// ldi's HTML reports, one self-contained file each (every picture, plot and
// the slice viewer inline, so that it opens without a network): per analysis
// of NIfTI runs (ldi map, and each subject, session and task of ldi bids's
// participant level) and for the group level. They tell what was asked
// (command, version, parameters, inputs), show the seeds and every map at
// its threshold, the calibration of the maps' p-values and the warnings.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/analysis.h"
#include "pictures/montage.h"

namespace ldi {

struct ReportContext {
    std::string commandLine;  // as typed, for the report's header
    // The caller holds a PictureSession over every report it has written at
    // the same time (the subjects of ldi bids side by side): the font caches
    // that one report's end would release are still in use by another's.
    bool callerHoldsPictureSession = false;
};

struct Collected;

// The report of one analysis, written into its output folder as
// PREFIX_ldi-report.html: an output of runAnalysis (AnalysisOutputs::report),
// which hands it each seed's maps while they are in memory (their pictures,
// thresholds and p-values are kept) and then the analysis's record, from which
// every row of the report comes.
class HtmlReport : public AnalysisReport {
public:
    explicit HtmlReport(const ReportContext& context);
    ~HtmlReport() override;
    HtmlReport(const HtmlReport&) = delete;
    HtmlReport& operator=(const HtmlReport&) = delete;
    void discardEarlier(const MapRunRecord& run) override;
    void seedDone(const AnalysisResults& results, const SeedResults& seed) override;
    bool write(const AnalysisResults& results, std::string& problem) override;

private:
    ReportContext context_;
    std::unique_ptr<Collected> collected_;
    std::optional<PictureSession> session_;
};

// The rows of the run report's summary, each from the analysis's record.
std::vector<std::pair<std::string, std::string>> runFacts(const AnalysisResults& results);

// The group level's report from the files in OUTPUT/group (group.json and the
// maps it names) as OUTPUT/group/group_ldi-report.html. False with a message.
bool writeGroupReport(const std::string& outputDir, const ReportContext& context, std::string& reportPath,
                      std::string& problem);

// The name of the run report for an entity prefix ("sub-01_task-rest" gives
// "sub-01_task-rest_ldi-report.html"; "" gives "ldi-report.html").
std::string reportFileName(const std::string& entityPrefix);

}  // namespace ldi
