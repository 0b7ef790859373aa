// `ldi bids BIDS_DIR OUTPUT_DIR participant|group`: the BIDS App. The
// participant level analyses every subject, session and task of the dataset
// (study/participant_level.h); the group level tests the subjects' maps
// against zero (study/group_maps.h). A subject that cannot be analysed is
// reported and skipped; the exit status says that one failed.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "analysis/map_outputs.h"
#include "analysis/parameters.h"
#include "analysis/seeds.h"
#include "base/exit_status.h"
#include "stats/parallel.h"
#include "commands/command.h"
#include "commands/statistics_options.h"
#include "pictures/montage.h"
#include "pictures/report.h"
#include "study/bids_dataset.h"
#include "study/bids_validator.h"
#include "study/group_maps.h"
#include "study/participant_level.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

struct BidsOptions {
    std::string bidsDir, outputDir, level;
    std::vector<std::string> participants;
    std::string task, derivatives, space = "MNI152NLin2009cAsym";
    std::vector<std::string> seeds, conditions, confounds;
    int skip = 0;
    double shift = 0.0;
    std::string order, q, settings;
    int surrogates = 0;
    int threads = 0;
    long long rngSeed = -1;
    int64_t permutations = 5000;
    std::string groupStatistic = "floored-t";
    std::string workDir;
    std::string memoryBudget;  // "": what the machine has to spare
    bool skipValidation = false;
    MapStatisticsOptions statistics;
    bool quiet = false;
};

// Labels as BIDS writes them, without the "sub-" some users type.
std::vector<std::string> participantLabels(const std::vector<std::string>& given) {
    std::vector<std::string> labels;
    for (std::string label : given) {
        if (label.compare(0, 4, "sub-") == 0) label.erase(0, 4);
        labels.push_back(label);
    }
    return labels;
}

bool participantRequest(const BidsOptions& options, const CLI::App& bids, ParticipantRequest& request,
                        std::string& problem) {
    ParameterOptions parameters;
    parameters.settingsFile = options.settings;
    if (bids.count("--order") != 0) parameters.order = options.order;
    if (bids.count("--surrogates") != 0) parameters.surrogates = options.surrogates;
    if (bids.count("--q") != 0) parameters.q = options.q;
    if (!readAnalysisParameters(parameters, request.parameters, request.order, problem)) return false;
    for (const std::string& text : options.seeds) {
        request.seeds.emplace_back();
        if (!parseSeedText(text, request.seeds.back(), problem)) return false;
    }
    request.dataset = DatasetQuery{options.bidsDir, options.derivatives, options.space, options.task};
    request.outputDir = options.outputDir;
    request.participants = participantLabels(options.participants);
    request.conditions = options.conditions;
    request.confounds = options.confounds;
    request.skip = options.skip;
    request.skipGiven = bids.count("--skip") != 0;
    request.shift = options.shift;
    request.threads = options.threads;
    request.statistics = options.statistics;
    request.workDir = options.workDir;
    return readMemoryBudget(options.memoryBudget, request.budgets, problem) &&
           checkParticipantStatistics(request.statistics, problem);
}

// The BIDS validator on the dataset, when installed and not declined: a
// dataset it finds errors in is not analysed.
bool validated(const BidsOptions& options, const CommandStreams& streams) {
    if (options.skipValidation) return true;
    const char* path = std::getenv("PATH");
    const std::string program = findBidsValidator(path == nullptr ? "" : path, defaultValidatorRoots());
    if (program.empty()) {
        if (!options.quiet)
            streams.err << "ldi: bids-validator is not installed (npm install -g bids-validator, or "
                           "scripts/bootstrap); the dataset is analysed unvalidated"
                        << std::endl;
        return true;
    }
    if (!options.quiet) streams.err << "ldi: validating " << options.bidsDir << " with " << program << std::endl;
    const ValidationOutcome outcome = validateDataset(program, options.bidsDir);
    if (outcome.valid) return true;
    streams.err << shortReport(outcome.report, 60, 12) << "ldi: "
                << (outcome.ran ? "bids-validator found errors in " + options.bidsDir + " (exit status " +
                                      std::to_string(outcome.status) + ")"
                                : "bids-validator could not be run on " + options.bidsDir)
                << "; fix the dataset, or give --skip-bids-validation to analyse it as it is" << std::endl;
    return false;
}

