#include "host/kernel/kernel.h"

#include "host/kernel/driver_call.h"
#include "host/kernel/processors.h"
#include "host/kernel/race_sync.h"
#include "host/sim/reuse.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host::kernel {

namespace {
std::string Ptr(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}
}  // namespace

const char* ResourceKindName(ResourceKind kind) {
    switch (kind) {
        case ResourceKind::PoolBlock: return "pool";
        case ResourceKind::NdisMemory: return "memory";
        case ResourceKind::Irp: return "irp";
        case ResourceKind::PacketPool: return "packet-pool";
        case ResourceKind::BufferPool: return "buffer-pool";
        case ResourceKind::Packet: return "packet";
        case ResourceKind::Buffer: return "buffer";
        case ResourceKind::Configuration: return "configuration";
    }
    return "?";
}

Kernel::Kernel(sim::Scheduler& scheduler, trace::Trace& trace, verifier::Verifier& verifier,
               sim::AllocFaults& faults)
    : scheduler_(scheduler), trace_(trace), verifier_(verifier), faults_(faults) {
    main_.Push("host", PASSIVE_LEVEL, -1);
}

Kernel::~Kernel() {
    scheduler_.SetRunner(nullptr);
    processors_.reset();
    // Whatever is still tracked belongs to a world torn down mid-flight; give it back quietly.
    for (auto& [addr, res] : resources_) std::free(reinterpret_cast<void*>(addr));
    for (auto& [addr, block] : freed_) std::free(reinterpret_cast<void*>(addr));
    for (auto& [size, blocks] : cached_)
        for (void* p : blocks) std::free(p);
}

std::string Kernel::AdapterName(int adapter) const {
    if (adapter < 0 || !namer_) return {};
    return namer_(adapter);
}

void Kernel::Report(std::string_view check, std::string detail) {
    detail += " (in " + std::string(stack_->back().name) + ")";
    verifier_.Report(check, std::move(detail), AdapterName(stack_->back().adapter));
}

void Kernel::Report(std::string_view check, const char* detail) {
    Report(check, std::string(detail));
}

void Kernel::SetProcessors(const ProcessorOptions& options) {
    scheduler_.SetRunner(nullptr);
    processors_.reset();
    if (options.cpus > 1) {
        processors_ = std::make_unique<Processors>(*this, scheduler_, trace_, options);
        scheduler_.SetRunner(processors_.get());
    }
}

unsigned Kernel::ProcessorCount() const { return processors_ ? processors_->Count() : 1; }

bool Kernel::InTask() const { return processors_ && processors_->Running() != nullptr; }

void Kernel::RunInContext(std::string_view name, KIRQL irql, int adapter, sim::FunctionRef fn) {
    if (processors_ && processors_->Running() == nullptr) {
        processors_->Join(processors_->Spawn(name, irql, adapter, [fn] { fn(); }));
        return;
    }
    RunFrame(name, irql, adapter, fn);
}

void Kernel::Dispatch(std::string_view name, KIRQL irql, int adapter, sim::Callback&& fn) {
    if (processors_) {
        processors_->Spawn(name, irql, adapter, std::move(fn));
        return;
    }
    RunFrame(name, irql, adapter, fn);
}

void Kernel::PointOnProcessors(const char* what) { processors_->Point(what); }

bool Kernel::CompleteElsewhere() {
    return processors_ && processors_->Running() != nullptr && processors_->Random().Chance(1, 2);
}

void Kernel::RunFrame(std::string_view name, KIRQL irql, int adapter, sim::FunctionRef fn) {
    stack_->Push(name, irql, adapter);
    fn();
    Context& ctx = stack_->back();
    verifier_.Checked(2);  // locks still held, IRQL restored
    if (!ctx.locks.empty()) {
        Report(verifier::check::kLockAtExit,
               "context ended holding " + std::to_string(ctx.locks.size()) + " lock(s)");
        for (const void* l : ctx.locks) held_.Erase(l);
    }
    if (ctx.irql != ctx.entryIrql) {
        Report(verifier::check::kIrqlAtExit, "context entered at IRQL " +
                                                 std::to_string(ctx.entryIrql) + ", left at " +
                                                 std::to_string(ctx.irql));
    }
    stack_->pop_back();
}

