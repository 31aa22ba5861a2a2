// The device keeps a bounded history of register writes: a device that runs for days stays the
// same size, and a test that needs a longer memory asks for it.
#include <gtest/gtest.h>

#include <cstdint>

#include "host/device/adapter_device.h"
#include "host/sim/scheduler.h"
#include "host/trace/trace.h"

namespace {

using host::device::AdapterDevice;

TEST(RegisterHistory, KeepsTheLatestWritesInOrderAndCountsWhatItForgot) {
    host::sim::Scheduler scheduler(1);
    host::trace::Trace trace([&] { return scheduler.Now(); });
    AdapterDevice device(scheduler, trace, "A", host::device::DeviceConfig{});
    constexpr int kWrites = 5000;
    for (int i = 0; i < kWrites; ++i) {
        uint8_t value = static_cast<uint8_t>(i);
        const host::usb::Setup write{0x40, 0xF1, 0, 0x10, 1};  // node address, byte 0
        ASSERT_EQ(device.Control(write, &value).result, host::usb::Result::Ok);
    }
    const auto& history = device.WriteHistory();
    ASSERT_EQ(history.size(), AdapterDevice::kWriteHistory);
    EXPECT_EQ(device.WritesForgotten(), kWrites - AdapterDevice::kWriteHistory);
    EXPECT_EQ(history.front().value, static_cast<uint8_t>(kWrites - AdapterDevice::kWriteHistory));
    EXPECT_EQ(history.back().value, static_cast<uint8_t>(kWrites - 1));
    EXPECT_EQ(device.Register(0x10), static_cast<uint8_t>(kWrites - 1));

    device.KeepWrites(8);
    ASSERT_EQ(history.size(), 8u);
    EXPECT_EQ(device.WritesForgotten(), kWrites - 8u);
    EXPECT_EQ(device.WritesTo(0x10).front(), static_cast<uint8_t>(kWrites - 8));
}

}  // namespace
