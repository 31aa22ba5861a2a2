#include "tools/nicsim/run/capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nicsim {

namespace {

constexpr uint32_t kSnapLength = 65535;

// The classic pcap format (the one tcpdump and libpcap write): a file header, then per record a
// header followed by the bytes kept.
struct PcapFileHeader {
    uint32_t magic;  // 0xA1B2C3D4: microsecond timestamps, in the byte order it is read in
    uint16_t versionMajor;
    uint16_t versionMinor;
    int32_t thisZone;
    uint32_t sigFigs;
    uint32_t snapLength;
    uint32_t linkType;
};
static_assert(sizeof(PcapFileHeader) == 24);

struct PcapRecordHeader {
    uint32_t tsSec;
    uint32_t tsUsec;
    uint32_t caplen;  // bytes of the frame in the file
    uint32_t len;     // bytes the frame had
};
static_assert(sizeof(PcapRecordHeader) == 16);
constexpr uint32_t kUrbDirIn = 0x200;
// An IN transfer that does not accept a short data stage (no USBD_SHORT_TRANSFER_OK).
constexpr uint32_t kUrbShortNotOk = 0x0001;

int32_t UsbmonStatus(host::usb::Result r) {
    using host::usb::Result;
    switch (r) {
        case Result::Ok: return 0;
        case Result::Stall: return -EPIPE;
        case Result::Error: return -EPROTO;
        case Result::Timeout: return -ETIMEDOUT;
        case Result::Cancelled: return -ENOENT;  // killed, as usb_kill_urb reports it
        case Result::Gone: return -ENODEV;
    }
    return -EPROTO;
}

}  // namespace

std::unique_ptr<PcapWriter> PcapWriter::Open(const std::string& path, int linkType, std::string& error) {
    std::unique_ptr<PcapWriter> w(new PcapWriter);
    if (path == "-") {
        // A stream of its own on standard output's descriptor: closing the capture must not
        // close stdout, which nicsim still flushes and checks when it ends.
        const int fd = dup(STDOUT_FILENO);
        w->file_ = fd < 0 ? nullptr : fdopen(fd, "wb");
        if (w->file_ == nullptr) {
            if (fd >= 0) close(fd);
            error = std::string("standard output: ") + std::strerror(errno);
            return nullptr;
        }
    } else {
        w->file_ = std::fopen(path.c_str(), "wb");
        if (w->file_ == nullptr) {
            error = std::strerror(errno);
            return nullptr;
        }
    }
    // The classic pcap file header, in the writer's byte order (the magic tells a reader which):
    // magic, version 2.4, time zone offset and timestamp accuracy (both 0), snapshot length,
    // link type.
    const PcapFileHeader h{0xA1B2C3D4u, 2, 4, 0, 0, kSnapLength, static_cast<uint32_t>(linkType)};
    if (std::fwrite(&h, sizeof h, 1, w->file_) != 1) w->failure_ = errno != 0 ? errno : EIO;
    return w;
}

PcapWriter::~PcapWriter() { Close(); }

void PcapWriter::Write(uint64_t t_us, const uint8_t* data, size_t length) {
    if (file_ == nullptr) return;
    // A record header: seconds and microseconds (32 bits each, as the format has them), the
    // bytes kept and the bytes the frame had.
    const PcapRecordHeader h{static_cast<uint32_t>(t_us / 1'000'000), static_cast<uint32_t>(t_us % 1'000'000),
                             static_cast<uint32_t>(std::min<size_t>(length, kSnapLength)),
                             static_cast<uint32_t>(length)};
    if ((std::fwrite(&h, sizeof h, 1, file_) != 1 || std::fwrite(data, 1, h.caplen, file_) != h.caplen) &&
        failure_ == 0)
        failure_ = errno != 0 ? errno : EIO;
    ++records_;
}

bool PcapWriter::Close() {
    if (file_ == nullptr) return true;
    errno = 0;
    const bool flushed = std::fflush(file_) == 0;
    if (!flushed && failure_ == 0) failure_ = errno != 0 ? errno : EIO;
    const bool clean = !std::ferror(file_);
    if (!clean && failure_ == 0) failure_ = EIO;
    const bool closed = std::fclose(file_) == 0;
    if (!closed && failure_ == 0) failure_ = errno != 0 ? errno : EIO;
    file_ = nullptr;
    errno = failure_;
    return flushed && clean && closed && failure_ == 0;
}

