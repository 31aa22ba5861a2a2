// The link poll over virtual time, seen at the device and at the protocol: indications at the
// end of a cycle, renegotiation after a link-up (automatic and forced), the retry of a
// negotiation that never completes, the per-PHY registers at the end of a cycle, and how polling
// lives through requests that cannot be started, a failed receive, resets and shutdown.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver/media/link_poll.h"
#include "host/wire/frames.h"
#include "tests/support/poll_fixture.h"

namespace {

using namespace testing_support;
using host::device::PhySpec;

// Status register as the PHY model answers it for an Ethernet PHY with link: capabilities, link,
// negotiation complete.
constexpr uint16_t kStatusLink = 0x0004;
constexpr uint16_t kStatusNegotiated = 0x0020;

class LinkPollTest : public PollTest {
protected:
    // One Ethernet PHY 0x225410 at address 0 on `link`.
    void StartEthernet(host::wire::Link& link, host::ndis::Registry registry = {}) {
        Start({Phy(0, kEthernet225410, &link)}, std::move(registry));
    }
};

// ---- indications and renegotiation ----

TEST_F(LinkPollTest, LinkUpAtTheFirstPollConnectsAtTheEndOfThatCycleWithoutRenegotiating) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    const uint64_t initialised = Now();
    EXPECT_EQ(R().LinkChangePending, 1) << "initialise owes an indication";

    const Cycle first = NextCycle();
    EXPECT_GE(first.start, initialised + 2999 * kMs);
    EXPECT_LE(first.start, initialised + 3000 * kMs) << "the first poll comes 3 s after initialise";
    const auto statuses = MediaStatuses(first.start);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, kMediaConnect);
    EXPECT_LE(statuses[0].t_us, first.end);
    // No renegotiation: the only PHY access is the status read, and the port registers follow.
    EXPECT_TRUE(PhyOps("write", 0, -1, first.start).empty());
    EXPECT_EQ(PhyOps("read", 0, 1, first.start).size(), 1u) << "a set link bit is read once";
    EXPECT_EQ(WritesTo(0x7C, first.start), std::vector<std::string>{"34002630"});
    EXPECT_EQ(R().LinkState, LINK_CONNECTED);
    EXPECT_EQ(R().LinkChangePending, 0);
    EXPECT_TRUE(PollTimerArmed());

    // The period counts from the end of a cycle; an unchanged link indicates and writes nothing.
    const Cycle second = NextCycle();
    EXPECT_GE(second.start, first.end + 2998 * kMs);
    EXPECT_LE(second.start, first.end + 3000 * kMs);
    EXPECT_TRUE(MediaStatuses(second.start).empty());
    EXPECT_EQ(AsyncControls(second.start).size(), 2u) << "the status read only: command, data";
}

TEST_F(LinkPollTest, LinkDownDisconnectsAndALinkBackRenegotiatesBeforeItConnects) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    NextCycle();
    eth.SetUp(false);
    const Cycle down = NextCycle();
    ASSERT_EQ(MediaStatuses(down.start).size(), 1u);
    EXPECT_EQ(MediaStatuses(down.start)[0].status, kMediaDisconnect);
    // The latched-low bit is confirmed by a second read; the no-link port values follow.
    EXPECT_EQ(PhyOps("read", 0, 1, down.start).size(), 2u);
    EXPECT_EQ(WritesTo(0x7C, down.start), std::vector<std::string>{"36002620"});
    EXPECT_TRUE(PhyOps("write", 0, -1, down.start).empty());

    // The partner comes back at 10 Mb/s full duplex.
    host::wire::PartnerSettings partner = eth.Partner();
    partner.up = true;
    partner.advertise = 0x0041;
    eth.Update(partner);
    const Cycle up = NextCycle();
    const auto restart = PhyOps("write", 0, 0, up.start);
    ASSERT_EQ(restart.size(), 1u);
    EXPECT_EQ(restart[0]["value"], 0x1200);
    // Status read 2000 ms after the restart's write, then the partner's ability.
    const auto status = PhyOps("read", 0, 1, restart[0]["t_us"].get<uint64_t>());
    ASSERT_FALSE(status.empty());
    EXPECT_GE(status[0]["t_us"].get<uint64_t>(), restart[0]["t_us"].get<uint64_t>() + 2000 * kMs);
    const auto ability = PhyOps("read", 0, 5, up.start);
    ASSERT_EQ(ability.size(), 1u);
    EXPECT_GT(ability[0]["t_us"].get<uint64_t>(), status[0]["t_us"].get<uint64_t>());
    EXPECT_EQ(R().SpeedCode, SPEED_10);
    EXPECT_EQ(R().DuplexCode, DUPLEX_FULL);
    EXPECT_EQ(R().MacControl1, 0x20);
    EXPECT_EQ(device_->Register(1), 0x20) << "register 1 follows speed and duplex";
    const auto statuses = MediaStatuses(up.start);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, kMediaConnect);
    EXPECT_GT(statuses[0].t_us, ability[0]["t_us"].get<uint64_t>());
    // Once by the PHY programming of the cycle, once more after the indication.
    EXPECT_EQ(WritesTo(0x7C, up.start), (std::vector<std::string>{"26002630", "26002630"}))
        << "10 Mb/s with link";
}

