#include "host/device/scripted_device.h"

#include "host/device/adapter_device.h"

#include <algorithm>
#include <cstring>

namespace host::device {

ScriptedDevice::ScriptedDevice() {
    deviceDescriptor = {18, 1, 0x10, 0x01, 0xFF, 0x00, 0x00, 8, 0x34, 0x12,
                        0x78, 0x56, 0x01, 0x01, 0, 0, 0, 1};
    configuration = MakeConfiguration({{0x81, 2}, {0x02, 2}, {0x83, 3}});
}

std::vector<uint8_t> ScriptedDevice::MakeConfiguration(
    const std::vector<std::pair<uint8_t, uint8_t>>& endpoints, size_t padding) {
    std::vector<EndpointSpec> endpointList;
    for (auto [address, attributes] : endpoints) endpointList.push_back(EndpointSpec{address, attributes});
    return BuildConfigurationSet(endpointList, padding);
}

usb::ControlOutcome ScriptedDevice::Control(const usb::Setup& s, uint8_t* data) {
    controlLog.push_back(s);
    auto give = [&](const std::vector<uint8_t>& bytes) {
        const size_t n = std::min<size_t>(bytes.size(), s.wLength);
        if (n) std::memcpy(data, bytes.data(), n);
        return usb::ControlOutcome{usb::Result::Ok, n};
    };
    if (s.bmRequestType == 0x80 && s.bRequest == 6) {
        if ((s.wValue >> 8) == 1) return give(deviceDescriptor);
        if ((s.wValue >> 8) == 2) return give(configuration);
    } else if (s.bmRequestType == 0x00 && s.bRequest == 9) {
        configurationValue = static_cast<uint8_t>(s.wValue);
        return {usb::Result::Ok, 0};
    } else if (s.bmRequestType == 0x00 && s.bRequest == 3) {
        remoteWakeup = s.wValue;
        return {usb::Result::Ok, 0};
    } else if (s.bmRequestType == 0x80 && s.bRequest == 0) {
        return give({0, 0});
    } else if (s.bmRequestType == 0xC0 && s.bRequest == 0xF0) {
        const size_t n = std::min<size_t>(s.wLength, 256 - std::min<size_t>(s.wIndex, 256));
        if (n) std::memcpy(data, &registers[s.wIndex], n);
        return {usb::Result::Ok, n};
    } else if (s.bmRequestType == 0x40 && s.bRequest == 0xF1) {
        for (size_t i = 0; i < s.wLength && s.wIndex + i < 256; ++i)
            registers[s.wIndex + i] = data[i];
        if (s.wIndex <= 0x23 && s.wIndex + s.wLength > 0x23 && (registers[0x23] & 0x02)) {
            const uint16_t word = eeprom[registers[0x20] & 0x0F];
            registers[0x21] = static_cast<uint8_t>(word & 0xFF);
            registers[0x22] = static_cast<uint8_t>(word >> 8);
            registers[0x23] = 0x04;
        }
        // The PHY port: nothing answers on the management bus unless the test scripts it.
        if (s.wIndex <= 0x28 && s.wIndex + s.wLength > 0x28 && (registers[0x28] & 0x60)) {
            if (registers[0x28] & 0x40) {
                const uint16_t value =
                    phyRead ? phyRead(registers[0x25], registers[0x28] & 0x1F) : 0xFFFF;
                registers[0x26] = static_cast<uint8_t>(value & 0xFF);
                registers[0x27] = static_cast<uint8_t>(value >> 8);
            }
            registers[0x28] |= 0x80;
        }
        return {usb::Result::Ok, s.wLength};
    }
    return {usb::Result::Stall, 0};
}

usb::Result ScriptedDevice::BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) {
    (void)endpoint;
    ++bulkOutCount;
    if (keepBulkOut) bulkOut.emplace_back(data, data + length);
    return usb::Result::Ok;
}

void ScriptedDevice::QueueBulkIn(const std::vector<uint8_t>& transfer) {
    std::vector<uint8_t> buffer;
    if (!spare_.empty()) {
        buffer = std::move(spare_.back());
        spare_.pop_back();
    }
    buffer.assign(transfer.begin(), transfer.end());
    bulkIn_.push_back(std::move(buffer));
    NotifyDataReady();
}

bool ScriptedDevice::BulkInReady(uint8_t endpoint) const {
    (void)endpoint;
    return !bulkIn_.empty();
}

size_t ScriptedDevice::BulkIn(uint8_t endpoint, uint8_t* buffer, size_t capacity) {
    (void)endpoint;
    if (bulkIn_.empty()) return 0;
    auto t = std::move(bulkIn_.front());
    bulkIn_.pop_front();
    const size_t n = std::min(capacity, t.size());
    if (n) std::memcpy(buffer, t.data(), n);
    if (spare_.size() < 16) spare_.push_back(std::move(t));
    return n;
}

}  // namespace host::device
