// The runs of a BIDS dataset as ldi bids analyses them: per subject, session
// and task the bold runs (preprocessed ones from an fMRIPrep derivatives
// folder when one is given, else the raw ones), with their brain masks,
// confounds, events and repetition times found by BIDS's inheritance rule.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace ldi {

struct DatasetQuery {
    std::string bidsDir;
    std::string derivativesDir;  // "" for the raw data
    std::string space;           // the derivatives' space (required with derivativesDir)
    std::string task;            // "" for every task found
};

struct DatasetRun {
    std::string rawBold;    // the raw run, whose entities name everything else
    std::string bold;       // the image analysed: the preprocessed run or the raw one
    std::string mask;       // the preprocessed run's brain mask, or ""
    std::string confounds;  // the preprocessed run's confounds table, or ""
    std::string events;     // the events table that applies to the run, or ""
    double tr = 0.0;        // RepetitionTime of the sidecars; 0 when none gives it
    std::string trSidecar;  // the sidecar that gives it, or ""
};

// The runs of one subject, session and task: one ldi map run.
struct DatasetRunSet {
    std::string subject;  // label without "sub-"
    std::string session;  // label without "ses-", or ""
    std::string task;
    std::vector<DatasetRun> runs;
    // sub-<label>[/ses-<label>]/func, relative to the output folder.
    std::string outputFolder() const;
};

// A BIDS label: letters and digits only (what BIDS allows, and
// what keeps a label from becoming a path of its own).
bool isBidsLabel(const std::string& label);

// The subjects of the dataset: the labels of its sub-<label> folders, sorted.
std::vector<std::string> datasetSubjects(const std::string& bidsDir);

// The run sets of one subject. False with a message for a subject that is
// missing, has no run of the task, or lacks the preprocessed runs of the
// space; `problem` then says which, naming this subject
// (whatever it held before).
bool subjectRunSets(const DatasetQuery& query, const std::string& subject, std::vector<DatasetRunSet>& sets,
                    std::string& problem);

// Per task, the subjects of the dataset (every sub-<label> folder, whichever
// are analysed) with an events table for at least one of their raw runs.
using TaskSubjects = std::map<std::string, std::vector<std::string>>;
TaskSubjects subjectsWithEvents(const std::string& bidsDir);

// The events table BIDS names for a raw run: beside it, with its entities.
std::string expectedEventsFile(const std::string& rawBold);

// The files of `suffixExtension` ("_bold.json", "_events.tsv") that apply to
// the run by BIDS's inheritance rule, from the most specific (beside the
// run) to the least (the dataset's top folder). `bidsDir` bounds the search.
std::vector<std::string> inheritedFiles(const std::string& bidsDir, const std::string& runPath,
                                        const std::string& suffixExtension);

}  // namespace ldi
