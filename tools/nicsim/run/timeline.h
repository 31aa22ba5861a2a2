// The timeline on standard output: one line per notable event with its virtual time, for people.
// It reads the same trace lines the JSON Lines file gets, so what it shows is what was traced.
#pragma once

#include <cstdio>
#include <map>
#include <utility>
#include <vector>
#include <string>

#include "host/trace/trace.h"

namespace nicsim {

class Timeline {
public:
    explicit Timeline(std::FILE* out) : out_(out) {}
    void OnLine(const host::trace::Json& line);
    // The kinds of trace line OnLine prints anything for: the only ones its sink asks for.
    static std::vector<std::string> Kinds() {
        return {"miniport", "handler_start", "indicate_status", "link",    "phys",     "media",
                "ping",     "traffic",       "skipped",         "fault", "keepalive", "violation"};
    }
    // Kinds it reads only the fields of, never the payload: a sink of their own with no data.
    static std::vector<std::string> FieldKinds() { return {"bulk"}; }

private:
    void Print(uint64_t t_us, const std::string& adapter, const std::string& text);
    static std::string Seconds(uint64_t t_us);
    void Media(uint64_t t_us, const std::string& adapter, const host::trace::Json& line);
    void Indication(uint64_t t_us, const std::string& adapter, uint32_t status);

    // What the timeline remembers of each adapter to say what is new.
    struct AdapterState {
        std::string carrier;         // "PHY 0 (0x225410, ethernet), 100 Mb/s full duplex"; empty: none
        std::string shown;           // the carrier as last printed
        bool lost = false;           // a loss of the carrier was printed since
        uint32_t indicated = 0;      // the last media status indicated
        uint64_t indicatedAt = 0;
        // Between a successful initialise or reset and the next halt, reset or shutdown: a read
        // that fails then stops the receive path until a reset (the driver's failed-read state).
        bool running = false;
        bool receiveStopped = false;  // said once per stop
    };
    std::FILE* out_;
    std::map<std::string, AdapterState> adapters_;
    // When each passive handler now running began, by adapter and handler.
    std::map<std::pair<std::string, std::string>, uint64_t> started_;
};

}  // namespace nicsim
