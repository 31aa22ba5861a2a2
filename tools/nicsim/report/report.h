// The picture of a run: one self-contained HTML page (SVG drawn here, a small script of its own for
// zoom, bins and hover, nothing fetched) with every lane on one time axis and a legend of every
// mark it draws. It is built from trace lines as they come, whether read back from a JSON Lines
// file (`nicsim report`) or taken from the run being made (`nicsim run --html`), and keeps
// aggregates, not lines: state changes and rare events become marks, and what comes per frame or
// per request (traffic, USB pipes, latencies, processors) becomes series of times the page bins
// for whatever stretch is in view. A series longer than kMaxSeriesPoints is pre-binned at the
// finest power of ten that keeps it under that, so a trace of any length gives a page of bounded
// size.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/trace/trace.h"

namespace nicsim {

class RunReport {
public:
    // The kinds of trace line the report draws anything from: the only ones its sink asks for.
    static std::vector<std::string> Kinds();

    // Takes the next trace line. The first must be the run record; false, with `error` saying
    // why, for a line that cannot be part of a run's trace.
    bool OnLine(const host::trace::Json& line, std::string& error);
    bool HasRun() const { return run_.has_value(); }
    // The page. Call it after the last line.
    std::string Html() const;

    // Point marks drawn per lane at most; beyond it the lane's label says how many were left out.
    static constexpr size_t kMaxPointMarks = 5000;
    // Points kept per series at most; beyond it the series is pre-binned (above).
    static constexpr size_t kMaxSeriesPoints = 50000;

private:
    // One drawn mark: an interval [t0, t1] (t1 == t0 for a point) with the records behind it.
    struct Mark {
        uint64_t t0 = 0, t1 = 0;
        std::string kind;   // what it shows: "link", "media", "indication", "ping", ...
        std::string cls;    // its look: "up", "down", "lost", ...
        std::string label;  // text written on a segment, or beside a point, when there is room
        std::string title;  // the trace record(s) behind it, for hover
        // Drawn from what a later record implies, with no record of its own behind it (the state
        // of a medium before its first change): not a mark.
        bool inferred = false;
    };
    struct Lane {
        std::string name;
        std::string adapter;  // empty for a medium's lane and the run's own
        std::vector<Mark> marks;
        size_t dropped = 0;  // point marks beyond kMaxPointMarks
        bool open = false;   // the last mark is a segment still running (ends at the next change)
    };
    // Times of things that come in numbers, each with a value (bytes, packets, a latency, a level
    // of requests in flight) or none (a count).
    struct Series {
        std::vector<uint64_t> t;
        std::vector<double> v;
        uint64_t Count() const { return t.size(); }
    };
    // A USB pipe as the trace names it: "control", "bulk-in", "bulk-out".
    struct Pipe {
        std::vector<std::pair<uint64_t, int>> steps;  // (time, +1 submitted / -1 completed)
        uint64_t requests = 0;
    };
    struct Adapter {
        std::map<int, Lane> phys;  // by address
        Lane active, indications, requests, pings, faults;
        Series out, in, packets, sendLatency;
        std::map<std::string, Pipe> pipes;
        // Sends not yet paired with their completion, by the protocol's packet number: the call's
        // time, or the completion's when it came first (within the call).
        std::map<uint64_t, uint64_t> sent, completed;
    };

    Adapter& AdapterFor(const std::string& name);
    Lane& MediumFor(const std::string& name);
    void Point(Lane& lane, Mark m);
    // Ends the segment running on `lane` at `t` and, with `next`, starts the next one.
    void Segment(Lane& lane, uint64_t t, std::optional<Mark> next);
    std::string MarksLane(const Lane& lane, double& y) const;
    // A lane the page's script bins: `series` are the ids of its series in the page's data.
    std::string SeriesLane(const std::string& adapter, const std::string& name, const std::string& kind,
                           const std::string& type, const std::string& series, const std::string& extra,
                           double& y) const;
    // Adds `s` to the page's data (as `type` bins it) and returns its id.
    int AddSeries(host::trace::Json& data, const Series& s, const std::string& type) const;
    std::string Legend(const std::vector<std::pair<std::string, std::string>>& keys) const;

    std::optional<host::trace::Json> run_;
    uint64_t endUs_ = 0;
    bool fullSpeed_ = false;
    std::optional<host::trace::Json> summary_;
    std::vector<std::string> order_;  // adapters in order of first appearance
    std::map<std::string, Adapter> adapters_;
    std::vector<std::string> mediaOrder_;
    std::map<std::string, Lane> media_;
    Lane runFaults_;  // faults and violations of no adapter
    // Tasks taken up, by processor and then by what they were started as (a group of contexts).
    std::map<int, std::map<std::string, Series>> cpus_;
    std::map<int, uint64_t> preempts_;
};

// `nicsim report TRACE -o OUT`: reads the trace line by line and writes the page. Exit status 0,
// or 2 with a message naming the file and line when the trace is not a run's or OUT cannot be
// written.
int WriteReport(const std::string& tracePath, const std::string& outPath);

}  // namespace nicsim
