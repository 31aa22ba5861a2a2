#include "driver/frame/ledger.h"

#include "driver/datapath/descriptors.h"
#include "driver/frame/pool_tags.h"

namespace {

// Global across adapters; incremented without a lock. Two adapters starting together may pass
// the same tag, which only shows in memory diagnostics.
ULONG BlockTagCounter;
ULONG AllocationTagCounter;

constexpr ULONG kInitialTag = kFirstCountingTag;

ULONG NextTag(ULONG* counter) {
    const ULONG tag = *counter;
    *counter = tag + 1;  // little-endian: the first character counts up
    return tag;
}

}  // namespace

VOID InitializeTagCounters() {
    BlockTagCounter = kInitialTag;
    AllocationTagCounter = kInitialTag;
}

ULONG PeekBlockTag() { return BlockTagCounter; }
ULONG PeekAllocationTag() { return AllocationTagCounter; }

LedgerEntry* ObtainLedgerEntry(AdapterRecord* Adapter) {
    if (Adapter->FreeEntries.Count == 0) {
        PVOID block = nullptr;
        const NDIS_STATUS status =
            NdisAllocateMemoryWithTag(&block, LEDGER_BLOCK_SIZE, NextTag(&BlockTagCounter));
        if (status != NDIS_STATUS_SUCCESS || block == nullptr) return nullptr;
        PUCHAR bytes = static_cast<PUCHAR>(block);
        NdisZeroMemory(block, LEDGER_BLOCK_SIZE);
        for (ULONG i = 0; i < LEDGER_ENTRIES_PER_BLOCK; ++i) {
            ListAppendTail(&Adapter->FreeEntries,
                           reinterpret_cast<LedgerEntry*>(bytes + i * LEDGER_ENTRY_SIZE));
        }
        // The block's first entry records the block itself.
        LedgerEntry* own = ListRemoveHead(&Adapter->FreeEntries);
        own->Kind = LEDGER_MEMORY_BLOCK;
        own->Payload.Memory.Length = LEDGER_BLOCK_SIZE;
        own->Payload.Memory.Address = block;
        ListInsertHead(&Adapter->UsedEntries, own);
        Adapter->EntriesTaken++;
    }
    LedgerEntry* entry = ListRemoveHead(&Adapter->FreeEntries);
    ListInsertHead(&Adapter->UsedEntries, entry);
    Adapter->EntriesTaken++;
    return entry;
}

ULONG AllocateTracked(AdapterRecord* Adapter, PVOID* Out, ULONG Length) {
    *Out = nullptr;
    LedgerEntry* entry = ObtainLedgerEntry(Adapter);
    if (entry == nullptr) return RESULT_FAILURE;
    PVOID memory = nullptr;
    const NDIS_STATUS status =
        NdisAllocateMemoryWithTag(&memory, Length, NextTag(&AllocationTagCounter));
    if (status != NDIS_STATUS_SUCCESS || memory == nullptr) return RESULT_FAILURE;
    NdisZeroMemory(memory, Length);
    entry->Kind = LEDGER_MEMORY_BLOCK;
    entry->Payload.Memory.Length = Length;
    entry->Payload.Memory.Address = memory;
    *Out = memory;
    return RESULT_SUCCESS;
}

// Runs at halt or at a failed initialise, at passive level: pageable code.
CODE_SEGMENT("PAGE") VOID ReleaseLedger(AdapterRecord* Adapter) {
    // Everything needed from the record is read before the walk, which frees the record itself
    // near its end; each entry is read before its resource goes, since it may lie inside it.
    const ULONG bound = Adapter->EntriesTaken;
    LedgerEntry* next = Adapter->UsedEntries.Head;
    const NDIS_HANDLE handle = Adapter->MiniportAdapterHandle;
    Adapter->UsedEntries.Head = nullptr;
    Adapter->UsedEntries.Tail = nullptr;
    Adapter->UsedEntries.Count = 0;

    if (Adapter->PacketsAllocated == 1) {
        FreeReceivePackets(Adapter);
        Adapter->PacketsAllocated = 0;
    }

    for (ULONG i = 0; i < bound && next != nullptr; ++i) {
        LedgerEntry* entry = next;
        next = entry->Next;
        const ULONG kind = entry->Kind;
        switch (kind) {
            case LEDGER_MEMORY_BLOCK: {
                PVOID address = entry->Payload.Memory.Address;
                const ULONG length = entry->Payload.Memory.Length;
                NdisFreeMemory(address, length, 0);
                break;
            }
            case LEDGER_SHARED_MEMORY: {
                const ULONG length = entry->Payload.Shared.Length;
                const BOOLEAN cached = entry->Payload.Shared.Cached;
                PVOID va = entry->Payload.Shared.VirtualAddress;
                const NDIS_PHYSICAL_ADDRESS pa = entry->Payload.Shared.PhysicalAddress;
                NdisMFreeSharedMemory(handle, length, cached, va, pa);
                break;
            }
            case LEDGER_IO_PORT_RANGE:
                NdisMDeregisterIoPortRange(entry->Payload.Ports.AdapterHandle,
                                           entry->Payload.Ports.InitialPort,
                                           entry->Payload.Ports.NumberOfPorts,
                                           entry->Payload.Ports.PortOffset);
                break;
            case LEDGER_INTERRUPT:
                NdisMDeregisterInterrupt(&entry->Payload.Interrupt);
                break;
            case LEDGER_MAP_REGISTERS:
                NdisMFreeMapRegisters(handle);
                break;
            case LEDGER_PACKET_POOL:
                NdisFreePacketPool(entry->Payload.PoolHandle);
                break;
            case LEDGER_BUFFER_POOL:
                NdisFreeBufferPool(entry->Payload.PoolHandle);
                break;
            default:
                break;
        }
    }
}
