#include "tools/nicsim/run_files.h"

namespace nicsim {

bool RunFiles::Open(host::trace::Trace& trace, std::function<uint64_t()> clock, std::string& error) {
    if (!tracePath_.empty()) {
        trace_.open(tracePath_, std::ios::binary | std::ios::trunc);
        if (!trace_) {
            error = "cannot write " + tracePath_;
            return false;
        }
        trace.AddSink([this](const host::trace::Json& line) { trace_ << line.dump() << '\n'; });
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

bool RunFiles::CloseCaptures(std::string& error) {
    // The captures detach from what they watch before their files go.
    usb_.reset();
    wire_.reset();
    bool written = true;
    for (auto [file, path] : {std::pair{usbFile_.get(), &usbPath_}, std::pair{wireFile_.get(), &wirePath_}}) {
        if (file != nullptr && !file->Close()) {
            error += (error.empty() ? "" : "; ") + ("writing " + *path + " failed");
            written = false;
        }
    }
    return written;
}

}  // namespace nicsim
