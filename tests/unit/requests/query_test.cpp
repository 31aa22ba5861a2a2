// MiniportQueryInformation as NDIS calls it, at dispatch level: every object of the supported
// list and objects outside it, at every buffer length around the answer's size; then the
// answers that follow the adapter (addresses, counters, buffer spaces).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/unit/requests/query_fixture.h"

namespace {

using namespace query_support;

// Every object of the supported list, answered or refused, on an adapter fresh from
// initialise with its station address from the EEPROM and chosen descriptor counts.
TEST_F(QueryTest, EverySupportedObjectAtEveryBufferLength) {
    host::device::ScriptedDevice* device = nullptr;
    auto& a = Start(AddScripted("A", {{"TxPacketDesc", 12u}, {"RxPacketDesc", 7u}}, &device));
    const Bytes address = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

    struct Row {
        uint32_t oid;
        Bytes answer;
    };
    const std::vector<Row> answered = {
        {0x00010101, SupportedListBytes()},
        {0x00010102, Le32(0)},                // hardware ready
        {0x00010103, Le32(0)},                // 802.3
        {0x00010104, Le32(0)},                // 802.3
        {0x00010105, Le32(1500)},             // maximum lookahead
        {0x00010106, Le32(1500)},             // maximum frame size
        {0x00010111, Le32(1514)},             // maximum total size
        {0x00010113, Le32(0x1F)},             // MAC options
        {0x00010112, Le32(0)},                // protocol options
        {0x00010107, Le32(100000)},           // no speed settled: 10 Mb/s
        {0x00010108, Le32(12 * 1514)},        // transmit buffer space
        {0x00010109, Le32(7 * 1514)},         // receive buffer space
        {0x0001010A, Le32(1514)},             // transmit block size
        {0x0001010B, Le32(1514)},             // receive block size
        {0x0001010C, {0x00, 0x11, 0x22, 0x33}},  // vendor id
        {0x0001010D, VendorText()},
        {0x00010110, {0x00, 0x05}},           // driver version
        {0x0001010E, Le32(0)},                // no packet filter set yet
        {0x0001010F, Le32(1500)},             // current lookahead
        {0x00020101, Le32(0)},                // counters, all clear
        {0x00020102, Le32(0)},
        {0x00020103, Le32(0)},
        {0x00020104, Le32(0)},
        {0x00020105, Le32(0)},
        {0x0002020D, Le32(0)},
        {0x00010114, Le32(1)},                // disconnected right after initialise
        {0x00010116, Le16(0x0500)},           // vendor driver version
        {0x00010115, Le32(12)},               // maximum send packets
        {0x01010101, address},                // permanent address
        {0x01010102, address},                // current address
        {0x01010104, Le32(32)},               // maximum list size
        {0x01020101, Le32(0)},
        {0x01020102, Le32(0)},
        {0x01020103, Le32(0)},
        {0x01020201, Le32(0)},
        {0x01020202, Le32(0)},
        {0x01020203, Le32(0)},
        {0x01020204, Le32(0)},
    };
    const std::vector<uint32_t> notSupported = {0xFD010100, 0xFD010102};
    const std::vector<uint32_t> setOnly = {0x01010103, 0xFD010101, 0xFD010103, 0xFD010104,
                                           0xFD010106};
    ASSERT_EQ(answered.size() + notSupported.size() + setOnly.size(), kSupportedList.size());

    std::vector<uint32_t> covered;
    for (const Row& row : answered) {
        ExpectAnswerAtEveryLength(a, row.oid, row.answer);
        covered.push_back(row.oid);
    }
    for (uint32_t oid : notSupported) {
        ExpectRefusedAtEveryLength(a, oid, NDIS_STATUS_NOT_SUPPORTED);
        covered.push_back(oid);
    }
    for (uint32_t oid : setOnly) {
        ExpectRefusedAtEveryLength(a, oid, NDIS_STATUS_INVALID_OID);
        covered.push_back(oid);
    }
    std::sort(covered.begin(), covered.end());
    std::vector<uint32_t> listed = kSupportedList;
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(covered, listed) << "every listed object is exercised once";
    EXPECT_TRUE(device->bulkOut.empty());
}

TEST_F(QueryTest, ObjectsOutsideTheListAreRefused) {
    auto& a = Start(AddScripted());
    for (uint32_t oid : {0x00010117u, 0xFC010201u, 0xFC010202u, 0xFC010203u})
        ExpectRefusedAtEveryLength(a, oid, NDIS_STATUS_NOT_SUPPORTED);
    // Neighbours of answered objects, other families, and the extremes.
    for (uint32_t oid : {0x00000000u, 0xFFFFFFFFu, 0x00010100u, 0x00010118u, 0x00020100u,
                         0x00020106u, 0x0002020Cu, 0x0002020Eu, 0x01010100u, 0x01010105u,
                         0x01020100u, 0x01020104u, 0x01020205u, 0x02010101u, 0xFC010200u,
                         0xFC010204u, 0xFD010105u, 0xFD010107u, 0x00010201u, 0x00020201u})
        ExpectRefusedAtEveryLength(a, oid, NDIS_STATUS_INVALID_OID);
}

TEST_F(QueryTest, SupportedListAndDriverVersionAtTheirBoundaries) {
    auto& a = Start(AddScripted());
    auto r = Query(a, 0x00010101, 100);
    EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(r.bytesNeeded, 80u);
    r = Query(a, 0x00010101, 180);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.buffer, SupportedListBytes());
    r = Query(a, 0x00010101, 400);
    EXPECT_EQ(r.bytesWritten, 180u);
    EXPECT_EQ(Bytes(r.buffer.begin(), r.buffer.begin() + 180), SupportedListBytes());

