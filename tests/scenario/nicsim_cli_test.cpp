// nicsim as a user runs it: a subprocess with files, its exit statuses, its error messages, and
// the same seed giving the same trace byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/nicsim_process.h"

namespace {

using testing_support::Nicsim;
using testing_support::Outcome;
using testing_support::ScratchDir;
using testing_support::Shell;

std::string TempPath(const std::string& name) { return testing_support::TempPath("nicsim_", name); }

// Each line of `story` is in `out`, in this order; other lines may come between them.
::testing::AssertionResult InOrder(const std::string& out, const std::vector<std::string>& story) {
    size_t at = 0;
    for (const auto& line : story) {
        const size_t found = out.find(line, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << line << "\" missing after offset " << at << "\n" << out;
        at = found + line.size();
    }
    return ::testing::AssertionSuccess();
}

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

    // A registry keyword the driver never reads loads (a registry holds what it is given), with a
    // warning naming its path and the keyword meant; keywords match without case, as in Windows.
    Write(bad, R"({ "adapters": [ { "name": "A", "phys": [ { "address": 1, "id": "0x20005C20" } ],
                    "registry": { "MediaTyp": 0, "homelan": 18, "Nonesuch": 1 } } ] })");
    const Outcome warned = Nicsim("check " + bad);
    EXPECT_EQ(warned.status, 0) << warned.out;
    EXPECT_TRUE(InOrder(warned.out, {bad + ": ok (1 adapters, 0 links, 0 events)\n",
                                     bad + ": warning: adapters[0].registry.MediaTyp: the driver reads no keyword "
                                           "\"MediaTyp\" (did you mean \"MediaType\"?); it is set, and nothing reads it\n",
                                     bad + ": warning: adapters[0].registry.Nonesuch: the driver reads no keyword "
                                           "\"Nonesuch\"; it is set",
                                     bad + ": warning: events: missing: `run` loads the driver and calls none"}));
    EXPECT_EQ(warned.out.find("homelan"), std::string::npos) << warned.out;
    // A run says the same on standard error, beside its summary on standard output.
    const Outcome ran = Shell("{ " + std::string(NICSIM_BINARY) + " run --json " + bad + " 2>&1 >/dev/null; }");
    EXPECT_NE(ran.out.find(bad + ": warning: adapters[0].registry.MediaTyp:"), std::string::npos) << ran.out;
    EXPECT_EQ(Nicsim("run --json " + bad).status, 0);
    EXPECT_NO_THROW(nlohmann::json::parse(Shell(std::string(NICSIM_BINARY) + " run --json " + bad).out));
}

