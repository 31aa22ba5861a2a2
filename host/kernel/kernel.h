// The emulated kernel: execution contexts with their IRQL and held locks, non-paged pool and
// every other tracked resource, IRPs and their completion, dispatcher events and blocking waits,
// spin locks and interlocked lists. The exported NT routines (kernel_exports.cpp) are thin
// wrappers over this class.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "driver/platform/nt.h"
#include "host/kernel/export_abi.h"
#include "host/kernel/flat_list.h"
#include "host/kernel/irp_pool.h"
#include "host/kernel/resource.h"
#include "host/sim/address_hash.h"
#include "host/sim/callback.h"
#include "host/sim/faults.h"
#include "host/sim/scheduler.h"
#include "host/trace/trace.h"
#include "host/verifier/verifier.h"

namespace host::kernel {

// Kinds of spin lock acquisition, for the nesting rule: the only nesting allowed is one kernel
// spin lock taken at DISPATCH_LEVEL and, inside it, the lock of an interlocked list operation.
enum class LockKind : uint8_t { Kernel, Ndis, Interlocked };

class Processors;
struct ProcessorOptions;

class Kernel {
public:
    // One execution context: a handler call, a timer or completion routine. Contexts nest when
    // one calls into another on the same processor (a completion inside IofCallDriver).
    struct Context {
        std::string_view name;  // a name that outlives the context (a literal, mostly)
        KIRQL irql;
        KIRQL entryIrql;
        int adapter;
        FlatList<const void*> locks;
    };
    // The contexts of one processor (or task), innermost last. A context that ends leaves its
    // slot, name and lock list behind for the next one, so entering a context allocates nothing
    // once the stack has been as deep before.
    class ContextStack {
    public:
        Context& Push(std::string_view name, KIRQL irql, int adapter) {
            if (size_ == items_.size()) items_.emplace_back();
            Context& c = items_[size_++];
            c.name = name;
            c.irql = c.entryIrql = irql;
            c.adapter = adapter;
            c.locks.clear();
            return c;
        }
        void pop_back() { --size_; }
        bool empty() const { return size_ == 0; }
        size_t size() const { return size_; }
        Context& back() { return items_[size_ - 1]; }
        const Context& back() const { return items_[size_ - 1]; }
        Context& operator[](size_t i) { return items_[i]; }
        Context* begin() { return items_.data(); }
        Context* end() { return items_.data() + size_; }
        const Context* begin() const { return items_.data(); }
        const Context* end() const { return items_.data() + size_; }

    private:
        std::vector<Context> items_;
        size_t size_ = 0;
    };

    Kernel(sim::Scheduler& scheduler, trace::Trace& trace, verifier::Verifier& verifier,
           sim::AllocFaults& faults);
    ~Kernel();

    // ---- processors ----
    // Gives the world `options.cpus` processors (more than one: contexts run as interleaved
    // tasks, see processors.h). Called before the driver is loaded; one processor is the
    // default and runs every context to its end, in place.
    void SetProcessors(const ProcessorOptions& options);
    unsigned ProcessorCount() const;
    bool Multiprocessor() const { return processors_ != nullptr; }
    Processors* Mp() { return processors_.get(); }
    // True while a task of a multiprocessor run is running (not on main).
    WORLD_ABI bool InTask() const;
    // The stack of contexts the platform routines act on now.
    void SetCurrentStack(ContextStack* stack) { stack_ = stack; }
    ContextStack& MainStack() { return main_; }

    sim::Scheduler& Scheduler() { return scheduler_; }
    verifier::Verifier& Verifier() { return verifier_; }
    sim::AllocFaults& Faults() { return faults_; }

