#include "commands/cli.h"

#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands/command.h"
#include "base/exit_status.h"

namespace ldi {

namespace {

#if defined(_WIN32)
const char VERSION_TEXT[] = "ldi 2.1.0 (host for the LDI plug-in LDIPlugin_v15.dll)";
#else
const char VERSION_TEXT[] = "ldi 2.1.0 (host for the LDI plug-in LDIPlugin_v15.so)";
#endif

const char MAIN_FOOTER[] =
    "Examples:\n"
    "  ldi run --vtc run1.vtc --voi regions.voi --answers setup.txt --log run1.log\n"
    "  ldi run --vtc run1.vtc --voi regions.voi --select-voi Motor \\\n"
    "          --condition Task --data run1.vtc --interval 5-100 --out results/P\n"
    "  ldi info results/P_Motor.ldi\n"
#if !defined(_WIN32)
    "  ldi show results/P_Motor.ldi --map \"Task: dLDI\" --background run1.vtc\n"
#endif
    "  ldi simulate sim --seed 7\n"
#if defined(_WIN32)
    "\n"
    "This Windows build reads and writes no NIfTI files (a save gives NAME.ldi and\n"
    "NAME.json only; there is no map command) and draws no pictures: it has no show and\n"
    "no demo command. A Linux build of ldi reads the same .ldi files and has all three.\n"
#else
    "  ldi demo build/demo\n"
#endif
    "\n"
    "Exit status: 0 the run succeeded, 1 it failed or was cancelled, 2 usage error or a\n"
    "plug-in that could not be loaded or started.\n";

using AddCommand = Command (*)(CLI::App&);
// In the order `ldi --help` lists them.
#if defined(_WIN32)  // NIfTI and the pictures' commands need libraries Windows lacks (see the footer)
const AddCommand COMMANDS[] = {addRunCommand, addInfoCommand, addSimulateCommand};
#else
const AddCommand COMMANDS[] = {addRunCommand, addMapCommand, addBidsCommand, addInfoCommand, addSimulateCommand,
                               addShowCommand, addDemoCommand};
#endif

}  // namespace

int runCommandLine(int argc, const char* const* argv, std::istream& in, bool stdinIsTerminal,
                   std::ostream& out, std::ostream& err, bool outIsTerminal, bool errIsTerminal) {
    CLI::App app("ldi: runs the LDI plug-in (lagged dependency imaging) on VTC and VOI files, as "
                 "its host application would.",
                 "ldi");
    app.set_version_flag("--version", VERSION_TEXT);
    app.require_subcommand(1);
    app.footer(MAIN_FOOTER);

    std::vector<Command> commands;
    for (AddCommand add : COMMANDS) commands.push_back(add(app));

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& success) {
        // --help or --version
        return app.exit(success, out, err) == 0 ? EXIT_RUN_SUCCEEDED : EXIT_USAGE;
    } catch (const CLI::ParseError& error) {
        if (argc <= 1) {
            out << app.help();
            return EXIT_USAGE;
        }
        std::string hint = "ldi --help";
        for (const Command& command : commands)
            if (command.parser->parsed()) hint = "ldi " + command.parser->get_name() + " --help";
        err << "ldi: " << error.what() << "\n(see " << hint << ")" << std::endl;
        return EXIT_USAGE;
    }
    const CommandStreams streams{in, stdinIsTerminal, out, err, outIsTerminal, errIsTerminal};
    for (const Command& command : commands)
        if (command.parser->parsed()) return command.run(streams);
    return EXIT_USAGE;  // not reached: the parser requires one command
}

}  // namespace ldi
