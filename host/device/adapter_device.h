// The adapter itself as the bus sees it: USB descriptors, the control endpoint with the standard
// requests and the vendor register requests (0xF0 read, 0xF1 write), the register bank with its
// EEPROM port (0x20..0x23) and PHY management port (0x25..0x28), the PHYs on the management
// bus, and the bulk endpoints. What the driver writes is kept with its time for tests to read.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/device/phy.h"
#include "host/sim/ring_queue.h"
#include "host/sim/scheduler.h"
#include "host/trace/trace.h"
#include "host/usb/usb_device.h"
#include "host/wire/link.h"

namespace host::device {

struct EndpointSpec {
    uint8_t address;     // 0x81 bulk-in, 0x02 bulk-out, 0x83 interrupt by default
    uint8_t attributes;  // 2 bulk, 3 interrupt
};

struct PhySpec {
    PhyConfig phy;
    wire::Link* link = nullptr;  // its medium's partner side; null: no partner, no link
};

struct DeviceConfig {
    // EEPROM image: words 0..2 hold the station address, low byte first.
    std::array<uint16_t, 16> eeprom{0x1100, 0x3322, 0x5544};
    std::vector<EndpointSpec> endpoints{{0x81, 2}, {0x02, 2}, {0x83, 3}};
    size_t configPadding = 0;  // extra descriptor bytes after the endpoints
    std::vector<PhySpec> phys;
};

// EEPROM words from a station address ("00:11:22:33:44:55" -> 0x1100, 0x3322, 0x5544, ...).
std::array<uint16_t, 16> EepromFromAddress(const uint8_t address[6]);

struct DeviceFaults {
    bool eepromNeverDone = false;  // an EEPROM read never sets its done bit
    // The PHY management port's done bit (register 0x28 bit 0x80) never sets again: commands
    // still run on the management bus, the port just never says so.
    bool phyNeverDone = false;
};

// What the device did with the frames it was given, and why it dropped any.
struct DeviceFrameStats {
    uint64_t txFrames = 0;        // put on a medium
    uint64_t txNoLink = 0;        // no PHY on its medium with link
    uint64_t txMacOff = 0;        // the MAC was not enabled (register 0 bit 0)
    uint64_t txBadPrefix = 0;     // a transfer too short to hold even its length prefix
    uint64_t txTruncated = 0;     // a prefix longer than the transfer: what it carried was sent
    uint64_t rxFrames = 0;        // taken off a medium
    uint64_t rxFiltered = 0;      // not for this station under the receive filter
    uint64_t rxMacOff = 0;        // arrived while the MAC was not enabled
    uint64_t rxOverflow = 0;      // the receive queue was full
    uint64_t rxDelivered = 0;     // handed to the host in a bulk-in transfer
};

// The receive filter's multicast hash: the top six bits of the Ethernet CRC-32 of the
// destination address pick one of 64 bits in registers 0x08..0x0F (bit n in register
// 0x08 + n / 8, bit n % 8).
uint32_t EthernetCrc32(const uint8_t* data, size_t length);
unsigned MulticastHashBit(const uint8_t address[6]);

class AdapterDevice : public usb::UsbDevice {
public:
    static constexpr uint64_t kPhyCommandUs = 30;
    static constexpr uint64_t kEepromReadUs = 200;

    AdapterDevice(sim::Scheduler& scheduler, trace::Trace& trace, std::string adapterName,
                  DeviceConfig config);
    ~AdapterDevice() override;

    // usb::UsbDevice
    std::vector<uint8_t> ConfigurationSet() const override { return configuration_; }
    usb::ControlOutcome Control(const usb::Setup& setup, uint8_t* data) override;
    usb::Result BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) override;
    bool BulkInReady(uint8_t endpoint) const override;
    size_t BulkIn(uint8_t endpoint, uint8_t* buffer, size_t capacity) override;
    size_t BulkInLength(uint8_t endpoint) const override;

