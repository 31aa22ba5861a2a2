// The media switch over virtual time: after three link-down polls the Ethernet link is fought
// for at 100 Mb/s, the phone line is tried beside more than two PHYs, a phone line that loses its
// link hands back to an Ethernet PHY that has one, and nothing is ever tried toward a PHY kind that
// was not found.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/poll_fixture.h"

namespace {

using namespace testing_support;
using host::device::PhySpec;

constexpr int kPowerDown = 0x0C00;
constexpr int kRestart = 0x1200;
constexpr int kForced100 = 0x2000;

class MediaSwitchTest : public PollTest {
protected:
    // Runs two link-down polls after the link of the active PHY went, and then the cycle of
    // the third, which decides on a switch.
    Cycle ThirdDownPoll() {
        NextCycle();
        NextCycle();
        return NextCycle();
    }
    uint64_t FirstTime(const std::vector<Json>& lines) const {
        return lines.empty() ? 0 : lines.front()["t_us"].get<uint64_t>();
    }
};

TEST_F(MediaSwitchTest, LostEthernetLinkDisconnectsOnceThenFightsForItAtTheThirdPollAndStays) {
    auto& eth = EthernetLink(true);
    auto& phone = PhoneLink(false);
    Start({Phy(0, kEthernet225410, &eth), Phy(1, kPhone6B90, &phone)});
    NextCycle();
    eth.SetUp(false);

    const Cycle first = NextCycle();
    const auto statuses = MediaStatuses(first.start);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, kMediaDisconnect);
    EXPECT_EQ(R().LinkDownPolls, 1);
    const Cycle second = NextCycle();
    EXPECT_TRUE(MediaStatuses(second.start).empty());
    EXPECT_EQ(R().LinkDownPolls, 2);
    EXPECT_TRUE(PhyOps("write", -1, -1, first.start).empty()) << "no switch before the third";

    const Cycle third = NextCycle();
    EXPECT_EQ(R().LinkDownPolls, 0);
    EXPECT_TRUE(MediaStatuses(third.start).empty());
    // 100 Mb/s half duplex forced, register 16 pulsed, and after 1000 ms two link reads (each
    // confirming a clear bit with a second read); no link, so negotiation comes back.
    EXPECT_EQ(PhyWrites(0, 0, third.start), (std::vector<int>{kForced100, kRestart}));
    EXPECT_EQ(PhyWrites(0, 16, third.start), (std::vector<int>{0x2000, 0x0000}));
    const uint64_t pulsed = FirstTime(PhyOps("write", 0, 16, third.start)) + 1;
    const auto cleared = PhyOps("write", 0, 16, pulsed);
    ASSERT_EQ(cleared.size(), 1u);
    const uint64_t waitFrom = cleared[0]["t_us"].get<uint64_t>();
    const auto reads = PhyOps("read", 0, 1, waitFrom);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_GE(FirstTime(reads), waitFrom + 1000 * kMs);
    EXPECT_LT(FirstTime(reads), waitFrom + 1010 * kMs);
    // Two PHYs: the phone line is not tried.
    EXPECT_TRUE(PhyOps("write", 1, -1, third.start).empty());
    EXPECT_EQ(R().ActivePhyAddress, 0);
    EXPECT_EQ(R().PhoneLineSelected, MEDIUM_ETHERNET);

    // The count starts again.
    NextCycle();
    EXPECT_EQ(R().LinkDownPolls, 1);
}

TEST_F(MediaSwitchTest, RecoveryAt100MbpsFindsTheLinkAndConnectsWithinTheSameCycle) {
    auto& eth = EthernetLink(true);
    Start({Phy(0, kEthernet225410, &eth)});
    NextCycle();
    ASSERT_EQ(R().MacControl1, 0x30);
    eth.SetUp(false);
    NextCycle();
    NextCycle();
    // The cable comes back while the recovery waits.
    ASSERT_TRUE(RunUntilTrue([&] { return R().MediaBusy != 0; }, 10 * kSecond));
    const uint64_t start = Now() - kMs;
    ASSERT_TRUE(RunUntilTrue([&] { return PhyWrites(0, 16, start).size() == 2; }, kSecond));
    eth.SetUp(true);
    ASSERT_TRUE(RunUntilTrue([&] { return R().MediaBusy == 0; }, 10 * kSecond));
    const uint64_t end = Now();

    EXPECT_EQ(PhyWrites(0, 0, start), std::vector<int>{kForced100}) << "no renegotiation";
    EXPECT_EQ(R().SpeedCode, SPEED_100);
    EXPECT_EQ(R().DuplexCode, DUPLEX_HALF);
    EXPECT_EQ(R().LinkState, LINK_CONNECTED);
    EXPECT_EQ(R().MacControl1, 0x10);
    EXPECT_EQ(WritesTo(0x01, start), std::vector<std::string>{"1000"});
    EXPECT_EQ(device_->Register(1), 0x10);
    const auto statuses = MediaStatuses(start);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, kMediaConnect);
    EXPECT_LE(statuses[0].t_us, end);
    EXPECT_EQ(WritesTo(0x7C, start), (std::vector<std::string>{"34002630", "34002630"}));

    const Cycle next = NextCycle();
    EXPECT_TRUE(MediaStatuses(next.start).empty());
    EXPECT_TRUE(PhyOps("write", 0, -1, next.start).empty());
}

