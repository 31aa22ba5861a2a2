// Media programming at every restart, seen at the device: the PHY writes of automatic and forced
// media, the speed and duplex taken from the partner, MAC register 1, the link test and the
// registers each PHY kind gets, the phone-line tuning by "HomeLan", and nothing at all when
// start-up found no usable medium.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "driver/media/media_programming.h"
#include "tests/support/media_fixture.h"

namespace {

using host::device::PhySpec;
using testing_support::Json;
using testing_support::Mdio;

// Status register values for PHYs pinned to a state: Ethernet with link and negotiation
// complete, and a phone line with link.
constexpr uint16_t kEthernetLinked = 0x782D;
constexpr uint16_t kPhoneLinked = 0x000D;

class MediaProgrammingTest : public testing_support::MediaTest {
protected:
    // The writes of the last restart: from the MAC reset pulse on.
    std::vector<std::string> RestartWrites() const {
        const std::vector<std::string> all = DeviceWrites();
        auto pulse = std::find(all.rbegin(), all.rend(), std::string("00=0000"));
        if (pulse == all.rend()) return {};
        return std::vector<std::string>(pulse.base() - 1, all.end());
    }
    // The PHY register operations on one PHY as "r1", "w0=1200", in order.
    std::vector<std::string> PhyOps(int phy) const {
        std::vector<std::string> out;
        for (const Json& l : recorder_.Of("mdio")) {
            if (l["phy"] != phy) continue;
            char text[32];
            if (l["op"] == "read") std::snprintf(text, sizeof text, "r%d", l["reg"].get<int>());
            else
                std::snprintf(text, sizeof text, "w%d=%04x", l["reg"].get<int>(),
                              l["value"].get<int>());
            out.push_back(text);
        }
        return out;
    }
    static host::ndis::Registry Settings(uint32_t mediaType, uint32_t homeLan = 0) {
        host::ndis::Registry r;
        if (mediaType) r["MediaType"] = mediaType;
        if (homeLan) r["HomeLan"] = homeLan;
        return r;
    }
};

// ---- automatic media: the partner's ability decides speed, duplex and MAC register 1 ----

struct PartnerCase {
    uint16_t advertise;
    ULONG speed;
    ULONG duplex;
    const char* portBlock;  // registers 0x7C..0x7F with link
    const char* macMode;    // registers 0..2 at the end of the restart
};

class PartnerAbilityTest : public MediaProgrammingTest,
                           public ::testing::WithParamInterface<PartnerCase> {};

TEST_P(PartnerAbilityTest, NegotiatesWaitsAndTakesSpeedAndDuplexFromThePartner) {
    const PartnerCase& c = GetParam();
    host::wire::PartnerSettings partner;
    partner.advertise = c.advertise;
    AdapterRecord* r = Start({Phy(0, 0x225410, Ethernet(true, partner))});

    EXPECT_EQ(r->SpeedCode, c.speed);
    EXPECT_EQ(r->DuplexCode, c.duplex);
    const std::vector<std::string> expected = {
        "00=0000", "01=0800", "phy0.0=8000", "phy0.4=01e1", "phy0.0=1200",
        std::string("7c=") + c.portBlock, std::string("00=") + c.macMode};
    EXPECT_EQ(RestartWrites(), expected);
    EXPECT_EQ(device_->Register(1), std::stoi(std::string(c.macMode).substr(2, 2), nullptr, 16));

    // The partner's ability was read only once negotiation had completed.
    const std::vector<Json> mdio = recorder_.Where(
        [](const Json& l) { return l["ev"] == "mdio" && l["phy"] == 0; });
    auto ability = std::find_if(mdio.begin(), mdio.end(), [](const Json& l) {
        return l["op"] == "read" && l["reg"] == 5;
    });
    ASSERT_NE(ability, mdio.end());
    EXPECT_EQ((*ability)["value"], c.advertise);
    auto status = std::find_if(std::make_reverse_iterator(ability), mdio.rend(),
                               [](const Json& l) { return l["op"] == "read" && l["reg"] == 1; });
    ASSERT_NE(status, mdio.rend());
    EXPECT_NE((*status)["value"].get<int>() & 0x0020, 0);

    // A reset programs the PHY again from scratch, with the same outcome. The multicast hash is
    // not written again: the MAC reset pulse leaves it as start-up opened it.
    recorder_.Clear();
    EXPECT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(RestartWrites(), expected);
    for (int r = 0x08; r < 0x10; ++r) EXPECT_EQ(device_->Register(r), 0xFF) << "hash register " << r;
    EXPECT_EQ(RecordOf(*adapter_).SpeedCode, c.speed);
    EXPECT_EQ(RecordOf(*adapter_).DuplexCode, c.duplex);
}

INSTANTIATE_TEST_SUITE_P(
    Partners, PartnerAbilityTest,
    ::testing::Values(PartnerCase{0x01E1, SPEED_100, DUPLEX_FULL, "34002630", "f93000"},
                      PartnerCase{0x0081, SPEED_100, DUPLEX_HALF, "34002630", "f91000"},
                      PartnerCase{0x0061, SPEED_10, DUPLEX_FULL, "26002630", "f92000"},
                      PartnerCase{0x0021, SPEED_10, DUPLEX_HALF, "26002630", "f90000"}));

TEST_F(MediaProgrammingTest, PhoneLinePhy6B90LeavesMacRegisterOneClear) {
    AdapterRecord* r = Start({PinnedPhy(1, 0x6B90, kPhoneLinked)});
    EXPECT_EQ(r->PhoneLineSelected, MEDIUM_PHONE_LINE);
    EXPECT_EQ(r->SpeedCode, SPEED_PHONE_LINE);
    EXPECT_EQ(r->DuplexCode, DUPLEX_HALF);
    EXPECT_EQ(r->MacControl1, 0x00);
    EXPECT_EQ(device_->Register(1), 0x00);
    EXPECT_EQ(r->KeepAliveEnabled, 0);
    // No negotiation wait on a phone line; the link block says connected.
    const std::vector<std::string> expected = {
        "00=0000", "01=0800", "phy1.0=8000", "phy1.4=01e1", "phy1.0=1200",
        "7c=260026340006", "phy1.16=0000", "00=f90000"};
    EXPECT_EQ(RestartWrites(), expected);
}

TEST_F(MediaProgrammingTest, LonePhyOfNeitherKindNegotiatesWithoutWaitingAndGetsNoKindWrites) {
    host::wire::PartnerSettings quick;
    quick.advertise = 0x0061;
    quick.anDelayMs = 1;
    AdapterRecord* r = Start({Phy(3, 0x6B70, Ethernet(true, quick))});
    EXPECT_EQ(r->PhoneLineSelected, MEDIUM_OTHER_PHY);
    // Ethernet rules on register 5.
    EXPECT_EQ(r->SpeedCode, SPEED_10);
    EXPECT_EQ(r->DuplexCode, DUPLEX_FULL);
    const std::vector<std::string> expected = {"00=0000",     "01=0800",     "phy3.0=8000",
                                               "phy3.4=01e1", "phy3.0=1200", "00=f92000"};
    EXPECT_EQ(RestartWrites(), expected);
    // Register 5 is read right after the restart: no status poll in between.
    const std::vector<std::string> ops = PhyOps(3);
    auto restart = std::find(ops.rbegin(), ops.rend(), std::string("w0=1200"));
    ASSERT_NE(restart, ops.rend());
    ASSERT_NE(restart, ops.rbegin());
    EXPECT_EQ(*std::prev(restart), "r5");
}

// ---- forced media ----

struct ForcedCase {
    uint32_t mediaType;
    const char* advertisement;  // PHY register 4 as written, selector included
    const char* control;        // the forced control value
    ULONG speed;
    ULONG duplex;
    const char* portBlock;
    const char* macMode;
};

class ForcedMediaTest : public MediaProgrammingTest,
                        public ::testing::WithParamInterface<ForcedCase> {};

TEST_P(ForcedMediaTest, ProgramsTheRowAndWritesThePortBlockOfTheLinkTest) {
    const ForcedCase& c = GetParam();
    AdapterRecord* r = Start({PinnedPhy(0, 0x225410, kEthernetLinked)}, Settings(c.mediaType));
    EXPECT_EQ(r->SpeedCode, c.speed);
    EXPECT_EQ(r->DuplexCode, c.duplex);
    const std::vector<std::string> expected = {
        "00=0000",
        "01=0800",
        "phy0.0=8000",
        std::string("phy0.4=") + c.advertisement,
        "phy0.0=1200",
        std::string("phy0.0=") + c.control,
        std::string("7c=") + c.portBlock,
        std::string("00=") + c.macMode};
    EXPECT_EQ(RestartWrites(), expected);
    // Negotiation reads as complete at once: one status poll, then the forced control value.
    const std::vector<std::string> ops = PhyOps(0);
    auto restart = std::find(ops.rbegin(), ops.rend(), std::string("w0=1200"));
    ASSERT_NE(restart, ops.rend());
    const std::vector<std::string> after(restart.base(), ops.end());
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after[0], "r1");
    EXPECT_EQ(after[1], std::string("w0=") + c.control);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ForcedMediaTest,
    ::testing::Values(
        ForcedCase{1, "0021", "0000", SPEED_10, DUPLEX_HALF, "26002630", "f90000"},
        ForcedCase{2, "0041", "0100", SPEED_10, DUPLEX_FULL, "26002630", "f92000"},
        ForcedCase{3, "0081", "2000", SPEED_100, DUPLEX_HALF, "34002630", "f91000"},
        ForcedCase{4, "0101", "2100", SPEED_100, DUPLEX_FULL, "34002630", "f93000"}));

