#include "tools/nicsim/run/verdict.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "tools/nicsim/cli/printable.h"
#include "tools/nicsim/cli/seed_json.h"

namespace nicsim {

using host::trace::Json;

std::string ShellCommand(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) {
        if (!out.empty()) out += ' ';
        const bool plain = !a.empty() && a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                             "0123456789_./:=@,+-%") == std::string::npos;
        if (plain) {
            out += a;
            continue;
        }
        out += '\'';
        for (char c : a) {
            if (c == '\'') out += "'\\''";
            else out += c;
        }
        out += '\'';
    }
    return out;
}

namespace {

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", s);
    return text;
}

}  // namespace

std::string XmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = Utf8Length(text, i);
        if (n == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r')) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
            ++i;
            continue;
        }
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            // Attribute values would fold these to spaces: kept as references.
            case '\n': out += "&#10;"; break;
            case '\r': out += "&#13;"; break;
            case '\t': out += "&#9;"; break;
            default: out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

Json VerdictJson(const Verdict& v) {
    Json violations = Json::array();
    for (const auto& x : v.violations)
        violations.push_back(Json{{"check", x.check}, {"detail", x.detail},
                                  {"adapter", x.adapter.empty() ? Json() : Json(x.adapter)}, {"t_us", x.t_us}});
    Json out{{"command", v.command},
             {"version", v.version},
             {"scenario", v.scenario},
             {"source", v.source},
             {"sha256", v.sha256},
             {"seed", SeedJson(v.seed)},
             {"cpus", v.cpus},
             {"usb_timing", v.usbTiming},
             {"virtual_s", v.virtualSeconds},
             {"wall_s", v.wallSeconds},
             {"counts", Json{{"violations", v.violations.size()}, {"leaks", v.leaks}, {"checks", v.checks}}},
             {"violations", violations},
             {"adapters", v.adapters}};
    Json errors = Json::array();
    for (const auto& e : v.errors) errors.push_back(Json{{"file", e.file}, {"error", e.message}});
    out["errors"] = errors;
    if (v.command == "run") {
        out["throughput"] = v.throughput;
        out["pings"] = v.pings;
    }
    out["replay"] = v.replay;
    return out;
}

// One testsuite for the run, one failing testcase per violation (CI systems show one failure per
// testcase, so several violations of one check would otherwise hide behind the first), and a
// single passing testcase when the verifier caught nothing. Testcases are named after their
// check and numbered within it, so the same fault keeps its name from one pipeline to the next.
std::string VerdictJUnit(const Verdict& v) {
    const std::string scenario = v.scenario.empty() ? "unnamed" : v.scenario;
    const std::string suite = "nicsim " + v.command + " " + scenario;
    const std::string classname = "nicsim." + v.command + "." + scenario;
    // A run whose outputs were lost did not pass, whatever the verifier saw: its testcases are
    // the violations and the lost files, and "no violations" stands alone only for a clean run.
    const size_t problems = v.violations.size() + v.errors.size();
    const std::string counts = "tests=\"" + std::to_string(std::max<size_t>(1, problems)) + "\" failures=\"" +
                               std::to_string(v.violations.size()) + "\" errors=\"" +
                               std::to_string(v.errors.size()) + "\"";
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    x += "<testsuites name=\"nicsim\" " + counts + " time=\"" + Seconds(v.wallSeconds) + "\">\n";
    x += "  <testsuite name=\"" + XmlEscape(suite) + "\" " + counts + " skipped=\"0\" time=\"" +
         Seconds(v.wallSeconds) + "\">\n";
    x += "    <properties>\n";
    // What produced the run first, as the trace's run record and --json say it; a bridge run
    // without a scenario file has no source or SHA-256, and its report no empty property for them.
    const std::pair<const char*, std::string> properties[] = {
        {"version", v.version},       {"source", v.source},
        {"sha256", v.sha256},
        {"scenario", scenario},       {"seed", std::to_string(v.seed)},
        {"cpus", std::to_string(v.cpus)}, {"usb_timing", v.usbTiming},
        {"virtual_s", Seconds(v.virtualSeconds)}, {"leaks", std::to_string(v.leaks)},
        {"checks", std::to_string(v.checks)},
        {"replay", v.replay}};
    for (const auto& [name, value] : properties)
        if (!value.empty())
            x += "      <property name=\"" + std::string(name) + "\" value=\"" + XmlEscape(value) + "\"/>\n";
    x += "    </properties>\n";
    if (problems == 0) {
        x += "    <testcase classname=\"" + XmlEscape(classname) + "\" name=\"no violations\" time=\"" +
             Seconds(v.wallSeconds) + "\"/>\n";
    }
    std::map<std::string, unsigned> seen;
    for (const auto& f : v.violations) {
        const unsigned n = ++seen[f.check];
        const std::string message = f.check + ": " + f.detail;
        std::string body = message + "\n";
        if (!f.adapter.empty()) body += "adapter: " + f.adapter + "\n";
        body += "at: " + Seconds(f.t_us / 1e6) + " s of virtual time\n";
        body += "replay with: " + v.replay + "\n";
        x += "    <testcase classname=\"" + XmlEscape(classname) + "\" name=\"" +
             XmlEscape(f.check + " #" + std::to_string(n)) + "\" time=\"0\">\n";
        x += "      <failure type=\"" + XmlEscape(f.check) + "\" message=\"" + XmlEscape(message) + "\">" +
             XmlEscape(body) + "</failure>\n";
        x += "    </testcase>\n";
    }
    for (const auto& e : v.errors) {
        const std::string body = e.message + "\n";
        x += "    <testcase classname=\"" + XmlEscape(classname) + "\" name=\"" + XmlEscape("output " + e.file) +
             "\" time=\"0\">\n";
        x += "      <error type=\"output\" message=\"" + XmlEscape(e.message) + "\">" + XmlEscape(body) + "</error>\n";
        x += "    </testcase>\n";
    }
    x += "  </testsuite>\n</testsuites>\n";
    return x;
}

