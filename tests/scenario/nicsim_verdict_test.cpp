// nicsim's verdict for other programs: `--json` on standard output and the `--junit` report, read
// back as a CI system would (the report through Python's XML parser) and held against the human
// summary of the same run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/nicsim_process.h"
#include "tools/nicsim/verdict.h"

namespace {

using nlohmann::json;
using testing_support::Nicsim;
using testing_support::Outcome;
using testing_support::Shell;

// A directory of the test's own, gone with it.
struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = std::filesystem::temp_directory_path() / "nicsim_verdict_XXXXXX";
        path = mkdtemp(pattern.data()) ? pattern : "";
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

// The report as Python's XML parser reads it; a parse failure fails the test.
json ReadJUnit(const std::string& path) {
    const Outcome o = Shell("python3 " + std::string(TESTS_DIR) + "/support/junit_summary.py " + path, true);
    EXPECT_EQ(o.status, 0) << o.out;
    return o.status == 0 ? json::parse(o.out) : json();
}

uint64_t Number(const std::smatch& m, int i) { return std::stoull(m[i].str()); }

TEST(NicsimVerdict, CleanRunsGiveJsonThatAgreesWithTheSummaryAndAPassingReport) {
    struct Case {
        std::string args;     // after "run"; FILE is the scenario below, written to a file
        std::string options;  // what the replay command must carry after its seed
        std::string scenario = "";
    };
    // Pings that lose replies when the link goes, and one that never gets an ARP answer.
    const std::string lostPings = R"({ "name": "lost pings", "duration_s": 21,
      "adapters": [ { "name": "A", "phys": [ { "address": 0, "id": "0x225410", "link": "eth0" } ] } ],
      "links": [ { "name": "eth0", "medium": "ethernet", "up": true,
                   "peer": { "kind": "responder", "ip": "192.168.7.1" } } ],
      "events": [ { "at": 0, "do": "initialize", "adapter": "A" },
        { "at": 4, "do": "ping", "adapter": "A", "ip": "192.168.7.2", "to": "192.168.7.1", "count": 6, "interval": 1 },
        { "at": 6.5, "do": "link", "link": "eth0", "up": false },
        { "at": 12, "do": "ping", "adapter": "A", "ip": "192.168.7.2", "to": "192.168.7.9", "count": 2 },
        { "at": 20, "do": "halt", "adapter": "A" } ] })";
    const Case cases[] = {
        {"", ""},
        {"two_adapters --cpus 2", " --cpus 2"},
        {"forced_media --usb-timing full-speed --until 12.5", " --usb-timing full-speed --until 12.5"},
        {"FILE", "", lostPings},
    };
    const std::regex adapterLine(
        R"(  (\w+): sent (\d+), completed (\d+), refused (\d+), on the wire (\d+); from the wire (\d+), )"
        R"(indicated (\d+); dropped: no link (\d+), filtered (\d+), overflow (\d+))");
    const std::regex pingLine(
        R"(  ping (\w+) -> ([\d.]+), burst (\d+) from [\d.]+ s: (\d+) sent, (\d+) replies, (\d+) lost( \(no ARP reply\))?)");
    for (Case c : cases) {
        SCOPED_TRACE(c.args);
        TempDir dir;
        if (!c.scenario.empty()) {
            std::ofstream(dir.path + "/lost.json") << c.scenario;
            c.args = dir.path + "/lost.json";
        }
        const Outcome human = Nicsim("run " + c.args);
        ASSERT_EQ(human.status, 0) << human.out;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(human.out, m, std::regex(R"(\(seed (\d+)\))")));
        const std::string seed = m[1].str();

        const std::string report = dir.path + "/report.xml";
        const Outcome machine = Shell(std::string(NICSIM_BINARY) + " run " + c.args + " --json --junit " + report);
        ASSERT_EQ(machine.status, 0) << machine.out;
        // Standard output holds one JSON object on one line, and nothing of the timeline.
        ASSERT_EQ(machine.out.find('\n'), machine.out.size() - 1) << machine.out;
        const json j = json::parse(machine.out);
        EXPECT_EQ(j["command"], "run");
        EXPECT_EQ(std::to_string(j["seed"].get<uint64_t>()), seed);
        EXPECT_EQ(j["counts"]["violations"], 0);
        EXPECT_EQ(j["counts"]["leaks"], 0);
        EXPECT_TRUE(j["violations"].empty());
        EXPECT_NE(human.out.find("violations: 0, leaks: 0"), std::string::npos);

        // Each number of the human summary's adapter and ping lines, by the JSON field it prints.
        const char* adapterFields[] = {"sends_offered", "sends_completed", "sends_refused", "frames_on_wire",
                                       "rx_from_wire", "frames_indicated", "tx_dropped_no_link",
                                       "rx_filtered", "rx_overflow"};
        size_t adapters = 0, pings = 0;
        for (std::sregex_iterator it(human.out.begin(), human.out.end(), adapterLine), end; it != end; ++it, ++adapters)
            for (int f = 0; f < 9; ++f)
                EXPECT_EQ(j["adapters"][(*it)[1].str()][adapterFields[f]], Number(*it, f + 2)) << (*it)[0];
        for (std::sregex_iterator it(human.out.begin(), human.out.end(), pingLine), end; it != end; ++it, ++pings) {
            const json p = j["pings"].at(pings);
            EXPECT_EQ(json::array({p["adapter"], p["to"], p["burst"], p["sent"], p["replies"], p["lost"],
                                   p["no_arp_reply"]}),
                      json::array({(*it)[1].str(), (*it)[2].str(), Number(*it, 3), Number(*it, 4), Number(*it, 5),
                                   Number(*it, 6), (*it)[7].matched})) << (*it)[0];
        }
        EXPECT_GT(adapters, 0u);
        EXPECT_EQ(j["adapters"].size(), adapters);
        EXPECT_EQ(j["pings"].size(), pings);

        // The replay command names what decided the run, and plays the same run again.
        const std::string scenario = c.args.substr(0, c.args.find(' '));
        const std::string replay = "nicsim run " + (scenario.empty() ? "" : scenario + " ") + "--seed " + seed + c.options;
        ASSERT_EQ(j["replay"], replay);
        const Outcome again = Shell(std::string(NICSIM_BINARY) + replay.substr(6) + " --json");
        ASSERT_EQ(again.status, 0);
        json replayed = json::parse(again.out), first = j;
        replayed.erase("wall_s");
        first.erase("wall_s");
        EXPECT_EQ(replayed, first);

        const json suite = ReadJUnit(report)["suites"].at(0);
        EXPECT_EQ(json::array({suite["tests"], suite["failures"], suite["cases"].size(), suite["cases"][0]["failures"]}),
                  json::array({1, 0, 1, json::array()}));
        EXPECT_EQ(suite["properties"]["seed"], seed);
        EXPECT_EQ(suite["properties"]["replay"], replay);
    }
}

