// `ldi bids BIDS_DIR OUTPUT_DIR participant|group`: the BIDS App. The
// participant level runs `ldi map` once per subject, session and task on the
// runs the dataset holds (after nuisance regression when asked); the group
// level tests the subjects' maps against zero. A subject that cannot be
// analysed is reported and skipped; the exit status says that one failed.
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "study/bids_dataset.h"
#include "formats/bids_inputs.h"
#include "commands/command.h"
#include "formats/confounds.h"
#include "base/exit_status.h"
#include "study/group_maps.h"
#include "study/map_invocation.h"
#include "analysis/map_outputs.h"
#include "formats/nifti_image.h"

namespace ldi_host {

namespace {

namespace fs = std::filesystem;

struct BidsOptions {
    std::string bidsDir, outputDir, level;
    std::vector<std::string> participants;
    std::string task, derivatives, space = "MNI152NLin2009cAsym";
    std::vector<std::string> seeds, conditions, confounds;
    // Passed on to ldi map as given.
    std::string skip, shift, order, surrogates, q, settings, threads;
    long long rngSeed = -1;
    int64_t permutations = 5000;
    bool quiet = false;
};

// A subject that cannot be analysed: the message, and the subject goes on to
// the next one.
struct SubjectError {
    std::string message;
};

// A folder of our own for the regressed runs and the joint mask, removed with
// everything in it when the subject is done, whatever the outcome.
class WorkFolder {
public:
    ~WorkFolder() {
        std::error_code error;
        if (!path_.empty()) fs::remove_all(path_, error);
    }
    const std::string& path(const fs::path& parent) {
        for (int attempt = 0; path_.empty() && attempt < 100; ++attempt) {
            const fs::path candidate =
                parent / (".ldi-work-" + std::to_string(::getpid()) + "-" + std::to_string(attempt));
            std::error_code error;
            if (fs::create_directory(candidate, error)) path_ = candidate.string();
        }
        if (path_.empty()) throw SubjectError{"cannot create a working folder in " + parent.string()};
        return path_;
    }
    bool used() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The subject's own seed of the surrogates: the run's seed mixed with the
// subject, session and task, so that no two subjects share their random
// numbers (the group test takes the subjects as independent).
int64_t subjectSeed(int64_t base, const DatasetRunSet& set) {
    uint64_t hash = 1469598103934665603ull;
    for (const char c : set.subject + "/" + set.session + "/" + set.task) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return static_cast<int64_t>((static_cast<uint64_t>(base) + hash) & 0x3fffffffffffffffull);
}

// The voxels inside every run's brain mask, written into the work folder.
std::string jointMask(const std::vector<DatasetRun>& runs, WorkFolder& work, const fs::path& parent) {
    NiftiHeader grid;
    std::vector<float> joint;
    for (const DatasetRun& run : runs) {
        NiftiHeader header;
        std::vector<float> values;
        std::string problem;
        if (!readNiftiVolume(run.mask, header, values, false, problem)) throw SubjectError{problem};
        if (joint.empty()) {
            grid = header;
            joint = values;
            continue;
        }
        if (!sameGrid(grid, header))
            throw SubjectError{"the brain masks " + runs.front().mask + " and " + run.mask + " lie on different grids"};
        for (std::size_t v = 0; v < joint.size(); ++v) joint[v] = joint[v] != 0.0f && values[v] != 0.0f ? 1.0f : 0.0f;
    }
    std::string problem;
    const std::string image = encodeNiftiMap(grid, joint, "brain mask of every run", problem);
    const std::string path = (fs::path(work.path(parent)) / "brain_mask.nii.gz").string();
    if (image.empty() || !writeFileSafely(path, image, problem)) throw SubjectError{problem};
    return path;
}

// Rewrites the sidecars ldi map wrote from the work folder's files: the
// inputs named as the dataset holds them, and the confounds regressed out.
void recordInputs(const fs::path& folder, const std::map<std::string, std::vector<std::string>>& originals,
                  const nlohmann::ordered_json& confounds, const std::string& workPath) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() < 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
        std::ifstream in(it->path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (text.str().find(workPath) == std::string::npos) continue;
        nlohmann::ordered_json json = nlohmann::ordered_json::parse(text.str(), nullptr, false);
        if (!json.is_object()) continue;
        for (const char* key : {"Inputs", "inputs"}) {
            if (!json.contains(key) || !json[key].is_array()) continue;
            nlohmann::ordered_json fixed = nlohmann::ordered_json::array();
            for (auto& input : json[key]) {
                const std::string path = input.value("Path", std::string());
                const auto found = originals.find(path);
                if (found == originals.end()) {
                    fixed.push_back(input);
                    continue;
                }
                for (const std::string& original : found->second) {
                    std::error_code sizeError;
                    const auto bytes = fs::file_size(original, sizeError);
                    fixed.push_back({{"Path", original}, {"Bytes", sizeError ? 0 : bytes}});
                }
            }
            json[key] = fixed;
        }
        if (!confounds.is_null()) json[json.contains("inputs") ? "confounds" : "Confounds"] = confounds;
        std::string problem;
        writeFileSafely(it->path().string(),
                        json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n", problem);
    }
}

// One ldi map run: one subject, session and task.
nlohmann::ordered_json analyseRunSet(const BidsOptions& options, const DatasetRunSet& set, int64_t rngBase,
                                     const CommandStreams& streams) {
    const fs::path folder = fs::path(options.outputDir) / set.outputFolder();
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw SubjectError{"cannot create " + folder.string() + ": " + error.message()};
    const bool hadDescription = fs::exists(folder / "dataset_description.json", error);
    WorkFolder work;
    std::map<std::string, std::vector<std::string>> originals;  // work file -> the files it stands for
    nlohmann::ordered_json record;
    record["Subject"] = set.subject;
    if (!set.session.empty()) record["Session"] = set.session;
    record["Task"] = set.task;
    nlohmann::ordered_json runs = nlohmann::ordered_json::array();
    nlohmann::ordered_json confoundRecord;

    std::vector<std::string> arguments = {"ldi", "map"};
    const std::size_t withEvents = static_cast<std::size_t>(
        std::count_if(set.runs.begin(), set.runs.end(), [](const DatasetRun& run) { return !run.events.empty(); }));
    if (withEvents != 0 && withEvents != set.runs.size())
        throw SubjectError{"task " + set.task + ": " + std::to_string(set.runs.size() - withEvents) + " of " +
                           std::to_string(set.runs.size()) + " runs have no events.tsv; give every run its events"};
    if (!options.conditions.empty() && withEvents == 0)
        throw SubjectError{"task " + set.task + ": --condition needs events.tsv files; this task has none"};
    const int32_t skip = options.skip.empty() ? 0 : std::stoi(options.skip);
    for (const DatasetRun& run : set.runs) {
        std::string bold = run.bold;
        nlohmann::ordered_json runRecord = {{"Bold", run.bold}};
        if (!options.confounds.empty()) {
            if (run.confounds.empty())
                throw SubjectError{run.bold + ": no confounds table (desc-confounds_timeseries.tsv) beside it"};
            ConfoundTable table;
            std::string problem;
            if (!readConfounds(run.confounds, options.confounds, skip, table, problem)) throw SubjectError{problem};
            std::string name = fs::path(run.bold).filename().string();
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0) name.resize(name.size() - 3);
            bold = (fs::path(work.path(folder)) / name).string();
            if (!options.quiet)
                streams.err << "ldi: regressing " << table.names.size() << " confounds out of " << run.bold << std::endl;
            if (!writeRegressedRun(run.bold, table, skip, run.tr, bold, problem)) throw SubjectError{problem};
            originals[bold] = {run.bold, run.confounds};
            nlohmann::ordered_json filled = nlohmann::ordered_json::object();
            for (std::size_t k = 0; k < table.names.size(); ++k)
                if (table.missing[k] > 0) filled[table.names[k]] = table.missing[k];
            runRecord["Confounds"] = run.confounds;
            if (confoundRecord.is_null()) {
                confoundRecord["Columns"] = table.names;
                confoundRecord["Patterns"] = options.confounds;
                confoundRecord["Method"] =
                    "least squares on a constant and the columns over the volumes analysed, run by run; "
                    "each voxel keeps its mean; n/a values filled with the column's mean";
                confoundRecord["FilledValues"] = nlohmann::ordered_json::object();
            }
            if (confoundRecord["Columns"] != nlohmann::ordered_json(table.names))
                throw SubjectError{"the confound patterns choose other columns in " + run.confounds + " than in " +
                                   set.runs.front().confounds};
            confoundRecord["FilledValues"][fs::path(run.confounds).filename().string()] = filled;
        }
        arguments.insert(arguments.end(), {"--bold", bold});
        if (!run.events.empty()) {
            arguments.insert(arguments.end(), {"--events", run.events});
            runRecord["Events"] = run.events;
        }
        runRecord["RepetitionTime"] = run.tr;
        runs.push_back(runRecord);
    }
    record["Runs"] = runs;

