// nicsim's verdict for other programs: `--json` on standard output and the `--junit` report, read
// back as a CI system would (the report through Python's XML parser) and held against the human
// summary of the same run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/nicsim_process.h"
#include "tools/nicsim/run/verdict.h"

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

// Every frame an adapter was given or saw is counted once where it went: each account's whole
// equals the sum of its parts, whatever subsystem counted each.
void ExpectAccountsBalance(const json& c, const std::string& adapter) {
    SCOPED_TRACE("adapter " + adapter + ": " + c.dump());
    auto n = [&c](const char* field) { return c.at(field).get<uint64_t>(); };
    EXPECT_EQ(n("sends_queued"), n("sends_completed") + n("sends_failed") + n("sends_refused") + n("sends_pending") +
                                     n("sends_dropped") + n("sends_waiting"));
    EXPECT_EQ(n("sends_offered"), n("sends_queued") - n("sends_dropped") - n("sends_waiting") + n("resources_answers"));
    EXPECT_EQ(n("bulk_out_to_device"),
              n("frames_on_wire") + n("tx_dropped_no_link") + n("tx_dropped_mac_off") + n("tx_malformed"));
    EXPECT_EQ(n("frames_on_wire"), n("tx_crossed") + n("tx_medium_busy") + n("tx_in_flight"));
    EXPECT_EQ(n("rx_sent_by_partner"), n("rx_from_wire") + n("rx_not_received"));
    EXPECT_EQ(n("rx_from_wire"),
              n("rx_delivered") + n("rx_filtered") + n("rx_mac_off") + n("rx_overflow") + n("rx_queued"));
    EXPECT_LE(n("keepalives"), n("tx_crossed"));
}

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
    // An adapter's accounts: five lines, the first naming it.
    const std::regex adapterBlock(R"(\n  (\w+): sends \d+ = [^\n]*(\n     [^\n]*){4})");
    const std::regex pingLine(
        R"(  ping (\w+) -> ([\d.]+), burst (\d+) from [\d.]+ s: (\d+) sent, (\d+) replies, (\d+) lost; )"
        R"((\d+) requested, (\d+) not sent within 1 s( \(no ARP reply\))?)");
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

        const std::string report = dir.path + "/report.xml", trace = dir.path + "/trace.jsonl";
        const Outcome machine =
            Shell(std::string(NICSIM_BINARY) + " run " + c.args + " --json --junit " + report + " --trace " + trace);
        ASSERT_EQ(machine.status, 0) << machine.out;
        // Standard output holds one JSON object on one line, and nothing of the timeline.
        ASSERT_EQ(machine.out.find('\n'), machine.out.size() - 1) << machine.out;
        const json j = json::parse(machine.out);
        EXPECT_EQ(j["command"], "run");
        EXPECT_EQ(std::to_string(j["seed"].get<uint64_t>()), seed);
        EXPECT_EQ(j["counts"]["violations"], 0);
        EXPECT_EQ(j["counts"]["leaks"], 0);
        EXPECT_TRUE(j["violations"].empty());
        // The checks the verifier made, passed or caught: the same count in both forms.
        ASSERT_TRUE(std::regex_search(human.out, m, std::regex(R"(\n  violations: 0, leaks: 0 \((\d+) checks\)\n)")))
            << human.out;
        EXPECT_GT(Number(m, 1), 0u);
        EXPECT_EQ(j["counts"]["checks"], Number(m, 1));

        // Each number of the human summary's accounts and ping lines, in order, by the JSON field
        // it prints.
        const char* accountFields[] = {
            "sends_queued", "sends_completed", "sends_failed", "sends_refused", "sends_pending", "sends_dropped",
            "sends_waiting", "sends_offered", "resources_answers", "bulk_out_to_device", "frames_on_wire",
            "tx_dropped_no_link", "tx_dropped_mac_off", "tx_malformed", "frames_on_wire", "tx_crossed",
            "tx_medium_busy", "tx_in_flight", "keepalives", "rx_sent_by_partner", "rx_from_wire",
            "rx_not_received", "rx_from_wire", "rx_delivered", "rx_filtered", "rx_mac_off", "rx_overflow",
            "rx_queued", "frames_indicated"};
        size_t adapters = 0, pings = 0;
        for (std::sregex_iterator it(human.out.begin(), human.out.end(), adapterBlock), end; it != end;
             ++it, ++adapters) {
            const std::string block = (*it)[0].str();
            EXPECT_EQ(block.find("does not balance"), std::string::npos) << block;
            const json& counters = j["adapters"][(*it)[1].str()];
            const std::regex number(R"(\d+)");
            size_t f = 0;
            for (std::sregex_iterator n(block.begin(), block.end(), number), none; n != none; ++n, ++f) {
                ASSERT_LT(f, std::size(accountFields)) << block;
                EXPECT_EQ(counters[accountFields[f]], std::stoull((*n)[0].str())) << accountFields[f] << "\n" << block;
            }
            EXPECT_EQ(f, std::size(accountFields)) << block;
        }
        for (std::sregex_iterator it(human.out.begin(), human.out.end(), pingLine), end; it != end; ++it, ++pings) {
            const json p = j["pings"].at(pings);
            EXPECT_EQ(json::array({p["adapter"], p["to"], p["burst"], p["sent"], p["replies"], p["lost"],
                                   p["requested"], p["not_sent"], p["no_arp_reply"]}),
                      json::array({(*it)[1].str(), (*it)[2].str(), Number(*it, 3), Number(*it, 4), Number(*it, 5),
                                   Number(*it, 6), Number(*it, 7), Number(*it, 8), (*it)[9].matched}))
                << (*it)[0];
        }
        EXPECT_GT(adapters, 0u);
        EXPECT_EQ(j["adapters"].size(), adapters);
        EXPECT_EQ(j["pings"].size(), pings);

        // What produced the run, as its trace's run record says; each ping burst's round trips
        // and each adapter's bytes on the medium and up to the protocol, as the trace saw them.
        std::ifstream lines(trace);
        std::map<std::pair<std::string, uint64_t>, std::vector<double>> rtts;
        std::map<std::string, uint64_t> sent, received;
        std::map<std::pair<std::string, uint64_t>, uint64_t> wireFramesBySize;
        std::vector<json> bursts;
        json record;
        for (std::string line; std::getline(lines, line);) {
            const json l = json::parse(line);
            if (l["ev"] == "run") {
                record = l;
                for (const char* field : {"version", "source", "sha256", "seed"}) EXPECT_EQ(j[field], l[field]) << field;
            }
            if (l["ev"] == "ping" && l.contains("rtt_us"))
                rtts[{l["adapter"], l["burst"]}].push_back(l["rtt_us"].get<uint64_t>() / 1000.0);
            if (l["ev"] == "wire" && l["from"] != "peer") {
                const std::string from = l["from"].get<std::string>().substr(0, l["from"].get<std::string>().find(':'));
                sent[from] += l["length"].get<uint64_t>();
                ++wireFramesBySize[{from, l["length"].get<uint64_t>()}];
            }
            if (l["ev"] == "traffic") bursts.push_back(l);
            if (l["ev"] == "indicate_receive") received[l["adapter"]] += l["length"].get<uint64_t>();
        }
        for (const json& p : j["pings"]) {
            const auto& r = rtts[{p["adapter"], p["burst"]}];
            ASSERT_EQ(r.size(), p["replies"].get<size_t>()) << p;
            if (r.empty()) {
                EXPECT_TRUE(p["rtt_min_ms"].is_null() && p["rtt_avg_ms"].is_null() && p["rtt_max_ms"].is_null()) << p;
                continue;
            }
            double sum = 0;
            for (double v : r) sum += v;
            EXPECT_DOUBLE_EQ(p["rtt_min_ms"].get<double>(), *std::min_element(r.begin(), r.end())) << p;
            EXPECT_DOUBLE_EQ(p["rtt_max_ms"].get<double>(), *std::max_element(r.begin(), r.end())) << p;
            EXPECT_NEAR(p["rtt_avg_ms"].get<double>(), sum / r.size(), 1e-9) << p;
        }
        // Both adapters send at once, their packets numbered alike from 1: each burst counts as
        // completed the frames of its own size its adapter put on the cable, no fewer.
        if (c.args.rfind("two_adapters", 0) == 0) {
            ASSERT_EQ(bursts.size(), 2u);
            for (const json& b : bursts)
                EXPECT_EQ(b["completed"], (wireFramesBySize[{b["adapter"], b["size"].get<uint64_t>()}])) << b;
        }
        ASSERT_EQ(j["throughput"].size(), adapters);
        for (auto& [name, t] : j["throughput"].items()) {
            SCOPED_TRACE(name);
            EXPECT_GT(sent[name], 0u);
            EXPECT_EQ(t["sent_bytes"], sent[name]);
            EXPECT_EQ(t["received_bytes"], received[name]);
            EXPECT_DOUBLE_EQ(t["sent_bytes_per_s"].get<double>(), sent[name] / j["virtual_s"].get<double>());
            EXPECT_DOUBLE_EQ(t["received_bytes_per_s"].get<double>(), received[name] / j["virtual_s"].get<double>());
        }

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
        EXPECT_EQ(json::array({suite["tests"], suite["failures"], suite["errors"], suite["cases"].size(),
                               suite["cases"][0]["failures"], suite["cases"][0]["errors"]}),
                  json::array({1, 0, 0, 1, json::array(), json::array()}));
        EXPECT_EQ(j["errors"], json::array());
        EXPECT_EQ(suite["properties"]["seed"], seed);
        EXPECT_EQ(suite["properties"]["replay"], replay);
        EXPECT_EQ(suite["properties"]["checks"], std::to_string(j["counts"]["checks"].get<uint64_t>()));
        ASSERT_TRUE(record.is_object()) << "the trace has no run record";
        for (const char* field : {"version", "source", "sha256"}) EXPECT_EQ(suite["properties"][field], record[field]) << field;
    }

    // More of the same run is more checked: each step plays further into the traffic.
    uint64_t before = 0, framesBefore = 0;
    for (const char* until : {"6", "9", "12", "30"}) {
        const Outcome o = Nicsim(std::string("run two_adapters --json --until ") + until);
        ASSERT_EQ(o.status, 0) << o.out;
        const json j = json::parse(o.out);
        const uint64_t frames = j["adapters"]["A"]["bulk_out"].get<uint64_t>() + j["adapters"]["B"]["bulk_out"].get<uint64_t>();
        EXPECT_GT(frames, framesBefore) << until;
        EXPECT_GT(j["counts"]["checks"].get<uint64_t>(), before) << until;
        before = j["counts"]["checks"];
        framesBefore = frames;
    }
}

