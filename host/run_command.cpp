#include "host/run_command.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

#include <CLI/CLI.hpp>

#include "host/command.h"
#include "host/dialogs.h"
#include "host/exit_status.h"
#include "host/host_state.h"
#include "host/nifti_sniff.h"
#include "host/plugin_loader.h"
#include "host/result_files.h"
#include "host/voi_file.h"
#include "host/whole_file.h"
#include "base/host_api.h"

namespace ldi_host {

namespace {

// Leaves the host state as it was found, whatever way the run ends.
class HostStateScope {
public:
    HostStateScope() { hostState() = HostState(); }
    ~HostStateScope() { hostState() = HostState(); }
    HostStateScope(const HostStateScope&) = delete;
    HostStateScope& operator=(const HostStateScope&) = delete;
};

int usageError(std::ostream& err, const std::string& message) {
    err << "ldi: " << message << std::endl;
    return EXIT_USAGE;
}

const char RUN_FOOTER[] =
    "Dialogs are answered from --answers FILE (one line per dialog, \"<cancel>\" cancels,\n"
    "'-' reads standard input), from the shorthand options, or else at the terminal.\n"
    "The shorthand writes the answers for the common case: --select-voi (repeatable,\n"
    "default all), then per condition --condition NAME followed by one or more --data,\n"
    "each followed by --interval FIRST-LAST or by --protocol FILE --protocol-condition\n"
    "NAME|NUMBER, and --out PREFIX.\n"
    "\n"
    "Examples:\n"
    "  ldi run --vtc run1.vtc --voi regions.voi --answers setup.txt\n"
    "  ldi run --vtc run1.vtc --voi regions.voi --select-voi 1 --select-voi Motor \\\n"
    "          --condition Rest --data run1.vtc --interval 5-100 \\\n"
    "          --condition Task --data run1.vtc --interval 101-200 --out results/P\n"
    "  ldi run --vtc run1.vtc --voi regions.voi --select-voi all --condition Task \\\n"
    "          --data run1.vtc --protocol run1.prt --protocol-condition Task --out P\n"
    "  ldi run --vtc run1.vtc --voi regions.voi        (asks every dialog at the terminal)\n";

struct RunOptionBindings {
    std::map<const CLI::Option*, ShorthandOption> shorthand;
    std::vector<std::string> selectVoi, condition, data, interval, protocol, protocolCondition;
    std::string out;
};

// Declares the options of `ldi run` on a (sub)command.
void defineRunOptions(CLI::App& run, RunOptions& options, RunOptionBindings& bindings) {
    run.add_option("--vtc", options.vtcPath, "VTC file linked to the current VMR (absent: none linked)")
        ->type_name("FILE");
    run.add_option("--voi", options.voiPath, "VOI file giving the VOI list (absent: no VOIs)")
        ->type_name("FILE");
#if defined(_WIN32)
    const char* const pluginHelp = "plug-in library to load (default: LDIPlugin_v15.dll beside ldi.exe)";
#else
    const char* const pluginHelp = "plug-in library to load (default: LDIPlugin_v15.so beside ldi)";
#endif
    run.add_option("--plugin", options.pluginPath, pluginHelp)
        ->type_name("FILE");
    run.add_option("--plugins-dir", options.pluginsDir,
                   "plug-ins folder, where the plug-in finds LDIPlugin.ini (default: the plug-in's "
                   "folder)")
        ->type_name("DIR");
    run.add_option("--answers", options.answersPath,
                   "answers to the dialogs, one line each; '-' reads them from standard input")
        ->type_name("FILE|-");
    run.add_option("--log", options.logPath,
                   "also write the log pane's raw texts to FILE, one line break after each")
        ->type_name("FILE");
    run.add_flag("--no-vmr", options.noVmr, "run without a current VMR");
    run.add_flag("--quiet", options.quiet, "do not print the log pane on standard output");
    run.add_flag("--timing", options.timing,
                 "print on standard error how long the plug-in computed and how long the host "
                 "worked for it");
    run.add_option("--threads", options.threads,
                   "threads of the computation, passed to the plug-in's setThreadCount (a plug-in "
                   "without it ignores this, with a notice)")
        ->type_name("N")
        ->check(CLI::Range(1, 4096));
    run.add_option("--rng-seed", options.rngSeed,
                   "seed of the surrogates, passed to the plug-in's setRandomSeed: the same seed gives "
                   "the same results (default: the clock; the seed used is in the log pane and the JSON index)")
        ->type_name("N")
        ->check(CLI::Range(0LL, 4294967295LL));

    auto shorthand = [&](const char* name, std::vector<std::string>& values, ShorthandOption option,
                         const char* typeName, const char* help) {
        CLI::Option* added = run.add_option(name, values, help)->type_name(typeName);
        added->expected(1)->take_all()->allow_extra_args(false);
        bindings.shorthand[added] = option;
    };
    shorthand("--select-voi", bindings.selectVoi, ShorthandOption::SelectVoi, "NAME|NUMBER|all",
              "reference VOI by name or number, or all of them (repeatable; default all)");
    shorthand("--condition", bindings.condition, ShorthandOption::Condition, "NAME",
              "start a condition; its --data options follow");
    shorthand("--data", bindings.data, ShorthandOption::Data, "FILE|SOURCE:TARGET",
              "a VTC file of the condition, or a source and a target VTC");
    shorthand("--interval", bindings.interval, ShorthandOption::Interval, "FIRST-LAST",
              "the volumes of the preceding --data, both included");
    shorthand("--protocol", bindings.protocol, ShorthandOption::Protocol, "FILE",
              "protocol giving the intervals of the preceding --data");
    shorthand("--protocol-condition", bindings.protocolCondition, ShorthandOption::ProtocolCondition,
              "NAME|NUMBER", "the condition of the preceding --protocol");
    CLI::Option* out = run.add_option("--out", bindings.out,
                                      "path and name prefix of the results (ends the shorthand)")
                           ->type_name("PREFIX");
    bindings.shorthand[out] = ShorthandOption::Out;
    run.footer(RUN_FOOTER);
}

// The shorthand items in the order they were typed.
std::vector<ShorthandItem> shorthandInOrder(const CLI::App& run, const RunOptionBindings& bindings) {
    std::vector<ShorthandItem> items;
    std::map<const CLI::Option*, std::size_t> used;
    for (const CLI::Option* option : run.parse_order()) {
        auto found = bindings.shorthand.find(option);
        if (found == bindings.shorthand.end()) continue;
        const std::vector<std::string>& results = option->results();
        std::size_t& index = used[option];
        if (index < results.size()) items.push_back(ShorthandItem{found->second, results[index++]});
    }
    return items;
}

// The VTC files and the output folder the shorthand names, checked now: the
// plug-in would only find a missing VTC in its dialogs (in message boxes that
// do not name it) and a missing folder after the whole computation.
bool checkShorthandFiles(const std::vector<ShorthandItem>& items, std::string& problem) {
    for (const ShorthandItem& item : items) {
        if (item.option == ShorthandOption::Out) {
            if (!checkFolderForWriting(item.value, problem)) {
                problem = "--out " + item.value + ": " + problem;
                return false;
            }
            continue;
        }
        if (item.option != ShorthandOption::Data) continue;
        const std::size_t colon = item.value.find(':');
        std::vector<std::string> paths{item.value.substr(0, colon)};
        if (colon != std::string::npos) paths.push_back(item.value.substr(colon + 1));
        for (const std::string& path : paths) {
            problem = niftiMisplacedMessage("--data", path);
            if (!problem.empty()) return false;
            // Only that the file can be read: its header is the plug-in's to
            // judge, against the linked VTC, when the dialog chooses it.
            std::error_code error;
            if (std::filesystem::is_directory(path, error)) {
                problem = "--data " + item.value + ": " + path + " is a folder, not a VTC file";
                return false;
            }
            std::ifstream file(path, std::ios::binary);
            if (!file) {
                problem = "--data " + item.value + ": cannot open " + path + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

int performRun(const RunOptions& options, std::istream& in, bool stdinIsTerminal, std::ostream& out,
               std::ostream& err) {
    namespace fs = std::filesystem;
    HostStateScope scope;
    HostState& state = hostState();

    if (!options.answersPath.empty() && !options.shorthand.empty())
        return usageError(err, "give either --answers or the shorthand options (--select-voi, "
                               "--condition, --data, ...), not both");

    // The plug-in and its folder.
    const std::string pluginPath = options.pluginPath.empty() ? defaultPluginPath() : options.pluginPath;
    std::error_code error;
    if (!fs::is_regular_file(pluginPath, error))
        return usageError(err, "cannot load the plug-in " + pluginPath + ": no such file" +
                                   (options.pluginPath.empty() ? " (give its path with --plugin FILE)" : ""));
    std::string pluginsDir = options.pluginsDir;
    if (pluginsDir.empty()) pluginsDir = fs::absolute(pluginPath, error).parent_path().string();
    if (!fs::is_directory(pluginsDir, error))
        return usageError(err, "--plugins-dir " + pluginsDir + ": no such folder");
    if (pluginsDir.size() + 1 > SY_PLUGINS_PATH_CAPACITY)
        return usageError(err, "the plug-ins folder " + pluginsDir + " is longer than " +
                                   std::to_string(SY_PLUGINS_PATH_CAPACITY - 1) +
                                   " bytes; give a shorter path with --plugins-dir");
    state.pluginsPath = pluginsDir;

    // Inputs: everything is checked before the plug-in starts.
    if (!options.voiPath.empty()) {
        std::string content;
        std::string problem = niftiMisplacedMessage("--voi", options.voiPath);
        if (!problem.empty()) return usageError(err, problem);
        if (!readWholeFile(options.voiPath, content, problem)) return usageError(err, problem);
        Parsed<VoiList> parsed = parseVoiList(content);
        if (!parsed.ok)
            return usageError(err, options.voiPath + ":" + std::to_string(parsed.line) +
                                       ": malformed VOI file: " + parsed.message);
        state.vois = std::move(parsed.value);
    }
    state.vmrPresent = !options.noVmr;
    if (!options.vtcPath.empty()) {
        std::string problem = niftiMisplacedMessage("--vtc", options.vtcPath);
        if (!problem.empty()) return usageError(err, problem);
        if (!readLinkedVtc(options.vtcPath, state.vtc, problem)) return usageError(err, problem);
        state.vtcLinked = true;
    }

    // Where the dialogs' answers come from.
    auto giveUp = [&out, &err](const std::string& why) {
        out.flush();
        if (hostState().rawLog != nullptr) hostState().rawLog->flush();
        err << "ldi: " << why << std::endl;
        std::_Exit(EXIT_RUN_FAILED);
    };
    std::unique_ptr<DialogSource> dialogs;
    const ScriptedDialogs* answered = nullptr;  // answers given in advance: a refused one ends the run
    if (!options.answersPath.empty()) {
        std::string content;
        std::string problem;
        const bool fromStdin = options.answersPath == "-";
        if (fromStdin) {
            std::ostringstream buffer;
            buffer << in.rdbuf();
            content = buffer.str();
        } else if (!readWholeFile(options.answersPath, content, problem)) {
            return usageError(err, problem);
        }
        const std::string name = fromStdin ? std::string("standard input") : options.answersPath;
        Parsed<std::vector<AnswerLine>> parsed = parseAnswers(content);
        if (!parsed.ok)
            return usageError(err, name + ":" + std::to_string(parsed.line) + ": " + parsed.message);
        auto scripted = std::make_unique<ScriptedDialogs>(std::move(parsed.value), name, err, giveUp);
        scripted->stopOnInvalidSelection(true);
        answered = scripted.get();
        dialogs = std::move(scripted);
    } else if (!options.shorthand.empty()) {
        std::vector<AnswerLine> answers;
        std::string problem;
        if (!buildShorthandAnswers(options.shorthand, state.vois, answers, problem) ||
            !checkShorthandFiles(options.shorthand, problem))
            return usageError(err, problem);
        auto scripted = std::make_unique<ScriptedDialogs>(std::move(answers), "the command-line options",
                                                          err, giveUp);
        scripted->stopOnInvalidSelection(true);
        scripted->setMismatchHint(
            " (--data SOURCE:TARGET needs \"SeparateSourceTargetVTCs= 1\" in LDIPlugin.ini, and "
            "--data FILE needs it off)");
        answered = scripted.get();
        dialogs = std::move(scripted);
    } else if (stdinIsTerminal) {
        dialogs = std::make_unique<TerminalDialogs>(in, err, giveUp);
    } else {
        auto scripted = std::make_unique<ScriptedDialogs>(std::vector<AnswerLine>(), "", err, giveUp);
        scripted->setRunOutNotice(
            "no answers: standard input is not a terminal and neither --answers nor the shorthand "
            "options were given, so every dialog is cancelled");
        dialogs = std::move(scripted);
    }
    state.dialogs = dialogs.get();

    std::ofstream logFile;
    if (!options.logPath.empty()) {
        logFile.open(options.logPath, std::ios::binary | std::ios::trunc);
        if (!logFile)
            return usageError(err, "cannot write the log file " + options.logPath + ": " +
                                       std::strerror(errno));
        state.rawLog = &logFile;
    }
    state.logPane = options.quiet ? nullptr : &out;
    state.messages = &err;
    if (options.progressOnErr) state.progress = &err;

    std::string problem;
    std::chrono::steady_clock::duration executeTime{0};
    PluginRunResult result = runPluginOnce(pluginPath, problem, [&](const PluginLibrary& library) {
        hostState().identity.pluginName = library.info().name;
        hostState().identity.pluginVersion = versionFromPluginName(library.info().name);
        if (options.threads > 0) {
            // An optional export: a plug-in without it computes with its own
            // choice of threads, and the run goes on.
            auto setThreadCount =
                reinterpret_cast<SetThreadCountFunction>(library.findExport(SET_THREAD_COUNT_EXPORT));
            if (setThreadCount != nullptr) {
                setThreadCount(options.threads);
            } else {
                err << "ldi: the plug-in " << pluginPath << " does not export " << SET_THREAD_COUNT_EXPORT
                    << "; --threads " << options.threads << " is ignored" << std::endl;
            }
        }
        auto setRandomSeed =
            reinterpret_cast<SetRandomSeedFunction>(library.findExport(SET_RANDOM_SEED_EXPORT));
        if (options.rngSeed >= 0) {
            if (setRandomSeed != nullptr) {
                setRandomSeed(options.rngSeed);
            } else {
                err << "ldi: the plug-in " << pluginPath << " does not export " << SET_RANDOM_SEED_EXPORT
                    << "; --rng-seed " << options.rngSeed << " is ignored" << std::endl;
            }
        } else if (setRandomSeed != nullptr) {
            setRandomSeed(-1);  // the clock, whatever an earlier run of this process chose
        }
        hostState().getRandomSeed =
            reinterpret_cast<GetRandomSeedFunction>(library.findExport(GET_RANDOM_SEED_EXPORT));
        hostState().getPassingVoxelCount =
            reinterpret_cast<GetPassingVoxelCountFunction>(library.findExport(GET_PASSING_VOXEL_COUNT_EXPORT));
    }, &executeTime);
    out.flush();
    if (options.timing && result != PluginRunResult::NotStarted) {
        using Milliseconds = std::chrono::duration<double, std::milli>;
        const double total = Milliseconds(executeTime).count();
        const double host = std::min(total, Milliseconds(state.hostTime).count());
        char text[256];
        std::snprintf(text, sizeof text,
                      "ldi: timing: the plug-in ran for %.1f ms: %.1f ms of its own computation and %.1f ms in "
                      "the host's functions (dialogs, log pane, map sets, saving the results)",
                      total, total - host, host);
        err << text << std::endl;
    }
    if (logFile.is_open()) {
        logFile.flush();
        if (!logFile) err << "ldi: could not write all of the log file " << options.logPath << std::endl;
    }
    if (result == PluginRunResult::NotStarted) return usageError(err, problem);
    // The reason of a failed run is the plug-in's last message in the log pane,
    // which --quiet hides and a redirected standard output takes away.
    if (result == PluginRunResult::Failed && !state.lastMessage.empty()) {
        err << "ldi: the run did not succeed; the plug-in's last message:" << '\n';
        for (const std::string& line : state.lastMessage) err << "  " << line << '\n';
        err.flush();
    }
    if (answered != nullptr && answered->refusedChoice()) return EXIT_USAGE;
    if (state.failedSaves > 0) {
        err << "ldi: the results of " << state.failedSaves
            << (state.failedSaves == 1 ? " map set" : " map sets")
            << " could not be saved (see above); the run counts as failed" << std::endl;
        return EXIT_RUN_FAILED;
    }
    return result == PluginRunResult::Succeeded ? EXIT_RUN_SUCCEEDED : EXIT_RUN_FAILED;
}

bool parseRunOptions(int argc, const char* const* argv, RunOptions& options, std::string& problem) {
    CLI::App run("run", "ldi run");
    RunOptionBindings bindings;
    defineRunOptions(run, options, bindings);
    try {
        run.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        problem = error.what();
        return false;
    }
    options.shorthand = shorthandInOrder(run, bindings);
    return true;
}

Command addRunCommand(CLI::App& ldi) {
    struct Parsed {
        RunOptions options;
        RunOptionBindings bindings;
    };
    auto parsed = std::make_shared<Parsed>();
    CLI::App* run = ldi.add_subcommand("run", "run the LDI plug-in once on a VTC file and a VOI file");
    defineRunOptions(*run, parsed->options, parsed->bindings);
    return Command{run, [run, parsed](const CommandStreams& streams) {
                       parsed->options.shorthand = shorthandInOrder(*run, parsed->bindings);
                       // Progress on a terminal that does not already show the log pane.
                       parsed->options.progressOnErr =
                           streams.errIsTerminal && (parsed->options.quiet || !streams.outIsTerminal);
                       return performRun(parsed->options, streams.in, streams.stdinIsTerminal, streams.out,
                                         streams.err);
                   }};
}

}  // namespace ldi_host
