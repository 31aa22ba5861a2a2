// Test support for the link poll and the media switch: an adapter model with PHYs on links,
// started through NDIS, driven through poll cycles in virtual time, halted and judged by the
// verifier at the end of every test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/trace_queries.h"
#include "tests/support/world_fixture.h"

namespace testing_support {

inline constexpr NDIS_STATUS kMediaConnect = 0x4001000B;
inline constexpr NDIS_STATUS kMediaDisconnect = 0x4001000C;
inline constexpr uint64_t kMs = 1000;
inline constexpr uint64_t kSecond = 1000 * kMs;

// PHY identifiers used by the tests.
inline constexpr uint32_t kEthernet225410 = 0x225410;
inline constexpr uint32_t kEthernet406210 = 0x406210;
inline constexpr uint32_t kPhone6B90 = 0x6B90;
inline constexpr uint32_t kPhone5C20 = 0x20005C20;
inline constexpr uint32_t kSpare6B70 = 0x6B70;

class PollTest : public WorldTest {
protected:
    using WorldTest::WorldTest;

    host::wire::Link& EthernetLink(bool up, host::wire::PartnerSettings partner = {}) {
        partner.up = up;
        return world_.AddLink("eth" + std::to_string(links_++), host::wire::MediumKind::Ethernet,
                              partner);
    }
    host::wire::Link& PhoneLink(bool up) {
        host::wire::PartnerSettings partner;
        partner.up = up;
        partner.autoneg = false;
        partner.speedMbps = 1;
        return world_.AddLink("phone" + std::to_string(links_++),
                              host::wire::MediumKind::PhoneLine, partner);
    }
    static host::device::PhySpec Phy(uint8_t address, uint32_t id, host::wire::Link* link) {
        host::device::PhySpec s;
        s.phy.address = address;
        s.phy.id = id;
        s.link = link;
        return s;
    }

    // Binds and initialises adapter "A"; fails the test at once if initialise does.
    void Start(std::vector<host::device::PhySpec> phys, host::ndis::Registry registry = {}) {
        host::device::DeviceConfig config;
        config.phys = std::move(phys);
        adapter_ = &AddModelled("A", config, std::move(registry), &device_);
        ASSERT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
    }

    const AdapterRecord& R() const { return RecordOf(*adapter_); }
    bool PollTimerArmed() { return world_.Ndis().TimerArmed(&R().LinkPollTimer); }
    bool DelayArmed() { return world_.Ndis().TimerArmed(&R().MediaDelayTimer); }
    uint64_t Now() const { return const_cast<host::world::World&>(world_).NowUs(); }

    // Media connect and disconnect indications at or after `since`.
    std::vector<host::ndis::StatusIndication> MediaStatuses(uint64_t since = 0) const {
        std::vector<host::ndis::StatusIndication> out;
        for (const auto& s : adapter_->protocol.statuses)
            if (s.t_us >= since && (s.status == kMediaConnect || s.status == kMediaDisconnect))
                out.push_back(s);
        return out;
    }

    // Runs virtual time in 1 ms steps until `done` holds or `limitUs` has passed.
    bool RunUntilTrue(const std::function<bool()>& done, uint64_t limitUs) {
        const uint64_t end = Now() + limitUs;
        while (!done()) {
            if (Now() >= end) return false;
            world_.RunFor(kMs);
        }
        return true;
    }

    struct Cycle {
        uint64_t start = 0;
        uint64_t end = 0;
    };
    // Runs until the next poll cycle has begun and ended; the test fails if none comes. A
    // cycle shows as MediaBusy set or as register requests the driver did not wait for (the
    // tests using this make no other such requests); when the bus answers inside the call a
    // whole cycle can pass within one step, so both are watched.
    Cycle NextCycle(uint64_t limitUs = 10 * kSecond) {
        Cycle c;
        uint64_t stepStart = Now();
        const uint64_t end = Now() + limitUs;
        bool began = false;
        while (Now() < end) {
            stepStart = Now();
            world_.RunFor(kMs);
            if (R().MediaBusy != 0 || !AsyncControls(stepStart).empty()) {
                began = true;
                break;
            }
        }
        EXPECT_TRUE(began) << "no cycle began";
        c.start = stepStart;
        EXPECT_TRUE(RunUntilTrue([&] { return R().MediaBusy == 0; }, 30 * kSecond))
            << "the cycle never ended";
        c.end = Now();
        // The PHY acts on a management command shortly after the port write that carried it
        // has completed: let the last one land.
        world_.RunFor(kMs);
        return c;
    }

    // Register requests the driver did not wait for (the chain's), completed in [from, to).
    std::vector<Json> AsyncControls(uint64_t from, uint64_t to = UINT64_MAX) const {
        return recorder_.Where([&](const Json& l) {
            const uint64_t t = l["t_us"].get<uint64_t>();
            return l["ev"] == "control" && l["sync"] == false && t >= from && t < to;
        });
    }
    // PHY operations as the device saw them, in [from, to).
    std::vector<Json> PhyOps(const std::string& op, int phy, int reg, uint64_t from = 0,
                             uint64_t to = UINT64_MAX) const {
        std::vector<Json> out;
        for (const Json& l : Mdio(recorder_, op, phy, reg)) {
            const uint64_t t = l["t_us"].get<uint64_t>();
            if (t >= from && t < to) out.push_back(l);
        }
        return out;
    }
    std::vector<int> PhyWrites(int phy, int reg, uint64_t from = 0,
                               uint64_t to = UINT64_MAX) const {
        std::vector<int> out;
        for (const Json& l : PhyOps("write", phy, reg, from, to))
            out.push_back(l["value"].get<int>());
        return out;
    }
    // Data stages of the register writes to `reg` in [from, to).
    std::vector<std::string> WritesTo(int reg, uint64_t from = 0, uint64_t to = UINT64_MAX) const {
        std::vector<std::string> out;
        for (const Json& l : Controls(recorder_, 0xF1, reg)) {
            const uint64_t t = l["t_us"].get<uint64_t>();
            if (t >= from && t < to) out.push_back(l["data"].get<std::string>());
        }
        return out;
    }

    void Halt() {
        world_.Ndis().Halt(*adapter_);
        halted_ = true;
    }
    void TearDown() override {
        if (adapter_ != nullptr && !halted_) Halt();
        if (adapter_ != nullptr) {
            EXPECT_EQ(world_.Ndis().ArmedTimers(adapter_->id), 0u) << "a timer outlived halt";
        }
        ExpectClean();
    }

    int links_ = 0;
    bool halted_ = false;
    host::ndis::Adapter* adapter_ = nullptr;
    host::device::AdapterDevice* device_ = nullptr;
};

}  // namespace testing_support
