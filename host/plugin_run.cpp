#include "host/plugin_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "base/exit_status.h"
#include "base/host_api.h"
#include "formats/nifti_sniff.h"
#include "formats/ldi_file.h"
#include "formats/voi_file.h"
#include "formats/whole_file.h"
#include "host/dialogs.h"
#include "host/host_state.h"
#include "host/plugin_loader.h"

namespace ldi {

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

namespace {

// The plug-in's file and its folder, where it finds its settings.
bool findPlugin(const RunOptions& options, std::string& pluginPath, std::string& problem) {
    namespace fs = std::filesystem;
    pluginPath = options.pluginPath.empty() ? defaultPluginPath() : options.pluginPath;
    std::error_code error;
    if (!fs::is_regular_file(pluginPath, error)) {
        problem = "cannot load the plug-in " + pluginPath + ": no such file" +
                  (options.pluginPath.empty() ? " (give its path with --plugin FILE)" : "");
        return false;
    }
    std::string pluginsDir = options.pluginsDir;
    if (pluginsDir.empty()) pluginsDir = fs::absolute(pluginPath, error).parent_path().string();
    if (!fs::is_directory(pluginsDir, error)) {
        problem = "--plugins-dir " + pluginsDir + ": no such folder";
        return false;
    }
    if (pluginsDir.size() + 1 > SY_PLUGINS_PATH_CAPACITY) {
        problem = "the plug-ins folder " + pluginsDir + " is longer than " +
                  std::to_string(SY_PLUGINS_PATH_CAPACITY - 1) + " bytes; give a shorter path with --plugins-dir";
        return false;
    }
    hostState().pluginsPath = pluginsDir;
    return true;
}

// The VOI list and the linked VTC: everything is checked before the plug-in starts.
bool loadInputs(const RunOptions& options, std::string& problem) {
    HostState& state = hostState();
    if (!options.voiPath.empty()) {
        std::string content;
        problem = niftiMisplacedMessage("--voi", options.voiPath);
        if (!problem.empty()) return false;
        if (!readWholeFile(options.voiPath, content, problem)) return false;
        Parsed<VoiList> parsed = parseVoiList(content);
        if (!parsed.ok) {
            problem = options.voiPath + ":" + std::to_string(parsed.line) + ": malformed VOI file: " + parsed.message;
            return false;
        }
        state.vois = std::move(parsed.value);
    }
    state.vmrPresent = !options.noVmr;
    if (!options.vtcPath.empty()) {
        problem = niftiMisplacedMessage("--vtc", options.vtcPath);
        if (!problem.empty()) return false;
        if (!readLinkedVtc(options.vtcPath, state.vtc, problem)) return false;
        state.vtcLinked = true;
    }
    return true;
}

// Where the dialogs' answers come from. `answered` is set when the answers
// were given in advance, so that a refused one ends the run.
std::unique_ptr<DialogSource> makeDialogs(const RunOptions& options, std::istream& in, bool stdinIsTerminal,
                                          std::ostream& out, std::ostream& err, const ScriptedDialogs*& answered,
                                          std::string& problem) {
    auto giveUp = [&out, &err](const std::string& why) {
        out.flush();
        if (hostState().rawLog != nullptr) hostState().rawLog->flush();
        err << "ldi: " << why << std::endl;
        std::_Exit(EXIT_RUN_FAILED);
    };
    answered = nullptr;
    if (!options.answersPath.empty()) {
        std::string content;
        const bool fromStdin = options.answersPath == "-";
        if (fromStdin) {
            std::ostringstream buffer;
            buffer << in.rdbuf();
            content = buffer.str();
        } else if (!readWholeFile(options.answersPath, content, problem)) {
            return nullptr;
        }
        const std::string name = fromStdin ? std::string("standard input") : options.answersPath;
        Parsed<std::vector<AnswerLine>> parsed = parseAnswers(content);
        if (!parsed.ok) {
            problem = name + ":" + std::to_string(parsed.line) + ": " + parsed.message;
            return nullptr;
        }
        auto scripted = std::make_unique<ScriptedDialogs>(std::move(parsed.value), name, err, giveUp);
        scripted->stopOnInvalidSelection(true);
        answered = scripted.get();
        return scripted;
    }
    if (!options.shorthand.empty()) {
        std::vector<AnswerLine> answers;
        if (!buildShorthandAnswers(options.shorthand, hostState().vois, answers, problem) ||
            !checkShorthandFiles(options.shorthand, problem))
            return nullptr;
        auto scripted = std::make_unique<ScriptedDialogs>(std::move(answers), "the command-line options", err,
                                                          giveUp);
        scripted->stopOnInvalidSelection(true);
        scripted->setMismatchHint(
            " (--data SOURCE:TARGET needs \"SeparateSourceTargetVTCs= 1\" in LDIPlugin.ini, and "
            "--data FILE needs it off)");
        answered = scripted.get();
        return scripted;
    }
    if (stdinIsTerminal) return std::make_unique<TerminalDialogs>(in, err, giveUp);
    auto scripted = std::make_unique<ScriptedDialogs>(std::vector<AnswerLine>(), "", err, giveUp);
    scripted->setRunOutNotice(
        "no answers: standard input is not a terminal and neither --answers nor the shorthand "
        "options were given, so every dialog is cancelled");
    return scripted;
}

// The plug-in's optional exports: threads, the random seed, and what the
// result files record of the run. A plug-in without one runs on, with a notice.
void configurePlugin(const PluginLibrary& library, const RunOptions& options, const std::string& pluginPath,
                     std::ostream& err) {
    hostState().identity.pluginName = library.info().name;
    hostState().identity.pluginVersion = versionFromPluginName(library.info().name);
    if (options.threads > 0) {
        auto setThreadCount = reinterpret_cast<SetThreadCountFunction>(library.findExport(SET_THREAD_COUNT_EXPORT));
        if (setThreadCount != nullptr) {
            setThreadCount(options.threads);
        } else {
            err << "ldi: the plug-in " << pluginPath << " does not export " << SET_THREAD_COUNT_EXPORT
                << "; --threads " << options.threads << " is ignored" << std::endl;
        }
    }
    auto setRandomSeed = reinterpret_cast<SetRandomSeedFunction>(library.findExport(SET_RANDOM_SEED_EXPORT));
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
    hostState().getRandomSeed = reinterpret_cast<GetRandomSeedFunction>(library.findExport(GET_RANDOM_SEED_EXPORT));
    hostState().getPassingVoxelCount =
        reinterpret_cast<GetPassingVoxelCountFunction>(library.findExport(GET_PASSING_VOXEL_COUNT_EXPORT));
}

void reportTiming(std::chrono::steady_clock::duration executeTime, std::ostream& err) {
    using Milliseconds = std::chrono::duration<double, std::milli>;
    const double total = Milliseconds(executeTime).count();
    const double host = std::min(total, Milliseconds(hostState().hostTime).count());
    char text[256];
    std::snprintf(text, sizeof text,
                  "ldi: timing: the plug-in ran for %.1f ms: %.1f ms of its own computation and %.1f ms in "
                  "the host's functions (dialogs, log pane, map sets, saving the results)",
                  total, total - host, host);
    err << text << std::endl;
}

// The exit status of a run that started, with the reason of a failure.
int runStatus(PluginRunResult result, const ScriptedDialogs* answered, std::ostream& err) {
    const HostState& state = hostState();
    // The reason of a failed run is the plug-in's last message in the log pane,
    // which --quiet hides and a redirected standard output takes away.
    if (result == PluginRunResult::Failed && !state.lastMessage.empty()) {
        err << "ldi: the run did not succeed; the plug-in's last message:" << '\n';
        for (const std::string& line : state.lastMessage) err << "  " << line << '\n';
        err.flush();
    }
    if (answered != nullptr && answered->refusedChoice()) return EXIT_USAGE;
    if (state.failedSaves > 0) {
        err << "ldi: the results of " << state.failedSaves << (state.failedSaves == 1 ? " map set" : " map sets")
            << " could not be saved (see above); the run counts as failed" << std::endl;
        return EXIT_RUN_FAILED;
    }
    return result == PluginRunResult::Succeeded ? EXIT_RUN_SUCCEEDED : EXIT_RUN_FAILED;
}

}  // namespace

int performRun(const RunOptions& options, std::istream& in, bool stdinIsTerminal, std::ostream& out,
               std::ostream& err) {
    HostStateScope scope;
    HostState& state = hostState();
    if (!options.answersPath.empty() && !options.shorthand.empty())
        return usageError(err, "give either --answers or the shorthand options (--select-voi, "
                               "--condition, --data, ...), not both");
    std::string pluginPath;
    std::string problem;
    if (!findPlugin(options, pluginPath, problem) || !loadInputs(options, problem)) return usageError(err, problem);
    const ScriptedDialogs* answered = nullptr;
    std::unique_ptr<DialogSource> dialogs = makeDialogs(options, in, stdinIsTerminal, out, err, answered, problem);
    if (dialogs == nullptr) return usageError(err, problem);
    state.dialogs = dialogs.get();

    std::ofstream logFile;
    if (!options.logPath.empty()) {
        logFile.open(options.logPath, std::ios::binary | std::ios::trunc);
        if (!logFile)
            return usageError(err, "cannot write the log file " + options.logPath + ": " + std::strerror(errno));
        state.rawLog = &logFile;
    }
    state.logPane = options.quiet ? nullptr : &out;
    state.messages = &err;
    if (options.progressOnErr) state.progress = &err;

    std::chrono::steady_clock::duration executeTime{0};
    PluginRunResult result = runPluginOnce(
        pluginPath, problem,
        [&](const PluginLibrary& library) { configurePlugin(library, options, pluginPath, err); }, &executeTime);
    out.flush();
    if (options.timing && result != PluginRunResult::NotStarted) reportTiming(executeTime, err);
    if (logFile.is_open()) {
        logFile.flush();
        if (!logFile) err << "ldi: could not write all of the log file " << options.logPath << std::endl;
    }
    if (result == PluginRunResult::NotStarted) return usageError(err, problem);
    return runStatus(result, answered, err);
}

}  // namespace ldi