    // ---- execution contexts ----
    // Runs `fn` as a context of its own (a handler call, or a routine called on this
    // processor): it starts at `irql`, works for `adapter`, and must end at the same IRQL
    // holding no lock. Returns once it has ended. With several processors, a call from main runs
    // it as a task and lets the world run until it has ended; a call from a task nests it there.
    void RunInContext(std::string_view name, KIRQL irql, int adapter, sim::FunctionRef fn);
    // Starts `fn` as a context of its own without waiting for it: on one processor it runs now,
    // in place, as RunInContext does; with several it is a task that the seed places and runs
    // at this instant, perhaps on another processor while the caller goes on.
    void Dispatch(std::string_view name, KIRQL irql, int adapter, sim::Callback&& fn);
    // Whether the world interleaves and checks only where the driver calls it (a routine of the
    // platform), as all a driver image lets it see: the unlocked shared-field accesses and the
    // interlocked operations the host build also reports, which an image does inline, are then
    // neither preemption points nor looked up for freed memory. Off by default.
    void SetCallsOnly(bool on) { callsOnly_ = on; }
    bool CallsOnly() const { return callsOnly_; }
    // With several processors: a point where the seed may switch the running task out.
    void Point(const char* what) {
        if (pointsLive_) PointOnProcessors(what);
    }
    // With several processors, the seed's answer to whether work that could complete here and
    // now (a lower driver's completion) completes on another processor instead.
    bool CompleteElsewhere();
    KIRQL CurrentIrql() const { return stack_->back().irql; }
    int CurrentAdapter() const { return stack_->back().adapter; }
    std::string_view CurrentContextName() const { return stack_->back().name; }
    bool HoldsAnyLock() const { return !stack_->back().locks.empty(); }
    // Whether a context of that name is on the current stack (the running one or one it is
    // nested in).
    bool InContext(std::string_view name) const {
        for (const Context& c : *stack_)
            if (c.name == name) return true;
        return false;
    }
    // Adapter names for diagnostics.
    void SetAdapterNamer(std::function<std::string(int)> namer) { namer_ = std::move(namer); }
    std::string AdapterName(int adapter) const;
    // Where a routine of the driver lies ("usbnic.sys RVA 0x1234 (MiniportSend)"), for
    // diagnostics; empty without a describer or for an address it does not know.
    void SetCodeDescriber(std::function<std::string(const void*)> describer) {
        describer_ = std::move(describer);
    }
    std::string DescribeCode(const void* code) const { return describer_ ? describer_(code) : std::string(); }
    void Report(std::string_view check, std::string detail);
    // The same, for a detail known when the program was written: built here, not by the caller,
    // so an exported routine that may report one calls no System V code on its way.
    [[gnu::cold]] WORLD_OUTLINE void Report(std::string_view check, const char* detail);
    // A rule evaluated here, passed or not (see verifier.h for what counts as one).
    void Checked(uint64_t n = 1) { verifier_.Checked(n); }

    // ---- IRQL ----
    // Inline: a spin lock raises and lowers once each, on every frame.
    KIRQL Raise(KIRQL level) {
        Context& ctx = stack_->back();
        const KIRQL old = ctx.irql;
        verifier_.Checked();
        if (level < old) ReportIrqlDirection("KfRaiseIrql", level, old);
        ctx.irql = level;
        Point("KfRaiseIrql");
        return old;
    }
    void Lower(KIRQL level) {
        Context& ctx = stack_->back();
        verifier_.Checked();
        if (level > ctx.irql) ReportIrqlDirection("KfLowerIrql", level, ctx.irql);
        ctx.irql = level;
        Point("KfLowerIrql");
    }

    // ---- spin locks ----
    WORLD_ABI void AcquireLock(const void* lock, LockKind kind);
    WORLD_ABI void ReleaseLock(const void* lock, LockKind kind);
    bool LockHeld(const void* lock) const { return held_.Find(lock) != nullptr; }
    // The context stack that holds `lock`; nullptr when it is free.
    const ContextStack* LockOwner(const void* lock) const;
    // A name for a lock in reports: the tag of the block it lives in and its offset there.
    std::string LockName(const void* lock) const;
    // The locks a stack of contexts holds, outermost first, by name.
    std::string LocksHeldBy(const ContextStack& stack) const;

    // ---- resources ----
    void* Allocate(ResourceKind kind, size_t size, uint32_t tag, bool zero = false);
    // Registers memory the host allocated itself as a resource of the current adapter.
    void Track(const void* p, ResourceKind kind, size_t size, uint32_t tag);
    // Returns false (after reporting) when `p` is not a live resource of `kind`.
    bool Untrack(const void* p, ResourceKind kind, const char* routine);
    void Free(void* p, ResourceKind kind, const char* routine, size_t expectedSize = SIZE_MAX);
    const Resource* Find(const void* p) const;
    // The tracked block that contains `p`, if any: how many bytes lie from `p` to its end. A
    // scan of every resource: for checks at start-up and for reports, not for every frame.
    bool BytesAvailable(const void* p, size_t& bytes) const;
    // In the order they were acquired.
    std::vector<std::pair<uintptr_t, Resource>> ResourcesOf(int adapter) const;
    size_t LiveResources() const { return resources_.size() + irps_.Live(); }
    // Called with every block of memory about to be freed (timers living in it, ...); with IRPs
    // too when `irps` (an IRP's memory is the I/O manager's: nothing of NDIS lives in it).
    void AddFreeHook(std::function<void(uintptr_t, size_t, ResourceKind)> hook, bool irps = true) {
        freeHooks_.push_back({std::move(hook), irps});
        if (irps) ++irpFreeHooks_;
    }
    // Memory handed out but not yet freed; fill pattern for fresh, unzeroed blocks.
    static constexpr uint8_t kFreshFill = 0xA5;

