#include "tools/nicsim/report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "tools/nicsim/report_assets.h"
#include "tools/nicsim/seed_json.h"
#include "tools/nicsim/verdict.h"

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

// The smallest of 1, 2, 5 times a power of ten, in microseconds, that cuts `span` into at most
// `count` bins.
uint64_t BinWidth(uint64_t span, uint64_t count) {
    for (uint64_t decade = 1;; decade *= 10)
        for (uint64_t m : {1, 2, 5})
            if (span / (m * decade) < count) return m * decade;
}

double X(uint64_t t, uint64_t end) { return kLeft + static_cast<double>(t) * kPlot / static_cast<double>(end); }

}  // namespace

std::vector<std::string> RunReport::Kinds() {
    return {"run",  "link",     "phy_link", "phys",   "media", "indicate_status", "indicate_receive",
            "wire", "control",  "bulk",     "ping",   "fault", "violation",       "summary"};
}

RunReport::Adapter& RunReport::AdapterFor(const std::string& name) {
    auto it = adapters_.find(name);
    if (it != adapters_.end()) return it->second;
    order_.push_back(name);
    Adapter& a = adapters_[name];
    for (Lane* lane : {&a.active, &a.indications, &a.pings, &a.faults}) lane->adapter = name;
    a.active.name = name + " active PHY";
    a.indications.name = name + " media indications";
    a.pings.name = name + " pings (round trip)";
    a.faults.name = name + " faults, violations";
    return a;
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

void RunReport::Count(Bins& bins, uint64_t t, double amount, const Json& line) {
    const uint64_t bin = t / binUs_;
    bins.value[bin] += amount;
    bins.total += static_cast<uint64_t>(amount);
    if (!bins.first.count(bin)) bins.first[bin] = Brief(line);
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
        binUs_ = BinWidth(endUs_, kMaxBins);
        fullSpeed_ = line.value("usb_timing", "") == "full-speed";
        return true;
    }
    endUs_ = std::max(endUs_, t);
    const std::string adapter = line.value("adapter", "");
    const std::string title = Brief(line);
    if (ev == "link") {
        const std::string name = line.value("link", "");
        if (!media_.count(name)) {
            mediaOrder_.push_back(name);
            media_[name].name = "medium " + name;
        }
        const bool up = line.value("up", false);
        Lane& lane = media_[name];
        // A link line is a change: before the first one the medium was in the other state.
        if (lane.marks.empty() && t > 0)
            Segment(lane, 0,
                    Mark{0, 0, "link", up ? "down" : "up", up ? "down" : "up",
                         std::string("before its first change, the medium was ") + (up ? "down" : "up"), true});
        Segment(lane, t, Mark{t, t, "link", up ? "up" : "down", up ? "up" : "down", title});
    } else if (ev == "wire") {
        const std::string name = line.value("link", "");
        if (!media_.count(name)) {
            mediaOrder_.push_back(name);
            media_[name].name = "medium " + name;
        }
        const std::string from = line.value("from", "");
        const size_t colon = from.find(':');
        if (colon != std::string::npos) Count(AdapterFor(from.substr(0, colon)).out, t, 1, line);
    } else if (adapter.empty()) {
        if (ev == "fault" || ev == "violation")
            Point(runFaults_, Mark{t, t, ev, ev, "", title});
        else if (ev == "summary")
            summary_ = line;
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
        Segment(lane, t, Mark{t, t, "phy_link", up ? "up" : "down", up ? "up" : "down", title});
    } else if (ev == "media") {
        Adapter& a = AdapterFor(adapter);
        if (line.value("carrier", false)) {
            const std::string label = "PHY " + std::to_string(line.value("phy", 0)) + " " +
                                      line.value("medium", "") + " " + std::to_string(line.value("speed_mbps", 0)) +
                                      (line.value("full_duplex", false) ? " Mb/s full" : " Mb/s half");
            Segment(a.active, t,
                    Mark{t, t, "media", "carrier phy" + std::to_string(line.value("phy", 0) % 8), label, title});
        } else {
            Segment(a.active, t, Mark{t, t, "media", "down", "no carrier", title});
        }
    } else if (ev == "phys") {
        Point(AdapterFor(adapter).indications, Mark{t, t, "phys", "phys", "", title});
    } else if (ev == "indicate_status") {
        const std::string status = line.value("status", "");
        const char* cls = status == "0x4001000B" ? "connect" : status == "0x4001000C" ? "disconnect" : "status";
        Point(AdapterFor(adapter).indications, Mark{t, t, "indication", cls, "", title});
    } else if (ev == "indicate_receive") {
        Count(AdapterFor(adapter).in, t, 1, line);
    } else if (ev == "control" || ev == "bulk") {
        Adapter& a = AdapterFor(adapter);
        ++a.requests;
        const uint64_t submitted = line.value("submitted_us", t);
        a.usb.emplace_back(std::min(submitted, t), +1);
        a.usb.emplace_back(t, -1);
        if (ev == "bulk" && line.contains("packets"))
            Count(a.packets, t, line.value("packets", 0.0), line);
    } else if (ev == "ping") {
        Adapter& a = AdapterFor(adapter);
        if (line.contains("rtt_us")) {
            const uint64_t rtt = line.value("rtt_us", uint64_t{0});
            Point(a.pings, Mark{t - std::min(rtt, t), t, "ping", "reply", "", title});
        } else {
            // An echo that never crossed the medium is the adapter's doing, not the network's.
            const char* cls = line.value("lost", false)       ? "lost"
                              : line.value("not_sent", false) ? "not-sent"
                                                              : "error";
            Point(a.pings, Mark{t, t, "ping", cls, "", title});
        }
    } else if (ev == "fault" || ev == "violation") {
        Point(AdapterFor(adapter).faults, Mark{t, t, ev, ev, "", title});
    }
    return true;
}