void Kernel::ReportIrqlDirection(const char* routine, KIRQL to, KIRQL from) {
    Report(verifier::check::kIrqlDirection, std::string(routine) + " to " + std::to_string(to) +
                                                " from " + std::to_string(from));
}

// The reports of the spin-lock rules, out of the lock routines' way: building their text calls
// into the C++ library, and the routines, which every spin lock passes, call only the world's
// own convention on their common path (export_abi.h).
void Kernel::ReportLock(std::string_view check, const void* lock, const char* what) {
    Report(check, "spin lock " + LockName(lock) + what);
}

void Kernel::ReportLockIrql(const void* lock, const char* verb) {
    Report(verifier::check::kLockIrql, "spin lock " + LockName(lock) + " " + verb +
                                           " at IRQL " + std::to_string(stack_->back().irql));
}

void Kernel::ReportLockNesting(const void* lock) {
    Report(verifier::check::kLockOrder, "spin lock " + LockName(lock) + " taken while holding " +
                                            std::to_string(stack_->back().locks.size()) +
                                            " other lock(s)");
}

bool Kernel::SpinOn(const void* lock) { return processors_ && processors_->Spin(lock); }

void Kernel::AcquireLock(const void* lock, LockKind kind) {
    CheckNotFreed(lock, "spin lock acquire");
    Point("spin lock acquire");
    // Its IRQL, that this context does not hold it already (a lock nobody holds passes), and
    // the nesting order once it is taken.
    verifier_.Checked(3);
    if (stack_->back().irql < DISPATCH_LEVEL) ReportLockIrql(lock, "taken");
    for (;;) {
        const HeldLocks::Entry* it = held_.Find(lock);
        if (it == nullptr) {
            held_.Add(lock, LockState{kind, stack_, stack_->size() - 1});
            break;
        }
        if (it->state.owner == stack_) {
            ReportLock(verifier::check::kLockRecursive, lock, " is already held");
            return;
        }
        // Held on another processor: spin until it is free (or it never can be).
        if (!SpinOn(lock)) return;
    }
    Context& ctx = stack_->back();
    if (!ctx.locks.empty()) {
        const bool allowed = ctx.locks.size() == 1 && kind == LockKind::Interlocked &&
                             held_.Find(ctx.locks.front())->state.kind == LockKind::Kernel;
        if (!allowed) ReportLockNesting(lock);
        NoteLockOrder(lock);
    }
    ctx.locks.push_back(lock);
    RaceAcquire(lock);
}

void Kernel::NoteLockOrder(const void* lock) {
    // Every lock held now was taken before `lock`. A path from `lock` back to one of them means
    // some context takes them the other way round. Only a new edge can close a cycle, and after
    // the first frames every nesting the driver uses is known.
    for (const Context& c : *stack_)
        for (const void* l : c.locks) {
            KnownEdge& known = knownEdges_[KnownEdgeSlot(l, lock)];
            if (known.outer == l && known.inner == lock) continue;
            if (!lockEdges_.contains(std::make_pair(l, lock))) return NoteNewLockEdges(lock);
            known = KnownEdge{l, lock};
        }
}

void Kernel::NoteNewLockEdges(const void* lock) {
    std::vector<const void*> held;
    for (const Context& c : *stack_)
        for (const void* l : c.locks) held.push_back(l);
    for (const void* outer : held) {
        if (!lockEdges_.insert(std::make_pair(outer, lock)).second) continue;
        verifier_.Checked();  // a search for a cycle through the new edge
        lockOrder_[outer].insert(lock);
        std::vector<const void*> todo{lock};
        std::set<const void*> seen;
        while (!todo.empty()) {
            const void* at = todo.back();
            todo.pop_back();
            if (at == outer) {
                Report(verifier::check::kDeadlock,
                       "lock-order cycle: " + LockName(lock) + " taken while holding " +
                           LockName(outer) + " (held: " + LocksHeldBy(*stack_) +
                           "), and another context took " + LockName(outer) +
                           " after " + LockName(lock));
                break;
            }
            if (!seen.insert(at).second) continue;
            auto next = lockOrder_.find(at);
            if (next == lockOrder_.end()) continue;
            for (const void* n : next->second) todo.push_back(n);
        }
    }
}