    // ---- freed driver memory ----
    // Memory the driver frees with NdisFreeMemory (its adapter record, descriptors, ledger
    // blocks) is not handed out again: it is filled with kFreedFill and kept for the rest of the
    // world's life (up to kQuarantineBytes, oldest first after that). Every routine given an
    // address of the driver's (a spin lock, an interlocked addend, a timer, a shared field, a
    // completion's context, a transfer's request block and buffer) asks CheckNotFreed first, so
    // a routine still running on a freed adapter is a `use-after-free` report, the first use of
    // each freed block once, instead of quiet corruption of memory someone else owns now.
    static constexpr uint8_t kFreedFill = 0xDF;
    static constexpr size_t kQuarantineBytes = 64u << 20;
    // False, after reporting, when `p` lies in freed driver memory. `use` says what the address
    // was given to. Costs one test while nothing has been freed.
    bool CheckNotFreed(const void* p, std::string_view use) {
        return freed_.empty() || CheckNotFreedSlow(p, use);
    }
    // Whether `p` lies in freed driver memory, without reporting.
    bool InFreedMemory(const void* p) const;

    // ---- IRPs ----
    // `site` names the allocation for site fault plans (SiteOfCaller in the exported routine).
    PIRP AllocateIrp(CCHAR stackSize, bool built, const sim::AllocSite* site = nullptr);
    WORLD_ABI void FreeIrp(PIRP irp);
    WORLD_ABI NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp);
    void CompleteRequest(PIRP irp);
    bool CancelIrp(PIRP irp);
    bool IrpLive(PIRP irp) const { return IrpEntry(irp) != nullptr; }
    bool IrpInFlight(PIRP irp) const;
    // The IRP was built by IoBuildDeviceIoControlRequest: its sender waits for it.
    bool IrpIsSynchronous(PIRP irp) const;
    int IrpAdapter(PIRP irp) const;
    size_t InFlightIrps(int adapter) const;

    // ---- waits ----
    // Blocks the current (passive) context until the event is signalled or the relative
    // timeout (microseconds; UINT64_MAX = none) elapses, running due events meanwhile.
    NTSTATUS WaitForEvent(PKEVENT event, uint64_t timeoutUs);
    void Sleep(uint64_t us);
    // Checked by every blocking call: waiting at DISPATCH_LEVEL or above is a violation.
    bool CheckMayBlock(const char* routine);

private:
    // Live blocks by base address.
    using Resources = absl::flat_hash_map<uintptr_t, Resource, sim::AddressHash>;
    struct LockState {
        LockKind kind;
        ContextStack* owner;
        size_t depth;  // index of the holding context in its stack
    };
    // The locks held right now, on every processor. Only a handful are ever held at once, so a
    // scan of a short array beats hashing the address on every acquire and release.
    class HeldLocks {
    public:
        struct Entry {
            const void* lock;
            LockState state;
        };
        Entry* Find(const void* lock) {
            for (Entry& e : items_)
                if (e.lock == lock) return &e;
            return nullptr;
        }
        const Entry* Find(const void* lock) const {
            return const_cast<HeldLocks*>(this)->Find(lock);
        }
        void Add(const void* lock, const LockState& state) { items_.push_back({lock, state}); }
        void Erase(Entry* e) {
            *e = items_.back();
            items_.pop_back();
        }
        void Erase(const void* lock) {
            if (Entry* e = Find(lock)) Erase(e);
        }

    private:
        FlatList<Entry> items_;
    };
    WORLD_OUTLINE void PointOnProcessors(const char* what);
    WORLD_OUTLINE bool CheckNotFreedSlow(const void* p, std::string_view use);
    // Keeps the driver's freed block `p` (already forgotten) instead of giving it back.
    void Quarantine(void* p, size_t size, uint32_t tag);
    WORLD_OUTLINE void ReportIrqlDirection(const char* routine, KIRQL to, KIRQL from);
    // Runs `fn` as a context of its own on the current stack; a task's fiber runs its work so.
    friend class Processors;
    void RunFrame(std::string_view name, KIRQL irql, int adapter, sim::FunctionRef fn);
    // Lock-order edges seen so far (held -> taken inside it); a new edge that closes a cycle is
    // a deadlock waiting for its interleaving. Every nested acquire asks; after the first frames
    // the edges are all known, and the search for a cycle is a call of its own.
    WORLD_ABI void NoteLockOrder(const void* lock);
    WORLD_OUTLINE void NoteNewLockEdges(const void* lock);
    // The spin-lock rules' reports (`what` follows the lock's name), and the wait for a lock
    // another processor holds: out of the lock routines' common path.
    [[gnu::cold]] WORLD_OUTLINE void ReportLock(std::string_view check, const void* lock,
                                             const char* what);
    [[gnu::cold]] WORLD_OUTLINE void ReportLockIrql(const void* lock, const char* verb);
    [[gnu::cold]] WORLD_OUTLINE void ReportLockNesting(const void* lock);
    WORLD_OUTLINE bool SpinOn(const void* lock);
    // The record of the live IRP `irp`; nullptr when there is none. It lasts as long as the IRP.
    Resource* IrpEntry(PIRP irp);
    const Resource* IrpEntry(PIRP irp) const { return const_cast<Kernel*>(this)->IrpEntry(irp); }
    // Memory for a block, zeroed or filled with kFreshFill; not tracked yet.
    void* AllocateBlock(size_t size, bool zero);
    Resource& TrackNew(const void* p, ResourceKind kind, size_t size, uint32_t tag);
    // Frees the tracked block `it` (of `p`) for real, or keeps it for reuse.
    void Release(Resources::iterator it, void* p);

