// `nicsim report` and `nicsim run --html` as a user meets them, without a browser (the browser
// test is scripts/test-report.sh): what is refused and how, and the page holding the records of
// the trace it draws, counted from the trace itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host/trace/trace.h"
#include "tests/support/nicsim_process.h"

namespace {

using host::trace::Json;
using testing_support::Nicsim;
using testing_support::Outcome;

std::string TempPath(const std::string& name) { return testing_support::TempPath("report_", name); }

std::vector<Json> Lines(const std::string& path) {
    std::vector<Json> lines;
    std::istringstream in(testing_support::ReadFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
    return lines;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else out += c;
    }
    return out;
}

// The marks of a page by their data-kind; and, for the lanes the page's script bins, by their
// data-kind: how many lanes, how many things their series count (a pre-binned point counts what
// fell in it) and what their values add up to.
struct Marks {
    std::map<std::string, size_t> count, lanes;
    std::map<std::string, double> points, sum;
};

Marks MarksOf(const std::string& page) {
    Marks m;
    static const std::regex mark(R"re(<rect class="mark [^"]*" data-kind="([^"]+)")re");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), mark); it != std::sregex_iterator(); ++it)
        ++m.count[(*it)[1]];
    const std::string open = "<script type=\"application/json\" id=\"series\">";
    const size_t from = page.find(open);
    if (from == std::string::npos) return m;
    const size_t to = page.find("</script>", from);
    const Json data = Json::parse(page.substr(from + open.size(), to - from - open.size()));
    static const std::regex lane(R"re(<g class="lane series" data-lane="series" data-kind="([^"]+)" data-type="[^"]+" data-series="([^"]+)")re");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), lane); it != std::sregex_iterator(); ++it) {
        const std::string kind = (*it)[1], ids = (*it)[2];
        ++m.lanes[kind];
        std::istringstream list(ids);
        for (std::string id; std::getline(list, id, ',');) {
            const Json& s = data.at(std::stoul(id));
            if (s.contains("n"))
                for (const Json& n : s["n"]) m.points[kind] += n.get<double>();
            else
                m.points[kind] += static_cast<double>(s["t"].size());
            for (const char* field : {"sum", "v"})
                if (s.contains(field))
                    for (const Json& v : s[field]) m.sum[kind] += v.get<double>();
        }
    }
    return m;
}

TEST(NicsimReport, RefusesWhatIsNotARunTraceNamingTheLine) {
    const std::string trace = TempPath("short.jsonl"), out = TempPath("refused.html");
    ASSERT_EQ(Nicsim("run --quiet --until 2 --trace " + trace).status, 0);
    std::vector<std::string> lines;
    {
        std::ifstream in(trace);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
    }
    ASSERT_GT(lines.size(), 3u);
    auto write = [](const std::string& path, const std::string& text) { std::ofstream(path) << text; };
    const std::string bad = TempPath("bad.jsonl");
    struct Case {
        std::string name, text, says;
    };
    const std::vector<Case> cases = {
        {"a line that is not JSON", lines[0] + "\n" + lines[1] + "\n{\"t_us\": 5, \"ev\"\n", bad + ":3: not JSON"},
        {"no run record first", lines[1] + "\n" + lines[0] + "\n", bad + ":1: the trace does not start with its run record"},
        {"JSON that is no trace line", lines[0] + "\n[1, 2]\n", bad + ":2: not a trace line"},
        {"an empty file", "", bad + ": empty: no run record"},
        {"a scenario, not a trace", "{\n  \"adapters\": []\n}\n", bad + ":1: not JSON"},
    };
    for (const Case& c : cases) {
        write(bad, c.text);
        const Outcome o = Nicsim("report " + bad + " -o " + out);
        EXPECT_EQ(o.status, 2) << c.name << ": " << o.out;
        EXPECT_NE(o.out.find(c.says), std::string::npos) << c.name << ": " << o.out;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.name << ": a page was written";
        std::remove(out.c_str());
    }
    const Outcome missing = Nicsim("report " + TempPath("none.jsonl") + " -o " + out);
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.out.find("cannot read " + TempPath("none.jsonl")), std::string::npos) << missing.out;
    const Outcome directory = Nicsim("report " + std::filesystem::path(trace).parent_path().string() + " -o " + out);
    EXPECT_EQ(directory.status, 2);
    EXPECT_NE(directory.out.find("not a regular file"), std::string::npos) << directory.out;
    const Outcome noOutput = Nicsim("report " + trace);
    EXPECT_EQ(noOutput.status, 2) << noOutput.out;

    // An output that cannot be written: refused by `report` after reading, by `run --html`
    // before the run starts.
    const std::string nowhere = TempPath("no/such/dir/run.html");
    const Outcome report = Nicsim("report " + trace + " -o " + nowhere);
    EXPECT_EQ(report.status, 2);
    EXPECT_NE(report.out.find("cannot write " + nowhere), std::string::npos) << report.out;
    const Outcome run = Nicsim("run --until 2 --html " + nowhere);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("cannot write " + nowhere), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("summary:"), std::string::npos) << "the run went ahead: " << run.out;
    std::remove(trace.c_str());
    std::remove(bad.c_str());
}

