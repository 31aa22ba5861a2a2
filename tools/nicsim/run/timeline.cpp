#include "tools/nicsim/run/timeline.h"

#include <optional>

#include "tools/nicsim/run/names.h"
#include "tools/nicsim/scenario/oids.h"
#include "tools/nicsim/cli/printable.h"

namespace nicsim {

std::string Timeline::Seconds(uint64_t t_us) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%06llu s", static_cast<unsigned long long>(t_us / 1000000),
                  static_cast<unsigned long long>(t_us % 1000000));
    return text;
}

void Timeline::Print(uint64_t t_us, const std::string& adapter, const std::string& text) {
    // Names and reasons come from the scenario's author: escaped, they cannot drive the terminal.
    std::fprintf(out_, "%7llu.%06llu s  %-3s %s\n", static_cast<unsigned long long>(t_us / 1000000),
                 static_cast<unsigned long long>(t_us % 1000000), Printable(adapter).c_str(),
                 Printable(text).c_str());
}

void Timeline::OnLine(const host::trace::Json& line) {
    const std::string ev = line.value("ev", "");
    const uint64_t t = line.value("t_us", uint64_t{0});
    const std::string adapter = line.value("adapter", "");
    if (ev == "miniport") {
        const std::string call = line.value("call", "");
        // Sends are per frame: the traffic and ping lines and the summary count them.
        if (call == "MiniportSend") return;
        std::string text = call;
        if (line.contains("oid")) text += " " + OidName(ParseStatus(line["oid"]));
        if (line.contains("status")) text += " -> " + StatusName(ParseStatus(line["status"]));
        if (call == "MiniportQueryInformation" && line.contains("data"))
            text += ": " + DecodeAnswer(ParseStatus(line["oid"]), FromHex(line.value("data", "")));
        // A count the miniport left unwritten is null in the trace, and not told.
        auto count = [&](const char* key) -> std::optional<uint64_t> {
            auto it = line.find(key);
            if (it == line.end() || !it->is_number_unsigned()) return std::nullopt;
            return it->get<uint64_t>();
        };
        // A query's miniport counts what the buffer lacks; a set's, the whole size it wants.
        if (count("bytes_needed").value_or(0) != 0 && line.value("status", "") != "0x00000000")
            text += " (needs " + std::to_string(*count("bytes_needed")) +
                    (call == "MiniportQueryInformation" ? " more bytes)" : " bytes)");
        if (call == "MiniportSetInformation" && count("bytes_read"))
            text += " (" + std::to_string(*count("bytes_read")) + " bytes read)";
        if (line.value("implicit", false)) text += " (end of run)";
        auto began = started_.find({adapter, call});
        if (began != started_.end()) {
            if (t > began->second) text += " (called at " + Seconds(began->second) + ")";
            started_.erase(began);
        }
        if (call == "MiniportHalt") adapters_[adapter] = AdapterState{};
        if ((call == "MiniportInitialize" || call == "MiniportReset") && line.value("status", "") == "0x00000000") {
            adapters_[adapter].running = true;
            adapters_[adapter].receiveStopped = false;
        }
        Print(t, adapter, text);
    } else if (ev == "handler_start") {
        const std::string call = line.value("call", "");
        if (call != "MiniportInitialize") adapters_[adapter].running = false;
        started_[{adapter, call}] = t;
        Print(t, adapter, call + " called");
    } else if (ev == "bulk") {
        // The driver reads again only after a reset: what follows would otherwise look like a
        // quiet medium. Said once, when the first read fails.
        AdapterState& a = adapters_[adapter];
        const std::string result = line.value("result", "ok");
        if (line.value("ep", "") == "in" && result != "ok" && a.running && !a.receiveStopped) {
            a.receiveStopped = true;
            Print(t, adapter, "receive stopped: the bulk-in read failed (" + result +
                                  "); the adapter receives no frame until a reset");
        }
    } else if (ev == "skipped") {
        Print(t, adapter, "event " + std::to_string(line.value("event", 0)) + " (" + line.value("do", "") +
                              ") skipped: " + line.value("reason", ""));
    } else if (ev == "fault") {
        std::string text = "fault " + line.value("fault", "");
        if (line.contains("kind")) text += " (" + line.value("kind", "") + ")";
        if (line.value("state", "") == "armed")
            text += " armed (event " + std::to_string(line.value("event", 0)) + ")";
        else
            text += " fired";
        Print(t, adapter, text);
    } else if (ev == "keepalive") {
        Print(t, adapter, "keep-alive frame on " + line.value("link", "") + " (" +
                              std::to_string(line.value("length", 0u)) + " bytes)");
    } else if (ev == "indicate_status") {
        Indication(t, adapter, ParseStatus(line["status"]));
    } else if (ev == "link") {
        Print(t, adapter, "medium " + line.value("link", "") + (line.value("up", false) ? " up" : " down"));
    } else if (ev == "phys") {
        std::string text = "PHYs found:";
        const char* sep = " ";
        for (const auto& p : line.value("found", host::trace::Json::array())) {
            text += sep + std::string("PHY ") + std::to_string(p.value("phy", 0)) + " (" +
                    p.value("id", "") + ", " + p.value("medium", "") + ")";
            sep = ", ";
        }
        if (line.value("found", host::trace::Json::array()).empty()) text += " none";
        const auto& chosen = line["chosen"];
        text += chosen.is_number() ? "; chosen: PHY " + std::to_string(chosen.get<int>()) : "; none chosen";
        Print(t, adapter, text);
    } else if (ev == "media") {
        Media(t, adapter, line);
    } else if (ev == "ping") {
        char text[160];
        if (line.value("lost", false))
            std::snprintf(text, sizeof text, "ping %s seq %d: lost, no reply within 1 s (burst %d)",
                          line.value("to", "").c_str(), line.value("seq", 0), line.value("burst", 0));
        else if (line.value("not_sent", false))
            std::snprintf(text, sizeof text, "ping %s seq %d: not sent within 1 s (burst %d)",
                          line.value("to", "").c_str(), line.value("seq", 0), line.value("burst", 0));
        else if (line.contains("error"))
            std::snprintf(text, sizeof text, "ping %s: %s (burst %d)", line.value("to", "").c_str(),
                          line.value("error", "").c_str(), line.value("burst", 0));
        else
            std::snprintf(text, sizeof text, "ping %s seq %d: reply in %.3f ms (burst %d)",
                          line.value("to", "").c_str(), line.value("seq", 0),
                          line.value("rtt_us", uint64_t{0}) / 1000.0, line.value("burst", 0));
        Print(t, adapter, text);
    } else if (ev == "traffic") {
        char text[200];
        const uint64_t from = line.value("started_us", uint64_t{0});
        std::snprintf(text, sizeof text,
                      "traffic burst %u (from %llu.%03llu s, %u frames of %u bytes): %u offered, "
                      "%u completed, %u refused",
                      line.value("burst", 0u), static_cast<unsigned long long>(from / 1000000),
                      static_cast<unsigned long long>(from % 1000000 / 1000), line.value("frames", 0u),
                      line.value("size", 0u), line.value("offered", 0u), line.value("completed", 0u),
                      line.value("refused", 0u));
        Print(t, adapter, text);
    } else if (ev == "violation") {
        Print(t, adapter, "VIOLATION " + line.value("check", "") + ": " + line.value("detail", ""));
    }
}

}  // namespace nicsim