    // The repetition time from the inherited sidecars, when the runs share one
    // (ldi map looks only beside each run).
    const double tr = set.runs.front().tr;
    bool sharedTr = tr > 0.0;
    for (const DatasetRun& run : set.runs) sharedTr = sharedTr && run.tr == tr;
    if (sharedTr) {
        std::ostringstream text;
        text.precision(17);
        text << tr;
        arguments.insert(arguments.end(), {"--tr", text.str()});
    }
    const bool masked = std::all_of(set.runs.begin(), set.runs.end(), [](const DatasetRun& run) { return !run.mask.empty(); });
    if (masked) {
        std::string mask = set.runs.front().mask;
        if (set.runs.size() > 1) {
            mask = jointMask(set.runs, work, folder);
            std::vector<std::string> masks;
            for (const DatasetRun& run : set.runs) masks.push_back(run.mask);
            originals[mask] = masks;
        }
        arguments.insert(arguments.end(), {"--mask", mask});
        record["Mask"] = mask == set.runs.front().mask ? nlohmann::ordered_json(mask) : nlohmann::ordered_json(originals[mask]);
    } else if (!options.derivatives.empty() && !options.quiet) {
        streams.err << "ldi: warning: sub-" << set.subject << ": not every run has a brain mask; every voxel with a "
                    << "varying time course is analysed" << std::endl;
    }
    for (const std::string& seed : options.seeds) arguments.insert(arguments.end(), {"--seed", seed});
    if (withEvents != 0)
        for (const std::string& condition : options.conditions) arguments.insert(arguments.end(), {"--condition", condition});
    const std::pair<const char*, const std::string*> passed[] = {
        {"--skip", &options.skip},           {"--shift", &options.shift},       {"--order", &options.order},
        {"--surrogates", &options.surrogates}, {"--q", &options.q},             {"--settings", &options.settings},
        {"--threads", &options.threads}};
    for (const auto& option : passed)
        if (!option.second->empty()) arguments.insert(arguments.end(), {option.first, *option.second});
    const int64_t seed = subjectSeed(rngBase, set);
    // z maps too: Ref2Vox, Vox2Ref and Inst are never negative, so the group's
    // sign-flip test can only be made on their z values (symmetric about 0
    // where nothing is coupled).
    arguments.insert(arguments.end(),
                     {"--rng-seed", std::to_string(seed), "--write-p", "z", "--out", folder.string()});
    if (options.quiet) arguments.emplace_back("--quiet");
    record["RngSeed"] = seed;
    if (!confoundRecord.is_null()) record["Confounds"] = confoundRecord;

