// The packet filter through MiniportSetInformation as it reaches MAC registers 0..2.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/requests/set_fixture.h"

namespace {

using namespace set_support;

// The filter reaches registers 0..2: register 0 carries the all-multicast bit, register 1 the
// MAC's speed and duplex as they stand, register 2 the receive bit and the promiscuous bit.
// The multicast and broadcast bits of the mask have no register of their own, so 0x0B, 0x0100
// and 0 write the same bytes.
TEST_F(SetTest, PacketFilterReachesTheMacModeRegisters) {
    const std::pair<uint32_t, std::string> cases[] = {
        {0x0B, "f90002"},    // directed, multicast, broadcast: mask 0x03
        {0x04, "fb0002"},    // all multicast: mask 0x10
        {0x20, "fb0006"},    // promiscuous: mask 0x16
        {0x2F, "fb0006"},    // all of them: mask 0x17
        {0x0100, "f90002"},  // neither refused nor mapped: mask 0
        {0x01, "f90002"},    // directed only: mask 0
        {0x02, "f90002"},    // multicast: mask 0x01
        {0x08, "f90002"},    // broadcast: mask 0x02
        {0x24, "fb0006"},
        {0x00, "f90002"},    // nothing: mask 0
        {0x00010F04, "fb0002"},  // 0x0100..0x0800 and bits above 0xFFFF map to nothing
    };
    for (const auto& [filter, registers] : cases) {
        SCOPED_TRACE(Hex32(filter));
        ExpectSet(kPacketFilter, Le32(filter), NDIS_STATUS_SUCCESS, 4, 0);
        EXPECT_EQ(NewFilterWrites(), std::vector<std::string>{registers});
        EXPECT_EQ(device_->Register(0), std::stoul(registers.substr(0, 2), nullptr, 16));
        EXPECT_EQ(device_->Register(2), std::stoul(registers.substr(4, 2), nullptr, 16));
        EXPECT_EQ(QueriedFilter(), filter);
    }
}

// A refused filter is kept for the query but never reaches the device, which keeps the mode of
// the last accepted one.
TEST_F(SetTest, RefusedFilterIsStoredButLeavesTheRegisters) {
    ExpectSet(kPacketFilter, Le32(0x20), NDIS_STATUS_SUCCESS, 4, 0);
    ASSERT_EQ(NewFilterWrites(), std::vector<std::string>{"fb0006"});
    for (uint32_t refused : {0x10u, 0x40u, 0x80u, 0x1000u, 0x2000u, 0x4000u, 0x8000u, 0x2Fu | 0x10u,
                             0xF0D0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(Hex32(refused));
        ExpectSet(kPacketFilter, Le32(refused), NDIS_STATUS_NOT_SUPPORTED, 0, 0);
        EXPECT_EQ(QueriedFilter(), refused) << "the last value offered, refused or not";
        EXPECT_TRUE(NewFilterWrites().empty());
        EXPECT_EQ(device_->Register(0), 0xFB);
        EXPECT_EQ(device_->Register(2), 0x06);
    }
    // A buffer of the wrong length leaves even the refused value in place.
    ExpectSet(kPacketFilter, {0x0B, 0x00, 0x00}, NDIS_STATUS_INVALID_LENGTH, 0, 4);
    EXPECT_EQ(QueriedFilter(), 0xFFFFFFFFu);
    EXPECT_EQ(Record().PacketFilter, 0xFFFFFFFFu);
    ExpectSet(kPacketFilter, Le32(0x0B), NDIS_STATUS_SUCCESS, 4, 0);
    EXPECT_EQ(NewFilterWrites(), std::vector<std::string>{"f90002"});
}

}  // namespace
