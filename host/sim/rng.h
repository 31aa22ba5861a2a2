// Seeded randomness for the emulated world: a small, fully specified generator (splitmix64 for
// seeding, xoshiro256** for the stream) so that one seed gives one sequence on every platform.
#pragma once

#include <cstdint>

namespace host::sim {

class Rng {
public:
    explicit Rng(uint64_t seed) {
        for (auto& s : state_) s = SplitMix(seed);
    }

    uint64_t Next() {
        const uint64_t result = Rotl(state_[1] * 5, 7) * 9;
        const uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = Rotl(state_[3], 45);
        return result;
    }

    // Uniform in [0, bound); bound 0 gives 0.
    uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }
    // Uniform in [lo, hi].
    uint64_t Between(uint64_t lo, uint64_t hi) { return lo + Below(hi - lo + 1); }
    // True with probability num/den.
    bool Chance(uint64_t num, uint64_t den) { return Below(den) < num; }

private:
    static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    static uint64_t SplitMix(uint64_t& x) {
        uint64_t z = (x += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t state_[4];
};

}  // namespace host::sim
