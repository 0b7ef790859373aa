// The participant level of ldi bids: per subject, session and task one
// analysis of the runs the dataset holds (the preprocessed ones, regressed
// of their confounds as they are read, when asked), its maps in
// OUTPUT/sub-<label>[/ses-<label>]/func, and per subject a summary that a
// workflow engine takes as the sign that the subject is done.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/analysis.h"
#include "analysis/analysis_request.h"
#include "study/bids_dataset.h"

namespace ldi {

struct ParticipantRequest {
    DatasetQuery dataset;
    std::string outputDir;
    std::vector<std::string> participants;  // labels without "sub-"; none: every subject there
    std::vector<SeedRequest> seeds;
    std::vector<std::string> conditions;  // trial types (tasks without events take none)
    std::vector<std::string> confounds;   // column names or patterns to regress out; none: no regression
    int32_t skip = 0;
    bool skipGiven = false;  // --skip given: no non-steady-state volumes are looked for in raw runs
    double shift = 0.0;
    std::string command;  // the command line, for the maps' provenance
    GlobalParameters parameters = defaultAnalysisParameters();
    OrderChoice order;
    int64_t rngSeed = 0;  // mixed with each subject, session and task
    int threads = 0;
    // The maps' statistics. The z maps are written whatever writeP says: the
    // group level tests them (checkParticipantStatistics).
    MapStatisticsOptions statistics;
    SourceBudgets budgets;
    std::string workDir;  // where large runs spill; "": each analysis's output folder
    ProgressLine progress;  // empty: quiet
    // Makes the report of one analysis (a subject, session and task), an
    // output of its run beside the files; empty: no report.
    std::function<std::unique_ptr<AnalysisReport>()> report;
    // Runs each analysis in place of runAnalysis (the tests see the requests); empty: runAnalysis.
    std::function<void(const AnalysisRequest&, const AnalysisOutputs&, AnalysisResults&)> analyse;
};

// One analysis of a subject: where its maps went, what it found.
struct RunSetOutcome {
    std::string folder;
    std::size_t seeds = 0;
    std::size_t conditions = 0;
    int64_t analysedVoxels = 0;
};

struct SubjectOutcome {
    std::string subject;
    bool done = false;
    std::string problem;  // why not, naming the session and task
    std::vector<std::string> warnings;
    std::vector<RunSetOutcome> analyses;
};

// Called after each subject, so that a long run reports as it goes.
using SubjectReport = std::function<void(const SubjectOutcome& outcome)>;

// The datasets the inputs are recorded in (bids:preprocessed:..., bids:raw:...).
std::vector<DatasetRoot> datasetRoots(const ParticipantRequest& request);

// The subject's own seed of the surrogates: the run's seed mixed with the
// subject, session and task, so that no two subjects share their random
// numbers (the group test takes the subjects as independent).
int64_t subjectSeed(int64_t base, const DatasetRunSet& set);

// The request of one analysis of a run set and its record for the subject's
// summary (confounds read, masks joined). `eventSubjects` (subjectsWithEvents
// of the dataset) are the subjects whose runs of a task have events: a set
// without events where others have them is refused, not analysed as one
// whole-run condition unlike its peers. False with a message.
bool runSetRequest(const ParticipantRequest& participants, const TaskSubjects& eventSubjects,
                   const DatasetRunSet& set, AnalysisRequest& request, nlohmann::ordered_json& record,
                   std::vector<std::string>& warnings, std::string& problem);

// The statistics a participant level can give the group level: z maps of
// every map kind, so p maps instead of them and the plug-in's rule (which
// gives no z values) are refused. False with a message.
bool checkParticipantStatistics(const MapStatisticsOptions& statistics, std::string& problem);

// Every subject of the request in turn; a subject that fails is reported and
// the others go on. False with a message when the level cannot start (no
// subject, an output folder that cannot be written); `outcomes` per subject.
bool runParticipantLevel(const ParticipantRequest& request, const SubjectReport& report,
                         std::vector<SubjectOutcome>& outcomes, std::string& problem);

}  // namespace ldi