std::string RunReport::MarksLane(const Lane& lane, double& y) const {
    const bool points = lane.marks.empty() || lane.marks.front().kind == "ping" ||
                        lane.marks.front().kind == "fault" || lane.marks.front().kind == "violation" ||
                        lane.marks.front().kind == "indication" || lane.marks.front().kind == "phys";
    const double h = points ? kPointHeight : kSegmentHeight;
    std::string out = "<g class=\"lane\"><rect class=\"lane-bg\" x=\"" + Number(kLeft) + "\" y=\"" + Number(y) +
                      "\" width=\"" + Number(kPlot) + "\" height=\"" + Number(h) + "\"/>";
    const size_t drawn = static_cast<size_t>(
        std::count_if(lane.marks.begin(), lane.marks.end(), [](const Mark& m) { return !m.inferred; }));
    std::string name = lane.name + " (" + std::to_string(drawn) + ")";
    if (lane.dropped) name += ", " + std::to_string(lane.dropped) + " more not drawn";
    out += "<text class=\"lname\" x=\"" + Number(kLeft - 6) + "\" y=\"" + Number(y + h - 5) + "\">" +
           Escape(name) + "</text><g clip-path=\"url(#plotclip)\">";
    for (size_t i = 0; i < lane.marks.size(); ++i) {
        const Mark& m = lane.marks[i];
        const bool segment = m.kind == "link" || m.kind == "phy_link" || m.kind == "media";
        // A segment still running at the end of the trace lasts to the end of the run.
        const uint64_t t1 = segment && i + 1 == lane.marks.size() && lane.open ? endUs_ : m.t1;
        const bool interval = segment || m.t1 > m.t0;
        double x = X(m.t0, endUs_), w = interval ? std::max(1.0, X(t1, endUs_) - x) : 6;
        double my = y, mh = h;
        if (!interval && (m.kind == "fault" || m.kind == "violation")) w = 3;
        if (m.kind == "ping" && interval) {
            my = y + 4;
            mh = h - 8;
        }
        if (!interval) x -= w / 2;
        out += std::string("<rect class=\"") + (m.inferred ? "seg inferred " : "mark ") + m.kind + " " + m.cls +
               "\"" + (m.inferred ? "" : " data-kind=\"" + m.kind + "\"") +
               (lane.adapter.empty() ? "" : " data-adapter=\"" + Escape(lane.adapter) + "\"") + " data-t0=\"" +
               std::to_string(m.t0) + "\"" + (interval ? " data-t1=\"" + std::to_string(t1) + "\"" : "") +
               " x=\"" + Number(x) + "\" y=\"" + Number(my) + "\" width=\"" + Number(w) + "\" height=\"" +
               Number(mh) + "\"><title>" + Escape(Seconds(m.t0) + (interval ? " to " + Seconds(t1) : "") + "\n" +
                                                  m.title) +
               "</title></rect>";
        if (!m.label.empty())
            out += "<text class=\"slabel\" data-t0=\"" + std::to_string(m.t0) + "\" data-t1=\"" + std::to_string(t1) +
                   "\" x=\"" + Number(x + 3) + "\" y=\"" + Number(y + h - 5) + "\">" + Escape(m.label) + "</text>";
    }
    out += "</g></g>\n";
    y += h + kGap;
    return out;
}

