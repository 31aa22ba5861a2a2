// The files a run writes beside its timeline: the JSON Lines trace and the pcap captures.
// `nicsim run` and `nicsim bridge` open them alike, and a path left empty means "not asked for";
// "-" means standard output, which then holds that one file and nothing else.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/trace/trace.h"
#include "tools/nicsim/run/capture.h"
#include "tools/nicsim/run/verdict.h"

namespace nicsim {

// What `--trace-data head` keeps of a payload.
constexpr size_t kTraceDataHead = 64;

// What the user asked the files to hold, as the command line gave it.
struct OutputOptions {
    std::string tracePath, pcapUsbPath, pcapWirePath;
    std::vector<std::string> traceEvents;  // `ev` kinds the trace file takes; empty: every kind
    std::string traceData;                 // "none", "head" or "full"; empty when not given (full)
};

// Every `ev` a trace line can have (docs/trace-format.md documents each), and the same as the
// comma-separated list that help and refusals print.
const std::vector<std::string>& TraceKinds();
std::string TraceKindList();
// Checks `--trace-events`, `--trace-data` and who writes to standard output (at most one file,
// and not beside `--json`); false with a message for the user otherwise.
bool CheckOutputOptions(const OutputOptions& o, bool json, std::string& error);
// Whether a file goes to standard output, so the timeline and summary must go to standard error.
bool WritesStandardOutput(const OutputOptions& o);
// Where the wire capture of `link` goes when the run has `links` media: the path as given for
// one; for several, the link's name joins the file's stem (wire.pcap -> wire-eth0.pcap).
std::string WireCapturePath(const std::string& path, const std::string& link, size_t links);

// The end of a `run` or `bridge`, once its files are closed: standard output's own loss joins
// `lost` when `standardOutputWritten` (it is the last file written before the report, which tells
// of it too), `verdict.errors` takes them all, each is said on standard error, and the JUnit report
// is written when asked for. The exit status: 2 when anything was lost or the report could not be
// written, 1 when the verifier caught something, 0 otherwise.
int EndRun(Verdict& verdict, std::vector<OutputError> lost, bool standardOutputWritten, ReportFile& junit);

class RunFiles {
public:
    explicit RunFiles(OutputOptions options) : options_(std::move(options)) {}
    // Files created but never closed belong to a run that was refused or stopped before it
    // started (another file could not be created, a TAP would not open): they are removed, so
    // no empty trace or capture is taken for a run's.
    ~RunFiles();
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;

    // Creates the trace and the USB capture when asked for and joins the trace file to `trace`;
    // false, with a message naming the file, when one cannot be created. The captures stamp
    // records with `clock`.
    bool Open(host::trace::Trace& trace, std::function<uint64_t()> clock, std::string& error);
    // Creates one wire capture per medium, once the media are known; false, with a message,
    // when one cannot be created or several would share standard output.
    bool OpenWire(const std::vector<std::string>& links, std::string& error);
    // Watch a bus or a medium; nothing happens for a capture that was not asked for.
    void AttachBus(host::usb::UsbBus& bus);
    void AttachLink(host::wire::Link& link);
    // Stops the captures and closes every file; false, with one error per file naming it and the
    // system's reason, when one could not be written whole (a full disk, /dev/full). Call it
    // after the last trace line.
    bool Close(std::vector<OutputError>& errors);

private:
    struct Wire {
        std::string path;
        std::unique_ptr<PcapWriter> file;
        std::unique_ptr<WireCapture> capture;
    };
    OutputOptions options_;
    std::function<uint64_t()> clock_;
    std::ofstream traceFile_;
    std::ostream* trace_ = nullptr;  // the file, or std::cout for "-"
    int traceErrno_ = 0;  // why the trace first failed to take a line; 0 while it takes them
    std::unique_ptr<PcapWriter> usbFile_;
    std::unique_ptr<UsbCapture> usb_;
    std::map<std::string, Wire> wires_;  // by link name
    bool closed_ = false;
};

}  // namespace nicsim