TEST_F(LinkPollTest, NegotiationThatNeverCompletesIsReadAgainAndLeavesSpeedAndMacModeAlone) {
    host::wire::PartnerSettings partner;
    partner.anNeverCompletes = true;
    auto& eth = EthernetLink(true, partner);
    StartEthernet(eth);
    NextCycle();
    eth.SetUp(false);
    NextCycle();
    // Back with other abilities: were they read, speed, duplex and register 1 would change.
    partner.advertise = 0x0021;
    partner.up = true;
    eth.Update(partner);
    const ULONG speed = R().SpeedCode;
    const ULONG duplex = R().DuplexCode;
    const uint8_t register1 = device_->Register(1);

    const Cycle up = NextCycle();
    const auto restart = PhyOps("write", 0, 0, up.start);
    ASSERT_EQ(restart.size(), 1u);
    const uint64_t restarted = restart[0]["t_us"].get<uint64_t>();
    const auto reads = PhyOps("read", 0, 1, restarted);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_GE(reads[0]["t_us"].get<uint64_t>(), restarted + 2000 * kMs);
    EXPECT_LT(reads[0]["t_us"].get<uint64_t>(), restarted + 2010 * kMs);
    EXPECT_GE(reads[1]["t_us"].get<uint64_t>(), reads[0]["t_us"].get<uint64_t>() + 5000 * kMs);
    EXPECT_LT(reads[1]["t_us"].get<uint64_t>(), reads[0]["t_us"].get<uint64_t>() + 5010 * kMs);
    for (const auto& r : reads) EXPECT_EQ(r["value"].get<int>() & kStatusNegotiated, 0);
    EXPECT_NE(reads[1]["value"].get<int>() & kStatusLink, 0) << "the link is up all the same";
    EXPECT_TRUE(PhyOps("read", 0, 5, up.start).empty()) << "no partner ability without negotiation";
    EXPECT_EQ(R().SpeedCode, speed);
    EXPECT_EQ(R().DuplexCode, duplex);
    EXPECT_EQ(device_->Register(1), register1);
    EXPECT_TRUE(WritesTo(0x01, up.start).empty()) << "register 1 is not rewritten";
    // The link change is still reported at the end of the cycle.
    ASSERT_EQ(MediaStatuses(up.start).size(), 1u);
    EXPECT_EQ(MediaStatuses(up.start)[0].status, kMediaConnect);
}

// ---- forced media ----

struct ForcedRow {
    uint32_t mediaType;
    uint16_t advertisement;  // as written, selector included
    uint16_t control;
    ULONG speed;
    ULONG duplex;
    const char* portBlock;  // registers 0x7C..0x7F with link
};

class ForcedMediaPollTest : public LinkPollTest, public ::testing::WithParamInterface<ForcedRow> {};

