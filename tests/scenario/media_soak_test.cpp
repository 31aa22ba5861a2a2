// A day in the life of a three-PHY adapter: Ethernet and phone-line links flap every few
// minutes and NDIS resets the adapter every hour. The run must end with no violation and nothing
// leaked, still polling, still switching media and still receiving.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>

#include "host/wire/frames.h"
#include "tests/support/poll_fixture.h"

namespace {

using namespace testing_support;

constexpr uint64_t kMinute = 60 * kSecond;
constexpr uint64_t kHour = 60 * kMinute;

class MediaSoakTest : public PollTest {
protected:
    // A status read of the active PHY that the driver did not wait for, in [from, now).
    bool PolledSince(uint64_t from) const {
        for (const Json& l : AsyncControls(from))
            if (l["wIndex"] == 0x25 && l["data"].get<std::string>().substr(6, 2) == "41")
                return true;
        return false;
    }
};

TEST_F(MediaSoakTest, TwentyFourHoursOfFlappingLinksAndHourlyResets) {
    const auto wallStart = std::chrono::steady_clock::now();
    auto& eth = EthernetLink(true);
    auto& phone = PhoneLink(true);
    auto& spare = EthernetLink(false);
    const host::wire::Mac station{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    const host::wire::Mac ethPeerMac{0x02, 0, 0, 0, 0, 0x01};
    const host::wire::Mac phonePeerMac{0x02, 0, 0, 0, 0, 0x02};
    auto& ethPeer = world_.AddPeer(eth, host::wire::Peer::Kind::Responder, ethPeerMac, {10, 0, 0, 1});
    auto& phonePeer =
        world_.AddPeer(phone, host::wire::Peer::Kind::Responder, phonePeerMac, {10, 0, 0, 2});
    Start({Phy(0, kEthernet225410, &eth), Phy(1, kPhone6B90, &phone), Phy(2, kSpare6B70, &spare)});

    // The flapping follows its own fixed schedule, whatever the world's seed.
    std::mt19937 schedule(20240601);
    std::uniform_int_distribution<uint64_t> gap(1 * kMinute, 6 * kMinute);
    std::uniform_int_distribution<int> which(0, 2);
    uint64_t nextFlap = Now() + gap(schedule);
    uint64_t connects = 0, disconnects = 0, phoneLineMoves = 0, ethernetMoves = 0;
    UCHAR lastActive = R().ActivePhyAddress;

    for (int hour = 1; hour <= 24; ++hour) {
        const uint64_t resetAt = hour * kHour;
        while (nextFlap < resetAt) {
            world_.RunUntil(nextFlap);
            switch (which(schedule)) {
                case 0: eth.SetUp(!eth.Partner().up); break;
                case 1: phone.SetUp(!phone.Partner().up); break;
                default:  // both move at once: one medium comes as the other goes
                    eth.SetUp(!eth.Partner().up);
                    phone.SetUp(!eth.Partner().up);
                    break;
            }
            // A few frames from whichever partner is up keep the receive path busy.
            ethPeer.Send(host::wire::TestFrame(station, ethPeerMac, 1, hour, 80));
            phonePeer.Send(host::wire::TestFrame(station, phonePeerMac, 2, hour, 80));
            nextFlap += gap(schedule);
            if (R().ActivePhyAddress != lastActive) {
                lastActive = R().ActivePhyAddress;
                ++(lastActive == 1 ? phoneLineMoves : ethernetMoves);
            }
        }
        world_.RunUntil(resetAt);
        for (const auto& s : MediaStatuses(resetAt - kHour))
            if (s.t_us < resetAt) ++(s.status == kMediaConnect ? connects : disconnects);
        ASSERT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS) << "hour " << hour;
        const uint64_t resetDone = Now();
        world_.RunFor(10 * kSecond);
        ASSERT_TRUE(PolledSince(resetDone)) << "polling stopped after the reset of hour " << hour;
        ASSERT_EQ(R().AdapterState, ADAPTER_RUNNING);
        ASSERT_EQ(world_.Verifier().Count(), 0u) << world_.Verifier().Describe();
        recorder_.Clear();  // a day of trace is not kept in memory
    }

    // At the end both media are up: the adapter settles on one of them, reports the link and
    // receives a frame sent after the last reset.
    eth.SetUp(true);
    phone.SetUp(true);
    world_.RunFor(2 * kMinute);
    EXPECT_EQ(R().LinkState, LINK_CONNECTED);
    const auto statuses = MediaStatuses(24 * kHour);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().status, kMediaConnect);
    const UCHAR active = R().ActivePhyAddress;
    ASSERT_TRUE(active == 0 || active == 1);
    const auto frame = host::wire::TestFrame(station, active == 0 ? ethPeerMac : phonePeerMac, 9,
                                             1, 120);
    (active == 0 ? ethPeer : phonePeer).Send(frame);
    auto arrived = [&] {
        for (auto it = adapter_->protocol.received.rbegin(); it != adapter_->protocol.received.rend();
             ++it)
            if (it->data == frame) return true;
        return false;
    };
    EXPECT_TRUE(RunUntilTrue(arrived, kSecond)) << "no frame received at the end of the day";
    const uint64_t lastCheck = Now();
    world_.RunFor(10 * kSecond);
    EXPECT_TRUE(PolledSince(lastCheck)) << "polling stopped at the end of the day";

    Halt();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("[ soak     ] 24 h virtual in %.2f s wall: %llu connects, %llu disconnects, "
                "%llu moves to the phone line, %llu back to Ethernet (sampled at flaps), "
                "%zu frames received\n",
                wall, static_cast<unsigned long long>(connects),
                static_cast<unsigned long long>(disconnects),
                static_cast<unsigned long long>(phoneLineMoves),
                static_cast<unsigned long long>(ethernetMoves),
                adapter_->protocol.received.size());
    // The day must have exercised what it claims to.
    EXPECT_GT(connects, 50u);
    EXPECT_GT(disconnects, 50u);
    EXPECT_GT(phoneLineMoves, 5u);
    EXPECT_GT(ethernetMoves, 5u);
}

}  // namespace