std::string RunReport::BinsLane(const std::string& adapter, const std::string& name, const std::string& kind,
                                const Bins& bins,
                                double perBinScale, const std::string& unit, double& y) const {
    double peak = 0;
    for (const auto& [bin, v] : bins.value) peak = std::max(peak, v * perBinScale);
    std::string out = "<g class=\"lane\"><rect class=\"lane-bg\" x=\"" + Number(kLeft) + "\" y=\"" + Number(y) +
                      "\" width=\"" + Number(kPlot) + "\" height=\"" + Number(kBinsHeight) + "\"/>";
    out += "<text class=\"lname\" x=\"" + Number(kLeft - 6) + "\" y=\"" + Number(y + kBinsHeight / 2) + "\">" +
           Escape(name) + "</text><text class=\"lname small\" x=\"" + Number(kLeft - 6) + "\" y=\"" +
           Number(y + kBinsHeight / 2 + 13) + "\">" + Escape("peak " + Number(peak) + " " + unit) + "</text>";
    out += "<g clip-path=\"url(#plotclip)\">";
    for (const auto& [bin, raw] : bins.value) {
        const double v = raw * perBinScale;
        if (v <= 0) continue;
        const uint64_t t0 = bin * binUs_, t1 = t0 + binUs_;
        const double x = X(t0, endUs_), w = std::max(1.0, X(t1, endUs_) - x);
        const double h = std::max(1.0, (kBinsHeight - 2) * v / peak);
        auto first = bins.first.find(bin);
        out += "<rect class=\"mark bin " + kind + "\" data-kind=\"" + kind + "\" data-adapter=\"" + Escape(adapter) +
               "\" data-t0=\"" + std::to_string(t0) +
               "\" data-t1=\"" + std::to_string(t1) + "\" data-v=\"" + Number(v) + "\" data-n=\"" + Number(raw) +
               "\" x=\"" + Number(x) + "\" y=\"" + Number(y + kBinsHeight - h) + "\" width=\"" + Number(w) +
               "\" height=\"" + Number(h) + "\"><title>" +
               Escape(Seconds(t0) + " to " + Seconds(t1) + ": " + Number(v) + " " + unit + " (" + Number(raw) +
                      " in the bin)" + (first != bins.first.end() ? "\nfirst: " + first->second : "")) +
               "</title></rect>";
    }
    out += "</g></g>\n";
    y += kBinsHeight + kGap;
    return out;
}

