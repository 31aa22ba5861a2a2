#include "host/wire/peer.h"

namespace host::wire {

Peer::Peer(Link& link, Kind kind, Mac mac, Ip4 ip) : link_(link), kind_(kind), mac_(mac), ip_(ip) {
    side_ = link_.AddSide(Link::Side{"peer", [this](const Frame& f) { OnFrame(f); }, nullptr, nullptr});
}

uint32_t Peer::Speed() const {
    if (link_.Kind() == MediumKind::PhoneLine) return 1;
    const PartnerSettings& p = link_.Partner();
    if (!p.autoneg) return p.speedMbps;
    return (p.advertise & 0x0180) ? 100 : 10;
}

void Peer::Send(std::vector<uint8_t> frame) { link_.Send(side_, std::move(frame), Speed()); }

void Peer::OnFrame(const Frame& f) {
    ++stats_.received;
    if (CheckTestFrame(f)) ++stats_.testFrames;
    if (kind_ != Kind::Responder) return;
    if (auto arp = ParseArp(f)) {
        if (arp->operation == 1 && arp->targetIp == ip_) {
            ++stats_.arpAnswered;
            Send(ArpReply(mac_, ip_, arp->senderMac, arp->senderIp));
            return;
        }
    } else if (auto echo = ParseEcho(f)) {
        if (echo->request && echo->to == ip_) {
            ++stats_.echoAnswered;
            Send(IcmpEcho(echo->srcMac, mac_, ip_, echo->from, false, echo->id, echo->sequence,
                          echo->data));
            return;
        }
    }
    ++stats_.ignored;
}

}  // namespace host::wire