void Kernel::ReleaseLock(const void* lock, LockKind kind) {
    (void)kind;
    CheckNotFreed(lock, "spin lock release");
    HeldLocks::Entry* it = held_.Find(lock);
    verifier_.Checked();
    if (it == nullptr) {
        ReportLock(verifier::check::kLockNotHeld, lock, " released unheld");
        return;
    }
    verifier_.Checked();
    if (stack_->back().irql < DISPATCH_LEVEL) ReportLockIrql(lock, "released");
    RaceRelease(lock);
    auto& locks = (*it->state.owner)[it->state.depth].locks;
    for (const void** l = locks.begin(); l != locks.end(); ++l) {
        if (*l == lock) {
            locks.erase(l);
            break;
        }
    }
    held_.Erase(it);
    Point("spin lock release");
}

const Kernel::ContextStack* Kernel::LockOwner(const void* lock) const {
    const HeldLocks::Entry* it = held_.Find(lock);
    return it == nullptr ? nullptr : it->state.owner;
}

std::string Kernel::LockName(const void* lock) const {
    size_t bytes = 0;
    if (!BytesAvailable(lock, bytes)) return Ptr(lock);
    const auto addr = reinterpret_cast<uintptr_t>(lock);
    const Block block = Containing(lock);
    std::string tag;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((block.resource->tag >> (8 * i)) & 0xFF);
        tag += (c >= 32 && c < 127) ? c : '?';
    }
    char offset[24];
    std::snprintf(offset, sizeof offset, "+0x%zx", static_cast<size_t>(addr - block.base));
    return "'" + tag + "'" + offset;
}

std::string Kernel::LocksHeldBy(const ContextStack& stack) const {
    std::string out;
    for (const Context& c : stack)
        for (const void* l : c.locks) out += (out.empty() ? "" : ", ") + LockName(l);
    return out.empty() ? "none" : out;
}

void* Kernel::TakeCached(size_t size) {
    if (!sim::kReuseMemory) return nullptr;
    auto it = cached_.find(size);
    if (it == cached_.end() || it->second.empty()) return nullptr;
    void* p = it->second.back();
    it->second.pop_back();
    return p;
}

bool Kernel::Cache(void* p, size_t size) {
    // Small blocks only, and a few of each size: what a steady stream of transfers reuses.
    constexpr size_t kLargest = 4096;
    constexpr size_t kPerSize = 64;
    if (!sim::kReuseMemory || size > kLargest) return false;
    auto& blocks = cached_[size];
    if (blocks.size() >= kPerSize) return false;
    blocks.push_back(p);
    return true;
}

void* Kernel::Allocate(ResourceKind kind, size_t size, uint32_t tag, bool zero) {
    void* p = AllocateBlock(size, zero);
    if (p != nullptr) Track(p, kind, size, tag);
    return p;
}

void* Kernel::AllocateBlock(size_t size, bool zero) {
    void* p = TakeCached(size);
    if (p == nullptr) p = std::malloc(size == 0 ? 1 : size);
    if (p != nullptr) std::memset(p, zero ? 0 : kFreshFill, size);
    return p;
}

Resource& Kernel::TrackNew(const void* p, ResourceKind kind, size_t size, uint32_t tag) {
    return resources_
        .insert_or_assign(reinterpret_cast<uintptr_t>(p),
                          Resource{kind, false, false, size, tag, stack_->back().adapter, ++serial_})
        .first->second;
}

void Kernel::Track(const void* p, ResourceKind kind, size_t size, uint32_t tag) {
    TrackNew(p, kind, size, tag);
}