TEST_P(ForcedMediaPollTest, RenegotiatesTheRowTakesTheLinkAsUpAndNeverSwitches) {
    const ForcedRow& row = GetParam();
    auto& eth = EthernetLink(true);
    auto& phone = PhoneLink(true);
    host::ndis::Registry registry;
    registry["MediaType"] = row.mediaType;
    Start({Phy(0, kEthernet225410, &eth), Phy(1, kPhone6B90, &phone)}, registry);
    ASSERT_EQ(R().ActivePhyAddress, 0);
    NextCycle();

    // Four polls without link: a switch would have come at the third.
    eth.SetUp(false);
    const uint64_t lost = Now();
    for (int i = 0; i < 4; ++i) NextCycle();
    EXPECT_TRUE(PhyWrites(0, 16, lost).empty()) << "no 100 Mb/s recovery";
    EXPECT_TRUE(PhyOps("write", 1, -1, lost).empty()) << "the phone line is never tried";
    EXPECT_TRUE(PhyWrites(0, 0, lost).empty());
    EXPECT_EQ(R().ActivePhyAddress, 0);
    EXPECT_EQ(R().LinkDownPolls, 1) << "the count went back to 0 at the third poll";

    eth.SetUp(true);
    const Cycle up = NextCycle();
    EXPECT_EQ(PhyWrites(0, 0, up.start), (std::vector<int>{0x1200, row.control}));
    EXPECT_EQ(PhyWrites(0, 4, up.start), std::vector<int>{row.advertisement});
    const auto control = PhyOps("write", 0, 0, up.start);
    const uint64_t forced = control.back()["t_us"].get<uint64_t>();
    EXPECT_TRUE(PhyOps("read", 0, 1, forced).empty()) << "no link read after the forced control";
    EXPECT_EQ(R().LinkState, LINK_CONNECTED);
    EXPECT_EQ(R().SpeedCode, row.speed);
    EXPECT_EQ(R().DuplexCode, row.duplex);
    const auto statuses = MediaStatuses(up.start);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, kMediaConnect);
    EXPECT_EQ(WritesTo(0x7C, forced), (std::vector<std::string>{row.portBlock, row.portBlock}));
}

INSTANTIATE_TEST_SUITE_P(Rows, ForcedMediaPollTest,
                         ::testing::Values(ForcedRow{1, 0x0021, 0x0000, SPEED_10, DUPLEX_HALF,
                                                     "26002630"},
                                           ForcedRow{2, 0x0041, 0x0100, SPEED_10, DUPLEX_FULL,
                                                     "26002630"},
                                           ForcedRow{3, 0x0081, 0x2000, SPEED_100, DUPLEX_HALF,
                                                     "34002630"},
                                           ForcedRow{4, 0x0101, 0x2100, SPEED_100, DUPLEX_FULL,
                                                     "34002630"}));

// ---- what each PHY kind gets at the end of a renegotiation ----

struct KindCase {
    const char* name;
    uint32_t id;
    bool phoneLine;
    uint32_t homeLan;
    std::vector<std::pair<int, int>> phyWrites;  // after the control restart: (register, value)
    std::vector<std::pair<int, std::string>> registerWrites;  // after MAC register 1
    // A PHY of another kind beside it at address 4, without link, and what it is written.
    uint32_t beside = 0;
    std::vector<std::pair<int, int>> besideWrites = {};
};

class PhyKindPollTest : public LinkPollTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(PhyKindPollTest, RenegotiationEndsWithTheRegistersOfTheActiveKind) {
    const KindCase& c = GetParam();
    host::wire::Link& link = c.phoneLine ? PhoneLink(true) : EthernetLink(true);
    host::ndis::Registry registry;
    if (c.homeLan) registry["HomeLan"] = c.homeLan;
    std::vector<PhySpec> phys = {Phy(2, c.id, &link)};
    if (c.beside != 0) phys.push_back(Phy(4, c.beside, nullptr));
    Start(phys, registry);
    ASSERT_EQ(R().ActivePhyAddress, 2);
    // The tuning register holds other bits that the nibble rule keeps.
    device_->Phy(2)->Write(16, 0x30C3);
    NextCycle();
    link.SetUp(false);
    NextCycle();
    link.SetUp(true);
    const Cycle up = NextCycle();

