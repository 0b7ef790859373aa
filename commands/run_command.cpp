// `ldi run`: the options of a run of the plug-in on files (host/plugin_run.h
// does the run).
#include "commands/run_command.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands/command.h"
#include "host/plugin_run.h"

namespace ldi {

namespace {

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

}  // namespace

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

}  // namespace ldi
