// A link: the medium between a PHY and its partner. It carries the partner's side of the physical
// layer (whether the medium is up, what the partner advertises or is forced to) and the frames
// that cross it. A link has sides: the PHYs attached to it and, for a scripted partner, the peer.
// PHYs attach as observers and are told of every change of the partner's settings.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "host/sim/scheduler.h"
#include "host/trace/trace.h"

namespace host::wire {

enum class MediumKind : uint8_t { Ethernet, PhoneLine };

struct PartnerSettings {
    bool up = true;
    bool autoneg = true;          // the partner negotiates (Ethernet)
    uint16_t advertise = 0x01E1;  // its advertisement when it negotiates
    uint32_t speedMbps = 100;     // its speed when it does not
    bool fullDuplex = false;      // its duplex when it does not
    uint32_t anDelayMs = 800;     // how long negotiation takes on this medium
    // A negotiation that never completes: the link comes up after the negotiation delay, but the
    // PHY never reports negotiation complete (status bit 0x0020).
    bool anNeverCompletes = false;
};

using Frame = std::vector<uint8_t>;

struct LinkStats {
    uint64_t carried = 0;     // frames delivered to the other side
    uint64_t notReceived = 0; // the other side was off the medium or had no link
    uint64_t queueFull = 0;   // the medium was too busy to take the frame
};

// One side's share of its link's frames: what it put on the medium and what reached it.
struct SideStats {
    uint64_t sent = 0;         // frames from this side that crossed the medium
    uint64_t queueFull = 0;    // frames from this side the medium was too busy to take
    uint64_t received = 0;     // frames from another side delivered to this one
    uint64_t notReceived = 0;  // frames from another side this one was off the medium for
    uint64_t inFlight = 0;     // frames from this side on the medium now
};

class Link {
public:
    // Frames in flight per direction before the medium refuses more.
    static constexpr size_t kMaxInFlight = 256;

    Link(std::string name, MediumKind kind, PartnerSettings partner)
        : name_(std::move(name)), kind_(kind), partner_(partner) {}

    // Frames need a clock and, for the trace, a sink; a link without them carries none.
    void Connect(sim::Scheduler* scheduler, trace::Trace* trace) {
        scheduler_ = scheduler;
        trace_ = trace;
    }

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

    // ---- frames ----
    struct Side {
        std::string label;                                // "A:0" for a PHY, "peer"
        std::function<void(const Frame&)> deliver;        // takes a frame off the medium
        std::function<bool()> receiving;                  // can take one now
        // Optional, used instead of `deliver` when this side is the frame's last receiver:
        // takes the frame's bytes by swapping the vector for a buffer of its own (any content,
        // any size), which the link keeps for a later frame. Saves the receiver a copy.
        std::function<void(Frame&)> take;
    };
    // Returns the side's index.
    int AddSide(Side side);
    void RemoveSide(int index);
    // Puts a frame on the medium from side `from`; it reaches the other sides after its time
    // on the wire at `speedMbps`, in order.
    void Send(int from, Frame frame, uint32_t speedMbps);
    // The same for `length` bytes at `data`, copied into a buffer of a frame that has crossed
    // before: a steady stream of frames allocates none.
    void Send(int from, const uint8_t* data, size_t length, uint32_t speedMbps);
    const LinkStats& Stats() const { return stats_; }
    // The side's counts; zeros for an index that is no side.
    SideStats SideCounts(int index) const {
        if (index < 0 || static_cast<size_t>(index) >= sideStats_.size()) return {};
        SideStats s = sideStats_[index];
        s.inFlight = inFlight_[index];
        return s;
    }
    size_t Sides() const { return sides_.size(); }
    // The index of the side labelled `label`, or -1.
    int SideIndex(const std::string& label) const;

    // Captures: told of every frame at the moment it has crossed the medium (when the trace's
    // `wire` line is written), with the label of the side that sent it. Returns an id for
    // RemoveTap.
    using FrameTap = std::function<void(const Link& link, const std::string& from, const Frame&)>;
    size_t AddTap(FrameTap tap);
    void RemoveTap(size_t id);

private:
    std::string name_;
    MediumKind kind_;
    PartnerSettings partner_;
    std::vector<std::pair<size_t, std::function<void()>>> observers_;
    size_t nextObserver_ = 1;
    sim::Scheduler* scheduler_ = nullptr;
    trace::Trace* trace_ = nullptr;
    std::vector<Side> sides_;
    std::vector<sim::TimeUs> busyUntil_;  // per sending side
    std::vector<size_t> inFlight_;        // per sending side
    std::vector<SideStats> sideStats_;
    std::vector<std::pair<size_t, FrameTap>> taps_;
    std::vector<Frame> spareFrames_;  // buffers of frames that have crossed, for Send to reuse
    LinkStats stats_;
};

}  // namespace host::wire