// Each violation is a failing testcase named after its check, whose message names the check and
// the detail; text XML cannot carry as it is comes out escaped, and the report still parses.
TEST(NicsimVerdict, EveryViolationIsAFailureNamingItsCheckInJsonAndReport) {
    nicsim::Verdict v;
    v.command = "run";
    v.scenario = "odd <name> & \"quotes\"";
    v.seed = 42;
    v.usbTiming = "frame";
    v.violations = {{1500, "leak", "pool tag 'Nic<' freed? no & 64 bytes", "A"},
                    {2500, "leak", "second\x01 leak \xff\xfe of \xc3\xa9", "B"},
                    {3000, "lock-order", "NIC lock taken inside ]]> the bus lock", ""}};
    v.leaks = 2;
    v.replay = nicsim::ShellCommand({"nicsim", "run", "my file's.json", "--seed", "42"});
    EXPECT_EQ(v.replay, R"(nicsim run 'my file'\''s.json' --seed 42)");

    const json j = json::parse(nicsim::VerdictJson(v).dump(-1, ' ', false, json::error_handler_t::replace));
    EXPECT_EQ(j["counts"], json({{"violations", 3}, {"leaks", 2}}));
    EXPECT_EQ(j["violations"][0]["check"], "leak");
    EXPECT_EQ(j["violations"][0]["adapter"], "A");
    EXPECT_EQ(j["violations"][2]["check"], "lock-order");
    EXPECT_TRUE(j["violations"][2]["adapter"].is_null());

    TempDir dir;
    const std::string path = dir.path + "/report.xml";
    std::string error;
    nicsim::ReportFile file(path);
    ASSERT_TRUE(file.Open(error)) << error;
    ASSERT_TRUE(file.Write(nicsim::VerdictJUnit(v), error)) << error;
    const json suite = ReadJUnit(path)["suites"].at(0);
    EXPECT_EQ(json::array({suite["name"], suite["tests"], suite["failures"]}),
              json::array({"nicsim run odd <name> & \"quotes\"", 3, 3}));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"leak #1", "leak: pool tag 'Nic<' freed? no & 64 bytes"},
        {"leak #2", "leak: second\\x01 leak \\xFF\\xFE of \xc3\xa9"},
        {"lock-order #1", "lock-order: NIC lock taken inside ]]> the bus lock"},
    };
    ASSERT_EQ(suite["cases"].size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const json& c = suite["cases"][i];
        EXPECT_EQ(c["name"], expected[i].first);
        ASSERT_EQ(c["failures"].size(), 1u);
        EXPECT_EQ(c["failures"][0]["message"], expected[i].second);
        EXPECT_EQ(c["failures"][0]["type"], expected[i].first.substr(0, expected[i].first.find(' ')));
        EXPECT_NE(c["failures"][0]["text"].get<std::string>().find("replay with: " + v.replay), std::string::npos);
    }
}