    sim::Scheduler& scheduler_;
    trace::Trace& trace_;
    verifier::Verifier& verifier_;
    sim::AllocFaults& faults_;
    ContextStack main_;
    ContextStack* stack_ = &main_;
    std::unique_ptr<Processors> processors_;
    // Whether a processor point can do anything now: a task runs, another is alive and the
    // instant's preemption budget lasts. Kept by the processors (Processors::PointsChanged), so
    // that the points of a context running alone cost one test.
    bool pointsLive_ = false;
    // Drops a tracked resource and tells the free hooks.
    void Forget(Resources::iterator it);
    // The tracked block containing `p`; no resource when there is none.
    struct Block {
        uintptr_t base;
        const Resource* resource;
    };
    Block Containing(const void* p) const;
    // Gives the live IRP `irp` (of `size` bytes) back to the pool and tells the free hooks.
    WORLD_ABI void GiveBackIrp(void* irp, size_t size);
    WORLD_OUTLINE void TellIrpFreed(uintptr_t irp, size_t size);
    // Reports whose text names an address (`before`, the address, `after`) or the locks held.
    [[gnu::cold]] WORLD_OUTLINE void ReportAddress(std::string_view check, const char* before,
                                                const void* p, const char* after);
    [[gnu::cold]] WORLD_OUTLINE void ReportLocksHeld(std::string_view check, const char* routine);
    // Memory of freed blocks kept for reuse, by size: the driver's per-transfer pool comes and
    // goes once a frame. Sanitizer builds free every block for real, so that a use after
    // free is still caught.
    void* TakeCached(size_t size);
    bool Cache(void* p, size_t size);
    HeldLocks held_;
    std::map<const void*, std::set<const void*>> lockOrder_;
    // lockOrder_'s edges
    absl::flat_hash_set<std::pair<const void*, const void*>, sim::AddressHash> lockEdges_;
    // Edges of lockEdges_ met lately, in slots picked by the pair: the same few nestings come
    // back on every frame, and a slot compares cheaper than a hash lookup. A slot holds one
    // known edge or none; edges are never forgotten, so a hit is always right.
    struct KnownEdge {
        const void* outer = nullptr;
        const void* inner = nullptr;
    };
    static constexpr size_t kKnownEdgeSlots = 64;
    static size_t KnownEdgeSlot(const void* outer, const void* inner) {
        return ((reinterpret_cast<uintptr_t>(outer) >> 3) ^ (reinterpret_cast<uintptr_t>(inner) >> 6)) &
               (kKnownEdgeSlots - 1);
    }
    KnownEdge knownEdges_[kKnownEdgeSlots] = {};
    Resources resources_;  // every live block but IRPs
    IrpPool irps_;
    absl::flat_hash_map<size_t, std::vector<void*>, sim::AddressHash> cached_;
    struct FreeHook {
        std::function<void(uintptr_t, size_t, ResourceKind)> hook;
        bool irps;
    };
    std::vector<FreeHook> freeHooks_;
    size_t irpFreeHooks_ = 0;  // hooks that want IRPs
    struct FreedBlock {
        size_t size;
        uint32_t tag;
        uint64_t freedAtUs;
        std::string freedIn;  // the context that freed it
        bool reported = false;
    };
    std::map<uintptr_t, FreedBlock> freed_;  // by base address
    std::vector<uintptr_t> freedOrder_;      // oldest first, for the quarantine's bound
    size_t freedBytes_ = 0;
    std::function<std::string(int)> namer_;
    std::function<std::string(const void*)> describer_;
    uint64_t serial_ = 0;
    bool callsOnly_ = false;
};

}  // namespace host::kernel