TEST_F(MediaSwitchTest, WithThreePhysThePhoneLineIsTriedAndALinkThereConnectsInTheSameCycle) {
    auto& eth = EthernetLink(true);
    auto& phone = PhoneLink(true);
    auto& spare = EthernetLink(true);
    Start({Phy(0, kEthernet225410, &eth), Phy(1, kPhone6B90, &phone), Phy(2, kSpare6B70, &spare)});
    ASSERT_EQ(R().ActivePhyAddress, 0);
    ASSERT_EQ(device_->Phy(1)->Peek(0), kPowerDown) << "the phone line waits powered down";
    NextCycle();
    eth.SetUp(false);
    const Cycle third = ThirdDownPoll();

    // Recovery failed: the Ethernet PHY is powered down and the phone line restarted.
    EXPECT_EQ(PhyWrites(0, 0, third.start), (std::vector<int>{kForced100, kPowerDown}));
    const auto phoneControl = PhyOps("write", 1, 0, third.start);
    ASSERT_EQ(phoneControl.size(), 2u);
    EXPECT_EQ(phoneControl[0]["value"], kRestart);
    const uint64_t tried = phoneControl[0]["t_us"].get<uint64_t>();
    const auto phoneStatus = PhyOps("read", 1, 1, tried);
    ASSERT_FALSE(phoneStatus.empty());
    EXPECT_GE(FirstTime(phoneStatus), tried + 2000 * kMs);
    // Linked: it becomes the active PHY and is renegotiated.
    EXPECT_EQ(phoneControl[1]["value"], kRestart);
    EXPECT_EQ(R().ActivePhyAddress, 1);
    EXPECT_EQ(R().ActivePhyId, kPhone6B90);
    EXPECT_EQ(R().PhoneLineSelected, MEDIUM_PHONE_LINE);
    EXPECT_EQ(R().SpeedCode, SPEED_PHONE_LINE);
    EXPECT_EQ(R().DuplexCode, DUPLEX_HALF);
    EXPECT_EQ(R().MacControl1, 0x00);
    EXPECT_EQ(WritesTo(0x7E, third.start), std::vector<std::string>{"3604"});
    EXPECT_EQ(WritesTo(0x7C, third.start),
              (std::vector<std::string>{"260026340006", "260026340006"}));
    EXPECT_TRUE(PhyOps("write", 2, -1, third.start).empty()) << "the spare stays silent";
    const auto statuses = MediaStatuses(third.start);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, kMediaConnect);
    EXPECT_LE(statuses[0].t_us, third.end);

    const Cycle next = NextCycle();
    EXPECT_TRUE(MediaStatuses(next.start).empty());
    EXPECT_EQ(R().LinkState, LINK_CONNECTED);
}

TEST_F(MediaSwitchTest, APhoneLineWithoutLinkIsPoweredDownAndEthernetIsFoughtForThreePollsLater) {
    auto& eth = EthernetLink(true);
    auto& phone = PhoneLink(false);
    auto& spare = EthernetLink(true);
    Start({Phy(0, kEthernet225410, &eth), Phy(1, kPhone6B90, &phone), Phy(2, kSpare6B70, &spare)});
    NextCycle();
    eth.SetUp(false);
    const Cycle third = ThirdDownPoll();
    EXPECT_EQ(PhyWrites(1, 0, third.start), (std::vector<int>{kRestart, kPowerDown}));
    EXPECT_EQ(R().ActivePhyAddress, 0);
    EXPECT_EQ(R().PhoneLineSelected, MEDIUM_ETHERNET);
    EXPECT_EQ(R().LinkDownPolls, 0);
    EXPECT_TRUE(MediaStatuses(third.start).empty());
    EXPECT_EQ(device_->Phy(0)->Peek(0), kPowerDown);

    // The cable is back, but the Ethernet PHY sits powered down: the next attempt, three polls
    // later, wins it back at 100 Mb/s.
    eth.SetUp(true);
    const Cycle fourth = NextCycle();
    const Cycle fifth = NextCycle();
    EXPECT_TRUE(MediaStatuses(fourth.start).empty());
    EXPECT_EQ(R().LinkDownPolls, 2);
    (void)fifth;
    const Cycle sixth = NextCycle();
    EXPECT_EQ(PhyWrites(0, 0, sixth.start), std::vector<int>{kForced100});
    const auto statuses = MediaStatuses(sixth.start);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, kMediaConnect);
    EXPECT_EQ(R().SpeedCode, SPEED_100);
    EXPECT_EQ(R().DuplexCode, DUPLEX_HALF);
}