    std::vector<std::pair<int, int>> writes;
    for (const Json& l : PhyOps("write", 2, -1, up.start))
        writes.emplace_back(l["reg"].get<int>(), l["value"].get<int>());
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front(), (std::pair<int, int>{0, c.id == kPhone5C20 ? 0x2000 : 0x1200}));
    writes.erase(writes.begin());
    EXPECT_EQ(writes, c.phyWrites);
    if (c.homeLan == 16) {
        EXPECT_TRUE(PhyOps("read", 2, 16, up.start).empty());
    }

    std::vector<std::pair<int, std::string>> registers;
    for (const Json& l : AsyncControls(up.start))
        if (l["bRequest"] == 0xF1 && l["wIndex"] != 0x25 && l["wIndex"] != 0x01)
            registers.emplace_back(l["wIndex"].get<int>(), l["data"].get<std::string>());
    EXPECT_EQ(registers, c.registerWrites);
    std::vector<std::pair<int, int>> besideWrites;
    for (const Json& l : PhyOps("write", 4, -1, up.start))
        besideWrites.emplace_back(l["reg"].get<int>(), l["value"].get<int>());
    EXPECT_EQ(besideWrites, c.besideWrites);
    ASSERT_EQ(MediaStatuses(up.start).size(), 1u);
    EXPECT_EQ(MediaStatuses(up.start)[0].status, kMediaConnect);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PhyKindPollTest,
    ::testing::Values(
        KindCase{"Ethernet225410", kEthernet225410, false, 0, {}, {{0x7C, "34002630"}, {0x7C, "34002630"}}},
        KindCase{"Ethernet406210", kEthernet406210, false, 0, {{27, 0x0044}}, {}},
        KindCase{"Ethernet437410", 0x437410, false, 0, {{23, 0x0080}}, {}},
        KindCase{"Ethernet225610", 0x225610, false, 0, {}, {}},
        KindCase{"PhoneLine6B90HomeLan17", kPhone6B90, true, 17, {{16, 0x3AC3}},
                 {{0x7C, "260026340006"}, {0x7C, "260026340006"}}},
        KindCase{"PhoneLine6B90HomeLan20", kPhone6B90, true, 20, {{16, 0x35C3}},
                 {{0x7C, "260026340006"}, {0x7C, "260026340006"}}},
        KindCase{"PhoneLine6B90HomeLanNone", kPhone6B90, true, 0, {{16, 0x30C3}},
                 {{0x7C, "260026340006"}, {0x7C, "260026340006"}}},
        KindCase{"PhoneLine6B90HomeLan16", kPhone6B90, true, 16, {},
                 {{0x7C, "260026340006"}, {0x7C, "260026340006"}}},
        KindCase{"PhoneLine5C20HomeLan19", kPhone5C20, true, 19, {{16, 0x36C3}},
                 {{0x7C, "260026340006"}, {0x7E, "0604"}}},
        // Beside a PHY of the other kind: an active Ethernet PHY has the phone-line PHY powered
        // down and isolated first; an active phone line has the outputs set for it first.
        KindCase{"Ethernet406210BesidePhoneLine", kEthernet406210, false, 0, {{27, 0x0044}}, {},
                 kPhone6B90, {{0, 0x0C00}}},
        KindCase{"PhoneLine6B90BesideEthernet", kPhone6B90, true, 0, {{16, 0x30C3}},
                 {{0x7E, "3604"}, {0x7C, "260026340006"}, {0x7C, "260026340006"}},
                 kEthernet225410}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

// ---- requests that cannot be started ----

// In a fresh world for each k, the k-th request block (or IRP) allocated from the start of a
// cycle that moves the adapter onto the phone line fails. Whichever step meets it, the cycle must
// end, polling must go on, and a later cycle must still find the phone line and connect there.
class LinkPollFailedStartSweep : public PollTest {
protected:
    struct Outcome {
        bool injected = false;
        bool cycleEnded = false;
        bool connectedLater = false;
        bool pollingOnPhoneLine = false;
        size_t violations = 0;
        std::string violationText;
    };

    Outcome RunCase(host::sim::AllocKind kind, uint64_t k) {
        Outcome out;
        host::world::World world(DefaultSeed());
        world.LoadDriver();
        auto& eth = world.AddLink("eth", host::wire::MediumKind::Ethernet, {});
        host::wire::PartnerSettings phoneSide;
        phoneSide.autoneg = false;
        phoneSide.speedMbps = 1;
        auto& phone = world.AddLink("phone", host::wire::MediumKind::PhoneLine, phoneSide);
        auto& spare = world.AddLink("spare", host::wire::MediumKind::Ethernet, {});
        host::device::DeviceConfig config;
        config.phys = {Phy(0, kEthernet225410, &eth), Phy(1, kPhone6B90, &phone),
                       Phy(2, kSpare6B70, &spare)};
        auto& a = world.AddAdapter(
            "A", std::make_unique<host::device::AdapterDevice>(world.Scheduler(), world.Trace(),
                                                               "A", config));
        EXPECT_EQ(world.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
        const auto* record = static_cast<const AdapterRecord*>(a.context);
        auto runUntil = [&](const std::function<bool()>& done, uint64_t limit) {
            const uint64_t end = world.NowUs() + limit;
            while (!done() && world.NowUs() < end) world.RunFor(kMs);
            return done();
        };
        auto cycle = [&] {
            runUntil([&] { return record->MediaBusy != 0; }, 10 * kSecond);
            return runUntil([&] { return record->MediaBusy == 0; }, 30 * kSecond);
        };
        // The first cycle connects on Ethernet; the link then goes and two down polls follow.
        cycle();
        eth.SetUp(false);
        cycle();
        cycle();
        // Nothing allocates between cycles (no traffic): the plan meets the switching cycle.
        world.Faults().Arm(kind, k, a.id);
        const size_t statusesBefore = a.protocol.statuses.size();
        out.cycleEnded = cycle();
        out.injected = world.Faults().Injected() > 0;
        world.Faults().Clear();
        out.connectedLater = runUntil(
            [&] {
                for (size_t i = statusesBefore; i < a.protocol.statuses.size(); ++i)
                    if (a.protocol.statuses[i].status == kMediaConnect) return true;
                return false;
            },
            60 * kSecond);
        out.pollingOnPhoneLine =
            runUntil([&] { return record->MediaBusy != 0; }, 10 * kSecond) &&
            record->ActivePhyAddress == 1;
        world.Ndis().Halt(a);
        out.violations = world.Verifier().Count();
        out.violationText = world.Verifier().Describe();
        return out;
    }
};

TEST_F(LinkPollFailedStartSweep, EveryStepThatCannotStartItsRequestEndsTheCycleAndPollingGoesOn) {
    for (host::sim::AllocKind kind :
         {host::sim::AllocKind::RequestBlock, host::sim::AllocKind::Irp}) {
        uint64_t reached = 0;
        for (uint64_t k = 1; k < 200; ++k) {
            const Outcome r = RunCase(kind, k);
            ASSERT_TRUE(r.cycleEnded) << "k " << k << ": the cycle never ended";
            EXPECT_TRUE(r.connectedLater) << "k " << k << ": no connect after the fault";
            EXPECT_TRUE(r.pollingOnPhoneLine) << "k " << k << ": polling stopped";
            EXPECT_EQ(r.violations, 0u) << "k " << k << "\n" << r.violationText;
            if (!r.injected) break;  // the switching cycle made fewer than k allocations
            reached = k;
        }
        std::printf("[ sweep    ] %s: the switching cycle met %llu failed starts\n",
                    std::string(host::sim::AllocKindName(kind)).c_str(),
                    static_cast<unsigned long long>(reached));
        // Moving to the phone line takes some twenty requests; each failed once.
        EXPECT_GE(reached, 20u);
    }
}

// ---- polling through a failed receive, resets and shutdown ----

TEST_F(LinkPollTest, AfterAFailedReceiveAResetBringsBackReceivingAndPolling) {
    auto& eth = EthernetLink(true);
    const host::wire::Mac peerMac{0x02, 0, 0, 0, 0, 0x99};
    auto& peer = world_.AddPeer(eth, host::wire::Peer::Kind::Responder, peerMac, {10, 0, 0, 99});
    StartEthernet(eth);
    NextCycle();
    const host::wire::Mac station{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

    // The read that this frame would complete fails instead.
    adapter_->bus->Faults().bulkInErrors = 1;
    peer.Send(host::wire::TestFrame(station, peerMac, 7, 0, 64));
    ASSERT_TRUE(RunUntilTrue([&] { return R().AdapterState == ADAPTER_RECEIVE_FAILED; }, kSecond));
    const uint64_t failed = Now();
    // Two ticks fall while receiving has failed: they start no cycle but keep polling alive.
    world_.RunFor(7 * kSecond);
    EXPECT_TRUE(AsyncControls(failed).empty()) << "no cycle while the receive has failed";
    EXPECT_TRUE(PollTimerArmed());

    ASSERT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(R().AdapterState, ADAPTER_RUNNING);
    const auto frame = host::wire::TestFrame(station, peerMac, 7, 1, 64);
    peer.Send(frame);
    auto arrived = [&] {
        for (const auto& f : adapter_->protocol.received)
            if (f.data == frame) return true;
        return false;
    };
    EXPECT_TRUE(RunUntilTrue(arrived, kSecond)) << "a frame sent after the reset is indicated";

    // Polling runs again: a link loss is reported.
    eth.SetUp(false);
    const Cycle down = NextCycle();
    ASSERT_EQ(MediaStatuses(down.start).size(), 1u);
    EXPECT_EQ(MediaStatuses(down.start)[0].status, kMediaDisconnect);
}

TEST_F(LinkPollTest, TicksDuringALongResetOnlyComeBackLater) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    NextCycle();
    // The reset's first request is never answered: it waits out its 10 s time-out, and the
    // ticks due meanwhile find the adapter resetting.
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 1);
    const uint64_t resetAt = Now();
    ASSERT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    const uint64_t resetDone = Now();
    ASSERT_GE(resetDone, resetAt + 10 * kSecond);
    EXPECT_TRUE(AsyncControls(resetAt, resetDone).empty()) << "no cycle ran during the reset";
    EXPECT_TRUE(PollTimerArmed());
    const Cycle after = NextCycle(3001 * kMs);
    EXPECT_GE(after.start, resetDone);
    eth.SetUp(false);
    const Cycle down = NextCycle();
    ASSERT_EQ(MediaStatuses(down.start).size(), 1u);
    EXPECT_EQ(MediaStatuses(down.start)[0].status, kMediaDisconnect);
}

TEST_F(LinkPollTest, AResetWaitsForTheCycleInFlightAndPollingGoesOnAfterIt) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    NextCycle();
    eth.SetUp(false);
    NextCycle();
    eth.SetUp(true);
    // The next cycle renegotiates and parks on its 2000 ms wait; the reset comes then.
    ASSERT_TRUE(RunUntilTrue([&] { return R().MediaBusy != 0; }, 10 * kSecond));
    ASSERT_TRUE(RunUntilTrue([&] { return DelayArmed(); }, kSecond));
    const uint64_t resetAt = Now();
    ASSERT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    const uint64_t resetDone = Now();

    const auto chain = AsyncControls(resetAt, resetDone);
    ASSERT_FALSE(chain.empty()) << "the cycle went on during the reset";
    const auto restart = recorder_.Where([&](const Json& l) {
        return l["ev"] == "control" && l["sync"] == true &&
               l["t_us"].get<uint64_t>() >= resetAt;
    });
    ASSERT_FALSE(restart.empty());
    EXPECT_GT(restart.front()["t_us"].get<uint64_t>(), chain.back()["t_us"].get<uint64_t>())
        << "the restart touched the device before the cycle had ended";
    EXPECT_GE(resetDone, resetAt + 2000 * kMs);
    // The cycle finished its work: renegotiated and reported the connect before the restart.
    EXPECT_EQ(PhyOps("read", 0, 5, resetAt, restart.front()["t_us"].get<uint64_t>()).size(), 1u);
    const auto statuses = MediaStatuses(resetAt);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front().status, kMediaConnect);
    EXPECT_LT(statuses.front().t_us, restart.front()["t_us"].get<uint64_t>());

    const Cycle after = NextCycle();
    EXPECT_GE(after.start, resetDone);
    EXPECT_EQ(R().MediaBusy, 0);
}

