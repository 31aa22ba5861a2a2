// MAC mode registers: the packet-filter write made from DISPATCH_LEVEL (one write of registers
// 0..2, the newest filter replacing one not yet sent, never touching a media step's staged
// bytes, taken back by shutdown and halt), MAC register 1 and the receive mode across a restart.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "driver/frame/atomic.h"
#include "driver/media/mac_mode.h"
#include "driver/usb/registers.h"
#include "tests/support/media_fixture.h"

namespace {

using testing_support::Controls;
using testing_support::Json;
using testing_support::RegisterWrites;

constexpr uint64_t kMs = 1000;

// The receive-mode masks the set path derives from NDIS packet filters.
constexpr ULONG kDirectedMulticastBroadcast = RECEIVE_MODE_MULTICAST | RECEIVE_MODE_BROADCAST;
constexpr ULONG kAllMulticast = RECEIVE_MODE_ALL_MULTICAST | RECEIVE_MODE_BROADCAST;
constexpr ULONG kPromiscuous =
    RECEIVE_MODE_PROMISCUOUS | RECEIVE_MODE_ALL_MULTICAST | RECEIVE_MODE_BROADCAST;

int g_stepsRun = 0;
ULONG CountingStep(AdapterRecord*) {
    ++g_stepsRun;
    return RESULT_SUCCESS;
}

class MacModeTest : public testing_support::MediaTest {
protected:
    // The partner offers everything: 100 Mb/s full duplex, so register 1 holds 0x30 in every
    // write of registers 0..2 below.
    void SetUp() override {
        g_stepsRun = 0;
        r_ = Start({Phy(0, 0x225410, Ethernet(true))});
        ASSERT_EQ(device_->Register(1), 0x30);
        recorder_.Clear();
    }
    ULONG Filter(ULONG mask) {
        ULONG result = 0;
        AtDispatch(*adapter_, [&] { result = ApplyPacketFilter(r_, mask); });
        return result;
    }
    std::vector<uint8_t> MacRegisters() const {
        return {device_->Register(0), device_->Register(1), device_->Register(2)};
    }
    void Settle() { world_.RunFor(20 * kMs); }

    AdapterRecord* r_ = nullptr;
};

TEST_F(MacModeTest, EachFilterIsOneThreeByteWriteAnsweredAtOnceFromDispatchLevel) {
    struct Case {
        ULONG mask;
        std::string data;
    };
    for (const Case& c : {Case{kDirectedMulticastBroadcast, "f93002"},
                          Case{kAllMulticast, "fb3002"}, Case{kPromiscuous, "fb3006"},
                          Case{kDirectedMulticastBroadcast, "f93002"}}) {
        recorder_.Clear();
        const uint64_t before = world_.NowUs();
        EXPECT_EQ(Filter(c.mask), RESULT_SUCCESS);
        EXPECT_EQ(world_.NowUs(), before) << "answered without waiting";
        Settle();
        const std::vector<Json> writes = Controls(recorder_, 0xF1);
        ASSERT_EQ(writes.size(), 1u) << c.data;
        EXPECT_EQ(writes[0]["wIndex"], 0x00);
        EXPECT_EQ(writes[0]["wLength"], 3);
        EXPECT_EQ(writes[0]["wValue"], 0);
        EXPECT_EQ(writes[0]["data"], c.data);
        EXPECT_EQ(writes[0]["sync"], false);
    }
    EXPECT_EQ(MacRegisters(), (std::vector<uint8_t>{0xF9, 0x30, 0x02}));
    EXPECT_EQ(r_->MacControl0, 0xF9);
    EXPECT_FALSE(PacketFilterWritePending(r_));
}

TEST_F(MacModeTest, ANewerFilterReplacesOneNotYetSent) {
    adapter_->bus->Faults().inlinePercent = 0;
    AtDispatch(*adapter_, [&] {
        EXPECT_EQ(ApplyPacketFilter(r_, kDirectedMulticastBroadcast), RESULT_SUCCESS);
        EXPECT_TRUE(PacketFilterWritePending(r_));
        EXPECT_EQ(ApplyPacketFilter(r_, kAllMulticast), RESULT_SUCCESS);
        EXPECT_EQ(ApplyPacketFilter(r_, kPromiscuous), RESULT_SUCCESS);
    });
    Settle();
    // The first went at once; the second waited and was replaced by the third.
    EXPECT_EQ(RegisterWrites(recorder_, 0x00),
              (std::vector<std::string>{"f93002", "fb3006"}));
    EXPECT_EQ(MacRegisters(), (std::vector<uint8_t>{0xFB, 0x30, 0x06}));
    EXPECT_FALSE(PacketFilterWritePending(r_));
}

TEST_F(MacModeTest, FiltersCompletingInsideTheCallAreEachSent) {
    adapter_->bus->Faults().inlinePercent = 100;
    for (ULONG mask : {kDirectedMulticastBroadcast, kAllMulticast, kPromiscuous}) {
        Filter(mask);
        world_.RunFor(2 * kMs);  // the default pipe rests a frame between requests
    }
    Settle();
    EXPECT_EQ(RegisterWrites(recorder_, 0x00),
              (std::vector<std::string>{"f93002", "fb3002", "fb3006"}));
}

TEST_F(MacModeTest, FilterWriteLeavesAMediaStepsStagedBytesAndContinuationAlone) {
    adapter_->bus->Faults().inlinePercent = 0;
    const UCHAR staged[4] = {0x34, 0x00, 0x26, 0x30};
    AtDispatch(*adapter_, [&] {
        // A media step has staged its bytes and started its write, which is still in flight.
        for (int i = 0; i < 4; ++i) r_->RegisterWriteBuffer[i] = staged[i];
        r_->NextStep = CountingStep;
        WriteRegistersAsync(r_, 4, 0x7C, r_->RegisterWriteBuffer);
        const PURB chainUrb = r_->AsyncWriteUrb;
        ApplyPacketFilter(r_, kPromiscuous);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(r_->RegisterWriteBuffer[i], staged[i]);
        EXPECT_EQ(r_->AsyncWriteUrb, chainUrb);
        EXPECT_EQ(r_->NextStep, &CountingStep);
    });
    Settle();
    EXPECT_EQ(g_stepsRun, 1) << "the media step's continuation ran once, for its own write";
    EXPECT_EQ(RegisterWrites(recorder_, 0x7C), (std::vector<std::string>{"34002630"}));
    EXPECT_EQ(RegisterWrites(recorder_, 0x00), (std::vector<std::string>{"fb3006"}));
}

// A filter set while shutdown waits its last second (on another processor: NDIS does not hold
// requests back from the shutdown handler) goes down after every request of the power-down and is
// never answered. Shutdown takes it back and returns only once the lower driver has ended it, here
// 200 ms after the cancel.
TEST_F(MacModeTest, ShutdownTakesBackAFilterWriteStillBelowAndWaitsForItsEnd) {
    adapter_->bus->Faults().inlinePercent = 0;
    adapter_->bus->Faults().cancelLateCount = 1;
    adapter_->bus->Faults().cancelLateUs = 200 * kMs;
    bool below = false;
    world_.Scheduler().At(world_.NowUs() + 500 * kMs, [&] {
        adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 1);
        Filter(kPromiscuous);
        below = PacketFilterWritePending(r_);
    });
    world_.Ndis().Shutdown(*adapter_);
    ASSERT_TRUE(below);
    EXPECT_EQ(adapter_->bus->Outstanding(), 0u) << "shutdown returned with a request at the bus";
    const std::vector<Json> writes = Controls(recorder_, 0xF1, 0x00);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0]["result"], "timeout");
}