bool Kernel::Untrack(const void* p, ResourceKind kind, const char* routine) {
    auto it = resources_.find(reinterpret_cast<uintptr_t>(p));
    verifier_.Checked();
    if (it == resources_.end() || it->second.kind != kind) {
        std::string what =
            it != resources_.end()
                ? std::string("a ") + ResourceKindName(it->second.kind)
                : (irps_.Find(p) != nullptr ? std::string("a ") + ResourceKindName(ResourceKind::Irp)
                                            : std::string("unknown address"));
        Report(verifier::check::kFreeUnknown,
               std::string(routine) + " of " + Ptr(p) + ": " + what);
        return false;
    }
    Forget(it);
    return true;
}

void Kernel::Forget(Resources::iterator it) {
    const uintptr_t base = it->first;
    const size_t size = it->second.size;
    const ResourceKind kind = it->second.kind;
    resources_.erase(it);
    for (auto& h : freeHooks_) h.hook(base, size, kind);
}

void Kernel::Free(void* p, ResourceKind kind, const char* routine, size_t expectedSize) {
    if (kind == ResourceKind::Irp) {
        const Resource* irp = irps_.Find(p);
        if (irp == nullptr) {
            Untrack(p, kind, routine);  // reports it
            return;
        }
        if (InTask()) RaceFree(p, irp->size);
        verifier_.Checked();  // a live IRP
        GiveBackIrp(p, irp->size);
        return;
    }
    auto it = resources_.find(reinterpret_cast<uintptr_t>(p));
    // The length, when the caller tells one; that it is a live block of that kind is checked
    // below, by Untrack when it is not.
    if (expectedSize != SIZE_MAX) verifier_.Checked();
    if (it != resources_.end() && it->second.kind == kind && expectedSize != SIZE_MAX &&
        it->second.size != expectedSize) {
        Report(verifier::check::kFreeLength, std::string(routine) + " of " + Ptr(p) + " with " +
                                                 std::to_string(expectedSize) +
                                                 " bytes; it has " +
                                                 std::to_string(it->second.size));
    }
    // A context of the driver frees it (main frees only what the world itself orders). Told
    // while the block is still tracked, so that a report names it.
    if (InTask() && it != resources_.end() && it->second.kind == kind)
        RaceFree(p, it->second.size);
    if (it == resources_.end() || it->second.kind != kind) {
        Untrack(p, kind, routine);  // reports it
        return;
    }
    verifier_.Checked();  // a live block of that kind
    if (kind == ResourceKind::NdisMemory) {
        const size_t size = it->second.size;
        const uint32_t tag = it->second.tag;
        Forget(it);
        Quarantine(p, size, tag);
        return;
    }
    Release(it, p);
}

namespace {
std::string TagText(uint32_t tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}
}  // namespace

void Kernel::Quarantine(void* p, size_t size, uint32_t tag) {
    std::memset(p, kFreedFill, size);
    const auto base = reinterpret_cast<uintptr_t>(p);
    freed_.insert_or_assign(
        base, FreedBlock{size, tag, scheduler_.Now(), std::string(stack_->back().name), false});
    freedOrder_.push_back(base);
    freedBytes_ += size;
    // Kept as long as it fits: a world that frees more than the bound lets its oldest go.
    size_t oldest = 0;
    while (freedBytes_ > kQuarantineBytes && oldest < freedOrder_.size()) {
        auto it = freed_.find(freedOrder_[oldest++]);
        if (it == freed_.end()) continue;
        freedBytes_ -= it->second.size;
        std::free(reinterpret_cast<void*>(it->first));
        freed_.erase(it);
    }
    freedOrder_.erase(freedOrder_.begin(), freedOrder_.begin() + static_cast<ptrdiff_t>(oldest));
}

bool Kernel::InFreedMemory(const void* p) const {
    const auto addr = reinterpret_cast<uintptr_t>(p);
    auto it = freed_.upper_bound(addr);
    if (it == freed_.begin()) return false;
    --it;
    return addr < it->first + it->second.size;
}

