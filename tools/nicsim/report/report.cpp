#include "tools/nicsim/report/report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <tuple>

#include "tools/nicsim/scenario/oids.h"
#include "tools/nicsim/report/report_assets.h"
#include "tools/nicsim/cli/report_file.h"
#include "tools/nicsim/cli/seed_json.h"

namespace nicsim {

namespace {

using host::trace::Json;

// The page's geometry, in SVG user units: lane names on the left, the time axis across the rest.
constexpr double kWidth = 1400, kLeft = 250, kRight = 20, kPlot = kWidth - kLeft - kRight;
constexpr double kSegmentHeight = 18, kBinsHeight = 46, kPointHeight = 18, kGap = 6;

std::string Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// A record as hover shows it: long strings (a frame's hex bytes) cut, so the page stays small.
std::string Brief(const Json& line) {
    Json copy = line;
    for (auto& [key, value] : copy.items())
        if (value.is_string() && value.get_ref<const std::string&>().size() > 80)
            value = value.get<std::string>().substr(0, 64) + "... (" +
                    std::to_string(value.get_ref<const std::string&>().size()) + " chars)";
    return copy.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Seconds(uint64_t us) {
    char text[40];
    std::snprintf(text, sizeof text, "%llu.%06llu s", static_cast<unsigned long long>(us / 1000000),
                  static_cast<unsigned long long>(us % 1000000));
    return text;
}

std::string Number(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

double X(uint64_t t, uint64_t end) { return kLeft + static_cast<double>(t) * kPlot / static_cast<double>(end); }

// What a processor took a task up as, in the few groups the page tells apart: the per-frame work
// (USB completions, protocol sends, returned packets), timers, and the handlers NDIS called.
std::string ContextClass(const std::string& context) {
    if (context == "usb completion") return "ctx-usb";
    if (context == "protocol send") return "ctx-send";
    if (context == "timer") return "ctx-timer";
    if (context == "MiniportReturnPacket") return "ctx-return";
    return "ctx-handler";
}

// Every mark and bin the page can draw, by "kind class", with what the legend calls it (a key
// missing here would be named by itself).
const std::map<std::string, std::string>& LegendNames() {
    static const std::map<std::string, std::string> names{
        {"link up", "medium up"},
        {"link down", "medium down"},
        {"phy_link up", "PHY link up"},
        {"phy_link down", "PHY link down"},
        {"media carrier phy0", "carrier on PHY 0"},
        {"media carrier phy1", "carrier on PHY 1"},
        {"media carrier phy2", "carrier on PHY 2"},
        {"media carrier phy3", "carrier on PHY 3"},
        {"media carrier phy4", "carrier on PHY 4"},
        {"media carrier phy5", "carrier on PHY 5"},
        {"media carrier phy6", "carrier on PHY 6"},
        {"media carrier phy7", "carrier on PHY 7"},
        {"media down", "no carrier"},
        {"inferred", "faded: the state before the first change, implied by it"},
        {"phys phys", "PHYs found at start-up"},
        {"indication connect", "media connect indicated"},
        {"indication disconnect", "media disconnect indicated"},
        {"indication status", "other status indicated"},
        {"ping reply", "echo reply (bar: its round trip)"},
        {"ping lost", "echo lost: crossed the medium, no reply within 1 s"},
        {"ping not-sent", "echo not sent: had not crossed the medium 1 s after it was handed over"},
        {"ping error", "echo not sent: ARP got no answer"},
        {"fault armed", "fault plan armed (labelled with its fault)"},
        {"fault fired", "fault plan hit a request or allocation (labelled with its fault)"},
        {"violation violation", "verifier violation"},
        {"request ok", "query or set that succeeded (bar: called to completed)"},
        {"request failed", "query or set that failed (bar: called to completed)"},
        {"frames-out bin", "frames out: per second over the bin (bars)"},
        {"frames-in bin", "frames in (indicated): per second over the bin (bars)"},
        {"bytes line", "bytes per second over the bin (line, on its own scale)"},
        {"send-latency bin", "send to complete: the longest in the bin"},
        {"usb-inflight bin", "USB requests in flight on the pipe: the most at any instant of the bin"},
        {"packets bin", "bulk packets per 1 ms bus frame over the bin"},
        {"cpu ctx-usb", "tasks taken up: USB completions"},
        {"cpu ctx-send", "tasks taken up: protocol sends"},
        {"cpu ctx-timer", "tasks taken up: timers"},
        {"cpu ctx-return", "tasks taken up: MiniportReturnPacket"},
        {"cpu ctx-handler", "tasks taken up: DriverEntry and NDIS handlers"},
    };
    return names;
}

// Whether a lane's marks are segments (a state that lasts until the next change) or points.
bool SegmentKind(const std::string& kind) { return kind == "link" || kind == "phy_link" || kind == "media"; }

// A number for the page's data: integers without a decimal point, which most values are.
Json Value(double v) {
    if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 9e15) return static_cast<int64_t>(v);
    return v;
}

// JSON text that may stand inside a <script> element: "</" cannot end it.
std::string ScriptSafe(const std::string& json) {
    std::string out;
    out.reserve(json.size());
    for (size_t i = 0; i < json.size(); ++i) {
        out += json[i];
        if (json[i] == '<' && i + 1 < json.size() && json[i + 1] == '/') out += "\\";
    }
    return out;
}

}  // namespace

std::vector<std::string> RunReport::Kinds() {
    return {"run",     "link",      "phy_link",      "phys",   "media",   "indicate_status",
            "indicate_receive", "wire", "control",   "bulk",   "ping",    "fault",
            "violation", "miniport", std::string(host::trace::Trace::kMiniportSend), "send_complete",
            "switch",  "preempt",   "summary"};
}

RunReport::Adapter& RunReport::AdapterFor(const std::string& name) {
    auto it = adapters_.find(name);
    if (it != adapters_.end()) return it->second;
    order_.push_back(name);
    Adapter& a = adapters_[name];
    for (Lane* lane : {&a.active, &a.indications, &a.requests, &a.pings, &a.faults}) lane->adapter = name;
    a.active.name = name + " active PHY";
    a.indications.name = name + " media indications";
    a.requests.name = name + " queries and sets";
    a.pings.name = name + " pings (round trip)";
    a.faults.name = name + " faults, violations";
    return a;
}

RunReport::Lane& RunReport::MediumFor(const std::string& name) {
    auto it = media_.find(name);
    if (it != media_.end()) return it->second;
    mediaOrder_.push_back(name);
    Lane& lane = media_[name];
    lane.name = "medium " + name;
    return lane;
}

void RunReport::Point(Lane& lane, Mark m) {
    if (lane.marks.size() >= kMaxPointMarks) {
        ++lane.dropped;
        return;
    }
    lane.marks.push_back(std::move(m));
}

void RunReport::Segment(Lane& lane, uint64_t t, std::optional<Mark> next) {
    if (lane.open) lane.marks.back().t1 = t;
    lane.open = false;
    if (!next) return;
    if (lane.marks.size() >= kMaxPointMarks) {
        ++lane.dropped;
        return;
    }
    lane.marks.push_back(std::move(*next));
    lane.open = true;
}

bool RunReport::OnLine(const Json& line, std::string& error) {
    if (!line.is_object() || !line.contains("ev") || !line["ev"].is_string() || !line.contains("t_us") ||
        !line["t_us"].is_number_unsigned()) {
        error = "not a trace line (a JSON object with \"ev\" and \"t_us\")";
        return false;
    }
    const std::string ev = line["ev"].get<std::string>();
    const uint64_t t = line["t_us"].get<uint64_t>();
    if (!run_) {
        if (ev != "run") {
            error = "the trace does not start with its run record (this line is \"" + ev +
                    "\"); `nicsim run --trace` writes one first";
            return false;
        }
        run_ = line;
        endUs_ = std::max<uint64_t>(line.value("until_us", uint64_t{0}), 1);
        fullSpeed_ = line.value("usb_timing", "") == "full-speed";
        return true;
    }
    endUs_ = std::max(endUs_, t);
    const std::string adapter = line.value("adapter", "");
    if (ev == "link") {
        const bool up = line.value("up", false);
        Lane& lane = MediumFor(line.value("link", ""));
        // A link line is a change: before the first one the medium was in the other state.
        if (lane.marks.empty() && t > 0)
            Segment(lane, 0,
                    Mark{0, 0, "link", up ? "down" : "up", up ? "down" : "up",
                         std::string("before its first change, the medium was ") + (up ? "down" : "up"), true});
        Segment(lane, t, Mark{t, t, "link", up ? "up" : "down", up ? "up" : "down", Brief(line)});
    } else if (ev == "wire") {
        const std::string from = line.value("from", "");
        const size_t colon = from.find(':');
        if (colon != std::string::npos) {
            Series& out = AdapterFor(from.substr(0, colon)).out;
            out.t.push_back(t);
            out.v.push_back(line.value("length", 0.0));
        }
    } else if (ev == "switch" || ev == "preempt") {
        // Processors are the run's, not an adapter's (a task of one adapter may interrupt another's).
        const int cpu = line.value("cpu", 0);
        if (ev == "preempt") {
            ++preempts_[cpu];
        } else {
            Series& s = cpus_[cpu][ContextClass(line.value("context", ""))];
            s.t.push_back(t);
        }
    } else if (ev == "fault") {
        // Labelled with the fault, and an allocation's kind.
        std::string label = line.value("fault", "");
        if (line.contains("kind") && line["kind"].is_string()) label += " (" + line["kind"].get<std::string>() + ")";
        Point(adapter.empty() ? runFaults_ : AdapterFor(adapter).faults,
              Mark{t, t, "fault", line.value("state", ""), label, Brief(line)});
    } else if (ev == "violation") {
        Point(adapter.empty() ? runFaults_ : AdapterFor(adapter).faults,
              Mark{t, t, "violation", "violation", line.value("check", ""), Brief(line)});
    } else if (adapter.empty()) {
        if (ev == "summary") {
            summary_ = line;
        }
        return true;
    } else if (ev == "phy_link") {
        Adapter& a = AdapterFor(adapter);
        const int phy = line.value("phy", -1);
        Lane& lane = a.phys[phy];
        if (lane.name.empty()) {
            lane.name = adapter + " PHY " + std::to_string(phy) + " link";
            lane.adapter = adapter;
            if (line.contains("link") && line["link"].is_string()) lane.name += " (" + line["link"].get<std::string>() + ")";
        }
        const bool up = line.value("up", false);
        Segment(lane, t, Mark{t, t, "phy_link", up ? "up" : "down", up ? "up" : "down", Brief(line)});
    } else if (ev == "media") {
        Adapter& a = AdapterFor(adapter);
        if (line.value("carrier", false)) {
            const std::string label = "PHY " + std::to_string(line.value("phy", 0)) + " " +
                                      line.value("medium", "") + " " + std::to_string(line.value("speed_mbps", 0)) +
                                      (line.value("full_duplex", false) ? " Mb/s full" : " Mb/s half");
            Segment(a.active, t,
                    Mark{t, t, "media", "carrier phy" + std::to_string(line.value("phy", 0) % 8), label, Brief(line)});
        } else {
            Segment(a.active, t, Mark{t, t, "media", "down", "no carrier", Brief(line)});
        }
    } else if (ev == "phys") {
        Point(AdapterFor(adapter).indications, Mark{t, t, "phys", "phys", "", Brief(line)});
    } else if (ev == "indicate_status") {
        const std::string status = line.value("status", "");
        const char* cls = status == "0x4001000B" ? "connect" : status == "0x4001000C" ? "disconnect" : "status";
        Point(AdapterFor(adapter).indications, Mark{t, t, "indication", cls, "", Brief(line)});
    } else if (ev == "indicate_receive") {
        Series& in = AdapterFor(adapter).in;
        in.t.push_back(t);
        in.v.push_back(line.value("length", 0.0));
    } else if (ev == "control" || ev == "bulk") {
        Adapter& a = AdapterFor(adapter);
        Pipe& pipe = a.pipes[ev == "control" ? "control" : "bulk-" + line.value("ep", std::string("?"))];
        ++pipe.requests;
        const uint64_t submitted = line.value("submitted_us", t);
        pipe.steps.emplace_back(std::min(submitted, t), +1);
        pipe.steps.emplace_back(t, -1);
        if (ev == "bulk" && line.contains("packets")) {
            a.packets.t.push_back(t);
            a.packets.v.push_back(line.value("packets", 0.0));
        }
    } else if (ev == "miniport") {
        const std::string call = line.value("call", "");
        Adapter& a = AdapterFor(adapter);
        if (call == "MiniportSend" && line.contains("packet")) {
            // Pending: the completion comes (or came, within the call) as send_complete. Resources:
            // the miniport did not take the packet, which NDIS offers again later. Any other status
            // ended the send at the return.
            const uint64_t packet = line.value("packet", uint64_t{0}), called = line.value("called_us", t);
            const std::string status = line.value("status", "");
            if (status == "0xC000009A") {
                // Not the send this packet's completion belongs to.
            } else if (status != "0x00000103") {
                a.sendLatency.t.push_back(t);
                a.sendLatency.v.push_back(static_cast<double>(t - std::min(called, t)));
            } else if (auto done = a.completed.find(packet); done != a.completed.end()) {
                a.sendLatency.t.push_back(done->second);
                a.sendLatency.v.push_back(static_cast<double>(done->second - std::min(called, done->second)));
                a.completed.erase(done);
            } else {
                a.sent[packet] = called;
            }
        } else if (call == "MiniportQueryInformation" || call == "MiniportSetInformation") {
            // A trace of an older nicsim has no called_us: the request shows at its end.
            const uint64_t called = std::min(line.value("called_us", t), t);
            const std::string status = line.value("status", "");
            const std::string oid = line.value("oid", "");
            const uint32_t number = static_cast<uint32_t>(std::strtoul(oid.c_str(), nullptr, 16));
            Point(a.requests,
                  Mark{called, t, "request", status == "0x00000000" ? "ok" : "failed", "",
                       std::string(call == "MiniportSetInformation" ? "set " : "query ") + OidName(number) +
                           ", status " + status + ", " + std::to_string(t - called) + " us from call to completion\n" +
                           Brief(line)});
        }
    } else if (ev == "send_complete") {
        if (!line.contains("packet")) return true;
        Adapter& a = AdapterFor(adapter);
        const uint64_t packet = line.value("packet", uint64_t{0});
        if (auto s = a.sent.find(packet); s != a.sent.end()) {
            a.sendLatency.t.push_back(t);
            a.sendLatency.v.push_back(static_cast<double>(t - std::min(s->second, t)));
            a.sent.erase(s);
        } else {
            a.completed[packet] = t;
        }
    } else if (ev == "ping") {
        Adapter& a = AdapterFor(adapter);
        if (line.contains("rtt_us")) {
            const uint64_t rtt = line.value("rtt_us", uint64_t{0});
            Point(a.pings, Mark{t - std::min(rtt, t), t, "ping", "reply", "", Brief(line)});
        } else {
            // An echo that never crossed the medium is the adapter's doing, not the network's.
            const char* cls = line.value("lost", false)       ? "lost"
                              : line.value("not_sent", false) ? "not-sent"
                                                              : "error";
            Point(a.pings, Mark{t, t, "ping", cls, "", Brief(line)});
        }
    }
    return true;
}

std::string RunReport::MarksLane(const Lane& lane, double& y) const {
    if (lane.marks.empty() && lane.dropped == 0) return "";
    const bool segments = !lane.marks.empty() && SegmentKind(lane.marks.front().kind);
    const double h = segments ? kSegmentHeight : kPointHeight;
    std::string out = "<g class=\"lane\" data-lane=\"marks\"><rect class=\"lane-bg\" x=\"" + Number(kLeft) +
                      "\" y=\"" + Number(y) + "\" width=\"" + Number(kPlot) + "\" height=\"" + Number(h) + "\"/>";
    const size_t drawn = static_cast<size_t>(
        std::count_if(lane.marks.begin(), lane.marks.end(), [](const Mark& m) { return !m.inferred; }));
    std::string name = lane.name + " (" + std::to_string(drawn) + ")";
    if (lane.dropped) name += ", " + std::to_string(lane.dropped) + " more not drawn";
    out += "<text class=\"lname\" x=\"" + Number(kLeft - 6) + "\" y=\"" + Number(y + h - 5) + "\">" +
           Escape(name) + "</text><g clip-path=\"url(#plotclip)\">";
    for (size_t i = 0; i < lane.marks.size(); ++i) {
        const Mark& m = lane.marks[i];
        const bool segment = SegmentKind(m.kind);
        // A segment still running at the end of the trace lasts to the end of the run.
        const uint64_t t1 = segment && i + 1 == lane.marks.size() && lane.open ? endUs_ : m.t1;
        const bool interval = segment || m.t1 > m.t0;
        double x = X(m.t0, endUs_), w = interval ? std::max(1.0, X(t1, endUs_) - x) : 6;
        double my = y, mh = h;
        if (!interval && (m.kind == "fault" || m.kind == "violation")) w = 3;
        if ((m.kind == "ping" || m.kind == "request") && interval) {
            my = y + 4;
            mh = h - 8;
        }
        if (!interval) x -= w / 2;
        out += std::string("<rect class=\"") + (m.inferred ? "seg inferred " : "mark ") + m.kind + " " + m.cls +
               "\"" + (m.inferred ? "" : " data-kind=\"" + m.kind + "\" data-cls=\"" + m.cls + "\"") +
               (lane.adapter.empty() ? "" : " data-adapter=\"" + Escape(lane.adapter) + "\"") +
               (m.label.empty() || segment ? "" : " data-label=\"" + Escape(m.label) + "\"") + " data-t0=\"" +
               std::to_string(m.t0) + "\"" + (interval ? " data-t1=\"" + std::to_string(t1) + "\"" : "") +
               " x=\"" + Number(x) + "\" y=\"" + Number(my) + "\" width=\"" + Number(w) + "\" height=\"" +
               Number(mh) + "\"><title>" + Escape(Seconds(m.t0) + (interval ? " to " + Seconds(t1) : "") + "\n" +
                                                  m.title) +
               "</title></rect>";
        if (m.label.empty()) continue;
        if (segment) {
            out += "<text class=\"slabel\" data-t0=\"" + std::to_string(m.t0) + "\" data-t1=\"" + std::to_string(t1) +
                   "\" x=\"" + Number(x + 3) + "\" y=\"" + Number(y + h - 5) + "\">" + Escape(m.label) + "</text>";
        } else {
            // Beside its point, in the room up to the next mark of the lane.
            const uint64_t room = i + 1 < lane.marks.size() ? std::max(lane.marks[i + 1].t0, m.t0) : endUs_;
            out += "<text class=\"plabel\" data-t0=\"" + std::to_string(m.t0) + "\" data-t1=\"" + std::to_string(room) +
                   "\" x=\"" + Number(x + 3) + "\" y=\"" + Number(y + h - 5) + "\">" + Escape(m.label) + "</text>";
        }
    }
    out += "</g></g>\n";
    y += h + kGap;
    return out;
}

std::string RunReport::SeriesLane(const std::string& adapter, const std::string& name, const std::string& kind,
                                  const std::string& type, const std::string& series, const std::string& extra,
                                  double& y) const {
    std::string out = "<g class=\"lane series\" data-lane=\"series\" data-kind=\"" + kind + "\" data-type=\"" + type +
                      "\" data-series=\"" + series + "\"" +
                      (adapter.empty() ? "" : " data-adapter=\"" + Escape(adapter) + "\"") + extra + " data-y=\"" +
                      Number(y) + "\" data-h=\"" + Number(kBinsHeight) + "\"><rect class=\"lane-bg\" x=\"" +
                      Number(kLeft) + "\" y=\"" + Number(y) + "\" width=\"" + Number(kPlot) + "\" height=\"" +
                      Number(kBinsHeight) + "\"/>";
    out += "<text class=\"lname\" x=\"" + Number(kLeft - 6) + "\" y=\"" + Number(y + kBinsHeight / 2) + "\">" +
           Escape(name) + "</text><text class=\"lname small peak\" x=\"" + Number(kLeft - 6) + "\" y=\"" +
           Number(y + kBinsHeight / 2 + 13) + "\"></text><g class=\"bins\" clip-path=\"url(#plotclip)\"></g></g>\n";
    y += kBinsHeight + kGap;
    return out;
}

int RunReport::AddSeries(Json& data, const Series& s, const std::string& type) const {
    // Points in time order (a send completed within its call is paired when the call returns).
    std::vector<size_t> order(s.t.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return s.t[a] < s.t[b]; });
    const bool valued = !s.v.empty();
    // The finest power of ten that keeps the series within kMaxSeriesPoints points; 1 keeps it whole.
    uint64_t base = 1;
    for (;; base *= 10) {
        size_t bins = 0;
        uint64_t last = UINT64_MAX;
        for (size_t i : order)
            if (s.t[i] / base != last) {
                last = s.t[i] / base;
                ++bins;
            }
        if (bins <= kMaxSeriesPoints) break;
    }
    Json out{{"base", base}};
    Json t = Json::array();
    uint64_t previous = 0;
    if (base == 1) {
        // Times as differences from the one before: most are a few digits.
        Json v = Json::array();
        for (size_t i : order) {
            t.push_back(s.t[i] - previous);
            previous = s.t[i];
            if (valued) v.push_back(Value(s.v[i]));
        }
        out["t"] = std::move(t);
        if (valued) out[type == "sum" ? "sum" : "v"] = std::move(v);
    } else {
        // One point per base bin, at its start: how many fell in it and what they add up to, or
        // the least and most (and, for a level, where it stood at the end of the bin).
        Json n = Json::array(), sum = Json::array(), mn = Json::array(), mx = Json::array(), after = Json::array();
        for (size_t k = 0; k < order.size();) {
            const uint64_t bin = s.t[order[k]] / base;
            double count = 0, total = 0, least = INFINITY, most = -INFINITY, last = 0;
            for (; k < order.size() && s.t[order[k]] / base == bin; ++k) {
                const double v = valued ? s.v[order[k]] : 0;
                ++count;
                total += v;
                least = std::min(least, v);
                most = std::max(most, v);
                last = v;
            }
            t.push_back(bin * base - previous);
            previous = bin * base;
            n.push_back(Value(count));
            sum.push_back(Value(total));
            mn.push_back(Value(least));
            mx.push_back(Value(most));
            after.push_back(Value(last));
        }
        out["t"] = std::move(t);
        if (type != "level") out["n"] = std::move(n);
        if (type == "sum" || type == "stats") out["sum"] = std::move(sum);
        if (type == "stats") out["min"] = std::move(mn);
        if (type == "stats" || type == "level") out["max"] = std::move(mx);
        if (type == "level") out["after"] = std::move(after);
    }
    data.push_back(std::move(out));
    return static_cast<int>(data.size() - 1);
}

std::string RunReport::Legend(const std::vector<std::pair<std::string, std::string>>& keys) const {
    std::string out = "<div id=\"legend\">";
    for (const auto& [key, name] : keys) {
        const std::string cls = key == "inferred" ? "seg inferred up" : key;
        const std::string swatch =
            key == "bytes line"
                ? "<line class=\"swatch bytes line\" x1=\"0\" y1=\"9\" x2=\"16\" y2=\"3\"/>"
                : "<rect class=\"swatch " + cls + "\" x=\"1\" y=\"1\" width=\"14\" height=\"10\"/>";
        out += "<span class=\"key\" data-key=\"" + key + "\"><svg width=\"16\" height=\"12\">" + swatch + "</svg>" +
               Escape(name) + "</span>";
    }
    out += "</div>\n";
    return out;
}

std::string RunReport::Html() const {
    const Json& run = *run_;
    Json data = Json::array();
    // What the page draws, by legend key, in the order the lanes first draw it.
    struct Keys {
        std::vector<std::string> order;
        std::set<std::string> seen;
        void insert(const std::string& key) {
            if (seen.insert(key).second) order.push_back(key);
        }
    } keys;
    const auto note = [&](const Lane& lane) {
        for (const Mark& m : lane.marks) keys.insert(m.inferred ? "inferred" : m.kind + " " + m.cls);
    };
    double y = 34;
    std::string lanes;
    for (const std::string& name : mediaOrder_) {
        note(media_.at(name));
        lanes += MarksLane(media_.at(name), y);
    }
    const auto ids = [](std::initializer_list<int> list) {
        std::string out;
        for (int id : list) out += (out.empty() ? "" : ",") + std::to_string(id);
        return out;
    };
    for (const std::string& name : order_) {
        const Adapter& a = adapters_.at(name);
        for (const auto& [phy, lane] : a.phys) {
            note(lane);
            lanes += MarksLane(lane, y);
        }
        for (const Lane* lane : {&a.active, &a.indications}) {
            note(*lane);
            lanes += MarksLane(*lane, y);
        }
        for (const auto& [series, kind, what] : {std::tuple{&a.out, "frames-out", "frames out"},
                                                 std::tuple{&a.in, "frames-in", "frames in"}}) {
            if (series->Count() == 0) continue;
            double bytes = 0;
            for (double v : series->v) bytes += v;
            keys.insert(std::string(kind) + " bin");
            keys.insert("bytes line");
            lanes += SeriesLane(name, name + " " + what + " (" + std::to_string(series->Count()) + ", " +
                                          std::to_string(static_cast<uint64_t>(bytes)) + " bytes)",
                                kind, "traffic", ids({AddSeries(data, *series, "sum")}), "", y);
        }
        if (a.sendLatency.Count() > 0) {
            // The run's distribution in the lane's name; the bins show when it was long.
            std::vector<double> v = a.sendLatency.v;
            std::sort(v.begin(), v.end());
            const auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))]; };
            keys.insert("send-latency bin");
            lanes += SeriesLane(name, name + " send to complete (" + std::to_string(v.size()) + " sends)",
                                "send-latency", "latency", ids({AddSeries(data, a.sendLatency, "stats")}),
                                " data-note=\"median " + Number(at(0.5)) + ", 99% " + Number(at(0.99)) + ", max " +
                                    Number(v.back()) + "\"",
                                y);
        }
        note(a.requests);
        lanes += MarksLane(a.requests, y);
        // The pipes the trace used, the control pipe first.
        std::vector<std::string> pipes;
        for (const auto& [pipeName, pipe] : a.pipes) pipes.push_back(pipeName);
        std::stable_partition(pipes.begin(), pipes.end(), [](const std::string& p) { return p == "control"; });
        for (const std::string& pipeName : pipes) {
            auto it = a.pipes.find(pipeName);
            // The pipe's level of requests in flight after each instant something happened on it.
            // A request that completes at the instant it was submitted was never in flight.
            std::vector<std::pair<uint64_t, int>> steps = it->second.steps;
            std::sort(steps.begin(), steps.end());
            Series level;
            int current = 0, most = 0;
            for (size_t i = 0; i < steps.size();) {
                const uint64_t t = steps[i].first;
                while (i < steps.size() && steps[i].first == t) current += steps[i++].second;
                level.t.push_back(t);
                level.v.push_back(current);
                most = std::max(most, current);
            }
            if (most == 0) continue;  // nothing was ever in flight there: no bar to draw
            keys.insert("usb-inflight bin");
            lanes += SeriesLane(name, name + " USB " + pipeName + " pipe: in flight (" +
                                          std::to_string(it->second.requests) + " requests)",
                                "usb-inflight", "level", ids({AddSeries(data, level, "level")}),
                                " data-pipe=\"" + Escape(pipeName) + "\"", y);
        }
        if (fullSpeed_ && a.packets.Count() > 0) {
            double packets = 0;
            for (double v : a.packets.v) packets += v;
            keys.insert("packets bin");
            lanes += SeriesLane(name, name + " bulk packets per 1 ms frame (" + Number(packets) + ")", "packets",
                                "packets", ids({AddSeries(data, a.packets, "sum")}), "", y);
        }
        for (const Lane* lane : {&a.pings, &a.faults}) {
            note(*lane);
            lanes += MarksLane(*lane, y);
        }
    }
    // The processors, when the run had several (with one the trace has no switch lines).
    if (run.value("cpus", 1) > 1) {
        for (const auto& [cpu, groups] : cpus_) {
            std::string series, classes;
            uint64_t tasks = 0;
            for (const auto& [cls, s] : groups) {
                series += (series.empty() ? "" : ",") + std::to_string(AddSeries(data, s, "count"));
                classes += (classes.empty() ? "" : ",") + cls;
                tasks += s.Count();
                keys.insert("cpu " + cls);
            }
            const auto pre = preempts_.find(cpu);
            lanes += SeriesLane("", "processor " + std::to_string(cpu) + " (" + std::to_string(tasks) + " tasks)",
                                "cpu", "cpu", series,
                                " data-cpu=\"" + std::to_string(cpu) + "\" data-cls=\"" + classes +
                                    "\" data-note=\"" +
                                    std::to_string(pre == preempts_.end() ? 0 : pre->second) + " preempted\"",
                                y);
        }
    }
    if (!runFaults_.marks.empty() || runFaults_.dropped) {
        Lane l = runFaults_;
        l.name = "faults, violations (no adapter)";
        note(l);
        lanes += MarksLane(l, y);
    }
    const double height = y + 10;

    std::vector<std::pair<std::string, std::string>> legend;
    for (const std::string& key : keys.order) {
        auto it = LegendNames().find(key);
        legend.emplace_back(key, it != LegendNames().end() ? it->second : key);
    }

    std::string head = "nicsim " + run.value("version", "") + ": scenario \"" + run.value("scenario", "") + "\" (" +
                       run.value("source", "") + ", sha256 " + run.value("sha256", "").substr(0, 12) + "), seed " +
                       std::to_string(SeedFromJson(run.value("seed", Json())).value_or(0)) + ", " + std::to_string(run.value("cpus", 1)) +
                       " processor(s), USB timing " + run.value("usb_timing", "") + ", until " +
                       Seconds(run.value("until_us", uint64_t{0}));
    std::string verdict = "no summary record (the trace ends early)";
    if (summary_)
        verdict = "violations: " + std::to_string(summary_->value("violations", 0)) +
                  ", leaks: " + std::to_string(summary_->value("leaks", 0));
    const std::string series = ScriptSafe(data.dump(-1, ' ', false, Json::error_handler_t::replace));
    std::string page;
    page.reserve(lanes.size() + series.size() + 32768);
    page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'; script-src 'unsafe-inline'\">\n<title>" +
            Escape("nicsim report: " + run.value("scenario", "")) + "</title>\n<style>\n" + ReportStyle() +
            "</style></head>\n<body>\n<h1>" + Escape(head) + "</h1>\n<p class=\"meta\">" +
            Escape(run.value("command", "")) + " &#8212; " + Escape(verdict) +
            "</p>\n<p class=\"help\">Wheel: zoom the time axis at the pointer; drag: move along it; "
            "double-click: the whole run. Bins follow the stretch in view. Point at a mark or a bin for "
            "what is behind it.</p>\n" +
            Legend(legend) + "<p id=\"range\"></p>\n<svg id=\"plot\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
            Number(kWidth) + "\" height=\"" + Number(height) + "\" data-left=\"" + Number(kLeft) +
            "\" data-width=\"" + Number(kPlot) + "\" data-end=\"" + std::to_string(endUs_) +
            "\">\n<defs><clipPath id=\"plotclip\"><rect x=\"" + Number(kLeft) +
            "\" y=\"0\" width=\"" + Number(kPlot) + "\" height=\"" + Number(height) +
            "\"/></clipPath></defs>\n<g id=\"axis\" data-top=\"26\" data-bottom=\"" + Number(height - 4) + "\"></g>\n";
    page += lanes;
    page += "</svg>\n<pre id=\"panel\">Point at a mark.</pre>\n<script type=\"application/json\" id=\"series\">" +
            series + "</script>\n<script>\n" + std::string(ReportScript()) + "</script>\n</body></html>\n";
    return page;
}
int WriteReport(const std::string& tracePath, const std::string& outPath) {
    std::error_code ec;
    const auto status = std::filesystem::status(tracePath, ec);
    if (ec || !std::filesystem::exists(status)) {
        std::cerr << "nicsim: cannot read " << tracePath << ": no such file\n";
        return 2;
    }
    if (!std::filesystem::is_regular_file(status)) {
        std::cerr << "nicsim: " << tracePath << ": not a regular file; nicsim reads traces from regular files only\n";
        return 2;
    }
    std::ifstream in(tracePath, std::ios::binary);
    if (!in) {
        std::cerr << "nicsim: cannot read " << tracePath << ": " << std::strerror(errno) << "\n";
        return 2;
    }
    RunReport report;
    std::string text, error;
    uint64_t number = 0;
    while (std::getline(in, text)) {
        ++number;
        Json line = Json::parse(text, nullptr, false);
        if (line.is_discarded()) {
            std::cerr << "nicsim: " << tracePath << ":" << number << ": not JSON; a trace has one JSON object a line\n";
            return 2;
        }
        if (!report.OnLine(line, error)) {
            std::cerr << "nicsim: " << tracePath << ":" << number << ": " << error << "\n";
            return 2;
        }
    }
    if (in.bad()) {
        std::cerr << "nicsim: reading " << tracePath << " failed: " << std::strerror(errno) << "\n";
        return 2;
    }
    if (!report.HasRun()) {
        std::cerr << "nicsim: " << tracePath << ": empty: no run record, so not a trace of `nicsim run`\n";
        return 2;
    }
    ReportFile out(outPath);
    if (!out.Open(error) || !out.Write(report.Html(), error)) {
        std::cerr << "nicsim: " << error << "\n";
        return 2;
    }
    return 0;
}

}  // namespace nicsim