TEST_F(MediaProgrammingTest, Forced100FullPollsUntilNegotiatedAndTheDroppedLinkTestsDisconnected) {
    AdapterRecord* r = Start({Phy(0, 0x225410, Ethernet(true))}, Settings(4));
    EXPECT_EQ(r->SpeedCode, SPEED_100);
    EXPECT_EQ(r->DuplexCode, DUPLEX_FULL);
    // Leaving negotiation for a forced mode drops the link, so the test right after finds none.
    const std::vector<std::string> expected = {
        "00=0000",     "01=0800",     "phy0.0=8000", "phy0.4=0101",
        "phy0.0=1200", "phy0.0=2100", "7c=36002620", "00=f93000"};
    EXPECT_EQ(RestartWrites(), expected);

    std::vector<Json> polls;
    bool restarted = false;
    for (const Json& l : recorder_.Of("mdio")) {
        if (l["op"] == "write" && l["reg"] == 0 && l["value"] == 0x1200) restarted = true;
        else if (l["op"] == "write" && l["reg"] == 0 && l["value"] == 0x2100) break;
        else if (restarted && l["op"] == "read" && l["reg"] == 1) polls.push_back(l);
    }
    ASSERT_GE(polls.size(), 2u) << "negotiation takes the partner's 800 ms";
    for (size_t i = 0; i + 1 < polls.size(); ++i)
        EXPECT_EQ(polls[i]["value"].get<int>() & 0x0020, 0);
    EXPECT_NE(polls.back()["value"].get<int>() & 0x0020, 0);
    EXPECT_GE(polls.back()["t_us"].get<uint64_t>() - polls.front()["t_us"].get<uint64_t>(),
              700'000u);
    // Disconnected by the link test: the first indication says so.
    const auto& indications = adapter_->protocol.statuses;
    ASSERT_FALSE(indications.empty());
    EXPECT_EQ(indications.front().status, NDIS_STATUS_MEDIA_DISCONNECT);

    // A reset before the first poll drops the link the same way. Its link test's result is what
    // the poll compares with from then on, so the poll that finds the link back reports it.
    const size_t before = indications.size();
    EXPECT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(r->LinkState, LINK_DISCONNECTED);
    EXPECT_EQ(r->IndicatedLinkState, LINK_DISCONNECTED);
    ASSERT_EQ(indications.size(), before + 1);
    EXPECT_EQ(indications.back().status, NDIS_STATUS_MEDIA_DISCONNECT);
    world_.RunFor(15'000'000);
    ASSERT_GT(indications.size(), before + 1);
    EXPECT_EQ(indications[before + 1].status, NDIS_STATUS_MEDIA_CONNECT);
}

TEST_F(MediaProgrammingTest, ForcedPhoneLineReadsStatusOnceAndRunsAtOneMegabit) {
    AdapterRecord* r = Start({PinnedPhy(1, 0x6B90, kPhoneLinked)}, Settings(5));
    EXPECT_EQ(r->SpeedCode, SPEED_PHONE_LINE);
    EXPECT_EQ(r->DuplexCode, DUPLEX_HALF);
    const std::vector<std::string> expected = {
        "00=0000",     "01=0800",        "phy1.0=8000",   "phy1.4=0021", "phy1.0=1200",
        "phy1.0=0000", "7c=260026340006", "phy1.16=0000", "00=f90000"};
    EXPECT_EQ(RestartWrites(), expected);
    const std::vector<std::string> ops = PhyOps(1);
    auto restart = std::find(ops.rbegin(), ops.rend(), std::string("w0=1200"));
    ASSERT_NE(restart, ops.rend());
    const std::vector<std::string> after(restart.base(), ops.end());
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after[0], "r1");
    EXPECT_EQ(after[1], "w0=0000");
    // The one status read is followed by a 30 ms pause before the forced control value.
    const std::vector<Json> mdio = recorder_.Where(
        [](const Json& l) { return l["ev"] == "mdio" && l["phy"] == 1; });
    const auto forced = std::find_if(mdio.begin(), mdio.end(), [](const Json& l) {
        return l["op"] == "write" && l["reg"] == 0 && l["value"] == 0x0000;
    });
    ASSERT_NE(forced, mdio.end());
    ASSERT_NE(forced, mdio.begin());
    const Json& status = *std::prev(forced);
    EXPECT_EQ(status["reg"], 1);
    EXPECT_GE((*forced)["t_us"].get<uint64_t>() - status["t_us"].get<uint64_t>(), 30'000u);
}

// A PHY whose reset never ends and whose negotiation never completes: each wait costs its
// bounded number of reads and pauses, and the programming goes on.
TEST_F(MediaProgrammingTest, ResetAndNegotiationWaitsAreBounded) {
    // A scripted PHY 0x225410 at address 0: the reset bit always set, link without negotiation
    // complete. The times of its register reads are kept as the device answers them.
    host::device::ScriptedDevice* device = nullptr;
    auto& a = AddScripted("S", {}, &device);
    std::vector<std::pair<uint64_t, int>> reads;
    device->phyRead = [&](uint8_t address, uint8_t reg) -> uint16_t {
        if (address != 0) return 0xFFFF;
        reads.emplace_back(world_.NowUs(), reg);
        switch (reg) {
            case 0: return 0x9000;
            case 1: return 0x780D;
            case 2: return 0x0022;
            case 3: return 0x5410;
            case 5: return 0x01E1;
            default: return 0x0000;
        }
    };
    ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
    // PHY port commands as written: reset, advertisement, restart of negotiation.
    auto commandAt = [&](const char* data) {
        for (const Json& l : testing_support::Controls(recorder_, 0xF1, 0x25))
            if (l["data"] == data) return l["t_us"].get<uint64_t>();
        return uint64_t{0};
    };
    const uint64_t reset = commandAt("00008020");
    const uint64_t advertise = commandAt("00e10124");
    const uint64_t restart = commandAt("00001220");
    ASSERT_TRUE(reset != 0 && advertise > reset && restart > advertise);
    auto readsOf = [&](int reg, uint64_t from, uint64_t to) {
        std::vector<uint64_t> times;
        for (const auto& [t, r] : reads)
            if (r == reg && t >= from && t < to) times.push_back(t);
        return times;
    };
    auto shortestGap = [](const std::vector<uint64_t>& times) {
        uint64_t gap = UINT64_MAX;
        for (size_t i = 1; i < times.size(); ++i) gap = std::min(gap, times[i] - times[i - 1]);
        return gap;
    };
    // The reset: 100 control reads, each 30 ms after the one before.
    const std::vector<uint64_t> control = readsOf(0, reset, advertise);
    ASSERT_EQ(control.size(), 100u);
    EXPECT_GE(control.front() - reset, 30'000u);
    EXPECT_GE(shortestGap(control), 30'000u);
    // The negotiation: 100 ms, then 100 status reads 30 ms apart, then the partner's ability.
    uint64_t ability = UINT64_MAX;
    for (const auto& [t, r] : reads)
        if (r == 5 && t > restart) ability = std::min(ability, t);
    const std::vector<uint64_t> status = readsOf(1, restart, ability);
    ASSERT_EQ(status.size(), 100u);
    EXPECT_GE(status.front() - restart, 100'000u);
    EXPECT_GE(shortestGap(status), 30'000u);
    EXPECT_GE(ability - status.back(), 30'000u);
    world_.Ndis().Halt(a);

    // Forced 100 Mb/s full duplex polls the status the same way, 100 times 30 ms apart, before
    // it writes the row's control value.
    host::device::ScriptedDevice* forcedDevice = nullptr;
    auto& forced = AddScripted("F", {{"MediaType", 4u}}, &forcedDevice);
    forcedDevice->phyRead = device->phyRead;
    reads.clear();
    recorder_.Clear();
    ASSERT_EQ(world_.Ndis().Initialize(forced), NDIS_STATUS_SUCCESS);
    const uint64_t forcedRestart = commandAt("00001220");
    const uint64_t forcedControl = commandAt("00002120");
    ASSERT_TRUE(forcedRestart != 0 && forcedControl > forcedRestart);
    const std::vector<uint64_t> forcedStatus = readsOf(1, forcedRestart, forcedControl);
    ASSERT_EQ(forcedStatus.size(), 100u);
    EXPECT_GE(shortestGap(forcedStatus), 30'000u);
    world_.Ndis().Halt(forced);
}

// ---- what each PHY kind gets ----

TEST_F(MediaProgrammingTest, Ethernet406210GetsRegister27AndOneStatusRead) {
    Start({Phy(0, 0x406210, Ethernet(true))});
    const std::vector<std::string> ops = PhyOps(0);
    auto mode = std::find(ops.begin(), ops.end(), std::string("w27=0044"));
    ASSERT_NE(mode, ops.end());
    ASSERT_NE(std::next(mode), ops.end());
    EXPECT_EQ(*std::next(mode), "r1");
    const std::vector<std::string> writes = RestartWrites();
    EXPECT_EQ(writes.back(), "00=f93000");
    EXPECT_EQ(std::count_if(writes.begin(), writes.end(),
                            [](const std::string& w) { return w.rfind("7c=", 0) == 0; }),
              0);
}

TEST_F(MediaProgrammingTest, Ethernet437410GetsRegister23) {
    Start({Phy(0, 0x437410, Ethernet(true))});
    const std::vector<std::string> expected = {"00=0000",     "01=0800",      "phy0.0=8000",
                                               "phy0.4=01e1", "phy0.0=1200", "phy0.23=0080",
                                               "00=f93000"};
    EXPECT_EQ(RestartWrites(), expected);
}

// ---- "HomeLan" on the phone-line PHYs ----

struct HomeLanCase {
    uint32_t homeLan;
    int register16;  // value written to PHY register 16 of 0x6B90, -1: none
};

class HomeLan6B90Test : public MediaProgrammingTest,
                        public ::testing::WithParamInterface<HomeLanCase> {};

TEST_P(HomeLan6B90Test, SetsTheModeNibbleAndKeepsTheOtherBits) {
    const HomeLanCase& c = GetParam();
    PhySpec phy = Phy(1, 0x6B90, PhoneLine(true));
    phy.phy.vendorDefaults = {{16, 0x1234}};
    Start({phy}, Settings(0, c.homeLan));
    // Register 16 is read either way; written only when a mode applies.
    EXPECT_EQ(Mdio(recorder_, "read", 1, 16).size(), 1u);
    const std::vector<int> writes = PhyWrites(1, 16);
    if (c.register16 < 0) {
        EXPECT_TRUE(writes.empty());
        EXPECT_EQ(device_->Phy(1)->Peek(16), 0x1234);
    } else {
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0], c.register16);
        EXPECT_EQ(device_->Phy(1)->Peek(16), c.register16);
    }
    // A reset programs the PHY again: HomeLan 16 still never writes the register.
    recorder_.Clear();
    world_.Ndis().Reset(*adapter_);
    EXPECT_EQ(PhyWrites(1, 16).size(), c.register16 < 0 ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, HomeLan6B90Test,
                         ::testing::Values(HomeLanCase{16, -1}, HomeLanCase{17, 0x1A34},
                                           HomeLanCase{18, 0x1934}, HomeLanCase{19, 0x1634},
                                           HomeLanCase{20, 0x1534}, HomeLanCase{0, 0x1034},
                                           HomeLanCase{21, 0x1034}));

struct HomeLan5C20Case {
    uint32_t homeLan;
    std::vector<std::string> extra;  // PHY writes after register 25 = 0x7F02
};

class HomeLan5C20Test : public MediaProgrammingTest,
                        public ::testing::WithParamInterface<HomeLan5C20Case> {};

TEST_P(HomeLan5C20Test, RestartsWithTheSpeedBitAndSetsItsLevelRegisters) {
    const HomeLan5C20Case& c = GetParam();
    AdapterRecord* r = Start({Phy(1, 0x20005C20, PhoneLine(true))}, Settings(0, c.homeLan));
    EXPECT_EQ(r->SpeedCode, SPEED_PHONE_LINE);
    EXPECT_EQ(r->DuplexCode, DUPLEX_HALF);
    EXPECT_EQ(r->KeepAliveEnabled, 1);
    // The PHY was reset a moment ago: the link test finds no link, so register 0x7F is left.
    std::vector<std::string> expected = {"00=0000",      "01=0800",      "phy1.0=8000",
                                         "phy1.4=01e1",  "phy1.0=2000",  "phy1.25=7f05",
                                         "phy1.0=2000",  "phy1.25=7f02"};
    expected.insert(expected.end(), c.extra.begin(), c.extra.end());
    expected.push_back("00=f90000");
    EXPECT_EQ(RestartWrites(), expected);
    // No negotiation wait: register 5 follows the restart directly.
    const std::vector<std::string> ops = PhyOps(1);
    auto restart = std::find(ops.begin(), ops.end(), std::string("w0=2000"));
    ASSERT_NE(restart, ops.end());
    ASSERT_NE(std::next(restart), ops.end());
    EXPECT_EQ(*std::next(restart), "r5");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, HomeLan5C20Test,
    ::testing::Values(
        HomeLan5C20Case{0, {}}, HomeLan5C20Case{17, {}},
        HomeLan5C20Case{18, {"phy1.31=0001", "phy1.7=0008", "phy1.6=0038", "phy1.31=0000"}},
        HomeLan5C20Case{19, {}},
        HomeLan5C20Case{20, {"phy1.31=0001", "phy1.7=0008", "phy1.6=0028", "phy1.31=0000"}}));

TEST_F(MediaProgrammingTest, Phone5C20WithLinkAtTheTestSetsRegister7FSingly) {
    Start({PinnedPhy(1, 0x20005C20, kPhoneLinked)});
    const std::vector<std::string> expected = {"00=0000",     "01=0800",      "phy1.0=8000",
                                               "phy1.4=01e1", "phy1.0=2000",  "phy1.25=7f05",
                                               "7f=04",       "phy1.0=2000",  "phy1.25=7f02",
                                               "00=f90000"};
    EXPECT_EQ(RestartWrites(), expected);
    const auto single = testing_support::Controls(recorder_, 0xF1, 0x7F);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0]["wValue"], 0x0004);
    EXPECT_EQ(single[0]["wLength"], 1);
}

// ---- no usable medium ----

TEST_F(MediaProgrammingTest, NoUsableMediumTouchesNoPhy) {
    AdapterRecord* r =
        Start({Phy(0, 0x225410, Ethernet(false)), Phy(1, 0x6B90, PhoneLine(false))});
    ASSERT_EQ(r->MediaChoiceMode, 0);
    EXPECT_TRUE(Mdio(recorder_, "write").empty());
    EXPECT_EQ(r->SpeedCode, SPEED_UNSET);
    EXPECT_EQ(r->DuplexCode, DUPLEX_UNSET);

    recorder_.Clear();
    EXPECT_EQ(world_.Ndis().Reset(*adapter_), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(Mdio(recorder_, "write").empty());

    recorder_.Clear();
    r->LinkState = LINK_CONNECTED;
    ULONG result = 0;
    AtPassive(*adapter_, [&] { result = ProgramMediaAtReset(r); });
    EXPECT_EQ(result, RESULT_FAILURE);
    EXPECT_TRUE(recorder_.Of("mdio").empty());
    EXPECT_TRUE(recorder_.Of("control").empty());
    EXPECT_EQ(r->LinkState, LINK_CONNECTED);
    r->LinkState = LINK_DISCONNECTED;
}

}  // namespace
