// Scripted partners on the far side of a link: a responder that answers ARP requests for its
// address and ICMP echo requests to it, and a sink that takes frames silently. Both count what
// they see.
#pragma once

#include <cstdint>
#include <string>

#include "host/wire/frames.h"
#include "host/wire/link.h"

namespace host::wire {

struct PeerStats {
    uint64_t received = 0;
    uint64_t arpAnswered = 0;
    uint64_t echoAnswered = 0;
    uint64_t testFrames = 0;   // intact generated frames
    uint64_t ignored = 0;
};

class Peer {
public:
    enum class Kind : uint8_t { Responder, Sink };

    Peer(Link& link, Kind kind, Mac mac, Ip4 ip);
    Kind GetKind() const { return kind_; }
    const Mac& MacAddress() const { return mac_; }
    const Ip4& IpAddress() const { return ip_; }
    const PeerStats& Stats() const { return stats_; }
    // Puts a frame on the medium from the peer's side.
    void Send(std::vector<uint8_t> frame);

private:
    void OnFrame(const Frame& frame);
    uint32_t Speed() const;

    Link& link_;
    Kind kind_;
    Mac mac_;
    Ip4 ip_;
    int side_ = -1;
    PeerStats stats_;
};

}  // namespace host::wire