bool Kernel::CheckNotFreedSlow(const void* p, std::string_view use) {
    verifier_.Checked();  // the address is not in a block the driver freed
    const auto addr = reinterpret_cast<uintptr_t>(p);
    auto it = freed_.upper_bound(addr);
    if (it == freed_.begin()) return true;
    --it;
    if (addr >= it->first + it->second.size) return true;
    FreedBlock& block = it->second;
    if (!block.reported) {
        block.reported = true;
        char offset[24];
        std::snprintf(offset, sizeof offset, "+0x%zx", static_cast<size_t>(addr - it->first));
        Report(verifier::check::kUseAfterFree,
               std::string(use) + " at '" + TagText(block.tag) + "'" + offset + ", in a block of " +
                   std::to_string(block.size) + " bytes freed at " +
                   std::to_string(block.freedAtUs) + " us by " + block.freedIn);
    }
    return false;
}

void Kernel::Release(Resources::iterator it, void* p) {
    const size_t size = it->second.size;
    Forget(it);
    if (!Cache(p, size)) std::free(p);
}

const Resource* Kernel::Find(const void* p) const {
    auto it = resources_.find(reinterpret_cast<uintptr_t>(p));
    if (it != resources_.end()) return &it->second;
    return const_cast<IrpPool&>(irps_).Find(p);
}

Kernel::Block Kernel::Containing(const void* p) const {
    const auto addr = reinterpret_cast<uintptr_t>(p);
    auto exact = resources_.find(addr);
    if (exact != resources_.end() && exact->second.size > 0) return {exact->first, &exact->second};
    uintptr_t base = 0;
    if (const Resource* irp = irps_.Containing(p, base)) return {base, irp};
    for (auto it = resources_.begin(); it != resources_.end(); ++it)
        if (it->first <= addr && addr < it->first + it->second.size) return {it->first, &it->second};
    return {0, nullptr};
}

bool Kernel::BytesAvailable(const void* p, size_t& bytes) const {
    const Block block = Containing(p);
    if (block.resource == nullptr) return false;
    bytes = block.base + block.resource->size - reinterpret_cast<uintptr_t>(p);
    return true;
}

std::vector<std::pair<uintptr_t, Resource>> Kernel::ResourcesOf(int adapter) const {
    std::vector<std::pair<uintptr_t, Resource>> out;
    for (const auto& [addr, res] : resources_)
        if (adapter < 0 || res.adapter == adapter) out.emplace_back(addr, res);
    irps_.ForEachLive([&](uintptr_t addr, const Resource& res) {
        if (adapter < 0 || res.adapter == adapter) out.emplace_back(addr, res);
    });
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return a.second.serial < b.second.serial; });
    return out;
}

PIRP Kernel::AllocateIrp(CCHAR stackSize, bool built, const sim::AllocSite* site) {
    if (faults_.ShouldFail(sim::AllocKind::Irp, stack_->back().adapter, site)) return nullptr;
    if (stackSize < 1) stackSize = 1;
    const size_t size = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    Resource* record = nullptr;
    auto* irp = static_cast<PIRP>(irps_.Take(size, record));
    if (irp == nullptr) return nullptr;
    *record = Resource{ResourceKind::Irp, built, false, size, MAKE_POOL_TAG('I', 'r', 'p', ' '),
                       stack_->back().adapter, ++serial_};
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return irp;
}

Resource* Kernel::IrpEntry(PIRP irp) { return irps_.Find(irp); }

void Kernel::GiveBackIrp(void* irp, size_t size) {
    irps_.Give(irp);
    if (irpFreeHooks_ > 0) TellIrpFreed(reinterpret_cast<uintptr_t>(irp), size);
}

void Kernel::TellIrpFreed(uintptr_t irp, size_t size) {
    for (auto& h : freeHooks_)
        if (h.irps) h.hook(irp, size, ResourceKind::Irp);
}

void Kernel::ReportAddress(std::string_view check, const char* before, const void* p,
                           const char* after) {
    Report(check, before + Ptr(p) + after);
}

void Kernel::ReportLocksHeld(std::string_view check, const char* routine) {
    Report(check, std::string(routine) + " with " + std::to_string(stack_->back().locks.size()) +
                      " spin lock(s) held");
}

