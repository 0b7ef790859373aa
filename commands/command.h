// The subcommands of `ldi`. Each command file declares its own options on the
// command-line parser, next to the body that runs them, and hands back the
// runner; the command line only chooses among them.
#pragma once

#include <functional>
#include <iosfwd>

namespace CLI {
class App;
}

namespace ldi {

// The process's streams, as a command uses them.
struct CommandStreams {
    std::istream& in;
    bool stdinIsTerminal;
    std::ostream& out;
    std::ostream& err;
    bool outIsTerminal = false;
    bool errIsTerminal = false;
};

struct Command {
    CLI::App* parser = nullptr;  // the subcommand: chosen when parsed()
    // Runs the command with the options parsed into it; returns the exit status.
    std::function<int(const CommandStreams&)> run;
};

// Each adds its subcommand to `ldi`; `ldi --help` lists them in the order added.
Command addRunCommand(CLI::App& ldi);
Command addInfoCommand(CLI::App& ldi);
Command addSimulateCommand(CLI::App& ldi);
Command addShowCommand(CLI::App& ldi);
Command addDemoCommand(CLI::App& ldi);
Command addMapCommand(CLI::App& ldi);
Command addBidsCommand(CLI::App& ldi);

}  // namespace ldi
