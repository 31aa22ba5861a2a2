// pcap captures of a run, stamped with virtual time so one seed gives one file, byte for byte.
//
//   UsbCapture   the requests on each adapter's emulated bus in the Linux usbmon layout
//                (LINKTYPE_USB_LINUX_MMAPPED, 220: a 64-byte header before the data), one submit
//                ('S') and one complete ('C') record per request, sharing the URB id, as
//                Wireshark and tshark decode them. Adapter n is device n + 2 on bus 1 (device 1
//                is the root hub).
//   WireCapture  the Ethernet frames that crossed the media it watches (LINKTYPE_ETHERNET, 1), in
//                the order they arrived. nicsim gives each medium a capture of its own: each
//                has its own partner, often with the same address, which in one file reads as
//                one network with a duplicated address.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/usb/bus.h"
#include "host/wire/link.h"

namespace nicsim {

constexpr int kLinkTypeEthernet = 1;            // LINKTYPE_ETHERNET
constexpr int kLinkTypeUsbLinuxMmapped = 220;   // LINKTYPE_USB_LINUX_MMAPPED

// One pcap file in the classic format (24-byte file header, 16-byte record headers). Records carry the time the clock gives, in microseconds.
class PcapWriter {
public:
    // Returns null and fills `error` when the file cannot be created.
    static std::unique_ptr<PcapWriter> Open(const std::string& path, int linkType, std::string& error);
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    void Write(uint64_t t_us, const uint8_t* data, size_t length);
    // Flushes and closes; false when the file could not be written completely, with errno
    // telling why when the system said (0 otherwise).
    bool Close();
    uint64_t Records() const { return records_; }

private:
    PcapWriter() = default;
    std::FILE* file_ = nullptr;
    uint64_t records_ = 0;
    int failure_ = 0;  // errno of the first write that failed
};

// The 64-byte header Linux's usbmon puts before each record's data (struct usbmon_packet of the
// binary interface), in host byte order as pcap records carry it.
struct UsbmonHeader {
    uint64_t id;          // URB id, shared by a submission and its completion
    uint8_t type;         // 'S' submission, 'C' completion
    uint8_t xferType;     // 0 isochronous, 1 interrupt, 2 control, 3 bulk
    uint8_t epnum;        // endpoint number, bit 0x80 for device-to-host
    uint8_t devnum;
    uint16_t busnum;
    char flagSetup;       // 0: `setup` holds the setup packet; '-' none
    char flagData;        // 0: data follows; '<' an IN submission, '>' an OUT completion
    int64_t tsSec;
    int32_t tsUsec;
    int32_t status;       // -EINPROGRESS on submission; 0 or a negative errno on completion
    uint32_t length;      // urb_len: bytes asked for (submission) or moved (completion)
    uint32_t lenCap;      // data_len: bytes of data in this record
    uint8_t setup[8];
    int32_t interval;
    int32_t startFrame;
    uint32_t xferFlags;   // URB_DIR_IN (0x200) for device-to-host; URB_SHORT_NOT_OK (0x1) too
                          // when the request does not take a short answer
    uint32_t ndesc;
};
static_assert(sizeof(UsbmonHeader) == 64);

// Builds the usbmon records of one request. Pure: it knows no bus and no clock.
std::vector<uint8_t> UsbmonRecord(char type, uint64_t urbId, uint16_t bus, uint8_t device,
                                  const host::usb::TransferRecord& t, uint32_t urbLen,
                                  uint64_t t_us);

class UsbCapture : public host::usb::TransferObserver {
public:
    UsbCapture(PcapWriter& out, std::function<uint64_t()> clock)
        : out_(out), clock_(std::move(clock)) {}
    ~UsbCapture() override;
    void Attach(host::usb::UsbBus& bus);

    void Submitted(int adapter, const host::usb::TransferRecord& t) override;
    void Completed(int adapter, const host::usb::TransferRecord& t) override;

private:
    struct InFlight {
        uint64_t id;
        uint32_t requested;
    };
    PcapWriter& out_;
    std::function<uint64_t()> clock_;
    std::vector<host::usb::UsbBus*> buses_;
    std::map<std::pair<int, const void*>, InFlight> inFlight_;
    uint64_t nextId_ = 1;
};

class WireCapture {
public:
    WireCapture(PcapWriter& out, std::function<uint64_t()> clock)
        : out_(out), clock_(std::move(clock)) {}
    ~WireCapture();
    void Attach(host::wire::Link& link);

private:
    PcapWriter& out_;
    std::function<uint64_t()> clock_;
    std::vector<std::pair<host::wire::Link*, size_t>> taps_;
};

}  // namespace nicsim