// Each scenario is refused (status 2) with a message that names the JSON path, the field and
// the limit it broke. A is on "eth0" (a responder), B and C each have a PHY on "cable".
TEST(NicsimCli, ScenarioRefusalsNameThePathAndTheLimit) {
    auto scenario = [](const std::string& events, const std::string& extra = "") {
        return R"({)" + extra + R"( "adapters": [
            { "name": "A", "phys": [ { "address": 0, "id": "0x225410", "link": "eth0" } ] },
            { "name": "B", "phys": [ { "address": 0, "id": "0x225410" } ] },
            { "name": "C", "phys": [ { "address": 0, "id": "0x225410" } ] } ],
          "links": [ { "name": "eth0", "peer": { "kind": "sink" } },
                     { "name": "cable", "between": ["B:0", "C:0"] } ],
          "events": [ )" + events + " ] }";
    };
    std::string manyEvents, manyAdapters;
    for (int i = 0; i <= 100000; ++i) manyEvents += std::string(i ? "," : "") + R"({"at":0,"do":"reset","adapter":"A"})";
    for (int i = 0; i < 126; ++i) manyAdapters += (i ? "," : "") + std::string(R"({"name":"N)") + std::to_string(i) + "\"}";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"name": "a", "name": "b"})", R"($: key "name" appears twice)"},
        {"{}", "adapters: missing; a scenario has at least one adapter"},
        {R"({"adapters": [], "events": []})", "adapters: empty; a scenario has at least one adapter"},
        {scenario(R"({"at": 1, "at": 2, "do": "reset", "adapter": "A"})"), R"(events[0]: key "at" appears twice)"},
        {scenario(R"({"at": 1, "do": "reset", "adapter": "A", "frame": "00"})"), R"(events[0].frame: "reset" takes no "frame")"},
        {scenario(R"({"at": 1, "do": "fault", "adapter": "A", "fault": "bulk-in-error", "ms": 5})"),
         R"(events[0].ms: fault "bulk-in-error" takes no "ms")"},
        {scenario(R"({"at": 1, "do": "intialize", "adapter": "A"})"), R"(unknown action "intialize" (did you mean "initialize"?))"},
        {scenario(R"({"at": 1, "do": "fault", "adapter": "A", "fault": "bulk-in-eror"})"), R"((did you mean "bulk-in-error"?))"},
        {scenario(R"({"at": 1, "do": "query", "adapter": "A", "oid": "OID_GEN_LINK_SPED"})"), R"((did you mean "OID_GEN_LINK_SPEED"?))"},
        {R"({"adapters": [{"name": "B", "phys": [{"address": 0, "id": 0}]}], "links": [{"name": "c", "between": ["B:0", "B:0"]}]})",
         R"(links[0].between[1]: "B:0" is the other end too; a cable joins two PHYs, not a PHY to itself)"},
        {R"({"adapters": [{"name": "A", "phys": [{"address": 0, "id": 0, "link": "c"}]},
                          {"name": "B", "phys": [{"address": 0, "id": 0, "link": "c"}]},
                          {"name": "C", "phys": [{"address": 0, "id": 0, "link": "c"}]}], "links": [{"name": "c"}]})",
         R"(adapters[2].phys[0].link: link "c" is a cable between A:0 and B:0)"},
        {scenario(R"({"at": 1, "do": "receive", "link": "cable", "frame": "ffffffffffff02000000000a0800"})"),
         R"(events[0].link: link "cable" has no scripted peer)"},
        {scenario(R"({"at": 1, "do": "send", "adapter": "A", "frame": "ffff"})"), "events[0].frame: a frame of 2 bytes; a frame has 14 to 65535 bytes"},
        {scenario(R"({"at": 1, "do": "send", "adapter": "A", "frame": ")" + std::string(200, 'f') + R"(", "repeat": 1000000})"),
         "events[0].repeat: 1000000 copies of a 100-byte frame, all at one instant, are more than 67108864 bytes"},
        {scenario(R"({"at": 1, "do": "traffic", "adapter": "A", "frames": 50000, "interval": 0})"), "events[0].frames: 50000 frames of 1514 bytes"},
        {scenario(R"({"at": 1, "do": "traffic", "adapter": "A", "frames": 6000000},
                     {"at": 1, "do": "traffic", "adapter": "A", "frames": 6000000})"),
         "events: the events send 12000000 frames in all"},
        {scenario(manyEvents), "events: 100001 events; a scenario has at most 100000"},
        {R"({"adapters": [)" + manyAdapters + "]}", "adapters: 126 adapters; a scenario has at most 125"},
        {R"({"seed": 18446744073709551616})", "seed: 1.8446744073709552e+19 does not fit 64 bits"},
        {R"({"seed": "18446744073709551616"})", R"(seed: "18446744073709551616" does not fit 64 bits)"},
        {R"({"duration_s": 1e300})", "duration_s: 1e+300 is not a time from 0 to 10000000 seconds"},
        {scenario(R"({"at": 1, "do": "ping", "adapter": "A", "ip": "10.0.0.1", "to": "10.0.0.2", "count": 2.5})"),
         "events[0].count: expected a whole number, not 2.5"},
        {std::string(40, '[') + std::string(40, ']'), "nested deeper than 32 levels"},
    };
    ScratchDir dir;
    for (const auto& [text, says] : cases) {
        SCOPED_TRACE(says);
        Write(dir / "s.json", text);
        const Outcome o = Nicsim("check " + dir / "s.json");
        EXPECT_EQ(o.status, 2) << o.out;
        EXPECT_NE(o.out.find(says), std::string::npos) << o.out;
    }
    // Without a known action an event is refused for that alone and for keys no action takes:
    // the keys of any action are not yet errors.
    Write(dir / "s.json", scenario(R"({"at": 1, "do": "intialize", "adapter": "A", "frame": "00", "oid": "x"},
                                      {"at": 2, "adapter": "A", "frames": 3, "framez": 1})"));
    const Outcome unknown = Nicsim("check " + dir / "s.json");
    EXPECT_EQ(unknown.out, dir / "s.json" + ": events[0].do: unknown action \"intialize\" (did you mean \"initialize\"?)\n" +
                               dir / "s.json" + ": events[1].framez: unknown key (did you mean \"frame\"?)\n" +
                               dir / "s.json" + ": events[1].do: missing\n");
    // The bounds themselves load: the largest seed, whole, and a `receive` from a scripted peer.
    Write(dir / "s.json", scenario(R"({"at": 1, "do": "receive", "link": "eth0", "frame": "ffffffffffff02000000000a0800"})",
                                   R"("seed": "18446744073709551615",)"));
    const Outcome top = Nicsim("run --until 2 " + dir / "s.json");
    EXPECT_EQ(top.status, 0) << top.out;
    EXPECT_NE(top.out.find("seed 18446744073709551615"), std::string::npos) << top.out;
}

// Options: NaN, infinities, values past their range and mistyped names are usage errors (2)
// whose messages give the bounds in plain numbers and the closest name.
TEST(NicsimCli, OptionsOutOfRangeAndMistypedNamesAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"run --until nan", "--until: \"nan\" is not a number of seconds from 0 (excluded) to 10000000"},
        {"run --until inf", "to 10000000"},
        {"run --until 1e300", "to 10000000"},
        {"run --until 10000000.5", "to 10000000"},
        {"run --until -5", "to 10000000"},
        {"run --until 1e-9", "--until: \"1e-9\" is less than 1 microsecond, the smallest time nicsim counts"},
        {"run --until 0.0000009", "give at least 0.000001 seconds"},
        {"bridge --tap a0 --duration 1e-7", "--duration: \"1e-7\" is less than 1 microsecond"},
        {"explore --seeds 1..2 --until 1e-9", "--until: \"1e-9\" is less than 1 microsecond"},
        {"run --seed 18446744073709551616", "a whole number from 0 to 18446744073709551615"},
        {"run --seed -1", "a whole number from 0 to 18446744073709551615"},
        {"run --cpus 65", "1 to 64"},
        {"rnu", "unknown command \"rnu\" (did you mean \"run\"?)"},
        {"run --untill 3", "unknown option --untill (did you mean --until?)"},
        {"run defualt", "(did you mean \"default\"?)"},
        {"show two_adapter", "(did you mean \"two_adapters\"?)"},
    };
    for (const auto& [args, says] : cases) {
        SCOPED_TRACE(args);
        const Outcome o = testing_support::NicsimRefusedWithin(args);
        EXPECT_EQ(o.status, 2) << o.out;
        EXPECT_NE(o.out.find(says), std::string::npos) << o.out;
        EXPECT_FALSE(std::regex_search(o.out, std::regex("[0-9]{21}"))) << "an unreadable bound: " << o.out;
    }
    EXPECT_EQ(Nicsim("run --quiet --until 0.5").status, 0);
    EXPECT_EQ(Nicsim("run --quiet --until 0.000001").status, 0);  // one microsecond, the least
}

