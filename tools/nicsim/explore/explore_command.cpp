#include "tools/nicsim/explore/explore_command.h"

#include <filesystem>
#include <iostream>
#include <optional>
#include <tuple>
#include <utility>

#include "tools/nicsim/cli/input.h"
#include "tools/nicsim/cli/usable_cpus.h"
#include "tools/nicsim/explore/explore.h"
#include "tools/nicsim/explore/seed_source.h"
#include "tools/nicsim/scenario/random_scenario.h"
#include "tools/nicsim/scenario/scenario_source.h"

namespace nicsim {
namespace {

class ExploreCommand : public Command {
public:
    explicit ExploreCommand(CLI::App& app) {
        // Counted when explore runs: reading the cgroup's quota is no part of any other command.
        explore.jobs = 0;
        cmd_ = app.add_subcommand(
            "explore", "Run a scenario once per seed of a range, on every core, and report the failing "
                       "seeds as JSON Lines with the command that replays each");
        cmd_->add_option("scenario", exploreScenario,
                               "Scenario file (JSON) or embedded scenario name (default: a random scenario for "
                               "each seed, `nicsim show random:SEED` prints it)");
        faultsOpt = cmd_->add_option("--faults", exploreFaults,
                                                 "KIND,...: the fault plans random scenarios may arm (default: all; "
                                                 "none for no fault)");
        minimiseOpt = cmd_->add_flag(
            "--minimise,--minimize", explore.minimise,
            "Shrink each failing scenario while it fails the same way and write the smallest as "
            "minimised-SEED.json beside --out (or here), with the command that replays it");
        seedsOpt = cmd_->add_option("--seeds", exploreSeeds, "FIRST..LAST: the seeds to run, both included")
                             ->check(SeedRangeCheck());
        exploreCpusOpt = cmd_->add_option("--cpus", exploreCpus,
                                                      "Emulated processors (default: the scenario's, else 1)")
                                   ->check(CLI::Range(1u, kMaxCpus));
        exploreUsbTimingOpt =
            cmd_->add_option("--usb-timing", exploreUsbTiming, "frame (default) or full-speed, as in `run`")
                ->check(CLI::IsMember({"frame", "full-speed"}));
        exploreUntilOpt = cmd_->add_option("--until", exploreUntil,
                                                       "Stop each run after this many virtual seconds (at least "
                                                       "0.000001, at most 10000000)")
                                    ->check(SecondsCheck(false));
        timeLimitOpt = cmd_->add_option("--time-limit", exploreTimeLimit,
                                                    "Start no seed after this many seconds of wall-clock time; "
                                                    "the summary tells what ran")
                                 ->check(SecondsCheck(false));
        cmd_->add_option("--jobs", explore.jobs,
                               "Worker processes (default: one per processor this process may use: its "
                               "affinity mask and its cgroup's CPU quota, the smaller)")
            ->check(CLI::Range(1u, 1024u));
        cmd_->add_option("--out", explore.outPath,
                               "Write the records (JSON Lines) to this file (default, or -: standard output)");
        cmd_->add_option("--points", explorePoints, "all (default) or calls, as in `run`")
            ->check(CLI::IsMember({"all", "calls"}));
        cmd_->add_option("--image", explore.imagePath,
                               "Run every seed on the driver image built for Windows (usbnic.sys), as in `run`");
        cmd_->add_option("--junit", explore.junitPath,
                               "Write the sweep's verdict as a JUnit XML report: one failure per failing seed");
        shardOpt = cmd_->add_option("--shard", exploreShard,
                                                "K/N: run only the K-th of N consecutive slices of the seeds")
                             ->check(ShardCheck());
        mergeOpt = cmd_->add_option("--merge", mergeFiles,
                                                "Merge the records of shards (files of `--out`) into the records "
                                                "of the whole sweep; runs nothing")
                             ->expected(1, -1);
        mergeOpt->excludes(seedsOpt)->excludes(shardOpt)->excludes(exploreCpusOpt)->excludes(exploreUsbTimingOpt)
            ->excludes(exploreUntilOpt)->excludes(timeLimitOpt)->excludes(faultsOpt)->excludes(minimiseOpt);
    }

    bool Chosen() const override { return cmd_->parsed(); }

    int Execute(int, char**) override {
        if (explore.jobs == 0) explore.jobs = UsableCpus();  // --jobs not given
        if (*mergeOpt) {
            if (!exploreScenario.empty()) {
                std::cerr << "nicsim explore: --merge takes only result files; \"" << exploreScenario
                          << "\" is one too many arguments\n";
                return 2;
            }
            return MergeResults(mergeFiles, explore.outPath, explore.junitPath);
        }
        if (!*seedsOpt) {
            std::cerr << "nicsim explore: --seeds FIRST..LAST is required (or --merge FILES...)\n";
            return 2;
        }
        if (const int rc = ReadImageOption(explore.imagePath, explore.image)) return rc;
        explore.callsOnly = explorePoints == "calls";
        std::tie(explore.first, explore.last) = *ParseSeedRange(exploreSeeds);
        if (*shardOpt) std::tie(explore.shard, explore.shards) = *ParseShard(exploreShard);
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
            std::vector<std::string> faults = RandomFaultKinds();
            if (*faultsOpt) {
                std::string error;
                auto chosen = ParseFaultList(exploreFaults, error);
                if (!chosen) {
                    std::cerr << "nicsim explore: --faults: " << error << "\n";
                    return 2;
                }
                faults = std::move(*chosen);
            }
            const bool all = faults == RandomFaultKinds();
            RandomScenarios source(std::move(faults), all);
            return Explore(source, explore);
        }
        if (*faultsOpt) {
            std::cerr << "nicsim explore: --faults chooses the faults of random scenarios; \"" << exploreScenario
                      << "\" arms its own (drop the scenario to explore random ones)\n";
            return 2;
        }
        std::optional<Scenario> s;
        if (const int rc = LoadNamedScenario(exploreScenario, s)) return rc;
        WarnScenario(exploreScenario, *s);
        FixedScenario source(std::move(*s), exploreScenario);
        return Explore(source, explore);
    }

private:
    CLI::App* cmd_;
    std::string exploreScenario, exploreSeeds, exploreShard, exploreUsbTiming;
    std::vector<std::string> mergeFiles;
    ExploreOptions explore;
    unsigned exploreCpus = 1;
    double exploreUntil = 0, exploreTimeLimit = 0;
    std::string exploreFaults;
    std::string explorePoints = "all";
    CLI::Option* faultsOpt;
    CLI::Option* minimiseOpt;
    CLI::Option* seedsOpt;
    CLI::Option* exploreCpusOpt;
    CLI::Option* exploreUsbTimingOpt;
    CLI::Option* exploreUntilOpt;
    CLI::Option* timeLimitOpt;
    CLI::Option* shardOpt;
    CLI::Option* mergeOpt;
};

}  // namespace

std::unique_ptr<Command> MakeExploreCommand(CLI::App& app) { return std::make_unique<ExploreCommand>(app); }

}  // namespace nicsim
