#include "tools/nicsim/timeline.h"

#include "tools/nicsim/names.h"

namespace nicsim {

void Timeline::Print(uint64_t t_us, const std::string& adapter, const std::string& text) {
    std::fprintf(out_, "%7llu.%06llu s  %-3s %s\n", static_cast<unsigned long long>(t_us / 1000000),
                 static_cast<unsigned long long>(t_us % 1000000), adapter.c_str(), text.c_str());
}

void Timeline::OnLine(const host::trace::Json& line) {
    const std::string ev = line.value("ev", "");
    const uint64_t t = line.value("t_us", uint64_t{0});
    const std::string adapter = line.value("adapter", "");
    if (ev == "miniport") {
        const std::string call = line.value("call", "");
        // Per-frame and per-request calls are summarised, not listed.
        if (call == "MiniportSend" || call == "MiniportQueryInformation" ||
            call == "MiniportSetInformation")
            return;
        std::string text = call;
        if (line.contains("status")) text += " -> " + StatusName(ParseStatus(line["status"]));
        if (line.value("implicit", false)) text += " (end of run)";
        Print(t, adapter, text);
    } else if (ev == "indicate_status") {
        const uint32_t status = ParseStatus(line["status"]);
        if (status == 0x4001000B) Print(t, adapter, "media connect");
        else if (status == 0x4001000C) Print(t, adapter, "media disconnect");
        else Print(t, adapter, "status " + StatusName(status));
    } else if (ev == "link") {
        Print(t, adapter, "medium " + line.value("link", "") + (line.value("up", false) ? " up" : " down"));
    } else if (ev == "media") {
        char text[160];
        std::snprintf(text, sizeof text, "%s PHY %d (%s, %s) at %u Mb/s %s duplex",
                      line.value("switch", false) ? "media switched to" : "carrying traffic on",
                      line.value("phy", 0), line.value("id", "").c_str(),
                      line.value("medium", "").c_str(), line.value("speed_mbps", 0u),
                      line.value("full_duplex", false) ? "full" : "half");
        Print(t, adapter, text);
    } else if (ev == "ping") {
        char text[160];
        if (line.contains("error"))
            std::snprintf(text, sizeof text, "ping %s: %s", line.value("to", "").c_str(),
                          line.value("error", "").c_str());
        else
            std::snprintf(text, sizeof text, "ping %s seq %d: reply in %.3f ms",
                          line.value("to", "").c_str(), line.value("seq", 0),
                          line.value("rtt_us", uint64_t{0}) / 1000.0);
        Print(t, adapter, text);
    } else if (ev == "traffic") {
        char text[160];
        std::snprintf(text, sizeof text, "traffic burst: %u frames, %u offered, %u completed, %u refused",
                      line.value("frames", 0u), line.value("offered", 0u),
                      line.value("completed", 0u), line.value("refused", 0u));
        Print(t, adapter, text);
    } else if (ev == "violation") {
        Print(t, adapter, "VIOLATION " + line.value("check", "") + ": " + line.value("detail", ""));
    }
}

}  // namespace nicsim