TEST_F(LinkPollTest, ShutdownDuringARequestEndsTheCycleWithoutRearmingAndNothingFollows) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    NextCycle();
    // Without link a cycle makes four requests, so it is seen in flight.
    eth.SetUp(false);
    NextCycle();
    ASSERT_TRUE(RunUntilTrue([&] { return R().MediaBusy != 0; }, 10 * kSecond));
    ASSERT_FALSE(DelayArmed()) << "the cycle's status read is at the device";
    world_.Ndis().Shutdown(*adapter_);
    const uint64_t shutDown = Now();
    EXPECT_EQ(R().ShutdownBegun, 1);
    EXPECT_EQ(R().MediaBusy, 0);
    EXPECT_FALSE(PollTimerArmed()) << "the cycle ended after shutdown began and re-armed";
    world_.RunFor(10 * kSecond);
    EXPECT_TRUE(AsyncControls(shutDown).empty()) << "a cycle ran after shutdown";
    EXPECT_TRUE(PhyOps("read", 0, 1, shutDown).empty());
    Halt();
}

TEST_F(LinkPollTest, HaltWaitsForACycleStillInFlightBeforeItFreesTheRecord) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    NextCycle();
    world_.Ndis().Shutdown(*adapter_);
    ASSERT_EQ(R().AdapterState, ADAPTER_POWERED_DOWN);
    // However a cycle comes to be in flight when halt runs (here one started by hand after the
    // system shutdown, its status read held at the USB stack), the record outlives it.
    adapter_->bus->Faults().inlinePercent = 0;
    AtDispatch(*adapter_, [&] { StartLinkPoll(MutableRecordOf(*adapter_)); });
    ASSERT_EQ(R().MediaBusy, 1);
    const uint64_t haltAt = Now();
    Halt();
    EXPECT_EQ(AsyncControls(haltAt).size(), 2u) << "the status read, command and data";
    EXPECT_EQ(adapter_->bus->Outstanding(), 0u);
}

