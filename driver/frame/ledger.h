// The resource ledger: every allocation that lives as long as the adapter is recorded here, so
// that one release at halt (or at a failed initialise) gives everything back, newest first. It
// lives in the last fields of AdapterRecord and grows in 1440-byte blocks of 15 entries.
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

#define LEDGER_ENTRY_SIZE 96u
#define LEDGER_BLOCK_SIZE 1440u
#define LEDGER_ENTRIES_PER_BLOCK (LEDGER_BLOCK_SIZE / LEDGER_ENTRY_SIZE)

struct LedgerEntryHeader {
    LedgerEntry* Next;
    LedgerEntry* Prev;
    ULONG Kind;
    ULONG Reserved;
};

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

static_assert(sizeof(LedgerEntry) == LEDGER_ENTRY_SIZE, "ledger entries are 96 bytes");
static_assert(sizeof(NDIS_MINIPORT_INTERRUPT) <= LEDGER_PAYLOAD_SIZE,
              "an interrupt object fits in an entry's payload");
static_assert(LEDGER_ENTRIES_PER_BLOCK == 15, "a ledger block holds 15 entries");

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
