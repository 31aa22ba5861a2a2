// The resource ledger driven directly: a record allocated inside the world, entries and tracked
// allocations taken from it, and the release observed through the emulated kernel (what is still
// live, in which order blocks go, which tags they carried) and the NDIS wrapper's release log.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/datapath/descriptors.h"
#include "driver/frame/ledger.h"
#include "tests/support/world_fixture.h"

namespace {

using host::kernel::ResourceKind;

constexpr ULONG kFirstTag = MAKE_POOL_TAG('0', '0', 'Z', 'T');
constexpr ULONG kRecordTag = MAKE_POOL_TAG('0', 'y', 't', 'R');

// The four tag characters in memory order, as pool diagnostics show them.
std::string TagText(uint32_t tag) {
    char c[4];
    std::memcpy(c, &tag, sizeof c);
    return std::string(c, sizeof c);
}

class LedgerTest : public testing_support::WorldTest {
protected:
    void SetUp() override {
        adapter_ = AddScripted("L").id;
        world_.Kernel().AddFreeHook([this](uintptr_t base, size_t, host::kernel::ResourceKind) { freed_.push_back(base); });
    }

    // Runs `fn` as a passive context working for `adapter` (the test adapter by default).
    template <typename F>
    void AsAdapter(F&& fn, int adapter) {
        world_.Kernel().RunInContext("ledger test", PASSIVE_LEVEL, adapter, fn);
    }
    template <typename F>
    void AsAdapter(F&& fn) {
        AsAdapter(std::forward<F>(fn), adapter_);
    }

    // A zero-filled record as MiniportInitialize makes it. With `ownEntry` its first ledger
    // entry records the record itself, so that the release frees it.
    AdapterRecord* NewRecord(bool ownEntry, int adapter) {
        AdapterRecord* record = nullptr;
        AsAdapter(
            [&] {
                PVOID p = nullptr;
                if (NdisAllocateMemoryWithTag(&p, sizeof(AdapterRecord), kRecordTag) !=
                    NDIS_STATUS_SUCCESS)
                    return;
                std::memset(p, 0, sizeof(AdapterRecord));
                record = static_cast<AdapterRecord*>(p);
                if (!ownEntry) return;
                LedgerEntry* entry = ObtainLedgerEntry(record);
                if (entry == nullptr) return;
                entry->Kind = LEDGER_MEMORY_BLOCK;
                entry->Payload.Memory.Length = sizeof(AdapterRecord);
                entry->Payload.Memory.Address = record;
            },
            adapter);
        return record;
    }
    AdapterRecord* NewRecord(bool ownEntry = true) { return NewRecord(ownEntry, adapter_); }

    PVOID Track(AdapterRecord* record, ULONG length, ULONG* result = nullptr) {
        PVOID out = reinterpret_cast<PVOID>(uintptr_t{1});  // must be overwritten either way
        ULONG r = 0;
        AsAdapter([&] { r = AllocateTracked(record, &out, length); });
        if (result) *result = r;
        return out;
    }

    LedgerEntry* Obtain(AdapterRecord* record) {
        LedgerEntry* entry = nullptr;
        AsAdapter([&] { entry = ObtainLedgerEntry(record); });
        return entry;
    }

    void Release(AdapterRecord* record, int adapter) {
        AsAdapter([&] { ReleaseLedger(record); }, adapter);
    }
    void Release(AdapterRecord* record) { Release(record, adapter_); }

    uint32_t TagOf(const void* p) {
        const host::kernel::Resource* r = world_.Kernel().Find(p);
        EXPECT_NE(r, nullptr);
        return r ? r->tag : 0;
    }

    bool Live(const void* p) { return world_.Kernel().Find(p) != nullptr; }
    size_t AdapterResources() { return world_.Kernel().ResourcesOf(adapter_).size(); }

    int adapter_ = -1;
    std::vector<uintptr_t> freed_;
};

uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// ---- entries and blocks ----

TEST_F(LedgerTest, FirstEntryAllocatesABlockWhoseOwnEntrySitsBehindTheCallers) {
    InitializeTagCounters();
    AdapterRecord* record = NewRecord(/*ownEntry=*/false);
    ASSERT_NE(record, nullptr);

    LedgerEntry* entry = Obtain(record);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Kind, LEDGER_NOTHING);
    EXPECT_EQ(record->EntriesTaken, 2u);
    EXPECT_EQ(record->UsedEntries.Count, 2u);
    EXPECT_EQ(record->UsedEntries.Head, entry);
    EXPECT_EQ(entry->Prev, nullptr);