TEST(NicsimVerdict, ReportThatCannotBeWrittenIsAUsageError) {
    TempDir dir;
    const std::string missing = dir.path + "/no/such/dir/report.xml";
    const struct {
        std::string args, says;
        int status;
    } cases[] = {
        {"run --junit " + missing, "nicsim: cannot write " + missing, 2},
        {"run --quiet --junit /dev/full", "nicsim: writing /dev/full failed: No space left on device", 2},
        {"bridge --tap a0 --tap a1 --junit " + missing, "nicsim: cannot write " + missing, 2},
        {"bridge --relay --tap a0 --tap a1 --json", "--relay runs no driver and has no verdict", 2},
    };
    for (const auto& c : cases) {
        const Outcome o = testing_support::NicsimRefusedWithin(c.args);
        EXPECT_EQ(o.status, c.status) << c.args << "\n" << o.out;
        EXPECT_NE(o.out.find(c.says), std::string::npos) << c.args << "\n" << o.out;
    }
}

// A bridge between two TAP interfaces for a second: its verdict in both forms. TAP interfaces
// need root; elsewhere the test is skipped (scripts/test-bridge.sh covers real traffic).
TEST(NicsimVerdict, BridgeGivesItsVerdictToo) {
    const int tun = open("/dev/net/tun", O_RDWR);
    if (tun < 0 || geteuid() != 0) GTEST_SKIP() << "TAP interfaces need root";
    close(tun);
    TempDir dir;
    const std::string id = std::to_string(getpid() % 100000);
    const std::string report = dir.path + "/bridge.xml";
    const std::string args = "--tap nvj" + id + "a --tap nvj" + id + "b --usb-timing full-speed --duration 1";
    const Outcome o = Shell("timeout 30 " + std::string(NICSIM_BINARY) + " bridge " + args + " --json --junit " + report);
    ASSERT_EQ(o.status, 0) << o.out;
    ASSERT_EQ(o.out.find('\n'), o.out.size() - 1) << o.out;
    const json j = json::parse(o.out);
    EXPECT_EQ(j["command"], "bridge");
    EXPECT_EQ(j["usb_timing"], "full-speed");
    EXPECT_EQ(j["counts"]["violations"], 0);
    EXPECT_EQ(j["adapters"].size(), 2u);
    EXPECT_EQ(j["replay"], "nicsim bridge " + args + " --seed " + std::to_string(j["seed"].get<uint64_t>()));
    const json suite = ReadJUnit(report)["suites"].at(0);
    EXPECT_EQ(json::array({suite["failures"], suite["cases"].size()}), json::array({0, 1}));
}

}  // namespace
