#include "study/participant_level.h"

#include "analysis/request_checks.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <new>

#include "analysis/quality_numbers.h"
#include "analysis/analysis.h"
#include "analysis/map_outputs.h"
#include "analysis/memory_budget.h"
#include "analysis/request_checks.h"
#include "formats/confounds.h"
#include "formats/temporary_files.h"
#include "stats/parallel.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

using Json = nlohmann::ordered_json;

std::string dump(const Json& json) { return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n"; }

// The confounds of one run, read and checked against the other runs'
// columns; the regression's record gathers what every run filled in.
bool runConfounds(const ParticipantRequest& participants, const DatasetRunSet& set, const DatasetRun& run,
                  int32_t skip, RunRequest& given, Json& confoundRecord, std::string& problem) {
    if (run.confounds.empty()) {
        problem = run.bold + ": no confounds table (desc-confounds_timeseries.tsv) beside it";
        return false;
    }
    ConfoundTable table;
    if (!readConfounds(run.confounds, participants.confounds, skip, table, problem)) return false;
    Json filled = Json::object();
    for (std::size_t k = 0; k < table.names.size(); ++k)
        if (table.missing[k] > 0) filled[table.names[k]] = table.missing[k];
    if (confoundRecord.is_null()) {
        confoundRecord["Columns"] = table.names;
        confoundRecord["Patterns"] = participants.confounds;
        confoundRecord["Method"] =
            "least squares on a constant and the columns over the volumes analysed, run by run; "
            "each voxel keeps its mean; n/a values filled with the column's mean";
        confoundRecord["FilledValues"] = Json::object();
    }
    if (confoundRecord["Columns"] != Json(table.names)) {
        problem = "the confound patterns choose other columns in " + run.confounds + " than in " +
                  set.runs.front().confounds;
        return false;
    }
    confoundRecord["FilledValues"][fs::path(run.confounds).filename().string()] = filled;
    given.confounds = std::move(table);
    given.confoundsPath = run.confounds;
    return true;
}

std::string subjectList(const std::vector<std::string>& subjects) {
    std::string text;
    for (std::size_t k = 0; k < subjects.size() && k < 3; ++k) text += (k == 0 ? "sub-" : ", sub-") + subjects[k];
    if (subjects.size() > 3) text += " and " + std::to_string(subjects.size() - 3) + " more";
    return text;
}

// Every run with events, or none: a condition must mean the same in every
// run. And a subject's task without events among subjects with them would be
// one whole-run condition where theirs are trial types: a different analysis
// under the same name, which the group level would mix with theirs.
bool checkEvents(const ParticipantRequest& participants, const TaskSubjects& eventSubjects, const DatasetRunSet& set,
                 bool& withEvents, std::string& problem) {
    const auto count = static_cast<std::size_t>(
        std::count_if(set.runs.begin(), set.runs.end(), [](const DatasetRun& run) { return !run.events.empty(); }));
    withEvents = count != 0;
    const auto peers = eventSubjects.find(set.task);
    if (withEvents && count != set.runs.size()) {
        problem = "task " + set.task + ": " + std::to_string(set.runs.size() - count) + " of " +
                  std::to_string(set.runs.size()) + " runs have no events.tsv; give every run its events";
        return false;
    }
    if (!withEvents && peers != eventSubjects.end() && !peers->second.empty()) {
        problem = "task " + set.task + ": no events file for sub-" + set.subject + ", while " +
                  subjectList(peers->second) + " have events for task " + set.task +
                  " (its runs would be one whole-run condition, theirs the trial types); add " +
                  expectedEventsFile(set.runs.front().rawBold) + ", or leave sub-" + set.subject +
                  " out with --participant-label";
        return false;
    }
    if (!participants.conditions.empty() && !withEvents) {
        problem = "task " + set.task + ": --condition needs events.tsv files; this task has none";
        return false;
    }
    return true;
}

// A path as the subject's record (sub-X/sub-X_participant.json) keeps it, in
// the one form of the maps' sidecars: a BIDS URI within a dataset, else
// relative to the record's folder.
std::string subjectPath(const ParticipantRequest& participants, const std::string& subject, const std::string& path) {
    MapRunRecord at;
    at.datasets = datasetRoots(participants);
    at.outputFolder = (fs::path(participants.outputDir) / ("sub-" + subject)).string();
    return recordedPath(at, path);
}

// The runs: the image analysed, its events, repetition time and confounds.
bool addRuns(const ParticipantRequest& participants, const DatasetRunSet& set, AnalysisRequest& request,
             Json& record, std::string& problem) {
    request.datasets = datasetRoots(participants);
    Json runs = Json::array();
    Json confoundRecord;
    for (const DatasetRun& run : set.runs) {
        RunRequest given;
        given.path = run.bold;
        given.events = run.events;
        given.tr = run.tr;
        if (!run.trSidecar.empty()) given.trSource = "the sidecar " + run.trSidecar;
        given.trFile = run.trSidecar;
        const auto recorded = [&](const std::string& path) { return subjectPath(participants, set.subject, path); };
        Json runRecord = {{"Bold", recorded(run.bold)}};
        if (!participants.confounds.empty()) {
            if (!runConfounds(participants, set, run, request.skip, given, confoundRecord, problem)) return false;
            runRecord["Confounds"] = recorded(run.confounds);
        }
        if (!run.events.empty()) runRecord["Events"] = recorded(run.events);
        runRecord["RepetitionTime"] = run.tr;
        if (!run.trSidecar.empty()) runRecord["RepetitionTimeFile"] = recorded(run.trSidecar);
        runs.push_back(runRecord);
        request.runs.push_back(std::move(given));
    }
    record["Runs"] = runs;
    request.confoundRecord = confoundRecord;
    return true;
}

// The volumes before the steady state: as fMRIPrep's confounds mark them
// when the runs have confounds tables (the most of any run, beyond --skip),
// else found from the runs' global signal unless --skip was given.
bool chooseSkip(const ParticipantRequest& participants, const DatasetRunSet& set, AnalysisRequest& request,
                std::vector<std::string>& warnings, std::string& problem) {
    if (!checkSkip(participants.skip, problem)) return false;
    request.skip = participants.skip;
    request.skipSource = "option";
    const bool tables = std::all_of(set.runs.begin(), set.runs.end(),
                                    [](const DatasetRun& run) { return !run.confounds.empty(); });
    // The confounds' columns, when there are tables, decide instead of the detection.
    request.detectNonSteadyState = !tables && !participants.skipGiven;
    if (!tables) return true;
    int32_t most = 0;
    for (const DatasetRun& run : set.runs) {
        int32_t marked = 0;
        if (!nonSteadyStateColumns(run.confounds, marked, problem)) return false;
        most = std::max(most, marked);
    }
    if (most > request.skip) {
        request.skip = most;
        request.skipSource = "confounds";
        warnings.push_back("sub-" + set.subject + " task " + set.task + ": the first " + std::to_string(most) +
                           " volume" + (most == 1 ? " is" : "s are") +
                           " non-steady-state by the confounds' non_steady_state_outlier columns; skipped");
    }
    return true;
}

}  // namespace