    LedgerEntry* own = entry->Next;
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(record->UsedEntries.Tail, own);
    EXPECT_EQ(own->Prev, entry);
    EXPECT_EQ(own->Next, nullptr);
    EXPECT_EQ(own->Kind, LEDGER_MEMORY_BLOCK);
    EXPECT_EQ(own->Payload.Memory.Length, LEDGER_BLOCK_SIZE);
    // The block's first entry is the block itself; the caller's is the next one along.
    EXPECT_EQ(own->Payload.Memory.Address, static_cast<PVOID>(own));
    EXPECT_EQ(Addr(entry) - Addr(own), LEDGER_ENTRY_SIZE);

    const host::kernel::Resource* block = world_.Kernel().Find(own);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->kind, ResourceKind::NdisMemory);
    EXPECT_EQ(block->size, LEDGER_BLOCK_SIZE);
    EXPECT_EQ(TagText(block->tag), "00ZT");
    EXPECT_EQ(block->adapter, adapter_);

    // The 13 spare entries follow in address order, zeroed (fresh pool memory is not).
    ASSERT_EQ(record->FreeEntries.Count, 13u);
    const LedgerEntry* spare = record->FreeEntries.Head;
    for (ULONG i = 0; i < 13; ++i) {
        ASSERT_NE(spare, nullptr);
        EXPECT_EQ(Addr(spare) - Addr(own), (i + 2) * LEDGER_ENTRY_SIZE) << "spare " << i;
        EXPECT_EQ(spare->Kind, LEDGER_NOTHING) << "spare " << i;
        for (size_t b = 0; b < LEDGER_PAYLOAD_SIZE; ++b)
            ASSERT_EQ(spare->Payload.Raw[b], 0) << "spare " << i << " payload byte " << b;
        spare = spare->Next;
    }
    EXPECT_EQ(spare, nullptr);
    EXPECT_EQ(record->FreeEntries.Tail->Next, nullptr);

    // The record is not in its own ledger here: the release frees the block, the test the record.
    Release(record);
    EXPECT_EQ(freed_, std::vector<uintptr_t>{Addr(own)});
    EXPECT_FALSE(Live(own));
    AsAdapter([&] { NdisFreeMemory(record, sizeof(AdapterRecord), 0); });
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