// Output that cannot be written and input that is not a bounded regular file are errors (2)
// that name the file and the reason, never a silent success or an endless read.
TEST(NicsimCli, FilesThatCannotBeWrittenOrReadAreErrors) {
    // keepalive has one link, so its wire capture goes where it is told.
    for (const char* option : {"--trace", "--pcap-usb", "--pcap-wire"}) {
        const Outcome o = Nicsim(std::string("run keepalive --quiet --until 1 ") + option + " /dev/full");
        EXPECT_EQ(o.status, 2) << option;
        EXPECT_NE(o.out.find("writing /dev/full failed: No space left on device"), std::string::npos) << o.out;
    }
    ScratchDir dir;
    // Standard output that cannot be written fails every command, once, naming it.
    const std::string scenario = dir / "keepalive.json";
    ASSERT_EQ(Shell(std::string(NICSIM_BINARY) + " show keepalive > " + scenario).status, 0);
    for (const std::string& args : std::vector<std::string>{"run keepalive --until 1", "run keepalive --until 1 --json", "show default",
                                   "scenarios", "check " + scenario, "run --help", "--version"}) {
        const Outcome o = Shell("{ " + std::string(NICSIM_BINARY) + " " + args + " 2>&1 >/dev/full; }");
        EXPECT_EQ(o.status, 2) << args;
        EXPECT_EQ(o.out, "nicsim: writing standard output failed: No space left on device\n") << args;
    }
    // A run refused once its first files exist leaves none of them behind.
    for (const std::string& refused : std::vector<std::string>{"--pcap-wire -", "--junit " + dir / "no/such/dir/r.xml",
                                      "--html " + dir / "no/such/dir/r.html"}) {
        const Outcome o = Nicsim("run --trace " + dir / "t.jsonl" + " --pcap-usb " + dir / "u.pcap" + " " + refused);
        EXPECT_EQ(o.status, 2) << refused << "\n" << o.out;
        EXPECT_FALSE(std::filesystem::exists(dir / "t.jsonl")) << refused;
        EXPECT_FALSE(std::filesystem::exists(dir / "u.pcap")) << refused;
    }
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "dir");
    std::ofstream(dir / "big.json").close();
    std::filesystem::resize_file(dir / "big.json", (16u << 20) + 1);  // sparse: nothing is written
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/zero", "/dev/zero: is a device"},
        {dir / "fifo", "is a FIFO"},
        {dir / "dir", "is a directory"},
        {dir / "big.json", "is larger than 16777216 bytes (16 MiB)"},
    };
    for (const auto& [path, says] : cases) {
        const Outcome o = testing_support::NicsimRefusedWithin("check " + path);
        EXPECT_EQ(o.status, 2) << path;
        EXPECT_NE(o.out.find(says), std::string::npos) << o.out;
    }
}

TEST(NicsimCli, HelpOnEverySubcommand) {
    for (const char* sub : {"", "run ", "scenarios ", "show ", "check "}) {
        const Outcome o = Nicsim(std::string(sub) + "--help");
        EXPECT_EQ(o.status, 0) << sub;
        EXPECT_NE(o.out.find("Usage"), std::string::npos) << sub;
    }
}

// --version names the commit of the sources nicsim was built from, as `git describe` does;
// "-dirty" depends on edits made since the build, the commit does not.
TEST(NicsimCli, VersionNamesTheCommitItWasBuiltFrom) {
    const Outcome v = Nicsim("--version");
    EXPECT_EQ(v.status, 0) << v.out;
    const auto sources = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    Outcome git = testing_support::Shell("git -C '" + sources.string() + "' describe --always");
    if (!git.out.empty() && git.out.back() == '\n') git.out.pop_back();
    const std::string expected = git.status == 0 && !git.out.empty()
                                     ? "nicsim " + git.out
                                     : "nicsim unknown (not built from a git checkout)";
    EXPECT_TRUE(v.out == expected + "\n" || v.out == expected + "-dirty\n")
        << "printed: " << v.out << "expected: " << expected;
}

