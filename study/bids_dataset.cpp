#include "study/bids_dataset.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "formats/bids_inputs.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The file names of a folder, sorted; none when it cannot be listed.
std::vector<std::string> namesIn(const fs::path& folder, bool folders) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code kindError;
        const bool isFolder = it->is_directory(kindError);
        if (isFolder == folders) names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool isBoldImage(const std::string& name) { return endsWith(name, "_bold.nii.gz") || endsWith(name, "_bold.nii"); }

// The part of a file name before its suffix: "sub-01_task-rest" of
// "sub-01_task-rest_bold.nii.gz".
std::string beforeSuffix(const std::string& name) {
    const std::size_t last = name.rfind('_');
    return last == std::string::npos ? std::string() : name.substr(0, last);
}

bool hasEntities(const Entities& within, const Entities& wanted) {
    for (const auto& entity : wanted)
        if (std::find(within.begin(), within.end(), entity) == within.end()) return false;
    return true;
}

std::string valueOf(const Entities& entities, const std::string& key) {
    for (const auto& entity : entities)
        if (entity.first == key) return entity.second;
    return std::string();
}

// RepetitionTime of the nearest sidecar that gives one, and that sidecar.
double inheritedRepetitionTime(const std::string& bidsDir, const std::string& runPath, std::string& sidecar) {
    for (const std::string& path : inheritedFiles(bidsDir, runPath, "_bold.json")) {
        nlohmann::json json;
        std::string ignored;  // a sidecar that cannot be read gives nothing; a nearer one may
        if (!readJsonSidecar(path, json, ignored)) continue;
        if (json.contains("RepetitionTime") && json["RepetitionTime"].is_number()) {
            const double seconds = json["RepetitionTime"].get<double>();
            if (std::isfinite(seconds) && seconds > 0.0) {
                sidecar = path;
                return seconds;
            }
        }
    }
    return 0.0;
}

std::string listText(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? std::string("none") : text;
}

enum class Preprocessed { found, missing, ambiguous };

// The preprocessed counterpart of a raw run in an fMRIPrep folder: every
// entity of the raw run, space-<space> and desc-preproc. Spaces found for the
// run are collected for the message when none matches; `problem` is set only
// when several match.
Preprocessed findPreprocessed(const fs::path& folder, const std::string& rawBold, const std::string& space,
                              DatasetRun& run, std::set<std::string>& spacesFound, std::string& problem) {
    const Entities raw = fileEntities(rawBold);
    std::vector<std::string> matches;
    for (const std::string& name : namesIn(folder, false)) {
        if (!isBoldImage(name)) continue;
        const Entities entities = fileEntities(name);
        if (!hasEntities(entities, raw) || valueOf(entities, "desc") != "preproc") continue;
        spacesFound.insert(valueOf(entities, "space").empty() ? std::string("(no space entity)")
                                                              : valueOf(entities, "space"));
        if (valueOf(entities, "space") == space) matches.push_back(name);
    }
    if (matches.empty()) return Preprocessed::missing;
    if (matches.size() > 1) {
        problem = "several preprocessed runs of " + fs::path(rawBold).filename().string() + " in space " + space +
                  " in " + folder.string() + " (" + matches[0] + ", " + matches[1] +
                  "); keep one of them there";
        return Preprocessed::ambiguous;
    }
    run.bold = (folder / matches.front()).string();
    const std::string stem = beforeSuffix(matches.front());  // ..._space-X_desc-preproc
    const std::string maskStem = stem.substr(0, stem.size() - std::string("preproc").size()) + "brain_mask";
    for (const char* extension : {".nii.gz", ".nii"}) {
        const fs::path mask = folder / (maskStem + extension);
        std::error_code error;
        if (fs::is_regular_file(mask, error)) {
            run.mask = mask.string();
            break;
        }
    }
    // The confounds carry the raw run's entities only (no space).
    const std::string rawStem = beforeSuffix(fs::path(rawBold).filename().string());
    for (const char* name : {"_desc-confounds_timeseries.tsv", "_desc-confounds_regressors.tsv"}) {
        const fs::path table = folder / (rawStem + name);
        std::error_code error;
        if (fs::is_regular_file(table, error)) {
            run.confounds = table.string();
            break;
        }
    }
    return Preprocessed::found;
}

// Every raw bold run of a subject with a task entity, session by session, in
// name order: (session label or "", task, the run's path).
struct RawRun {
    std::string session, task, path;
};

