// Keep-alive frames over virtual time: the fixed 32-byte transfer every fourth second while the
// adapter runs with PHY 0x20005C20 active at initialise, outside the send path's queue and
// counters, and only on an adapter where that PHY was active when it started.
#include <gtest/gtest.h>

#include "driver/datapath/keepalive.h"
#include "driver/frame/atomic.h"
#include "host/wire/frames.h"
#include "tests/support/media_fixture.h"

namespace {

using testing_support::Json;

constexpr uint64_t kMs = 1000;
constexpr uint64_t kSecond = 1000 * kMs;
const std::string kKeepAlivePrefix = "2000000000000000000000000001";

class KeepAliveTest : public testing_support::MediaTest {
protected:
    // Bulk-out transfers that carry the keep-alive frame.
    std::vector<Json> KeepAlives() const {
        return recorder_.Where([](const Json& l) {
            return l["ev"] == "bulk" && l["ep"] == "out" &&
                   l["data"].get<std::string>().rfind(kKeepAlivePrefix, 0) == 0;
        });
    }
    std::vector<Json> BulkOut() const {
        return recorder_.Where([](const Json& l) { return l["ev"] == "bulk" && l["ep"] == "out"; });
    }
    static uint64_t Time(const Json& l) { return l["t_us"].get<uint64_t>(); }

    // The phone-line PHY 0x20005C20 alone, with its link up.
    AdapterRecord* StartOnPhoneLine(host::ndis::Registry registry = {}) {
        AdapterRecord* r = Start({Phy(1, 0x20005C20, PhoneLine(true))}, std::move(registry));
        started_ = world_.NowUs();
        return r;
    }
    // What a media move does to the record (outside any poll cycle), so that a later reset
    // programs the PHY at `index`.
    void MoveActivePhy(AdapterRecord* r, UCHAR index, ULONG phoneLineSelected) {
        ASSERT_EQ(ReadShared(r->MediaBusy), 0);
        r->ActivePhyAddress = r->PhyAddressTable[index];
        r->ActivePhyId = r->PhyIdTable[index];
        r->PhoneLineSelected = phoneLineSelected;
    }

    uint64_t started_ = 0;
};

TEST_F(KeepAliveTest, OneFixedFrameEveryFourthSecond) {
    AdapterRecord* r = StartOnPhoneLine();
    ASSERT_EQ(r->KeepAliveEnabled, 1);
    recorder_.Clear();
    world_.RunFor(17 * kSecond);

    const std::vector<Json> frames = KeepAlives();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(BulkOut().size(), 4u) << "nothing else went out";
    for (const Json& f : frames) {
        EXPECT_EQ(f["length"], 32);
        EXPECT_EQ(f["result"], "ok");
    }
    // The fourth tick sends: 4 s after initialise, then every 4 s (a frame and its jitter late).
    EXPECT_GE(Time(frames[0]) - started_, 4 * kSecond);
    EXPECT_LT(Time(frames[0]) - started_, 4 * kSecond + 2 * kMs);
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_GT(Time(frames[i]) - Time(frames[i - 1]), 4 * kSecond - 2 * kMs);
        EXPECT_LT(Time(frames[i]) - Time(frames[i - 1]), 4 * kSecond + 2 * kMs);
    }
    // Not a send: nothing counted, nothing completed to NDIS, every descriptor back.
    EXPECT_EQ(r->XmitOk, 0u);
    EXPECT_EQ(adapter_->protocol.sends.completed, 0u);
    EXPECT_EQ(r->TxFreeList.Count, r->TxDescriptorCount);
}

