#include "tools/nicsim/run/run_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "tools/nicsim/cli/input.h"
#include "tools/nicsim/cli/standard_output.h"

namespace nicsim {

const std::vector<std::string>& TraceKinds() {
    static const std::vector<std::string> kinds{
        "run",       "control",      "bulk",     "mdio",      "miniport",        "handler_start",
        "indicate_status", "indicate_receive", "send_complete", "error_log", "wire", "link",
        "switch",    "preempt",      "violation", "phys",     "phy_link",        "media",  "ping",
        "skipped",   "fault",        "keepalive", "traffic",  "summary"};
    return kinds;
}

std::string TraceKindList() {
    std::string list;
    for (const auto& k : TraceKinds()) list += (list.empty() ? "" : ", ") + k;
    return list;
}

bool WritesStandardOutput(const OutputOptions& o) {
    return o.tracePath == "-" || o.pcapUsbPath == "-" || o.pcapWirePath == "-";
}

bool CheckOutputOptions(const OutputOptions& o, bool json, std::string& error) {
    for (const std::string& kind : o.traceEvents) {
        if (std::find(TraceKinds().begin(), TraceKinds().end(), kind) != TraceKinds().end()) continue;
        error = "--trace-events: unknown kind \"" + kind + "\"" + DidYouMean(kind, TraceKinds()) +
                "; the kinds are " + TraceKindList();
        return false;
    }
    // Both shape the trace file; without one they would do nothing, and say nothing of it.
    for (const auto& [option, given] : {std::pair{"--trace-events", !o.traceEvents.empty()},
                                        std::pair{"--trace-data", !o.traceData.empty()}}) {
        if (!given || !o.tracePath.empty()) continue;
        error = std::string(option) + " chooses what the trace file holds, but no trace is written: add --trace "
                "FILE.jsonl (or --trace - for standard output), or leave " + option + " out";
        return false;
    }
    std::vector<std::string> onStdout;
    for (const auto& [option, path] : {std::pair{"--trace", &o.tracePath}, std::pair{"--pcap-usb", &o.pcapUsbPath},
                                       std::pair{"--pcap-wire", &o.pcapWirePath}})
        if (*path == "-") onStdout.push_back(std::string(option) + " -");
    if (json && !onStdout.empty()) onStdout.push_back("--json");
    if (onStdout.size() > 1) {
        std::string list;
        for (size_t i = 0; i < onStdout.size(); ++i)
            list += (i == 0 ? "" : i + 1 == onStdout.size() ? " and " : ", ") + onStdout[i];
        error = list + (onStdout.size() == 2 ? " would both" : " would all") +
                " write to standard output, which takes one of them; give the others a file";
        return false;
    }
    return true;
}

std::string WireCapturePath(const std::string& path, const std::string& link, size_t links) {
    if (links <= 1) return path;
    // A link's name is the scenario author's; in a file name it keeps only what is safe there.
    std::string safe = link;
    for (char& c : safe)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
    const std::filesystem::path p(path);
    std::filesystem::path name = p.stem();
    name += "-" + safe;
    name += p.extension();
    return (p.parent_path() / name).string();
}

int EndRun(Verdict& verdict, std::vector<OutputError> lost, bool standardOutputWritten, ReportFile& junit) {
    if (standardOutputWritten) {
        const std::string out = StandardOutputError();
        const bool said = std::any_of(lost.begin(), lost.end(),
                                      [](const OutputError& e) { return e.file == "standard output"; });
        if (!out.empty() && !said) lost.push_back({"standard output", out});
        if (!out.empty()) StandardOutputErrorTold();
    }
    verdict.errors = lost;
    for (const auto& e : lost) std::cerr << "nicsim: " << e.message << "\n";
    bool written = lost.empty();
    std::string error;
    if (junit.Asked() && !junit.Write(VerdictJUnit(verdict), error)) {
        std::cerr << "nicsim: " << error << "\n";
        written = false;
    }
    return !written ? 2 : verdict.violations.empty() ? 0 : 1;
}

bool RunFiles::Open(host::trace::Trace& trace, std::function<uint64_t()> clock, std::string& error) {
    clock_ = clock;
    if (!options_.tracePath.empty()) {
        if (options_.tracePath == "-") {
            trace_ = &std::cout;
        } else {
            traceFile_.open(options_.tracePath, std::ios::binary | std::ios::trunc);
            if (!traceFile_) {
                error = "cannot write " + options_.tracePath;
                return false;
            }
            trace_ = &traceFile_;
        }
        // The run and summary records stay whatever was chosen: the file says what made it and
        // how it ended.
        std::vector<std::string> kinds;
        if (!options_.traceEvents.empty()) {
            kinds = options_.traceEvents;
            for (const char* always : {"run", "summary"})
                if (std::find(kinds.begin(), kinds.end(), always) == kinds.end()) kinds.emplace_back(always);
            if (std::find(kinds.begin(), kinds.end(), "miniport") != kinds.end())
                kinds.emplace_back(host::trace::Trace::kMiniportSend);
        }
        const size_t dataLimit = options_.traceData == "none"   ? 0
                                 : options_.traceData == "head" ? kTraceDataHead
                                                                : host::trace::Trace::kAllData;
        trace.AddSink([this](const host::trace::Json& line) {
            if (trace_ == nullptr) return;  // closed
            *trace_ << line.dump() << '\n';
            if (!*trace_ && traceErrno_ == 0) traceErrno_ = errno != 0 ? errno : EIO;
        }, std::move(kinds), dataLimit);
    }
    std::string why;
    if (!options_.pcapUsbPath.empty()) {
        usbFile_ = PcapWriter::Open(options_.pcapUsbPath, kLinkTypeUsbLinuxMmapped, why);
        if (!usbFile_) {
            error = "cannot write " + options_.pcapUsbPath + ": " + why;
            return false;
        }
        usb_ = std::make_unique<UsbCapture>(*usbFile_, clock);
    }
    return true;
}

bool RunFiles::OpenWire(const std::vector<std::string>& links, std::string& error) {
    const std::string& path = options_.pcapWirePath;
    if (path.empty()) return true;
    // Tools that read a capture find one address on one network per file; two media with their
    // own partners in one file would look like one network with a duplicated address.
    if (path == "-" && links.size() > 1) {
        std::string names;
        for (const auto& l : links) names += (names.empty() ? "" : ", ") + l;
        error = "--pcap-wire -: the run has " + std::to_string(links.size()) + " links (" + names +
                ") and writes one capture per link, but standard output takes one; give a file name "
                "(FILE.pcap becomes FILE-LINK.pcap for each link)";
        return false;
    }
    // A run without media still gets the (empty) capture it was asked for.
    const std::vector<std::string> names = links.empty() ? std::vector<std::string>{""} : links;
    for (const std::string& link : names) {
        Wire w;
        w.path = WireCapturePath(path, link, names.size());
        std::string why;
        w.file = PcapWriter::Open(w.path, kLinkTypeEthernet, why);
        if (!w.file) {
            error = "cannot write " + w.path + ": " + why;
            return false;
        }
        w.capture = std::make_unique<WireCapture>(*w.file, clock_);
        wires_[link] = std::move(w);
    }
    return true;
}

void RunFiles::AttachBus(host::usb::UsbBus& bus) {
    if (usb_) usb_->Attach(bus);
}

void RunFiles::AttachLink(host::wire::Link& link) {
    auto it = wires_.find(link.Name());
    if (it != wires_.end()) it->second.capture->Attach(link);
}

RunFiles::~RunFiles() {
    if (closed_) return;
    usb_.reset();
    for (auto& [name, w] : wires_) w.capture.reset();
    trace_ = nullptr;  // the sink writes nothing more
    const auto remove = [](const std::string& path) {
        if (!path.empty() && path != "-") std::remove(path.c_str());
    };
    if (traceFile_.is_open()) {
        traceFile_.close();
        remove(options_.tracePath);
    }
    if (usbFile_) {
        usbFile_.reset();
        remove(options_.pcapUsbPath);
    }
    for (auto& [name, w] : wires_) {
        w.file.reset();
        remove(w.path);
    }
}

bool RunFiles::Close(std::vector<OutputError>& errors) {
    closed_ = true;
    // The captures detach from what they watch before their files go.
    usb_.reset();
    for (auto& [name, w] : wires_) w.capture.reset();
    bool written = true;
    auto failed = [&](const std::string& path, int why) {
        errors.push_back({path, "writing " + path + " failed: " + std::strerror(why)});
        // Said by the caller with the others, not again when nicsim ends.
        if (path == "standard output") StandardOutputErrorTold();
        written = false;
    };
    if (trace_ != nullptr) {
        trace_->flush();
        if (!*trace_ && traceErrno_ == 0) traceErrno_ = errno != 0 ? errno : EIO;
        if (traceFile_.is_open()) {
            traceFile_.close();
            if (traceFile_.fail() && traceErrno_ == 0) traceErrno_ = errno != 0 ? errno : EIO;
        }
        if (traceErrno_ != 0) failed(options_.tracePath == "-" ? "standard output" : options_.tracePath, traceErrno_);
        trace_ = nullptr;
    }
    auto close = [&](PcapWriter* file, const std::string& path) {
        if (file == nullptr) return;
        errno = 0;
        if (!file->Close()) failed(path == "-" ? "standard output" : path, errno != 0 ? errno : EIO);
    };
    close(usbFile_.get(), options_.pcapUsbPath);
    for (auto& [name, w] : wires_) close(w.file.get(), w.path);
    return written;
}

}  // namespace nicsim
