#include "host/ndis/protocol.h"

#include <algorithm>

namespace host::ndis {

namespace {

// The descriptor and its out-of-band block, at the offset the descriptor names.
constexpr size_t kOobOffset = (sizeof(NDIS_PACKET) + 7) & ~size_t{7};
constexpr size_t kStorageBytes = kOobOffset + sizeof(NDIS_PACKET_OOB_DATA);

}  // namespace

ProtocolPacket::~ProtocolPacket() {
    if (maker != nullptr) maker->Forget(*this);
}

Protocol::~Protocol() {
    // The packets the miniport still holds belong to nobody else.
    std::vector<ProtocolPacket*> held;
    for (const auto& [address, packet] : made_)
        if (packet->held) held.push_back(packet);
    for (ProtocolPacket* packet : held) delete packet;
}

std::unique_ptr<ProtocolPacket> Protocol::SparePacket() {
    if (spare_.empty()) {
        auto p = std::make_unique<ProtocolPacket>();
        p->storage.resize(kStorageBytes);  // never resized again: the address is the key
        p->maker = this;
        made_.emplace(p->Packet(), p.get());
        return p;
    }
    std::unique_ptr<ProtocolPacket> p = std::move(spare_.back());
    spare_.pop_back();
    return p;
}

std::unique_ptr<ProtocolPacket> Protocol::MakePacket(const std::vector<uint8_t>& frame,
                                                     size_t pieces) {
    std::unique_ptr<ProtocolPacket> p = SparePacket();
    p->id = nextId++;
    p->frame.assign(frame.begin(), frame.end());
    Describe(*p, pieces);
    return p;
}

std::unique_ptr<ProtocolPacket> Protocol::TakeFront() {
    SendQueue::Due due;
    std::unique_ptr<ProtocolPacket> p = queue.PopFront(due);
    if (p) return p;
    p = SparePacket();
    p->id = due.id;
    const size_t pieces = due.source->Make(due.index, p->frame);
    Describe(*p, pieces);
    return p;
}

void Protocol::Describe(ProtocolPacket& packetOwner, size_t pieces) {
    ProtocolPacket* p = &packetOwner;
    const std::vector<uint8_t>& frame = p->frame;
    std::fill(p->storage.begin(), p->storage.end(), uint8_t{0});
    PNDIS_PACKET packet = p->Packet();
    packet->Private.NdisPacketOobOffset = static_cast<USHORT>(kOobOffset);
    pieces = std::max<size_t>(1, std::min(pieces, std::max<size_t>(1, frame.size())));
    p->buffers.resize(pieces);
    const size_t chunk = frame.size() / pieces;
    size_t offset = 0;
    for (size_t i = 0; i < pieces; ++i) {
        const size_t len = i + 1 == pieces ? frame.size() - offset : chunk;
        MDL& m = p->buffers[i];
        m = MDL{};
        m.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
        m.MappedSystemVa = p->frame.data() + offset;
        m.StartVa = m.MappedSystemVa;
        m.ByteCount = static_cast<ULONG>(len);
        m.Next = i + 1 < pieces ? &p->buffers[i + 1] : nullptr;
        offset += len;
    }
    packet->Private.Head = &p->buffers.front();
    packet->Private.Tail = &p->buffers.back();
    packet->Private.ValidCounts = FALSE;
}

void Protocol::Recycle(std::unique_ptr<ProtocolPacket> packet) {
    // Enough for every packet a miniport may hold at once; more are freed. The tsan build
    // instruments only the driver: a reused packet would carry the driver's accesses under its
    // last send into the next one's, as races, so there every packet is freed.
#ifdef NICSIM_TSAN
    constexpr size_t kSpares = 0;
#else
    constexpr size_t kSpares = 256;
#endif
    if (packet && spare_.size() < kSpares) spare_.push_back(std::move(packet));
}

void Protocol::Hand(std::unique_ptr<ProtocolPacket> packet) {
    packet->held = true;
    ++held_;
    packet.release();  // until TakeBack, or the protocol's end
}

ProtocolPacket* Protocol::Held(PNDIS_PACKET packet) const {
    const auto it = made_.find(packet);
    return it != made_.end() && it->second->held ? it->second : nullptr;
}

std::unique_ptr<ProtocolPacket> Protocol::TakeBack(ProtocolPacket* packet) {
    packet->held = false;
    --held_;
    return std::unique_ptr<ProtocolPacket>(packet);
}

PacketReading ReadPacket(PNDIS_PACKET packet, std::vector<uint8_t>& data, bool copy) {
    PacketReading r;
    PNDIS_BUFFER buffer = nullptr;
    PVOID va = nullptr;
    UINT length = 0, total = 0;
    NdisGetFirstBufferFromPacket(packet, &buffer, &va, &length, &total);
    r.firstBuffer = va;
    r.told = total;
    r.headerSize = NDIS_GET_PACKET_HEADER_SIZE(packet);
    data.clear();
    PNDIS_BUFFER next = nullptr;
    if (buffer != nullptr) NdisGetNextBuffer(buffer, &next);
    if (!copy && buffer != nullptr && next == nullptr) {
        r.held = length;
        r.bytes = {static_cast<const uint8_t*>(va), std::min(length, total)};
        return r;
    }
    data.reserve(total);
    UINT remaining = total;
    while (buffer != nullptr) {
        r.held += length;
        const UINT n = std::min(length, remaining);
        if (n > 0) {
            const auto* bytes = static_cast<const uint8_t*>(va);
            data.insert(data.end(), bytes, bytes + n);
            remaining -= n;
        }
        NdisGetNextBuffer(buffer, &buffer);
        if (buffer != nullptr) NdisQueryBuffer(buffer, &va, &length);
    }
    r.bytes = data;
    return r;
}

}  // namespace host::ndis
