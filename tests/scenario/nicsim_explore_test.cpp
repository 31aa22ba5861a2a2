// `nicsim explore` as a user runs it: sweeps over seeds with the real driver (clean) and with
// nicsim_broken, whose driver loses one NdisFreeMemory on seeds that are multiples of 7; shards
// merged against the whole sweep; the exit statuses and the JUnit report a CI system reads; the
// workers it starts by default; the GNU parallel recipes of docs/explore.md, run verbatim.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/nicsim_process.h"

namespace {

using nlohmann::json;
using testing_support::Nicsim;
using testing_support::Outcome;
using testing_support::ScratchDir;
using testing_support::Shell;

Outcome Broken(const std::string& args) { return Shell(std::string(NICSIM_BROKEN_BINARY) + " " + args, true); }

// The JUnit report as Python's XML parser reads it (tests/support/junit_summary.py).
json ReadJUnit(const std::string& path) {
    const Outcome o = Shell("python3 " + std::string(TESTS_DIR) + "/support/junit_summary.py " + path, true);
    EXPECT_EQ(o.status, 0) << o.out;
    return o.status == 0 ? json::parse(o.out)["suites"].at(0) : json();
}

std::vector<json> Records(const std::string& text) {
    std::vector<json> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] == '{') out.push_back(json::parse(line));
    return out;
}

// The records without what depends on the machine: wall and CPU time, and how many workers ran.
std::vector<json> Comparable(std::vector<json> records) {
    for (json& r : records)
        for (const char* f : {"wall_s", "cpu_s", "jobs"}) r.erase(f);
    return records;
}

TEST(NicsimExplore, CleanDriverPassesEverySeedAndShowsProgressOnATerminal) {
    const Outcome o = Nicsim("explore --seeds 1..40 --jobs 2 --cpus 2");
    ASSERT_EQ(o.status, 0) << o.out;
    const auto records = Records(o.out);
    ASSERT_EQ(records.size(), 1u) << o.out;
    const json& s = records[0];
    EXPECT_EQ(s["record"], "summary");
    EXPECT_EQ(s["seeds"], 40);
    EXPECT_EQ(s["first"], 1);
    EXPECT_EQ(s["last"], 40);
    EXPECT_EQ(s["complete"], true);
    EXPECT_EQ(s["failures"], 0);
    EXPECT_EQ(s["violations"], 0);
    EXPECT_GT(s["events"].get<uint64_t>(), 40u);
    EXPECT_EQ(s["jobs"], 2);
    EXPECT_EQ(s["cpus"], 2);
    EXPECT_NE(o.out.find("explore: 40 seeds of 1..40 run, 0 failed"), std::string::npos) << o.out;

    // The progress line is for a terminal only: `script` gives the sweep one.
    if (Shell("command -v script").status == 0) {
        const Outcome tty = Shell("script -qec '" + std::string(NICSIM_BINARY) +
                                  " explore --seeds 1..200 --jobs 1 --out /dev/null' /dev/null");
        EXPECT_EQ(tty.status, 0) << tty.out;
        EXPECT_TRUE(std::regex_search(tty.out, std::regex(R"(\[explore\] \d+/200 seeds, 0 failed, [0-9.]+ seeds/s, )")))
            << tty.out;
        EXPECT_EQ(o.out.find("[explore]"), std::string::npos) << "progress without a terminal";
    }
}

// A seed whose run crashes its worker is one failure among the others: its record carries every
// violation caught before the crash, and the sweep goes on with the next seed.
TEST(NicsimExplore, ASeedThatCrashesItsWorkerIsReportedAndTheSweepGoesOn) {
    const Outcome o = Broken("explore default --seeds 96..98 --jobs 1");
    ASSERT_EQ(o.status, 1) << o.out;
    const auto records = Records(o.out);
    ASSERT_EQ(records.size(), 3u) << o.out;
    EXPECT_EQ(records[0]["seed"], 97);
    EXPECT_EQ(records[0]["kind"], "lock-not-held");
    EXPECT_EQ(records[0]["violations"], 2) << "the crash after the first violation";
    EXPECT_EQ(records[1]["seed"], 98) << "a multiple of 7: the sweep went on past the crash";
    EXPECT_EQ(records[1]["kind"], "leak");
    EXPECT_EQ(records[2]["record"], "summary");
    EXPECT_EQ(records[2]["seeds"], 3);
    EXPECT_EQ(records[2]["complete"], true);
    EXPECT_EQ(records[2]["failures_by_kind"], json({{"leak", 1}, {"lock-not-held", 1}}));
}

