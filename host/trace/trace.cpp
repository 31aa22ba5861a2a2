#include "host/trace/trace.h"

#include <algorithm>
#include <cstdio>

namespace host::trace {

std::string Hex(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.resize(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 0xF];
    }
    return out;
}

std::string Status32(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", value);
    return buf;
}

size_t Trace::AddSink(Sink sink, std::vector<std::string> kinds) {
    const size_t id = nextSink_++;
    sinks_.push_back(Entry{id, std::move(sink), std::move(kinds)});
    Recount();
    return id;
}

void Trace::RemoveSink(size_t id) {
    sinks_.erase(std::remove_if(sinks_.begin(), sinks_.end(),
                                [id](const Entry& s) { return s.id == id; }),
                 sinks_.end());
    Recount();
}

void Trace::Recount() {
    allKinds_ = 0;
    kinds_.clear();
    for (const Entry& s : sinks_) {
        if (s.kinds.empty()) ++allKinds_;
        for (const auto& k : s.kinds)
            if (std::find(kinds_.begin(), kinds_.end(), k) == kinds_.end()) kinds_.push_back(k);
    }
}

void Trace::Emit(std::string_view ev, std::string_view adapter, Json fields, std::string_view kind) {
    if (kind.empty()) kind = ev;
    if (!Enabled(kind)) return;
    Json line;
    line["t_us"] = clock_();
    line["ev"] = ev;
    if (!adapter.empty()) line["adapter"] = adapter;
    for (auto& [key, value] : fields.items()) line[key] = std::move(value);
    for (auto& s : sinks_) {
        if (!s.kinds.empty() && std::find(s.kinds.begin(), s.kinds.end(), kind) == s.kinds.end())
            continue;
        s.sink(line);
    }
}

Recorder::Recorder(Trace& trace) : trace_(trace) {
    sink_ = trace_.AddSink([this](const Json& line) { lines_.push_back(line); });
}

Recorder::~Recorder() { trace_.RemoveSink(sink_); }

std::vector<Json> Recorder::Of(std::string_view ev) const {
    return Where([ev](const Json& l) { return l["ev"] == ev; });
}

std::vector<Json> Recorder::Where(const std::function<bool(const Json&)>& pred) const {
    std::vector<Json> out;
    for (const auto& l : lines_)
        if (pred(l)) out.push_back(l);
    return out;
}

}  // namespace host::trace
