#include "host/device/phy.h"

namespace host::device {

namespace {
constexpr uint64_t kResetUs = 1000;
constexpr uint64_t kForcedLinkUs = 300'000;
constexpr uint16_t kAbilityMask = 0x01E0;  // 100FD, 100HD, 10FD, 10HD
constexpr uint16_t kSelector8023 = 0x0001;
}  // namespace

bool IsPhoneLineId(uint32_t id) { return id == 0x6B90 || id == 0x20005C20; }

PhyModel::PhyModel(sim::Scheduler& scheduler, PhyConfig config, wire::Link* link)
    : scheduler_(scheduler), config_(config), link_(link) {
    ResetRegisters();
    if (link_) {
        linkObserver_ = link_->Attach([this] { Evaluate(); });
        const Resolution r = Resolve();
        if (r.ok) {
            linkUp_ = true;
            anComplete_ = NegotiationCompletes(r);
            speedMbps_ = r.speedMbps;
            fullDuplex_ = r.fullDuplex;
            regs_[5] = r.partnerAbility;
        }
    }
}

PhyModel::~PhyModel() {
    if (link_) link_->Detach(linkObserver_);
    scheduler_.Cancel(pendingLink_);
    scheduler_.Cancel(pendingResetEnd_);
}

void PhyModel::ResetRegisters() {
    regs_.fill(0);
    // Ethernet PHYs come out of reset negotiating and advertising everything they can.
    regs_[0] = PhoneLine() ? 0x0000 : (kCtlAutoNeg | kCtlSpeed100 | kCtlFullDuplex);
    regs_[2] = static_cast<uint16_t>(config_.id >> 16);
    regs_[3] = static_cast<uint16_t>((config_.id & 0xFFF0) | (config_.revision & 0x0F));
    regs_[4] = PhoneLine() ? 0x0001 : static_cast<uint16_t>(kAbilityMask | kSelector8023);
    for (const auto& [reg, value] : config_.vendorDefaults)
        if (reg >= 16 && reg < 32) regs_[reg] = value;
}

uint16_t PhyModel::StatusBase() const {
    // Capabilities: 100FD/100HD/10FD/10HD, auto-negotiation ability, extended registers.
    return PhoneLine() ? 0x0009 : 0x7809;
}

bool PhyModel::NegotiationCompletes(const Resolution& r) const {
    if (PhoneLine() || !(regs_[0] & kCtlAutoNeg)) return false;
    return !(r.negotiated && link_->Partner().anNeverCompletes);
}

bool PhyModel::OnMedium() const {
    return !resetting_ && !(regs_[0] & (kCtlPowerDown | kCtlIsolate));
}

PhyModel::Resolution PhyModel::Resolve() const {
    Resolution r{false, 0, false, false, 0};
    if (link_ == nullptr || !OnMedium()) return r;
    const wire::PartnerSettings& p = link_->Partner();
    if (!p.up) return r;
    const bool phoneMedium = link_->Kind() == wire::MediumKind::PhoneLine;
    if (PhoneLine() != phoneMedium) return r;
    if (PhoneLine()) return Resolution{true, 1, false, false, 0};

    const uint16_t ctl = regs_[0];
    if (ctl & kCtlAutoNeg) {
        if (p.autoneg) {
            const uint16_t common = regs_[4] & p.advertise & kAbilityMask;
            if (common & 0x0100) return {true, 100, true, true, p.advertise};
            if (common & 0x0080) return {true, 100, false, true, p.advertise};
            if (common & 0x0040) return {true, 10, true, true, p.advertise};
            if (common & 0x0020) return {true, 10, false, true, p.advertise};
            return r;
        }
        // Parallel detection: the partner's speed, half duplex.
        const uint16_t ability = (p.speedMbps == 100 ? 0x0080 : 0x0020) | kSelector8023;
        return {true, p.speedMbps == 100 ? 100u : 10u, false, false, ability};
    }
    const uint32_t speed = (ctl & kCtlSpeed100) ? 100 : 10;
    const bool full = (ctl & kCtlFullDuplex) != 0;
    if (p.autoneg) {
        const uint16_t speedBits = speed == 100 ? 0x0180 : 0x0060;
        if ((p.advertise & speedBits) == 0) return r;
    } else if (p.speedMbps != speed) {
        return r;
    }
    return {true, speed, full, false, 0};
}

void PhyModel::Drop() {
    scheduler_.Cancel(pendingLink_);
    pendingLink_ = 0;
    anComplete_ = false;
    if (linkUp_) {
        linkUp_ = false;
        latchedLow_ = true;
        if (onLinkChange) onLinkChange(false);
    }
}

void PhyModel::Evaluate() {
    const Resolution r = Resolve();
    if (!r.ok) {
        Drop();
        return;
    }
    if (linkUp_ || pendingLink_ != 0) return;
    const uint64_t delay =
        r.negotiated ? static_cast<uint64_t>(link_->Partner().anDelayMs) * 1000 : kForcedLinkUs;
    pendingLink_ = scheduler_.After(delay, [this] {
        pendingLink_ = 0;
        const Resolution now = Resolve();
        if (!now.ok) return;
        linkUp_ = true;
        speedMbps_ = now.speedMbps;
        fullDuplex_ = now.fullDuplex;
        anComplete_ = NegotiationCompletes(now);
        regs_[5] = now.partnerAbility;
        if (onLinkChange) onLinkChange(true);
    });
}

uint16_t PhyModel::Read(uint8_t reg) {
    reg &= 31;
    if (reg == 1) {
        if (config_.reg1) return *config_.reg1;
        uint16_t v = StatusBase();
        if (linkUp_ && !latchedLow_) v |= kStsLink;
        if (anComplete_) v |= kStsAutoNegComplete;
        latchedLow_ = false;
        return v;
    }
    return regs_[reg];
}

void PhyModel::Write(uint8_t reg, uint16_t value) {
    reg &= 31;
    switch (reg) {
        case 0: {
            if (value & kCtlReset) {
                ResetRegisters();
                regs_[0] |= kCtlReset;
                resetting_ = true;
                Drop();
                scheduler_.Cancel(pendingResetEnd_);
                pendingResetEnd_ = scheduler_.After(kResetUs, [this] {
                    pendingResetEnd_ = 0;
                    resetting_ = false;
                    regs_[0] &= static_cast<uint16_t>(~kCtlReset);
                    Evaluate();
                });
                return;
            }
            const uint16_t old = regs_[0];
            regs_[0] = static_cast<uint16_t>(value & ~kCtlRestartAutoNeg);
            // A phone-line PHY has no negotiation and one speed: only powering down or isolating
            // it takes its link away; a restart of negotiation leaves a live link alone.
            constexpr uint16_t kEthernetMode =
                kCtlSpeed100 | kCtlAutoNeg | kCtlPowerDown | kCtlIsolate | kCtlFullDuplex;
            constexpr uint16_t kPhoneLineMode = kCtlPowerDown | kCtlIsolate;
            const uint16_t mode = PhoneLine() ? kPhoneLineMode : kEthernetMode;
            const bool restart = (value & kCtlRestartAutoNeg) != 0 && !PhoneLine();
            if (restart || ((old ^ value) & mode)) Drop();
            Evaluate();
            return;
        }
        case 1:
        case 2:
        case 3:
        case 5:
            return;  // read-only
        default:
            regs_[reg] = value;
            return;
    }
}

}  // namespace host::device