void Kernel::FreeIrp(PIRP irp) {
    const Resource* it = IrpEntry(irp);
    verifier_.Checked();
    if (it == nullptr) {
        ReportAddress(verifier::check::kIrpDoubleFree, "IoFreeIrp of ", irp,
                      ", which is not a live IRP");
        return;
    }
    verifier_.Checked();
    if (it->irpInFlight) {
        ReportAddress(verifier::check::kIrpDoubleFree, "IoFreeIrp of ", irp,
                      " while the lower driver still owns it");
    }
    if (InTask()) RaceFree(irp, it->size);
    GiveBackIrp(irp, it->size);
}

bool Kernel::IrpInFlight(PIRP irp) const {
    const Resource* r = IrpEntry(irp);
    return r != nullptr && r->irpInFlight;
}

bool Kernel::IrpIsSynchronous(PIRP irp) const {
    const Resource* r = IrpEntry(irp);
    return r != nullptr && r->irpBuilt;
}

int Kernel::IrpAdapter(PIRP irp) const {
    const Resource* r = IrpEntry(irp);
    return r == nullptr ? -1 : r->adapter;
}

size_t Kernel::InFlightIrps(int adapter) const {
    size_t n = 0;
    irps_.ForEachLive([&](uintptr_t, const Resource& r) {
        if (r.irpInFlight && (adapter < 0 || r.adapter == adapter)) ++n;
    });
    return n;
}

