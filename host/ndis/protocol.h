// The protocol side of one adapter: an emulated binding that sends frames through the miniport,
// keeps a first-in-first-out send queue (a packet answered NDIS_STATUS_RESOURCES stays at the
// head and is offered again 1 ms later), copies every received frame during its indication the
// way a protocol reads a packet through NDIS (the length NdisQueryPacket tells, then the buffer
// chain), and records receive calls, status indications and send completions for tests and
// traces.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "driver/platform/ndis.h"
#include "host/ndis/send_queue.h"
#include "absl/container/flat_hash_map.h"
#include "host/sim/address_hash.h"

namespace host::ndis {

struct ReceivedFrame {
    uint64_t t_us;
    std::vector<uint8_t> data;  // a copy of the bytes, when the protocol keeps its frames
    NDIS_STATUS packetStatus;
    // The frame's bytes: `data`, or, for a frame not kept that lies in one buffer, that buffer
    // itself. Valid while onReceive runs: the miniport owns the buffer again afterwards.
    std::span<const uint8_t> bytes;
};

// What a protocol learns of a received packet by reading it through NDIS.
struct PacketReading {
    const void* firstBuffer = nullptr;  // where the first buffer's bytes lie
    uint32_t told = 0;                  // the total length NdisQueryPacket gave
    uint32_t held = 0;                  // the bytes the buffer chain holds
    uint32_t headerSize = 0;            // the out-of-band header size
    std::span<const uint8_t> bytes;     // the told bytes (fewer when the chain ends first)
};

// Reads `packet` as a protocol does: NdisGetFirstBufferFromPacket for the first buffer and the
// total length, then NdisQueryBuffer and NdisGetNextBuffer along the chain. The told number of
// bytes is copied into `data` when `copy` is set or the chain has more than one buffer; a
// packet in one buffer is otherwise read where it lies, `bytes` then pointing into it.
PacketReading ReadPacket(PNDIS_PACKET packet, std::vector<uint8_t>& data, bool copy = true);

struct StatusIndication {
    uint64_t t_us;
    NDIS_STATUS status;
};

class Protocol;

// A packet the protocol owns: descriptor, out-of-band block and buffer chain over its own copy
// of the frame. Its descriptor stays at one address for the packet's life (reuse included), by
// which the protocol knows it again when the miniport hands it back.
struct ProtocolPacket {
    uint64_t id = 0;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> storage;  // NDIS_PACKET followed by the out-of-band block
    std::vector<MDL> buffers;
    bool held = false;  // the miniport holds it (handed over, not yet taken back)
    Protocol* maker = nullptr;  // forgets the packet when it is destroyed
    PNDIS_PACKET Packet() { return reinterpret_cast<PNDIS_PACKET>(storage.data()); }
    ProtocolPacket() = default;
    ProtocolPacket(const ProtocolPacket&) = delete;
    ProtocolPacket& operator=(const ProtocolPacket&) = delete;
    ~ProtocolPacket();
};

struct SendStats {
    uint64_t queued = 0;
    uint64_t offered = 0;           // MiniportSend calls
    uint64_t completed = 0;         // NdisMSendComplete with success
    uint64_t completedFailed = 0;   // NdisMSendComplete with another status
    uint64_t resourcesAnswers = 0;  // NDIS_STATUS_RESOURCES, offered again later
    uint64_t failures = 0;          // refused for good (NDIS_STATUS_FAILURE and the like)
    uint64_t dropped = 0;           // never offered: adapter gone
};

class Protocol {
    // Every packet made and not yet destroyed, by descriptor address; declared first, so that it
    // outlives the packets the members below own. A packet the miniport gives back is looked up
    // here, never read through the address it gave: a foreign or stale address is not found.
    absl::flat_hash_map<PNDIS_PACKET, ProtocolPacket*, sim::AddressHash> made_;

public:
    Protocol() = default;
    ~Protocol();
    Protocol(const Protocol&) = delete;
    Protocol& operator=(const Protocol&) = delete;

    std::vector<ReceivedFrame> received;
    std::vector<StatusIndication> statuses;
    uint32_t statusCompletes = 0;
    SendStats sends;
    // Called for every frame indicated, while the indication lasts (see ReceivedFrame::bytes).
    std::function<void(const ReceivedFrame&)> onReceive;
    // Whether indicated frames are also kept in `received`. A protocol that forwards frames for
    // as long as it runs (a bridge to a TAP interface) keeps none, so its memory stays flat.
    bool keepReceived = true;
    uint64_t receivedCount = 0;  // frames indicated, kept or not
    ReceivedFrame lastReceived{};  // the frame being indicated, when frames are not kept
    // The packet count of every NdisMIndicateReceivePacket call, in order (kept when
    // keepReceived), and the number of calls.
    std::vector<uint32_t> receiveCalls;
    uint64_t receiveCallCount = 0;
    // Called for every status indication, after it has been recorded.
    std::function<void(NDIS_STATUS)> onStatus;
    // Called when the miniport answers a send (completion or refusal) with the frame's id.
    std::function<void(uint64_t id, NDIS_STATUS status)> onSendDone;

    // Builds a packet over a copy of `frame`, split into `pieces` buffers. Packets the miniport
    // has given back are reused, so a steady stream of sends allocates nothing.
    std::unique_ptr<ProtocolPacket> MakePacket(const std::vector<uint8_t>& frame, size_t pieces);
    // The packet at the head of the queue, made now when it was due from a frame source.
    std::unique_ptr<ProtocolPacket> TakeFront();
    // Gives a packet back for MakePacket to reuse.
    void Recycle(std::unique_ptr<ProtocolPacket> packet);

    // Hands a packet to the miniport, which holds it until it is taken back.
    void Hand(std::unique_ptr<ProtocolPacket> packet);
    // The packet at `packet` when the miniport holds it; nullptr for any other address.
    ProtocolPacket* Held(PNDIS_PACKET packet) const;
    // Takes a held packet back from the miniport.
    std::unique_ptr<ProtocolPacket> TakeBack(ProtocolPacket* packet);
    // Packets the miniport holds.
    size_t Outstanding() const { return held_; }
    // Called by a packet as it is destroyed.
    void Forget(ProtocolPacket& packet) { made_.erase(packet.Packet()); }

    SendQueue queue;  // not yet accepted by the miniport
    uint64_t nextId = 1;
    bool pumpScheduled = false;

private:
    std::unique_ptr<ProtocolPacket> SparePacket();
    // Lays the descriptor, out-of-band block and `pieces` buffers over `p`'s frame.
    static void Describe(ProtocolPacket& p, size_t pieces);

    std::vector<std::unique_ptr<ProtocolPacket>> spare_;
    size_t held_ = 0;
};

}  // namespace host::ndis