int64_t subjectSeed(int64_t base, const DatasetRunSet& set) {
    uint64_t hash = 1469598103934665603ull;
    for (const char c : set.subject + "/" + set.session + "/" + set.task) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return static_cast<int64_t>((static_cast<uint64_t>(base) + hash) & 0x3fffffffffffffffull);
}

bool checkParticipantStatistics(const MapStatisticsOptions& statistics, std::string& problem) {
    if (statistics.writeP == "p") {
        problem = "--write-p p: ldi bids writes z maps (the group level tests the z values of Ref2Vox, Vox2Ref and "
                  "Inst); leave --write-p out, or give --write-p z";
        return false;
    }
    if (statistics.fdr == FdrMethod::plugin) {
        problem = "--fdr plugin: the plug-in's rule gives no z values, which the group level tests; choose "
                  "--fdr permutation or parametric";
        return false;
    }
    return true;
}

bool runSetRequest(const ParticipantRequest& participants, const TaskSubjects& eventSubjects,
                   const DatasetRunSet& set, AnalysisRequest& request, Json& record,
                   std::vector<std::string>& warnings, std::string& problem) {
    request = AnalysisRequest();
    record = Json();
    record["Subject"] = set.subject;
    if (!set.session.empty()) record["Session"] = set.session;
    record["Task"] = set.task;
    bool withEvents = false;
    if (!checkParticipantStatistics(participants.statistics, problem) ||
        !checkEvents(participants, eventSubjects, set, withEvents, problem))
        return false;
    if (!chooseSkip(participants, set, request, warnings, problem)) return false;
    if (!addRuns(participants, set, request, record, problem)) return false;
    // The analysed voxels: inside every run's brain mask, when every run has one.
    if (std::all_of(set.runs.begin(), set.runs.end(), [](const DatasetRun& run) { return !run.mask.empty(); })) {
        for (const DatasetRun& run : set.runs) request.brainMasks.push_back(run.mask);
        Json masks = Json::array();
        for (const std::string& mask : request.brainMasks) masks.push_back(subjectPath(participants, set.subject, mask));
        record["Mask"] = set.runs.size() == 1 ? masks.front() : masks;
    } else if (!participants.dataset.derivativesDir.empty()) {
        warnings.push_back("sub-" + set.subject +
                           ": not every run has a brain mask; every voxel with a varying time course is analysed");
    }
    request.seeds = participants.seeds;
    if (withEvents) request.conditions = participants.conditions;
    request.shift = participants.shift;
    request.command = participants.command;
    request.parameters = participants.parameters;
    request.order = participants.order;
    // z maps too: Ref2Vox, Vox2Ref and Inst are never negative, so the group's
    // sign-flip test can only be made on their z values (symmetric about 0
    // where nothing is coupled).
    request.statistics = participants.statistics;
    request.statistics.writeP = "z";
    request.rngSeed = subjectSeed(participants.rngSeed, set);
    request.threads = participants.threads;
    request.budgets = participants.budgets;
    request.workFolder = participants.workDir;
    request.outputFolder = (fs::path(participants.outputDir) / set.outputFolder()).string();
    // The dataset's description is the participant level's own, at the top.
    request.describeDataset = false;
    request.progress = participants.progress;
    record["RngSeed"] = request.rngSeed;
    if (!request.confoundRecord.is_null()) record["Confounds"] = request.confoundRecord;
    return true;
}

