// The world's event trace: every observable act becomes one JSON object with its virtual time.
// Sinks receive each line as it happens (a JSON Lines file, the timeline printer, a recorder for
// tests). With no sink attached, emitting costs one branch.
#pragma once

#include <cstdint>
#include <functional>
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

    bool Enabled() const { return !sinks_.empty(); }
    // Returns an id usable with RemoveSink.
    size_t AddSink(Sink sink);
    void RemoveSink(size_t id);

    // `adapter` may be empty for lines that are about no adapter. `fields` follow t_us, ev and
    // adapter in the order given.
    void Emit(std::string_view ev, std::string_view adapter, Json fields);

private:
    std::function<uint64_t()> clock_;
    std::vector<std::pair<size_t, Sink>> sinks_;
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
