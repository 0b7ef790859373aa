// A run of the plug-in on files, its dialogs answered from a file, the
// shorthand options or the terminal: what `ldi run` and `ldi demo` do.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "host/shorthand.h"

namespace ldi {

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
    long long rngSeed = -1;  // negative: not given; otherwise passed to the plug-in's setRandomSeed
    bool timing = false;  // print how long the plug-in computed and how long the host worked
    bool progressOnErr = false;  // one line per progress step on the error stream
    std::vector<ShorthandItem> shorthand;  // in command-line order
};

// Runs the plug-in once with the given inputs. Dialogs are answered from the
// answers, from the shorthand, or at the terminal when `stdinIsTerminal`.
int performRun(const RunOptions& options, std::istream& in, bool stdinIsTerminal, std::ostream& out,
               std::ostream& err);

}  // namespace ldi