namespace {

// One analysis: one subject, session and task.
bool analyseRunSet(const ParticipantRequest& participants, const TaskSubjects& eventSubjects, const DatasetRunSet& set,
                   const std::function<bool(std::string&)>& beforeMaps, Json& record, SubjectOutcome& outcome,
                   std::string& problem) {
    AnalysisRequest request;
    if (!runSetRequest(participants, eventSubjects, set, request, record, outcome.warnings, problem)) return false;
    std::error_code error;
    fs::create_directories(request.outputFolder, error);
    if (error) {
        problem = "cannot create " + request.outputFolder + ": " + error.message();
        return false;
    }
    AnalysisResults results;
    // The seeds and conditions whose maps this run wrote: the group level
    // takes these and no map an earlier run left in the folder.
    Json written = Json::array();
    const SeedSink writer = seedFileWriter(request.outputFolder);
    const SeedSink recording = [&](const MapRunRecord& run, const SeedResults& seed, std::string& failure) {
        if (!beforeMaps(failure) || !writer(run, seed, failure)) return false;
        written.push_back({{"Seed", seed.seedLabel}, {"Conditions", seed.conditionLabels}});
        return true;
    };
    const std::unique_ptr<AnalysisReport> report = participants.report ? participants.report() : nullptr;
    const AnalysisOutputs outputs{recording, report.get()};
    if (participants.analyse) participants.analyse(request, outputs, results);
    else runAnalysis(request, outputs, results);
    outcome.warnings.insert(outcome.warnings.end(), results.warnings.begin(), results.warnings.end());
    if (results.status != AnalysisStatus::done) {
        problem = "task " + set.task + ": " + results.problem;
        return false;
    }
    record["Folder"] = subjectPath(participants, set.subject, request.outputFolder);
    record["Maps"] = written;
    record["RunGeneration"] = results.record.generation;
    record["DataQuality"] = qualityJson(qualityNumbers(results));
    outcome.analyses.push_back(
        RunSetOutcome{request.outputFolder, request.seeds.size(), results.conditionNames.size(), results.analysedCount});
    return true;
}

bool analyseSubject(const ParticipantRequest& participants, const TaskSubjects& eventSubjects,
                    const std::string& subject, SubjectOutcome& outcome) {
    outcome.subject = subject;
    if (!isBidsLabel(subject)) {
        outcome.problem = "--participant-label " + subject + ": a label is letters and digits only";
        return false;
    }
    std::vector<DatasetRunSet> sets;
    if (!subjectRunSets(participants.dataset, subject, sets, outcome.problem)) return false;
    Json record;
    record["Subject"] = subject;
    record["RngSeedBase"] = participants.rngSeed;
    record["Analyses"] = Json::array();
    const fs::path summary =
        fs::path(participants.outputDir) / ("sub-" + subject) / ("sub-" + subject + "_participant.json");
    // An earlier run's summary goes before this run's first map is written: a
    // run stopped midway (killed, a full disk) leaves the subject without one,
    // so that neither a workflow engine nor the group level takes its mixture
    // of two runs' maps as done. A run refused before its maps keeps it.
    bool summaryGone = false;
    const auto beforeMaps = [&summary, &summaryGone](std::string& failure) {
        std::error_code error;
        if (summaryGone || !fs::exists(summary, error)) return summaryGone = true;
        fs::remove(summary, error);
        if (error) {
            failure = "cannot remove the earlier run's " + summary.string() + " before writing new maps: " +
                      error.message();
            return false;
        }
        return summaryGone = true;
    };
    for (const DatasetRunSet& set : sets) {
        if (participants.progress)
            participants.progress("sub-" + subject + (set.session.empty() ? "" : " ses-" + set.session) + " task " +
                                  set.task + ": " + std::to_string(set.runs.size()) + " run" +
                                  (set.runs.size() == 1 ? "" : "s"));
        Json analysis;
        std::string problem;
        if (!analyseRunSet(participants, eventSubjects, set, beforeMaps, analysis, outcome, problem)) {
            outcome.problem = "sub-" + subject + (set.session.empty() ? "" : " ses-" + set.session) + ": " + problem;
            return false;
        }
        record["Analyses"].push_back(analysis);
    }
    // Written last: a workflow engine takes the subject as done by it.
    return writeFileSafely(summary.string(), dump(record), outcome.problem);
}

// A subject's failure of any kind is that subject's: an exception (memory
// exhausted by one subject's runs, a library's own error) is reported with
// the subject's name and the others go on.
bool analyseSubjectGuarded(const ParticipantRequest& participants, const TaskSubjects& eventSubjects,
                           const std::string& subject, SubjectOutcome& outcome) {
    try {
        return analyseSubject(participants, eventSubjects, subject, outcome);
    } catch (const std::bad_alloc&) {
        outcome.problem = "sub-" + subject + ": out of memory (its runs are larger than the memory; "
                                            "lower the memory budget or analyse it on a larger machine)";
    } catch (const std::exception& error) {
        outcome.problem = "sub-" + subject + ": " + error.what();
    }
    outcome.subject = subject;
    return false;
}

// The work folder: made when missing, and never inside the input dataset
// (its derivatives folder aside), where nothing is written.
bool prepareWorkDir(const ParticipantRequest& request, std::string& problem) {
    if (request.workDir.empty()) return true;
    std::error_code error;
    const fs::path work = fs::weakly_canonical(fs::absolute(request.workDir, error), error);
    const fs::path dataset = fs::weakly_canonical(fs::absolute(request.dataset.bidsDir, error), error);
    const fs::path relative = work.lexically_relative(dataset);
    const bool inside = !relative.empty() && *relative.begin() != "..";
    if (inside && *relative.begin() != "derivatives") {
        problem = "--work-dir " + request.workDir + " lies inside the dataset " + request.dataset.bidsDir +
                  ", where nothing is written; give a folder outside it";
        return false;
    }
    fs::create_directories(work, error);
    if (error || !fs::is_directory(work, error)) {
        problem = "--work-dir " + request.workDir + ": cannot make the folder (" +
                  (error ? error.message() : std::string("a file is in the way")) + "); give a writable folder";
        return false;
    }
    return true;
}

}  // namespace

