// The command line of `ldi`.
#pragma once

#include <iosfwd>

namespace ldi {

// Parses the command line and runs the chosen command. Returns the exit
// status: usage errors give EXIT_USAGE with a message on `err`. The flags say
// which of the streams are terminals.
int runCommandLine(int argc, const char* const* argv, std::istream& in, bool stdinIsTerminal,
                   std::ostream& out, std::ostream& err, bool outIsTerminal = false,
                   bool errIsTerminal = false);

}  // namespace ldi