// The sweep's testcases are named after their seed alone ("seed 7"), so a seed keeps its name from
// one pipeline to the next even when the first thing to go wrong in it changes.
std::string SweepJUnit(const std::vector<Json>& failures, const Json& summary) {
    const auto text = [](const Json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); };
    const std::string scenario = text(summary.value("scenario", Json("unnamed")));
    const std::string range = text(summary["first"]) + ".." + text(summary["last"]);
    const std::string classname = "nicsim.explore." + scenario;
    const bool complete = summary.value("complete", false);
    const size_t tests = std::max<size_t>(1, failures.size()) + (complete ? 0 : 1);
    const std::string wall = Seconds(summary.value("wall_s", 0.0));
    const std::string counts = "tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures.size()) +
                               "\" errors=\"0\" skipped=\"" + (complete ? "0" : "1") + "\" time=\"" + wall + "\"";
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    x += "<testsuites name=\"nicsim\" " + counts + ">\n";
    x += "  <testsuite name=\"" + XmlEscape("nicsim explore " + scenario + " " + range) + "\" " + counts + ">\n";
    x += "    <properties>\n";
    for (const char* name : {"scenario", "source", "first", "last", "shard", "seeds", "complete", "failures",
                             "violations", "events", "checks", "cpus", "usb_timing", "until_s", "time_limit_s",
                             "stopped_by_time_limit", "jobs"})
        if (summary.contains(name) && !summary[name].is_null())
            x += "      <property name=\"" + std::string(name) + "\" value=\"" + XmlEscape(text(summary[name])) +
                 "\"/>\n";
    x += "    </properties>\n";
    const std::string seeds = text(summary.value("seeds", Json(0)));
    if (failures.empty())
        x += "    <testcase classname=\"" + XmlEscape(classname) + "\" name=\"no failing seed\" time=\"" + wall +
             "\"/>\n";
    for (const Json& f : failures) {
        const std::string kind = text(f.value("kind", Json("unknown")));
        const std::string message = kind + ": " + text(f.value("detail", Json("")));
        std::string body = message + "\nscenario: " + text(f.value("scenario", Json(""))) + "\n";
        if (f.contains("adapter") && !f["adapter"].is_null()) body += "adapter: " + text(f["adapter"]) + "\n";
        if (f.contains("t_us") && f["t_us"].is_number()) body += "at: " + Seconds(f["t_us"].get<double>() / 1e6) +
                                                                   " s of virtual time\n";
        body += "replay with: " + text(f.value("replay", Json(""))) + "\n";
        if (f.contains("minimised") && f["minimised"].is_object())
            body += "minimised to " + text(f["minimised"]["events"]) + " events: " + text(f["minimised"]["replay"]) + "\n";
        x += "    <testcase classname=\"" + XmlEscape(classname) + "\" name=\"seed " + text(f["seed"]) +
             "\" time=\"0\">\n";
        x += "      <failure type=\"" + XmlEscape(kind) + "\" message=\"" + XmlEscape(message) + "\">" +
             XmlEscape(body) + "</failure>\n";
        x += "    </testcase>\n";
    }
    if (!complete) {
        std::string why = "not every seed of " + range + " ran: " + seeds + " did";
        if (summary.value("stopped_by_time_limit", false)) why += "; the time limit stopped the sweep";
        if (summary.contains("shard") && summary["shard"].is_string()) why += "; shard " + text(summary["shard"]);
        x += "    <testcase classname=\"" + XmlEscape(classname) + "\" name=\"seeds not run\" time=\"0\">\n";
        x += "      <skipped message=\"" + XmlEscape(why) + "\"/>\n";
        x += "    </testcase>\n";
    }
    x += "  </testsuite>\n</testsuites>\n";
    return x;
}

}  // namespace nicsim
