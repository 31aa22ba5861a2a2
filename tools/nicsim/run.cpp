#include "tools/nicsim/run.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

#include "host/device/scripted_device.h"
#include "host/world/world.h"
#include "tools/nicsim/timeline.h"

namespace nicsim {

namespace {

constexpr uint64_t kSecond = 1'000'000;

// The built-in story: one adapter is initialised, reset, shut down and halted.
struct Story {
    uint64_t duration = 60 * kSecond;
    uint64_t resetAt = 20 * kSecond;
    uint64_t shutdownAt = 54 * kSecond;
    uint64_t haltAt = 57 * kSecond;
};

}  // namespace

int Run(const RunOptions& options) {
    const uint64_t seed = options.seed.value_or(1);
    Story story;
    uint64_t until = story.duration;
    if (options.untilSeconds) until = static_cast<uint64_t>(*options.untilSeconds * kSecond);

    host::world::World world(seed);
    std::ofstream trace;
    if (!options.tracePath.empty()) {
        trace.open(options.tracePath, std::ios::binary | std::ios::trunc);
        if (!trace) {
            std::cerr << "nicsim: cannot write trace file " << options.tracePath << "\n";
            return 2;
        }
        world.Trace().AddSink([&trace](const host::trace::Json& line) { trace << line.dump() << '\n'; });
    }
    Timeline timeline(stdout);
    if (!options.quiet) world.Trace().AddSink([&timeline](const host::trace::Json& line) { timeline.OnLine(line); });

    if (!options.quiet) std::printf("nicsim: seed %llu\n", static_cast<unsigned long long>(seed));
    world.LoadDriver();
    auto& adapter = world.AddAdapter("A", std::make_unique<host::device::ScriptedDevice>());
    auto& sched = world.Scheduler();
    auto& ndis = world.Ndis();
    auto passiveFree = [&ndis] { return !ndis.PassiveBusy(); };
    using host::sim::Phase;
    sched.At(0, [&] { ndis.Initialize(adapter); }, Phase::Scenario, passiveFree);
    sched.At(story.resetAt, [&] {
        if (adapter.state == host::ndis::AdapterState::Initialized) ndis.Reset(adapter);
    }, Phase::Scenario, passiveFree);
    sched.At(story.shutdownAt, [&] {
        if (adapter.state == host::ndis::AdapterState::Initialized) ndis.Shutdown(adapter);
    }, Phase::Scenario, passiveFree);
    sched.At(story.haltAt, [&] {
        if (adapter.state == host::ndis::AdapterState::Initialized) ndis.Halt(adapter);
    }, Phase::Scenario, passiveFree);

    world.RunUntil(until);
    world.HaltRemaining();

    const auto& v = world.Verifier();
    const size_t leaks = v.Count(host::verifier::check::kLeak);
    host::trace::Json counters = host::trace::Json::object();
    for (size_t i = 0; i < ndis.AdapterCount(); ++i) {
        auto& a = ndis.AdapterById(static_cast<int>(i));
        const auto& s = a.bus->Stats();
        const auto& p = a.protocol;
        counters[a.name] = {{"control_transfers", s.control},
                            {"bulk_out", s.bulkOut},
                            {"bulk_in", s.bulkIn},
                            {"sends_offered", p.sends.offered},
                            {"sends_completed", p.sends.completed},
                            {"sends_refused", p.sends.failures},
                            {"frames_indicated", p.received.size()},
                            {"status_indications", p.statuses.size()}};
    }
    world.Trace().Emit("summary", "",
                       host::trace::Json{{"violations", v.Count()}, {"leaks", leaks},
                                         {"adapters", counters}});
    if (!options.quiet) {
        std::printf("\nsummary after %.6f s of virtual time (seed %llu)\n",
                    static_cast<double>(world.NowUs()) / kSecond,
                    static_cast<unsigned long long>(seed));
        for (auto& [name, c] : counters.items()) {
            std::printf("  adapter %s: %llu control transfers, %llu bulk-out, %llu bulk-in, "
                        "%llu status indications\n",
                        name.c_str(), c["control_transfers"].get<unsigned long long>(),
                        c["bulk_out"].get<unsigned long long>(),
                        c["bulk_in"].get<unsigned long long>(),
                        c["status_indications"].get<unsigned long long>());
        }
        std::printf("  violations: %zu, leaks: %zu\n", v.Count(), leaks);
        if (v.Count() > 0) std::printf("  replay with: nicsim run --seed %llu\n",
                                       static_cast<unsigned long long>(seed));
    }
    return v.Count() == 0 ? 0 : 1;
}

}  // namespace nicsim
