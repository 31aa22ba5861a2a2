#pragma once
// The hash of the world's tables keyed by addresses and sizes. Abseil's default hash mixes in
// the address of one of its own globals, so two builds of the same sources in different
// directories (whose file names shift the data segment) probe those tables differently, and the
// instruction counts of one frame drift by a few percent with the path of the checkout. This one
// depends on the key alone.
#include <cstddef>
#include <cstdint>
#include <utility>

namespace host::sim {

struct AddressHash {
    static size_t Mix(uint64_t x) {
        // splitmix64's finaliser: every input bit reaches the low seven bits Abseil uses as a
        // slot's tag and the high bits it probes by.
        x ^= x >> 30;
        x *= 0xbf58476d1ce4e5b9ULL;
        x ^= x >> 27;
        x *= 0x94d049bb133111ebULL;
        x ^= x >> 31;
        return static_cast<size_t>(x);
    }
    size_t operator()(uint64_t key) const { return Mix(key); }
    size_t operator()(const void* p) const { return Mix(reinterpret_cast<uintptr_t>(p)); }
    size_t operator()(const std::pair<const void*, const void*>& pair) const {
        return Mix(reinterpret_cast<uintptr_t>(pair.first) * 31 +
                   Mix(reinterpret_cast<uintptr_t>(pair.second)));
    }
};

}  // namespace host::sim