    r = Query(a, 0x00010110, 2);
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r.buffer, (Bytes{0x00, 0x05}));
    r = Query(a, 0x00010110, 1);
    EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(r.bytesNeeded, 1u);
    EXPECT_EQ(r.buffer, Bytes{kUntouched});
}

// The vendor id is the start of the EEPROM's address; an address override changes the current
// address only.
TEST_F(QueryTest, AddressesAndVendorIdFollowTheEepromAndTheOverride) {
    auto& plain = Start(AddModelled("A", host::device::DeviceConfig{}));
    EXPECT_EQ(Answer(plain, 0x0001010C, 4), (Bytes{0x00, 0x11, 0x22, 0x33}));

    host::device::DeviceConfig config;
    const uint8_t burned[6] = {0x02, 0xAB, 0xCD, 0xEF, 0x01, 0x23};
    config.eeprom = host::device::EepromFromAddress(burned);
    auto& overridden = Start(
        AddModelled("B", config, {{"NetworkAddress", std::string("02-00-00-00-00-07")}}));
    EXPECT_EQ(Answer(overridden, 0x0001010C, 4), (Bytes{0x02, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(Answer(overridden, 0x01010101, 6), Bytes(burned, burned + 6));
    EXPECT_EQ(Answer(overridden, 0x01010102, 6), (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x07}));
}

// Counters move with the traffic the device sees, are answered as they stand, and are cleared
// by a reset. The CRC-error object shares the receive-error counter; the receive errors also
// count the runts the device delivered.
TEST_F(QueryTest, CountersFollowTrafficAndAReset) {
    host::device::ScriptedDevice* device = nullptr;
    auto& a = Start(AddScripted("A", {}, &device));
    for (int i = 0; i < 3; ++i) world_.Ndis().Send(a, Bytes(60, static_cast<uint8_t>(i)));
    for (int i = 0; i < 5; ++i) device->QueueBulkIn(Transfer(64, 0x00));
    device->QueueBulkIn(Transfer(64, 0x08));  // a frame the device marks as a receive error
    device->QueueBulkIn(Transfer(64, 0x08));
    device->QueueBulkIn(Transfer(6, 0x00));  // runts: shorter than an Ethernet header
    device->QueueBulkIn(Transfer(13, 0x00));
    world_.RunFor(50'000);
    ASSERT_EQ(device->bulkOut.size(), 3u);

    EXPECT_EQ(Value(a, 0x00020101), 3u);  // transmitted
    EXPECT_EQ(Value(a, 0x00020102), 5u);  // received
    EXPECT_EQ(Value(a, 0x00020104), 4u);  // receive errors
    EXPECT_EQ(Value(a, 0x0002020D), 2u);
    for (uint32_t oid : {0x00020103u, 0x00020105u, 0x01020101u, 0x01020102u, 0x01020103u,
                         0x01020201u, 0x01020202u, 0x01020203u, 0x01020204u})
        EXPECT_EQ(Value(a, oid), 0u) << Hex32(oid);

    ASSERT_EQ(world_.Ndis().Reset(a), NDIS_STATUS_SUCCESS);
    for (uint32_t oid : {0x00020101u, 0x00020102u, 0x00020104u, 0x0002020Du})
        EXPECT_EQ(Value(a, oid), 0u) << Hex32(oid) << " after a reset";

    world_.Ndis().Send(a, Bytes(60, 9));
    world_.RunFor(10'000);
    EXPECT_EQ(Value(a, 0x00020101), 1u) << "counting goes on after a reset";
}

// Buffer spaces and the send limit follow the descriptor counts the registry settled.
TEST_F(QueryTest, BufferSpacesFollowTheDescriptorCounts) {
    struct Case {
        host::ndis::Registry registry;
        uint32_t tx, rx;
    };
    const Case cases[] = {
        {{}, 20, 20},
        {{{"TxPacketDesc", 1u}, {"RxPacketDesc", 1u}}, 1, 3},
        {{{"TxPacketDesc", 300u}, {"RxPacketDesc", 40u}}, 256, 40},
    };
    int n = 0;
    for (const Case& c : cases) {
        auto& a = Start(AddScripted("A" + std::to_string(n++), c.registry));
        EXPECT_EQ(Value(a, 0x00010108), c.tx * 1514) << a.name;
        EXPECT_EQ(Value(a, 0x00010109), c.rx * 1514) << a.name;
        EXPECT_EQ(Value(a, 0x00010115), c.tx) << a.name;
        world_.Ndis().Halt(a);
    }
}

}  // namespace
