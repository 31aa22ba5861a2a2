// The answers that follow the medium: link speed as media programming settles it with the PHY
// and its partner, and the connect status as restarts find the link.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/unit/requests/query_fixture.h"

namespace {

using namespace query_support;

// The speed answered is the one media programming settled with the PHY and its partner.
TEST_F(QueryTest, LinkSpeedFollowsTheNegotiatedMedium) {
    using host::wire::MediumKind;
    std::vector<host::wire::Link*> links;
    auto modelled = [&](const std::string& name, uint32_t phyId, MediumKind kind,
                        uint16_t advertise) -> host::ndis::Adapter& {
        host::wire::PartnerSettings partner;
        partner.advertise = advertise;
        host::device::PhySpec phy;
        phy.phy.address = 1;
        phy.phy.id = phyId;
        phy.link = &world_.AddLink(name + "-link", kind, partner);
        links.push_back(phy.link);
        host::device::DeviceConfig config;
        config.phys = {phy};
        return Start(AddModelled(name, config));
    };
    auto& fast = modelled("fast", 0x437410, MediumKind::Ethernet, 0x01E1);
    auto& slow = modelled("slow", 0x437410, MediumKind::Ethernet, 0x0061);
    auto& phone = modelled("phone", 0x20005C20, MediumKind::PhoneLine, 0x0000);
    auto& none = Start(AddModelled("none", host::device::DeviceConfig{}));

    EXPECT_EQ(RecordOf(fast).SpeedCode, 2u);
    EXPECT_EQ(Value(fast, 0x00010107), 1000000u);
    EXPECT_EQ(RecordOf(slow).SpeedCode, 1u);
    EXPECT_EQ(Value(slow, 0x00010107), 100000u);
    EXPECT_EQ(RecordOf(phone).SpeedCode, 3u);
    EXPECT_EQ(Value(phone, 0x00010107), 10000u);
    EXPECT_EQ(RecordOf(none).SpeedCode, 0u) << "no PHY, nothing settled";
    EXPECT_EQ(Value(none, 0x00010107), 100000u);

    // A reset settles the speed again from what the partner offers by then.
    host::wire::PartnerSettings halfTen = links[0]->Partner();
    halfTen.advertise = 0x0021;
    links[0]->Update(halfTen);
    world_.RunFor(1'000'000);
    ASSERT_EQ(world_.Ndis().Reset(fast), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(RecordOf(fast).SpeedCode, 1u);
    EXPECT_EQ(Value(fast, 0x00010107), 100000u);
}

// Initialise always ends owing a link indication with the link taken as down; a restart that
// finds the link reports it connected, and one that does not, disconnected.
TEST_F(QueryTest, ConnectStatusFollowsTheLinkState) {
    auto& link = world_.AddLink("eth", host::wire::MediumKind::Ethernet);
    host::device::PhySpec phy;
    phy.phy.address = 1;
    phy.phy.id = 0x437410;
    phy.link = &link;
    host::device::DeviceConfig config;
    config.phys = {phy};
    auto& a = Start(AddModelled("A", config));
    EXPECT_EQ(Value(a, 0x00010114), 1u) << "right after initialise";

    world_.RunFor(1'000'000);
    ASSERT_EQ(world_.Ndis().Reset(a), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(RecordOf(a).LinkState, 5u);
    EXPECT_EQ(Value(a, 0x00010114), 0u);

    link.SetUp(false);
    world_.RunFor(10'000);
    ASSERT_EQ(world_.Ndis().Reset(a), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(RecordOf(a).LinkState, 6u);
    EXPECT_EQ(Value(a, 0x00010114), 1u);
}

}  // namespace