TEST_F(LinkPollTest, ShutdownJustBeforeACycleWouldWaitEndsItInsteadOfArmingTheDelay) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    NextCycle();
    eth.SetUp(false);
    NextCycle();
    eth.SetUp(true);
    // The renegotiation's control write is at the USB stack, and its completion, which would arm
    // the 2000 ms wait, comes after shutdown has begun.
    ASSERT_TRUE(RunUntilTrue([&] { return R().MediaBusy != 0; }, 10 * kSecond));
    const uint64_t limit = Now() + kSecond;
    while (R().NextStep != ContinueAfterDelay && Now() < limit) world_.RunFor(10);
    ASSERT_EQ(R().NextStep, ContinueAfterDelay);
    ASSERT_FALSE(DelayArmed());
    const uint64_t shutdownAt = Now();
    world_.Ndis().Shutdown(*adapter_);
    const uint64_t shutDown = Now();
    // The cycle ended at once instead of parking for 2000 ms, which power-down would have
    // waited out.
    EXPECT_LT(shutDown - shutdownAt, 1500 * kMs);
    EXPECT_EQ(R().MediaBusy, 0);
    EXPECT_FALSE(DelayArmed());
    EXPECT_FALSE(PollTimerArmed());
    world_.RunFor(10 * kSecond);
    EXPECT_TRUE(AsyncControls(shutDown).empty());
    EXPECT_TRUE(PhyOps("read", 0, 1, shutDown).empty());
    Halt();
}