TEST_F(KeepAliveTest, TicksCountOnlyWhileTheAdapterRuns) {
    AdapterRecord* r = StartOnPhoneLine();
    recorder_.Clear();
    world_.RunUntil(started_ + 4 * kSecond + 500 * kMs);
    ASSERT_EQ(KeepAlives().size(), 1u);
    const uint64_t first = Time(KeepAlives()[0]);

    // Five ticks fall while the adapter is not running: none is counted, none sends.
    WriteShared(r->AdapterState, ADAPTER_POWERED_DOWN);
    world_.RunUntil(started_ + 9 * kSecond + 500 * kMs);
    EXPECT_EQ(r->KeepAliveTicks, 0u);
    EXPECT_EQ(KeepAlives().size(), 1u);
    WriteShared(r->AdapterState, ADAPTER_RUNNING);

    // Counting goes on from where it stopped: the next frame comes four ticks after the pause.
    world_.RunUntil(started_ + 14 * kSecond);
    const std::vector<Json> frames = KeepAlives();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_GT(Time(frames[1]) - first, 9 * kSecond - 2 * kMs);
    EXPECT_LT(Time(frames[1]) - first, 9 * kSecond + 2 * kMs);

    // A receive that failed (state 18) stops the count too: the read a frame from the line would
    // complete fails, and the five ticks that follow neither count nor send.
    const host::wire::Mac station{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    const host::wire::Mac peerMac{0x02, 0, 0, 0, 0, 0x99};
    auto& peer = world_.AddPeer(*device_->Phy(1)->Link(), host::wire::Peer::Kind::Sink, peerMac,
                                {10, 0, 0, 99});
    adapter_->bus->Faults().bulkInErrors = 1;
    peer.Send(host::wire::TestFrame(station, peerMac, 1, 0, 64));
    world_.RunUntil(started_ + 14 * kSecond + 500 * kMs);
    ASSERT_EQ(r->AdapterState, ADAPTER_RECEIVE_FAILED);
    const ULONG ticks = r->KeepAliveTicks;
    world_.RunUntil(started_ + 19 * kSecond + 500 * kMs);
    EXPECT_EQ(r->KeepAliveTicks, ticks);
    EXPECT_EQ(KeepAlives().size(), 2u);
}

TEST_F(KeepAliveTest, NoFreeDescriptorAtTheFourthTickSendsNothingAndTriesFourTicksLater) {
    AdapterRecord* r = StartOnPhoneLine({{"TxPacketDesc", 1u}});
    adapter_->bus->Faults().inlinePercent = 0;
    world_.RunUntil(started_ + 7 * kSecond + 500 * kMs);
    ASSERT_EQ(KeepAlives().size(), 1u);
    ASSERT_EQ(r->KeepAliveTicks, 3u);
    recorder_.Clear();

    // The fourth tick finds the only transmit descriptor carrying a send at the USB stack.
    world_.Ndis().Send(*adapter_, std::vector<uint8_t>(60, 0xAB));
    ASSERT_EQ(r->TxFreeList.Count, 0u);
    const uint64_t tick = world_.NowUs();
    AtDispatch(*adapter_, [&] { KeepAliveTick(nullptr, r, nullptr, nullptr); });
    EXPECT_EQ(r->TxResourcesExhausted, 1);
    EXPECT_TRUE(world_.Ndis().TimerArmed(&r->KeepAliveTimer));

    // Nothing but the send goes out until the tick four ticks later, which sends.
    world_.RunUntil(tick + 4 * kSecond - 10 * kMs);
    EXPECT_TRUE(KeepAlives().empty());
    EXPECT_EQ(BulkOut().size(), 1u);
    world_.RunUntil(tick + 4 * kSecond + 10 * kMs);
    const std::vector<Json> frames = KeepAlives();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_GE(Time(frames[0]), tick + 4 * kSecond);
}

TEST_F(KeepAliveTest, GoesDownBesideASendInsteadOfQueueingWithIt) {
    AdapterRecord* r = StartOnPhoneLine();
    adapter_->bus->Faults().inlinePercent = 0;  // every request stays at the stack for a while
    recorder_.Clear();

    // The fourth tick, with the keep-alive transfer still at the USB stack afterwards.
    r->KeepAliveTicks = 3;
    AtDispatch(*adapter_, [&] { KeepAliveTick(nullptr, r, nullptr, nullptr); });
    EXPECT_EQ(r->KeepAliveTicks, 0u);
    EXPECT_EQ(r->TxFreeList.Count, r->TxDescriptorCount - 1);
    EXPECT_EQ(r->BulkOutOutstanding, 0);
    EXPECT_TRUE(IsListEmpty(&r->PendingTxIrps));

    // A send now finds the bulk-out path idle and goes straight down too.
    std::vector<uint8_t> frame(60, 0xAB);
    world_.Ndis().Send(*adapter_, frame);
    EXPECT_EQ(r->BulkOutOutstanding, 1);
    EXPECT_TRUE(IsListEmpty(&r->PendingTxIrps));
    EXPECT_EQ(r->TxFreeList.Count, r->TxDescriptorCount - 2);

    world_.RunFor(20 * kMs);
    const std::vector<Json> out = BulkOut();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]["data"].get<std::string>().rfind(kKeepAlivePrefix, 0), 0u);
    EXPECT_EQ(out[0]["length"], 32);
    EXPECT_EQ(out[1]["length"], 62);
    EXPECT_EQ(r->BulkOutOutstanding, 0);
    EXPECT_EQ(r->XmitOk, 1u) << "only the send is counted";
    EXPECT_EQ(r->TxFreeList.Count, r->TxDescriptorCount);
}

