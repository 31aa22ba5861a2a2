// nicsim: brings emulated USB network adapters up under the miniport driver, runs a story in
// virtual time, prints a timeline and writes traces.
#include <CLI/CLI.hpp>

#include <iostream>

#include "tools/nicsim/run.h"

int main(int argc, char** argv) {
    CLI::App app{"nicsim - run the USB network adapter miniport in an emulated world"};
    app.require_subcommand(1);

    nicsim::RunOptions run;
    uint64_t seed = 0;
    double until = 0;
    auto* runCmd = app.add_subcommand(
        "run", "Initialise an adapter, run it in virtual time, shut it down and halt it; print the "
               "timeline and the verifier's verdict (exit 0 clean, 1 violations, 2 usage error)");
    auto* seedOpt = runCmd->add_option("--seed", seed, "Seed for every random choice (default 1)");
    auto* untilOpt = runCmd->add_option("--until", until, "Stop after this many virtual seconds")
                         ->check(CLI::PositiveNumber);
    runCmd->add_option("--trace", run.tracePath, "Write every event as JSON Lines to this file");
    runCmd->add_flag("--quiet", run.quiet, "Print nothing; only the exit status tells");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    if (*seedOpt) run.seed = seed;
    if (*untilOpt) run.untilSeconds = until;
    if (*runCmd) return nicsim::Run(run);
    return 2;
}