namespace nicsim {

// A PHY that starts carrying frames is news when it is another PHY than the last one shown, or
// the same one at another speed or duplex; losing the carrier is left to the indications and the
// medium lines.
void Timeline::Media(uint64_t t, const std::string& adapter, const host::trace::Json& line) {
    AdapterState& a = adapters_[adapter];
    if (!line.value("carrier", false)) {
        if (!a.carrier.empty()) {
            Print(t, adapter, "carrier lost on " + a.carrier);
            a.lost = true;
        }
        a.carrier.clear();
        return;
    }
    char text[160];
    std::snprintf(text, sizeof text, "PHY %d (%s, %s), %u Mb/s %s duplex", line.value("phy", 0),
                  line.value("id", "").c_str(), line.value("medium", "").c_str(),
                  line.value("speed_mbps", 0u), line.value("full_duplex", false) ? "full" : "half");
    a.carrier = text;
    if (a.carrier == a.shown) {
        if (a.lost) Print(t, adapter, "carrier back on " + a.carrier);
        a.lost = false;
        return;
    }
    a.lost = false;
    const bool first = a.shown.empty();
    a.shown = a.carrier;
    if (first) Print(t, adapter, "carrying frames on " + a.carrier);
    else if (line.value("switch", false)) Print(t, adapter, "media switched to " + a.carrier);
    else Print(t, adapter, "now on " + a.carrier);
}

// Indications are printed as made; one that repeats the last says so, since the driver indicates
// whenever a poll cycle owes one, not only on a change.
void Timeline::Indication(uint64_t t, const std::string& adapter, uint32_t status) {
    AdapterState& a = adapters_[adapter];
    std::string text;
    if (status == 0x4001000B) {
        text = "media connect";
        if (!a.carrier.empty()) text += " on " + a.carrier;
    } else if (status == 0x4001000C) {
        text = "media disconnect";
    } else {
        Print(t, adapter, "status " + StatusName(status));
        return;
    }
    if (a.indicated == status) {
        char since[64];
        std::snprintf(since, sizeof since, " (repeated; indicated before at %llu.%06llu s)",
                      static_cast<unsigned long long>(a.indicatedAt / 1000000),
                      static_cast<unsigned long long>(a.indicatedAt % 1000000));
        text += since;
    }
    a.indicated = status;
    a.indicatedAt = t;
    Print(t, adapter, text);
}

}  // namespace nicsim
