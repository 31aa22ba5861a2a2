// nicsim: brings emulated USB network adapters up under the miniport driver, runs a scenario in
// virtual time, prints a timeline and writes traces.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <tuple>
#include <iostream>
#include <string_view>

#include "nicsim_version.h"
#include "tools/nicsim/bridge.h"
#include "tools/nicsim/embedded.h"
#include "tools/nicsim/explore.h"
#include "tools/nicsim/printable.h"
#include "tools/nicsim/random_scenario.h"
#include "tools/nicsim/input.h"
#include "tools/nicsim/report.h"
#include "tools/nicsim/runner.h"
#include "tools/nicsim/scenario.h"
#include "tools/nicsim/standard_output.h"
#include "tools/nicsim/usable_cpus.h"
#include "tools/nicsim/verdict.h"

namespace {

const nicsim::EmbeddedScenario* FindEmbedded(const std::string& name) {
    for (const auto& s : nicsim::EmbeddedScenarios())
        if (name == s.name) return &s;
    return nullptr;
}

std::vector<std::string> EmbeddedNames() {
    std::vector<std::string> names;
    for (const auto& s : nicsim::EmbeddedScenarios()) names.emplace_back(s.name);
    return names;
}

// Reads a scenario from a file, or an embedded one by name. Prints errors; 2 on failure.
// The name a scenario's messages and run record give it: "-" is standard input.
std::string Label(const std::string& source) { return source.empty() ? "default" : source == "-" ? "stdin" : source; }

int Load(const std::string& source, std::optional<nicsim::Scenario>& out) {
    std::string text;
    bool embedded = true;
    if (source.empty()) {
        text = FindEmbedded("default")->json;
    } else if (source == "-") {
        embedded = false;
        std::string error;
        if (!nicsim::ReadStandardInput(text, error)) {
            std::cerr << "nicsim: " << error << "\n";
            return 2;
        }
    } else {
        embedded = false;
        std::string error;
        bool exists = true;
        if (!nicsim::ReadInputFile(source, text, error, exists)) {
            std::string randomError;
            if (const auto random = exists ? std::nullopt : nicsim::ParseRandomName(source, randomError)) {
                if (!randomError.empty()) {
                    std::cerr << "nicsim: " << randomError << "\n";
                    return 2;
                }
                out.emplace();
                nicsim::LoadRandomScenario(*random, *out);
                return 0;
            }
            const auto* named = exists ? nullptr : FindEmbedded(source);
            if (named == nullptr) {
                if (exists) std::cerr << "nicsim: " << error << "\n";
                else
                    std::cerr << "nicsim: cannot read " << source
                              << ": no such file, and no embedded scenario has that name"
                              << nicsim::DidYouMean(source, EmbeddedNames()) << "; see `nicsim scenarios`\n";
                return 2;
            }
            text = named->json;
            embedded = true;
        }
    }
    std::vector<std::string> errors;
    out = nicsim::LoadScenario(text, errors);
    if (!out) {
        for (const auto& e : errors) std::cerr << Label(source) << ": " << e << "\n";
        return 2;
    }
    out->source = embedded ? "embedded " + out->name : Label(source);
    out->sha256 = nicsim::Sha256Hex(text);
    out->text = std::move(text);
    return 0;
}

// What loaded but is probably not meant, on standard error, where a run's outputs are not.
void Warn(const std::string& source, const nicsim::Scenario& s) {
    for (const auto& w : s.warnings) std::cerr << Label(source) << ": warning: " << w << "\n";
}

// After CLI11 has refused an option: the closest option of the command for each unknown one.
void SuggestOptions(CLI::App& app, int argc, char** argv) {
    if (argc < 2) return;
    CLI::App* command = nullptr;
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        if (sub->get_name() == argv[1]) command = sub;
    if (command == nullptr) return;
    std::vector<std::string> names;
    for (const CLI::Option* o : command->get_options())
        for (const std::string& l : o->get_lnames()) names.push_back("--" + l);
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg == "--") continue;
        arg = arg.substr(0, arg.find('='));
        if (std::find(names.begin(), names.end(), arg) != names.end()) continue;
        if (const auto close = nicsim::ClosestName(arg, names))
            std::cerr << "nicsim " << argv[1] << ": unknown option " << arg << " (did you mean " << *close << "?)\n";
    }
}

