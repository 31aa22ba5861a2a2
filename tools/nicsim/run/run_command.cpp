#include "tools/nicsim/run/run_command.h"

#include <iostream>
#include <optional>
#include <utility>
#include <vector>

#include "tools/nicsim/cli/input.h"
#include "tools/nicsim/run/runner.h"
#include "tools/nicsim/run/verdict.h"
#include "tools/nicsim/scenario/scenario_source.h"

namespace nicsim {

void AddOutputOptions(CLI::App& command, OutputOptions& o) {
    command.add_option("--trace", o.tracePath,
                       "Write every event as JSON Lines to this file (- for standard output)");
    command.add_option("--trace-events", o.traceEvents,
                       "KIND,...: the trace file takes only these kinds of line (its run and "
                       "summary records always); the kinds: " + TraceKindList())
        ->delimiter(',');
    command.add_option("--trace-data", o.traceData,
                       "Payload bytes in trace lines: none, head (the first 64) or full (default)")
        ->check(CLI::IsMember({"none", "head", "full"}));
    command.add_option("--pcap-usb", o.pcapUsbPath,
                       "Write the USB traffic as a usbmon pcap file (- for standard output)");
    command.add_option("--pcap-wire", o.pcapWirePath,
                       "Write the frames on the media as Ethernet pcap files, one per link "
                       "(FILE-LINK.pcap when there are several; - for standard output with one)");
}

int CheckOutputs(const char* command, const OutputOptions& o, bool json) {
    std::string error;
    if (CheckOutputOptions(o, json, error)) return 0;
    std::cerr << "nicsim " << command << ": " << error << "\n";
    return 2;
}

namespace {

class RunCommand : public Command {
public:
    RunCommand(CLI::App& app, std::string version) : version_(std::move(version)) {
        cmd_ = app.add_subcommand(
            "run", "Run a scenario (a file, an embedded name, or the embedded default) and print its "
                   "timeline and summary");
        cmd_->add_option("scenario", scenarioPath,
                           "Scenario file (JSON), embedded scenario name, random:SEED, or - for standard input");
        seedOpt = cmd_->add_option("--seed", seed, "Seed for every random choice (default: the scenario's)")
                            ->check(SeedCheck());
        untilOpt = cmd_->add_option("--until", until,
                                            "Stop after this many virtual seconds (at least 0.000001, at most 10000000)")
                             ->check(SecondsCheck(false));
        AddOutputOptions(*cmd_, run.outputs);
        cmd_->add_flag("--quiet", run.quiet, "Print nothing; only the exit status tells");
        cmd_->add_flag("--json", run.json,
                         "Print only the summary, as one JSON object on standard output (no timeline)");
        cmd_->add_option("--junit", run.junitPath,
                           "Write the verdict as a JUnit XML report: one failure per violation");
        runUsbTimingOpt = cmd_->add_option("--usb-timing", runUsbTiming,
                           "frame: each transfer completes at the next 1 ms frame (default); "
                           "full-speed: 64-byte bulk packets, 19 per frame")
            ->check(CLI::IsMember({"frame", "full-speed"}));
        cpusOpt = cmd_->add_option("--cpus", cpus,
                                           "Emulated processors (default: the scenario's, else 1); "
                                           "with more than one, handlers, timers and completions "
                                           "interleave as the seed says")
                            ->check(CLI::Range(1u, kMaxCpus));

        runPointsOpt =
            cmd_->add_option("--points", runPoints,
                               "all (default): with several processors, the world may switch tasks and "
                               "checks for freed memory at the driver's unlocked shared-field accesses and "
                               "interlocked operations too; calls: only where the driver calls the world, "
                               "all a Windows image lets it see (to compare the built-in driver with --image)")
                ->check(CLI::IsMember({"all", "calls"}));
        runImageOpt = cmd_->add_option(
            "--image", runImage,
            "Run the driver image built for Windows (usbnic.sys) instead of the driver built into nicsim: "
            "the x64 image in this world, the x86 one in the 32-bit world");
        cmd_->add_option("--html", run.htmlPath,
                           "Write the picture of the run as one self-contained HTML page (see `nicsim report`)");
    }

    bool Chosen() const override { return cmd_->parsed(); }

    int Execute(int argc, char** argv) override {
        if (const int rc = CheckOutputs("run", run.outputs, run.json)) return rc;
        std::optional<Scenario> scenario;
        if (const int rc = LoadNamedScenario(scenarioPath, scenario)) return rc;
        WarnScenario(scenarioPath, *scenario);
        if (*seedOpt) run.seed = seed;
        if (*untilOpt) run.untilSeconds = until;
        run.fullSpeedUsb = runUsbTiming == "full-speed";
        if (*cpusOpt) run.cpus = cpus;
        if (run.json) run.quiet = true;
        if (const int rc = ReadImageOption(runImage, run.image)) return rc;
        run.callsOnly = runPoints == "calls";
        // What decides the run, as the user gave it; the seed always, so a scenario edited later
        // still replays with the seed this run used.
        std::vector<std::string> replay{"nicsim", "run"};
        if (!scenarioPath.empty()) replay.push_back(scenarioPath);
        replay.insert(replay.end(), {"--seed", std::to_string(run.seed.value_or(scenario->seed))});
        if (*cpusOpt) replay.insert(replay.end(), {"--cpus", std::to_string(cpus)});
        if (runUsbTimingOpt->count() > 0) replay.insert(replay.end(), {"--usb-timing", runUsbTiming});
        if (*untilOpt) replay.insert(replay.end(), {"--until", untilOpt->results().front()});
        if (*runImageOpt) replay.insert(replay.end(), {"--image", runImage});
        if (*runPointsOpt) replay.insert(replay.end(), {"--points", runPoints});
        run.replay = ShellCommand(replay);
        // Standard input is gone once read: the replay takes the same text again, which nicsim did
        // not keep; the run record's sha256 tells whether a file holds it.
        if (scenarioPath == "-")
            run.replayNote = " < SCENARIO.json (the scenario came from standard input and was not kept: save it to a "
                             "file to replay; its sha256 is " + scenario->sha256 + ")";
        run.version = version_;
        run.commandLine = ShellCommand(std::vector<std::string>(argv, argv + argc));
        return RunScenario(*scenario, run);
    }

private:
    CLI::App* cmd_;
    RunOptions run;
    std::string scenarioPath;
    uint64_t seed = 0;
    double until = 0;
    std::string runUsbTiming = "frame";
    unsigned cpus = 1;
    std::string runPoints = "all";
    std::string runImage;
    CLI::Option* seedOpt;
    CLI::Option* untilOpt;
    CLI::Option* runUsbTimingOpt;
    CLI::Option* cpusOpt;
    CLI::Option* runPointsOpt;
    CLI::Option* runImageOpt;
    std::string version_;
};

}  // namespace

std::unique_ptr<Command> MakeRunCommand(CLI::App& app, std::string version) {
    return std::make_unique<RunCommand>(app, std::move(version));
}

}  // namespace nicsim
