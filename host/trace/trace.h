// The world's event trace: every observable act becomes one JSON object with its virtual time.
// Sinks receive each line as it happens (a JSON Lines file, the timeline printer, a recorder for
// tests). A sink may ask for some kinds of line only; a line no sink asks for is never built,
// so emitters ask Enabled(kind) before they format anything (a frame's bytes in hex, say).
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace host::trace {

using Json = nlohmann::ordered_json;

// Lowercase hex without separators.
std::string Hex(const uint8_t* data, size_t length);
// "0x" followed by eight uppercase hex digits, as status codes and OIDs are written.
std::string Status32(uint32_t value);

class Trace {
public:
    using Sink = std::function<void(const Json&)>;

    explicit Trace(std::function<uint64_t()> clock) : clock_(std::move(clock)) {}

    // The kind a `miniport` line of a MiniportSend call is selected by: one comes per frame, and
    // a sink that wants the other handler calls need not pay for them.
    static constexpr std::string_view kMiniportSend = "miniport/send";

    // Whether any sink is attached.
    bool Enabled() const { return !sinks_.empty(); }
    // Whether a line of kind `kind` (an `ev` value, or kMiniportSend) reaches any sink.
    bool Enabled(std::string_view kind) const {
        if (allKinds_ > 0) return true;
        for (const auto& k : kinds_)
            if (k == kind) return true;
        return false;
    }
    // A sink's `dataLimit` when it takes payloads whole.
    static constexpr size_t kAllData = std::numeric_limits<size_t>::max();

    // Returns an id usable with RemoveSink. With `kinds` given the sink receives only lines of
    // those kinds; `miniport` then excludes MiniportSend lines unless kMiniportSend is listed.
    // `dataLimit` is how many payload bytes the sink wants in a line's `data` (0: none); a line
    // cut for it says `data_truncated: true`.
    size_t AddSink(Sink sink, std::vector<std::string> kinds = {}, size_t dataLimit = kAllData);

    // The most payload bytes a sink taking lines of `kind` wants: what an emitter hex-encodes.
    size_t DataLimit(std::string_view kind) const;
    // Adds the payload to `fields` as `data` (hex) at this point of the field order, as
    // DataLimit(kind) allows: whole; cut, followed by `data_truncated: true`; or not at all.
    void PutData(Json& fields, std::string_view kind, const uint8_t* data, size_t length) const;
    void RemoveSink(size_t id);

    // `adapter` may be empty for lines that are about no adapter. `fields` follow t_us, ev and
    // adapter in the order given. `kind` selects the sinks, `ev` when empty.
    void Emit(std::string_view ev, std::string_view adapter, Json fields, std::string_view kind = {});

private:
    struct Entry {
        size_t id;
        Sink sink;
        std::vector<std::string> kinds;  // empty: every line
        size_t dataLimit = kAllData;
    };
    void Recount();

    std::function<uint64_t()> clock_;
    std::vector<Entry> sinks_;
    size_t allKinds_ = 0;             // sinks that take every line
    std::vector<std::string> kinds_;  // the kinds some sink asks for
    size_t nextSink_ = 1;
};

// Keeps every line in memory; tests query it.
class Recorder {
public:
    explicit Recorder(Trace& trace);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    const std::vector<Json>& Lines() const { return lines_; }
    std::vector<Json> Of(std::string_view ev) const;
    std::vector<Json> Where(const std::function<bool(const Json&)>& pred) const;
    void Clear() { lines_.clear(); }

private:
    Trace& trace_;
    size_t sink_;
    std::vector<Json> lines_;
};

}  // namespace host::trace