TEST(NicsimExplore, BrokenDriverReportsExactlyItsFailingSeedsAndEachReplayReproduces) {
    ScratchDir dir;
    const Outcome o = Broken("explore --seeds 1..30 --jobs 2 --cpus 2 --until 30 --minimise --out " + dir / "out.jsonl" +
                             " --junit " + dir / "out.xml");
    ASSERT_EQ(o.status, 1) << o.out;
    const auto records = Records(testing_support::ReadFile(dir / "out.jsonl"));
    ASSERT_EQ(records.size(), 5u) << o.out;
    // The JUnit report: a failing testcase per failing seed, with what went wrong and its replay.
    const json junit = ReadJUnit(dir / "out.xml");
    EXPECT_EQ(junit["tests"], 4);
    EXPECT_EQ(junit["failures"], 4);
    EXPECT_EQ(junit["skipped"], 0);
    EXPECT_EQ(junit["properties"]["seeds"], "30");
    EXPECT_EQ(junit["properties"]["complete"], "true");
    ASSERT_EQ(junit["cases"].size(), 4u) << junit;
    std::vector<uint64_t> seeds;
    for (size_t i = 0; i + 1 < records.size(); ++i) {
        const json& f = records[i];
        EXPECT_EQ(f["record"], "failure");
        seeds.push_back(f["seed"]);
        EXPECT_EQ(f["kind"], "leak") << f;
        // Without a scenario every seed plays its own random one, named so that it can be made again.
        const std::string name = "random:" + std::to_string(seeds.back());
        EXPECT_EQ(f["scenario"], name);
        EXPECT_EQ(f["violations"], 1);
        const std::string replay = f["replay"];
        EXPECT_EQ(replay, "nicsim run " + name + " --seed " + std::to_string(seeds.back()) + " --cpus 2 --until 30");
        const json& testcase = junit["cases"][i];
        EXPECT_EQ(testcase["name"], "seed " + std::to_string(seeds.back()));
        EXPECT_EQ(testcase["failures"].at(0)["type"], "leak");
        EXPECT_EQ(testcase["failures"].at(0)["message"], "leak: " + f["detail"].get<std::string>());
        EXPECT_NE(testcase["failures"].at(0)["text"].get<std::string>().find("replay with: " + replay + "\n"),
                  std::string::npos) << testcase;
        // Shrunk, it still fails the same way and is clean under the real driver; the file is the
        // named scenario with fewer events.
        const json& m = f["minimised"];
        ASSERT_TRUE(m.is_object()) << f;
        EXPECT_EQ(m["path"], dir / ("minimised-" + std::to_string(seeds.back()) + ".json"));
        const json shrunk = json::parse(testing_support::ReadFile(m["path"]));
        const json generated = json::parse(Nicsim("show " + name).out);
        EXPECT_EQ(m["events_before"], generated["events"].size());
        EXPECT_EQ(m["events"], shrunk["events"].size());
        EXPECT_LT(shrunk["events"].size(), generated["events"].size()) << shrunk.dump(1);
        const std::string shrunkArgs = std::string(m["replay"]).substr(std::string("nicsim ").size());
        EXPECT_EQ(m["replay"], "nicsim run " + std::string(m["path"]) + " --seed " + std::to_string(seeds.back()) +
                                   " --cpus 2 --until 30");
        const Outcome shrunkVerdict = Shell(std::string(NICSIM_BROKEN_BINARY) + " " + shrunkArgs + " --json");
        EXPECT_EQ(shrunkVerdict.status, 1) << shrunkVerdict.out;
        EXPECT_EQ(json::parse(shrunkVerdict.out)["violations"].at(0)["check"], "leak");
        EXPECT_EQ(Nicsim(shrunkArgs).status, 0);
        // The same seed under the broken driver fails the same way, at the same virtual time;
        // under the real one it is clean.
        const std::string args = replay.substr(std::string("nicsim ").size());
        const Outcome again = Broken(args);
        EXPECT_EQ(again.status, 1) << again.out;
        EXPECT_NE(again.out.find("replay with: " + replay), std::string::npos) << again.out;
        const Outcome verdict = Shell(std::string(NICSIM_BROKEN_BINARY) + " " + args + " --json");
        EXPECT_EQ(verdict.status, 1) << verdict.out;
        const json first = json::parse(verdict.out)["violations"].at(0);
        EXPECT_EQ(first["check"], f["kind"]);
        EXPECT_EQ(first["detail"], f["detail"]);
        EXPECT_EQ(first["adapter"], f["adapter"]);
        EXPECT_EQ(first["t_us"], f["t_us"]);
        if (i == 0) {
            EXPECT_EQ(Nicsim(args).status, 0);
        }
    }
    EXPECT_EQ(seeds, (std::vector<uint64_t>{7, 14, 21, 28}));
    const json& s = records.back();
    EXPECT_EQ(s["failures"], 4);
    EXPECT_EQ(s["failures_by_kind"], (json{{"leak", 4}}));
    EXPECT_EQ(s["seeds"], 30);
    // What the sweep verified is what each seed's own run verified, failed or not, and five
    // frame accounts per adapter per seed.
    uint64_t checks = 0, accounts = 0;
    for (int seed = 1; seed <= 30; ++seed) {
        const Outcome run = Shell(std::string(NICSIM_BROKEN_BINARY) + " run random:" + std::to_string(seed) +
                                  " --seed " + std::to_string(seed) + " --cpus 2 --until 30 --json");
        const json j = json::parse(run.out);
        ASSERT_GT(j["counts"]["checks"].get<uint64_t>(), 0u) << seed;
        checks += j["counts"]["checks"].get<uint64_t>();
        accounts += 5 * j["adapters"].size();
    }
    EXPECT_EQ(s["accounts_checked"], accounts);
    EXPECT_EQ(s["checks"], checks + accounts);
    EXPECT_NE(o.out.find(" events, " + std::to_string(checks + accounts) + " checks, "), std::string::npos) << o.out;
}

