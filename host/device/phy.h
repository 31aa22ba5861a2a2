// A PHY on the adapter's management bus: IEEE 802.3 clause 22 control, status, identifier,
// advertisement and link-partner registers over a medium shared with a partner, plus vendor
// registers kept for inspection. Link timing follows the partner and the PHY's own state: reset
// self-clears after 1 ms; power-down and isolate take the PHY off its medium; a link comes up
// 300 ms after the PHY can have it (forced speed, parallel detection, phone line) or after the
// medium's negotiation delay (auto-negotiation with a negotiating partner).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "host/sim/scheduler.h"
#include "host/wire/link.h"

namespace host::device {

// Control register bits.
inline constexpr uint16_t kCtlReset = 0x8000;
inline constexpr uint16_t kCtlSpeed100 = 0x2000;
inline constexpr uint16_t kCtlAutoNeg = 0x1000;
inline constexpr uint16_t kCtlPowerDown = 0x0800;
inline constexpr uint16_t kCtlIsolate = 0x0400;
inline constexpr uint16_t kCtlRestartAutoNeg = 0x0200;
inline constexpr uint16_t kCtlFullDuplex = 0x0100;
// Status register bits.
inline constexpr uint16_t kStsAutoNegComplete = 0x0020;
inline constexpr uint16_t kStsLink = 0x0004;

struct PhyConfig {
    uint8_t address = 0;
    uint32_t id = 0;            // registers 2 and 3 with the revision bits clear
    uint8_t revision = 0;       // low four bits of register 3
    std::optional<uint16_t> reg1;  // pins register 1 (a PHY that answers nonsense)
    // Vendor registers (16..31) that hold a value other than 0 out of reset.
    std::vector<std::pair<uint8_t, uint16_t>> vendorDefaults;
};

bool IsPhoneLineId(uint32_t id);

class PhyModel {
public:
    // `link` may be null (no partner, never a link). A link that is up now gives the PHY link at
    // once: the adapter was powered before anyone looked.
    PhyModel(sim::Scheduler& scheduler, PhyConfig config, wire::Link* link);
    ~PhyModel();
    PhyModel(const PhyModel&) = delete;
    PhyModel& operator=(const PhyModel&) = delete;

    const PhyConfig& Config() const { return config_; }
    bool PhoneLine() const { return IsPhoneLineId(config_.id); }

    // Management access as the bus does it: reading the status register clears its latch.
    uint16_t Read(uint8_t reg);
    void Write(uint8_t reg, uint16_t value);
    // Inspection without side effects.
    uint16_t Peek(uint8_t reg) const { return regs_[reg & 31]; }

    bool OnMedium() const;    // neither resetting, powered down nor isolated
    bool HasLink() const { return linkUp_; }
    uint32_t SpeedMbps() const { return speedMbps_; }
    bool FullDuplex() const { return fullDuplex_; }
    wire::Link* Link() const { return link_; }

    // Told whenever the link comes up or goes down.
    std::function<void(bool up)> onLinkChange;

private:
    struct Resolution {
        bool ok;
        uint32_t speedMbps;
        bool fullDuplex;
        bool negotiated;  // through auto-negotiation with a negotiating partner
        uint16_t partnerAbility;
    };
    Resolution Resolve() const;
    // Whether negotiation is reported complete once the link of `r` is up.
    bool NegotiationCompletes(const Resolution& r) const;
    void Evaluate();
    void Drop();
    void ResetRegisters();
    uint16_t StatusBase() const;

    sim::Scheduler& scheduler_;
    PhyConfig config_;
    wire::Link* link_;
    size_t linkObserver_ = 0;
    std::array<uint16_t, 32> regs_{};
    bool resetting_ = false;
    bool linkUp_ = false;
    bool latchedLow_ = false;
    bool anComplete_ = false;
    uint32_t speedMbps_ = 0;
    bool fullDuplex_ = false;
    sim::EventId pendingLink_ = 0;
    sim::EventId pendingResetEnd_ = 0;
};

}  // namespace host::device