std::vector<DatasetRoot> datasetRoots(const ParticipantRequest& request) {
    std::vector<DatasetRoot> roots;
    if (!request.dataset.derivativesDir.empty())
        roots.push_back(DatasetRoot{"preprocessed", request.dataset.derivativesDir});
    roots.push_back(DatasetRoot{"raw", request.dataset.bidsDir});
    return roots;
}

namespace {

// What the subjects analysed side by side say, in the order of the subjects:
// a subject's progress lines and its report go out at once while every
// subject before it is done, and are held until then otherwise, so that the
// output reads as that of one subject after the other.
class SubjectsInOrder {
public:
    explicit SubjectsInOrder(std::size_t count) : held_(count), finished_(count, 0) {}

    // Does `say` now, or when the subjects before `subject` are done.
    void say(std::size_t subject, std::function<void()> say) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (subject == next_) say();
        else held_[subject].push_back(std::move(say));
    }

    // The subject has said all it will.
    void finish(std::size_t subject) {
        const std::lock_guard<std::mutex> lock(mutex_);
        finished_[subject] = 1;
        while (next_ < finished_.size() && finished_[next_]) {
            ++next_;
            if (next_ == finished_.size()) break;
            for (const std::function<void()>& said : held_[next_]) said();
            held_[next_].clear();
        }
    }

private:
    std::mutex mutex_;
    std::size_t next_ = 0;  // the first subject not done
    std::vector<std::vector<std::function<void()>>> held_;
    std::vector<char> finished_;
};

