// nicsim's fault vocabulary as a scenario writer meets it: what `check` accepts and refuses, and
// what the run-time faults do, read from the run's trace (the PHY registers the device gave
// back, the faults the bus says fired).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/trace/trace.h"
#include "tests/support/nicsim_process.h"

namespace {

using host::trace::Json;
using testing_support::Nicsim;
using testing_support::Outcome;

std::string TempPath(const std::string& name) { return testing_support::TempPath("faults_", name); }

// One adapter with an Ethernet PHY on `eth0`, initialised at 0 and halted at `haltAt`, with
// `events` (JSON objects, comma-separated) in between.
std::string Scenario(const std::string& events, double haltAt = 20) {
    return R"({ "duration_s": )" + std::to_string(haltAt + 1) + R"(,
      "adapters": [ { "name": "A", "phys": [ { "address": 0, "id": "0x225410", "link": "eth0" } ] } ],
      "links": [ { "name": "eth0", "medium": "ethernet", "up": true,
                   "peer": { "kind": "responder", "ip": "192.168.7.1" } } ],
      "events": [ { "at": 0, "do": "initialize", "adapter": "A" }, )" +
           events + R"(, { "at": )" + std::to_string(haltAt) + R"(, "do": "halt", "adapter": "A" } ] })";
}

std::vector<Json> RunTrace(const std::string& name, const std::string& scenario) {
    const std::string file = TempPath(name + ".json"), trace = TempPath(name + ".jsonl");
    std::ofstream(file) << scenario;
    const Outcome o = Nicsim("run --quiet --trace " + trace + " " + file);
    EXPECT_TRUE(o.status == 0 || o.status == 1) << o.out;
    std::vector<Json> lines;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
    std::remove(file.c_str());
    std::remove(trace.c_str());
    return lines;
}

// PHY status register values the device gave back to reads from `fromUs` until `toUs`.
std::vector<int> StatusReads(const std::vector<Json>& lines, uint64_t fromUs, uint64_t toUs) {
    std::vector<int> out;
    for (const Json& l : lines)
        if (l["ev"] == "mdio" && l["op"] == "read" && l["reg"] == 1 && l["t_us"] >= fromUs &&
            l["t_us"] < toUs)
            out.push_back(l["value"].get<int>());
    return out;
}

uint64_t FaultsInjected(const std::vector<Json>& lines) {
    EXPECT_FALSE(lines.empty());
    if (lines.empty() || lines.back()["ev"] != "summary") return ~0ull;
    return lines.back()["adapters"]["A"]["faults_injected"].get<uint64_t>();
}

TEST(NicsimFaults, CheckAcceptsTheVocabularyAndNamesWhatAFaultLacks) {
    const std::string good = TempPath("good.json");
    std::ofstream(good) << Scenario(R"(
      { "at": 1, "do": "fault", "adapter": "A", "fault": "control-late", "nth": 2, "ms": 12000 },
      { "at": 1, "do": "fault", "adapter": "A", "fault": "bulk-late", "count": 3, "ms": 40 },
      { "at": 1, "do": "fault", "adapter": "A", "fault": "control-silent", "nth": 4, "count": 1000 },
      { "at": 1, "do": "fault", "adapter": "A", "fault": "mdio-never-done" },
      { "at": 1, "do": "fault", "link": "eth0", "fault": "an-never-completes" },
      { "at": 1, "do": "fault", "link": "eth0", "fault": "an-never-links" })");
    const Outcome ok = Nicsim("check " + good);
    EXPECT_EQ(ok.status, 0) << ok.out;

    const std::string bad = TempPath("bad.json");
    std::ofstream(bad) << Scenario(R"(
      { "at": 1, "do": "fault", "adapter": "A", "fault": "control-late", "nth": 2 },
      { "at": 1, "do": "fault", "adapter": "A", "fault": "bulk-late", "count": 0, "ms": 5 },
      { "at": 1, "do": "fault", "adapter": "A", "fault": "control-silent", "count": 0 },
      { "at": 1, "do": "fault", "adapter": "A", "fault": "bulk-late", "ms": -1 })");
    const Outcome o = Nicsim("check " + bad);
    EXPECT_EQ(o.status, 2);
    for (const char* error : {"events[1].ms: missing", "events[2].count:", "events[3].count:",
                              "events[4].ms:"})
        EXPECT_NE(o.out.find(error), std::string::npos) << error << "\n" << o.out;
    std::remove(good.c_str());
    std::remove(bad.c_str());
}

// Negotiation that never completes still links, with the completion bit clear; negotiation that
// never ends never links (until the link poll, three polls later, forces the speed). Both after a
// flap of the medium.
TEST(NicsimFaults, NegotiationThatNeverCompletesLinksButNegotiationThatNeverEndsDoesNot) {
    const std::string flap = R"(
      { "at": 2, "do": "link", "link": "eth0", "up": false },
      { "at": 3, "do": "link", "link": "eth0", "up": true })";
    const auto completes = RunTrace("completes", Scenario(
        R"({ "at": 1, "do": "fault", "link": "eth0", "fault": "an-never-completes" },)" + flap));
    const auto links = RunTrace("links", Scenario(
        R"({ "at": 1, "do": "fault", "link": "eth0", "fault": "an-never-links" },)" + flap));
    const auto incomplete = StatusReads(completes, 3'900'000, 9'000'000);
    ASSERT_FALSE(incomplete.empty());
    bool linked = false;
    for (int v : incomplete) {
        linked = linked || (v & 0x0004) != 0;
        EXPECT_EQ(v & 0x0020, 0) << std::hex << v << ": negotiation reported complete";
    }
    EXPECT_TRUE(linked) << "the link never came back";
    const auto never = StatusReads(links, 3'900'000, 9'000'000);
    ASSERT_FALSE(never.empty());
    for (int v : never) EXPECT_EQ(v & 0x0004, 0) << std::hex << v << ": linked without negotiating";
}

