// Bulk-in transfers of every length the pipe can deliver, 0 to 1536 bytes, under every receive
// status bit, and a lower driver that reports more bytes than the read asked for. Each transfer
// is judged by its length and status byte alone: counted, indicated whole or dropped (a frame
// too short for its Ethernet header is a receive error), and the next read is always started;
// nothing is read outside the descriptor's buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "driver/datapath/descriptors.h"
#include "tests/support/world_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kReadLength = 1536;
constexpr size_t kTrailer = 8;
constexpr size_t kLargestFrame = 1514;
constexpr size_t kEthernetHeader = 14;

// A transfer of `n` bytes whose status byte (at n - 2) is `status`; the rest is a pattern that
// tells transfers apart.
Bytes Transfer(size_t n, uint8_t status, uint8_t tag) {
    Bytes t(n);
    for (size_t i = 0; i < n; ++i) t[i] = static_cast<uint8_t>(tag + i * 7);
    if (n >= 2) t[n - 2] = status;
    return t;
}

uint64_t Ulong(const Bytes& b) { return b[0] | b[1] << 8 | b[2] << 16 | uint64_t{b[3]} << 24; }

struct Counters {
    uint64_t ok = 0, error = 0, flag06 = 0, flag10 = 0, runt = 0;
    bool operator==(const Counters&) const = default;
};

class HostileBulkInTest : public testing_support::WorldTest {
protected:
    void SetUp() override {
        adapter_ = &AddScripted("A", {}, &device_);
        ASSERT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
        record_ = &RecordOf(*adapter_);
    }
    void TearDown() override {
        world_.Ndis().Halt(*adapter_);
        ExpectClean();
        EXPECT_EQ(LiveResources(*adapter_), 0u);
        EXPECT_EQ(adapter_->bus->Outstanding(), 0u);
    }
    Counters Now() const {
        return {record_->RcvOk, record_->RcvError, record_->RcvFlag06Count, record_->RcvFlag10Count,
                record_->RcvRunt};
    }
    // Delivers `transfers` one bus frame apart and lets every indication finish.
    void Deliver(const std::vector<Bytes>& transfers) {
        for (const Bytes& t : transfers) device_->QueueBulkIn(t);
        world_.RunFor(transfers.size() * 1000 + 20'000);
    }

    host::ndis::Adapter* adapter_ = nullptr;
    host::device::ScriptedDevice* device_ = nullptr;
    const AdapterRecord* record_ = nullptr;
};

TEST_F(HostileBulkInTest, EveryLengthUnderEveryStatusBitIsJudgedByLengthAndStatusAlone) {
    for (const uint8_t status : {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80}) {
        std::vector<Bytes> transfers;
        std::vector<Bytes> expectedFrames;
        Counters expected = Now();
        for (size_t n = 0; n <= kReadLength; ++n) {
            transfers.push_back(Transfer(n, status, static_cast<uint8_t>(n)));
            if (n < 2) continue;  // no status byte: nothing counted
            if (status & 0x1E) {
                expected.flag06 += ((status & 0x02) != 0) + ((status & 0x04) != 0);
                expected.error += (status & 0x08) != 0;
                expected.flag10 += (status & 0x10) != 0;
                continue;
            }
            if (n > kTrailer && n - kTrailer < kEthernetHeader) {
                ++expected.runt;
                continue;
            }
            ++expected.ok;
            // A frame is what precedes the trailer, when there is one the packet can describe.
            if (n > kTrailer && n - kTrailer <= kLargestFrame)
                expectedFrames.emplace_back(transfers.back().begin(),
                                            transfers.back().end() - kTrailer);
        }
        adapter_->protocol.received.clear();
        const uint64_t readsBefore = adapter_->bus->Stats().bulkIn;
        Deliver(transfers);
        SCOPED_TRACE(testing::Message() << "status 0x" << std::hex << int{status});
        EXPECT_EQ(adapter_->bus->Stats().bulkIn - readsBefore, transfers.size())
            << "every transfer was read";
        EXPECT_EQ(Now().ok, expected.ok);
        EXPECT_EQ(Now().error, expected.error);
        EXPECT_EQ(Now().flag06, expected.flag06);
        EXPECT_EQ(Now().flag10, expected.flag10);
        EXPECT_EQ(Now().runt, expected.runt);
        // What NDIS is told: every frame dropped for an error, runts included; the check
        // sequence errors alone as such.
        const auto rcvError = world_.Ndis().Query(*adapter_, OID_GEN_RCV_ERROR, 4);
        const auto crcError = world_.Ndis().Query(*adapter_, OID_GEN_RCV_CRC_ERROR, 4);
        EXPECT_EQ(Ulong(rcvError.buffer), expected.error + expected.runt);
        EXPECT_EQ(Ulong(crcError.buffer), expected.error);
        ASSERT_EQ(adapter_->protocol.received.size(), expectedFrames.size());
        for (size_t i = 0; i < expectedFrames.size(); ++i)
            ASSERT_EQ(adapter_->protocol.received[i].data, expectedFrames[i]) << "frame " << i;
        EXPECT_EQ(adapter_->bus->Outstanding(), 1u) << "a read is outstanding again";
        EXPECT_EQ(record_->AdapterState, 12u);
    }
}

// The bus reports more bytes than the 1536 the read asked for: the transfer carries nothing
// usable, is neither counted nor indicated, and the same descriptor reads again.
TEST_F(HostileBulkInTest, LengthBeyondTheReadIsIgnoredAndReadingGoesOn) {
    for (const uint32_t extra : {1u, 8u, 512u, 1536u, 65536u, 0x7FFFFFFFu}) {
        for (const size_t n : {size_t{0}, size_t{1}, size_t{9}, size_t{72}, size_t{1522}, kReadLength}) {
            if (n + extra <= kReadLength) continue;
            SCOPED_TRACE(testing::Message() << n << " bytes reported as " << n + extra);
            const Counters before = Now();
            const size_t indicated = adapter_->protocol.received.size();
            adapter_->bus->Faults().bulkInOverstate = extra;
            Deliver({Transfer(n, 0x00, 1)});
            adapter_->bus->Faults().bulkInOverstate = 0;
            EXPECT_TRUE(Now() == before);
            EXPECT_EQ(adapter_->protocol.received.size(), indicated);
            // Reading went on: an honest frame behind it is indicated.
            Deliver({Transfer(72, 0x00, 2)});
            ASSERT_EQ(adapter_->protocol.received.size(), indicated + 1);
            EXPECT_EQ(adapter_->protocol.received.back().data.size(), 64u);
        }
    }
}

}  // namespace
