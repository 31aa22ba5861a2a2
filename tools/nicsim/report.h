// The picture of a run: one self-contained HTML page (SVG drawn here, a small script of its own for
// zoom and hover, nothing fetched) with every lane on one time axis. It is built from trace lines
// as they come, whether read back from a JSON Lines file (`nicsim report`) or taken from the run
// being made (`nicsim run --html`), and keeps aggregates, not lines: frames are counted into bins,
// so a trace of tens of megabytes gives a page of bounded size.
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
    // Bins per lane at most, over the whole run.
    static constexpr uint64_t kMaxBins = 1000;

private:
    // One drawn mark: an interval [t0, t1] (t1 == t0 for a point) with the records behind it.
    struct Mark {
        uint64_t t0 = 0, t1 = 0;
        std::string kind;   // what it shows: "link", "media", "indication", "ping", ...
        std::string cls;    // its look: "up", "down", "lost", ...
        std::string label;  // text written on a segment wide enough for it
        std::string title;  // the trace record(s) behind it, for hover
        // Drawn from what a later record implies, with no record of its own behind it (the state
        // of a medium before its first change): not a mark.
        bool inferred = false;
    };
    // A value per bin of the run's bin width, with the first record that fell in each bin.
    struct Bins {
        std::map<uint64_t, double> value;
        std::map<uint64_t, std::string> first;
        uint64_t total = 0;
    };
    struct Lane {
        std::string name;
        std::string adapter;  // empty for a medium's lane and the run's own
        std::vector<Mark> marks;
        size_t dropped = 0;  // point marks beyond kMaxPointMarks
        bool open = false;   // the last mark is a segment still running (ends at the next change)
    };
    struct Adapter {
        std::map<int, Lane> phys;  // by address
        Lane active, indications, pings, faults;
        Bins out, in, packets;
        // USB requests: (time, +1 submitted / -1 completed), swept once at the end.
        std::vector<std::pair<uint64_t, int>> usb;
        uint64_t requests = 0;
    };

    Adapter& AdapterFor(const std::string& name);
    void Point(Lane& lane, Mark m);
    // Ends the segment running on `lane` at `t` and, with `next`, starts the next one.
    void Segment(Lane& lane, uint64_t t, std::optional<Mark> next);
    void Count(Bins& bins, uint64_t t, double amount, const host::trace::Json& line);
    std::string BinsLane(const std::string& adapter, const std::string& name, const std::string& kind, const Bins& bins,
                         double perBinScale, const std::string& unit, double& y) const;
    std::string MarksLane(const Lane& lane, double& y) const;

    std::optional<host::trace::Json> run_;
    uint64_t binUs_ = 1'000'000;
    uint64_t endUs_ = 0;
    bool fullSpeed_ = false;
    std::optional<host::trace::Json> summary_;
    std::vector<std::string> order_;  // adapters in order of first appearance
    std::map<std::string, Adapter> adapters_;
    std::vector<std::string> mediaOrder_;
    std::map<std::string, Lane> media_;
    Lane runFaults_;  // faults and violations of no adapter
};

// `nicsim report TRACE -o OUT`: reads the trace line by line and writes the page. Exit status 0,
// or 2 with a message naming the file and line when the trace is not a run's or OUT cannot be
// written.
int WriteReport(const std::string& tracePath, const std::string& outPath);

}  // namespace nicsim
