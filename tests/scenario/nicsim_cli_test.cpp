// nicsim as a user runs it: a subprocess with files, its exit statuses, its error messages, and
// the same seed giving the same trace byte for byte.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/nicsim_process.h"

namespace {

using testing_support::Nicsim;
using testing_support::Outcome;

std::string TempPath(const std::string& name) { return testing_support::TempPath("nicsim_", name); }

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const std::string& path) { return testing_support::ReadFile(path); }

TEST(NicsimCli, ListsShowsAndChecksTheEmbeddedScenarios) {
    const Outcome list = Nicsim("scenarios");
    EXPECT_EQ(list.status, 0);
    for (const char* name : {"default", "two_adapters", "keepalive", "forced_media"})
        EXPECT_NE(list.out.find(name), std::string::npos) << name;

    const Outcome show = Nicsim("show two_adapters");
    EXPECT_EQ(show.status, 0);
    const std::string copy = TempPath("copy.json");
    Write(copy, show.out);
    const Outcome check = Nicsim("check " + copy);
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("ok (2 adapters"), std::string::npos) << check.out;

    EXPECT_EQ(Nicsim("show nonesuch").status, 2);
}

TEST(NicsimCli, ScenarioErrorsNameTheirJsonPath) {
    const std::string bad = TempPath("bad.json");
    Write(bad, R"({
      "adapters": [ { "name": "A", "phys": [ { "address": 0, "id": "0x225410", "lnik": "x" } ] } ],
      "events": [ { "at": 8, "do": "query", "adapter": "A", "oid": "OID_GEN_LINK_SPED" },
                  { "at": "soon", "do": "reset", "adapter": "B" } ]
    })");
    for (const char* verb : {"check", "run"}) {
        const Outcome o = Nicsim(std::string(verb) + " " + bad);
        EXPECT_EQ(o.status, 2) << verb;
        EXPECT_NE(o.out.find("events[0].oid: unknown OID \"OID_GEN_LINK_SPED\""), std::string::npos) << o.out;
        EXPECT_NE(o.out.find("adapters[0].phys[0].lnik: unknown key"), std::string::npos) << o.out;
        EXPECT_NE(o.out.find("events[1].at:"), std::string::npos) << o.out;
        EXPECT_NE(o.out.find("events[1].adapter: no adapter named \"B\""), std::string::npos) << o.out;
    }
    Write(bad, "{ not json");
    EXPECT_EQ(Nicsim("check " + bad).status, 2);
    // A number beyond any double is a document error too, not a crash.
    Write(bad, R"({"name": 1e1111})");
    const Outcome huge = Nicsim("check " + bad);
    EXPECT_EQ(huge.status, 2) << huge.out;
    EXPECT_NE(huge.out.find("$: not valid JSON"), std::string::npos) << huge.out;
    EXPECT_EQ(Nicsim("run --bogus-option").status, 2);
    EXPECT_EQ(Nicsim("run " + TempPath("missing.json")).status, 2);
}

TEST(NicsimCli, HelpOnEverySubcommand) {
    for (const char* sub : {"", "run ", "scenarios ", "show ", "check "}) {
        const Outcome o = Nicsim(std::string(sub) + "--help");
        EXPECT_EQ(o.status, 0) << sub;
        EXPECT_NE(o.out.find("Usage"), std::string::npos) << sub;
    }
}

TEST(NicsimCli, SameSeedGivesTheSameTraceByteForByte) {
    const std::string first = TempPath("first.jsonl"), second = TempPath("second.jsonl"),
                      other = TempPath("other.jsonl");
    EXPECT_EQ(Nicsim("run --quiet --trace " + first).status, 0);
    EXPECT_EQ(Nicsim("run --quiet --trace " + second).status, 0);
    EXPECT_EQ(Nicsim("run --quiet --seed 9 --trace " + other).status, 0);
    const std::string a = Read(first), b = Read(second), c = Read(other);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    // The last line is the summary, with no violation and no leak.
    const std::string last = a.substr(a.rfind('\n', a.size() - 2) + 1);
    EXPECT_NE(last.find("\"ev\":\"summary\""), std::string::npos) << last;
    EXPECT_NE(last.find("\"violations\":0"), std::string::npos) << last;
    EXPECT_NE(last.find("\"leaks\":0"), std::string::npos) << last;
}

