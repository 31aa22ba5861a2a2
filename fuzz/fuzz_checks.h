// What every fuzz target holds the driver to, the same as the verifier does for tests and runs:
// no violation at any point, and an adapter that has ended (halted, or whose initialise failed)
// leaves no resource, no request at the bus and no armed timer behind. A broken invariant
// aborts with its description, which libFuzzer records as a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "host/device/scripted_device.h"
#include "host/world/test_world.h"
#include "host/world/world.h"

namespace fuzz {

[[noreturn]] inline void Broken(const std::string& what, const std::string& detail = {}) {
    std::fprintf(stderr, "\n*** invariant broken: %s\n%s\n", what.c_str(), detail.c_str());
    std::abort();
}

inline void Require(bool ok, const std::string& what, const std::string& detail = {}) {
    if (!ok) Broken(what, detail);
}

inline void RequireNoViolation(host::world::World& world) {
    Require(world.Verifier().Count() == 0, "the verifier caught a violation",
            world.Verifier().Describe());
}

inline void RequireCleanEnd(host::world::World& world, host::ndis::Adapter& a) {
    RequireNoViolation(world);
    Require(world.Kernel().ResourcesOf(a.id).empty(), "resources left after the adapter ended");
    Require(a.bus->Outstanding() == 0, "requests left at the bus after the adapter ended");
    Require(world.Ndis().ArmedTimers(a.id) == 0, "timers armed after the adapter ended");
}

// A world with the driver loaded and one adapter on a scripted device; `device` is kept for the
// target to feed.
struct OneAdapter : host::world::OneScriptedAdapter {
    OneAdapter() : OneScriptedAdapter("F") {}
    // Starts the adapter; a device as honest as the scripted one must always start.
    void Start() {
        const NDIS_STATUS s = world.Ndis().Initialize(*adapter);
        Require(s == NDIS_STATUS_SUCCESS, "initialise failed on an honest device");
        RequireNoViolation(world);
    }
    void HaltAndCheck() {
        world.Ndis().Halt(*adapter);
        RequireCleanEnd(world, *adapter);
    }
};

}  // namespace fuzz