TEST_F(MediaSwitchTest, AMoveBackToEthernetRepeatsDisconnectAndConnectsAtTheNextPoll) {
    auto& eth = EthernetLink(false);
    auto& phone = PhoneLink(true);
    Start({Phy(0, kEthernet225410, &eth), Phy(1, kPhone6B90, &phone)});
    ASSERT_EQ(R().ActivePhyAddress, 1);
    ASSERT_EQ(device_->Phy(0)->Peek(0), kPowerDown) << "Ethernet waits powered down";
    const Cycle connected = NextCycle();
    ASSERT_EQ(MediaStatuses(connected.start).size(), 1u);

    phone.SetUp(false);
    eth.SetUp(true);
    const Cycle third = ThirdDownPoll();
    // General-purpose outputs first, then after 300 ms the Ethernet PHY, whose link is read
    // 2000 ms later, is restarted: a PHY left powered down would never show one.
    const auto gpio = recorder_.Where([&](const Json& l) {
        return l["ev"] == "control" && l["wIndex"] == 0x7E &&
               l["t_us"].get<uint64_t>() >= third.start;
    });
    ASSERT_FALSE(gpio.empty());
    EXPECT_EQ(gpio[0]["data"], "2600");
    const auto ethernetControl = PhyOps("write", 0, 0, third.start);
    ASSERT_EQ(ethernetControl.size(), 2u) << "the test restart, then the renegotiation";
    EXPECT_EQ(ethernetControl[0]["value"], kRestart);
    EXPECT_GE(FirstTime(ethernetControl), FirstTime(gpio) + 300 * kMs);
    const auto ethernetStatus = PhyOps("read", 0, 1, third.start);
    ASSERT_FALSE(ethernetStatus.empty());
    EXPECT_GE(FirstTime(ethernetStatus), FirstTime(ethernetControl) + 2000 * kMs);
    EXPECT_EQ(ethernetControl[1]["value"], kRestart);
    EXPECT_EQ(PhyOps("read", 0, 5, third.start).size(), 1u);
    // The phone line only ever gets powered down.
    for (int value : PhyWrites(1, 0, third.start)) EXPECT_EQ(value, kPowerDown);
    EXPECT_FALSE(PhyWrites(1, 0, third.start).empty());
    EXPECT_EQ(R().ActivePhyAddress, 0);
    EXPECT_EQ(R().ActivePhyId, kEthernet225410);
    EXPECT_EQ(R().PhoneLineSelected, MEDIUM_ETHERNET);
    // The cycle that moved repeats the disconnect.
    EXPECT_EQ(R().LinkState, LINK_DISCONNECTED);
    const auto moved = MediaStatuses(third.start);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].status, kMediaDisconnect);
    EXPECT_EQ(WritesTo(0x7C, third.start), (std::vector<std::string>{"36002620", "36002620"}));

    // The next poll finds the link, renegotiates and connects.
    const Cycle next = NextCycle();
    EXPECT_EQ(PhyWrites(0, 0, next.start), std::vector<int>{kRestart});
    const auto statuses = MediaStatuses(next.start);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, kMediaConnect);
    EXPECT_EQ(R().LinkState, LINK_CONNECTED);
    EXPECT_EQ(R().SpeedCode, SPEED_100);
    EXPECT_EQ(R().DuplexCode, DUPLEX_FULL);
    EXPECT_EQ(device_->Register(1), 0x30);
}