TEST(NicsimCli, EmbeddedScenariosRunCleanAndShowTheirStory) {
    const Outcome def = Nicsim("run");
    EXPECT_EQ(def.status, 0) << def.out;
    for (const char* expected : {"MiniportInitialize -> NDIS_STATUS_SUCCESS", "media connect",
                                 "media disconnect", "ping 192.168.7.1 seq 1: reply",
                                 "MiniportReset", "MiniportShutdown", "MiniportHalt",
                                 "violations: 0, leaks: 0"})
        EXPECT_NE(def.out.find(expected), std::string::npos) << expected << "\n" << def.out;
    for (const char* name : {"two_adapters", "keepalive", "forced_media"}) {
        const Outcome o = Nicsim(std::string("run ") + name);
        EXPECT_EQ(o.status, 0) << name << "\n" << o.out;
        EXPECT_NE(o.out.find("violations: 0, leaks: 0"), std::string::npos) << name;
    }
}

// The default story as its timeline tells it, in order and within one minute: start-up on the
// Ethernet PHY, pings and a burst, the Ethernet link lost and reported, the move to the phone
// line and pings over it once the connect is indicated, Ethernet back and the return to it, a
// packet filter, a reset, shutdown and halt.
TEST(NicsimCli, DefaultTimelineTellsTheFailoverStoryInOrder) {
    const Outcome run = Nicsim("run");
    ASSERT_EQ(run.status, 0) << run.out;
    const std::vector<std::string> story = {
        "PHYs found: PHY 0 (0x225410, ethernet), PHY 1 (0x6B90, phoneline), PHY 2 (0x6B70, other); chosen: PHY 0",
        "carrying frames on PHY 0 (0x225410, ethernet), 100 Mb/s full duplex",
        "media connect on PHY 0",
        "MiniportInitialize -> NDIS_STATUS_SUCCESS",
        "ping 192.168.7.1 seq 4: reply",
        "medium eth0 down",
        "traffic burst 1 (from 6.000 s, 1000 frames of 1000 bytes): 1000 offered, 1000 completed, 0 refused",
        "media disconnect",
        "media switched to PHY 1 (0x6B90, phoneline), 1 Mb/s half duplex",
        "media connect on PHY 1 (0x6B90, phoneline)",
        "ping 192.168.7.1 seq 1: reply",
        "ping 192.168.7.1 seq 3: reply",
        "medium phone down",
        "media disconnect",
        "media switched to PHY 0 (0x225410, ethernet), 100 Mb/s full duplex",
        "media disconnect (repeated",
        "media connect on PHY 0 (0x225410, ethernet), 100 Mb/s full duplex",
        "ping 192.168.7.1 seq 2: reply",
        "MiniportSetInformation OID_GEN_CURRENT_PACKET_FILTER -> NDIS_STATUS_SUCCESS (4 bytes read)",
        "MiniportQueryInformation OID_GEN_LINK_SPEED -> NDIS_STATUS_SUCCESS: 40420f00",
        "MiniportReset -> NDIS_STATUS_SUCCESS",
        "MiniportShutdown",
        "MiniportHalt",
        "summary: 60.000 s of virtual time",
        "ping A -> 192.168.7.1, burst 1 from 4.000 s: 4 sent, 4 replies",
        "ping A -> 192.168.7.1, burst 2 from 25.000 s: 3 sent, 3 replies",
        "ping A -> 192.168.7.1, burst 3 from 49.000 s: 2 sent, 2 replies",
        "violations: 0, leaks: 0",
    };
    size_t at = 0;
    for (const auto& line : story) {
        const size_t found = run.out.find(line, at);
        ASSERT_NE(found, std::string::npos) << "\"" << line << "\" missing after offset " << at << "\n" << run.out;
        at = found + line.size();
    }
    // The pings over the phone line are all answered between the connect on it and its loss.
    const size_t phoneConnect = run.out.find("media connect on PHY 1");
    const size_t phoneDown = run.out.find("medium phone down");
    size_t replies = 0;
    for (size_t p = run.out.find("(burst 2)"); p != std::string::npos; p = run.out.find("(burst 2)", p + 1)) {
        EXPECT_GT(p, phoneConnect);
        EXPECT_LT(p, phoneDown);
        ++replies;
    }
    EXPECT_EQ(replies, 3u);
    // The timeline says when an indication only repeats the last one.
    EXPECT_NE(run.out.find("media connect on PHY 0 (0x225410, ethernet), 100 Mb/s full duplex (repeated; "
                           "indicated before at 0.974"),
              std::string::npos)
        << run.out;
}

}  // namespace
