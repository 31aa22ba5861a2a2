// `nicsim bridge` refuses what it cannot run before it touches the network: a wrong shape of
// options, a bad TAP name, an unknown timing, a malformed keyword or flap, a namespace that does
// not exist. Each is a usage error (status 2) with a message that says what to give instead.
// (Traffic through real TAP interfaces needs root and namespaces: scripts/test-bridge.sh.)
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/nicsim_process.h"

namespace {

using testing_support::Nicsim;
using testing_support::Outcome;

TEST(NicsimBridgeUsage, WrongOptionsAreUsageErrorsThatSayWhatToGive) {
    struct Case {
        const char* args;
        const char* says;
    };
    const Case cases[] = {
        {"bridge", "give two --tap options"},
        {"bridge --tap a0 --tap a1 --tap a2", "give two --tap options"},
        {"bridge --tap a0 --tap a1 --partner-tap a2", "give two --tap options"},
        {"bridge --relay --tap a0", "--relay needs two --tap options"},
        {"bridge --tap a0@ --tap a1", "bad TAP name"},
        {"bridge --tap name_longer_than_fifteen --tap a1", "bad TAP name"},
        {"bridge --tap a0 --tap a1 --param MediaType", "--param wants [ADAPTER:]KEYWORD=VALUE"},
        {"bridge --tap a0 --tap a1 --address 02:00:00", "--address wants [ADAPTER:]MAC"},
        {"bridge --tap a0 --tap a1 --address 02:00:00:00:00:01 --address 02:00:00:00:00:02 "
         "--address 02:00:00:00:00:03",
         "more --address options than adapters"},
        {"bridge --tap a0 --tap a1 --flap-at soon", "--flap-at wants AT[:FOR]"},
        {"bridge --tap a0 --tap a1 --flap-at nan", "AT from 0 to 10000000, FOR above 0 up to 10000000"},
        {"bridge --tap a0 --tap a1 --flap-at -5", "--flap-at wants AT[:FOR]"},
        {"bridge --tap a0 --tap a1 --flap-at 1:-1", "--flap-at wants AT[:FOR]"},
        {"bridge --tap a0 --tap a1 --flap-at 1:inf", "--flap-at wants AT[:FOR]"},
        {"bridge --tap a0 --tap a1 --duration nan", "--duration: \"nan\" is not a number of seconds"},
        {"bridge --tap a0 --tap a1 --seed 18446744073709551616", "from 0 to 18446744073709551615 (64 bits)"},
        {"bridge --tap a0 --tap a1 --usb-timing half-speed", "--usb-timing"},
        {"bridge --tap a0@nicsim_no_such_namespace --tap a1", "ip netns add nicsim_no_such_namespace"},
        {"bridge no_such_scenario.json --tap a0 --tap a1", "cannot read no_such_scenario.json"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome o = testing_support::NicsimRefusedWithin(c.args);
        EXPECT_EQ(o.status, 2) << o.out;
        EXPECT_NE(o.out.find(c.says), std::string::npos) << o.out;
    }
}

TEST(NicsimBridgeUsage, HelpNamesEveryShapeAndControl) {
    const Outcome o = Nicsim("bridge --help");
    EXPECT_EQ(o.status, 0);
    for (const char* option : {"--tap", "--partner-tap", "--relay", "--param", "--address",
                               "--flap-at", "--usb-timing", "--trace", "--pcap-usb", "--pcap-wire"})
        EXPECT_NE(o.out.find(option), std::string::npos) << option;
}

// `nicsim run --usb-timing full-speed`: the same story, with every bulk transfer completing
// exactly on a frame boundary (the default timing adds a seeded jitter to most of them).
TEST(NicsimRunUsbTiming, FullSpeedPutsEveryBulkCompletionOnAFrameBoundary) {
    auto bulkOffBoundary = [](const std::string& timing, size_t& bulk) {
        const std::string trace = testing_support::TempPath("nicsim_usb_timing_", timing + ".jsonl");
        const Outcome o = Nicsim("run two_adapters --until 10 --quiet --usb-timing " + timing +
                                 " --trace " + trace);
        EXPECT_EQ(o.status, 0) << o.out;
        std::ifstream in(trace);
        std::string line;
        size_t off = 0;
        bulk = 0;
        while (std::getline(in, line)) {
            const auto j = nlohmann::json::parse(line);
            if (j["ev"] != "bulk") continue;
            ++bulk;
            if (j["t_us"].get<uint64_t>() % 1000 != 0) ++off;
        }
        return off;
    };
    size_t bulkFrame = 0, bulkFull = 0;
    EXPECT_GT(bulkOffBoundary("frame", bulkFrame), 0u);
    EXPECT_EQ(bulkOffBoundary("full-speed", bulkFull), 0u);
    EXPECT_GT(bulkFrame, 1000u);
    EXPECT_GT(bulkFull, 1000u);
    EXPECT_EQ(Nicsim("run two_adapters --usb-timing half-speed").status, 2);
}

}  // namespace
