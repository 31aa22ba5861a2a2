// Runs a scenario: builds the world it describes, plays its events in virtual time, watches the
// protocol side (pings, traffic bursts), writes the traces and gives the verifier's verdict.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/image/image_driver.h"
#include "host/trace/trace.h"
#include "host/verifier/verifier.h"
#include "tools/nicsim/run/run_files.h"
#include "tools/nicsim/scenario/scenario.h"

namespace nicsim {

struct RunOutcome;

struct RunOptions {
    std::optional<uint64_t> seed;
    std::optional<double> untilSeconds;
    OutputOptions outputs;   // the trace and the captures
    bool quiet = false;
    bool fullSpeedUsb = false;  // time bulk transfers as a USB 1.1 full-speed bus
    std::optional<unsigned> cpus;  // processors (default: the scenario's)
    bool json = false;       // the summary as one JSON object on standard output, and no timeline
    std::string junitPath;   // a JUnit XML report of the verdict, when not empty
    std::string htmlPath;    // the picture of the run (see report.h), when not empty
    std::string replay;      // the command line that plays this run again, for the verdict
    std::string replayNote;  // what a person must add to it (the scenario piped in), for the summary
    std::string version;     // of nicsim, for the run record
    std::string commandLine;  // as the user typed it, for the run record
    // The shipped driver image to run instead of the built-in driver (--image), or null.
    std::shared_ptr<const host::image::ImageFile> image;
    // --points calls: the world interleaves and checks only at the driver's calls (kernel.h,
    // SetCallsOnly), as it sees an image.
    bool callsOnly = false;
    // Told of what the run found when the driver crashed (the last thing before the process
    // exits), for a caller that plays runs itself; see PlayScenario.
    std::function<void(const RunOutcome&)> onCrash;
};

// Exit status: 0 no violation, 1 the verifier caught something, 2 a usage or file error.
int RunScenario(const Scenario& scenario, const RunOptions& options);

// What one run found, for callers that judge runs themselves (`nicsim explore`).
struct RunOutcome {
    int status = 0;  // as RunScenario's
    std::vector<host::verifier::Violation> violations;  // in the order the verifier caught them
    size_t leaks = 0;
    uint64_t checks = 0;  // the verifier's checks over the whole world, passed or not
    host::trace::Json adapters = host::trace::Json::object();  // the summary record's counters
    uint64_t virtualUs = 0;  // where the run's clock stopped
    uint64_t events = 0;     // events the world's scheduler ran
};

// Plays a run in this process and prints nothing, writes no file: the output fields of
// `options` (quiet, json and every path) are ignored. The same world, events and verifier as
// RunScenario with the same seed, so the verdict is the one `nicsim run` gives.
RunOutcome PlayScenario(const Scenario& scenario, RunOptions options);

}  // namespace nicsim
