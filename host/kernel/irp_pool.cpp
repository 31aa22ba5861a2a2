#include "host/kernel/irp_pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/sim/reuse.h"

#if defined(__SANITIZE_ADDRESS__)
#define NICSIM_IRP_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NICSIM_IRP_POISON 1
#endif
#endif
#ifdef NICSIM_IRP_POISON
#include <sanitizer/asan_interface.h>
#endif

namespace host::kernel {

namespace {

constexpr size_t kAlign = 16;  // what malloc promises, and what an IRP's fields need

size_t RoundUp(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

void Poison(uintptr_t at, size_t bytes) {
#ifdef NICSIM_IRP_POISON
    ASAN_POISON_MEMORY_REGION(reinterpret_cast<void*>(at), bytes);
#else
    (void)at;
    (void)bytes;
#endif
}

void Unpoison(uintptr_t at, size_t bytes) {
#ifdef NICSIM_IRP_POISON
    ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(at), bytes);
#else
    (void)at;
    (void)bytes;
#endif
}

}  // namespace

IrpPool::~IrpPool() {
    for (const auto& slab : slabs_) {
        Unpoison(slab->base, slab->stride * kSlots);
        std::free(slab->memory);
    }
}

IrpPool::Slab* IrpPool::SearchSlab(uintptr_t addr) const {
    auto it = std::upper_bound(slabs_.begin(), slabs_.end(), addr,
                               [](uintptr_t a, const std::unique_ptr<Slab>& s) { return a < s->base; });
    if (it == slabs_.begin()) return nullptr;
    Slab* slab = std::prev(it)->get();
    if (addr >= slab->base + slab->stride * kSlots) return nullptr;
    last_ = slab;
    return slab;
}

IrpPool::Slab* IrpPool::NewSlab(size_t size, size_t sizeClass) {
    // Where memory is not reused, a gap after each IRP catches a write past its end.
    const size_t stride = RoundUp(size) + (sim::kReuseMemory ? 0 : kAlign);
    void* memory = std::malloc(stride * kSlots);
    if (memory == nullptr) return nullptr;
    auto slab = std::make_unique<Slab>();
    slab->base = reinterpret_cast<uintptr_t>(memory);
    slab->stride = stride;
    slab->size = size;
    slab->sizeClass = sizeClass;
    slab->memory = memory;
    Poison(slab->base, stride * kSlots);
    Slab* raw = slab.get();
    auto at = std::upper_bound(slabs_.begin(), slabs_.end(), raw->base,
                               [](uintptr_t a, const std::unique_ptr<Slab>& s) { return a < s->base; });
    slabs_.insert(at, std::move(slab));
    return raw;
}

void* IrpPool::Take(size_t size, Resource*& record) {
    size_t c = 0;
    while (c < classes_.size() && classes_[c].size != size) ++c;
    if (c == classes_.size()) classes_.push_back(SizeClass{size, {}, nullptr});
    SizeClass& cls = classes_[c];
    uintptr_t at = 0;
    Slab* slab = nullptr;
    if (!cls.free.empty()) {
        at = reinterpret_cast<uintptr_t>(cls.free.back());
        cls.free.pop_back();
        slab = SlabOf(at);
    } else {
        if (cls.newest == nullptr || cls.newest->used == kSlots) {
            cls.newest = NewSlab(size, c);
            if (cls.newest == nullptr) return nullptr;
        }
        slab = cls.newest;
        at = slab->base + slab->used * slab->stride;
        ++slab->used;
    }
    const size_t index = (at - slab->base) / slab->stride;
    slab->live[index] = true;
    ++live_;
    record = &slab->records[index];
    Unpoison(at, size);
    std::memset(reinterpret_cast<void*>(at), 0, size);
    return reinterpret_cast<void*>(at);
}

Resource* IrpPool::Find(const void* p) {
    const auto addr = reinterpret_cast<uintptr_t>(p);
    Slab* slab = SlabOf(addr);
    if (slab == nullptr) return nullptr;
    const size_t offset = addr - slab->base;
    const size_t index = offset / slab->stride;
    if (offset != index * slab->stride || index >= slab->used || !slab->live[index]) return nullptr;
    return &slab->records[index];
}

const Resource* IrpPool::Containing(const void* p, uintptr_t& base) const {
    const auto addr = reinterpret_cast<uintptr_t>(p);
    const Slab* slab = SlabOf(addr);
    if (slab == nullptr) return nullptr;
    const size_t index = (addr - slab->base) / slab->stride;
    const uintptr_t start = slab->base + index * slab->stride;
    if (index >= slab->used || !slab->live[index] || addr >= start + slab->size) return nullptr;
    base = start;
    return &slab->records[index];
}

void IrpPool::Give(void* p) {
    const auto addr = reinterpret_cast<uintptr_t>(p);
    Slab* slab = SlabOf(addr);
    const size_t index = (addr - slab->base) / slab->stride;
    slab->live[index] = false;
    --live_;
    Poison(addr, slab->size);
    if (sim::kReuseMemory) classes_[slab->sizeClass].free.push_back(p);
}

}  // namespace host::kernel