std::vector<std::string> subjectSessions(const fs::path& subjectFolder) {
    std::vector<std::string> sessions;
    for (const std::string& name : namesIn(subjectFolder, true))
        if (name.compare(0, 4, "ses-") == 0 && isBidsLabel(name.substr(4))) sessions.push_back(name.substr(4));
    if (sessions.empty()) sessions.emplace_back();
    return sessions;
}

fs::path sessionPath(const std::string& subject, const std::string& session) {
    const fs::path who = "sub-" + subject;
    return session.empty() ? who : who / ("ses-" + session);
}

std::vector<RawRun> rawRuns(const std::string& bidsDir, const std::string& subject) {
    std::vector<RawRun> runs;
    for (const std::string& session : subjectSessions(fs::path(bidsDir) / ("sub-" + subject))) {
        const fs::path funcFolder = fs::path(bidsDir) / sessionPath(subject, session) / "func";
        for (const std::string& name : namesIn(funcFolder, false)) {
            if (!isBoldImage(name)) continue;
            const Entities entities = fileEntities(name);
            if (valueOf(entities, "sub") != subject || valueOf(entities, "ses") != session) continue;
            const std::string task = valueOf(entities, "task");
            if (!task.empty()) runs.push_back(RawRun{session, task, (funcFolder / name).string()});
        }
    }
    return runs;
}

}  // namespace

std::string DatasetRunSet::outputFolder() const {
    fs::path folder = "sub-" + subject;
    if (!session.empty()) folder /= "ses-" + session;
    return (folder / "func").string();
}

