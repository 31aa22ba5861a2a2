// The verdict of a run in forms other programs read: one JSON object on standard output
// (`--json`) and a JUnit XML report (`--junit FILE`) that CI systems show as test results.
// `nicsim run` and `nicsim bridge` fill the same Verdict from their summaries.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "host/trace/trace.h"
#include "host/verifier/verifier.h"
#include "tools/nicsim/cli/report_file.h"

namespace nicsim {

// A file of the run (a trace, capture, page or standard output) that was not written whole.
struct OutputError {
    std::string file;     // the path as given, or "standard output"
    std::string message;  // "writing FILE failed: REASON"
};

struct Verdict {
    std::string command;   // "run" or "bridge"
    std::string scenario;  // the scenario's own name
    uint64_t seed = 0;
    unsigned cpus = 1;
    std::string usbTiming;  // "frame" or "full-speed"
    double virtualSeconds = 0;
    double wallSeconds = 0;
    std::vector<host::verifier::Violation> violations;  // in the order the verifier caught them
    size_t leaks = 0;
    host::trace::Json adapters = host::trace::Json::object();  // the counters of the summary record
    host::trace::Json pings = host::trace::Json::array();      // `run` only
    std::string replay;  // the nicsim command line that plays the run again
    uint64_t checks = 0;  // the verifier's checks, passed or not (see host/verifier/verifier.h)
    // What was lost of the run's outputs: the run's outcome too (exit status 2), so the report
    // says it beside the violations.
    std::vector<OutputError> errors;
    // What the trace's run record says of what produced the run: nicsim's version, and where the
    // scenario came from with the SHA-256 of its text (empty for a bridge without a scenario).
    std::string version, source, sha256;
    // `run` only: per adapter, the bytes it sent and received and their rates over the run.
    host::trace::Json throughput = host::trace::Json::object();
};

// `args` joined with spaces, each quoted for a POSIX shell where it needs to be.
std::string ShellCommand(const std::vector<std::string>& args);

host::trace::Json VerdictJson(const Verdict& verdict);
std::string VerdictJUnit(const Verdict& verdict);

// The verdict of a `nicsim explore` sweep (or a merge of its shards) as a JUnit XML report, from
// its records: one testsuite, one failing testcase per failing seed (its kind, detail and replay
// command), a passing one when no seed failed, and a skipped one when not every seed ran.
std::string SweepJUnit(const std::vector<host::trace::Json>& failures, const host::trace::Json& summary);

// Text for XML character data and attribute values: markup characters as entities, characters
// XML 1.0 cannot carry (control characters, bytes that are not UTF-8) as visible \xNN.
std::string XmlEscape(const std::string& text);

}  // namespace nicsim
