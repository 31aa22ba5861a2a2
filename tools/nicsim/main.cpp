// nicsim: brings emulated USB network adapters up under the miniport driver, runs a scenario in
// virtual time, prints a timeline and writes traces. Each command lives in its own folder; this
// file only puts them on one command line and runs the one the user chose.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nicsim_version.h"
#include "tools/nicsim/bridge/bridge_command.h"
#include "tools/nicsim/cli/command.h"
#include "tools/nicsim/cli/input.h"
#include "tools/nicsim/cli/printable.h"
#include "tools/nicsim/cli/standard_output.h"
#include "tools/nicsim/explore/explore_command.h"
#include "tools/nicsim/report/report_command.h"
#include "tools/nicsim/run/run_command.h"
#include "tools/nicsim/scenario/scenario_commands.h"

namespace {

// The command the user asked for; its exit status before standard output is checked.
int Main(int argc, char** argv) {
    // `nicsim --version` alone is answered before the parser is built, as the parser would answer
    // it (the version flag's text and a newline): every command's options cost more to set up
    // than the rest of the process.
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::cout << "nicsim " << NICSIM_VERSION << "\n";
        nicsim::NoteStandardOutputWrite();
        return 0;
    }
    CLI::App app{"nicsim - run the USB network adapter miniport in an emulated world.\n"
                 "Exit status: 0 clean, 1 the verifier caught a violation, 2 usage or scenario error."};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("nicsim ") + NICSIM_VERSION,
                         "Print the version (git describe of the sources it was built from) and exit");

    // In the order `nicsim --help` lists them. A command line that starts with a command's name
    // gets only that command built: the others' options would cost more to set up than a short
    // run, and nothing after the name can reach them (one command per line).
    struct Entry {
        std::string_view name;
        std::unique_ptr<nicsim::Command> (*make)(CLI::App&);
    };
    static constexpr Entry kCommands[] = {
        {"run", [](CLI::App& a) { return nicsim::MakeRunCommand(a, NICSIM_VERSION); }},
        {"report", nicsim::MakeReportCommand},
        {"scenarios", nicsim::MakeScenariosCommand},
        {"show", nicsim::MakeShowCommand},
        {"check", nicsim::MakeCheckCommand},
        {"bridge", [](CLI::App& a) { return nicsim::MakeBridgeCommand(a, NICSIM_VERSION); }},
        {"explore", nicsim::MakeExploreCommand},
    };
    const std::string_view first = argc > 1 ? argv[1] : "";
    const auto named = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [first](const Entry& e) { return e.name == first; });
    // A mistyped command is not left to CLI11, which would only say that one is required.
    if (named == std::end(kCommands) && argc > 1 && argv[1][0] != '-') {
        std::vector<std::string> commands;
        for (const Entry& e : kCommands) commands.emplace_back(e.name);
        std::string list;
        for (const auto& c : commands) list += (list.empty() ? "" : ", ") + c;
        std::cerr << "nicsim: unknown command \"" << argv[1] << "\"" << nicsim::DidYouMean(argv[1], commands)
                  << "; the commands are " << list << " (see nicsim --help)\n";
        return 2;
    }
    std::vector<std::unique_ptr<nicsim::Command>> all;
    for (const Entry& e : kCommands)
        if (named == std::end(kCommands) || &e == named) all.push_back(e.make(app));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        const int rc = app.exit(e);
        nicsim::NoteStandardOutputWrite();
        return rc;
    } catch (const CLI::CallForAllHelp& e) {
        const int rc = app.exit(e);
        nicsim::NoteStandardOutputWrite();
        return rc;
    } catch (const CLI::CallForVersion& e) {
        const int rc = app.exit(e);
        nicsim::NoteStandardOutputWrite();
        return rc;
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        nicsim::SuggestOptions(app, argc, argv);
        return 2;
    }

    for (const auto& command : all)
        if (command->Chosen()) return command->Execute(argc, argv);
    return 2;  // require_subcommand(1) lets no parse through without one
}

}  // namespace

int main(int argc, char** argv) {
    const nicsim::PrintableErrors escaped;
    return nicsim::FinishStandardOutput(Main(argc, argv));
}
