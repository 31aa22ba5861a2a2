// Test support: a world with the driver loaded, scripted or modelled adapters, a trace recorder
// and the verifier's verdict. Tests read the adapter record through RecordOf, never write it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "driver/frame/adapter_record.h"
#include "host/device/adapter_device.h"
#include "host/device/scripted_device.h"
#include "host/world/test_world.h"
#include "host/world/world.h"

namespace testing_support {

class WorldTest : public ::testing::Test {
protected:
    // NICSIM_TEST_SEED runs every world test under another seed (the timing the seed decides
    // must never change an outcome).
    static uint64_t DefaultSeed() {
        const char* s = std::getenv("NICSIM_TEST_SEED");
        return s ? std::strtoull(s, nullptr, 10) : 1;
    }

    explicit WorldTest(uint64_t seed = DefaultSeed()) : world_(seed), recorder_(world_.Trace()) {
        world_.LoadDriver();
    }

    host::ndis::Adapter& AddScripted(const std::string& name = "A",
                                     host::ndis::Registry registry = {},
                                     host::device::ScriptedDevice** device = nullptr) {
        const host::world::ScriptedAdapter added = host::world::AddScriptedAdapter(world_, name, std::move(registry));
        if (device) *device = &added.device;
        return added.adapter;
    }

    // An adapter backed by the adapter model.
    host::ndis::Adapter& AddModelled(const std::string& name, host::device::DeviceConfig config,
                                     host::ndis::Registry registry = {},
                                     host::device::AdapterDevice** device = nullptr) {
        auto d = std::make_unique<host::device::AdapterDevice>(world_.Scheduler(), world_.Trace(),
                                                               name, std::move(config));
        if (device) *device = d.get();
        return world_.AddAdapter(name, std::move(d), std::move(registry));
    }

    // Runs `fn` as a passive-level context working for `a`, the way a handler of it would.
    template <typename Fn>
    void AtPassive(const host::ndis::Adapter& a, Fn&& fn) {
        world_.Kernel().RunInContext("test", PASSIVE_LEVEL, a.id, fn);
    }
    template <typename Fn>
    void AtDispatch(const host::ndis::Adapter& a, Fn&& fn) {
        world_.Kernel().RunInContext("test", DISPATCH_LEVEL, a.id, fn);
    }

    // The driver's record, for tests that drive one of its routines directly.
    static AdapterRecord* MutableRecordOf(const host::ndis::Adapter& a) {
        return static_cast<AdapterRecord*>(a.context);
    }

    static const AdapterRecord& RecordOf(const host::ndis::Adapter& a) {
        return *static_cast<const AdapterRecord*>(a.context);
    }

    size_t LiveResources(const host::ndis::Adapter& a) {
        return world_.Kernel().ResourcesOf(a.id).size();
    }

    void ExpectClean() {
        EXPECT_EQ(world_.Verifier().Count(), 0u)
            << "seed " << world_.Seed() << "\n" << world_.Verifier().Describe();
    }

    host::world::World world_;
    host::trace::Recorder recorder_;
};

}  // namespace testing_support
