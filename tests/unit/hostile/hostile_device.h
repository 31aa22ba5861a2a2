// Test support for hostile devices: one adapter on a scripted device in a world of its own,
// brought up through NDIS, left to run for a while and halted, and what the verifier and the
// resource accounts say afterwards. Whatever the device does, the only acceptable ends are a
// clean start and a clean halt, or a start that fails with nothing left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/device/scripted_device.h"
#include "host/world/test_world.h"
#include "host/world/world.h"

namespace hostile {

using Bytes = std::vector<uint8_t>;

struct Verdict {
    NDIS_STATUS init = NDIS_STATUS_FAILURE;
    bool selectReachedDevice = false;  // a SET_CONFIGURATION request reached the device
    size_t violations = 0;
    std::string described;
    size_t liveAfter = 0;         // resources of the adapter after halt or failed start
    size_t outstandingAfter = 0;  // requests the bus still held
    size_t armedTimersAfter = 0;
    uint64_t endUs = 0;           // virtual time at the end
};

// Runs one adapter on `device` (prepared by `prepare`), lets it live `runUs` of virtual time
// when it started, then halts it.
inline Verdict RunAdapter(uint64_t seed, const std::function<void(host::device::ScriptedDevice&)>& prepare,
                          uint64_t runUs = 0,
                          const std::function<void(host::world::World&, host::ndis::Adapter&)>& whileUp = {}) {
    Verdict v;
    host::world::World world(seed);
    world.LoadDriver();
    const host::world::ScriptedAdapter added = host::world::AddScriptedAdapter(world, "H");
    host::device::ScriptedDevice* device = &added.device;
    prepare(*device);
    host::ndis::Adapter& a = added.adapter;
    v.init = world.Ndis().Initialize(a);
    if (v.init == NDIS_STATUS_SUCCESS) {
        if (whileUp) whileUp(world, a);
        world.RunFor(runUs);
        world.Ndis().Halt(a);
    }
    for (const auto& s : device->controlLog)
        if (s.bmRequestType == 0x00 && s.bRequest == 9) v.selectReachedDevice = true;
    v.violations = world.Verifier().Count();
    v.described = world.Verifier().Describe();
    v.liveAfter = world.Kernel().ResourcesOf(a.id).size();
    v.outstandingAfter = a.bus->Outstanding();
    v.armedTimersAfter = world.Ndis().ArmedTimers(a.id);
    v.endUs = world.NowUs();
    return v;
}

// The checks every hostile run must pass, whatever its outcome.
inline void ExpectCleanEnd(const Verdict& v, const std::string& what) {
    EXPECT_TRUE(v.init == NDIS_STATUS_SUCCESS || v.init == NDIS_STATUS_RESOURCES)
        << what << ": initialise answered 0x" << std::hex << v.init;
    EXPECT_EQ(v.violations, 0u) << what << "\n" << v.described;
    EXPECT_EQ(v.liveAfter, 0u) << what << ": resources left after the adapter ended";
    EXPECT_EQ(v.outstandingAfter, 0u) << what << ": requests left at the bus";
    EXPECT_EQ(v.armedTimersAfter, 0u) << what << ": timers armed after the adapter ended";
}

}  // namespace hostile