// A scenario piped in plays as a file would: the run record names its source "stdin" with the
// SHA-256 of the text read, and the replay says that text must come again on standard input.
TEST(NicsimCli, ScenarioFromStandardInput) {
    const std::string bin = NICSIM_BINARY, broken = NICSIM_BROKEN_BINARY;
    const std::string sha = Shell(bin + " show random:7 | sha256sum").out.substr(0, 64);
    const Outcome piped = Shell(bin + " show random:7 | " + bin + " run - --json");
    ASSERT_EQ(piped.status, 0) << piped.out;
    const auto j = nlohmann::json::parse(piped.out);
    EXPECT_EQ(nlohmann::json::array({j["source"], j["sha256"], j["replay"]}),
              nlohmann::json::array({"stdin", sha, "nicsim run - --seed 7"}));
    const Outcome check = Shell(bin + " show keepalive | " + bin + " check -", true);
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(check.out, "stdin: ok (1 adapters, 1 links, 2 events)\n");
    const Outcome bad = Shell("echo '{\"adapters\": 1}' | " + bin + " check -", true);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.out.find("stdin: adapters: expected a list"), std::string::npos) << bad.out;
    // The broken driver leaks on seed 7: the summary says how the run replays.
    const Outcome leak = Shell(bin + " show keepalive | " + broken + " run - --seed 7", true);
    EXPECT_EQ(leak.status, 1) << leak.out;
    EXPECT_NE(leak.out.find("scenario \"keepalive\" (stdin, sha256 "), std::string::npos) << leak.out;
    EXPECT_NE(leak.out.find("  replay with: nicsim run - --seed 7 < SCENARIO.json (the scenario came from standard "
                            "input and was not kept: save it to a file to replay; its sha256 is "),
              std::string::npos)
        << leak.out;
}

// The same command gives the same trace; its first line, the run record, says what produced it.
TEST(NicsimCli, SameSeedGivesTheSameTraceByteForByte) {
    const std::string path = TempPath("trace.jsonl"), other = TempPath("other.jsonl");
    EXPECT_EQ(Nicsim("run --quiet --trace " + path).status, 0);
    const std::string a = Read(path);
    EXPECT_EQ(Nicsim("run --quiet --trace " + path).status, 0);
    const std::string b = Read(path);
    EXPECT_EQ(Nicsim("run --quiet --seed 9 --trace " + other).status, 0);
    const std::string c = Read(other);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);

    // The run record names the scenario by the SHA-256 of the text it read (here a copy of the
    // embedded default, hashed by coreutils), the seed, processors, USB timing and end.
    const std::string scenario = TempPath("default.json");
    ASSERT_EQ(Shell(std::string(NICSIM_BINARY) + " show default > " + scenario).status, 0);
    const std::string sha = Shell("sha256sum " + scenario).out.substr(0, 64);
    const Outcome shown = Nicsim("run " + scenario + " --cpus 2 --until 5 --usb-timing full-speed --trace " + path);
    EXPECT_EQ(shown.status, 0) << shown.out;
    const auto record = nlohmann::json::parse(Read(path).substr(0, Read(path).find('\n')));
    const std::string version = Nicsim("--version").out;
    EXPECT_EQ(record["ev"], "run");
    EXPECT_EQ("nicsim " + record["version"].get<std::string>() + "\n", version);
    EXPECT_EQ(record["sha256"], sha);
    EXPECT_EQ(record["source"], scenario);
    EXPECT_EQ(record["scenario"], "default");
    EXPECT_EQ(record["seed"], 1);
    EXPECT_EQ(record["cpus"], 2);
    EXPECT_EQ(record["usb_timing"], "full-speed");
    EXPECT_EQ(record["until_us"], 5'000'000);
    EXPECT_NE(record["command"].get<std::string>().find("--until 5 --usb-timing full-speed"), std::string::npos);
    // The timeline's header says the same.
    EXPECT_NE(shown.out.find("scenario \"default\" (" + scenario + ", sha256 " + sha.substr(0, 12) +
                             "), seed 1, 2 processors, USB timing full-speed, until 5 s"),
              std::string::npos)
        << shown.out;
    // The last line is the summary, with no violation and no leak.
    const std::string last = a.substr(a.rfind('\n', a.size() - 2) + 1);
    EXPECT_NE(last.find("\"ev\":\"summary\""), std::string::npos) << last;
    EXPECT_NE(last.find("\"violations\":0"), std::string::npos) << last;
    EXPECT_NE(last.find("\"leaks\":0"), std::string::npos) << last;
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

// "-" puts one file on standard output; the timeline and summary then go to standard error, so
// a pipe reads that file alone. Two files there, or one beside --json, are refused before a run.
TEST(NicsimCli, DashPutsOneFileOnStandardOutputAndThePeoplesLinesOnStandardError) {
    const std::string bin = NICSIM_BINARY, file = TempPath("dash.jsonl");
    ASSERT_EQ(Nicsim("run --quiet --trace " + file).status, 0);
    const Outcome piped = Shell(bin + " run --trace -");  // standard output alone
    ASSERT_EQ(piped.status, 0);
    auto fromPipe = JsonLines(piped.out), fromFile = JsonLines(Read(file));
    std::remove(file.c_str());
    ASSERT_GT(fromFile.size(), 1000u);
    ASSERT_EQ(fromPipe.size(), fromFile.size());
    // The same trace, but for the command line in the run record.
    EXPECT_NE(fromPipe[0]["command"], fromFile[0]["command"]);
    fromPipe[0].erase("command");
    fromFile[0].erase("command");
    EXPECT_EQ(fromPipe, fromFile);
    const Outcome people = Shell("{ " + bin + " run --trace - 2>&1 >/dev/null; }");
    EXPECT_NE(people.out.find("scenario \"default\" (embedded default"), std::string::npos) << people.out;
    EXPECT_NE(people.out.find("ping 192.168.7.1 seq 1: reply"), std::string::npos) << people.out;
    EXPECT_NE(people.out.find("\nsummary: "), std::string::npos) << people.out;

    const std::pair<std::string, std::string> refused[] = {
        {"run --trace - --pcap-usb -", "nicsim run: --trace - and --pcap-usb - would both write to standard output"},
        {"run --trace - --json", "nicsim run: --trace - and --json would both write to standard output"},
        {"run --pcap-usb - --pcap-wire - --trace -", "--trace -, --pcap-usb - and --pcap-wire - would all"},
        {"run --pcap-wire -", "--pcap-wire -: the run has 2 links (eth0, phone)"},
        {"bridge --tap nicsimnone0 --pcap-wire - --json", "nicsim bridge: --pcap-wire - and --json would both"},
    };
    for (const auto& [args, says] : refused) {
        const Outcome o = testing_support::NicsimRefusedWithin(args);
        EXPECT_EQ(o.status, 2) << args << "\n" << o.out;
        EXPECT_NE(o.out.find(says), std::string::npos) << args << "\n" << o.out;
        EXPECT_EQ(Shell("timeout 20 " + bin + " " + args).out, "") << args;
    }
}

