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

size_t Trace::AddSink(Sink sink, std::vector<std::string> kinds, size_t dataLimit) {
    const size_t id = nextSink_++;
    sinks_.push_back(Entry{id, std::move(sink), std::move(kinds), dataLimit});
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

namespace {

bool Takes(const std::vector<std::string>& kinds, std::string_view kind) {
    return kinds.empty() || std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

// `line` with its `data` cut to `limit` bytes (none at all for 0), marked as cut.
Json CutData(const Json& line, size_t limit) {
    Json out;
    for (const auto& [key, value] : line.items()) {
        if (key == "data_truncated") continue;
        if (key != "data") {
            out[key] = value;
            continue;
        }
        if (limit == 0) continue;
        out[key] = value.get_ref<const std::string&>().substr(0, 2 * limit);
        out["data_truncated"] = true;
    }
    return out;
}

}  // namespace

size_t Trace::DataLimit(std::string_view kind) const {
    size_t most = 0;
    for (const Entry& s : sinks_)
        if (Takes(s.kinds, kind)) most = std::max(most, s.dataLimit);
    return most;
}

void Trace::PutData(Json& fields, std::string_view kind, const uint8_t* data, size_t length) const {
    const size_t limit = DataLimit(kind);
    if (limit == 0) return;
    if (length <= limit) {
        fields["data"] = Hex(data, length);
        return;
    }
    fields["data"] = Hex(data, limit);
    fields["data_truncated"] = true;
}

void Trace::Emit(std::string_view ev, std::string_view adapter, Json fields, std::string_view kind) {
    if (kind.empty()) kind = ev;
    if (!Enabled(kind)) return;
    Json line;
    line["t_us"] = clock_();
    line["ev"] = ev;
    if (!adapter.empty()) line["adapter"] = adapter;
    for (auto& [key, value] : fields.items()) line[key] = std::move(value);
    // Sinks that take less of a payload than the most any of them asked for (the timeline
    // decodes query answers that a trace file keeps only the head of) get a cut copy.
    const auto data = line.find("data");
    const size_t bytes = data != line.end() && data->is_string() ? data->get_ref<const std::string&>().size() / 2 : 0;
    for (auto& s : sinks_) {
        if (!Takes(s.kinds, kind)) continue;
        if (data != line.end() && (s.dataLimit == 0 || s.dataLimit < bytes))
            s.sink(CutData(line, s.dataLimit));
        else
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