TEST_F(LinkPollTest, ShutdownWhileACycleWaitsEndsItSoPowerDownFindsTheMediaIdle) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    NextCycle();
    eth.SetUp(false);
    NextCycle();
    eth.SetUp(true);
    ASSERT_TRUE(RunUntilTrue([&] { return R().MediaBusy != 0; }, 10 * kSecond));
    ASSERT_TRUE(RunUntilTrue([&] { return DelayArmed(); }, kSecond));
    const uint64_t shutdownAt = Now();
    world_.Ndis().Shutdown(*adapter_);
    const uint64_t shutDown = Now();
    EXPECT_EQ(R().MediaBusy, 0);
    EXPECT_FALSE(DelayArmed());
    EXPECT_FALSE(PollTimerArmed());
    // Power-down never waited for a cycle that could not end: one second of settling, no more.
    EXPECT_LT(shutDown - shutdownAt, 1500 * kMs);
    world_.RunFor(10 * kSecond);
    EXPECT_TRUE(AsyncControls(shutDown).empty());
    Halt();
}

// After a system shutdown NDIS may still reset the adapter: the reset brings all of it back, the
// link poll included, not traffic with nobody watching the link.
TEST_F(LinkPollTest, AResetAfterShutdownBringsThePollBackWithTheTraffic) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    NextCycle();
    world_.Ndis().Shutdown(*adapter_);
    ASSERT_EQ(R().AdapterState, ADAPTER_POWERED_DOWN);
    ASSERT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    const uint64_t reset = Now();
    EXPECT_EQ(R().AdapterState, ADAPTER_RUNNING);
    EXPECT_TRUE(PollTimerArmed());
    NextCycle();
    eth.SetUp(false);
    const Cycle lost = NextCycle();
    const auto statuses = MediaStatuses(reset);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().status, kMediaDisconnect) << "the loss was reported";
    EXPECT_LE(statuses.back().t_us, lost.end);
    // And the halt that follows powers the adapter down again and leaves nothing.
    Halt();
}