TEST(NicsimExplore, ShardsMergedEqualTheWholeSweep) {
    ScratchDir dir;
    const std::string args = "explore --seeds 3..33 --usb-timing full-speed --jobs 1";
    const Outcome whole = Broken(args + " --out " + dir / "whole.jsonl");
    ASSERT_EQ(whole.status, 1) << whole.out;
    std::string files;
    uint64_t seeds = 0;
    for (int k = 1; k <= 4; ++k) {
        const std::string file = dir / ("shard-" + std::to_string(k) + ".jsonl");
        const Outcome shard = Broken(args + " --shard " + std::to_string(k) + "/4 --out " + file);
        // 3..33 in four slices, 3..9, 10..17, 18..25 and 26..33: one of 7, 14, 21, 28 in each.
        EXPECT_EQ(shard.status, 1) << shard.out;
        seeds += Records(testing_support::ReadFile(file)).back()["seeds"].get<uint64_t>();
        files += " " + file;
    }
    EXPECT_EQ(seeds, 31u);
    const Outcome merged = Broken("explore --merge" + files);
    EXPECT_EQ(merged.status, 1) << merged.out;
    EXPECT_EQ(Comparable(Records(merged.out)), Comparable(Records(testing_support::ReadFile(dir / "whole.jsonl"))));

    // Three of four shards are not the sweep: the merge writes what they hold, says what is missing
    // and fails as a wrong set of files does, whatever their seeds found.
    const Outcome part = Broken("explore --merge " + dir / "shard-1.jsonl " + dir / "shard-3.jsonl " +
                                dir / "shard-4.jsonl");
    EXPECT_EQ(part.status, 2) << part.out;
    EXPECT_NE(part.out.find("missing 2/4"), std::string::npos) << part.out;
    EXPECT_EQ(Records(part.out).back()["complete"], false) << part.out;
    EXPECT_EQ(Records(part.out).back()["failures"], 3) << part.out;
    // A shard twice, or a shard of another sweep, is refused.
    EXPECT_EQ(Broken("explore --merge " + dir / "shard-1.jsonl " + dir / "shard-1.jsonl").status, 2);
    const Outcome other = Broken("explore --seeds 3..34 --shard 2/4 --out " + dir / "other.jsonl");
    EXPECT_EQ(Broken("explore --merge " + dir / "shard-1.jsonl " + dir / "other.jsonl").status, 2);

    // More shards than seeds: a shard with no seed has run all it had, and the merge is whole.
    std::string tiny;
    for (int k = 1; k <= 4; ++k) {
        const std::string file = dir / ("tiny-" + std::to_string(k) + ".jsonl");
        EXPECT_EQ(Nicsim("explore --seeds 1..2 --shard " + std::to_string(k) + "/4 --out " + file).status, 0) << k;
        tiny += " " + file;
    }
    const Outcome whole2 = Nicsim("explore --merge" + tiny);
    EXPECT_EQ(whole2.status, 0) << whole2.out;
    EXPECT_EQ(Records(whole2.out).back()["complete"], true) << whole2.out;
}

