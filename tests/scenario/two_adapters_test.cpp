// Two adapters on one Ethernet cable exchange generated traffic both ways at once: every frame
// must arrive once, in order and unaltered, with the transmit and receive counters agreeing.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/world_fixture.h"
#include "host/wire/frames.h"

namespace {

using host::wire::Mac;

struct Direction {
    uint64_t delivered = 0;
    uint64_t outOfOrder = 0;
    uint64_t altered = 0;
    uint64_t duplicated = 0;
};

struct ExchangeResult {
    Direction toB, toA;
    ULONG xmitA = 0, xmitB = 0, rcvA = 0, rcvB = 0;
    uint64_t refusedA = 0, refusedB = 0;
    uint64_t resourcesAnswers = 0;
    size_t violations = 0;
    std::string describe;
    uint64_t virtualUs = 0;
};

// Watches one receiving side for one stream.
void Watch(host::ndis::Adapter& a, uint32_t stream, Direction& d) {
    auto next = std::make_shared<uint32_t>(0);
    a.protocol.onReceive = [&d, stream, next](const host::ndis::ReceivedFrame& f) {
        auto info = host::wire::CheckTestFrame(f.bytes);
        if (!info || info->stream != stream) {
            ++d.altered;
            return;
        }
        if (info->sequence < *next) ++d.duplicated;
        else if (info->sequence > *next) ++d.outOfOrder;
        *next = info->sequence + 1;
        ++d.delivered;
    };
}

ExchangeResult Exchange(uint64_t seed, uint32_t frames, unsigned cpus = 1) {
    host::world::World world(seed);
    world.SetProcessors(cpus);
    // One send at a time per adapter, so that order is the driver's to keep.
    world.Ndis().SetSendLanes(1);
    world.LoadDriver();
    auto& cable = world.AddLink("cable", host::wire::MediumKind::Ethernet);
    auto device = [&](const std::string& name, uint8_t last) -> host::ndis::Adapter& {
        host::device::DeviceConfig c;
        const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, last};
        c.eeprom = host::device::EepromFromAddress(mac);
        host::device::PhySpec phy;
        phy.phy.address = 0;
        phy.phy.id = 0x225410;
        phy.link = &cable;
        c.phys = {phy};
        return world.AddAdapter(name, std::make_unique<host::device::AdapterDevice>(
                                          world.Scheduler(), world.Trace(), name, c));
    };
    auto& a = device("A", 0x0A);
    auto& b = device("B", 0x0B);
    const Mac macA{0x02, 0, 0, 0, 0, 0x0A}, macB{0x02, 0, 0, 0, 0, 0x0B};
    ExchangeResult r;
    if (world.Ndis().Initialize(a) != NDIS_STATUS_SUCCESS ||
        world.Ndis().Initialize(b) != NDIS_STATUS_SUCCESS) {
        r.describe = "initialise failed";
        return r;
    }
    Watch(b, 1, r.toB);
    Watch(a, 2, r.toA);
    world.RunFor(5'000'000);  // negotiation and the first link poll

    // Sizes from 60 to 1514 bytes, in a seeded mix, sent split over one to three buffers.
    host::sim::Rng sizes(seed * 7919 + 1);
    for (uint32_t i = 0; i < frames; ++i) {
        const size_t sa = 60 + sizes.Below(1514 - 60 + 1), sb = 60 + sizes.Below(1514 - 60 + 1);
        world.Ndis().Send(a, host::wire::TestFrame(macB, macA, 1, i, sa), 1 + i % 3);
        world.Ndis().Send(b, host::wire::TestFrame(macA, macB, 2, i, sb), 1 + (i + 1) % 3);
    }
    const uint64_t start = world.NowUs();
    for (int step = 0; step < 600 && (r.toA.delivered + r.toB.delivered < 2ull * frames); ++step)
        world.RunFor(100'000);
    r.virtualUs = world.NowUs() - start;
    world.RunFor(100'000);

    auto record = [](host::ndis::Adapter& x) { return static_cast<const AdapterRecord*>(x.context); };
    r.xmitA = record(a)->XmitOk;
    r.xmitB = record(b)->XmitOk;
    r.rcvA = record(a)->RcvOk;
    r.rcvB = record(b)->RcvOk;
    r.refusedA = a.protocol.sends.failures;
    r.refusedB = b.protocol.sends.failures;
    r.resourcesAnswers = a.protocol.sends.resourcesAnswers + b.protocol.sends.resourcesAnswers;
    for (auto* x : {&a, &b}) {
        const auto& fs = static_cast<host::device::AdapterDevice*>(x->device)->FrameStats();
        if (fs.rxOverflow + fs.rxFiltered + fs.txNoLink + fs.rxMacOff + fs.txMacOff)
            r.describe += x->name + ": overflow " + std::to_string(fs.rxOverflow) + " filtered " +
                          std::to_string(fs.rxFiltered) + " no-link " + std::to_string(fs.txNoLink) +
                          " mac-off " + std::to_string(fs.rxMacOff + fs.txMacOff) + "\n";
    }
    r.describe += "link: not received " + std::to_string(cable.Stats().notReceived) + " queue full " +
                  std::to_string(cable.Stats().queueFull) + "\n";
    world.Ndis().Halt(a);
    world.Ndis().Halt(b);
    r.violations = world.Verifier().Count();
    r.describe += world.Verifier().Describe();
    return r;
}

void ExpectCleanExchange(uint64_t seed, unsigned cpus) {
    constexpr uint32_t kFrames = 10'000;
    {
        const ExchangeResult r = Exchange(seed, kFrames, cpus);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(cpus) + " processor(s)");
        EXPECT_EQ(r.toB.delivered, kFrames);
        EXPECT_EQ(r.toA.delivered, kFrames);
        EXPECT_EQ(r.toB.outOfOrder + r.toB.duplicated + r.toB.altered, 0u);
        EXPECT_EQ(r.toA.outOfOrder + r.toA.duplicated + r.toA.altered, 0u);
        EXPECT_EQ(r.refusedA + r.refusedB, 0u);
        EXPECT_EQ(r.xmitA, kFrames);
        EXPECT_EQ(r.xmitB, kFrames);
        EXPECT_EQ(r.rcvB, r.xmitA);
        EXPECT_EQ(r.rcvA, r.xmitB);
        // The protocol side drove faster than the bus drains: the driver really ran out of
        // transmit descriptors and the refused packets were offered again.
        EXPECT_GT(r.resourcesAnswers, 0u);
        EXPECT_EQ(r.violations, 0u) << r.describe;
        EXPECT_EQ(r.toB.delivered + r.toA.delivered, 2u * kFrames) << r.describe;
        if (seed == 1)
            std::printf("[ traffic  ] seed 1, %u processor(s): %u frames each way in %.3f s of "
                        "virtual time\n",
                        cpus, kFrames, static_cast<double>(r.virtualUs) / 1e6);
    }
}

TEST(TwoAdapters, TenThousandFramesEachWayArriveOnceInOrderUnaltered) {
    for (uint64_t seed = 1; seed <= 20; ++seed) ExpectCleanExchange(seed, 1);
}

// Completions, receive timers and sends of both adapters interleaved on several processors.
TEST(TwoAdapters, TenThousandFramesEachWayOnTwoAndFourProcessors) {
    for (unsigned cpus : {2u, 4u})
        for (uint64_t seed = 1; seed <= 5; ++seed) ExpectCleanExchange(seed, cpus);
}

}  // namespace