// A poll request the device never answers is taken back after the synchronous requests' ten
// seconds, counted from when it was sent: here it follows, in the same request slot, one answered
// 6 s late. The cycle ends, the poll goes on, and a later link loss is reported. Halt then finds
// nothing below.
TEST_F(LinkPollTest, APollRequestNeverAnsweredIsTakenBackAndPollingGoesOn) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    NextCycle();
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Late, 1, 1, 6 * kSecond);
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 2);
    const Cycle stuck = NextCycle(30 * kSecond);
    const auto lost = recorder_.Where([&](const Json& l) {
        return l["ev"] == "control" && l["result"] == "timeout" && l["t_us"] >= stuck.start;
    });
    ASSERT_EQ(lost.size(), 1u);
    const uint64_t below = lost[0]["t_us"].get<uint64_t>() - lost[0]["submitted_us"].get<uint64_t>();
    EXPECT_GT(below, 9 * kSecond) << "taken back only after ten watchdog ticks of its own";
    EXPECT_LE(below, 10 * kSecond + 2 * kMs);
    EXPECT_GE(stuck.end - stuck.start, 16 * kSecond);
    EXPECT_LE(stuck.end - stuck.start, 18 * kSecond);
    EXPECT_EQ(adapter_->bus->Stats().faultsInjected, 2u);
    EXPECT_TRUE(PollTimerArmed()) << "the poll goes on";
    eth.SetUp(false);
    const uint64_t lostAt = Now();
    NextCycle();
    const auto statuses = MediaStatuses(lostAt);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, kMediaDisconnect);
    Halt();
    EXPECT_EQ(adapter_->bus->Outstanding(), 0u);
}

// Halt while the device leaves a poll request unanswered: the request is taken back and waited
// for, so the record is freed with nothing below, in a bounded time.
TEST_F(LinkPollTest, HaltWithAPollRequestNeverAnsweredTakesItBack) {
    auto& eth = EthernetLink(true);
    StartEthernet(eth);
    NextCycle();
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 1);
    ASSERT_TRUE(RunUntilTrue([&] { return adapter_->bus->Stats().faultsInjected == 1; },
                             10 * kSecond));
    ASSERT_EQ(R().MediaBusy, 1);
    const uint64_t haltAt = Now();
    Halt();
    EXPECT_LT(Now() - haltAt, 8 * kSecond);
    EXPECT_EQ(adapter_->bus->Outstanding(), 0u);
}

}  // namespace
