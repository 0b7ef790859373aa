// The two commands of `ldi`: run the plug-in, and describe a file.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "host/shorthand.h"

namespace ldi_host {

// Exit statuses of `ldi`.
constexpr int EXIT_RUN_SUCCEEDED = 0;
constexpr int EXIT_RUN_FAILED = 1;  // execute returned false, or results could not be saved
constexpr int EXIT_USAGE = 2;       // bad options or inputs, or a plug-in that could not start

struct RunOptions {
    std::string vtcPath;     // empty: no VTC linked
    std::string voiPath;     // empty: no VOIs
    std::string pluginPath;  // empty: the plug-in beside the program
    std::string pluginsDir;  // empty: the plug-in's folder
    std::string answersPath; // empty: none; "-": standard input
    std::string logPath;     // empty: no log file
    bool noVmr = false;
    bool quiet = false;
    int threads = 0;  // 0: not given; otherwise passed to the plug-in's setThreadCount
    bool timing = false;  // print how long the plug-in computed and how long the host worked
    std::vector<ShorthandItem> shorthand;  // in command-line order
};

// Runs the plug-in once with the given inputs. Dialogs are answered from the
// answers, from the shorthand, or at the terminal when `stdinIsTerminal`.
int performRun(const RunOptions& options, std::istream& in, bool stdinIsTerminal, std::ostream& out,
               std::ostream& err);

// Prints what a .vtc or .ldi file holds. 0 when the file is sound, 1 when it
// cannot be read or is damaged, 2 for a file of another kind.
int performInfo(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace ldi_host