// --trace-events: the file takes the chosen kinds, whole and in order, and always its run and
// summary records; `miniport` takes every handler's lines, MiniportSend's too.
TEST(NicsimCli, TraceEventsKeepsTheChosenKindsAndTheRunAndSummaryRecords) {
    const std::string all = TempPath("events_all.jsonl"), some = TempPath("events_some.jsonl");
    ASSERT_EQ(Nicsim("run --quiet --trace " + all).status, 0);
    ASSERT_EQ(Nicsim("run --quiet --trace-events ping,media,miniport --trace " + some).status, 0);
    const auto full = JsonLines(Read(all));
    auto chosen = JsonLines(Read(some));
    std::remove(all.c_str());
    std::remove(some.c_str());
    ASSERT_FALSE(chosen.empty());
    EXPECT_EQ(chosen[0]["trace_events"], nlohmann::json({"ping", "media", "miniport"}));
    std::vector<nlohmann::json> expected;
    size_t sends = 0;
    for (const auto& l : full) {
        const std::string ev = l["ev"];
        if (ev == "run" || ev == "summary" || ev == "ping" || ev == "media" || ev == "miniport")
            expected.push_back(l);
        if (l.value("call", "") == "MiniportSend") ++sends;
    }
    EXPECT_GT(sends, 1000u);
    expected[0].erase("command");
    chosen[0].erase("command");
    chosen[0].erase("trace_events");
    EXPECT_EQ(chosen, expected);

    // Every kind the story's trace holds is accepted, and alone keeps exactly its lines.
    std::map<std::string, std::vector<nlohmann::json>> byKind;
    for (const auto& l : full) byKind[l["ev"]].push_back(l);
    EXPECT_GT(byKind.size(), 15u);
    for (auto& [kind, lines] : byKind) {
        if (kind == "run" || kind == "summary") continue;
        SCOPED_TRACE(kind);
        ASSERT_EQ(Nicsim("run --quiet --trace-events " + kind + " --trace " + some).status, 0);
        auto alone = JsonLines(Read(some));
        ASSERT_EQ(alone.size(), lines.size() + 2);
        EXPECT_EQ(std::vector<nlohmann::json>(alone.begin() + 1, alone.end() - 1), lines);
    }
    std::remove(some.c_str());

    // Without a trace to shape, either option would do nothing: refused, saying what is missing.
    for (const char* command : {"run", "bridge --tap nicsimnone0"})
        for (const char* option : {"--trace-events ping", "--trace-data head"}) {
            const Outcome o = testing_support::NicsimRefusedWithin(std::string(command) + " " + option);
            EXPECT_EQ(o.status, 2) << o.out;
            EXPECT_NE(o.out.find(std::string(option).substr(0, std::string(option).find(' ')) +
                                 " chooses what the trace file holds, but no trace is written: add --trace"),
                      std::string::npos)
                << o.out;
        }

    // The kinds a refusal lists are those --help lists and those trace-format.md documents.
    std::string listed;
    for (const char* command : {"run", "bridge --tap nicsimnone0"}) {
        const Outcome o = testing_support::NicsimRefusedWithin(std::string(command) + " --trace-events ping,wier");
        EXPECT_EQ(o.status, 2) << o.out;
        const std::string says = "--trace-events: unknown kind \"wier\" (did you mean \"wire\"?); the kinds are ";
        ASSERT_NE(o.out.find(says), std::string::npos) << o.out;
        listed = o.out.substr(o.out.find(says) + says.size());
        listed = listed.substr(0, listed.find('\n'));
    }
    std::set<std::string> kinds, documented;
    for (std::istringstream in(listed); in.good();) {
        std::string k;
        in >> k;
        if (!k.empty() && k.back() == ',') k.pop_back();
        kinds.insert(k);
    }
    std::string help = Nicsim("run --help").out;
    help = std::regex_replace(help, std::regex("\\s+"), " ");
    EXPECT_NE(help.find("the kinds: " + listed), std::string::npos) << help;
    const auto docs = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "docs";
    std::istringstream format(Read((docs / "trace-format.md").string()));
    const std::regex row("^\\| `([a-z_]+)` \\|");
    std::smatch m;
    for (std::string line; std::getline(format, line);)
        if (std::regex_search(line, m, row)) documented.insert(m[1].str());
    documented.erase("ev");  // the tables' heading
    for (const auto& [kind, lines] : byKind) EXPECT_EQ(kinds.count(kind), 1u) << kind;
    EXPECT_EQ(kinds, documented);
}