// After a shutdown, halt lets a filter write still below end on its own for one second, then
// takes back what is still there: the first write comes back 600 ms late, the one its completion
// sends for the newer filter never does.
TEST_F(MacModeTest, HaltLetsAFilterWriteBelowEndForASecondThenTakesItBack) {
    world_.Ndis().Shutdown(*adapter_);
    ASSERT_EQ(ReadShared(r_->AdapterState), ADAPTER_POWERED_DOWN);
    adapter_->bus->Faults().inlinePercent = 0;
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Late, 1, 1, 600 * kMs);
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 2);
    recorder_.Clear();
    Filter(kAllMulticast);
    Filter(kPromiscuous);
    ASSERT_TRUE(PacketFilterWritePending(r_));
    // Halt skips the power-down (already done).
    const uint64_t haltStart = world_.NowUs();
    Halt();
    const std::vector<Json> writes = Controls(recorder_, 0xF1, 0x00);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0]["data"], "fb3002");
    EXPECT_EQ(writes[0]["result"], "ok");
    EXPECT_EQ(writes[1]["data"], "fb3006");
    EXPECT_EQ(writes[1]["result"], "timeout");
    const uint64_t takenBack = writes[1]["t_us"].get<uint64_t>() - haltStart;
    EXPECT_GE(takenBack, 1000 * kMs);
    EXPECT_LE(takenBack, 1002 * kMs);
}