int performParticipant(const BidsOptions& options, const CLI::App& bids, const CommandStreams& streams) {
    ParticipantRequest request;
    std::string problem;
    if (!participantRequest(options, bids, request, problem)) {
        streams.err << "ldi: " << problem << std::endl;
        return EXIT_USAGE;
    }
    if (!validated(options, streams)) return EXIT_USAGE;
    request.rngSeed = options.rngSeed >= 0 ? options.rngSeed : static_cast<int64_t>(std::time(nullptr));
    request.command = streams.commandLine;
    // The subjects are analysed side by side: their reports draw under one session.
    const PictureSession pictures;
    request.report = [context = ReportContext{streams.commandLine, true}]() -> std::unique_ptr<AnalysisReport> {
        return std::make_unique<HtmlReport>(context);
    };
    if (options.rngSeed < 0)
        streams.err << "ldi: rng seed " << request.rngSeed << " (repeat the run with --rng-seed " << request.rngSeed
                    << ")" << std::endl;
    if (!options.quiet) request.progress = [&](const std::string& line) { streams.err << "ldi: " << line << std::endl; };
    const auto report = [&](const SubjectOutcome& outcome) {
        for (const std::string& warning : outcome.warnings) streams.err << "ldi: warning: " << warning << std::endl;
        if (!outcome.done) streams.err << "ldi: " << outcome.problem << std::endl;
        if (options.quiet) return;
        for (const RunSetOutcome& analysis : outcome.analyses)
            streams.out << "ldi map: " << analysis.seeds << (analysis.seeds == 1 ? " seed, " : " seeds, ")
                        << analysis.conditions << (analysis.conditions == 1 ? " condition, " : " conditions, ")
                        << analysis.analysedVoxels << " voxels analysed; results in " << analysis.folder << std::endl;
    };
    std::vector<SubjectOutcome> outcomes;
    if (!runParticipantLevel(request, report, outcomes, problem)) {
        streams.err << "ldi: " << problem << std::endl;
        return EXIT_USAGE;
    }
    std::string failed;
    for (const SubjectOutcome& outcome : outcomes)
        if (!outcome.done) failed += " sub-" + outcome.subject;
    const auto done = std::count_if(outcomes.begin(), outcomes.end(), [](const SubjectOutcome& o) { return o.done; });
    if (!options.quiet || !failed.empty())
        (failed.empty() ? streams.out : streams.err)
            << (failed.empty() ? "" : "ldi: ") << "ldi bids participant: " << done << " of " << outcomes.size()
            << " subjects analysed" << (failed.empty() ? "" : "; failed:" + failed) << std::endl;
    return failed.empty() ? EXIT_RUN_SUCCEEDED : EXIT_RUN_FAILED;
}

int performGroup(const BidsOptions& options, const CommandStreams& streams) {
    GroupRequest request;
    request.bidsDir = options.bidsDir;
    request.outputDir = options.outputDir;
    for (const std::string& label : participantLabels(options.participants)) {
        if (!isBidsLabel(label)) {
            streams.err << "ldi: --participant-label " << label << ": a label is letters and digits only" << std::endl;
            return EXIT_USAGE;
        }
        request.participants.push_back(label);
    }
    request.permutations = options.permutations;
    request.statistic = options.groupStatistic == "t" ? GroupStatistic::t : GroupStatistic::flooredT;
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
    request.threads = std::min(options.threads, availableCoreCount());
    request.quiet = options.quiet;
    const int status = runGroupLevel(request, streams.out, streams.err);
    if (status != EXIT_RUN_SUCCEEDED) return status;
    std::string reportPath, problem;
    if (!writeGroupReport(options.outputDir, ReportContext{streams.commandLine}, reportPath, problem))
        streams.err << "ldi: warning: the group report could not be written: " << problem << std::endl;
    else if (!options.quiet)
        streams.out << "ldi bids group: report in " << reportPath << std::endl;
    return status;
}

int performBids(const BidsOptions& options, const CLI::App& bids, const CommandStreams& streams) {
    std::error_code error;
    std::string problem;
    if (!fs::is_directory(options.bidsDir, error))
        problem = "the BIDS folder " + options.bidsDir + " does not exist";
    else if (!options.derivatives.empty() && !fs::is_directory(options.derivatives, error))
        problem = "the derivatives folder " + options.derivatives + " does not exist";
    else if (!options.confounds.empty() && options.derivatives.empty())
        problem = "--confounds takes the columns of fMRIPrep's confounds tables: give --derivatives";
    else if (options.level == "participant" && options.seeds.empty())
        problem = "the participant level needs --seed NAME=MASK or NAME=X,Y,Z,R";
    if (!problem.empty()) {
        streams.err << "ldi: " << problem << std::endl;
        return EXIT_USAGE;
    }
    return options.level == "participant" ? performParticipant(options, bids, streams) : performGroup(options, streams);
}