std::string RunReport::Html() const {
    const Json& run = *run_;
    double y = 34;
    std::string lanes;
    for (const std::string& name : mediaOrder_) lanes += MarksLane(media_.at(name), y);
    for (const std::string& name : order_) {
        const Adapter& a = adapters_.at(name);
        for (const auto& [phy, lane] : a.phys) lanes += MarksLane(lane, y);
        lanes += MarksLane(a.active, y);
        lanes += MarksLane(a.indications, y);
        const double perSecond = 1e6 / static_cast<double>(binUs_);
        lanes += BinsLane(name, name + " frames/s out (" + std::to_string(a.out.total) + ")", "frames-out", a.out,
                          perSecond, "frames/s", y);
        lanes += BinsLane(name, name + " frames/s in (" + std::to_string(a.in.total) + ")", "frames-in", a.in,
                          perSecond, "frames/s", y);
        // Requests in flight: the most at any instant of each bin, counting a bin a request spans
        // with the level it entered with. A request that completes at the instant it was
        // submitted was never in flight.
        Bins inflight;
        std::vector<std::pair<uint64_t, int>> events = a.usb;
        std::sort(events.begin(), events.end());
        int level = 0;
        uint64_t current = 0;
        for (size_t i = 0; i < events.size();) {
            const uint64_t t = events[i].first, bin = t / binUs_;
            if (i > 0 && level > 0)
                for (uint64_t b = current + 1; b <= bin; ++b)
                    inflight.value[b] = std::max(inflight.value[b], static_cast<double>(level));
            while (i < events.size() && events[i].first == t) level += events[i++].second;
            if (level > 0) inflight.value[bin] = std::max(inflight.value[bin], static_cast<double>(level));
            current = bin;
        }
        lanes += BinsLane(name, name + " USB requests in flight (" + std::to_string(a.requests) + " requests)",
                          "usb-inflight", inflight, 1, "requests", y);
        if (fullSpeed_)
            lanes += BinsLane(name, name + " bulk packets per 1 ms frame (" + std::to_string(a.packets.total) + ")",
                              "packets", a.packets, 1000.0 / static_cast<double>(binUs_), "packets/frame", y);
        lanes += MarksLane(a.pings, y);
        lanes += MarksLane(a.faults, y);
    }
    if (!runFaults_.marks.empty() || runFaults_.dropped) {
        Lane l = runFaults_;
        l.name = "faults, violations (no adapter)";
        lanes += MarksLane(l, y);
    }
    const double height = y + 10;

    std::string head = "nicsim " + run.value("version", "") + ": scenario \"" + run.value("scenario", "") + "\" (" +
                       run.value("source", "") + ", sha256 " + run.value("sha256", "").substr(0, 12) + "), seed " +
                       std::to_string(SeedFromJson(run.value("seed", Json())).value_or(0)) + ", " + std::to_string(run.value("cpus", 1)) +
                       " processor(s), USB timing " + run.value("usb_timing", "") + ", until " +
                       Seconds(run.value("until_us", uint64_t{0}));
    std::string verdict = "no summary record (the trace ends early)";
    if (summary_)
        verdict = "violations: " + std::to_string(summary_->value("violations", 0)) +
                  ", leaks: " + std::to_string(summary_->value("leaks", 0));
    std::string page;
    page.reserve(lanes.size() + 16384);
    page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'; script-src 'unsafe-inline'\">\n<title>" +
            Escape("nicsim report: " + run.value("scenario", "")) + "</title>\n<style>\n" + ReportStyle() +
            "</style></head>\n<body>\n<h1>" + Escape(head) + "</h1>\n<p class=\"meta\">" +
            Escape(run.value("command", "")) + " &#8212; " + Escape(verdict) + " &#8212; bins of " +
            Escape(Seconds(binUs_)) +
            "</p>\n<p class=\"help\">Wheel: zoom the time axis at the pointer; drag: move along it; "
            "double-click: the whole run. Point at a mark for the trace records behind it.</p>\n"
            "<p id=\"range\"></p>\n<svg id=\"plot\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
            Number(kWidth) + "\" height=\"" + Number(height) + "\" data-left=\"" + Number(kLeft) +
            "\" data-width=\"" + Number(kPlot) + "\" data-end=\"" + std::to_string(endUs_) + "\" data-bin=\"" +
            std::to_string(binUs_) + "\">\n<defs><clipPath id=\"plotclip\"><rect x=\"" + Number(kLeft) +
            "\" y=\"0\" width=\"" + Number(kPlot) + "\" height=\"" + Number(height) +
            "\"/></clipPath></defs>\n<g id=\"axis\" data-top=\"26\" data-bottom=\"" + Number(height - 4) + "\"></g>\n";
    page += lanes;
    page += "</svg>\n<pre id=\"panel\">Point at a mark.</pre>\n<script>\n" + std::string(ReportScript()) +
            "</script>\n</body></html>\n";
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