bool isBidsLabel(const std::string& label) {
    if (label.empty() || label.size() > 64) return false;
    for (const char c : label)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

std::vector<std::string> datasetSubjects(const std::string& bidsDir) {
    std::vector<std::string> subjects;
    for (const std::string& name : namesIn(bidsDir, true))
        if (name.compare(0, 4, "sub-") == 0 && isBidsLabel(name.substr(4))) subjects.push_back(name.substr(4));
    return subjects;
}

namespace {

// The entries named like the files of `suffixExtension` that apply to the
// run, nearest first: files, or (with `folders`) folders of such names.
std::vector<std::string> inheritedEntries(const std::string& bidsDir, const std::string& runPath,
                                          const std::string& suffixExtension, bool folders) {
    const Entities runEntities = fileEntities(runPath);
    std::vector<std::string> found;
    std::error_code error;
    // The dataset's own path, links unresolved: a subject folder linked to one
    // elsewhere inherits from the dataset above it, not from the link's target's
    // surroundings; the walk never leaves the top folder.
    fs::path top = fs::absolute(bidsDir, error).lexically_normal();
    if (top.filename().empty()) top = top.parent_path();
    fs::path folder = fs::absolute(fs::path(runPath).parent_path(), error).lexically_normal();
    const auto within = [&top](const fs::path& at) {
        const fs::path relative = at.lexically_relative(top);
        return !relative.empty() && *relative.begin() != "..";
    };
    for (int depth = 0; depth < 8 && within(folder); ++depth) {
        // At one level the file with the most entities applies first.
        std::vector<std::pair<std::size_t, std::string>> here;
        for (const std::string& name : namesIn(folder, folders)) {
            if (!endsWith(name, suffixExtension)) continue;
            const Entities entities = fileEntities(name);
            if (!entities.empty() && hasEntities(runEntities, entities)) here.emplace_back(entities.size(), name);
        }
        std::stable_sort(here.begin(), here.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& file : here) found.push_back((folder / file.second).string());
        if (folder == top || folder == folder.parent_path()) break;
        folder = folder.parent_path();
    }
    return found;
}

// A folder named like a sidecar or events file of the run would be passed
// over without a word, and the run analysed without what it should hold.
bool checkNoFolderForFile(const std::string& bidsDir, const std::string& runPath, std::string& problem) {
    for (const char* suffix : {"_bold.json", "_events.tsv"}) {
        const std::vector<std::string> folders = inheritedEntries(bidsDir, runPath, suffix, true);
        if (folders.empty()) continue;
        problem = folders.front() + " is a folder where a file (*" + suffix + ") of the run " +
                  fs::path(runPath).filename().string() + " is expected: make it the file or remove it";
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> inheritedFiles(const std::string& bidsDir, const std::string& runPath,
                                        const std::string& suffixExtension) {
    return inheritedEntries(bidsDir, runPath, suffixExtension, false);
}

bool subjectRunSets(const DatasetQuery& query, const std::string& subject, std::vector<DatasetRunSet>& sets,
                    std::string& problem) {
    sets.clear();
    // Every message is this subject's own: nothing a caller left in `problem`
    // may pass for it.
    problem.clear();
    const std::string who = "sub-" + subject;
    std::error_code error;
    const fs::path subjectFolder = fs::path(query.bidsDir) / who;
    if (!fs::is_directory(subjectFolder, error)) {
        std::set<std::string> all;
        for (const std::string& label : datasetSubjects(query.bidsDir)) all.insert(label);
        problem = who + ": no folder " + subjectFolder.string() + " (the subjects there: " + listText(all) + ")";
        return false;
    }
    std::set<std::string> tasksFound;
    std::set<std::string> spacesFound;
    std::vector<std::string> missingSpace;
    std::map<std::pair<std::string, std::string>, DatasetRunSet> bySessionTask;
    for (const RawRun& raw : rawRuns(query.bidsDir, subject)) {
        tasksFound.insert(raw.task);
        if (!query.task.empty() && raw.task != query.task) continue;
        DatasetRun run;
        run.rawBold = raw.path;
        run.bold = run.rawBold;
        const std::string name = fs::path(raw.path).filename().string();
        if (!query.derivativesDir.empty()) {
            const fs::path derivedFolder = fs::path(query.derivativesDir) / sessionPath(subject, raw.session) / "func";
            const Preprocessed found = findPreprocessed(derivedFolder, run.rawBold, query.space, run, spacesFound, problem);
            if (found == Preprocessed::ambiguous) {
                problem = who + ": " + problem;
                return false;
            }
            if (found == Preprocessed::missing) {
                missingSpace.push_back(name);
                continue;
            }
        }
        if (!checkNoFolderForFile(query.bidsDir, run.rawBold, problem)) {
            problem = who + ": " + problem;
            return false;
        }
        const std::vector<std::string> events = inheritedFiles(query.bidsDir, run.rawBold, "_events.tsv");
        if (!events.empty()) run.events = events.front();
        run.tr = inheritedRepetitionTime(query.bidsDir, run.rawBold, run.trSidecar);
        if (!(run.tr > 0.0) && run.bold != run.rawBold) {
            // fMRIPrep writes the sidecar of the preprocessed run beside it.
            double seconds = 0.0;
            bool found = false;
            std::string ignored;
            if (sidecarRepetitionTime(run.bold, seconds, found, ignored) && found) {
                run.tr = seconds;
                run.trSidecar = sidecarPath(run.bold);
            }
        }
        DatasetRunSet& set = bySessionTask[{raw.session, raw.task}];
        set.subject = subject;
        set.session = raw.session;
        set.task = raw.task;
        set.runs.push_back(run);
    }
    for (auto& entry : bySessionTask) sets.push_back(std::move(entry.second));
    if (!missingSpace.empty()) {
        problem = who + ": the derivatives folder " + query.derivativesDir + " has no preprocessed run in space " +
                  query.space + " for " + missingSpace.front() +
                  (missingSpace.size() > 1 ? " and " + std::to_string(missingSpace.size() - 1) + " more" : "") +
                  " (spaces found there: " + listText(spacesFound) + ")";
        sets.clear();
        return false;
    }
    if (sets.empty()) {
        problem = who + (query.task.empty() ? ": no bold run" : ": no run of task " + query.task) +
                  " (tasks found: " + listText(tasksFound) + ")";
        return false;
    }
    return true;
}

TaskSubjects subjectsWithEvents(const std::string& bidsDir) {
    std::map<std::string, std::set<std::string>> found;
    for (const std::string& subject : datasetSubjects(bidsDir))
        for (const RawRun& raw : rawRuns(bidsDir, subject))
            if (!inheritedFiles(bidsDir, raw.path, "_events.tsv").empty()) found[raw.task].insert(subject);
    TaskSubjects subjects;
    for (const auto& task : found) subjects[task.first].assign(task.second.begin(), task.second.end());
    return subjects;
}

std::string expectedEventsFile(const std::string& rawBold) {
    const fs::path path(rawBold);
    return (path.parent_path() / (beforeSuffix(path.filename().string()) + "_events.tsv")).string();
}

}  // namespace ldi