TEST_F(LedgerTest, FifteenthRequestStartsASecondBlockJustAheadOfTheCaller) {
    InitializeTagCounters();
    AdapterRecord* record = NewRecord(/*ownEntry=*/false);
    ASSERT_NE(record, nullptr);

    std::vector<LedgerEntry*> entries;
    for (int i = 0; i < 14; ++i) {
        entries.push_back(Obtain(record));
        ASSERT_NE(entries.back(), nullptr) << "request " << i + 1;
    }
    LedgerEntry* firstOwn = record->UsedEntries.Tail;
    EXPECT_EQ(record->FreeEntries.Count, 0u);
    EXPECT_EQ(record->EntriesTaken, 15u);
    EXPECT_EQ(record->UsedEntries.Count, 15u);
    // Requests 1 to 14 all came from the first block.
    for (LedgerEntry* e : entries) {
        EXPECT_GT(Addr(e), Addr(firstOwn));
        EXPECT_LT(Addr(e), Addr(firstOwn) + LEDGER_BLOCK_SIZE);
    }

    LedgerEntry* fifteenth = Obtain(record);
    ASSERT_NE(fifteenth, nullptr);
    EXPECT_EQ(record->EntriesTaken, 17u);
    EXPECT_EQ(record->UsedEntries.Count, 17u);
    EXPECT_EQ(record->FreeEntries.Count, 13u);
    EXPECT_EQ(record->UsedEntries.Head, fifteenth);

    LedgerEntry* secondOwn = fifteenth->Next;
    ASSERT_NE(secondOwn, nullptr);
    EXPECT_EQ(secondOwn->Kind, LEDGER_MEMORY_BLOCK);
    EXPECT_EQ(secondOwn->Payload.Memory.Length, LEDGER_BLOCK_SIZE);
    EXPECT_EQ(secondOwn->Payload.Memory.Address, static_cast<PVOID>(secondOwn));
    EXPECT_EQ(secondOwn->Prev, fifteenth);
    EXPECT_EQ(secondOwn->Next, entries.back());
    EXPECT_EQ(entries.back()->Prev, secondOwn);
    EXPECT_EQ(Addr(fifteenth) - Addr(secondOwn), LEDGER_ENTRY_SIZE);
    EXPECT_EQ(TagText(TagOf(secondOwn)), "10ZT");

    // The used list is whole both ways: newest first, the first block's own entry last.
    ULONG forward = 0;
    const LedgerEntry* last = nullptr;
    for (const LedgerEntry* e = record->UsedEntries.Head; e != nullptr; e = e->Next, ++forward) {
        EXPECT_EQ(e->Prev, last);
        last = e;
    }
    EXPECT_EQ(forward, 17u);
    EXPECT_EQ(last, firstOwn);
    EXPECT_EQ(record->UsedEntries.Tail, firstOwn);

    Release(record);
    // Newest first: the second block goes before the first.
    EXPECT_EQ(freed_, (std::vector<uintptr_t>{Addr(secondOwn), Addr(firstOwn)}));
    AsAdapter([&] { NdisFreeMemory(record, sizeof(AdapterRecord), 0); });
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

TEST_F(LedgerTest, ReleaseGoesNewestFirstAndFreesEachBlockAfterTheEntriesCarvedFromIt) {
    AdapterRecord* record = NewRecord();  // request 1, the record's own entry
    ASSERT_NE(record, nullptr);
    LedgerEntry* firstOwn = record->UsedEntries.Tail;

    // Requests 2 to 15: the last of them starts the second block.
    std::vector<PVOID> memory;
    for (ULONG i = 0; i < 14; ++i) {
        memory.push_back(Track(record, 16 + i));
        ASSERT_NE(memory.back(), nullptr);
    }
    ASSERT_EQ(record->EntriesTaken, 17u);
    LedgerEntry* secondOwn = record->UsedEntries.Head->Next;
    ASSERT_EQ(secondOwn->Kind, LEDGER_MEMORY_BLOCK);
    ASSERT_EQ(secondOwn->Payload.Memory.Length, LEDGER_BLOCK_SIZE);

    Release(record);

    std::vector<uintptr_t> expected;
    expected.push_back(Addr(memory[13]));
    expected.push_back(Addr(secondOwn));
    for (int i = 12; i >= 0; --i) expected.push_back(Addr(memory[i]));
    expected.push_back(Addr(record));
    expected.push_back(Addr(firstOwn));
    EXPECT_EQ(freed_, expected);
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

// ---- tags ----

TEST_F(LedgerTest, TrackedAllocationsCountTheirTagUpEvenWhenTheyFail) {
    InitializeTagCounters();
    ASSERT_EQ(TagText(PeekAllocationTag()), "00ZT");
    ASSERT_EQ(TagText(PeekBlockTag()), "00ZT");
    AdapterRecord* record = NewRecord();  // takes the first block: the block tag moves on
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(TagOf(record), kRecordTag);  // fixed, and not counted
    EXPECT_EQ(TagText(TagOf(record->UsedEntries.Tail)), "00ZT");
    EXPECT_EQ(TagText(PeekBlockTag()), "10ZT");
    EXPECT_EQ(TagText(PeekAllocationTag()), "00ZT");

    PVOID first = Track(record, 32);
    PVOID second = Track(record, 32);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(TagOf(first), kFirstTag);
    EXPECT_EQ(TagText(TagOf(first)), "00ZT");
    // Only the first character differs, one code higher.
    EXPECT_EQ(TagText(TagOf(second)), "10ZT");
    EXPECT_EQ(TagOf(second), TagOf(first) + 1);

    // The third fails (its entry came from the block already there, so the memory fault hits
    // the allocation itself) and still uses up "20ZT".
    world_.Faults().Arm(host::sim::AllocKind::Memory, 1);
    ULONG result = 0;
    PVOID failed = Track(record, 32, &result);
    EXPECT_EQ(result, RESULT_FAILURE);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(world_.Faults().Injected(), 1u);
    EXPECT_EQ(record->UsedEntries.Head->Kind, LEDGER_NOTHING);
    PVOID fourth = Track(record, 32);
    ASSERT_NE(fourth, nullptr);
    EXPECT_EQ(TagText(TagOf(fourth)), "30ZT");

    // After 256 allocations the first character carries into the second.
    for (int i = 4; i < 256; ++i) ASSERT_NE(Track(record, 1), nullptr) << i;
    PVOID carried = Track(record, 1);
    ASSERT_NE(carried, nullptr);
    EXPECT_EQ(TagText(TagOf(carried)), "01ZT");
    EXPECT_EQ(TagText(PeekAllocationTag()), "11ZT");

    Release(record);
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

TEST_F(LedgerTest, AFailedBlockYieldsNoEntryButStillAdvancesTheBlockTag) {
    InitializeTagCounters();
    AdapterRecord* record = NewRecord(/*ownEntry=*/false);
    ASSERT_NE(record, nullptr);

    world_.Faults().Arm(host::sim::AllocKind::Memory, 1);
    EXPECT_EQ(Obtain(record), nullptr);
    EXPECT_EQ(record->EntriesTaken, 0u);
    EXPECT_EQ(record->UsedEntries.Count, 0u);
    EXPECT_EQ(record->UsedEntries.Head, nullptr);
    EXPECT_EQ(record->FreeEntries.Count, 0u);
    EXPECT_EQ(TagText(PeekBlockTag()), "10ZT");

    // A tracked allocation with no entry to record it fails without touching memory.
    world_.Faults().Arm(host::sim::AllocKind::Memory, 1);
    ULONG result = 0;
    EXPECT_EQ(Track(record, 8, &result), nullptr);
    EXPECT_EQ(result, RESULT_FAILURE);
    EXPECT_EQ(TagText(PeekBlockTag()), "20ZT");

    LedgerEntry* entry = Obtain(record);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(TagText(TagOf(entry->Next)), "20ZT");

    Release(record);
    AsAdapter([&] { NdisFreeMemory(record, sizeof(AdapterRecord), 0); });
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

TEST_F(LedgerTest, InitializingTheTagCountersStartsBothAgain) {
    AdapterRecord* record = NewRecord();
    ASSERT_NE(record, nullptr);
    ASSERT_NE(Track(record, 4), nullptr);
    ASSERT_NE(TagText(PeekAllocationTag()), "00ZT");
    ASSERT_NE(TagText(PeekBlockTag()), "00ZT");
    InitializeTagCounters();
    EXPECT_EQ(TagText(PeekAllocationTag()), "00ZT");
    EXPECT_EQ(TagText(PeekBlockTag()), "00ZT");

    // Loading the driver starts them again as well.
    ASSERT_NE(Track(record, 4), nullptr);
    ASSERT_NE(TagText(PeekAllocationTag()), "00ZT");
    {
        host::world::World fresh(world_.Seed());
        ASSERT_EQ(fresh.LoadDriver(), STATUS_SUCCESS);
        EXPECT_EQ(TagText(PeekAllocationTag()), "00ZT");
        EXPECT_EQ(TagText(PeekBlockTag()), "00ZT");
    }
    Release(record);
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

// ---- zero fill ----

TEST_F(LedgerTest, TrackedMemoryIsZeroFilledToTheLastByte) {
    AdapterRecord* record = NewRecord();
    ASSERT_NE(record, nullptr);
    for (ULONG length : {7u, 1u, 2u, 3u, 4u, 5u, 13u, 1536u}) {
        PVOID p = Track(record, length);
        ASSERT_NE(p, nullptr) << length;
        const host::kernel::Resource* r = world_.Kernel().Find(p);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->size, length);
        const auto* bytes = static_cast<const uint8_t*>(p);
        for (ULONG i = 0; i < length; ++i) EXPECT_EQ(bytes[i], 0) << "length " << length << " byte " << i;
        const LedgerEntry* entry = record->UsedEntries.Head;
        EXPECT_EQ(entry->Kind, LEDGER_MEMORY_BLOCK);
        EXPECT_EQ(entry->Payload.Memory.Length, length);
        EXPECT_EQ(entry->Payload.Memory.Address, p);
    }
    Release(record);
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

// ---- release ----

TEST_F(LedgerTest, ReleaseSkipsTheEntryOfAFailedAllocationAndFreesTheRest) {
    AdapterRecord* record = NewRecord();
    ASSERT_NE(record, nullptr);
    LedgerEntry* block = record->UsedEntries.Tail;
    PVOID a = Track(record, 24);
    world_.Faults().Arm(host::sim::AllocKind::Memory, 1);
    PVOID failed = Track(record, 24);
    PVOID c = Track(record, 24);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(failed, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(record->EntriesTaken, 5u);

    Release(record);
    EXPECT_EQ(freed_, (std::vector<uintptr_t>{Addr(c), Addr(a), Addr(record), Addr(block)}));
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

TEST_F(LedgerTest, ReleaseWithNoAdapterAttributionLeavesNothingInTheWorld) {
    AdapterRecord* record = NewRecord(true, -1);
    ASSERT_NE(record, nullptr);
    PVOID p = nullptr;
    AsAdapter([&] { EXPECT_EQ(AllocateTracked(record, &p, 100), RESULT_SUCCESS); }, -1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(world_.Kernel().Find(p)->adapter, -1);
    EXPECT_EQ(world_.Kernel().LiveResources(), 3u);
    Release(record, -1);
    EXPECT_EQ(world_.Kernel().LiveResources(), 0u);
    ExpectClean();
}

TEST_F(LedgerTest, EveryEntryKindIsGivenBackByItsOwnCallNewestFirst) {
    AdapterRecord* record = NewRecord();
    ASSERT_NE(record, nullptr);
    int marker = 0;

    LedgerEntry* shared = Obtain(record);
    shared->Kind = LEDGER_SHARED_MEMORY;
    shared->Payload.Shared.Length = 4096;
    shared->Payload.Shared.VirtualAddress = &marker;
    shared->Payload.Shared.PhysicalAddress.QuadPart = 0x12345000;
    shared->Payload.Shared.Cached = TRUE;

    LedgerEntry* ports = Obtain(record);
    ports->Kind = LEDGER_IO_PORT_RANGE;
    ports->Payload.Ports.AdapterHandle = &marker;
    ports->Payload.Ports.NumberOfPorts = 32;
    ports->Payload.Ports.InitialPort = 0x300;
    ports->Payload.Ports.PortOffset = &marker;

    LedgerEntry* interrupt = Obtain(record);
    interrupt->Kind = LEDGER_INTERRUPT;

    LedgerEntry* map = Obtain(record);
    map->Kind = LEDGER_MAP_REGISTERS;

    // An entry of a kind the ledger does not know is skipped like a fresh one.
    LedgerEntry* unknown = Obtain(record);
    unknown->Kind = 9;
    Obtain(record);  // Kind 0

    PVOID memory = Track(record, 10);
    ASSERT_NE(memory, nullptr);

    Release(record);
    EXPECT_EQ(world_.Ndis().Releases(),
              (std::vector<std::string>{"NdisMFreeMapRegisters", "NdisMDeregisterInterrupt",
                                        "NdisMDeregisterIoPortRange 768 32",
                                        "NdisMFreeSharedMemory 4096"}));
    EXPECT_FALSE(Live(memory));
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

// Receive descriptors with their packets and buffers, laid out as start-up lays them out.
struct ReceiveSet {
    PacketDescriptor* descriptors = nullptr;
    PacketPair* pairs = nullptr;
    NDIS_HANDLE packetPool = nullptr;
    NDIS_HANDLE bufferPool = nullptr;
};

class LedgerReceiveTest : public LedgerTest {
protected:
    static constexpr ULONG kDescriptors = 3;

    // Pools recorded in the ledger (kinds 6 and 7) when `poolsInLedger`, else owned by the test.
    ReceiveSet Build(AdapterRecord* record, bool poolsInLedger) {
        ReceiveSet set;
        set.descriptors = static_cast<PacketDescriptor*>(
            Track(record, kDescriptors * (sizeof(PacketDescriptor) + DESCRIPTOR_BUFFER_SIZE)));
        AsAdapter([&] {
            NDIS_STATUS status = NDIS_STATUS_FAILURE;
            LedgerEntry* entry = poolsInLedger ? ObtainLedgerEntry(record) : nullptr;
            NdisAllocatePacketPool(&status, &set.packetPool, kDescriptors, 0);
            EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
            if (entry) {
                entry->Kind = LEDGER_PACKET_POOL;
                entry->Payload.PoolHandle = set.packetPool;
            }
            entry = poolsInLedger ? ObtainLedgerEntry(record) : nullptr;
            NdisAllocateBufferPool(&status, &set.bufferPool, kDescriptors);
            EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
            if (entry) {
                entry->Kind = LEDGER_BUFFER_POOL;
                entry->Payload.PoolHandle = set.bufferPool;
            }
        });
        set.pairs = static_cast<PacketPair*>(Track(record, kDescriptors * sizeof(PacketPair)));
        auto* buffers = reinterpret_cast<PUCHAR>(set.descriptors + kDescriptors);
        AsAdapter([&] {
            for (ULONG i = 0; i < kDescriptors; ++i) {
                PacketDescriptor* d = &set.descriptors[i];
                d->Adapter = record;
                d->Buffer = buffers + i * DESCRIPTOR_BUFFER_SIZE;
                d->PacketEntry = &set.pairs[i];
                NDIS_STATUS status = NDIS_STATUS_FAILURE;
                NdisAllocatePacket(&status, &set.pairs[i].Packet, set.packetPool);
                EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
                NdisAllocateBuffer(&status, &set.pairs[i].Buffer, set.bufferPool, d->Buffer,
                                   RECEIVE_BUFFER_LENGTH);
                EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
                ListInsertHead(&record->RxFreeList, d);
            }
        });
        return set;
    }
};

TEST_F(LedgerReceiveTest, WithPacketsAllocatedEveryIdlePacketAndBufferGoesBeforeThePools) {
    AdapterRecord* record = NewRecord();
    ASSERT_NE(record, nullptr);
    ReceiveSet set = Build(record, /*poolsInLedger=*/true);
    record->PacketsAllocated = 1;
    // Each descriptor's buffer, then its packet, from the head of the idle list on (the last
    // descriptor built is the head); then the tracked memory newest first.
    std::vector<uintptr_t> expected;
    for (int i = kDescriptors - 1; i >= 0; --i) {
        expected.push_back(Addr(set.pairs[i].Buffer));
        expected.push_back(Addr(set.pairs[i].Packet));
    }

    Release(record);

    // A pool freed while packets were still out of it would have been reported.
    ASSERT_GE(freed_.size(), expected.size());
    EXPECT_EQ(std::vector<uintptr_t>(freed_.begin(), freed_.begin() + expected.size()), expected);
    EXPECT_FALSE(Live(set.packetPool));
    EXPECT_FALSE(Live(set.bufferPool));
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

TEST_F(LedgerReceiveTest, WithoutPacketsAllocatedOnlyPoolsAndMemoryAreReleased) {
    AdapterRecord* record = NewRecord();
    ASSERT_NE(record, nullptr);
    ReceiveSet own = Build(record, /*poolsInLedger=*/false);
    // A pair of empty pools that the ledger does own.
    NDIS_HANDLE packetPool = nullptr, bufferPool = nullptr;
    AsAdapter([&] {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        LedgerEntry* entry = ObtainLedgerEntry(record);
        NdisAllocatePacketPool(&status, &packetPool, 4, 0);
        entry->Kind = LEDGER_PACKET_POOL;
        entry->Payload.PoolHandle = packetPool;
        entry = ObtainLedgerEntry(record);
        NdisAllocateBufferPool(&status, &bufferPool, 4);
        entry->Kind = LEDGER_BUFFER_POOL;
        entry->Payload.PoolHandle = bufferPool;
    });
    ASSERT_NE(packetPool, nullptr);
    ASSERT_NE(bufferPool, nullptr);
    std::vector<const void*> packets;
    for (ULONG i = 0; i < kDescriptors; ++i) {
        packets.push_back(own.pairs[i].Packet);
        packets.push_back(own.pairs[i].Buffer);
    }
    ASSERT_EQ(record->PacketsAllocated, 0u);

    Release(record);

    EXPECT_FALSE(Live(packetPool));
    EXPECT_FALSE(Live(bufferPool));
    for (const void* p : packets) EXPECT_TRUE(Live(p));
    // Only the two pools and the memory blocks (pairs, descriptors, record, ledger block) went.
    EXPECT_EQ(freed_.size(), 6u);
    for (uintptr_t f : freed_)
        for (const void* p : packets) EXPECT_NE(f, Addr(p));

    // What is left is exactly the test's own pools and what was taken from them.
    EXPECT_EQ(AdapterResources(), 2 + packets.size());
    AsAdapter([&] {
        for (ULONG i = 0; i < kDescriptors; ++i) {
            // The pairs went with the ledger; the handles were copied out above.
            NdisFreeBuffer(static_cast<PNDIS_BUFFER>(const_cast<void*>(packets[2 * i + 1])));
            NdisFreePacket(static_cast<PNDIS_PACKET>(const_cast<void*>(packets[2 * i])));
        }
        NdisFreePacketPool(own.packetPool);
        NdisFreeBufferPool(own.bufferPool);
    });
    EXPECT_EQ(AdapterResources(), 0u);
    ExpectClean();
}

}  // namespace