// --trace-data: `head` keeps the first 64 bytes of each payload and marks a cut one, `none`
// keeps none, `full` is the trace as it always was. Cut, the 30-second two-adapter story's
// trace is less than a fifth of its whole size.
TEST(NicsimCli, TraceDataKeepsTheHeadOfEachPayloadOrNone) {
    const std::string paths[] = {TempPath("data_default.jsonl"), TempPath("data_full.jsonl"),
                                 TempPath("data_head.jsonl"), TempPath("data_none.jsonl")};
    ASSERT_EQ(Nicsim("run --quiet --trace " + paths[0]).status, 0);
    ASSERT_EQ(Nicsim("run --quiet --trace-data full --trace " + paths[1]).status, 0);
    ASSERT_EQ(Nicsim("run --quiet --trace-data head --trace " + paths[2]).status, 0);
    ASSERT_EQ(Nicsim("run --quiet --trace-data none --trace " + paths[3]).status, 0);
    const std::string whole = Read(paths[0]);
    EXPECT_EQ(Read(paths[1]).substr(Read(paths[1]).find('\n')), whole.substr(whole.find('\n')));
    const auto full = JsonLines(whole), head = JsonLines(Read(paths[2])), none = JsonLines(Read(paths[3]));
    for (const auto& p : paths) std::remove(p.c_str());
    ASSERT_EQ(head.size(), full.size());
    ASSERT_EQ(none.size(), full.size());
    EXPECT_EQ(head[0]["trace_data"], "head");
    EXPECT_EQ(none[0]["trace_data"], "none");
    std::map<std::string, size_t> cut, kept;
    for (size_t i = 1; i < full.size(); ++i) {
        auto h = head[i], n = none[i], f = full[i];
        if (!f.contains("data")) {
            EXPECT_EQ(h, f) << i;
            EXPECT_EQ(n, f) << i;
            continue;
        }
        const std::string data = f["data"];
        EXPECT_EQ(h["data"], data.substr(0, 128)) << i;
        EXPECT_EQ(h.contains("data_truncated"), data.size() > 128) << i;
        if (data.size() > 128) {
            EXPECT_EQ(h["data_truncated"], true);
            ++cut[f["ev"]];
        } else {
            ++kept[f["ev"]];
        }
        h.erase("data");
        h.erase("data_truncated");
        f.erase("data");
        EXPECT_EQ(h, f) << i;
        EXPECT_EQ(n, f) << i;
    }
    // The burst's frames are cut wherever they show: on the bus, the wire, and sent and received.
    for (const char* ev : {"bulk", "wire"}) EXPECT_GT(cut[ev], 1000u) << ev;
    for (const char* ev : {"control", "bulk", "wire", "indicate_receive", "miniport"}) EXPECT_GT(kept[ev], 0u) << ev;

    const std::string big = TempPath("data_two_full.jsonl"), small = TempPath("data_two_head.jsonl");
    ASSERT_EQ(Nicsim("run two_adapters --until 30 --quiet --trace " + big).status, 0);
    ASSERT_EQ(Nicsim("run two_adapters --until 30 --quiet --trace-data head --trace " + small).status, 0);
    const auto bigSize = std::filesystem::file_size(big), smallSize = std::filesystem::file_size(small);
    std::remove(big.c_str());
    std::remove(small.c_str());
    EXPECT_GT(bigSize, 50'000'000u);
    EXPECT_LT(smallSize * 5, bigSize) << smallSize << " of " << bigSize;
}

