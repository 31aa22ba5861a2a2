// The IRPs the emulated I/O manager has handed out, with what the verifier knows of each. Every
// frame takes one on its way down and gives it back at its completion, and each IofCallDriver and
// completion looks its IRP up. So IRPs live in slabs of equal slots, one kind of slab per IRP
// size, each slot's record kept in the slab beside it: an IRP is found from its address by a
// search over a few slabs, without hashing, and taking or giving one back is a pop or push on a
// free list.
//
// The sanitizer builds hand no slot out twice (sim::kReuseMemory), poison a slot given back and
// leave poisoned bytes between slots, so that AddressSanitizer still reports a use of a freed
// IRP and a write past an IRP's last stack location.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/kernel/export_abi.h"
#include "host/kernel/flat_list.h"
#include "host/kernel/resource.h"

namespace host::kernel {

class IrpPool {
public:
    IrpPool() = default;
    ~IrpPool();
    IrpPool(const IrpPool&) = delete;
    IrpPool& operator=(const IrpPool&) = delete;

    // `size` zeroed bytes for an IRP, and in `record` the record to fill in; nullptr when the
    // heap has no memory left.
    void* Take(size_t size, Resource*& record);
    // The record of the live IRP that starts at `p`; nullptr for any other address.
    WORLD_ABI Resource* Find(const void* p);
    // The record of the live IRP whose bytes include `p`, its first byte in `base`; nullptr when
    // `p` is in none.
    const Resource* Containing(const void* p, uintptr_t& base) const;
    // Gives back the live IRP that starts at `p`.
    WORLD_ABI void Give(void* p);
    size_t Live() const { return live_; }
    // Calls `f(base, record)` for each live IRP.
    template <typename F>
    void ForEachLive(F&& f) const {
        for (const auto& slab : slabs_)
            for (size_t i = 0; i < slab->used; ++i)
                if (slab->live[i]) f(slab->base + i * slab->stride, slab->records[i]);
    }

private:
    static constexpr size_t kSlots = 64;
    struct Slab {
        uintptr_t base = 0;  // the first slot
        size_t stride = 0;   // from one slot to the next
        size_t size = 0;     // an IRP's bytes
        size_t sizeClass = 0;
        size_t used = 0;     // slots handed out at least once; the rest were never touched
        void* memory = nullptr;
        Resource records[kSlots];
        bool live[kSlots] = {};
    };
    struct SizeClass {
        size_t size;
        FlatList<void*> free;  // slots given back, the last given back first
        Slab* newest;             // the slab fresh slots come from
    };

    // The slab whose slots span `addr`; nullptr when none does. Mostly the slab asked about
    // last, which is tested in line.
    Slab* SlabOf(uintptr_t addr) const {
        if (last_ != nullptr && addr - last_->base < last_->stride * kSlots) return last_;
        return SearchSlab(addr);
    }
    WORLD_ABI Slab* SearchSlab(uintptr_t addr) const;
    Slab* NewSlab(size_t size, size_t sizeClass);

    std::vector<std::unique_ptr<Slab>> slabs_;  // by base address
    mutable Slab* last_ = nullptr;              // the slab SlabOf found last
    std::vector<SizeClass> classes_;            // one per IRP size seen: a handful at most
    size_t live_ = 0;
};

}  // namespace host::kernel
