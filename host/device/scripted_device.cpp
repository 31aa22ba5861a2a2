#include "host/device/scripted_device.h"

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
    std::vector<uint8_t> set = {9, 2, 0, 0, 1, 1, 0, 0xA0, 50};
    const std::vector<uint8_t> iface = {9, 4, 0, 0, static_cast<uint8_t>(endpoints.size()),
                                        0xFF, 0, 0, 0};
    set.insert(set.end(), iface.begin(), iface.end());
    for (auto [address, attributes] : endpoints) {
        const uint16_t mps = (attributes & 3) == 3 ? 8 : 64;
        const std::vector<uint8_t> ep = {7, 5, address, attributes, static_cast<uint8_t>(mps & 0xFF),
                                         static_cast<uint8_t>(mps >> 8),
                                         static_cast<uint8_t>((attributes & 3) == 3 ? 1 : 0)};
        set.insert(set.end(), ep.begin(), ep.end());
    }
    while (padding > 0) {
        const size_t n = std::min<size_t>(padding, 255);
        if (n < 2) {
            // A descriptor needs its two header bytes; grow the previous one instead.
            set.push_back(0);
            padding -= n;
            continue;
        }
        set.push_back(static_cast<uint8_t>(n));
        set.push_back(0xFF);  // vendor-specific descriptor type
        set.insert(set.end(), n - 2, 0);
        padding -= n;
    }
    set[2] = static_cast<uint8_t>(set.size() & 0xFF);
    set[3] = static_cast<uint8_t>(set.size() >> 8);
    return set;
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
        return {usb::Result::Ok, s.wLength};
    }
    return {usb::Result::Stall, 0};
}

usb::Result ScriptedDevice::BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) {
    (void)endpoint;
    bulkOut.emplace_back(data, data + length);
    return usb::Result::Ok;
}

void ScriptedDevice::QueueBulkIn(std::vector<uint8_t> transfer) {
    bulkIn_.push_back(std::move(transfer));
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
    return n;
}

}  // namespace host::device
