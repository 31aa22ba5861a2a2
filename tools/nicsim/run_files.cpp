#include "tools/nicsim/run_files.h"

#include <cerrno>
#include <cstring>

namespace nicsim {

bool RunFiles::Open(host::trace::Trace& trace, std::function<uint64_t()> clock, std::string& error) {
    if (!tracePath_.empty()) {
        trace_.open(tracePath_, std::ios::binary | std::ios::trunc);
        if (!trace_) {
            error = "cannot write " + tracePath_;
            return false;
        }
        trace.AddSink([this](const host::trace::Json& line) {
            trace_ << line.dump() << '\n';
            if (!trace_ && traceErrno_ == 0) traceErrno_ = errno != 0 ? errno : EIO;
        });
    }
    std::string why;
    if (!usbPath_.empty()) {
        usbFile_ = PcapWriter::Open(usbPath_, kLinkTypeUsbLinuxMmapped, why);
        if (!usbFile_) {
            error = "cannot write " + usbPath_ + ": " + why;
            return false;
        }
        usb_ = std::make_unique<UsbCapture>(*usbFile_, clock);
    }
    if (!wirePath_.empty()) {
        wireFile_ = PcapWriter::Open(wirePath_, kLinkTypeEthernet, why);
        if (!wireFile_) {
            error = "cannot write " + wirePath_ + ": " + why;
            return false;
        }
        wire_ = std::make_unique<WireCapture>(*wireFile_, clock);
    }
    return true;
}

void RunFiles::AttachBus(host::usb::UsbBus& bus) {
    if (usb_) usb_->Attach(bus);
}

void RunFiles::AttachLink(host::wire::Link& link) {
    if (wire_) wire_->Attach(link);
}

bool RunFiles::Close(std::string& error) {
    // The captures detach from what they watch before their files go.
    usb_.reset();
    wire_.reset();
    bool written = true;
    auto failed = [&](const std::string& path, int why) {
        error += (error.empty() ? "" : "; ") + ("writing " + path + " failed: " + std::strerror(why));
        written = false;
    };
    if (trace_.is_open()) {
        trace_.flush();
        if (!trace_ && traceErrno_ == 0) traceErrno_ = errno != 0 ? errno : EIO;
        trace_.close();
        if (trace_.fail() && traceErrno_ == 0) traceErrno_ = errno != 0 ? errno : EIO;
        if (traceErrno_ != 0) failed(tracePath_, traceErrno_);
    }
    for (auto [file, path] : {std::pair{usbFile_.get(), &usbPath_}, std::pair{wireFile_.get(), &wirePath_}}) {
        if (file == nullptr) continue;
        errno = 0;
        if (!file->Close()) failed(*path, errno != 0 ? errno : EIO);
    }
    return written;
}

}  // namespace nicsim
