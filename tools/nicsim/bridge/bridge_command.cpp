#include "tools/nicsim/bridge/bridge_command.h"

#include <optional>
#include <utility>

#include "tools/nicsim/bridge/bridge.h"
#include "tools/nicsim/cli/input.h"
#include "tools/nicsim/run/run_command.h"
#include "tools/nicsim/scenario/scenario_source.h"

namespace nicsim {
namespace {

class BridgeCommand : public Command {
public:
    BridgeCommand(CLI::App& app, std::string version) : version_(std::move(version)) {
        cmd_ = app.add_subcommand(
            "bridge", "Carry real traffic: the protocol side of each adapter is a TAP interface, "
                      "virtual time follows the wall clock; Ctrl-C halts and prints the summary");
        cmd_->add_option("scenario", bridgeScenario,
                              "Scenario file or embedded name for the adapters, links, registry keywords "
                              "and timed link/reset/set/query events (default: a built-in cable)");
        cmd_->add_option("--tap", bridge.taps,
                              "IF[@NETNS]: the protocol side of the next adapter (give two for two "
                              "adapters on one cable)");
        cmd_->add_option("--partner-tap", bridge.partnerTap,
                              "IF[@NETNS]: the far end of the first link is this TAP interface");
        cmd_->add_flag("--relay", bridge.relay,
                            "No driver: copy frames between the two --tap interfaces, for comparison");
        cmd_->add_option("--param", bridge.params,
                              "[ADAPTER:]KEYWORD=VALUE registry keyword (e.g. MediaType=0, "
                              "NetworkAddress=020000000042)");
        cmd_->add_option("--address", bridge.addresses,
                              "[ADAPTER:]MAC station address in the EEPROM (unnamed ones go to the "
                              "adapters in order)");
        cmd_->add_option("--medium", bridge.medium, "Medium of the built-in cable")
            ->check(CLI::IsMember({"ethernet", "phoneline"}));
        cmd_->add_option("--flap-at", bridge.flaps,
                              "AT[:FOR]: every medium goes down AT virtual seconds for FOR seconds "
                              "(default 5); SIGUSR1/SIGUSR2 take them down/up at any time");
        cmd_->add_option("--usb-timing", bridge.usbTiming,
                              "frame: each transfer completes at the next 1 ms frame (default); "
                              "full-speed: 64-byte packets, 19 per frame")
            ->check(CLI::IsMember({"frame", "full-speed"}));
        bridgeSeedOpt = cmd_->add_option("--seed", bridgeSeed, "Seed for every random choice")
                                  ->check(SeedCheck());
        bridgeDurationOpt =
            cmd_->add_option("--duration", bridgeDuration,
                                  "Stop by itself after this many seconds (at least 0.000001, at most 10000000)")
                ->check(SecondsCheck(false));
        cmd_->add_option("--mtu", bridge.mtu, "MTU of the TAP interfaces")->check(CLI::Range(68, 1500));
        cmd_->add_option("--image", bridgeImage,
                              "Run the driver image built for Windows (usbnic.sys), as in `run`");
        AddOutputOptions(*cmd_, bridge.outputs);
        cmd_->add_flag("--quiet", bridge.quiet, "Print nothing; only the exit status tells");
        cmd_->add_flag("--json", bridge.json,
                            "Print only the summary, as one JSON object on standard output");
        cmd_->add_option("--junit", bridge.junitPath,
                              "Write the verdict as a JUnit XML report: one failure per violation");
    }

    bool Chosen() const override { return cmd_->parsed(); }

    int Execute(int, char**) override {
        if (const int rc = CheckOutputs("bridge", bridge.outputs, bridge.json)) return rc;
        std::optional<Scenario> s;
        if (!bridgeScenario.empty()) {
            if (const int rc = LoadNamedScenario(bridgeScenario, s)) return rc;
            WarnScenario(bridgeScenario, *s);
        }
        if (*bridgeSeedOpt) bridge.seed = bridgeSeed;
        if (const int rc = ReadImageOption(bridgeImage, bridge.image)) return rc;
        if (*bridgeDurationOpt) bridge.durationSeconds = bridgeDuration;
        if (bridge.json) bridge.quiet = true;
        bridge.version = version_;
        // The set-up as the user gave it; the bridge adds the seed it ran with.
        bridge.commandArgs = {"nicsim", "bridge"};
        if (!bridgeScenario.empty()) bridge.commandArgs.push_back(bridgeScenario);
        for (const CLI::Option* o : cmd_->get_options()) {
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
        return RunBridge(s, bridge);
    }

private:
    CLI::App* cmd_;
    BridgeOptions bridge;
    std::string bridgeScenario;
    uint64_t bridgeSeed = 0;
    double bridgeDuration = 0;
    std::string bridgeImage;
    CLI::Option* bridgeSeedOpt;
    CLI::Option* bridgeDurationOpt;
    std::string version_;
};

}  // namespace

std::unique_ptr<Command> MakeBridgeCommand(CLI::App& app, std::string version) {
    return std::make_unique<BridgeCommand>(app, std::move(version));
}

}  // namespace nicsim