// Text from the user reaches the terminal escaped: a scenario's name or a path cannot clear the
// screen (ESC), ring the bell (C0) or start a control sequence (C1, U+009B).
TEST(NicsimCli, UserTextIsEscapedWhereverPeopleReadIt) {
    ScratchDir dir;
    auto s = nlohmann::json::parse(Shell(std::string(NICSIM_BINARY) + " show keepalive").out);
    s["name"] = "clear\x1b[2Jname";
    s["description"] = "bell\x07 and csi\xc2\x9b" "31m, caf\xc3\xa9";
    const std::string path = dir / "odd\x1b]0;title\x07.json";
    Write(path, s.dump());
    const std::string shown = (dir.path() / "odd\\x1b]0;title\\x07.json").string();
    s["events"][0]["oid"] = "OID_\x1b[5m";
    s["events"][0]["do"] = "query";
    const std::string bad = dir / "bad.json";
    Write(bad, s.dump());
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"run '" + path + "' --until 1",
         {"scenario \"clear\\x1b[2Jname\" (" + shown + ", sha256", "\n  bell\\x07 and csi\\u009b31m, caf\xc3\xa9\n"}},
        {"check '" + path + "'", {shown + ": ok (1 adapters"}},
        {"check " + bad, {"unknown OID \"OID_\\x1b[5m\""}},
        {"run 'no\x1bsuch'", {"cannot read no\\x1bsuch: no such file"}},
        {"show 'no\xc2\x9bsuch'", {"no embedded scenario \"no\\u009bsuch\""}},
        {"run --untl\x1b 1", {"--untl\\x1b"}},
    };
    for (const auto& [args, says] : cases) {
        SCOPED_TRACE(args);
        const Outcome o = Nicsim(args);
        EXPECT_TRUE(InOrder(o.out, says));
        EXPECT_EQ(o.out.find_first_of("\x1b\x07"), std::string::npos) << o.out;
        EXPECT_EQ(o.out.find("\xc2\x9b"), std::string::npos) << o.out;
    }
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
        "MiniportInitialize called",
        "PHYs found: PHY 0 (0x225410, ethernet), PHY 1 (0x6B90, phoneline), PHY 2 (0x6B70, other); chosen: PHY 0",
        "carrying frames on PHY 0 (0x225410, ethernet), 100 Mb/s full duplex",
        "media connect on PHY 0",
        "MiniportInitialize -> NDIS_STATUS_SUCCESS (called at 0.000000 s)",
        "ping 192.168.7.1 seq 4: reply",
        "medium eth0 down",
        "carrier lost on PHY 0 (0x225410, ethernet)",
        "traffic burst 1 (from 6.000 s, 1000 frames of 1000 bytes): 1000 offered, 1000 completed, 0 refused",
        "media disconnect",
        "media switched to PHY 1 (0x6B90, phoneline), 1 Mb/s half duplex",
        "media connect on PHY 1 (0x6B90, phoneline)",
        "ping 192.168.7.1 seq 1: reply",
        "ping 192.168.7.1 seq 3: reply",
        "medium phone down",
        "media disconnect",
        "media switched to PHY 0 (0x225410, ethernet), 100 Mb/s full duplex",
        "carrier lost on PHY 0",
        "carrier back on PHY 0",
        "media disconnect (repeated",
        "media connect on PHY 0 (0x225410, ethernet), 100 Mb/s full duplex",
        "ping 192.168.7.1 seq 2: reply",
        "MiniportSetInformation OID_GEN_CURRENT_PACKET_FILTER -> NDIS_STATUS_SUCCESS (4 bytes read)",
        "MiniportQueryInformation OID_GEN_LINK_SPEED -> NDIS_STATUS_SUCCESS: 100 Mb/s",
        "MiniportReset called",
        "MiniportReset -> NDIS_STATUS_SUCCESS (called at 53.000000 s)",
        "MiniportShutdown called",
        "MiniportShutdown",
        "MiniportHalt called",
        "MiniportHalt",
        "summary: 60.000 s of virtual time",
        "ping A -> 192.168.7.1, burst 1 from 4.000 s: 4 sent, 4 replies, 0 lost",
        "ping A -> 192.168.7.1, burst 2 from 25.000 s: 3 sent, 3 replies, 0 lost",
        "ping A -> 192.168.7.1, burst 3 from 49.000 s: 2 sent, 2 replies, 0 lost",
        "violations: 0, leaks: 0",
    };
    ASSERT_TRUE(InOrder(run.out, story));
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

// What a user debugs must show on the timeline: events that do nothing and why, faults armed and
// fired, each lost echo, query answers as values (and the size a short buffer needed), the
// driver's keep-alive frames; `check` warns of an event that a run never reaches.
// A read that fails while the adapter runs stops its receive path until a reset: the timeline
// says so, once. One that fails while a reset runs stops nothing: the reset reads again as it
// ends, and the next ping is answered.
TEST(NicsimCli, TimelineSaysOnceThatTheReceivePathStopped) {
    ScratchDir dir;
    Write(dir / "stop.json", R"({ "name": "stop", "duration_s": 20,
  "adapters": [ { "name": "A", "phys": [ { "address": 0, "id": "0x225410", "link": "eth0" } ] } ],
  "links": [ { "name": "eth0", "medium": "ethernet", "up": true,
               "peer": { "kind": "responder", "ip": "10.0.0.1" } } ],
  "events": [
    { "at": 0, "do": "initialize", "adapter": "A" },
    { "at": 2, "do": "ping", "adapter": "A", "ip": "10.0.0.2", "to": "10.0.0.1", "count": 1 },
    { "at": 6, "do": "reset", "adapter": "A" },
    { "at": 6.5, "do": "fault", "adapter": "A", "fault": "bulk-in-error", "count": 1 },
    { "at": 8, "do": "ping", "adapter": "A", "ip": "10.0.0.2", "to": "10.0.0.1", "count": 1 },
    { "at": 10, "do": "fault", "adapter": "A", "fault": "bulk-in-error", "count": 1 },
    { "at": 11, "do": "ping", "adapter": "A", "ip": "10.0.0.2", "to": "10.0.0.1", "count": 1 },
    { "at": 18, "do": "halt", "adapter": "A" } ] })");
    const Outcome o = Nicsim("run " + dir / "stop.json");
    ASSERT_EQ(o.status, 0) << o.out;
    const std::string stopped = "A   receive stopped: the bulk-in read failed (error); the adapter receives no frame "
                                "until a reset\n";
    EXPECT_TRUE(InOrder(o.out, {"ping 10.0.0.1 seq 1: reply in", "MiniportReset called",
                                "fault bulk-in-error armed (event 3)", "fault bulk-in-error fired\n",
                                "MiniportReset -> NDIS_STATUS_SUCCESS", "ping 10.0.0.1 seq 1: reply in",
                                "fault bulk-in-error armed (event 5)", "fault bulk-in-error fired\n", stopped,
                                "ping 10.0.0.1: no ARP reply (burst 3)", "MiniportHalt called"}));
    const size_t said = o.out.find(stopped);
    EXPECT_NE(said, std::string::npos) << o.out;
    EXPECT_EQ(said, o.out.rfind(stopped)) << "said when nothing stopped, or twice:\n" << o.out;
}

