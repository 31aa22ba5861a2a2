// A minimal USB device for tests of the platform and the driver's spine: standard descriptors
// with one interface and three endpoints (bulk-in 0x81, bulk-out 0x02, interrupt 0x83), a flat
// bank of 256 byte registers behind the vendor requests 0xF0 (read) and 0xF1 (write), bulk-out
// transfers kept in order, bulk-in transfers queued by the test, an EEPROM port that answers at
// once and a PHY port on which no PHY answers unless the test scripts one. Anything else stalls.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <vector>

#include "host/usb/usb_device.h"

namespace host::device {

class ScriptedDevice : public usb::UsbDevice {
public:
    ScriptedDevice();

    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configuration;  // the whole descriptor set
    std::array<uint8_t, 256> registers{};
    // Behind the EEPROM port (0x20..0x23): a read command fills the data bytes and sets done.
    std::array<uint16_t, 16> eeprom{0x1100, 0x3322, 0x5544};
    std::vector<std::vector<uint8_t>> bulkOut;  // every bulk-out transfer, while keepBulkOut
    bool keepBulkOut = true;
    uint64_t bulkOutCount = 0;                  // bulk-out transfers taken, kept or not
    std::vector<usb::Setup> controlLog;
    uint8_t configurationValue = 0;
    uint16_t remoteWakeup = 0;
    // When set, every address on the management bus answers a PHY read with what this returns
    // for (PHY address, register); when empty, nothing answers (reads give 0xFFFF).
    std::function<uint16_t(uint8_t address, uint8_t reg)> phyRead;

    // Queues a bulk-in transfer and tells the bus. Buffers of transfers taken are reused.
    void QueueBulkIn(const std::vector<uint8_t>& transfer);

    std::vector<uint8_t> ConfigurationSet() const override { return configuration; }
    usb::ControlOutcome Control(const usb::Setup& setup, uint8_t* data) override;
    usb::Result BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) override;
    bool BulkInReady(uint8_t endpoint) const override;
    size_t BulkIn(uint8_t endpoint, uint8_t* buffer, size_t capacity) override;

    // Builds a configuration descriptor set with one interface and the given endpoints (each
    // an address and an attributes byte), followed by `padding` bytes of a vendor descriptor.
    static std::vector<uint8_t> MakeConfiguration(
        const std::vector<std::pair<uint8_t, uint8_t>>& endpoints, size_t padding = 0);

private:
    std::deque<std::vector<uint8_t>> bulkIn_;
    std::vector<std::vector<uint8_t>> spare_;
};

}  // namespace host::device