TEST(NicsimReport, PageHoldsTheRecordsOfTheDefaultStory) {
    const std::string trace = TempPath("default.jsonl"), html = TempPath("run.html"), page = TempPath("report.html");
    const Outcome run = Nicsim("run --quiet --trace " + trace + " --html " + html);
    ASSERT_EQ(run.status, 0) << run.out;
    const Outcome report = Nicsim("report " + trace + " -o " + page);
    ASSERT_EQ(report.status, 0) << report.out;
    const std::string text = testing_support::ReadFile(page);
    // The run's own page and the one drawn from its trace are the same page.
    EXPECT_EQ(testing_support::ReadFile(html), text);
    const std::vector<Json> lines = Lines(trace);

    std::map<std::string, size_t> expected;
    double framesOut = 0, framesIn = 0, bytesOut = 0, bytesIn = 0;
    for (const Json& l : lines) {
        const std::string ev = l["ev"];
        if (ev == "link" || ev == "phy_link" || ev == "media" || ev == "ping" || ev == "phys" || ev == "fault" ||
            ev == "violation")
            ++expected[ev];
        if (ev == "indicate_status") ++expected["indication"];
        if (ev == "wire" && l["from"].get<std::string>().rfind("A:", 0) == 0) {
            ++framesOut;
            bytesOut += l["length"].get<double>();
        }
        if (ev == "indicate_receive") {
            ++framesIn;
            bytesIn += l["length"].get<double>();
        }
        if (ev == "miniport" && (l["call"] == "MiniportQueryInformation" || l["call"] == "MiniportSetInformation"))
            ++expected["request"];
        // Hover shows the record behind each point and segment as the trace has it.
        if (ev == "link" || ev == "phy_link" || ev == "media" || ev == "ping" || ev == "indicate_status") {
            EXPECT_NE(text.find(Escaped(l.dump())), std::string::npos) << l.dump();
        }
    }
    // Latencies pair lines by packet: each packet the protocol got back completes once, after a
    // MiniportSend call that pended it, and every handler line's call comes before its end.
    std::map<uint64_t, int> pended, completions;
    for (const Json& l : lines) {
        if (l.contains("called_us")) {
            EXPECT_LE(l["called_us"].get<uint64_t>(), l["t_us"].get<uint64_t>()) << l.dump();
        }
        if (l["ev"] == "miniport" && l["call"] == "MiniportSend" && l["status"] == "0x00000103") ++pended[l["packet"]];
        if (l["ev"] == "send_complete") ++completions[l["packet"]];
    }
    const Json& accounts = lines.back()["adapters"]["A"];
    EXPECT_EQ(completions.size(), accounts["sends_completed"].get<size_t>() + accounts["sends_failed"].get<size_t>());
    EXPECT_EQ(completions.size(), pended.size());
    for (const auto& [packet, n] : completions) EXPECT_TRUE(n == 1 && pended[packet] == 1) << "packet " << packet;

    Marks marks = MarksOf(text);
    for (const char* kind :
         {"link", "phy_link", "media", "ping", "phys", "indication", "fault", "violation", "request"})
        EXPECT_EQ(marks.count.count(kind) ? marks.count.at(kind) : 0, expected[kind]) << kind;
    EXPECT_EQ(expected["ping"], 9u);  // the story's three bursts: 4, 3 and 2 echoes
    EXPECT_EQ(expected["request"], 2u);  // the packet filter set, the link speed query
    EXPECT_EQ(marks.points["frames-out"], framesOut);
    EXPECT_EQ(marks.sum["frames-out"], bytesOut);
    EXPECT_EQ(marks.points["frames-in"], framesIn);
    EXPECT_EQ(marks.sum["frames-in"], bytesIn);
    // The story's three pipes: control, bulk in and bulk out; and one processor, so no lane for it.
    EXPECT_EQ(marks.lanes["usb-inflight"], 3u);
    EXPECT_EQ(marks.lanes.count("cpu"), 0u);
    EXPECT_EQ(marks.lanes.count("packets"), 0u) << "packets per frame only under the full-speed timing";
    // Bins, not a mark per frame: the trace is megabytes, the page a fraction of it; and it
    // names nothing to fetch.
    EXPECT_LT(text.size() * 10, testing_support::ReadFile(trace).size());
    EXPECT_EQ(text.find(" src="), std::string::npos);
    EXPECT_EQ(text.find(" href="), std::string::npos);
    for (const auto* p : {&trace, &html, &page}) std::remove(p->c_str());
}

// Under the full-speed timing the bus moves bulk data in 64-byte packets: each bulk line says
// how many, and the page draws them per frame.
TEST(NicsimReport, FullSpeedRunShowsBulkPacketsPerFrame) {
    const std::string trace = TempPath("fs.jsonl"), html = TempPath("fs.html");
    const Outcome run = Nicsim("run --quiet --until 10 --usb-timing full-speed --trace " + trace + " --html " + html);
    ASSERT_EQ(run.status, 0) << run.out;
    double packets = 0;
    size_t outs = 0;
    for (const Json& l : Lines(trace)) {
        if (l["ev"] != "bulk") continue;
        ASSERT_TRUE(l.contains("packets")) << l.dump();
        packets += l["packets"].get<double>();
        if (l["ep"] == "out") {
            // A write of N bytes is ceil(N / 64) packets, and at least one.
            const uint64_t length = l["length"];
            EXPECT_EQ(l["packets"].get<uint64_t>(), std::max<uint64_t>(1, (length + 63) / 64)) << l.dump();
            ++outs;
        }
    }
    EXPECT_GT(outs, 1000u);
    Marks marks = MarksOf(testing_support::ReadFile(html));
    EXPECT_EQ(marks.sum["packets"], packets);
    std::remove(trace.c_str());
    std::remove(html.c_str());
}

}  // namespace
