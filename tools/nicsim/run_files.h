// The files a run writes beside its timeline: the JSON Lines trace and the two pcap captures.
// `nicsim run` and `nicsim bridge` open them alike, and a path left empty means "not asked for".
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "host/trace/trace.h"
#include "tools/nicsim/capture.h"

namespace nicsim {

class RunFiles {
public:
    RunFiles(std::string tracePath, std::string usbPath, std::string wirePath)
        : tracePath_(std::move(tracePath)), usbPath_(std::move(usbPath)), wirePath_(std::move(wirePath)) {}

    // Creates every file asked for and joins the trace file to `trace`; false, with a message
    // naming the file, when one cannot be created. The captures stamp records with `clock`.
    bool Open(host::trace::Trace& trace, std::function<uint64_t()> clock, std::string& error);
    // Watch a bus or a medium; nothing happens for a capture that was not asked for.
    void AttachBus(host::usb::UsbBus& bus);
    void AttachLink(host::wire::Link& link);
    // Stops the captures and closes every file; false, with a message naming each file and the
    // system's reason, when one could not be written whole (a full disk, /dev/full). Call it
    // after the last trace line.
    bool Close(std::string& error);

private:
    std::string tracePath_, usbPath_, wirePath_;
    std::ofstream trace_;
    int traceErrno_ = 0;  // why the trace first failed to take a line; 0 while it takes them
    std::unique_ptr<PcapWriter> usbFile_, wireFile_;
    std::unique_ptr<UsbCapture> usb_;
    std::unique_ptr<WireCapture> wire_;
};

}  // namespace nicsim