// The options that choose what a run writes; `run` and `bridge` take the same.
void AddOutputOptions(CLI::App& command, nicsim::OutputOptions& o) {
    command.add_option("--trace", o.tracePath,
                       "Write every event as JSON Lines to this file (- for standard output)");
    command.add_option("--trace-events", o.traceEvents,
                       "KIND,...: the trace file takes only these kinds of line (its run and "
                       "summary records always); the kinds: " + nicsim::TraceKindList())
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

// Refuses output options that do not go together; 2 after saying why, else 0.
int CheckOutputs(const char* command, const nicsim::OutputOptions& o, bool json) {
    std::string error;
    if (nicsim::CheckOutputOptions(o, json, error)) return 0;
    std::cerr << "nicsim " << command << ": " << error << "\n";
    return 2;
}

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

    nicsim::RunOptions run;
    std::string scenarioPath;
    uint64_t seed = 0;
    double until = 0;
    auto* runCmd = app.add_subcommand(
        "run", "Run a scenario (a file, an embedded name, or the embedded default) and print its "
               "timeline and summary");
    runCmd->add_option("scenario", scenarioPath,
                       "Scenario file (JSON), embedded scenario name, random:SEED, or - for standard input");
    auto* seedOpt = runCmd->add_option("--seed", seed, "Seed for every random choice (default: the scenario's)")
                        ->check(nicsim::SeedCheck());
    auto* untilOpt = runCmd->add_option("--until", until,
                                        "Stop after this many virtual seconds (at least 0.000001, at most 10000000)")
                         ->check(nicsim::SecondsCheck(false));
    AddOutputOptions(*runCmd, run.outputs);
    runCmd->add_flag("--quiet", run.quiet, "Print nothing; only the exit status tells");
    runCmd->add_flag("--json", run.json,
                     "Print only the summary, as one JSON object on standard output (no timeline)");
    runCmd->add_option("--junit", run.junitPath,
                       "Write the verdict as a JUnit XML report: one failure per violation");
    std::string runUsbTiming = "frame";
    auto* runUsbTimingOpt = runCmd->add_option("--usb-timing", runUsbTiming,
                       "frame: each transfer completes at the next 1 ms frame (default); "
                       "full-speed: 64-byte bulk packets, 19 per frame")
        ->check(CLI::IsMember({"frame", "full-speed"}));
    unsigned cpus = 1;
    auto* cpusOpt = runCmd->add_option("--cpus", cpus,
                                       "Emulated processors (default: the scenario's, else 1); "
                                       "with more than one, handlers, timers and completions "
                                       "interleave as the seed says")
                        ->check(CLI::Range(1u, nicsim::kMaxCpus));

    std::string runPoints = "all";
    auto* runPointsOpt =
        runCmd->add_option("--points", runPoints,
                           "all (default): with several processors, the world may switch tasks and "
                           "checks for freed memory at the driver's unlocked shared-field accesses and "
                           "interlocked operations too; calls: only where the driver calls the world, "
                           "all a Windows image lets it see (to compare the built-in driver with --image)")
            ->check(CLI::IsMember({"all", "calls"}));
    std::string runImage;
    auto* runImageOpt = runCmd->add_option(
        "--image", runImage,
        "Run the driver image built for Windows (usbnic.sys) instead of the driver built into nicsim: "
        "the x64 image in this world, the x86 one in the 32-bit world");
    runCmd->add_option("--html", run.htmlPath,
                       "Write the picture of the run as one self-contained HTML page (see `nicsim report`)");

    std::string reportTrace, reportOut;
    auto* reportCmd = app.add_subcommand(
        "report", "Draw a trace of `nicsim run` as one self-contained HTML page: every lane on one "
                  "time axis, zoom and hover");
    reportCmd->add_option("trace", reportTrace, "Trace file (JSON Lines) written by `nicsim run --trace`")->required();
    reportCmd->add_option("-o,--output", reportOut, "The HTML page to write")->required();

    auto* listCmd = app.add_subcommand("scenarios", "List the embedded scenarios, one line each");
    std::string showName;
    auto* showCmd = app.add_subcommand("show", "Print an embedded or generated scenario as JSON, to copy and edit");
    showCmd->add_option("name", showName,
                        "Embedded scenario name, or random:SEED[:FAULTS] for the scenario `explore` generates")
        ->required();
    std::string checkPath;
    auto* checkCmd = app.add_subcommand("check", "Check a scenario file and explain each error with its JSON path");
    checkCmd->add_option("file", checkPath, "Scenario file (JSON), or - for standard input")->required();

    nicsim::BridgeOptions bridge;
    std::string bridgeScenario;
    uint64_t bridgeSeed = 0;
    double bridgeDuration = 0;
    auto* bridgeCmd = app.add_subcommand(
        "bridge", "Carry real traffic: the protocol side of each adapter is a TAP interface, "
                  "virtual time follows the wall clock; Ctrl-C halts and prints the summary");
    bridgeCmd->add_option("scenario", bridgeScenario,
                          "Scenario file or embedded name for the adapters, links, registry keywords "
                          "and timed link/reset/set/query events (default: a built-in cable)");
    bridgeCmd->add_option("--tap", bridge.taps,
                          "IF[@NETNS]: the protocol side of the next adapter (give two for two "
                          "adapters on one cable)");
    bridgeCmd->add_option("--partner-tap", bridge.partnerTap,
                          "IF[@NETNS]: the far end of the first link is this TAP interface");
    bridgeCmd->add_flag("--relay", bridge.relay,
                        "No driver: copy frames between the two --tap interfaces, for comparison");
    bridgeCmd->add_option("--param", bridge.params,
                          "[ADAPTER:]KEYWORD=VALUE registry keyword (e.g. MediaType=0, "
                          "NetworkAddress=020000000042)");
    bridgeCmd->add_option("--address", bridge.addresses,
                          "[ADAPTER:]MAC station address in the EEPROM (unnamed ones go to the "
                          "adapters in order)");
    bridgeCmd->add_option("--medium", bridge.medium, "Medium of the built-in cable")
        ->check(CLI::IsMember({"ethernet", "phoneline"}));
    bridgeCmd->add_option("--flap-at", bridge.flaps,
                          "AT[:FOR]: every medium goes down AT virtual seconds for FOR seconds "
                          "(default 5); SIGUSR1/SIGUSR2 take them down/up at any time");
    bridgeCmd->add_option("--usb-timing", bridge.usbTiming,
                          "frame: each transfer completes at the next 1 ms frame (default); "
                          "full-speed: 64-byte packets, 19 per frame")
        ->check(CLI::IsMember({"frame", "full-speed"}));
    auto* bridgeSeedOpt = bridgeCmd->add_option("--seed", bridgeSeed, "Seed for every random choice")
                              ->check(nicsim::SeedCheck());
    auto* bridgeDurationOpt =
        bridgeCmd->add_option("--duration", bridgeDuration,
                              "Stop by itself after this many seconds (at least 0.000001, at most 10000000)")
            ->check(nicsim::SecondsCheck(false));
    bridgeCmd->add_option("--mtu", bridge.mtu, "MTU of the TAP interfaces")->check(CLI::Range(68, 1500));
    std::string bridgeImage;
    bridgeCmd->add_option("--image", bridgeImage,
                          "Run the driver image built for Windows (usbnic.sys), as in `run`");
    AddOutputOptions(*bridgeCmd, bridge.outputs);
    bridgeCmd->add_flag("--quiet", bridge.quiet, "Print nothing; only the exit status tells");
    bridgeCmd->add_flag("--json", bridge.json,
                        "Print only the summary, as one JSON object on standard output");
    bridgeCmd->add_option("--junit", bridge.junitPath,
                          "Write the verdict as a JUnit XML report: one failure per violation");

    std::string exploreScenario, exploreSeeds, exploreShard, exploreUsbTiming;
    std::vector<std::string> mergeFiles;
    nicsim::ExploreOptions explore;
    unsigned exploreCpus = 1;
    double exploreUntil = 0, exploreTimeLimit = 0;
    explore.jobs = nicsim::UsableCpus();
    auto* exploreCmd = app.add_subcommand(
        "explore", "Run a scenario once per seed of a range, on every core, and report the failing "
                   "seeds as JSON Lines with the command that replays each");
    exploreCmd->add_option("scenario", exploreScenario,
                           "Scenario file (JSON) or embedded scenario name (default: a random scenario for "
                           "each seed, `nicsim show random:SEED` prints it)");
    std::string exploreFaults;
    auto* faultsOpt = exploreCmd->add_option("--faults", exploreFaults,
                                             "KIND,...: the fault plans random scenarios may arm (default: all; "
                                             "none for no fault)");
    auto* minimiseOpt = exploreCmd->add_flag(
        "--minimise,--minimize", explore.minimise,
        "Shrink each failing scenario while it fails the same way and write the smallest as "
        "minimised-SEED.json beside --out (or here), with the command that replays it");
    auto* seedsOpt = exploreCmd->add_option("--seeds", exploreSeeds, "FIRST..LAST: the seeds to run, both included")
                         ->check(nicsim::SeedRangeCheck());
    auto* exploreCpusOpt = exploreCmd->add_option("--cpus", exploreCpus,
                                                  "Emulated processors (default: the scenario's, else 1)")
                               ->check(CLI::Range(1u, nicsim::kMaxCpus));
    auto* exploreUsbTimingOpt =
        exploreCmd->add_option("--usb-timing", exploreUsbTiming, "frame (default) or full-speed, as in `run`")
            ->check(CLI::IsMember({"frame", "full-speed"}));
    auto* exploreUntilOpt = exploreCmd->add_option("--until", exploreUntil,
                                                   "Stop each run after this many virtual seconds (at least "
                                                   "0.000001, at most 10000000)")
                                ->check(nicsim::SecondsCheck(false));
    auto* timeLimitOpt = exploreCmd->add_option("--time-limit", exploreTimeLimit,
                                                "Start no seed after this many seconds of wall-clock time; "
                                                "the summary tells what ran")
                             ->check(nicsim::SecondsCheck(false));
    exploreCmd->add_option("--jobs", explore.jobs,
                           "Worker processes (default: one per processor this process may use: its "
                           "affinity mask and its cgroup's CPU quota, the smaller)")
        ->check(CLI::Range(1u, 1024u));
    exploreCmd->add_option("--out", explore.outPath,
                           "Write the records (JSON Lines) to this file (default, or -: standard output)");
    std::string explorePoints = "all";
    exploreCmd->add_option("--points", explorePoints, "all (default) or calls, as in `run`")
        ->check(CLI::IsMember({"all", "calls"}));
    exploreCmd->add_option("--image", explore.imagePath,
                           "Run every seed on the driver image built for Windows (usbnic.sys), as in `run`");
    exploreCmd->add_option("--junit", explore.junitPath,
                           "Write the sweep's verdict as a JUnit XML report: one failure per failing seed");
    auto* shardOpt = exploreCmd->add_option("--shard", exploreShard,
                                            "K/N: run only the K-th of N consecutive slices of the seeds")
                         ->check(nicsim::ShardCheck());
    auto* mergeOpt = exploreCmd->add_option("--merge", mergeFiles,
                                            "Merge the records of shards (files of `--out`) into the records "
                                            "of the whole sweep; runs nothing")
                         ->expected(1, -1);
    mergeOpt->excludes(seedsOpt)->excludes(shardOpt)->excludes(exploreCpusOpt)->excludes(exploreUsbTimingOpt)
        ->excludes(exploreUntilOpt)->excludes(timeLimitOpt)->excludes(faultsOpt)->excludes(minimiseOpt);

    // A mistyped command is not left to CLI11, which would only say that one is required.
    std::vector<std::string> commands;
    for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        commands.push_back(sub->get_name());
    if (argc > 1 && argv[1][0] != '-' &&
        std::find(commands.begin(), commands.end(), argv[1]) == commands.end()) {
        std::string list;
        for (const auto& c : commands) list += (list.empty() ? "" : ", ") + c;
        std::cerr << "nicsim: unknown command \"" << argv[1] << "\"" << nicsim::DidYouMean(argv[1], commands)
                  << "; the commands are " << list << " (see nicsim --help)\n";
        return 2;
    }
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
        SuggestOptions(app, argc, argv);
        return 2;
    }

    // --image: the file is read and checked once, before anything runs; a refusal names the file
    // and what is wrong with it.
    const auto readImage = [](const std::string& path, std::shared_ptr<const host::image::ImageFile>& out) {
        if (path.empty()) return 0;
        std::string error;
        out = host::image::ImageFile::Read(path, error);
        if (out) return 0;
        std::cerr << "nicsim: " << error << "\n";
        return 2;
    };

    if (*listCmd) {
        for (const auto& s : nicsim::EmbeddedScenarios()) {
            std::vector<std::string> errors;
            auto parsed = nicsim::LoadScenario(s.json, errors);
            std::printf("%-14s %s\n", s.name,
                        parsed ? nicsim::Printable(parsed->description).c_str() : "(does not load)");
        }
        return 0;
    }
    if (*showCmd) {
        std::string randomError;
        if (const auto random = nicsim::ParseRandomName(showName, randomError)) {
            if (!randomError.empty()) {
                std::cerr << "nicsim: " << randomError << "\n";
                return 2;
            }
            std::fputs(nicsim::RandomScenarioText(*random).c_str(), stdout);
            return 0;
        }
        const auto* s = FindEmbedded(showName);
        if (s == nullptr) {
            std::cerr << "nicsim: no embedded scenario \"" << showName << "\""
                      << nicsim::DidYouMean(showName, EmbeddedNames()) << " (see `nicsim scenarios`)\n";
            return 2;
        }
        std::fputs(s->json, stdout);
        return 0;
    }
    if (*reportCmd) return nicsim::WriteReport(reportTrace, reportOut);
    if (*checkCmd) {
        std::optional<nicsim::Scenario> s;
        if (const int rc = Load(checkPath, s)) return rc;
        const std::string shown = nicsim::Printable(Label(checkPath));
        std::printf("%s: ok (%zu adapters, %zu links, %zu events)\n", shown.c_str(),
                    s->adapters.size(), s->links.size(), s->events.size());
        for (const auto& w : s->warnings) std::printf("%s: warning: %s\n", shown.c_str(), nicsim::Printable(w).c_str());
        // Legal, but probably not what the author meant: a run stops at duration_s.
        for (const auto& e : s->events) {
            if (e.atUs <= static_cast<uint64_t>(s->durationS * 1e6)) continue;
            std::printf("%s: warning: events[%zu].at: %g s is after duration_s (%g s): the event "
                        "does not play unless --until is longer\n",
                        shown.c_str(), e.index, e.atUs / 1e6, s->durationS);
        }
        return 0;
    }
    if (*bridgeCmd) {
        if (const int rc = CheckOutputs("bridge", bridge.outputs, bridge.json)) return rc;
        std::optional<nicsim::Scenario> s;
        if (!bridgeScenario.empty()) {
            if (const int rc = Load(bridgeScenario, s)) return rc;
            Warn(bridgeScenario, *s);
        }
        if (*bridgeSeedOpt) bridge.seed = bridgeSeed;
        if (const int rc = readImage(bridgeImage, bridge.image)) return rc;
        if (*bridgeDurationOpt) bridge.durationSeconds = bridgeDuration;
        if (bridge.json) bridge.quiet = true;
        bridge.version = NICSIM_VERSION;
        // The set-up as the user gave it; the bridge adds the seed it ran with.
        bridge.commandArgs = {"nicsim", "bridge"};
        if (!bridgeScenario.empty()) bridge.commandArgs.push_back(bridgeScenario);
        for (const CLI::Option* o : bridgeCmd->get_options()) {
            const std::string name = o->get_name();
            if (o->count() == 0 || name == "--seed" || name == "--json" || name == "--junit" ||
                name == "--quiet" || name == "--trace" || name == "--pcap-usb" || name == "--pcap-wire" ||
                name == "--trace-events" || name == "--trace-data" ||
                name.rfind("--", 0) != 0)
                continue;
            if (o->get_type_size() == 0) {
                bridge.commandArgs.push_back(name);
                continue;
            }
            for (const std::string& r : o->results()) bridge.commandArgs.insert(bridge.commandArgs.end(), {name, r});
        }
        return nicsim::RunBridge(s, bridge);
    }
    if (*exploreCmd) {
        if (*mergeOpt) {
            if (!exploreScenario.empty()) {
                std::cerr << "nicsim explore: --merge takes only result files; \"" << exploreScenario
                          << "\" is one too many arguments\n";
                return 2;
            }
            return nicsim::MergeResults(mergeFiles, explore.outPath, explore.junitPath);
        }
        if (!*seedsOpt) {
            std::cerr << "nicsim explore: --seeds FIRST..LAST is required (or --merge FILES...)\n";
            return 2;
        }
        if (const int rc = readImage(explore.imagePath, explore.image)) return rc;
        explore.callsOnly = explorePoints == "calls";
        std::tie(explore.first, explore.last) = *nicsim::ParseSeedRange(exploreSeeds);
        if (*shardOpt) std::tie(explore.shard, explore.shards) = *nicsim::ParseShard(exploreShard);
        if (*exploreCpusOpt) explore.cpus = exploreCpus;
        if (*exploreUsbTimingOpt) explore.usbTiming = exploreUsbTiming;
        if (*exploreUntilOpt) {
            explore.untilSeconds = exploreUntil;
            explore.until = exploreUntilOpt->results().front();
        }
        if (*timeLimitOpt) explore.timeLimitSeconds = exploreTimeLimit;
        if (explore.minimise && !explore.outPath.empty() && explore.outPath != "-")
            explore.minimiseDir = std::filesystem::path(explore.outPath).parent_path().string();
        if (exploreScenario.empty()) {
            std::vector<std::string> faults = nicsim::RandomFaultKinds();
            if (*faultsOpt) {
                std::string error;
                auto chosen = nicsim::ParseFaultList(exploreFaults, error);
                if (!chosen) {
                    std::cerr << "nicsim explore: --faults: " << error << "\n";
                    return 2;
                }
                faults = std::move(*chosen);
            }
            const bool all = faults == nicsim::RandomFaultKinds();
            nicsim::RandomScenarios source(std::move(faults), all);
            return nicsim::Explore(source, explore);
        }
        if (*faultsOpt) {
            std::cerr << "nicsim explore: --faults chooses the faults of random scenarios; \"" << exploreScenario
                      << "\" arms its own (drop the scenario to explore random ones)\n";
            return 2;
        }
        std::optional<nicsim::Scenario> s;
        if (const int rc = Load(exploreScenario, s)) return rc;
        Warn(exploreScenario, *s);
        nicsim::FixedScenario source(std::move(*s), exploreScenario);
        return nicsim::Explore(source, explore);
    }
    if (const int rc = CheckOutputs("run", run.outputs, run.json)) return rc;
    std::optional<nicsim::Scenario> scenario;
    if (const int rc = Load(scenarioPath, scenario)) return rc;
    Warn(scenarioPath, *scenario);
    if (*seedOpt) run.seed = seed;
    if (*untilOpt) run.untilSeconds = until;
    run.fullSpeedUsb = runUsbTiming == "full-speed";
    if (*cpusOpt) run.cpus = cpus;
    if (run.json) run.quiet = true;
    if (const int rc = readImage(runImage, run.image)) return rc;
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
    run.replay = nicsim::ShellCommand(replay);
    // Standard input is gone once read: the replay takes the same text again, which nicsim did
    // not keep; the run record's sha256 tells whether a file holds it.
    if (scenarioPath == "-")
        run.replayNote = " < SCENARIO.json (the scenario came from standard input and was not kept: save it to a "
                         "file to replay; its sha256 is " + scenario->sha256 + ")";
    run.version = NICSIM_VERSION;
    run.commandLine = nicsim::ShellCommand(std::vector<std::string>(argv, argv + argc));
    return nicsim::RunScenario(*scenario, run);
}

}  // namespace

int main(int argc, char** argv) {
    const nicsim::PrintableErrors escaped;
    return nicsim::FinishStandardOutput(Main(argc, argv));
}
