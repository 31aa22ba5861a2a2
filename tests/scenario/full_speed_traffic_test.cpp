// Two adapters on one cable under the full-speed bus timing, with protocol sides that forward
// frames instead of keeping them (as the TAP bridge's do): every frame arrives once and in order,
// what crosses each device's bus stays under the full-speed ceiling, and the protocol side hears
// the media indications of a link that goes down and comes back.
#include <gtest/gtest.h>

#include <memory>

#include "host/wire/frames.h"
#include "tests/support/world_fixture.h"

namespace {

using host::wire::Mac;

constexpr NDIS_STATUS kConnect = 0x4001000B;
constexpr NDIS_STATUS kDisconnect = 0x4001000C;
constexpr double kCeilingBytesPerSecond = 1'216'000.0;

struct Forwarded {
    uint64_t frames = 0, bytes = 0, outOfOrder = 0, altered = 0;
    uint32_t next = 0;
    std::vector<NDIS_STATUS> statuses;
};

class FullSpeedTraffic : public ::testing::Test {
protected:
    host::ndis::Adapter& AddAdapter(const std::string& name, uint8_t last) {
        host::device::DeviceConfig c;
        const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, last};
        c.eeprom = host::device::EepromFromAddress(mac);
        host::device::PhySpec phy;
        phy.phy.address = 0;
        phy.phy.id = 0x225410;
        phy.link = &cable_;
        c.phys = {phy};
        auto& a = world_.AddAdapter(name, std::make_unique<host::device::AdapterDevice>(
                                              world_.Scheduler(), world_.Trace(), name, c));
        a.bus->SetTiming(host::usb::BusTiming::FullSpeed);
        return a;
    }

    // The protocol side forwards: it keeps nothing and checks the stream as it goes by.
    static void Forward(host::ndis::Adapter& a, uint32_t stream, Forwarded& f) {
        a.protocol.keepReceived = false;
        a.protocol.onReceive = [&f, stream](const host::ndis::ReceivedFrame& r) {
            auto info = host::wire::CheckTestFrame(r.bytes);
            if (!info || info->stream != stream) {
                ++f.altered;
                return;
            }
            if (info->sequence != f.next) ++f.outOfOrder;
            f.next = info->sequence + 1;
            ++f.frames;
            f.bytes += r.bytes.size();
        };
        a.protocol.onStatus = [&f](NDIS_STATUS s) { f.statuses.push_back(s); };
    }

    host::world::World world_{5};
    host::wire::Link& cable_ = world_.AddLink("cable", host::wire::MediumKind::Ethernet);
};

TEST_F(FullSpeedTraffic, FullSizedFramesBothWaysArriveInOrderAndTheBusStaysUnderItsCeiling) {
    world_.LoadDriver();
    auto& a = AddAdapter("A", 0x0A);
    auto& b = AddAdapter("B", 0x0B);
    Forwarded atA, atB;
    Forward(a, 2, atA);
    Forward(b, 1, atB);
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(world_.Ndis().Initialize(b), NDIS_STATUS_SUCCESS);
    world_.RunFor(5'000'000);
    ASSERT_FALSE(atA.statuses.empty());
    EXPECT_EQ(atA.statuses.back(), kConnect);

    constexpr uint32_t kFrames = 400;
    const Mac macA{0x02, 0, 0, 0, 0, 0x0A}, macB{0x02, 0, 0, 0, 0, 0x0B};
    // The first transfer books its packets inside the first send.
    const uint64_t packetsBefore = a.bus->Stats().bulkPackets;
    for (uint32_t i = 0; i < kFrames; ++i) {
        world_.Ndis().Send(a, host::wire::TestFrame(macB, macA, 1, i, 1514));
        world_.Ndis().Send(b, host::wire::TestFrame(macA, macB, 2, i, 1514));
    }
    const uint64_t start = world_.NowUs();
    while ((atA.frames < kFrames || atB.frames < kFrames) && world_.NowUs() - start < 30'000'000)
        world_.RunFor(10'000);
    const double seconds = static_cast<double>(world_.NowUs() - start) / 1e6;

    EXPECT_EQ(atB.frames, kFrames);
    EXPECT_EQ(atA.frames, kFrames);
    EXPECT_EQ(atA.outOfOrder + atA.altered + atB.outOfOrder + atB.altered, 0u);
    EXPECT_TRUE(a.protocol.received.empty() && b.protocol.received.empty())
        << "a forwarding protocol side keeps no copies";
    EXPECT_EQ(a.protocol.receivedCount, kFrames);
    EXPECT_EQ(a.protocol.sends.failures + b.protocol.sends.failures, 0u);
    EXPECT_GT(a.protocol.sends.resourcesAnswers + b.protocol.sends.resourcesAnswers, 0u)
        << "queued faster than the bus drains: the driver must have run out of descriptors";

    // Adapter A's bus carried its 1516-byte transfers out and 1522-byte transfers in: 24
    // packets each, and never more than 19 packets a millisecond between them.
    const uint64_t packets = a.bus->Stats().bulkPackets - packetsBefore;
    EXPECT_GE(packets, 2u * kFrames * 24);
    EXPECT_LE(static_cast<double>(packets) / seconds, 19'000.0);
    const double busBytes = kFrames * (1516.0 + 1522.0);
    EXPECT_LE(busBytes / seconds, kCeilingBytesPerSecond);
    EXPECT_GT(busBytes / seconds, kCeilingBytesPerSecond / 3) << "the bus sat idle";

    // The link goes down and comes back: the protocol side hears both.
    cable_.SetUp(false);
    world_.RunFor(8'000'000);
    EXPECT_EQ(atA.statuses.back(), kDisconnect);
    cable_.SetUp(true);
    world_.RunFor(8'000'000);
    EXPECT_EQ(atA.statuses.back(), kConnect);

    world_.Ndis().Halt(a);
    world_.Ndis().Halt(b);
    EXPECT_EQ(world_.Verifier().Count(), 0u) << world_.Verifier().Describe();
}

}  // namespace
