#include "host/cli.h"

#include <map>
#include <ostream>
#include <sstream>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/demo.h"
#include "host/host_state.h"
#include "host/montage.h"
#include "host/simulate.h"

namespace ldi_host {

namespace {

const char VERSION_TEXT[] = "ldi 2.1.0 (host for the LDI plug-in LDIPlugin_v15.so)";

const char MAIN_FOOTER[] =
    "Examples:\n"
    "  ldi run --vtc run1.vtc --voi regions.voi --answers setup.txt --log run1.log\n"
    "  ldi run --vtc run1.vtc --voi regions.voi --select-voi Motor \\\n"
    "          --condition Task --data run1.vtc --interval 5-100 --out results/P\n"
    "  ldi info results/P_Motor.ldi\n"
    "  ldi show results/P_Motor.ldi --map \"Task: dLDI\" --background run1.vtc\n"
    "  ldi simulate sim --seed 7\n"
    "  ldi demo build/demo\n"
    "\n"
    "Exit status: 0 the run succeeded, 1 it failed or was cancelled, 2 usage error or a\n"
    "plug-in that could not be loaded or started.\n";

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
    run.add_option("--plugin", options.pluginPath,
                   "plug-in library to load (default: LDIPlugin_v15.so beside ldi)")
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

int runCommandLine(int argc, const char* const* argv, std::istream& in, bool stdinIsTerminal,
                   std::ostream& out, std::ostream& err) {
    CLI::App app("ldi: runs the LDI plug-in (lagged dependency imaging) on VTC and VOI files, as "
                 "its host application would.",
                 "ldi");
    app.set_version_flag("--version", VERSION_TEXT);
    app.require_subcommand(1);
    app.footer(MAIN_FOOTER);

    RunOptions runOptions;
    RunOptionBindings bindings;
    CLI::App* run = app.add_subcommand("run", "run the LDI plug-in once on a VTC file and a VOI file");
    defineRunOptions(*run, runOptions, bindings);

    std::string infoPath;
    CLI::App* info = app.add_subcommand("info", "describe a .vtc or .ldi file");
    info->add_option("FILE", infoPath, "the file to describe")->required();
    info->footer("Examples:\n  ldi info run1.vtc\n  ldi info results/P_Motor.ldi\n");

    uint32_t seed = 1;
    std::string presetText = "small";
    std::string simulateFolder;
    CLI::App* simulate = app.add_subcommand("simulate", "write a synthetic data set with a known answer");
    simulate->add_option("DIR", simulateFolder, "the folder to write into (created when missing)")->required();
    simulate->add_option("--seed", seed, "seed of the random numbers (default 1)")->type_name("N");
    simulate->add_option("--preset", presetText, "small (seconds) or realistic (58 x 40 x 46 voxels, 400 volumes)")
        ->type_name("small|realistic")
        ->check(CLI::IsMember({"small", "realistic"}));
    simulate->footer("Examples:\n  ldi simulate sim\n  ldi simulate bench --preset realistic --seed 3\n");

    ShowOptions showOptions;
    CLI::App* show = app.add_subcommand("show", "draw one map of a .ldi file as a PNG montage of its slices");
    show->add_option("FILE", showOptions.ldiPath, "the .ldi file")->required();
    show->add_option("--map", showOptions.map, "the map, by number (from 0, as ldi info lists them) or by name "
                                               "(default 0)")
        ->type_name("N|NAME");
    CLI::Option* qOption =
        show->add_option("--q", showOptions.q, "the FDR level whose threshold hides weaker values (default 0.05)")
            ->type_name("Q");
    show->add_option("--background", showOptions.backgroundPath, "VTC whose mean image is drawn under the map")
        ->type_name("FILE.vtc");
    show->add_option("--out", showOptions.outPath, "the picture (default: FILE without .ldi, _MAP.png)")
        ->type_name("FILE.png");
    show->footer("Examples:\n  ldi show results/P_Motor.ldi\n"
                 "  ldi show results/P_Motor.ldi --map \"Task: dLDI\" --q 0.01 --background run1.vtc "
                 "--out dldi.png\n");

    DemoOptions demoOptions;
    CLI::App* demo = app.add_subcommand("demo", "simulate a data set, analyse it through the plug-in, draw the "
                                                "maps and check them against the known answer");
    demo->add_option("DIR", demoOptions.folder, "the folder to work in (default ldi-demo)");
    demo->add_option("--seed", demoOptions.seed, "seed of the simulated data (default 1)")->type_name("N");
    demo->add_option("--plugin", demoOptions.pluginPath, "plug-in library to load (default: beside ldi)")
        ->type_name("FILE");
    demo->add_option("--threads", demoOptions.threads, "threads of the computation (as for ldi run)")
        ->type_name("N")
        ->check(CLI::Range(1, 4096));

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
        for (const CLI::App* command : {run, info, simulate, show, demo})
            if (command->parsed()) hint = "ldi " + command->get_name() + " --help";
        err << "ldi: " << error.what() << "\n(see " << hint << ")" << std::endl;
        return EXIT_USAGE;
    }
    if (run->parsed()) {
        runOptions.shorthand = shorthandInOrder(*run, bindings);
        return performRun(runOptions, in, stdinIsTerminal, out, err);
    }
    if (simulate->parsed()) {
        SimulationPreset preset = SimulationPreset::Small;
        parsePreset(presetText, preset);
        return performSimulate(simulateFolder, preset, seed, out, err);
    }
    if (show->parsed()) {
        showOptions.qGiven = qOption->count() > 0;
        return performShow(showOptions, out, err);
    }
    if (demo->parsed()) return performDemo(demoOptions, in, out, err);
    return performInfo(infoPath, out, err);
}

}  // namespace ldi_host
