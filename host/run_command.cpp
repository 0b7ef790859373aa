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

#include "host/commands.h"
#include "host/host_state.h"
#include "host/plugin_loader.h"

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
        std::string problem;
        if (!readWholeFile(options.voiPath, content, problem)) return usageError(err, problem);
        Parsed<VoiList> parsed = parseVoiList(content);
        if (!parsed.ok)
            return usageError(err, options.voiPath + ":" + std::to_string(parsed.line) +
                                       ": malformed VOI file: " + parsed.message);
        state.vois = std::move(parsed.value);
    }
    state.vmrPresent = !options.noVmr;
    if (!options.vtcPath.empty()) {
        std::string problem;
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
        dialogs = std::make_unique<ScriptedDialogs>(std::move(parsed.value), name, err, giveUp);
    } else if (!options.shorthand.empty()) {
        std::vector<AnswerLine> answers;
        std::string problem;
        if (!buildShorthandAnswers(options.shorthand, state.vois, answers, problem))
            return usageError(err, problem);
        auto scripted = std::make_unique<ScriptedDialogs>(std::move(answers), "the command-line options",
                                                          err, giveUp);
        scripted->stopOnInvalidSelection(true);
        scripted->setMismatchHint(
            " (--data SOURCE:TARGET needs \"SeparateSourceTargetVTCs= 1\" in LDIPlugin.ini, and "
            "--data FILE needs it off)");
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
    if (state.failedSaves > 0) {
        err << "ldi: the results of " << state.failedSaves
            << (state.failedSaves == 1 ? " map set" : " map sets")
            << " could not be saved (see above); the run counts as failed" << std::endl;
        return EXIT_RUN_FAILED;
    }
    return result == PluginRunResult::Succeeded ? EXIT_RUN_SUCCEEDED : EXIT_RUN_FAILED;
}

}  // namespace ldi_host