std::vector<uint8_t> UsbmonRecord(char type, uint64_t urbId, uint16_t bus, uint8_t device,
                                  const host::usb::TransferRecord& t, uint32_t urbLen,
                                  uint64_t t_us) {
    UsbmonHeader h{};
    h.id = urbId;
    h.type = static_cast<uint8_t>(type);
    h.xferType = t.type;
    h.epnum = t.endpoint;
    h.devnum = device;
    h.busnum = bus;
    h.tsSec = static_cast<int64_t>(t_us / 1'000'000);
    h.tsUsec = static_cast<int32_t>(t_us % 1'000'000);
    h.length = urbLen;
    h.xferFlags = t.In() ? kUrbDirIn | (t.shortOk ? 0 : kUrbShortNotOk) : 0;
    const bool submit = type == 'S';
    h.status = submit ? -EINPROGRESS : UsbmonStatus(t.result);
    h.flagSetup = '-';
    if (submit && t.hasSetup) {
        h.flagSetup = 0;
        h.setup[0] = t.setup.bmRequestType;
        h.setup[1] = t.setup.bRequest;
        h.setup[2] = static_cast<uint8_t>(t.setup.wValue);
        h.setup[3] = static_cast<uint8_t>(t.setup.wValue >> 8);
        h.setup[4] = static_cast<uint8_t>(t.setup.wIndex);
        h.setup[5] = static_cast<uint8_t>(t.setup.wIndex >> 8);
        h.setup[6] = static_cast<uint8_t>(t.setup.wLength);
        h.setup[7] = static_cast<uint8_t>(t.setup.wLength >> 8);
    }
    // OUT data travels with the submission, IN data with the completion.
    size_t dataLen = 0;
    if (submit && t.In()) {
        h.flagData = '<';
    } else if (!submit && !t.In()) {
        h.flagData = '>';
    } else {
        dataLen = t.data != nullptr ? std::min<size_t>(t.length, urbLen) : 0;
        h.flagData = 0;
    }
    h.lenCap = static_cast<uint32_t>(dataLen);
    std::vector<uint8_t> record(sizeof h + dataLen);
    std::memcpy(record.data(), &h, sizeof h);
    if (dataLen) std::memcpy(record.data() + sizeof h, t.data, dataLen);
    return record;
}

UsbCapture::~UsbCapture() {
    for (auto* bus : buses_) bus->RemoveObserver(this);
}

void UsbCapture::Attach(host::usb::UsbBus& bus) {
    bus.AddObserver(this);
    buses_.push_back(&bus);
}

void UsbCapture::Submitted(int adapter, const host::usb::TransferRecord& t) {
    const uint64_t id = nextId_++;
    inFlight_[{adapter, t.key}] = InFlight{id, t.requested};
    const auto record = UsbmonRecord('S', id, 1, static_cast<uint8_t>(adapter + 2), t, t.requested, clock_());
    out_.Write(clock_(), record.data(), record.size());
}

void UsbCapture::Completed(int adapter, const host::usb::TransferRecord& t) {
    auto it = inFlight_.find({adapter, t.key});
    if (it == inFlight_.end()) return;  // submitted before the capture began
    const InFlight f = it->second;
    inFlight_.erase(it);
    // A lower driver may claim more than it was asked for; the record shows what fits.
    const uint32_t moved = std::min(t.length, f.requested);
    const auto record = UsbmonRecord('C', f.id, 1, static_cast<uint8_t>(adapter + 2), t, moved, clock_());
    out_.Write(clock_(), record.data(), record.size());
}

WireCapture::~WireCapture() {
    for (auto& [link, id] : taps_) link->RemoveTap(id);
}

void WireCapture::Attach(host::wire::Link& link) {
    const size_t id = link.AddTap([this](const host::wire::Link&, const std::string&,
                                         const host::wire::Frame& frame) {
        out_.Write(clock_(), frame.data(), frame.size());
    });
    taps_.emplace_back(&link, id);
}

}  // namespace nicsim
