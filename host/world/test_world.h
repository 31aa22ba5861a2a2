// How the tests, the benchmarks and the fuzz targets build a world around one scripted device:
// the adapter and the device it is plugged into, the device kept for the caller to feed and
// inspect (the world owns it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "host/device/scripted_device.h"
#include "host/world/world.h"

namespace host::world {

struct ScriptedAdapter {
    ndis::Adapter& adapter;
    device::ScriptedDevice& device;
};

// Plugs a new scripted device into `world` as adapter `name`, with `registry` as its keywords.
inline ScriptedAdapter AddScriptedAdapter(World& world, const std::string& name, ndis::Registry registry = {}) {
    auto owned = std::make_unique<device::ScriptedDevice>();
    device::ScriptedDevice& device = *owned;
    ndis::Adapter& adapter = world.AddAdapter(name, std::move(owned), std::move(registry));
    return {adapter, device};
}

// A world of `seed` with the driver loaded and one adapter `name` on a scripted device, not yet
// initialised.
struct OneScriptedAdapter {
    World world;
    device::ScriptedDevice* device = nullptr;
    ndis::Adapter* adapter = nullptr;

    explicit OneScriptedAdapter(const std::string& name = "A", uint64_t seed = 1) : world(seed) {
        world.LoadDriver();
        const ScriptedAdapter added = AddScriptedAdapter(world, name);
        device = &added.device;
        adapter = &added.adapter;
    }
};

}  // namespace host::world