// A keep-alive still at the bus when the next is due is not followed by another queued behind it
// in a second descriptor: that tick sends nothing, and the next try comes four ticks later.
TEST_F(KeepAliveTest, NoSecondFrameGoesDownWhileTheLastIsStillAtTheBus) {
    StartOnPhoneLine();
    // The frame of the fourth second is answered 5 s late: still at the bus at the eighth.
    adapter_->bus->Faults().ArmBulk(host::usb::BusFaults::ControlFault::Late, 1, 1, 5 * kSecond);
    recorder_.Clear();
    world_.RunUntil(started_ + 11 * kSecond + 500 * kMs);
    ASSERT_EQ(KeepAlives().size(), 1u);
    EXPECT_GE(Time(KeepAlives()[0]) - started_, 9 * kSecond);
    world_.RunUntil(started_ + 12 * kSecond + 500 * kMs);
    ASSERT_EQ(KeepAlives().size(), 2u);
    EXPECT_GE(Time(KeepAlives()[1]) - started_, 12 * kSecond);
}

TEST_F(KeepAliveTest, NoFrameWithoutTheKeepAlivePhyAtInitialise) {
    AdapterRecord* r = Start({Phy(0, 0x225410, Ethernet(true))});
    EXPECT_EQ(r->KeepAliveEnabled, 0);
    EXPECT_FALSE(world_.Ndis().TimerArmed(&r->KeepAliveTimer));
    world_.RunFor(20 * kSecond);
    EXPECT_TRUE(KeepAlives().empty());
}

TEST_F(KeepAliveTest, AResetOntoAnotherPhyDoesNotStopItAndHaltLeavesNoTimer) {
    // Automatic media: the Ethernet PHY has no link, so the phone line is active at initialise.
    AdapterRecord* r = Start({Phy(0, 0x225410, Ethernet(false)), Phy(1, 0x20005C20, PhoneLine(true))});
    ASSERT_EQ(r->ActivePhyId, 0x20005C20u);
    ASSERT_EQ(r->KeepAliveEnabled, 1);

    MoveActivePhy(r, r->EthernetPhyIndex, MEDIUM_ETHERNET);
    EXPECT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r->KeepAliveEnabled, 0);

    recorder_.Clear();
    world_.RunFor(9 * kSecond);
    EXPECT_EQ(KeepAlives().size(), 2u);

    // Halt cancels the ticking timer at once: a moment into its power-down it is not armed.
    ASSERT_TRUE(world_.Ndis().TimerArmed(&r->KeepAliveTimer));
    bool probed = false, armedDuringHalt = true;
    world_.Scheduler().At(world_.NowUs() + 1, [&] {
        probed = true;
        armedDuringHalt = world_.Ndis().TimerArmed(&r->KeepAliveTimer);
    });
    Halt();
    ASSERT_TRUE(probed);
    EXPECT_FALSE(armedDuringHalt);
    EXPECT_EQ(world_.Ndis().ArmedTimers(adapter_->id), 0u);
}

TEST_F(KeepAliveTest, AResetOntoTheKeepAlivePhyDoesNotStartIt) {
    // Both links up: the Ethernet PHY is active at initialise.
    AdapterRecord* r = Start({Phy(0, 0x225410, Ethernet(true)), Phy(1, 0x20005C20, PhoneLine(true))});
    ASSERT_EQ(r->ActivePhyId, 0x225410u);
    ASSERT_EQ(r->KeepAliveEnabled, 0);

    MoveActivePhy(r, r->PhoneLinePhyIndex, MEDIUM_PHONE_LINE);
    EXPECT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r->KeepAliveEnabled, 1);
    EXPECT_FALSE(world_.Ndis().TimerArmed(&r->KeepAliveTimer));

    recorder_.Clear();
    world_.RunFor(10 * kSecond);
    EXPECT_TRUE(KeepAlives().empty());
}

TEST_F(KeepAliveTest, ShutdownWithoutHaltLeavesTheTimerStopped) {
    AdapterRecord* r = StartOnPhoneLine();
    world_.RunFor(2 * kSecond);
    world_.Ndis().Shutdown(*adapter_);
    EXPECT_FALSE(world_.Ndis().TimerArmed(&r->KeepAliveTimer));
    recorder_.Clear();
    world_.RunFor(10 * kSecond);
    EXPECT_TRUE(KeepAlives().empty());
}

}  // namespace