TEST(NicsimCli, TimelineShowsWhatDidNothingFaultsLostPingsAndDecodedAnswers) {
    const std::string path = TempPath("quiet_events.json");
    {
        std::ofstream f(path);
        f << R"({ "name": "quiet", "seed": 3, "duration_s": 20,
  "adapters": [ { "name": "A", "eeprom": "00:11:22:33:44:55",
                  "phys": [ { "address": 0, "id": "0x225410", "link": "eth0" } ] } ],
  "links": [ { "name": "eth0", "medium": "ethernet", "up": true,
               "peer": { "kind": "responder", "mac": "02:00:00:00:00:FE", "ip": "10.0.0.1" } } ],
  "events": [
    { "at": 0.5, "do": "reset", "adapter": "A" },
    { "at": 1, "do": "initialize", "adapter": "A" },
    { "at": 2, "do": "initialize", "adapter": "A" },
    { "at": 4, "do": "fault", "adapter": "A", "fault": "bulk-out-error", "count": 1 },
    { "at": 5, "do": "ping", "adapter": "A", "ip": "10.0.0.2", "to": "10.0.0.1", "count": 4, "interval": 1 },
    { "at": 5.2, "do": "ping", "adapter": "A", "ip": "10.0.0.2", "to": "10.0.0.9", "count": 1 },
    { "at": 5.6, "do": "receive", "link": "eth0", "frame": "001122334455020000000099080600010800060400020200000000990a0000090011223344550a000002000000000000000000000000000000000000" },
    { "at": 7.5, "do": "link", "link": "eth0", "up": false },
    { "at": 12, "do": "query", "adapter": "A", "oid": "OID_GEN_SUPPORTED_LIST" },
    { "at": 12.1, "do": "query", "adapter": "A", "oid": "OID_GEN_VENDOR_DESCRIPTION" },
    { "at": 12.2, "do": "query", "adapter": "A", "oid": "OID_802_3_CURRENT_ADDRESS" },
    { "at": 12.3, "do": "query", "adapter": "A", "oid": "OID_802_3_PERMANENT_ADDRESS", "length": 2 },
    { "at": 15, "do": "halt", "adapter": "A" },
    { "at": 16, "do": "query", "adapter": "A", "oid": "OID_GEN_LINK_SPEED" },
    { "at": 25, "do": "reset", "adapter": "A" } ] })";
    }
    const Outcome check = Nicsim("check " + path);
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("warning: events[14].at: 25 s is after duration_s (20 s)"), std::string::npos)
        << check.out;
    EXPECT_EQ(check.out.find("events[13]"), std::string::npos) << check.out;

    // A trace without payloads leaves the timeline its decoded answers.
    const std::string trace = TempPath("quiet_events.jsonl");
    const Outcome run = Nicsim("run " + path + " --trace-data none --trace " + trace);
    std::remove(path.c_str());
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(Read(trace).find("\"data\""), std::string::npos);
    EXPECT_NE(Read(trace).find("\"call\":\"MiniportQueryInformation\",\"status\":\"0x00000000\""), std::string::npos);
    std::remove(trace.c_str());
    const std::vector<std::string> story = {
        "event 0 (reset) skipped: adapter not initialised",
        "MiniportInitialize called",
        "MiniportInitialize -> NDIS_STATUS_SUCCESS",
        "event 2 (initialize) skipped: adapter already initialised",
        "fault bulk-out-error armed (event 3)",
        "fault bulk-out-error fired",
        "ping 10.0.0.1 seq 1: reply",
        // An echo that left but got no answer is lost; one the adapter could not send (no link)
        // is not, and says so.
        "ping 10.0.0.9 seq 1: lost, no reply within 1 s (burst 2)",
        "ping 10.0.0.1 seq 2: reply",
        "medium eth0 down",
        "carrier lost on PHY 0",
        "ping 10.0.0.1 seq 3: not sent within 1 s (burst 1)",
        "ping 10.0.0.1 seq 4: not sent within 1 s (burst 1)",
        "OID_GEN_SUPPORTED_LIST -> NDIS_STATUS_SUCCESS: 45 OIDs: OID_GEN_SUPPORTED_LIST OID_GEN_HARDWARE_STATUS",
        "OID_GEN_VENDOR_DESCRIPTION -> NDIS_STATUS_SUCCESS: \"Brellwick NDIS 5.0\"",
        "OID_802_3_CURRENT_ADDRESS -> NDIS_STATUS_SUCCESS: 00:11:22:33:44:55",
        "OID_802_3_PERMANENT_ADDRESS -> NDIS_STATUS_INVALID_LENGTH (needs 4 more bytes)",
        "MiniportHalt called",
        "MiniportHalt",
        "event 13 (query) skipped: adapter halted",
        "event 14 (reset) skipped: after the end of the run",
        "ping A -> 10.0.0.1, burst 1 from 5.000 s: 2 sent, 2 replies, 0 lost; 4 requested, 2 not sent within 1 s",
        "ping A -> 10.0.0.9, burst 2 from 5.200 s: 1 sent, 0 replies, 1 lost; 1 requested, 0 not sent within 1 s",
    };
    ASSERT_TRUE(InOrder(run.out, story));

    const Outcome keepalive = Nicsim("run keepalive");
    ASSERT_EQ(keepalive.status, 0) << keepalive.out;
    size_t frames = 0;
    for (size_t p = keepalive.out.find("keep-alive frame on phone"); p != std::string::npos;
         p = keepalive.out.find("keep-alive frame on phone", p + 1))
        ++frames;
    EXPECT_EQ(frames, 4u) << keepalive.out;  // every fourth second from 0.17 s to the halt at 18 s
}

}  // namespace
