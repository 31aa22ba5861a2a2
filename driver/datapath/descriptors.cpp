#include "driver/datapath/descriptors.h"

#include "driver/frame/ledger.h"

ULONG CreateDescriptors(AdapterRecord* Adapter) {
    const ULONG n = Adapter->TxDescriptorCount + Adapter->RxDescriptorCount;
    const ULONG size = n * (sizeof(PacketDescriptor) + DESCRIPTOR_URB_SIZE + DESCRIPTOR_BUFFER_SIZE);
    PVOID block = nullptr;
    if (AllocateTracked(Adapter, &block, size) != RESULT_SUCCESS) return RESULT_FAILURE;

    auto* descriptors = static_cast<PacketDescriptor*>(block);
    PUCHAR urbs = reinterpret_cast<PUCHAR>(descriptors + n);
    PUCHAR buffers = urbs + n * DESCRIPTOR_URB_SIZE;
    for (ULONG i = 0; i < n; ++i) {
        PacketDescriptor* d = &descriptors[i];
        d->Urb = reinterpret_cast<PURB>(urbs + i * DESCRIPTOR_URB_SIZE);
        d->Buffer = buffers + i * DESCRIPTOR_BUFFER_SIZE;
        d->Adapter = Adapter;
        if (i < Adapter->TxDescriptorCount) ListAppendTail(&Adapter->TxFreeList, d);
        else ListInsertHead(&Adapter->RxFreeList, d);
    }
    return RESULT_SUCCESS;
}

ULONG CreatePacketEntries(AdapterRecord* Adapter) {
    PVOID slots = nullptr;
    if (AllocateTracked(Adapter, &slots, Adapter->TxDescriptorCount * sizeof(PacketSlot)) !=
        RESULT_SUCCESS)
        return RESULT_FAILURE;
    ULONG k = 0;
    for (PacketDescriptor* d = Adapter->TxFreeList.Head; d != nullptr; d = d->Next)
        d->PacketEntry = static_cast<PacketSlot*>(slots) + k++;

    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE packetPool = nullptr;
    LedgerEntry* entry = ObtainLedgerEntry(Adapter);
    if (entry == nullptr) return RESULT_FAILURE;
    NdisAllocatePacketPool(&status, &packetPool, Adapter->RxDescriptorCount, 0);
    if (status != NDIS_STATUS_SUCCESS) return RESULT_FAILURE;
    entry->Kind = LEDGER_PACKET_POOL;
    entry->Payload.PoolHandle = packetPool;

    NDIS_HANDLE bufferPool = nullptr;
    entry = ObtainLedgerEntry(Adapter);
    if (entry == nullptr) return RESULT_FAILURE;
    NdisAllocateBufferPool(&status, &bufferPool, Adapter->RxDescriptorCount);
    if (status != NDIS_STATUS_SUCCESS) return RESULT_FAILURE;
    entry->Kind = LEDGER_BUFFER_POOL;
    entry->Payload.PoolHandle = bufferPool;

    PVOID pairs = nullptr;
    if (AllocateTracked(Adapter, &pairs, Adapter->RxDescriptorCount * sizeof(PacketPair)) !=
        RESULT_SUCCESS)
        return RESULT_FAILURE;

    k = 0;
    for (PacketDescriptor* d = Adapter->RxFreeList.Head; d != nullptr; d = d->Next, ++k) {
        PacketPair* pair = static_cast<PacketPair*>(pairs) + k;
        d->PacketEntry = pair;
        NdisAllocatePacket(&status, &pair->Packet, packetPool);
        if (status != NDIS_STATUS_SUCCESS) {
            pair->Packet = nullptr;
            return RESULT_FAILURE;
        }
        // The pair is recorded first, so that halt finds this packet even if its buffer fails.
        Adapter->PacketsAllocated = 1;
        NdisAllocateBuffer(&status, &pair->Buffer, bufferPool, d->Buffer, RECEIVE_BUFFER_LENGTH);
        if (status != NDIS_STATUS_SUCCESS) {
            pair->Buffer = nullptr;
            return RESULT_FAILURE;
        }
        NDIS_SET_PACKET_HEADER_SIZE(pair->Packet, ETHERNET_HEADER_SIZE);
        NdisChainBufferAtFront(pair->Packet, pair->Buffer);
        *reinterpret_cast<PacketDescriptor**>(pair->Packet->MiniportReserved) = d;
    }
    Adapter->PacketsAllocated = 1;
    return RESULT_SUCCESS;
}

namespace {

VOID FreeDescriptorPacket(PacketDescriptor* d) {
    auto* pair = static_cast<PacketPair*>(d->PacketEntry);
    if (pair == nullptr) return;
    if (pair->Buffer != nullptr) {
        NdisFreeBuffer(pair->Buffer);
        pair->Buffer = nullptr;
    }
    if (pair->Packet != nullptr) {
        NdisFreePacket(pair->Packet);
        pair->Packet = nullptr;
    }
}

}  // namespace

VOID FreeReceivePackets(AdapterRecord* Adapter) {
    // Runs after shutdown has aborted the bulk-in pipe, so no descriptor is held by a read:
    // every receive descriptor is idle or holds a frame its indication never took.
    for (PacketDescriptor* d = Adapter->RxFreeList.Head; d != nullptr; d = d->Next)
        FreeDescriptorPacket(d);
    for (PacketDescriptor* d = Adapter->RxReadyList.Head; d != nullptr; d = d->Next)
        FreeDescriptorPacket(d);
}