// How many subjects go side by side, and the threads and memory of each: the
// thread budget (the request's, or every core) and the memory budget (the
// request's, or what the machine has to spare now) split evenly, at least one
// thread a subject. Subjects share no state, so each runs as it would alone.
int subjectLanes(const ParticipantRequest& request, std::size_t subjects, ParticipantRequest& each) {
    const int cores = threadCountFor(request.threads > 0 ? std::min(request.threads, availableCoreCount()) : 0);
    const int lanes = static_cast<int>(std::min<std::size_t>(subjects, static_cast<std::size_t>(cores)));
    each.threads = std::max(1, cores / std::max(1, lanes));
    each.budgets.inMemory = std::max<int64_t>(resolvedBudgets(request.budgets).inMemory / std::max(1, lanes), 0);
    return std::max(1, lanes);
}

}  // namespace

bool runParticipantLevel(const ParticipantRequest& request, const SubjectReport& report,
                         std::vector<SubjectOutcome>& outcomes, std::string& problem) {
    outcomes.clear();
    std::vector<std::string> subjects = request.participants;
    if (subjects.empty()) subjects = datasetSubjects(request.dataset.bidsDir);
    if (subjects.empty()) {
        problem = request.dataset.bidsDir + " holds no sub-<label> folder";
        return false;
    }
    if (!checkOutsideDatasets(request.outputDir, problem) || !checkParticipantStatistics(request.statistics, problem) ||
        !prepareWorkDir(request, problem))
        return false;
    std::error_code error;
    fs::create_directories(request.outputDir, error);
    {
        // Jobs of other subjects, on this node or others, write the same top
        // folder: one at a time, and none clears another's temporaries.
        FolderLock lock;
        if (!error) lock.hold(request.outputDir, request.progress);
        removeStaleTemporaryFiles(request.outputDir, request.progress);
        if (error || !writeDatasetDescription(request.outputDir, datasetRoots(request), problem)) {
            problem = "cannot write into " + request.outputDir + ": " + (error ? error.message() : problem);
            return false;
        }
    }
    // Read once: whether a task has events is a property of the dataset, the
    // same whichever subjects one run takes.
    const TaskSubjects eventSubjects = subjectsWithEvents(request.dataset.bidsDir);
    // The subjects side by side: a small subject spends most of its time on
    // one thread (inflating, regressing, compressing and writing its maps),
    // which a single subject's threads cannot share.
    ParticipantRequest each = request;
    const int lanes = subjectLanes(request, subjects.size(), each);
    outcomes.resize(subjects.size());
    SubjectsInOrder inOrder(subjects.size());
    shareWork(lanes, static_cast<int64_t>(subjects.size()), 1, [&](int64_t first, int64_t, int) {
        const auto s = static_cast<std::size_t>(first);
        ParticipantRequest mine = each;
        if (request.progress)
            mine.progress = [&inOrder, &request, s](const std::string& line) {
                inOrder.say(s, [&request, line] { request.progress(line); });
            };
        SubjectOutcome& outcome = outcomes[s];
        outcome.done = analyseSubjectGuarded(mine, eventSubjects, subjects[s], outcome);
        if (report) inOrder.say(s, [&report, &outcome] { report(outcome); });
        inOrder.finish(s);
    });
    return true;
}

}  // namespace ldi