// jq and JavaScript round JSON numbers above 2^53 - 1: such seeds are decimal strings in the run
// record, --json and explore's records, and a merge reads them back; smaller ones stay numbers.
TEST(NicsimExplore, SeedsAboveTwoToThe53AreStringsEverywhereTheyAreWritten) {
    ScratchDir dir;
    for (const auto& [seed, written] : {std::pair<std::string, json>{"9007199254740991", 9007199254740991u},
                                        std::pair<std::string, json>{"9007199254740992", "9007199254740992"}}) {
        const Outcome o = Shell(std::string(NICSIM_BINARY) + " run keepalive --until 1 --json --seed " + seed +
                                " --trace " + dir / "t.jsonl");
        ASSERT_EQ(o.status, 0) << o.out;
        EXPECT_EQ(json::parse(o.out)["seed"], written);
        EXPECT_EQ(Records(testing_support::ReadFile(dir / "t.jsonl")).front()["seed"], written);
    }
    // 2^53 + 3 is a multiple of 7, a seed on which the broken driver leaks.
    const std::string args = "explore keepalive --until 2 --seeds 9007199254740994..9007199254740996 --jobs 1";
    const Outcome whole = Broken(args + " --out " + dir / "whole.jsonl");
    ASSERT_EQ(whole.status, 1) << whole.out;
    const auto records = Records(testing_support::ReadFile(dir / "whole.jsonl"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["seed"], "9007199254740995");
    EXPECT_EQ(json::array({records[1]["first"], records[1]["last"]}),
              json::array({"9007199254740994", "9007199254740996"}));
    // The first slice is one seed shorter: 2^53 + 2 alone passes, the second holds the failure.
    for (int k = 1; k <= 2; ++k)
        EXPECT_EQ(Broken(args + " --shard " + std::to_string(k) + "/2 --out " + dir / ("s" + std::to_string(k))).status,
                  k == 1 ? 0 : 1);
    const Outcome merged = Broken("explore --merge " + dir / "s1" + " " + dir / "s2");
    EXPECT_EQ(merged.status, 1) << merged.out;
    EXPECT_EQ(Comparable(Records(merged.out)), Comparable(records));
}

TEST(NicsimExplore, UsageErrorsAndTheTimeLimit) {
    for (const char* bad : {"--seeds 5..3", "--seeds 1..x", "--seeds 7", "--seeds 18446744073709551616..1",
                            "--seeds 1..2 --shard 0/4", "--seeds 1..2 --shard 5/4", "--seeds 1..2 --jobs 0",
                            "", "--merge a.jsonl --seeds 1..2", "--seeds 1..2 --out /nonexistent/dir/x.jsonl",
                            "--merge /nonexistent.jsonl", "--seeds 1..2 --junit /nonexistent/dir/x.xml"}) {
        const Outcome o = testing_support::NicsimRefusedWithin(std::string("explore ") + bad);
        EXPECT_EQ(o.status, 2) << bad << "\n" << o.out;
        EXPECT_EQ(Records(o.out).size(), 0u) << bad << "\n" << o.out;
    }
    EXPECT_NE(Nicsim("explore --seeds 5..3").out.find("\"5..3\" is not a seed range"), std::string::npos);

    // Every seed there is, with half a second: stops starting seeds, reports what ran, and says in
    // its status (3) and its JUnit report that not every seed ran.
    ScratchDir dir;
    const Outcome o = testing_support::NicsimRefusedWithin("explore --seeds 0..18446744073709551615 --time-limit 0.5 "
                                                           "--jobs 1 --junit " + dir / "stopped.xml");
    ASSERT_EQ(o.status, 3) << o.out;
    const json s = Records(o.out).back();
    EXPECT_EQ(s["stopped_by_time_limit"], true);
    EXPECT_EQ(s["complete"], false);
    EXPECT_GT(s["seeds"].get<uint64_t>(), 0u);
    EXPECT_LT(s["wall_s"].get<double>(), 5.0);
    const json junit = ReadJUnit(dir / "stopped.xml");
    EXPECT_EQ(junit["failures"], 0);
    EXPECT_EQ(junit["skipped"], 1);
    EXPECT_EQ(junit["properties"]["seeds"], std::to_string(s["seeds"].get<uint64_t>()));
    ASSERT_EQ(junit["cases"].size(), 2u) << junit;
    EXPECT_EQ(junit["cases"][0]["name"], "no failing seed");
    EXPECT_EQ(junit["cases"][1]["skipped"].at(0),
              "not every seed of 0..18446744073709551615 ran: " + std::to_string(s["seeds"].get<uint64_t>()) +
                  " did; the time limit stopped the sweep");
}

// Without --jobs, one worker per processor the process may use: the affinity mask (taskset) and
// the CPU quota of its control group (a container's CPU limit), whichever allows fewer.
TEST(NicsimExplore, DefaultJobsAreTheProcessorsTheProcessMayUse) {
    const auto jobs = [](const std::string& prefix) {
        const Outcome o = Shell(prefix + std::string(NICSIM_BINARY) + " explore --seeds 1..4");
        EXPECT_EQ(o.status, 0) << prefix << o.out;
        return o.status == 0 ? Records(o.out).back()["jobs"].get<unsigned>() : 0u;
    };
    EXPECT_EQ(jobs(""), std::stoul(Shell("nproc").out));
    EXPECT_EQ(jobs("taskset -c 0 "), 1u);

    // A control group of its own with a quota of half a processor, where this machine lets us make
    // one (as root, cgroup v1's cpu controller or cgroup v2 with it enabled).
    const std::string name = "nicsim-test-" + std::to_string(getpid());
    for (const char* const hierarchy : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup"}) {
        const bool v2 = std::string(hierarchy) == "/sys/fs/cgroup";
        const std::string group = hierarchy + ("/" + name);
        if (!std::filesystem::exists(std::string(hierarchy) + (v2 ? "/cgroup.controllers" : "/cpu.cfs_quota_us"))) continue;
        if (mkdir(group.c_str(), 0755) != 0) continue;
        const bool quota = v2 ? bool(std::ofstream(group + "/cpu.max") << "50000 100000" << std::flush)
                              : bool(std::ofstream(group + "/cpu.cfs_quota_us") << "50000" << std::flush);
        if (quota) {
            EXPECT_EQ(jobs("sh -c 'echo $$ > " + group + "/cgroup.procs && exec \"$0\" \"$@\"' "), 1u);
        }
        rmdir(group.c_str());
        if (quota) return;
    }
    std::cout << "no control group with a CPU quota could be made here: the quota is checked by "
                 "UsableCpus.CgroupQuotasOfEitherVersionBindTheirChildren only\n";
}

// The recipes of docs/explore.md, as written there, with this build's nicsim first on the PATH and
// the SSH login file naming two slots on this machine.
TEST(NicsimExplore, GnuParallelRecipesOfTheDocsWorkVerbatim) {
    if (Shell("command -v parallel").status != 0) GTEST_SKIP() << "GNU parallel is not installed";
    std::ifstream doc(std::string(TESTS_DIR) + "/../docs/explore.md");
    std::vector<std::string> recipes;
    bool next = false, in = false;
    for (std::string line; std::getline(doc, line);) {
        if (line == "<!-- tested recipe -->") next = true;
        else if (next && line == "```sh") in = true, next = false, recipes.emplace_back();
        else if (in && line == "```") in = false;
        else if (in) recipes.back() += line + "\n";
    }
    ASSERT_EQ(recipes.size(), 2u);
    const std::string bin = std::string(NICSIM_BINARY);
    const std::string path = bin.substr(0, bin.rfind('/'));
    for (const std::string& recipe : recipes) {
        ScratchDir dir;
        std::ofstream(dir / "hosts") << "2/:\n";
        std::ofstream(dir / "recipe.sh") << recipe;
        const Outcome o = Shell("cd " + dir.path().string() + " && PATH=" + path + ":$PATH sh -e recipe.sh", true);
        ASSERT_EQ(o.status, 0) << recipe << o.out;
        const auto records = Records(o.out);
        ASSERT_FALSE(records.empty()) << recipe << o.out;
        EXPECT_EQ(records.back()["seeds"], 1000) << recipe << o.out;
        EXPECT_EQ(records.back()["complete"], true);
        EXPECT_TRUE(records.back()["shard"].is_null());
    }
}

}  // namespace