// NDIS is told a reset needs no addressing restored: the reset restores the receive mode of the
// last filter that reached the MAC, which its restart of the MAC clears, and a filter refused
// since then changes nothing of it.
TEST_F(MacModeTest, AResetRestoresTheReceiveModeOfTheLastFilter) {
    Filter(kPromiscuous);
    Settle();
    ASSERT_EQ(MacRegisters(), (std::vector<uint8_t>{0xFB, 0x30, 0x06}));
    recorder_.Clear();
    EXPECT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(MacRegisters(), (std::vector<uint8_t>{0xFB, 0x30, 0x06}));
    EXPECT_EQ(RegisterWrites(recorder_, 0x00),
              (std::vector<std::string>{"0000", "f93000", "fb3006"}))
        << "the restart's reset pulse and initial mode, then the filter's";

    Filter(kAllMulticast);
    Settle();
    ASSERT_EQ(MacRegisters(), (std::vector<uint8_t>{0xFB, 0x30, 0x02}));
    std::vector<uint8_t> refused = {0x10, 0x00, 0x00, 0x00};  // source routing
    EXPECT_EQ(world_.Ndis().Set(*adapter_, OID_GEN_CURRENT_PACKET_FILTER, refused).status,
              NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(MacRegisters(), (std::vector<uint8_t>{0xFB, 0x30, 0x02}));
}

TEST_F(MacModeTest, ALinkStateNeitherConnectedNorDisconnectedIndicatesNothingAndStaysOwed) {
    const size_t statuses = adapter_->protocol.statuses.size();
    const ULONG linkState = r_->LinkState;
    AtDispatch(*adapter_, [&] {
        r_->LinkState = 0;
        r_->LinkChangePending = 1;
        IndicateLinkState(r_);
    });
    EXPECT_EQ(adapter_->protocol.statuses.size(), statuses);
    EXPECT_EQ(r_->LinkChangePending, 1);
    r_->LinkState = linkState;
}

// A renegotiation by the link poll that changes speed or duplex rewrites registers 1 and 2
// asynchronously; one that finds the same values writes nothing.
TEST_F(MacModeTest, RenegotiationRewritesRegisterOneOnlyWhenItChanges) {
    host::wire::Link& eth = *device_->Phy(0)->Link();
    Filter(kPromiscuous);
    Settle();
    ASSERT_EQ(MacRegisters(), (std::vector<uint8_t>{0xFB, 0x30, 0x06}));

    // Runs until `done` holds, in 10 ms steps, for at most 30 s of virtual time.
    auto runUntil = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 3000 && !done(); ++i) world_.RunFor(10 * kMs);
        return done();
    };
    auto bounce = [&](uint16_t advertise) {
        host::wire::PartnerSettings p = eth.Partner();
        p.up = false;
        p.advertise = advertise;
        eth.Update(p);
        ASSERT_TRUE(runUntil([&] { return r_->IndicatedLinkState == LINK_DISCONNECTED; }));
        recorder_.Clear();
        eth.SetUp(true);
        ASSERT_TRUE(runUntil([&] {
            return r_->IndicatedLinkState == LINK_CONNECTED && ReadShared(r_->MediaBusy) == 0 &&
                   r_->SpeedCode != SPEED_UNSET;
        }));
    };

    // The partner now offers 10 Mb/s full duplex only.
    bounce(0x0061);
    EXPECT_EQ(r_->SpeedCode, SPEED_10);
    EXPECT_EQ(r_->DuplexCode, DUPLEX_FULL);
    const std::vector<Json> rewrite = Controls(recorder_, 0xF1, 0x01);
    ASSERT_EQ(rewrite.size(), 1u);
    EXPECT_EQ(rewrite[0]["data"], "2006");
    EXPECT_EQ(rewrite[0]["sync"], false);
    // Register 2 keeps the promiscuous mode the filter asked for (and the query still reports).
    EXPECT_EQ(MacRegisters(), (std::vector<uint8_t>{0xFB, 0x20, 0x06}));

    // The same offer again: speed and duplex are settled anew but register 1 is left.
    bounce(0x0061);
    EXPECT_EQ(r_->SpeedCode, SPEED_10);
    EXPECT_FALSE(testing_support::Mdio(recorder_, "read", 0, 5).empty()) << "renegotiated";
    EXPECT_TRUE(Controls(recorder_, 0xF1, 0x01).empty());

    recorder_.Clear();
    Filter(kPromiscuous);
    Settle();
    EXPECT_EQ(RegisterWrites(recorder_, 0x00), (std::vector<std::string>{"fb2006"}));
}

// MAC register 1 on the 0x6B90 phone line stays 0 whatever speed and duplex say.
class MacControlOnPhoneLineTest : public testing_support::MediaTest {};

TEST_F(MacControlOnPhoneLineTest, PhoneLine6B90KeepsRegisterOneClearInEveryFilterWrite) {
    // Forced to 100 Mb/s full duplex, which on any other PHY would make register 1 0x30.
    AdapterRecord* r = Start({PinnedPhy(1, 0x6B90, 0x000D)}, {{"MediaType", 4u}});
    ASSERT_EQ(r->SpeedCode, SPEED_100);
    ASSERT_EQ(r->DuplexCode, DUPLEX_FULL);
    const std::vector<std::string> modes = RegisterWrites(recorder_, 0x00);
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(modes.back(), "f90000");
    EXPECT_EQ(device_->Register(1), 0x00);
    recorder_.Clear();
    AtDispatch(*adapter_, [&] { ApplyPacketFilter(r, kAllMulticast); });
    world_.RunFor(20 * kMs);
    EXPECT_EQ(RegisterWrites(recorder_, 0x00), (std::vector<std::string>{"fb0002"}));
}

}  // namespace