NTSTATUS Kernel::CallDriver(PDEVICE_OBJECT device, PIRP irp) {
    Resource* it = IrpEntry(irp);
    verifier_.Checked(3);  // a live IRP, no spin lock held, a stack location left
    if (it == nullptr) {
        ReportAddress(verifier::check::kBadHandle, "IofCallDriver with ", irp,
                      ", which is not a live IRP");
        return STATUS_INVALID_PARAMETER;
    }
    if (HoldsAnyLock()) ReportLocksHeld(verifier::check::kLockAcrossCall, "IofCallDriver");
    if (irp->CurrentLocation <= 1) {
        Report(verifier::check::kIrpStack, "IofCallDriver with no stack location left");
        return STATUS_INVALID_PARAMETER;
    }
    if (processors_) {
        // Another processor may run here, and free the IRP.
        Point("IofCallDriver");
        it = IrpEntry(irp);
        if (it == nullptr) return STATUS_INVALID_PARAMETER;
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION loc = irp->Tail.Overlay.CurrentStackLocation;
    loc->DeviceObject = device;
    it->irpInFlight = true;
    // What the sender wrote before passing the IRP down happens before its completion.
    RaceRelease(irp);
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[loc->MajorFunction];
    const NTSTATUS status = dispatch(device, irp);
    Point("IofCallDriver returns");
    return status;
}

void Kernel::CompleteRequest(PIRP irp) {
    Resource* it = IrpEntry(irp);
    verifier_.Checked(2);  // a live IRP, held by a lower driver
    if (it == nullptr) {
        Report(verifier::check::kBadHandle, "completion of " + Ptr(irp) +
                                                ", which is not a live IRP");
        return;
    }
    if (!it->irpInFlight) {
        // Only the driver that holds an IRP may complete it, once.
        Report(verifier::check::kIrpDoubleComplete,
               "completion of " + Ptr(irp) + ", which no lower driver holds");
        return;
    }
    it->irpInFlight = false;
    RaceAcquire(irp);
    const bool built = it->irpBuilt;
    const auto top = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount;
    while (irp->Tail.Overlay.CurrentStackLocation < top) {
        PIO_STACK_LOCATION loc = irp->Tail.Overlay.CurrentStackLocation;
        irp->PendingReturned = (loc->Control & SL_PENDING_RETURNED) != 0;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        const NTSTATUS st = irp->IoStatus.Status;
        const bool invoke = loc->CompletionRoutine != nullptr &&
                            ((NT_SUCCESS(st) && (loc->Control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(st) && (loc->Control & SL_INVOKE_ON_ERROR)) ||
                             (irp->Cancel && (loc->Control & SL_INVOKE_ON_CANCEL)));
        if (!invoke) continue;
        if (!CheckNotFreed(loc->Context, "completion routine context")) {
            // The routine's adapter is gone: calling it would run on poison. The IRP goes back
            // with the completion it never gets.
            Free(irp, ResourceKind::Irp, "I/O completion");
            return;
        }
        PDEVICE_OBJECT upper = irp->Tail.Overlay.CurrentStackLocation < top
                                   ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                   : nullptr;
        const NTSTATUS r = kernel::CallDriver(*this, "completion routine", loc->CompletionRoutine, upper, irp, loc->Context);
        if (r == STATUS_MORE_PROCESSING_REQUIRED) return;  // the IRP is the routine's now
        verifier_.Checked();
        if (!built) {
            Report(verifier::check::kIrpCompletionStatus,
                   "completion routine returned " + trace::Status32(static_cast<uint32_t>(r)) +
                       " for an IRP its driver allocated");
        }
    }
    if (built) {
        if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent != nullptr) {
            RaceRelease(irp->UserEvent);
            irp->UserEvent->Header.SignalState = 1;
        }
    }
    // The I/O manager gives back what reached the top of its stack.
    Free(irp, ResourceKind::Irp, "I/O completion");
}

bool Kernel::CancelIrp(PIRP irp) {
    verifier_.Checked();
    if (!IrpLive(irp)) {
        Report(verifier::check::kBadHandle, "IoCancelIrp of " + Ptr(irp) +
                                                ", which is not a live IRP");
        return false;
    }
    Point("IoCancelIrp");
    if (!IrpLive(irp)) return false;
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = irp->CancelRoutine;
    if (routine == nullptr) return FALSE;
    irp->CancelRoutine = nullptr;
    routine(irp->Tail.Overlay.CurrentStackLocation->DeviceObject, irp);
    return TRUE;
}

bool Kernel::CheckMayBlock(const char* routine) {
    verifier_.Checked(2);  // the IRQL, no spin lock held
    if (stack_->back().irql >= DISPATCH_LEVEL) {
        Report(verifier::check::kWaitAtDispatch,
               std::string(routine) + " at IRQL " + std::to_string(stack_->back().irql));
        return false;
    }
    if (HoldsAnyLock()) {
        Report(verifier::check::kWaitAtDispatch,
               std::string(routine) + " while holding a spin lock");
        return false;
    }
    return true;
}

NTSTATUS Kernel::WaitForEvent(PKEVENT event, uint64_t timeoutUs) {
    auto signalled = [event] { return event->Header.SignalState != 0; };
    auto consume = [event] {
        RaceAcquire(event);
        if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    };
    if (signalled()) {
        consume();
        return STATUS_SUCCESS;
    }
    if (timeoutUs == 0) return STATUS_TIMEOUT;
    if (!CheckMayBlock("KeWaitForSingleObject")) {
        // A real system would deadlock or bug-check here; the run goes on so the report is seen.
        return STATUS_TIMEOUT;
    }
    const sim::TimeUs limit =
        timeoutUs == UINT64_MAX ? sim::Scheduler::kNever : scheduler_.Now() + timeoutUs;
    if (InTask()) {
        // The task gives up its processor until the event is signalled or the time runs out; a
        // wait that nothing could ever end is reported by the processors' deadlock check.
        processors_->Block(signalled, limit);
        if (signalled()) {
            consume();
            return STATUS_SUCCESS;
        }
        return STATUS_TIMEOUT;
    }
    const bool done = scheduler_.RunWhile([&] { return !signalled(); }, limit);
    verifier_.Checked();  // the wait ended, or had a time-out that could end it
    if (done || signalled()) {
        consume();
        return STATUS_SUCCESS;
    }
    if (timeoutUs == UINT64_MAX) {
        Report(verifier::check::kDeadlock,
               "KeWaitForSingleObject without time-out, and nothing left that could signal it");
    }
    return STATUS_TIMEOUT;
}

void Kernel::Sleep(uint64_t us) {
    if (!CheckMayBlock("NdisMSleep")) return;
    if (InTask()) {
        processors_->Block([] { return false; }, scheduler_.Now() + us);
        return;
    }
    scheduler_.RunUntil(scheduler_.Now() + us);
}

}  // namespace host::kernel
