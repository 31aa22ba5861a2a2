// A link: the medium between a PHY and its partner. It carries the partner's side of the physical
// layer (whether the medium is up, what the partner advertises or is forced to) and, once frames
// flow, what crosses it. PHYs attach to a link and are told of every change.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host::wire {

enum class MediumKind : uint8_t { Ethernet, PhoneLine };

struct PartnerSettings {
    bool up = true;
    bool autoneg = true;       // the partner negotiates (Ethernet)
    uint16_t advertise = 0x01E1;  // its advertisement when it negotiates
    uint32_t speedMbps = 100;  // its speed when it does not
    bool fullDuplex = false;   // its duplex when it does not
    uint32_t anDelayMs = 800;  // how long negotiation takes on this medium
};

class Link {
public:
    Link(std::string name, MediumKind kind, PartnerSettings partner)
        : name_(std::move(name)), kind_(kind), partner_(partner) {}

    const std::string& Name() const { return name_; }
    MediumKind Kind() const { return kind_; }
    const PartnerSettings& Partner() const { return partner_; }

    // Changes the partner's side; every attached PHY re-evaluates its link.
    void Update(const PartnerSettings& partner);
    void SetUp(bool up) {
        PartnerSettings p = partner_;
        p.up = up;
        Update(p);
    }

    // Returns an id for Detach.
    size_t Attach(std::function<void()> onChange);
    void Detach(size_t id);

private:
    std::string name_;
    MediumKind kind_;
    PartnerSettings partner_;
    std::vector<std::pair<size_t, std::function<void()>>> observers_;
    size_t nextObserver_ = 1;
};

}  // namespace host::wire