namespace {

TEST(NicsimExplore, RandomScenariosAreScenarioFilesAndArmOnlyTheChosenFaults) {
    ScratchDir dir;
    // The scenario of a seed is a file `check` accepts and `run` plays, the same text every time.
    const Outcome shown = Nicsim("show random:42");
    ASSERT_EQ(shown.status, 0) << shown.out;
    EXPECT_EQ(Nicsim("show random:42").out, shown.out);
    std::ofstream(dir / "42.json") << shown.out;
    EXPECT_EQ(Nicsim("check " + dir / "42.json").status, 0);
    const Outcome byName = Shell(std::string(NICSIM_BINARY) + " run random:42 --json");
    const Outcome byFile = Shell(std::string(NICSIM_BINARY) + " run " + dir / "42.json --seed 42 --json");
    ASSERT_EQ(byName.status, 0) << byName.out;
    json a = json::parse(byName.out), b = json::parse(byFile.out);
    for (json* j : {&a, &b})
        for (const char* f : {"replay", "scenario", "source", "wall_s"}) j->erase(f);
    EXPECT_EQ(a, b);

    // --faults: the fault events of every generated scenario are of the chosen kinds only.
    std::set<std::string> kinds;
    for (int seed = 1; seed <= 40; ++seed) {
        const json s = json::parse(Nicsim("show random:" + std::to_string(seed) + ":bulk-in-error,device-vanish").out);
        for (const json& e : s["events"])
            if (e["do"] == "fault") kinds.insert(e["fault"].get<std::string>());
        const json none = json::parse(Nicsim("show random:" + std::to_string(seed) + ":none").out);
        for (const json& e : none["events"]) EXPECT_NE(e["do"], "fault") << seed;
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"bulk-in-error", "device-vanish"}));
    const Outcome chosen = Nicsim("explore --seeds 1..20 --faults bulk-in-error,device-vanish --jobs 1");
    EXPECT_EQ(chosen.status, 0) << chosen.out;
    const json summary = Records(chosen.out).back();
    EXPECT_EQ(summary["source"], "generated, faults: bulk-in-error,device-vanish");
    EXPECT_GT(summary["faults"].get<uint64_t>(), 0u);
    EXPECT_EQ(Records(Nicsim("explore --seeds 1..20 --faults none --jobs 1").out).back()["faults"], 0);

    // Bad names are refused before anything runs, with what was meant.
    const Outcome typo = Nicsim("explore --seeds 1..2 --faults bulk-in-eror");
    EXPECT_EQ(typo.status, 2);
    EXPECT_NE(typo.out.find("unknown fault kind \"bulk-in-eror\" (did you mean \"bulk-in-error\"?)"), std::string::npos)
        << typo.out;
    EXPECT_EQ(Nicsim("explore default --seeds 1..2 --faults none").status, 2);
    EXPECT_EQ(Nicsim("run random:12x").status, 2);
    EXPECT_EQ(Nicsim("show random:1:nope").status, 2);
}

}  // namespace