    std::ostringstream mapOut;
    const int status = runMapCommand(arguments, streams.in, mapOut, streams.err);
    if (!options.quiet) streams.out << mapOut.str();
    if (work.used()) recordInputs(folder, originals, confoundRecord, work.path());
    if (!hadDescription) fs::remove(folder / "dataset_description.json", error);
    if (status != EXIT_RUN_SUCCEEDED)
        throw SubjectError{"task " + set.task + ": ldi map failed (status " + std::to_string(status) + ")"};
    record["Folder"] = folder.string();
    return record;
}

int performParticipant(const BidsOptions& options, const CommandStreams& streams) {
    std::vector<std::string> subjects;
    for (std::string label : options.participants) {
        if (label.compare(0, 4, "sub-") == 0) label.erase(0, 4);
        subjects.push_back(label);
    }
    if (subjects.empty()) subjects = datasetSubjects(options.bidsDir);
    if (subjects.empty()) {
        streams.err << "ldi: " << options.bidsDir << " holds no sub-<label> folder" << std::endl;
        return EXIT_USAGE;
    }
    std::string problem;
    std::error_code error;
    fs::create_directories(options.outputDir, error);
    if (error || !writeDatasetDescription(options.outputDir, problem)) {
        streams.err << "ldi: cannot write into " << options.outputDir << ": "
                    << (error ? error.message() : problem) << std::endl;
        return EXIT_USAGE;
    }
    const int64_t rngBase = options.rngSeed >= 0 ? options.rngSeed : static_cast<int64_t>(std::time(nullptr));
    if (options.rngSeed < 0)
        streams.err << "ldi: rng seed " << rngBase << " (repeat the run with --rng-seed " << rngBase << ")" << std::endl;
    DatasetQuery query;
    query.bidsDir = options.bidsDir;
    query.derivativesDir = options.derivatives;
    query.space = options.space;
    query.task = options.task;
    std::vector<std::string> failed;
    for (const std::string& subject : subjects) {
        try {
            if (!isBidsLabel(subject))
                throw SubjectError{"--participant-label " + subject + ": a label is letters and digits only"};
            std::vector<DatasetRunSet> sets;
            if (!subjectRunSets(query, subject, sets, problem)) throw SubjectError{problem};
            nlohmann::ordered_json record;
            record["Subject"] = subject;
            record["RngSeedBase"] = rngBase;
            record["Analyses"] = nlohmann::ordered_json::array();
            for (const DatasetRunSet& set : sets) {
                if (!options.quiet)
                    streams.err << "ldi: sub-" << subject << (set.session.empty() ? "" : " ses-" + set.session)
                                << " task " << set.task << ": " << set.runs.size() << " run"
                                << (set.runs.size() == 1 ? "" : "s") << std::endl;
                try {
                    record["Analyses"].push_back(analyseRunSet(options, set, rngBase, streams));
                } catch (const SubjectError& inner) {
                    throw SubjectError{"sub-" + subject + (set.session.empty() ? "" : " ses-" + set.session) + ": " +
                                       inner.message};
                }
            }
            // Written last: a workflow engine takes the subject as done by it.
            const fs::path summary = fs::path(options.outputDir) / ("sub-" + subject) / ("sub-" + subject + "_participant.json");
            if (!writeFileSafely(summary.string(),
                                 record.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n",
                                 problem))
                throw SubjectError{problem};
        } catch (const SubjectError& failure) {
            streams.err << "ldi: " << failure.message << std::endl;
            failed.push_back(subject);
        }
    }
    const std::size_t done = subjects.size() - failed.size();
    if (!options.quiet || !failed.empty()) {
        std::string list;
        for (const std::string& subject : failed) list += " sub-" + subject;
        (failed.empty() ? streams.out : streams.err)
            << (failed.empty() ? "" : "ldi: ") << "ldi bids participant: " << done << " of " << subjects.size()
            << " subjects analysed" << (failed.empty() ? "" : "; failed:" + list) << std::endl;
    }
    return failed.empty() ? EXIT_RUN_SUCCEEDED : EXIT_RUN_FAILED;
}

int performBids(const BidsOptions& options, const CommandStreams& streams) {
    std::error_code error;
    if (!fs::is_directory(options.bidsDir, error)) {
        streams.err << "ldi: the BIDS folder " << options.bidsDir << " does not exist" << std::endl;
        return EXIT_USAGE;
    }
    if (!options.derivatives.empty() && !fs::is_directory(options.derivatives, error)) {
        streams.err << "ldi: the derivatives folder " << options.derivatives << " does not exist" << std::endl;
        return EXIT_USAGE;
    }
    if (!options.confounds.empty() && options.derivatives.empty()) {
        streams.err << "ldi: --confounds takes the columns of fMRIPrep's confounds tables: give --derivatives"
                    << std::endl;
        return EXIT_USAGE;
    }
    if (options.level == "participant") {
        if (options.seeds.empty()) {
            streams.err << "ldi: the participant level needs --seed NAME=MASK or NAME=X,Y,Z,R" << std::endl;
            return EXIT_USAGE;
        }
        return performParticipant(options, streams);
    }
    GroupRequest request;
    request.outputDir = options.outputDir;
    for (std::string label : options.participants) {
        if (label.compare(0, 4, "sub-") == 0) label.erase(0, 4);
        if (!isBidsLabel(label)) {
            streams.err << "ldi: --participant-label " << label << ": a label is letters and digits only" << std::endl;
            return EXIT_USAGE;
        }
        request.participants.push_back(label);
    }
    request.permutations = options.permutations;
    request.rngSeed = options.rngSeed;
    if (!options.q.empty()) {
        request.q.clear();
        std::string list = options.q;
        std::replace(list.begin(), list.end(), ',', ' ');
        std::istringstream in(list);
        for (double q; in >> q;) {
            if (!(q > 0.0 && q < 1.0)) {
                streams.err << "ldi: --q " << options.q << ": every q lies between 0 and 1" << std::endl;
                return EXIT_USAGE;
            }
            request.q.push_back(q);
        }
    }
    request.threads = options.threads.empty() ? 0 : std::stoi(options.threads);
    request.quiet = options.quiet;
    return runGroupLevel(request, streams.out, streams.err);
}

const char BIDS_FOOTER[] =
    "Participant level: per subject (and session) and task, the runs of func/ (with --derivatives the\n"
    "fMRIPrep runs *_space-SPACE_desc-preproc_bold.nii.gz, their brain masks and confounds), events\n"
    "and repetition times from the raw dataset; results in OUTPUT_DIR/sub-<label>/[ses-<label>/]func.\n"
    "Group level: per seed, condition and map kind, a sign-flip permutation test across subjects;\n"
    "results in OUTPUT_DIR/group. A subject that fails is reported and the others go on; the exit\n"
    "status is then 1.\n"
    "\n"
    "Examples:\n"
    "  ldi bids data out participant --derivatives data/derivatives/fmriprep \\\n"
    "           --seed PCC=0,-52,26,6 --confounds 'trans_*' 'rot_*' --rng-seed 7\n"
    "  ldi bids data out group --permutations 5000 --rng-seed 7\n";

}  // namespace

Command addBidsCommand(CLI::App& ldi) {
    auto options = std::make_shared<BidsOptions>();
    CLI::App* bids = ldi.add_subcommand("bids", "a BIDS App: LDI maps of every subject, then group maps");
    bids->add_option("BIDS_DIR", options->bidsDir, "the BIDS dataset")->required();
    bids->add_option("OUTPUT_DIR", options->outputDir, "the output folder (BIDS derivatives)")->required();
    bids->add_option("LEVEL", options->level, "participant or group")
        ->required()
        ->check(CLI::IsMember({"participant", "group"}));
    bids->add_option("--participant-label", options->participants, "subjects to analyse (default: all)")
        ->type_name("LABEL ...");
    bids->add_option("--task", options->task, "the task to analyse (default: every task)")->type_name("NAME");
    bids->add_option("--derivatives", options->derivatives, "an fMRIPrep derivatives folder")->type_name("DIR");
    bids->add_option("--space", options->space, "the derivatives' space (default MNI152NLin2009cAsym)")
        ->type_name("NAME");
    bids->add_option("--seed", options->seeds, "NAME=MASK.nii.gz or NAME=X,Y,Z,R (repeatable)")->type_name("NAME=MASK|X,Y,Z,R");
    bids->add_option("--condition", options->conditions, "a trial_type to map (repeatable; default all)")
        ->type_name("NAME");
    bids->add_option("--confounds", options->confounds, "confound columns or patterns to regress out")
        ->type_name("COLUMN ...");
    bids->add_option("--skip", options->skip, "volumes left out at the start of every run")->type_name("N")
        ->check(CLI::NonNegativeNumber);
    bids->add_option("--shift", options->shift, "seconds added to every volume's acquisition time")
        ->type_name("SECONDS");
    bids->add_option("--order", options->order, "autoregressive model order")->type_name("P");
    bids->add_option("--surrogates", options->surrogates, "surrogate reference time courses")->type_name("N");
    bids->add_option("--q", options->q, "FDR q values, comma-separated")->type_name("Q,...");
    bids->add_option("--settings", options->settings, "an LDIPlugin.ini with further analysis parameters")
        ->type_name("FILE");
    bids->add_option("--rng-seed", options->rngSeed, "seed of the random numbers (default: the clock, printed)")
        ->type_name("N")
        ->check(CLI::Range(0LL, static_cast<long long>(INT64_MAX)));
    bids->add_option("--permutations", options->permutations, "sign-flip permutations of the group level")
        ->type_name("N")
        ->check(CLI::Range(int64_t{20}, int64_t{10000000}));
    bids->add_option("--threads", options->threads, "threads of the computation")->type_name("N")
        ->check(CLI::Range(1, 4096));
    bids->add_flag("--quiet", options->quiet, "no progress on standard error, no summary on standard output");
    bids->footer(BIDS_FOOTER);
    return Command{bids, [options](const CommandStreams& streams) { return performBids(*options, streams); }};
}

}  // namespace ldi_host