const char BIDS_FOOTER[] =
    "Participant level: per subject (and session) and task, the runs of func/ (with --derivatives the\n"
    "fMRIPrep runs *_space-SPACE_desc-preproc_bold.nii.gz, their brain masks and confounds), events\n"
    "and repetition times from the raw dataset; results in OUTPUT_DIR/sub-<label>/[ses-<label>/]func.\n"
    "Group level: per seed, condition and map kind, a sign-flip permutation test across subjects;\n"
    "results in OUTPUT_DIR/group. A subject that fails is reported and the others go on; the exit\n"
    "status is then 1. A subject without events for a task whose other subjects have them fails.\n"
    "The participant level first runs bids-validator on BIDS_DIR when it is installed (on PATH or\n"
    "by scripts/bootstrap) and stops on its errors (exit status 2). The subjects' z maps are always\n"
    "written: the group level tests them.\n"
    "\n"
    "Examples:\n"
    "  ldi bids data out participant --derivatives data/derivatives/fmriprep \\\n"
    "           --seed PCC=0,-52,26,6 --confounds 'trans_*' 'rot_*' --rng-seed 7\n"
    "  ldi bids data out participant --participant-label 01 --seed PCC=0,-52,26,6 \\\n"
    "           --order auto --fdr parametric -w /scratch/ldi --n-cpus 4\n"
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
    bids->add_option("--skip", options->skip, "volumes left out at the start of every run")->type_name("N");
    bids->add_option("--shift", options->shift, "seconds added to every volume's acquisition time")
        ->type_name("SECONDS");
    addOrderOption(*bids, options->order);
    bids->add_option("--surrogates", options->surrogates, "surrogate reference time courses")->type_name("N");
    bids->add_option("--q", options->q, "FDR q values, comma-separated")->type_name("Q,...");
    bids->add_option("--settings", options->settings, "an LDIPlugin.ini with further analysis parameters")
        ->type_name("FILE");
    bids->add_option("--rng-seed", options->rngSeed, "seed of the random numbers (default: the clock, printed)")
        ->type_name("N")
        ->check(CLI::Range(0LL, static_cast<long long>(INT64_MAX)));
    bids->add_option("--permutations", options->permutations,
                     "sign-flip permutations of the group level (every pattern when 2^subjects is fewer; the "
                     "patterns are made as the test reaches them, and each takes 8 bytes a thread for its "
                     "largest statistic)")
        ->type_name("N")
        ->check(CLI::Range(int64_t{20}, int64_t{10000000}));
    bids->add_option("--group-statistic", options->groupStatistic,
                     "the group test's statistic: floored-t (t with the voxels' median mean square added to "
                     "the variance; finds effects most but not all subjects carry) or t (the one-sample t) "
                     "(default floored-t)")
        ->type_name("floored-t|t")
        ->check(CLI::IsMember({"floored-t", "t"}));
    bids->add_option("--threads,--n-cpus,--nthreads", options->threads,
                     "threads of the computation (at most the cores available)")
        ->type_name("N")
        ->check(CLI::Range(1, 4096));
    bids->add_option("-w,--work-dir", options->workDir,
                     "where runs too large for memory are spilled (made when missing; outside the dataset; "
                     "default: the subject's output folder)")
        ->type_name("DIR");
    addMemoryBudgetOption(*bids, options->memoryBudget);
    addStatisticsOptions(*bids, options->statistics);
    bids->add_flag("--skip-bids-validation", options->skipValidation,
                   "do not run bids-validator on BIDS_DIR before the participant level");
    bids->set_version_flag("--version", std::string("ldi ") + ldiVersion);
    bids->add_flag("--quiet", options->quiet, "no progress on standard error, no summary on standard output");
    bids->footer(BIDS_FOOTER);
    return Command{bids, [bids, options](const CommandStreams& streams) { return performBids(*options, *bids, streams); }};
}

}  // namespace ldi