TEST_F(MediaSwitchTest, NoEthernetLinkOnTheWayBackKeepsThePhoneLine) {
    auto& eth = EthernetLink(false);
    auto& phone = PhoneLink(true);
    Start({Phy(0, kEthernet225410, &eth), Phy(1, kPhone6B90, &phone)});
    NextCycle();
    phone.SetUp(false);
    const Cycle third = ThirdDownPoll();
    EXPECT_EQ(PhyWrites(0, 0, third.start), (std::vector<int>{kRestart, kPowerDown}));
    EXPECT_TRUE(PhyOps("write", 1, -1, third.start).empty());
    EXPECT_EQ(R().ActivePhyAddress, 1);
    EXPECT_EQ(R().PhoneLineSelected, MEDIUM_PHONE_LINE);
    EXPECT_EQ(R().LinkDownPolls, 0);
    EXPECT_TRUE(MediaStatuses(third.start).empty());
    EXPECT_EQ(device_->Phy(0)->Peek(0), kPowerDown);
}

// ---- a phone line with nowhere to go, and PHY kinds that were not found ----

struct NowhereCase {
    const char* name;
    std::vector<uint32_t> ids;  // at addresses 1, 2, ...; the first one carries the link
    int expectedCount;          // LinkDownPolls after two down polls
};

class NowhereToGoTest : public MediaSwitchTest, public ::testing::WithParamInterface<NowhereCase> {};

TEST_P(NowhereToGoTest, LinkLossNeverStartsAMoveTowardAMissingPhy) {
    const NowhereCase& c = GetParam();
    std::vector<host::wire::Link*> links;
    std::vector<PhySpec> phys;
    for (size_t i = 0; i < c.ids.size(); ++i) {
        const bool phoneLine = c.ids[i] == kPhone6B90 || c.ids[i] == kPhone5C20;
        links.push_back(phoneLine ? &PhoneLink(i == 0) : &EthernetLink(i == 0));
        phys.push_back(Phy(static_cast<uint8_t>(i + 1), c.ids[i], links.back()));
    }
    Start(phys);
    ASSERT_EQ(R().ActivePhyAddress, 1);
    NextCycle();
    links[0]->SetUp(false);
    const uint64_t lost = Now();
    NextCycle();
    NextCycle();
    EXPECT_EQ(R().LinkDownPolls, c.expectedCount);
    const Cycle third = NextCycle();
    EXPECT_EQ(R().LinkDownPolls, 0);
    // No PHY other than the active one is touched, and nothing prepares a move.
    for (size_t i = 1; i < c.ids.size(); ++i)
        EXPECT_TRUE(PhyOps("write", static_cast<int>(i + 1), -1, lost).empty()) << "PHY " << i + 1;
    for (const std::string& data : WritesTo(0x7E, lost)) EXPECT_NE(data, "2600");
    EXPECT_EQ(R().ActivePhyAddress, 1);
    EXPECT_TRUE(MediaStatuses(third.start).empty());
    // The active PHY is written only by an Ethernet recovery, which gets negotiation back.
    const std::vector<int> own = PhyWrites(1, 0, lost);
    if (!own.empty()) {
        EXPECT_EQ(own, (std::vector<int>{kForced100, kRestart}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NowhereToGoTest,
    ::testing::Values(NowhereCase{"LonePhoneLine6B90", {kPhone6B90}, 0},
                      NowhereCase{"LonePhoneLine5C20", {kPhone5C20}, 0},
                      NowhereCase{"PhoneLineBesideASpare", {kPhone6B90, kSpare6B70}, 0},
                      NowhereCase{"PhoneLineBesideTwoSpares", {kPhone6B90, kSpare6B70, kSpare6B70}, 2},
                      NowhereCase{"EthernetBesideTwoSpares", {kEthernet225410, kSpare6B70, kSpare6B70}, 2},
                      NowhereCase{"TwoUnknownPhys", {0x111110, 0x222220}, 2}),
    [](const ::testing::TestParamInfo<NowhereCase>& info) { return std::string(info.param.name); });

TEST_F(MediaSwitchTest, ALonePhoneLineNeverCountsHoweverLongItStaysDown) {
    auto& phone = PhoneLink(true);
    Start({Phy(0, kPhone6B90, &phone)});
    NextCycle();
    phone.SetUp(false);
    const uint64_t lost = Now();
    for (int i = 0; i < 7; ++i) {
        NextCycle();
        EXPECT_EQ(R().LinkDownPolls, 0) << "poll " << i + 1;
    }
    EXPECT_TRUE(PhyOps("write", 0, -1, lost).empty());
    ASSERT_EQ(MediaStatuses(lost).size(), 1u) << "one disconnect, nothing more";
}

}  // namespace
