// Packet descriptors: one per transmit or receive transfer slot, each owning for the adapter's
// whole life a request block for its bulk transfer and a 1536-byte data buffer. All of them live
// in one tracked DescriptorBlock built at start-up; receive descriptors also own an NDIS packet
// and buffer, set up once and reused for every frame.
#pragma once

#include "driver/frame/adapter_record.h"

#define DESCRIPTOR_BUFFER_SIZE 1536u
// The request block is 96 bytes where the bulk transfer request takes 72 (32-bit targets); on a
// 64-bit target the request is larger and the block grows with it.
#define DESCRIPTOR_URB_SIZE                                                        \
    (sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) > 96u                          \
         ? ((sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) + 7u) & ~size_t{7u}) \
         : 96u)
#define RECEIVE_BUFFER_LENGTH 1514u
#define ETHERNET_HEADER_SIZE 14u

static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) <= DESCRIPTOR_URB_SIZE,
              "a bulk transfer request fits in a descriptor's request block");

struct PacketDescriptor {
    PacketDescriptor* Next;
    PacketDescriptor* Prev;
    PVOID PacketEntry;  // transmit: its PacketSlot; receive: its PacketPair
    AdapterRecord* Adapter;
    ULONG DataLength;
    PURB Urb;
    PUCHAR Buffer;
};

// Transmit: the NDIS packet a descriptor carries.
struct PacketSlot {
    PNDIS_PACKET Packet;
};

// Receive: the descriptor's own packet and buffer. The pair doubles as the one-element packet
// array handed to NdisMIndicateReceivePacket.
struct PacketPair {
    PNDIS_PACKET Packet;
    PNDIS_BUFFER Buffer;
};

// The descriptor a receive packet belongs to, from its first miniport-reserved pointer.
inline PacketDescriptor* DescriptorOfPacket(PNDIS_PACKET Packet) {
    return *reinterpret_cast<PacketDescriptor**>(Packet->MiniportReserved);
}

ULONG CreateDescriptors(AdapterRecord* Adapter);
ULONG CreatePacketEntries(AdapterRecord* Adapter);
// Frees the NDIS buffer and packet of every receive descriptor that is idle or holds an
// unindicated frame. Runs at halt, before the pools go.
VOID FreeReceivePackets(AdapterRecord* Adapter);