// The summary's accounts hold in stories that drop frames on purpose, and their parts agree with
// what the trace saw cross each medium and each bus: frames from each side of each link, the
// driver's keep-alive frames, bulk transfers handed to the device, control transfers, echoes.
TEST(NicsimVerdict, SummaryAccountsBalanceAndAgreeWithTheTrace) {
    // Traffic and echoes into a medium that goes down, a frame sent while it is down, a frame for
    // another station.
    const std::string drops = R"({ "name": "drops", "duration_s": 16,
      "adapters": [ { "name": "A", "eeprom": "00:11:22:33:44:55",
                      "phys": [ { "address": 0, "id": "0x225410", "link": "eth0" } ] } ],
      "links": [ { "name": "eth0", "medium": "ethernet", "up": true,
                   "peer": { "kind": "responder", "mac": "02:00:00:00:00:FE", "ip": "10.0.0.1" } } ],
      "events": [ { "at": 0, "do": "initialize", "adapter": "A" },
        { "at": 3, "do": "ping", "adapter": "A", "ip": "10.0.0.2", "to": "10.0.0.1", "count": 5, "interval": 1 },
        { "at": 4, "do": "traffic", "adapter": "A", "frames": 400, "size": 1514, "interval": 0 },
        { "at": 4.3, "do": "link", "link": "eth0", "up": false },
        { "at": 5, "do": "receive", "link": "eth0", "frame": "ffffffffffff0200000000fe0800000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000" },
        { "at": 8, "do": "link", "link": "eth0", "up": true },
        { "at": 12, "do": "receive", "link": "eth0", "frame": "0200000000990200000000fe0800000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000" },
        { "at": 12.1, "do": "receive", "link": "eth0", "frame": "ffffffffffff0200000000fe0800000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000" },
        { "at": 15, "do": "halt", "adapter": "A" } ] })";
    TempDir dir;
    std::ofstream(dir.path + "/drops.json") << drops;
    // The trace's summary record counts the same checks as the verdict.
    for (const std::string& scenario :
         std::vector<std::string>{"default", "two_adapters --until 5", "keepalive", dir.path + "/drops.json"}) {
        SCOPED_TRACE(scenario);
        const std::string trace = dir.path + "/run.jsonl";
        const Outcome o = Shell(std::string(NICSIM_BINARY) + " run " + scenario + " --json --trace " + trace);
        ASSERT_EQ(o.status, 0) << o.out;
        const json j = json::parse(o.out);
        // Per adapter, what the trace saw: frames from its PHYs, frames to them, keep-alive
        // frames, bulk-out transfers the bus handed on, frames indicated, control transfers.
        std::map<std::string, std::map<std::string, uint64_t>> seen;
        std::vector<json> wire;
        json summary;
        std::ifstream in(trace);
        for (std::string text; std::getline(in, text);) {
            // A count the miniport never wrote is null, not the fill NDIS put there before the call.
            EXPECT_EQ(text.find("3735928559"), std::string::npos) << text;
            const json l = json::parse(text);
            const std::string ev = l["ev"], adapter = l.value("adapter", "");
            if (ev == "wire") wire.push_back(l);
            if (ev == "summary") summary = l;
            if (ev == "keepalive") ++seen[adapter]["keepalives"];
            if (ev == "control") ++seen[adapter]["control_transfers"];
            if (ev == "indicate_receive") ++seen[adapter]["frames_indicated"];
            if (ev == "bulk" && l["ep"] == "out" && l["result"] == "ok") ++seen[adapter]["bulk_out_to_device"];
        }
        // Who is on each link, from the scenario: the sides of a cable, or the peer and the
        // adapters whose PHYs name the link.
        const std::string name = scenario.substr(0, scenario.find(' '));
        const json desc = json::parse(name.find('/') != std::string::npos ? Shell("cat " + name).out
                                                                          : Nicsim("show " + name).out);
        std::map<std::string, std::vector<std::string>> sides;  // link -> side labels
        for (const json& link : desc["links"])
            sides[link["name"]] = link.contains("between") ? link["between"].get<std::vector<std::string>>()
                                                           : std::vector<std::string>{"peer"};
        for (const json& a : desc["adapters"])
            for (const json& phy : a["phys"])
                if (phy.contains("link"))
                    sides[phy["link"]].push_back(a["name"].get<std::string>() + ":" +
                                                 std::to_string(phy["address"].get<int>()));
        auto adapterOf = [](const std::string& side) { return side.substr(0, side.find(':')); };
        for (const json& l : wire) {
            const std::string from = l["from"];
            if (from != "peer") ++seen[adapterOf(from)]["tx_crossed"];
            for (const std::string& to : sides[l["link"]])
                if (to != from && to != "peer") ++seen[adapterOf(to)]["rx_sent_by_partner"];
        }
        for (const auto& [name, c] : j["adapters"].items()) {
            ExpectAccountsBalance(c, name);
            for (const char* field : {"tx_crossed", "rx_sent_by_partner", "keepalives", "control_transfers",
                                      "frames_indicated", "bulk_out_to_device"})
                EXPECT_EQ(c[field], seen[name][field]) << name << " " << field;
        }
        // Each echo counted as sent crossed the medium; each answered or lost one was sent.
        uint64_t echoes = 0;
        for (const json& l : wire)
            if (l["from"] != "peer" && l["data"].get<std::string>().substr(24, 4) == "0800" &&
                l["data"].get<std::string>().substr(46, 2) == "01" && l["data"].get<std::string>().substr(68, 2) == "08")
                ++echoes;
        uint64_t sent = 0;
        for (const json& p : j["pings"]) {
            sent += p["sent"].get<uint64_t>();
            EXPECT_EQ(p["requested"], p["sent"].get<uint64_t>() + p["not_sent"].get<uint64_t>()) << p;
            EXPECT_EQ(p["sent"], p["replies"].get<uint64_t>() + p["lost"].get<uint64_t>()) << p;
        }
        EXPECT_EQ(sent, echoes);
        EXPECT_GT(summary["checks"].get<uint64_t>(), 0u) << summary;
        EXPECT_EQ(summary["checks"], j["counts"]["checks"]);
        std::remove(trace.c_str());
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
    v.checks = 12345;
    v.replay = nicsim::ShellCommand({"nicsim", "run", "my file's.json", "--seed", "42"});
    EXPECT_EQ(v.replay, R"(nicsim run 'my file'\''s.json' --seed 42)");

    const json j = json::parse(nicsim::VerdictJson(v).dump(-1, ' ', false, json::error_handler_t::replace));
    EXPECT_EQ(j["counts"], json({{"violations", 3}, {"leaks", 2}, {"checks", 12345}}));
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

// A driver that crashes the world ends its run as every other fault does: a `crash` violation
// naming the signal and the handler it happened under, after the violations caught before it,
// with the trace, the JSON verdict and the report written and the replay command given; exit 1,
// never a silent core dump.
TEST(NicsimVerdict, ACrashInTheDriverEndsTheRunWithANamedViolationAndEveryOutput) {
    TempDir dir;
    const std::string trace = dir.path + "/crash.jsonl", report = dir.path + "/crash.xml";
    const Outcome o = Shell(std::string(NICSIM_BROKEN_BINARY) + " run --seed 97 --json --trace " +
                                trace + " --junit " + report,
                            true);
    ASSERT_EQ(o.status, 1) << o.out;
    const json j = json::parse(o.out.substr(o.out.find('{')));
    ASSERT_EQ(j["violations"].size(), 2u) << o.out;
    EXPECT_EQ(j["violations"][0]["check"], "lock-not-held");
    EXPECT_EQ(j["violations"][1]["check"], "crash");
    EXPECT_TRUE(std::regex_search(j["violations"][1]["detail"].get<std::string>(),
                                  std::regex(R"(^SIGSEGV at address (0x0|\(nil\)) \(in MiniportInitialize\)$)")))
        << j["violations"][1]["detail"];
    EXPECT_EQ(j["replay"], "nicsim run --seed 97");
    // The trace was flushed up to the crash and ends with the run's summary.
    std::vector<json> lines;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front()["ev"], "run");
    EXPECT_EQ(lines[lines.size() - 2]["ev"], "violation");
    EXPECT_EQ(lines[lines.size() - 2]["check"], "crash");
    EXPECT_EQ(lines.back()["ev"], "summary");
    EXPECT_EQ(lines.back()["violations"], 2);
    const json suite = ReadJUnit(report)["suites"].at(0);
    EXPECT_EQ(suite["failures"], 2);

    // The timeline a person reads says it the same way.
    const Outcome human = Shell(std::string(NICSIM_BROKEN_BINARY) + " run --seed 97", true);
    EXPECT_EQ(human.status, 1);
    EXPECT_NE(human.out.find("VIOLATION crash: SIGSEGV"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("replay with: nicsim run --seed 97"), std::string::npos) << human.out;
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
    // A run that lost an output did not pass: the report and --json name the file and the
    // reason as an error, beside what the verifier found, and no testcase passes.
    for (const char* lost : {"--trace /dev/full", "--html /dev/full", "--pcap-usb /dev/full"}) {
        SCOPED_TRACE(lost);
        const std::string report = dir.path + "/lost.xml";
        const Outcome o = Shell(std::string(NICSIM_BINARY) + " run keepalive --until 1 --json --junit " + report +
                                " " + lost);
        EXPECT_EQ(o.status, 2) << o.out;
        const json j = json::parse(o.out);
        EXPECT_EQ(j["errors"], json::parse(R"([{"file": "/dev/full",
                                               "error": "writing /dev/full failed: No space left on device"}])"));
        const json r = ReadJUnit(report);
        EXPECT_EQ(r["errors"], 1);
        const json suite = r["suites"].at(0);
        EXPECT_EQ(json::array({suite["tests"], suite["failures"], suite["errors"], suite["cases"].size()}),
                  json::array({1, 0, 1, 1}));
        EXPECT_EQ(suite["cases"][0]["name"], "output /dev/full");
        EXPECT_EQ(suite["cases"][0]["errors"].at(0)["message"], "writing /dev/full failed: No space left on device");
    }
    // Standard output that cannot be written is one of those files too.
    const std::string stdoutReport = dir.path + "/stdout.xml";
    const Outcome full = Shell("{ " + std::string(NICSIM_BINARY) + " run keepalive --until 1 --junit " + stdoutReport +
                               " 2>&1 >/dev/full; }");
    EXPECT_EQ(full.status, 2) << full.out;
    const size_t said = full.out.find("nicsim: writing standard output failed: No space left on device\n");
    EXPECT_NE(said, std::string::npos) << full.out;
    EXPECT_EQ(said, full.out.rfind("nicsim: writing standard output failed")) << "said once: " << full.out;
    EXPECT_EQ(ReadJUnit(stdoutReport)["suites"].at(0)["cases"].at(0)["name"], "output standard output");

    // A bridge that stops before its verdict (a TAP that cannot open) leaves no empty report.
    const std::string report = dir.path + "/bridge.xml";
    const Outcome o =
        testing_support::NicsimRefusedWithin("bridge --tap a0@nicsim_no_such_namespace --tap a1 --junit " + report);
    EXPECT_EQ(o.status, 2) << o.out;
    EXPECT_FALSE(std::filesystem::exists(report)) << o.out;
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
    for (const auto& [name, c] : j["adapters"].items()) {
        ExpectAccountsBalance(c, name);
        EXPECT_EQ(c["tap_frames_in"], c["sends_queued"].get<uint64_t>() + c["oversize"].get<uint64_t>()) << name;
    }
    EXPECT_EQ(j["replay"], "nicsim bridge " + args + " --seed " + std::to_string(j["seed"].get<uint64_t>()));
    const json suite = ReadJUnit(report)["suites"].at(0);
    EXPECT_EQ(json::array({suite["failures"], suite["cases"].size()}), json::array({0, 1}));
}

}  // namespace