// The run-time bus faults fire, each counted in the run's summary: one late control request,
// two late bulk transfers, and three control requests in a row never answered.
TEST(NicsimFaults, RunTimeBusFaultsFireAndAreCounted) {
    const auto late = RunTrace("late", Scenario(R"(
      { "at": 4.5, "do": "fault", "adapter": "A", "fault": "control-late", "ms": 12000 },
      { "at": 5, "do": "fault", "adapter": "A", "fault": "bulk-late", "count": 2, "ms": 300 },
      { "at": 5, "do": "ping", "adapter": "A", "ip": "192.168.7.2", "to": "192.168.7.1", "count": 3 })"));
    EXPECT_EQ(FaultsInjected(late), 3u);
    // The poll cycle that met the late request put its PHY command on the management bus only
    // twelve seconds after the poll before it.
    std::vector<uint64_t> commands;
    for (const Json& l : late)
        if (l["ev"] == "mdio") commands.push_back(l["t_us"].get<uint64_t>());
    bool gap = false;
    for (size_t i = 1; i < commands.size(); ++i)
        gap = gap || (commands[i] > 4'500'000 && commands[i] - commands[i - 1] >= 12'000'000);
    EXPECT_TRUE(gap);

    const auto silent = RunTrace("silent", Scenario(R"(
      { "at": 4.5, "do": "fault", "adapter": "A", "fault": "control-silent", "count": 3 })", 30));
    EXPECT_EQ(FaultsInjected(silent), 3u);
}

// A runt a scenario puts on the medium (its destination address and a few bytes more) reaches the
// driver through the device and goes no further: the bus delivers it with its check sequence and
// trailer, NDIS is never shown it, and the receive errors count it; the frame after it is
// indicated as usual.
TEST(NicsimFaults, ARuntFromTheMediumIsDroppedAndCountedAsAReceiveError) {
    const auto lines = RunTrace("runt", Scenario(R"(
      { "at": 3, "do": "receive", "link": "eth0", "frame": "ffffffffffff0200000000fe08" },
      { "at": 3.1, "do": "receive", "link": "eth0", "frame": "ffffffffffff0200000000fe0800000000000000" },
      { "at": 4, "do": "query", "adapter": "A", "oid": "OID_GEN_RCV_ERROR" },
      { "at": 4, "do": "query", "adapter": "A", "oid": "OID_GEN_RCV_OK" })", 6));
    std::vector<uint64_t> bulkIn, indicated;
    std::vector<std::string> answers;
    for (const Json& l : lines) {
        if (l["ev"] == "bulk" && l["ep"] == "in" && l["result"] == "ok") bulkIn.push_back(l["length"]);
        if (l["ev"] == "indicate_receive") indicated.push_back(l["length"]);
        if (l["ev"] == "miniport" && l["call"] == "MiniportQueryInformation") answers.push_back(l["data"]);
    }
    EXPECT_EQ(bulkIn, (std::vector<uint64_t>{13 + 8, 20 + 8})) << "both delivered, each with its 8-byte trailer";
    EXPECT_EQ(indicated, std::vector<uint64_t>{20});
    EXPECT_EQ(answers, (std::vector<std::string>{"01000000", "01000000"})) << "one error, one frame";
}

// Two multicast lists set while a reset runs wait behind it and are let go together when it
// returns. On several processors NDIS still hands them to the miniport one at a time, in the
// order they were made: the first is answered before the second begins.
TEST(NicsimFaults, RequestsLetGoTogetherAfterAResetReachTheMiniportOneAtATime) {
    const std::string first = "01005e00000101005e000002", second = "01005e00000301005e00000401005e000005";
    for (int cpus : {2, 4})
        for (int seed = 1; seed <= 12; ++seed) {
            SCOPED_TRACE(std::to_string(cpus) + " processors, seed " + std::to_string(seed));
            std::string scenario = Scenario(R"(
              { "at": 3, "do": "reset", "adapter": "A" },
              { "at": 3.0005, "do": "set", "adapter": "A", "oid": "OID_802_3_MULTICAST_LIST", "data": ")" +
                                            first + R"(" },
              { "at": 3.0005, "do": "set", "adapter": "A", "oid": "OID_802_3_MULTICAST_LIST", "data": ")" +
                                            second + R"(" })", 6);
            scenario.insert(1, R"("seed": )" + std::to_string(seed) + R"(, "cpus": )" + std::to_string(cpus) + ",");
            std::vector<uint64_t> setLengths;
            for (const Json& l : RunTrace("multicast", scenario)) {
                if (l["ev"] == "violation") ADD_FAILURE() << l.dump();
                if (l["ev"] == "miniport" && l["call"] == "MiniportSetInformation")
                    setLengths.push_back(l["length"]);
            }
            EXPECT_EQ(setLengths, (std::vector<uint64_t>{12, 18})) << "answered in the order they were made";
        }
}

// A packet-filter write the device never answers, started on one processor just as a link-poll
// request completes on another. The completion once cancelled the request watchdog after
// deciding nothing was below, after the filter write had armed it: both requests then stayed
// below until halt, the poll stopped and halt met a hung default pipe. The watchdog takes them
// back after its ten seconds and polling goes on.
TEST(NicsimFaults, ARequestTrackedAsAnotherCompletesElsewhereIsStillWatched) {
    for (int cpus : {2, 4}) {
        SCOPED_TRACE(std::to_string(cpus) + " processors");
        std::string scenario = Scenario(R"(
          { "at": 3.991, "do": "fault", "adapter": "A", "fault": "control-silent" },
          { "at": 3.991, "do": "set", "adapter": "A", "oid": "OID_GEN_CURRENT_PACKET_FILTER", "data": "0b000000" })",
                                        19);
        scenario.insert(1, R"("seed": 1, "cpus": )" + std::to_string(cpus) + ",");
        std::vector<std::pair<uint64_t, uint64_t>> timedOut;  // submitted, ended
        uint64_t polledAfter = 0, haltAt = 0;
        for (const Json& l : RunTrace("watchdog", scenario)) {
            if (l["ev"] == "handler_start" && l["call"] == "MiniportHalt") haltAt = l["t_us"];
            // The requests the run made before halt (power-down's own waits are shorter).
            if (l["ev"] != "control" || l["sync"] != false || l["submitted_us"] >= 19'000'000) continue;
            if (l["result"] == "timeout") timedOut.emplace_back(l["submitted_us"], l["t_us"]);
            else if (!timedOut.empty() && haltAt == 0) ++polledAfter;
        }
        ASSERT_FALSE(timedOut.empty()) << "the silent request was never taken back";
        for (const auto& [submitted, ended] : timedOut) {
            // Ten ticks of the watchdog, the first of them partial.
            EXPECT_GE(ended - submitted, 9'000'000u);
            EXPECT_LE(ended - submitted, 10'000'000u) << "left below until halt";
        }
        EXPECT_GT(polledAfter, 0u) << "polling stopped";
    }
}

// A vanished device fails the read waiting at the bus at once: the receive has failed, so the
// send that follows is refused.
TEST(NicsimFaults, VanishedDeviceFailsTheReadWaitingAtTheBus) {
    const auto lines = RunTrace("vanish", Scenario(R"(
      { "at": 5, "do": "fault", "adapter": "A", "fault": "device-vanish" },
      { "at": 6, "do": "send", "adapter": "A", "frame": "ffffffffffff02000000000a0800" })"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["adapters"]["A"]["sends_refused"], 1);
}

}  // namespace

namespace {

// While a reset runs nothing else of the adapter's runs: the sends of a burst wait in the
// protocol's queue, a query and a set wait behind it, and all of them go on, in order, once it
// has returned. The reset's first request is answered 2 s late.
TEST(NicsimFaults, SendsQueriesAndSetsWaitWhileAResetRunsAndGoOnInOrderAfterIt) {
    const auto lines = RunTrace("held_by_reset", Scenario(R"(
      { "at": 4, "do": "traffic", "adapter": "A", "frames": 1000, "size": 1000, "interval": 0 },
      { "at": 4.5, "do": "fault", "adapter": "A", "fault": "control-late", "ms": 2000 },
      { "at": 4.5, "do": "reset", "adapter": "A" },
      { "at": 4.7, "do": "query", "adapter": "A", "oid": "OID_GEN_LINK_SPEED" },
      { "at": 4.8, "do": "set", "adapter": "A", "oid": "OID_GEN_CURRENT_PACKET_FILTER", "data": "0b000000" })", 9));
    uint64_t resetStart = 0, resetEnd = 0, sendsBefore = 0, sendsAfter = 0;
    std::vector<std::string> requestsAfter;
    for (const Json& l : lines) {
        const uint64_t t = l["t_us"].get<uint64_t>();
        if (l["ev"] == "handler_start" && l["call"] == "MiniportReset") resetStart = t;
        if (l["ev"] != "miniport" || l["call"] == "MiniportHalt") continue;
        if (l["call"] == "MiniportReset") {
            resetEnd = t;
        } else if (resetStart != 0 && resetEnd == 0) {
            ADD_FAILURE() << "ran while the reset ran: " << l.dump();
        } else if (l["call"] == "MiniportSend") {
            ++(resetStart == 0 ? sendsBefore : sendsAfter);
        } else if (resetEnd != 0) {
            requestsAfter.push_back(l["call"].get<std::string>() + " " + l["oid"].get<std::string>());
        }
    }
    EXPECT_GE(resetEnd - resetStart, 2'000'000u);
    EXPECT_GT(sendsBefore, 0u);
    EXPECT_GT(sendsAfter, 0u);
    EXPECT_EQ(requestsAfter, (std::vector<std::string>{"MiniportQueryInformation 0x00010107",
                                                       "MiniportSetInformation 0x0001010E"}));
    EXPECT_EQ(lines.back()["adapters"]["A"]["sends_completed"], 1000);
}

// An event held back behind a passive handler that is still running when the run ends never
// plays: the halt at the end runs the scheduler while a send ends on another processor, and once
// played the scenario's own halt there, halting the adapter twice (a crash). Here the reset is
// held past the end by a request the device never answers (10 s), with sends of a traffic burst
// waiting for two transmit descriptors; on these seeds a send is still running when the run ends.
// The generated scenario of seed 214 met the same by chance.
TEST(NicsimFaults, AnEventStillWaitingWhenTheRunEndsIsSkippedNotPlayedDuringTheFinalHalt) {
    const std::string held = TempPath("reset_past_the_end.json");
    std::ofstream(held) << R"({ "duration_s": 7,
      "adapters": [ { "name": "A", "registry": { "TxPacketDesc": 2 },
                      "phys": [ { "address": 0, "id": "0x225410", "link": "eth0" } ] } ],
      "links": [ { "name": "eth0", "medium": "ethernet", "up": true,
                   "peer": { "kind": "responder", "ip": "192.168.7.1" } } ],
      "events": [ { "at": 0, "do": "initialize", "adapter": "A" },
        { "at": 4.49, "do": "traffic", "adapter": "A", "frames": 200, "size": 1000, "interval": 0 },
        { "at": 4.5, "do": "fault", "adapter": "A", "fault": "control-silent" },
        { "at": 4.5, "do": "reset", "adapter": "A" },
        { "at": 6, "do": "halt", "adapter": "A" } ] })";
    const std::string fixture = std::string(TESTS_DIR) + "/scenario/fixtures/halt_waiting_at_the_end.json";
    for (const std::string& run : {held + " --seed 9", held + " --seed 32", held + " --seed 53",
                                   fixture + " --seed 214 --usb-timing full-speed"}) {
        SCOPED_TRACE(run);
        const std::string trace = TempPath("waiting_at_the_end.jsonl");
        const Outcome o = Nicsim("run " + run + " --cpus 4 --trace " + trace);
        EXPECT_EQ(o.status, 0) << o.out;
        EXPECT_NE(o.out.find("(halt) skipped: still waiting when the run ended"), std::string::npos) << o.out;
        int halts = 0;
        std::ifstream in(trace);
        for (std::string line; std::getline(in, line);) {
            const Json l = Json::parse(line);
            if (l["ev"] == "miniport" && l["call"] == "MiniportHalt") {
                ++halts;
                EXPECT_EQ(l.value("implicit", false), true) << line;
            }
        }
        EXPECT_EQ(halts, 1);
        std::remove(trace.c_str());
    }
    std::remove(held.c_str());
}

}  // namespace
