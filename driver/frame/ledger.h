// The resource ledger: every allocation that lives as long as the adapter is recorded here, so
// that one release at halt (or at a failed initialise) gives everything back, newest first. It
// lives in the last fields of AdapterRecord and grows in blocks of 15 entries (1440 bytes where an
// entry is 96).
#pragma once

#include "driver/frame/adapter_record.h"

// LedgerEntry.Kind
#define LEDGER_NOTHING 0u
#define LEDGER_MEMORY_BLOCK 1u
#define LEDGER_SHARED_MEMORY 2u
#define LEDGER_IO_PORT_RANGE 3u
#define LEDGER_INTERRUPT 4u
#define LEDGER_MAP_REGISTERS 5u
#define LEDGER_PACKET_POOL 6u
#define LEDGER_BUFFER_POOL 7u

struct LedgerEntryHeader {
    LedgerEntry* Next;
    LedgerEntry* Prev;
    ULONG Kind;
    ULONG Reserved;
};

// An entry's payload has room for the largest thing it records, the platform's miniport interrupt
// object: entries are 96 bytes where it fits (32-bit Windows: 80 bytes of payload), larger where
// the platform's object is (64-bit Windows). A block is always 15 entries, its own first.
constexpr ULONG LedgerEntrySizeFor(size_t header, size_t interrupt) {
    return header + interrupt <= 96 ? 96u : static_cast<ULONG>((header + interrupt + 7) / 8 * 8);
}
#define LEDGER_ENTRY_SIZE \
    LedgerEntrySizeFor(sizeof(LedgerEntryHeader), sizeof(NDIS_MINIPORT_INTERRUPT))
#define LEDGER_ENTRIES_PER_BLOCK 15u
#define LEDGER_BLOCK_SIZE (LEDGER_ENTRIES_PER_BLOCK * LEDGER_ENTRY_SIZE)

#define LEDGER_PAYLOAD_SIZE (LEDGER_ENTRY_SIZE - sizeof(LedgerEntryHeader))

struct LedgerEntry {
    LedgerEntry* Next;
    LedgerEntry* Prev;
    ULONG Kind;
    ULONG Reserved;
    union {
        struct {
            ULONG Length;
            PVOID Address;
        } Memory;
        struct {
            ULONG Length;
            PVOID VirtualAddress;
            NDIS_PHYSICAL_ADDRESS PhysicalAddress;
            BOOLEAN Cached;
        } Shared;
        struct {
            NDIS_HANDLE AdapterHandle;
            UINT NumberOfPorts;
            UINT InitialPort;
            PVOID PortOffset;
        } Ports;
        NDIS_MINIPORT_INTERRUPT Interrupt;
        NDIS_HANDLE PoolHandle;
        UCHAR Raw[LEDGER_PAYLOAD_SIZE];
    } Payload;
};

static_assert(sizeof(LedgerEntry) == LEDGER_ENTRY_SIZE, "an entry is exactly its size");
static_assert(sizeof(NDIS_MINIPORT_INTERRUPT) <= LEDGER_PAYLOAD_SIZE,
              "an interrupt object fits in an entry's payload");

// Sets both tag counters to "00ZT". Called once per driver load, before any adapter exists.
VOID InitializeTagCounters();
// The tags the next ledger block and the next tracked allocation will carry.
ULONG PeekBlockTag();
ULONG PeekAllocationTag();

// A fresh entry, already on UsedEntries with Kind 0, or null when no block could be allocated.
LedgerEntry* ObtainLedgerEntry(AdapterRecord* Adapter);
// Allocates, zero-fills and records `Length` bytes. 1 with the memory in *Out; 2 with *Out null.
ULONG AllocateTracked(AdapterRecord* Adapter, PVOID* Out, ULONG Length);
// Gives back everything the ledger records, newest first; the record itself goes with it.
VOID ReleaseLedger(AdapterRecord* Adapter);
