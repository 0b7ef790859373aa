// The command line of `ldi`.
#pragma once

#include <iosfwd>

#include "host/commands.h"

namespace ldi_host {

// Parses the command line and runs the chosen command. Returns the exit
// status: usage errors give EXIT_USAGE with a message on `err`.
int runCommandLine(int argc, const char* const* argv, std::istream& in, bool stdinIsTerminal,
                   std::ostream& out, std::ostream& err);

// Parses only the options of `ldi run` (arguments after "run"), for tests.
// False with a message on a usage error.
bool parseRunOptions(int argc, const char* const* argv, RunOptions& options, std::string& problem);

}  // namespace ldi_host