    // Inspection.
    uint8_t Register(uint8_t reg) const { return registers_[reg]; }
    struct RegisterWrite {
        uint64_t t_us;
        uint8_t reg;
        uint8_t value;
    };
    // The most recent register writes, oldest first: a ring of kWriteHistory entries unless a
    // test asks for more with KeepWrites, so a device that runs for days stays the same size.
    static constexpr size_t kWriteHistory = 4096;
    const std::deque<RegisterWrite>& WriteHistory() const { return history_; }
    void KeepWrites(size_t entries);
    uint64_t WritesForgotten() const { return historyDropped_; }
    // The values written to `reg` that the history still holds, in order.
    std::vector<uint8_t> WritesTo(uint8_t reg) const;
    PhyModel* Phy(uint8_t address) const;
    const std::vector<std::unique_ptr<PhyModel>>& Phys() const { return phys_; }
    // Told of each PHY register read the management interface carries out, as it happens: an
    // observer that follows the reads needs no `mdio` trace line built for each of them.
    std::function<void(uint8_t phy, uint8_t reg)> onPhyRead;
    // PHY `index`'s side on its link (for Link::SideCounts), -1 for a PHY on no link.
    int LinkSide(size_t index) const { return index < phySides_.size() ? phySides_[index] : -1; }
    DeviceFaults& Faults() { return faults_; }
    const DeviceFrameStats& FrameStats() const { return frames_; }
    // Frames taken off a medium and waiting for a bulk-in transfer to carry them to the host.
    size_t ReceiveQueued() const { return receiveQueue_.size(); }
    // The receive status byte reported with the next frame taken off a medium.
    void PlanReceiveStatus(uint8_t status) { plannedStatus_.push_back(status); }
    static constexpr size_t kReceiveQueueFrames = 64;
    const std::vector<uint8_t>& DeviceDescriptor() const { return deviceDescriptor_; }
    uint16_t RemoteWakeup() const { return remoteWakeup_; }
    uint8_t ConfigurationValue() const { return configurationValue_; }

private:
    void WriteRegister(uint8_t reg, uint8_t value);
    void StartEepromCommand();
    // A frame off the medium. `own`, when given, is `frame` itself, which the device may keep:
    // its bytes become the transfer, and it is left holding a spare buffer.
    void ReceiveFrame(const wire::Frame& frame, wire::Frame* own = nullptr);
    bool Accepts(const wire::Frame& frame) const;
    void StartPhyCommand();
    void RunPhyCommand();

    sim::Scheduler& scheduler_;
    trace::Trace& trace_;
    std::string adapterName_;
    DeviceConfig config_;
    DeviceFaults faults_;
    std::vector<uint8_t> deviceDescriptor_;
    std::vector<uint8_t> configuration_;
    std::array<uint8_t, 256> registers_{};
    std::deque<RegisterWrite> history_;
    size_t historyCapacity_ = kWriteHistory;
    uint64_t historyDropped_ = 0;
    std::vector<std::unique_ptr<PhyModel>> phys_;
    std::vector<int> phySides_;  // each PHY's side on its link, -1 without one
    DeviceFrameStats frames_;
    sim::RingQueue<std::vector<uint8_t>> receiveQueue_;  // bulk-in transfers, ready to go
    std::vector<std::vector<uint8_t>> spareTransfers_;  // delivered ones' buffers, for reuse
    std::deque<uint8_t> plannedStatus_;
    uint8_t configurationValue_ = 0;
    uint16_t remoteWakeup_ = 0;
    sim::EventId eepromPending_ = 0;
    // PHY commands run one after another, each 30 us after it could start; a command written
    // while another runs waits its turn. The done bit shows once the last one has run.
    struct PhyCommand {
        uint8_t address, dataLow, dataHigh, command;
    };
    std::vector<PhyCommand> phyQueue_;
    sim::EventId phyPending_ = 0;
};

// The standard descriptor set with one interface and the given endpoints, followed by `padding`
// bytes of vendor descriptors (so a set can be made longer than 255 bytes).
std::vector<uint8_t> BuildConfigurationSet(const std::vector<EndpointSpec>& endpoints,
                                           size_t padding);

}  // namespace host::device
