// MiniportSetInformation as NDIS calls it, at dispatch level: every row of the set table at
// every interesting buffer length, the multicast list as it is stored, and the power objects.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/requests/set_fixture.h"

namespace {

using namespace set_support;

// Every row of the set table, at buffer lengths on both sides of each condition. Objects that
// store nothing leave the stored filter and list, and the device, as they were.
TEST_F(SetTest, EveryRowOfTheTableAtEveryLength) {
    // A known list and filter to see them survive what must not touch them.
    ExpectSet(kMulticastList, Addresses(3, 0x40), NDIS_STATUS_SUCCESS, 18, 0);
    ExpectSet(kPacketFilter, Le32(0x0B), NDIS_STATUS_SUCCESS, 4, 0);
    NewControlWrites();
    const Stored kept = StoredState();

    for (ULONG length = 0; length <= 9; ++length) {
        SCOPED_TRACE(std::to_string(length) + "-byte buffer");
        const Bytes junk(length, 0xA5);
        if (length != 4) {
            ExpectSet(kPacketFilter, junk, NDIS_STATUS_INVALID_LENGTH, 0, 4);
            EXPECT_EQ(StoredState(), kept);
        }
        ExpectSet(kLookahead, junk, NDIS_STATUS_SUCCESS, length, 0);
        ExpectSet(kEnableWakeUp, junk, NDIS_STATUS_SUCCESS, length, 0);
        for (uint32_t oid : {kSetPower, kAddWakeUpPattern, kRemoveWakeUpPattern})
            ExpectSet(oid, junk, NDIS_STATUS_NOT_SUPPORTED, 0, 0);
        // Query-only objects, the power query, the protocol options and unknown objects.
        for (uint32_t oid : {0xFD010102u, 0x00010112u, 0x00010101u, 0x00010107u, 0x00010114u,
                             0x01010101u, 0x01010102u, 0x01010104u, 0x00020101u, 0xFD010100u,
                             0xFD010105u, 0x00000000u, 0xFFFFFFFFu, 0x00010117u, 0xFC010201u})
            ExpectSet(oid, junk, NDIS_STATUS_INVALID_OID, 0, 0);
        if (length % 6 != 0) {
            ExpectSet(kMulticastList, junk, NDIS_STATUS_INVALID_LENGTH, 0, 6);
        }
        EXPECT_EQ(StoredState(), kept);
    }
    EXPECT_EQ(NewControlWrites(), 0u) << "none of these reaches the device";
    EXPECT_EQ(QueriedFilter(), 0x0Bu);

    // The rows that store: every multicast length that is a whole number of addresses, and the
    // filter at exactly 4 bytes, accepted or refused.
    for (ULONG count = 0; count <= 64; ++count) {
        const Bytes list = Addresses(count, static_cast<uint8_t>(count));
        ExpectSet(kMulticastList, list, NDIS_STATUS_SUCCESS, count * 6, 0);
        EXPECT_EQ(Record().MulticastCount, count);
        // An empty list has no bytes to compare (and no storage to point memcmp at).
        if (!list.empty()) {
            EXPECT_EQ(0, std::memcmp(Record().MulticastList, list.data(), list.size())) << count;
        }
    }
    ExpectSet(kPacketFilter, Le32(0x04), NDIS_STATUS_SUCCESS, 4, 0);
    EXPECT_EQ(Record().PacketFilter, 0x04u);
    ExpectSet(kPacketFilter, Le32(0x10), NDIS_STATUS_NOT_SUPPORTED, 0, 0);
    EXPECT_EQ(Record().PacketFilter, 0x10u);
}

// The list is stored as given and never written to the device: the hash start-up opened stays
// open. The query side never answers the list, whatever was stored.
TEST_F(SetTest, MulticastListIsStoredOnly) {
    ExpectSet(kMulticastList, Addresses(2, 0x10), NDIS_STATUS_SUCCESS, 12, 0);
    EXPECT_EQ(Record().MulticastCount, 2u);
    const Bytes two = Addresses(2, 0x10);
    EXPECT_EQ(0, std::memcmp(Record().MulticastList, two.data(), 12));

    Bytes thirteen = Addresses(2, 0x60);
    thirteen.push_back(0x01);
    ExpectSet(kMulticastList, thirteen, NDIS_STATUS_INVALID_LENGTH, 0, 6);
    EXPECT_EQ(Record().MulticastCount, 2u);
    EXPECT_EQ(0, std::memcmp(Record().MulticastList, two.data(), 12));

    const auto q = world_.Ndis().Query(*adapter_, kMulticastList, 64);
    EXPECT_EQ(q.status, NDIS_STATUS_INVALID_OID);
    EXPECT_EQ(q.buffer, Bytes(64, 0xEE));

    ExpectSet(kMulticastList, {}, NDIS_STATUS_SUCCESS, 0, 0);
    EXPECT_EQ(Record().MulticastCount, 0u);
    EXPECT_EQ(NewControlWrites(), 0u);
    for (uint8_t reg = 0x08; reg < 0x10; ++reg) EXPECT_EQ(device_->Register(reg), 0xFF);
}

// More than the list holds: nothing copied, the stored list and count as they were. Lists past
// the maximum answered to NDIS but within what the record holds are stored like any other.
TEST_F(SetTest, ListsBeyondTheRecordAreRefusedWhole) {
    const Bytes full = Addresses(64, 0x80);
    ExpectSet(kMulticastList, full, NDIS_STATUS_SUCCESS, 384, 0);
    EXPECT_EQ(Record().MulticastCount, 64u);
    ExpectSet(kMulticastList, Addresses(33), NDIS_STATUS_SUCCESS, 198, 0);
    EXPECT_EQ(Record().MulticastCount, 33u);
    const Stored before = StoredState();

    for (size_t count : {65u, 66u, 100u, 1000u}) {
        SCOPED_TRACE(count);
        ExpectSet(kMulticastList, Addresses(count, 0x20), NDIS_STATUS_MULTICAST_FULL, 0, 0);
        EXPECT_EQ(StoredState(), before);
    }
    // Only whole addresses can overflow it: a ragged buffer is a length error first.
    ExpectSet(kMulticastList, Bytes(391, 0x01), NDIS_STATUS_INVALID_LENGTH, 0, 6);
    EXPECT_EQ(StoredState(), before);
}

TEST_F(SetTest, WakeUpIsTakenAndPowerStatesAreRefused) {
    ExpectSet(kEnableWakeUp, Le32(0x00000001), NDIS_STATUS_SUCCESS, 4, 0);
    ExpectSet(kSetPower, Le32(4), NDIS_STATUS_NOT_SUPPORTED, 0, 0);
    ExpectSet(0xFD010102, Le32(4), NDIS_STATUS_INVALID_OID, 0, 0);  // the power query
    ExpectSet(kAddWakeUpPattern, Bytes(32, 0), NDIS_STATUS_NOT_SUPPORTED, 0, 0);
    // Neither changes what the adapter answers afterwards.
    ExpectSet(kPacketFilter, Le32(0x0B), NDIS_STATUS_SUCCESS, 4, 0);
    EXPECT_EQ(QueriedFilter(), 0x0Bu);
}

}  // namespace
